"""What a local user can reach of the sight: the files a daemonised mrvdc makes are not writable
by others and its socket is its owner's (and group's), the PID file cannot be misused, a media
folder with '%' in its name records, a daemon started through host-run keeps its servers and
outlives the overlay's X server, and under a service manager the daemon takes its socket,
reports readiness, stopping and liveness, and gives each log line its priority."""
import grp
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import time
import unittest

from harness import Client, make_sysroot, wait_for
from media import fragments

LUM = "c:get_lum:n:"


def read(path):
    with open(path) as file:
        return file.read()


def mode(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


def answers(socket_path):
    try:
        with Client(socket_path, timeout=2) as client:
            return client.request(LUM).startswith("r:")
    except OSError:
        return False


def client_group_exists():
    try:
        grp.getgrnam("mrvdc")
        return True
    except KeyError:
        return False


class Sysroot:
    """A host sysroot whose configuration is read from `read.conf`, so that the write-back to
    the fixed path makes a new file."""

    def __init__(self, settings=None):
        self.root = make_sysroot(settings)
        self.conf = self.path("/etc/read.conf")
        os.rename(self.path("/etc/mrvdc.conf"), self.conf)

    def path(self, fixed):
        return os.path.join(self.root, fixed.lstrip("/"))

    def mrvdc(self, *args, **kwargs):
        env = dict(os.environ, MRVDC_SYSROOT=self.root)
        return subprocess.run(["mrvdc", "-c", self.conf, *args], env=env, timeout=60, **kwargs)

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


class Daemonised(unittest.TestCase):
    """`scripts/host-run mrvdc -d` returns at once; the daemon keeps the servers host-run started
    for as long as it runs, makes nothing others may write, and outlives its X server (or none
    to be reached): an error of the overlay's pipeline."""

    def setUp(self):
        self.sysroot = Sysroot()
        self.addCleanup(self.sysroot.cleanup)

    def test_in_the_host_platform(self):
        from test_host_run import HOST_RUN, alive, servers_of
        root = self.sysroot
        pid_file, log_file = root.path("/run/mrvdc.pid"), root.path("/var/log/mrvdc.log")
        socket_path, media = root.path("/run/mrvdc.socket"), root.path("/media/%s%d%n")
        with open(pid_file, "w") as stale:
            stale.write("4194303999\n")
        os.mkdir(media)
        with open(root.conf, "a") as conf:
            conf.write(f"media_path={media}\n")
        # Its own X server, and the Qt overlay.
        env = {name: value for name, value in os.environ.items()
               if name not in ("MRVDC_OVERLAY_DISPLAY", "MRVDC_OVERLAY")}
        env["MRVDC_SYSROOT"] = root.root
        result = subprocess.run([HOST_RUN, "mrvdc", "-d", "-p", pid_file, "-c", root.conf,
                                 "-l", log_file], env=env, capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(wait_for(lambda: answers(socket_path), timeout=30), "no daemon serving")
        pid = int(read(pid_file))
        self.assertEqual(read(pid_file), f"{pid}\n")
        servers = servers_of(root.root, ("redis-server", "jackd", "Xvfb"))
        for process in [pid] + servers:
            self.addCleanup(lambda pid=process: alive(pid) and os.kill(pid, signal.SIGKILL))
        self.assertEqual(len(servers), 3, "Redis, JACK and the X server did not stay")

        with Client(socket_path) as client:
            self.assertEqual(client.request("c:set_lum:s:2"), "r:set_lum:n:")
            self.assertEqual(client.request("c:enable_record:s:1"), "r:enable_record:n:")
            wait_for(lambda: fragments(f"{media}/video", "video_"), timeout=10)
            # Stopped with media in it: the end of the recording keeps the fragment.
            time.sleep(1)
            self.assertEqual(client.request("c:enable_record:s:0"), "r:enable_record:n:")
        recorded = fragments(f"{media}/video", "video_")
        self.assertEqual(len(recorded), 1, recorded)
        self.assertRegex(os.path.basename(recorded[0]), r"^video_\d{14}_00\.mp4$")
        owner_only = 0o660 if client_group_exists() else 0o600
        for path, expected in [(socket_path, owner_only), (log_file, 0o640),
                               (f"{media}/video", 0o755), (recorded[0], 0o644),
                               (root.path("/etc/mrvdc.conf"), 0o644)]:
            with self.subTest(path=path):
                self.assertEqual(mode(path), expected)
        self.assertTrue(all(map(alive, servers)), "a server ended under the daemon")

        [x_server] = servers_of(root.root, ("Xvfb",))
        os.kill(x_server, signal.SIGKILL)
        error = "overlay-plugin: The overlay cannot render"
        wait_for(lambda: not alive(pid) or error in read(log_file), timeout=20)
        self.assertIn(error, read(log_file))
        self.assertFalse(wait_for(lambda: not answers(socket_path), timeout=3),
                         "the daemon went with its X server")

        os.kill(pid, signal.SIGTERM)
        # Its exit must not wait for the X connection the overlay lost.
        self.assertTrue(wait_for(lambda: not alive(pid), timeout=60), "the daemon did not stop")
        self.assertFalse(os.path.exists(pid_file))  # an orderly stop, not a crash
        self.assertTrue(wait_for(lambda: not any(map(alive, servers)), timeout=10),
                        "a server outlived the daemon")

    def test_serves_without_an_x_server_for_its_overlay(self):
        from harness import Daemon
        with Daemon(env={"MRVDC_OVERLAY_DISPLAY": ":99999"}) as d:
            self.assertTrue(wait_for(lambda: "cannot open the X display" in d.log(), timeout=20),
                            d.log()[-3000:])
            self.assertTrue(answers(d.socket_path), "the daemon went without an X server")

    def test_refuses_files_that_are_not_its_own(self):
        target = self.sysroot.path("/var/lib/target")
        with open(target, "w") as victim:
            victim.write("root's file\n")
        link = self.sysroot.path("/run/mrvdc.pid")
        os.symlink(target, link)
        self.assertEqual(self.sysroot.mrvdc("-d", "-p", link).returncode, 0)
        socket_path = self.sysroot.path("/run/mrvdc.socket")
        self.assertFalse(wait_for(lambda: answers(socket_path), timeout=5))
        self.assertEqual(read(target), "root's file\n")

        # A file that is no socket where the socket goes is left alone, and the start fails.
        with open(socket_path, "w") as other:
            other.write("not a socket\n")
        self.assertEqual(self.sysroot.mrvdc(stdout=subprocess.DEVNULL,
                                            stderr=subprocess.DEVNULL).returncode, 1)
        self.assertEqual(read(socket_path), "not a socket\n")


class UnderServiceManager(unittest.TestCase):
    """systemd's socket activation, notification socket and journal stream, as a unit with
    Type=notify and a socket unit gives them."""

    def test_activated_notifying_and_levelled(self):
        sysroot = Sysroot()
        self.addCleanup(sysroot.cleanup)
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(notify.close)
        notify.bind(sysroot.path("/run/notify"))
        notify.settimeout(30)
        reader, writer = os.pipe()
        journal = os.fstat(writer)
        socket_path = sysroot.path("/run/mrvdc.socket")
        env = dict(os.environ, MRVDC_SYSROOT=sysroot.root, NOTIFY_SOCKET=sysroot.path("/run/notify"),
                   JOURNAL_STREAM=f"{journal.st_dev}:{journal.st_ino}")
        passed = [arg for name in ("MRVDC_SYSROOT", "NOTIFY_SOCKET", "JOURNAL_STREAM", "PATH",
                                   "GST_PLUGIN_PATH", "GST_REGISTRY", "ALSA_CONFIG_PATH",
                                   "JACK_DEFAULT_SERVER", "MRVDC_OVERLAY_DISPLAY")
                  if name in env for arg in ("-E", name)]
        # It listens at once and starts the daemon on the first connection, as socket units do.
        proc = subprocess.Popen(["systemd-socket-activate", "-l", socket_path, *passed,
                                 "mrvdc", "-c", sysroot.conf],
                                env=env, stdout=writer, stderr=subprocess.DEVNULL)
        os.close(writer)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        self.assertTrue(wait_for(lambda: os.path.exists(socket_path)))
        with Client(socket_path, timeout=30) as client:
            self.assertEqual(client.request(LUM), "r:get_lum:s:0")
        self.assertEqual([notify.recv(64) for _ in range(2)], [b"READY=1", b"WATCHDOG=1"])
        proc.terminate()
        self.assertEqual(notify.recv(64), b"STOPPING=1")
        self.assertEqual(proc.wait(30), 0)
        with os.fdopen(reader) as output:
            lines = output.read().splitlines()
        self.assertIn("Serving the control socket", "\n".join(lines))
        unprefixed = [line for line in lines if not re.match(r"<[3467]>", line)]
        self.assertEqual(unprefixed, [])
        self.assertTrue(all(line.startswith("<6>") for line in lines if "[INFO]" in line))
        self.assertRegex(lines[-1], r"^<6>.*\[INFO\]: Goodbye$")


if __name__ == "__main__":
    unittest.main()
