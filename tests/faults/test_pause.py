"""Pause and resume in the field: a pipeline that cannot finish a change of state (the camera
is gone, a new stream waits for pictures that never come) never holds the sight."""
import time
import unittest

from harness import Client, Daemon, wait_for
from media import free_port


class StalledPipeline(unittest.TestCase):
    def test_pause_and_resume_answer_at_once_while_a_stream_waits_for_pictures(self):
        with Daemon({"tcp_stream_port": free_port()}) as d:
            self.assertEqual(d.request("c:kill_pipe:s:0"), "r:kill_pipe:n:")
            self.assertTrue(wait_for(lambda: "Got EoS event on pipe 0" in d.log()))
            self.assertEqual(d.request("c:enable_tcp_stream:s:1"), "r:enable_tcp_stream:n:")
            for name, data in (("pause_video", ""), ("resume_video", ""), ("pause_pipe", "4"),
                               ("resume_pipe", "4")):
                with Client(d.socket_path) as client:
                    start = time.monotonic()
                    reply = client.request(f"c:{name}:s:{data}")
                    self.assertLess(time.monotonic() - start, 1.0, name)
                self.assertRegex(reply, f"^[re]:{name}:n:$")
            self.assertEqual(d.request("c:get_lum:n:"), "r:get_lum:s:0")


if __name__ == "__main__":
    unittest.main()
