"""The control socket against clients that do not read, a program that uses up the
descriptors, a second daemon on the same socket, and mrvdcctl against a silent daemon."""
import itertools
import os
import resource
import socket
import subprocess
import tempfile
import time
import unittest

from harness import Client, Daemon, wait_for

CONFIG, LUM = "c:print_config:n:", "c:get_lum:n:"


def held_rounds(*sizes):
    """How many rounds of replies of these sizes a connection holds unread."""
    writer, reader = socket.socketpair()
    writer.setblocking(False)
    with writer, reader:
        for rounds in itertools.count():
            for size in sizes:
                try:
                    writer.send(b"x" * size)
                except BlockingIOError:
                    return rounds


def answers(daemon, timeout=1):
    try:
        with Client(daemon.socket_path, timeout=timeout) as client:
            return client.request(LUM) == "r:get_lum:s:0"
    except OSError:
        return False


class Clients(unittest.TestCase):
    def test_unread_replies_wait_per_client_and_a_client_that_never_reads_is_dropped(self):
        with Daemon() as d:
            replies = [d.request(CONFIG), d.request(LUM)]
            slow, greedy = Client(d.socket_path), Client(d.socket_path)
            # Past what a connection holds: the rest waits in the daemon, within its bound.
            count = held_rounds(*map(len, replies)) + 8
            for _ in range(count):
                for text in (CONFIG, LUM):
                    slow.sock.sendall(text.encode())
                    greedy.sock.sendall(text.encode())
                    time.sleep(0.002)
            self.assertTrue(answers(d))
            with self.assertRaises(OSError):  # dropped
                for _ in range(3000):
                    greedy.sock.sendall(CONFIG.encode())
                    time.sleep(0.002)
            greedy.close()
            self.assertIn("reply bytes left unread", d.log())
            expected = "".join(replies).encode() * count
            received = b""
            while len(received) < len(expected):
                received += slow.sock.recv(4096)
            slow.close()
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
            with open(f"/proc/{pid}/task/{pid}/schedstat") as stat:
                busy = int(stat.read().split()[0])
            time.sleep(2)
            with open(f"/proc/{pid}/task/{pid}/schedstat") as stat:
                self.assertLess(int(stat.read().split()[0]) - busy, 0.5e9)  # ns on a CPU
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


if __name__ == "__main__":
    unittest.main()
