"""Pipelines that cannot finish a change of state (the camera is gone, a new stream waits for
pictures that never come) never hold the sight: starts, pauses, resumes and ends answer at once."""
import time
import unittest

from harness import Client, Daemon, wait_for
from media import free_port


def answered_at_once(test, daemon, name, data):
    with Client(daemon.socket_path) as client:
        start = time.monotonic()
        reply = client.request(f"c:{name}:s:{data}")
        # A first recording also loads the sound plug-ins and meets the sound server: on a
        # loaded machine that alone takes most of a second. Each pipe once waited 3 s.
        test.assertLess(time.monotonic() - start, 2.5, name)
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


class NoInputSplash(unittest.TestCase):
    def test_ending_the_splash_answers_at_once_and_ends_it_by_its_end_of_stream(self):
        with Daemon({}) as d:
            self.assertEqual(d.request("c:kill_pipe:s:0"), "r:kill_pipe:n:")
            slowest = 0
            for round in range(1, 4):
                if round > 1:
                    self.assertEqual(d.request("c:create_pipe:s:6"), "r:create_pipe:n:")
                time.sleep(1)
                slowest = max(slowest, answered_in(d, "c:kill_pipe:s:6"))
                self.assertTrue(wait_for(
                    lambda: d.log().count("Got EoS event on pipe 6") == round, timeout=5))
            # The splash's picture source pushes without a pause: an end handed over against
            # it used to hold every client for up to seconds.
            self.assertLess(slowest, 0.5)
            self.assertNotIn("Pipe 6 did not deliver", d.log())
            self.assertEqual(d.stop(), 0)


def answered_in(daemon, request):
    with Client(daemon.socket_path) as client:
        start = time.monotonic()
        client.request(request)
        return time.monotonic() - start


if __name__ == "__main__":
    unittest.main()
