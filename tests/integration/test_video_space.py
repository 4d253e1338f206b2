"""Free space on the media file system: a recording is refused without enough room and stops
on its own when the room runs out; snapshots need room too."""
import os
import time
import unittest

from harness import Daemon, wait_for
from media import SmallFs, fragments, log_lines_after, wait_for_log
from sight import RedisServer, Subscriber

RECORD_SPACE = 117964800
SNAPSHOT_SPACE = 2359296


def fill(fs, name, keep_free):
    """Writes a file that leaves about `keep_free` bytes free on the tmpfs."""
    size = fs.free_bytes() - keep_free
    with open(os.path.join(fs.path, name), "wb") as filler:
        chunk = b"\0" * (1 << 20)
        while size > 0:
            filler.write(chunk[:min(size, len(chunk))])
            size -= len(chunk)


class FreeSpace(unittest.TestCase):
    def setUp(self):
        self.fs = SmallFs("150m")
        if not self.fs.mounted:
            self.fs.close()
            self.skipTest("cannot mount a tmpfs here: " + self.fs.error)

    def tearDown(self):
        self.fs.close()

    def test_recording_stops_when_space_runs_out(self):
        settings = {"media_path": self.fs.path + "/", "enc_type": 1, "record_max_len": 2}
        with Daemon(settings) as d:
            redis = RedisServer(d.path("/run/redis.sock"))
            try:
                self.assertEqual(d.request("c:disable_kbd:n:"), "r:disable_kbd:n:")
                subscriber = Subscriber(redis.socket_path, "MRVDC.STORAGE.DONE")
                self.assertGreater(self.fs.free_bytes(), RECORD_SPACE + 10 * 2**20)
                self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
                time.sleep(2.5)
                mark = len(d.log())
                fill(self.fs, "filler", RECORD_SPACE - 4 * 2**20)
                filled = time.monotonic()
                self.assertTrue(wait_for_log(d, r"\[WARN\]: Ran out of space while recording "
                                             r"video\.", mark, timeout=5))
                self.assertLess(time.monotonic() - filled, 2.5)
                self.assertTrue(log_lines_after(d, mark, r"Sending eos on pipe: 5"))
                self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 5", mark))
                messages = subscriber.messages(timeout=2)
                subscriber.close()
                self.assertTrue(messages)
                self.assertTrue(all(channel == "MRVDC.STORAGE.DONE" and "Out of space!" in text
                                    for channel, text in messages))
                self.assertTrue(fragments(os.path.join(self.fs.path, "video"), "video_"))

                # Without room a new recording is refused; so is a snapshot below its need.
                mark = len(d.log())
                self.assertEqual(d.request("c:enable_record:i:1"), "e:enable_record:n:")
                self.assertTrue(log_lines_after(d, mark, r"\[WARN\]: Record: not enough space"))
                self.assertFalse(log_lines_after(d, mark, r"Creating"))
                self.assertEqual(d.request("c:make_snapshot:n:"), "r:make_snapshot:n:")
                fill(self.fs, "filler2", SNAPSHOT_SPACE - 2**20)
                self.assertEqual(d.request("c:make_snapshot:n:"), "e:make_snapshot:n:")
                self.assertTrue(log_lines_after(d, mark, r"\[WARN\]: Snapshot: not enough space"))
                self.assertEqual(d.stop(), 0)
            finally:
                redis.stop()


if __name__ == "__main__":
    unittest.main()
