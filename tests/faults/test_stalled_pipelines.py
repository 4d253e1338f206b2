"""Pipelines that cannot finish a change of state (the camera is gone, a new stream waits for
pictures that never come) never hold the sight: starts, pauses and resumes answer at once."""
import time
import unittest

from harness import Client, Daemon, wait_for
from media import free_port


def answered_at_once(test, daemon, name, data):
    with Client(daemon.socket_path) as client:
        start = time.monotonic()
        reply = client.request(f"c:{name}:s:{data}")
        test.assertLess(time.monotonic() - start, 1.0, name)
    test.assertRegex(reply, f"^[re]:{name}:n:$")
    return reply


class WithoutCamera(unittest.TestCase):
    def setUp(self):
        self.d = Daemon({"tcp_stream_port": free_port()})
        self.addCleanup(self.d.cleanup)
        self.d.start()
        self.assertEqual(self.d.request("c:kill_pipe:s:0"), "r:kill_pipe:n:")
        self.assertTrue(wait_for(lambda: "Got EoS event on pipe 0" in self.d.log()))

    def test_starts_answer_at_once(self):
        for name in ("enable_record", "enable_tcp_stream", "enable_http_stream"):
            self.assertEqual(answered_at_once(self, self.d, name, "1"), f"r:{name}:n:")

    def test_pause_and_resume_answer_at_once_while_a_stream_waits_for_pictures(self):
        self.assertEqual(self.d.request("c:enable_tcp_stream:s:1"), "r:enable_tcp_stream:n:")
        for name, data in (("pause_video", ""), ("resume_video", ""), ("pause_pipe", "4"),
                           ("resume_pipe", "4")):
            answered_at_once(self, self.d, name, data)
        self.assertEqual(self.d.request("c:get_lum:n:"), "r:get_lum:s:0")


if __name__ == "__main__":
    unittest.main()
