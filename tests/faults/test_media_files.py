"""Media files in the field: a recording that never gets a picture (the camera is gone)
leaves no file that no player opens."""
import time
import unittest

from harness import Daemon, wait_for
from media import MediaInfo, fragments, wait_for_log


class RecordingWithoutPictures(unittest.TestCase):
    def test_no_unplayable_fragment_is_left(self):
        with Daemon({"record_max_len": 60}) as d:
            self.assertEqual(d.request("c:kill_pipe:s:0"), "r:kill_pipe:n:")
            self.assertTrue(wait_for(lambda: "Got EoS event on pipe 0" in d.log()))
            self.assertEqual(d.request("c:enable_record:s:1"), "r:enable_record:n:")
            time.sleep(2)
            self.assertEqual(d.request("c:enable_record:s:0"), "r:enable_record:n:")
            self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 5", timeout=15), d.log())
            for fragment in fragments(d.path("/media/video"), ""):
                info = MediaInfo(fragment)
                self.assertTrue(info.ok, f"{fragment} does not play:\n{info.text}")


if __name__ == "__main__":
    unittest.main()
