"""Media files in the field: a recording that never gets a picture (the camera is gone, and
started twice), or that is stopped within its first second, leaves no file that no player
opens."""
import time
import unittest

from harness import Daemon, wait_for
from media import MediaInfo, fragments, log_lines_after, wait_for_log


class RecordingWithoutPictures(unittest.TestCase):
    def test_no_unplayable_fragment_is_left(self):
        with Daemon({"record_max_len": 60}) as d:
            self.assertEqual(d.request("c:kill_pipe:s:0"), "r:kill_pipe:n:")
            self.assertTrue(wait_for(lambda: "Got EoS event on pipe 0" in d.log()))
            # Started again a second later: that start goes on with the running recording.
            for _ in range(2):
                self.assertEqual(d.request("c:enable_record:s:1"), "r:enable_record:n:")
                time.sleep(1.1)
            self.assertEqual(d.request("c:enable_record:s:0"), "r:enable_record:n:")
            self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 5", timeout=15), d.log())
            self.assertEqual(len(log_lines_after(d, 0, "Creating record branch")), 1)
            for fragment in fragments(d.path("/media/video"), ""):
                info = MediaInfo(fragment)
                self.assertTrue(info.ok, f"{fragment} does not play:\n{info.text}")


class ShortRecordings(unittest.TestCase):
    def test_recordings_stopped_at_once_play_with_pictures_and_sound(self):
        with Daemon({"enc_type": 0, "record_max_len": 4}) as d:
            # Each start rebuilds the encoders that the stop before it is ending: the sound
            # encoder is back within a few frames, the pictures only with a new key picture.
            for length in (0, 0.3, 0.6, 0.9) * 3:
                self.assertEqual(d.request("c:enable_record:s:1"), "r:enable_record:n:")
                time.sleep(length)
                self.assertEqual(d.request("c:enable_record:s:0"), "r:enable_record:n:")
            self.assertEqual(d.stop(), 0)
            recorded = fragments(d.path("/media/video"), "video_")
            self.assertGreater(len(recorded), 6)
            for fragment in recorded:
                info = MediaInfo(fragment)
                self.assertTrue(info.ok and info.video and info.audio,
                                f"{fragment} does not play with both tracks:\n{info.text}")

if __name__ == "__main__":
    unittest.main()
