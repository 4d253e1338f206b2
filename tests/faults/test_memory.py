"""Memory in the field: a sight that starts and stops its recordings and streams all day keeps
the memory of what runs, not of what ran."""
import time
import unittest

from harness import Daemon, wait_for
from media import free_port
from test_video import media_pipes

CHURN = ["enable_record", "enable_tcp_stream", "enable_http_stream"]


class PipeChurn(unittest.TestCase):
    def churn(self, daemon, rounds):
        for round in range(rounds):
            daemon.request(f"c:set_enc_type:s:{round % 3}")
            for command in CHURN:
                daemon.request(f"c:{command}:s:1")
            daemon.request("c:make_snapshot:n:")
            time.sleep(1)
            for command in CHURN:
                daemon.request(f"c:{command}:s:0")
            self.assertTrue(wait_for(lambda: not media_pipes(daemon), timeout=15))
        time.sleep(0.5)
        return daemon.own_memory_kib()

    def test_memory_after_many_pipes_is_that_after_a_few(self):
        with Daemon({"record_max_len": 4, "tcp_stream_port": free_port()}, args=()) as d:
            warm = self.churn(d, 6)
            later = self.churn(d, 24)
            self.assertLess(later, warm * 1.15, f"{warm} KiB after 6 rounds, {later} KiB after 30")
            # The encoder asks for huge pages: freed and handed back, the kernel would fill
            # them in again, 2 MiB for each small block made there later.
            with open(f"/proc/{d.proc.pid}/smaps_rollup") as rollup:
                self.assertRegex(rollup.read(), r"AnonHugePages:\s+0 kB")
            self.assertEqual(d.stop(), 0)


class StalledConsumer(unittest.TestCase):
    PICTURE_KIB = 1024 * 768 * 4 // 1024

    def test_pictures_a_stalled_consumer_held_are_freed_once_it_goes_on(self):
        """A paused pipe's source queues the camera's pictures; once it takes them again they
        are freed, not kept for good by the pool that made them."""
        with Daemon({"tcp_stream_port": free_port()}, args=()) as d:
            self.assertEqual(d.request("c:enable_tcp_stream:s:1"), "r:enable_tcp_stream:n:")
            time.sleep(2)
            before = sum(d.large_blocks_kib())
            self.assertEqual(d.request("c:pause_pipe:s:8"), "r:pause_pipe:n:")
            time.sleep(1.5)
            held = sum(d.large_blocks_kib())
            self.assertGreater(held, before + 8 * self.PICTURE_KIB, "the pause holds no queue")
            self.assertEqual(d.request("c:resume_pipe:s:8"), "r:resume_pipe:n:")
            time.sleep(3)
            after = sum(d.large_blocks_kib())
            self.assertLess(after, before + 2 * self.PICTURE_KIB,
                            f"{before} KiB in pictures before the pause, {held} KiB during it")
            self.assertEqual(d.stop(), 0)


if __name__ == "__main__":
    unittest.main()
