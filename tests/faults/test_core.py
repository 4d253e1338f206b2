"""The daemon's socket and process under field faults: clients that do not read, descriptors
used up, a second daemon, leaked descriptors, a stalled bus, a symlinked configuration."""
import fcntl
import itertools
import os
import resource
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import termios
import time
import unittest

from harness import Client, Daemon, wait_for
from sight import RedisServer, Subscriber

CONFIG, LUM = "c:print_config:n:", "c:get_lum:n:"
NO_INPUT = ("MRVDC.VIDEO.DONE", '{ "MRVDC": {"message": "No input video signal", "code": 1 }}')
# Stands in front of the mrvac stand-in and lists the descriptors it was started with.
FD_LISTER = """#!/bin/sh
find "/proc/$$/fd" -mindepth 1 -fprintf "$MRVDC_SYSROOT/mrvac.fds" '%f %l\\n'
exec "$REAL_MRVAC" "$@"
"""


def held_rounds(*sizes):
    """How many rounds of replies of these sizes a connection holds unread."""
    writer, reader = socket.socketpair()
    writer.setblocking(False)
    with writer, reader:
        for rounds in itertools.count():
            try:
                for size in sizes:
                    writer.send(b"x" * size)
            except BlockingIOError:
                return rounds


def unread(client):
    """Bytes this client sent that the daemon has not read yet."""
    return struct.unpack("i", fcntl.ioctl(client.sock, termios.TIOCOUTQ, bytes(4)))[0]


def answers(daemon, timeout=1):
    try:
        with Client(daemon.socket_path, timeout=timeout) as client:
            return client.request(LUM) == "r:get_lum:s:0"
    except OSError:
        return False


def cpu_ns(pid):
    with open(f"/proc/{pid}/task/{pid}/schedstat") as stat:
        return int(stat.read().split()[0])


class Socket(unittest.TestCase):
    def test_unread_replies_wait_per_client_and_a_client_that_never_reads_is_dropped(self):
        with Daemon() as d:
            replies = [d.request(CONFIG), d.request(LUM)]
            # Past what a connection holds: the rest waits in the daemon, within its bound.
            count = held_rounds(*map(len, replies)) + 8
            with Client(d.socket_path) as slow, Client(d.socket_path) as greedy:
                for _, text, client in itertools.product(range(count), (CONFIG, LUM),
                                                         (slow, greedy)):
                    client.sock.sendall(text.encode())
                    # Read alone, so one request gets one reply.
                    self.assertTrue(wait_for(lambda: unread(client) == 0, interval=0.001))
                self.assertTrue(answers(d))
                with self.assertRaises(OSError):  # dropped
                    for _ in range(3000):
                        greedy.sock.sendall(CONFIG.encode())
                        time.sleep(0.002)
                self.assertIn("reply bytes left unread", d.log())
                expected, received = "".join(replies).encode() * count, b""
                while len(received) < len(expected):
                    received += slow.sock.recv(4096)
            self.assertEqual(received, expected)

    def test_running_out_of_descriptors_pauses_accepting_without_spinning(self):
        with Daemon() as d:
            pid, clients = d.proc.pid, []
            limit = len(os.listdir(f"/proc/{pid}/fd")) + 2
            resource.prlimit(pid, resource.RLIMIT_NOFILE, (limit, limit))

            def connect():
                try:
                    clients.append(Client(d.socket_path, timeout=0.5))
                except OSError:
                    pass
                return "Too many open files" in d.log()

            self.assertTrue(wait_for(connect))
            busy = cpu_ns(pid)
            time.sleep(2)
            self.assertLess(cpu_ns(pid) - busy, 0.5e9)
            for client in clients:
                client.close()
            self.assertTrue(wait_for(lambda: answers(d), timeout=5))

    def test_a_second_daemon_leaves_the_socket_of_the_running_one(self):
        with Daemon() as first:
            second = subprocess.run(["mrvdc"], env=first.env, capture_output=True, text=True,
                                    timeout=30)
            self.assertEqual(second.returncode, 1)
            self.assertIn(f"another mrvdc is serving on {first.socket_path}", second.stdout)
            self.assertTrue(answers(first))

    def test_mrvdcctl_gives_up_on_a_daemon_that_does_not_answer(self):
        with tempfile.TemporaryDirectory() as folder, socket.socket(socket.AF_UNIX) as silent:
            path = os.path.join(folder, "silent.socket")
            silent.bind(path)
            silent.listen(4)
            start = time.monotonic()
            ctl = subprocess.run(["mrvdcctl", "--socket", path, "--timeout", "1", "get_lum"],
                                 capture_output=True, text=True, timeout=30)
            self.assertLess(time.monotonic() - start, 5)
            self.assertEqual(ctl.returncode, 2)
            self.assertIn(f"no reply from the daemon at {path} within 1 s", ctl.stderr)


class Process(unittest.TestCase):
    def test_commands_run_by_the_daemon_inherit_only_the_standard_descriptors(self):
        with tempfile.TemporaryDirectory() as folder:
            lister = os.path.join(folder, "mrvac")
            with open(lister, "w") as script:
                script.write(FD_LISTER)
            os.chmod(lister, 0o755)
            env = {"PATH": f"{folder}:{os.environ['PATH']}", "REAL_MRVAC": shutil.which("mrvac")}
            with Daemon(env=env) as d, Client(d.socket_path):
                self.assertEqual(d.request("c:enable_record:s:1"), "r:enable_record:n:")
                self.assertTrue(wait_for(lambda: os.listdir(d.path("/media/video"))))
                self.assertEqual(d.request("c:kbd_nuc:n:"), "r:kbd_nuc:n:")
                self.assertEqual(d.request("c:enable_record:s:0"), "r:enable_record:n:")
                with open(d.path("/mrvac.fds")) as listing:
                    fds = dict(line.split() for line in listing)
        # The shell keeps its script open.
        self.assertEqual({fd: to for fd, to in fds.items() if int(fd) > 2 and to != lister}, {})

    def test_a_bus_that_stops_answering_holds_the_daemon_up_briefly(self):
        d = Daemon()
        redis = RedisServer(d.path("/run/redis.sock"))
        try:
            d.start()
            listener = Subscriber(redis.socket_path, NO_INPUT[0])
            self.assertEqual(d.request("c:disable_kbd:n:"), "r:disable_kbd:n:")
            redis.proc.send_signal(signal.SIGSTOP)
            try:
                self.assertEqual(d.request("c:kill_pipe:s:1"), "r:kill_pipe:n:")
                self.assertTrue(wait_for(lambda: "showing no video indication" in d.log()))
                # The publish waits on the storage worker; the time is the splash starting.
                self.assertTrue(answers(d, timeout=2.5))
                self.assertTrue(wait_for(lambda: "[WARN]: Redis publish failed" in d.log()))
            finally:
                redis.proc.send_signal(signal.SIGCONT)
            listener.messages(1)  # whatever the server makes of the abandoned request
            # The next event connects again.
            self.assertEqual(d.request("c:kill_pipe:s:6"), "r:kill_pipe:n:")
            self.assertTrue(wait_for(lambda: d.request("c:create_pipe:s:1") == "r:create_pipe:n:"))
            self.assertEqual(d.request("c:kill_pipe:s:1"), "r:kill_pipe:n:")
            self.assertEqual(listener.messages(5), [NO_INPUT])
        finally:
            d.cleanup()
            redis.stop()

    def test_write_back_replaces_the_linked_file_and_keeps_the_link(self):
        d = Daemon()
        link, data = d.path("/etc/mrvdc.conf"), d.path("/data")
        target = os.path.join(data, "mrvdc.conf")
        os.mkdir(data)
        shutil.move(link, target)
        os.symlink("../data/mrvdc.conf", link)

        def set_lum(value):
            self.assertEqual(d.request(f"c:set_lum:s:{value}"), "r:set_lum:n:")

            def written():
                with open(target) as conf:
                    return f"\nluminance={value}\n" in conf.read()
            self.assertTrue(wait_for(written))
            self.assertTrue(os.path.islink(link))
            with open(target) as conf:
                return conf.read()

        try:
            d.start()
            text = set_lum(1)
            # A data folder that takes no new file: the file is overwritten where it is.
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,nr_inodes=2", "tmpfs", data],
                           check=True)
            with open(target, "w") as conf:
                conf.write(text)
            set_lum(2)
            self.assertIn("writing it in place", d.log())
        finally:
            d.kill()
            subprocess.run(["umount", data], stderr=subprocess.DEVNULL)
            d.cleanup()


if __name__ == "__main__":
    unittest.main()
