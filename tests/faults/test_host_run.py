"""The host platform's servers never outlive it: a host-run killed outright takes its JACK and
Redis servers with it, a server orphaned earlier is stopped by the next host-run, and a JACK
server that cannot start is an error that says why."""
import os
import shutil
import signal
import subprocess
import tempfile
import unittest

from harness import REPO, wait_for

HOST_RUN = os.path.join(REPO, "scripts", "host-run")


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(")")[-1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def servers_of(sysroot):
    """PIDs of the redis-server and jackd processes working in `sysroot`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            cwd = os.readlink(f"/proc/{pid}/cwd")
            with open(f"/proc/{pid}/comm") as comm:
                name = comm.read().strip()
        except OSError:
            continue
        if name in ("redis-server", "jackd") and cwd.startswith(sysroot):
            found.append(int(pid))
    return found


class HostRunServers(unittest.TestCase):
    def setUp(self):
        self.sysroot = tempfile.mkdtemp(prefix="mrvdc-hostrun-")
        self.env = dict(os.environ, MRVDC_SYSROOT=self.sysroot)
        self.procs = []

    def tearDown(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
            proc.wait()
        for pid in servers_of(self.sysroot):
            os.kill(pid, signal.SIGKILL)
        shutil.rmtree(self.sysroot, ignore_errors=True)

    def host_run(self, *command, env=None):
        proc = subprocess.Popen([HOST_RUN, *command], env=env or self.env,
                                stderr=subprocess.PIPE, text=True)
        self.procs.append(proc)
        return proc

    def test_servers_die_with_a_killed_host_run(self):
        proc = self.host_run("sleep", "60")
        servers = wait_for(lambda: len(servers_of(self.sysroot)) == 2 and servers_of(self.sysroot),
                           timeout=20)
        self.assertTrue(servers, "host-run did not start Redis and JACK")
        proc.kill()
        proc.wait()
        self.assertTrue(wait_for(lambda: not any(map(alive, servers)), timeout=10),
                        "a server outlived its host-run")

    def test_server_of_a_removed_sysroot_is_stopped_by_the_next_host_run(self):
        gone = tempfile.mkdtemp(prefix="mrvdc-gone-")
        orphan = subprocess.Popen(
            ["jackd", "-n", "mrvdc-orphan-test", "--no-realtime", "-d", "dummy", "-r", "48000"],
            cwd=gone, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        self.procs.append(orphan)
        shutil.rmtree(gone)
        proc = self.host_run("true")
        _, errors = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 0, errors)
        self.assertTrue(wait_for(lambda: orphan.poll() is not None, timeout=10),
                        "the orphaned JACK server still runs")
        self.assertIn(f"stopping server {orphan.pid}", errors)

    def test_a_jack_server_that_cannot_start_is_an_error(self):
        fake_bin = os.path.join(self.sysroot, "fake-bin")
        os.makedirs(fake_bin)
        with open(os.path.join(fake_bin, "jackd"), "w") as fake:
            fake.write("#!/bin/sh\necho 'cannot create server: too many servers' >&2\nexit 1\n")
        os.chmod(os.path.join(fake_bin, "jackd"), 0o755)
        env = dict(self.env, PATH=fake_bin + os.pathsep + self.env["PATH"])
        proc = self.host_run("true", env=env)
        _, errors = proc.communicate(timeout=60)
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn("the JACK server did not start", errors)
        self.assertIn("too many servers", errors)


if __name__ == "__main__":
    unittest.main()
