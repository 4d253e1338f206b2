"""The host platform's servers run for as long as what host-run started and never longer: a
host-run killed outright with its process group takes its JACK and Redis servers with it, one
killed alone leaves them to its command until that ends, a process that a command leaves behind
(a daemon) keeps them after host-run has returned, also for a host-run that uses them
meanwhile; a server orphaned earlier is stopped by the next host-run, and a JACK server that
cannot start is an error that says why."""
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from harness import REPO, wait_for

HOST_RUN = os.path.join(REPO, "scripts", "host-run")


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(")")[-1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def servers_of(sysroot, names=("redis-server", "jackd")):
    """PIDs of the processes named `names` (by default the redis-server and jackd) working in
    `sysroot`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            cwd = os.readlink(f"/proc/{pid}/cwd")
            with open(f"/proc/{pid}/comm") as comm:
                name = comm.read().strip()
        except OSError:
            continue
        if name in names and cwd.startswith(sysroot):
            found.append(int(pid))
    return found


def child_named(parent, name):
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{pid}/comm") as comm:
                if int(fields[1]) == parent and comm.read().strip() == name:
                    return int(pid)
        except (OSError, IndexError):
            continue
    return None


class HostRunServers(unittest.TestCase):
    def setUp(self):
        self.sysroot = tempfile.mkdtemp(prefix="mrvdc-hostrun-")
        self.env = dict(os.environ, MRVDC_SYSROOT=self.sysroot)
        self.procs = []
        self.pids = []  # processes a killed host-run left behind

    def tearDown(self):
        for proc in self.procs:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            if proc.stderr:
                proc.stderr.close()
        for pid in self.pids + servers_of(self.sysroot):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        shutil.rmtree(self.sysroot, ignore_errors=True)

    def host_run(self, *command, env=None):
        proc = subprocess.Popen([HOST_RUN, *command], env=env or self.env,
                                stderr=subprocess.PIPE, text=True, start_new_session=True)
        self.procs.append(proc)
        return proc

    def servers_gone(self, servers):
        return wait_for(lambda: not any(map(alive, servers)), timeout=10)

    def test_a_killed_host_run_leaves_its_servers_to_its_command_only(self):
        for whole_group in (True, False):
            with self.subTest(whole_group=whole_group):
                proc = self.host_run("sleep", "60")
                command = wait_for(lambda: child_named(proc.pid, "sleep"), timeout=30)
                self.assertTrue(command, "host-run did not run its command")
                self.pids.append(command)
                servers = servers_of(self.sysroot)
                self.assertEqual(len(servers), 2, "host-run did not start Redis and JACK")
                if whole_group:
                    os.killpg(proc.pid, signal.SIGKILL)
                else:
                    proc.kill()
                    time.sleep(2)
                    self.assertTrue(all(map(alive, servers)),
                                    "the servers ended before the command of their host-run")
                    os.kill(command, signal.SIGKILL)
                proc.wait()
                self.assertTrue(self.servers_gone(servers), "a server outlived its host-run")

    def test_what_a_command_leaves_running_keeps_the_servers(self):
        first = self.host_run("sh", "-c", "setsid sleep 3 >/dev/null 2>&1 &")
        _, errors = first.communicate(timeout=30)
        self.assertEqual(first.returncode, 0, errors)
        servers = servers_of(self.sysroot)
        self.assertEqual(len(servers), 2, "the servers did not stay for the process left behind")
        # A second host-run of the sysroot uses them, and they stay for it when the first's
        # process has ended.
        second = self.host_run("sleep", "6")
        time.sleep(4)
        self.assertTrue(all(map(alive, servers)), "the servers ended under a host-run using them")
        _, errors = second.communicate(timeout=30)
        self.assertEqual(second.returncode, 0, errors)
        self.assertTrue(self.servers_gone(servers), "a server outlived what used it")

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
