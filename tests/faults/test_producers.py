"""Producers in the field: the transformer and the encoders run only while a consumer listens,
also when the consumer leaves on its own rather than by a stop."""
import unittest

from harness import Daemon, wait_for
from media import free_port
from test_video import media_pipes


class ConsumerGone(unittest.TestCase):
    def test_producers_end_with_a_killed_stream(self):
        with Daemon({"enc_type": 0, "tcp_stream_port": free_port()}) as d:
            self.assertEqual(d.request("c:enable_tcp_stream:s:1"), "r:enable_tcp_stream:n:")
            self.assertEqual(media_pipes(d), {8, 9, 3, 4})
            self.assertEqual(d.request("c:kill_pipe:s:4"), "r:kill_pipe:n:")
            self.assertTrue(wait_for(lambda: not media_pipes(d), timeout=10), media_pipes(d))
            self.assertEqual(d.stop(), 0)


if __name__ == "__main__":
    unittest.main()
