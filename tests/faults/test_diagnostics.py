"""Diagnostics in the field: the pipeline dump shows what is, at once, also while a pipeline
waits for a state change that does not come."""
import time
import unittest

from harness import Daemon
from media import free_port


class PipelineDump(unittest.TestCase):
    def test_dump_of_a_paused_stream_does_not_hold_the_sight(self):
        with Daemon({"tcp_stream_port": free_port()}) as d:
            self.assertEqual(d.request("c:enable_tcp_stream:s:1"), "r:enable_tcp_stream:n:")
            # Paused without a reader, the stream's sink never finishes its change of state.
            self.assertEqual(d.request("c:pause_pipe:s:4"), "r:pause_pipe:n:")
            start = time.monotonic()
            self.assertEqual(d.request("c:pipeline_state:n:"), "r:pipeline_state:n:")
            self.assertLess(time.monotonic() - start, 0.5)
            self.assertIn("Element: (GstTCPServerSink) tcp-sink, state: ", d.log())


if __name__ == "__main__":
    unittest.main()
