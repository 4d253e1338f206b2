"""The control socket under hostile clients: one that never reads, one that reads slowly, a
program that uses up the descriptors, a second daemon on the same socket, a silent daemon."""
import os
import resource
import socket
import subprocess
import tempfile
import time
import unittest

from harness import Client, Daemon, wait_for

LUM = ("c:get_lum:n:", "r:get_lum:s:0")


def buffered_bytes(chunk):
    """What a Unix stream connection holds unread when written in pieces of `chunk` bytes."""
    writer, reader = socket.socketpair()
    writer.setblocking(False)
    total = 0
    try:
        while True:
            total += writer.send(b"x" * chunk)
    except BlockingIOError:
        return total
    finally:
        writer.close()
        reader.close()


def main_thread_cpu_seconds(pid):
    with open(f"/proc/{pid}/task/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def answers(daemon):
    try:
        return daemon.request(LUM[0]) == LUM[1]
    except OSError:
        return False


class Clients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.daemon = Daemon().start()

    @classmethod
    def tearDownClass(cls):
        cls.daemon.cleanup()

    def assert_answered_promptly(self):
        with Client(self.daemon.socket_path, timeout=1) as other:
            self.assertEqual(other.request(LUM[0]), LUM[1])

    def test_a_client_that_never_reads_is_dropped_and_the_others_are_served(self):
        with Client(self.daemon.socket_path) as greedy:
            dropped = False
            for sent in range(3000):
                try:
                    greedy.sock.send(b"c:print_config:n:")
                except OSError:
                    dropped = True
                    break
                time.sleep(0.002)
                if sent == 400:
                    self.assert_answered_promptly()
        self.assertTrue(dropped)
        self.assertIn("reply bytes left unread", self.daemon.log())
        self.assert_answered_promptly()

    def test_a_slow_reader_gets_every_reply_whole_and_in_order(self):
        requests = ("c:print_config:n:", "c:get_mic_volume:n:")
        replies = [self.daemon.request(text) for text in requests]
        pair = len(replies[0]) + len(replies[1])
        # More than the connection holds, so part of it waits in the daemon's queue.
        count = (buffered_bytes(len(replies[0])) + 32 * 1024) // pair + 1
        with Client(self.daemon.socket_path) as slow:
            for _ in range(count):
                for text in requests:
                    slow.sock.sendall(text.encode())
                    time.sleep(0.002)
            self.assert_answered_promptly()
            expected = "".join(replies).encode() * count
            received = b""
            while len(received) < len(expected):
                received += slow.sock.recv(4096)
                time.sleep(0.001)
        self.assertEqual(received, expected)


class Descriptors(unittest.TestCase):
    def test_running_out_of_descriptors_pauses_accepting_without_spinning(self):
        with Daemon() as d:
            pid = d.proc.pid
            limit = len(os.listdir(f"/proc/{pid}/fd")) + 2
            resource.prlimit(pid, resource.RLIMIT_NOFILE, (limit, limit))
            clients = []

            def connect_until_refused():
                try:
                    clients.append(Client(d.socket_path, timeout=0.5))
                except OSError:
                    pass
                return "Too many open files" in d.log()

            self.assertTrue(wait_for(connect_until_refused))
            cpu = main_thread_cpu_seconds(pid)
            time.sleep(2)
            self.assertLess(main_thread_cpu_seconds(pid) - cpu, 0.5)
            self.assertIsNone(d.proc.poll())
            for client in clients:
                client.close()
            self.assertTrue(wait_for(lambda: answers(d), timeout=5))


class SecondDaemon(unittest.TestCase):
    def test_a_second_daemon_leaves_the_socket_of_the_running_one(self):
        with Daemon() as first:
            second = subprocess.run(["mrvdc"], env=first.env, capture_output=True, text=True,
                                    timeout=30)
            self.assertEqual(second.returncode, 1)
            self.assertIn(f"another mrvdc is serving on {first.socket_path}", second.stdout)
            self.assertEqual(first.request(LUM[0]), LUM[1])


class ClientTool(unittest.TestCase):
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
