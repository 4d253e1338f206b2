"""A recording survives the daemon's sudden end: killed outright or ended by an error, every
fragment on disk plays with its type's tracks and at most the last two seconds are lost; and
the syncs that keep it safe from a power cut never hold up the daemon."""
import os
import signal
import time
import unittest

from harness import Client, Daemon, wait_for
from media import MediaInfo, fragments

FRAGMENT = 10  # record_max_len, seconds
MAX_LOSS = 2.0
TYPES = {
    0: ("video_", ["video/x-h264"], ["audio/mpeg"]),
    1: ("video_", ["video/x-h264"], []),
    2: ("audio_", [], ["audio/mpeg"]),
}


class SuddenEnd(unittest.TestCase):
    def record_then_end(self, enc_type, seconds, end):
        prefix, video, audio = TYPES[enc_type]
        with Daemon({"record_max_len": FRAGMENT, "enc_type": enc_type}) as daemon:
            self.assertEqual(daemon.request("c:enable_record:i:1"), "r:enable_record:n:")
            # The recording runs from its first fragment's opening, at its first picture.
            folder = daemon.path("/media/video")
            self.assertTrue(wait_for(lambda: fragments(folder, prefix), interval=0.02))
            started = time.monotonic()
            time.sleep(seconds)
            end(daemon)
            recorded = time.monotonic() - started
            files = fragments(folder, prefix)
            # The first picture comes a moment after the reply and a fragment closes at a key
            # frame, so a new fragment opens up to a few seconds after each multiple.
            self.assertGreaterEqual(len(files), 1 + int((seconds - 3) // FRAGMENT))
            total = 0.0
            for index, path in enumerate(files):
                info = MediaInfo(path)
                self.assertTrue(info.ok, f"{path} does not play:\n{info.text}")
                total += info.duration
                # The index of a fragment opened less than a second before the end may not
                # have taken in its first sound yet: all of it lies within the loss allowed.
                if index == len(files) - 1 and info.duration < MAX_LOSS:
                    found = info.video + info.audio
                    self.assertTrue(found and set(found) <= set(video + audio), path)
                    continue
                self.assertEqual((info.video, info.audio), (video, audio), f"{path}:\n{info.text}")
            print(f"\ntype {enc_type}, ended after {seconds} s: {len(files)} fragments, "
                  f"{recorded - total:.2f} s lost", flush=True)
            self.assertGreaterEqual(total, recorded - MAX_LOSS,
                                    f"type {enc_type}, ended after {seconds} s")

    @staticmethod
    def kill(daemon):
        daemon.proc.kill()
        daemon.proc.wait()

    @staticmethod
    def error_exit(daemon):
        daemon.proc.send_signal(signal.SIGUSR2)
        if daemon.proc.wait(30) != 1:
            raise AssertionError("the error level did not end the daemon with status 1")

    def test_killed_in_the_first_and_in_later_fragments_of_each_type(self):
        for enc_type in TYPES:
            for seconds in (5, 12, 25):
                with self.subTest(enc_type=enc_type, seconds=seconds):
                    self.record_then_end(enc_type, seconds, self.kill)

    def test_ended_by_an_error_during_a_recording(self):
        self.record_then_end(0, 15, self.error_exit)


class SlowStorage(unittest.TestCase):
    def test_syncs_on_a_slow_card_do_not_delay_replies(self):
        env = {"MRVDC_FAULT_SYNC_DELAY_MS": "700"}
        with Daemon({"record_max_len": FRAGMENT, "enc_type": 1}, env=env) as daemon:
            self.assertEqual(daemon.request("c:enable_record:i:1"), "r:enable_record:n:")
            time.sleep(1)
            slowest = 0.0
            with Client(daemon.socket_path) as client:
                deadline = time.monotonic() + 5
                while time.monotonic() < deadline:
                    sent = time.monotonic()
                    self.assertTrue(client.request("c:get_lum:n:").startswith("r:get_lum:"))
                    slowest = max(slowest, time.monotonic() - sent)
                    time.sleep(0.05)
            self.assertLess(slowest, 0.05)
            self.assertEqual(daemon.request("c:enable_record:i:0"), "r:enable_record:n:")
            self.assertEqual(daemon.stop(), 0)
            for path in fragments(daemon.path("/media/video"), "video_"):
                self.assertTrue(MediaInfo(path).ok, path)


if __name__ == "__main__":
    unittest.main()
