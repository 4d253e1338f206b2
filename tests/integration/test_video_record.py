"""Split MP4 recording in the real daemon, for each encoding type, with the encoding-type and
microphone-volume commands that act on it."""
import glob
import os
import re
import time
import unittest

from harness import Daemon, wait_for
from media import (MediaInfo, TcpReader, fragments, free_port, log_lines_after, track_span,
                   wait_for_log)

FRAGMENT = 2       # record_max_len, seconds
GOP = 15 / 30.0    # record_enc_gop frames at 30 fps
RECORD_FOR = 7


def conf_value(daemon, key):
    with open(daemon.path("/etc/mrvdc.conf")) as conf:
        for line in conf:
            if line.startswith(key + "="):
                return line.strip().split("=", 1)[1]
    return None


def latest_dot(daemon, short_name):
    paths = sorted(glob.glob(daemon.path(f"/home/root/{short_name}_*.dot")))
    if not paths:
        return ""
    with open(paths[-1]) as dot:
        return dot.read()


class Recording(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.daemon = Daemon({"record_max_len": FRAGMENT, "enc_type": 0}).start()
        cls.folder = cls.daemon.path("/media/video")

    @classmethod
    def tearDownClass(cls):
        cls.daemon.cleanup()

    def record(self, enc_type, prefix, video, audio):
        d = self.daemon
        if int(conf_value(d, "enc_type") or 0) != enc_type:
            self.assertEqual(d.request(f"c:set_enc_type:i:{enc_type}"), "r:set_enc_type:n:")
            self.assertTrue(wait_for(lambda: conf_value(d, "enc_type") == str(enc_type)))
        mark = len(d.log())
        earlier = set(fragments(self.folder, ""))
        self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
        # A second start reuses what runs.
        self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
        self.assertEqual(len(log_lines_after(d, mark, r"Creating record branch")), 1)
        # The type cannot change under a running recording.
        other = (enc_type + 1) % 3
        self.assertEqual(d.request(f"c:set_enc_type:i:{other}"), "e:set_enc_type:n:")
        time.sleep(RECORD_FOR)
        self.assertEqual(d.request("c:enable_record:i:0"), "r:enable_record:n:")
        self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 5", mark, timeout=15))
        self.assertFalse(log_lines_after(d, mark, r"did not deliver"))
        files = [path for path in fragments(self.folder, prefix) if path not in earlier]
        names = [os.path.basename(path) for path in files]
        self.assertGreaterEqual(len(files), 3, names)
        stamp = names[0][len(prefix):len(prefix) + 14]
        self.assertEqual(names, [f"{prefix}{stamp}_{n:02d}.mp4" for n in range(len(files))])
        total = 0.0
        for index, path in enumerate(files):
            info = MediaInfo(path)
            self.assertTrue(info.ok, info.text)
            self.assertEqual(info.video, video, path)
            # The producers end just before the recording: under load the last fragment of a
            # video recording may close before the final audio reaches it.
            if not (audio and video and index == len(files) - 1):
                self.assertEqual(info.audio, audio, path)
            self.assertLessEqual(info.duration, FRAGMENT + GOP + 0.1, path)
            total += info.duration
        self.assertGreater(total, RECORD_FOR - 2)
        # The folder was flushed after the end: each fragment (names starting with v), then
        # the folder itself.
        flushed = [line.split("flushing: ")[1] for line in
                   log_lines_after(d, mark, r"\[DEBUG\]: flushing: ")]
        if prefix == "video_":
            for path in files:
                self.assertIn(path.replace("/media/video/", "/media//video/"), flushed)
        self.assertTrue(flushed and flushed[-1].endswith("/video"))
        # Producers end with the last consumer: nothing of the recording is left.
        self.assertTrue(wait_for(lambda: len(log_lines_after(
            d, mark, r"Got EoS event on pipe [2385]$")) == len(log_lines_after(
                d, mark, r"Sending eos on pipe: [2385]$"))))
        return files

    def test_video_and_audio(self):
        self.record(0, "video_", ["video/x-h264"], ["audio/mpeg"])

    def test_video_only(self):
        self.record(1, "video_", ["video/x-h264"], [])

    def test_audio_only(self):
        self.record(2, "audio_", [], ["audio/mpeg"])

    def test_stop_without_recording_and_encoding_type_range(self):
        d = self.daemon
        self.assertEqual(d.request("c:enable_record:i:0"), "r:enable_record:n:")
        self.assertEqual(d.request("c:enable_record:s:"), "r:enable_record:n:")
        self.assertEqual(d.request("c:set_enc_type:i:3"), "e:set_enc_type:n:")
        self.assertEqual(d.request("c:set_enc_type:i:-1"), "e:set_enc_type:n:")
        current = conf_value(d, "enc_type") or "0"
        self.assertEqual(d.request(f"c:set_enc_type:i:{current}"), "r:set_enc_type:n:")


class RecordingBesideStream(unittest.TestCase):
    def test_recording_joins_a_running_audio_encoder(self):
        # The TCP stream's audio encoder runs for seconds before the recording starts: the
        # recording's pictures and sound must still share one timeline.
        port = free_port()
        with Daemon({"record_max_len": FRAGMENT, "enc_type": 0, "tcp_stream_port": port}) as d:
            folder = d.path("/media/video")
            self.assertEqual(d.request("c:enable_tcp_stream:i:1"), "r:enable_tcp_stream:n:")
            reader = TcpReader(port)
            time.sleep(4)
            mark = len(d.log())
            self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
            time.sleep(RECORD_FOR)
            started = time.monotonic()
            self.assertEqual(d.request("c:enable_record:i:0"), "r:enable_record:n:")
            self.assertLess(time.monotonic() - started, 1.0)
            self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 5", mark, timeout=15))
            self.assertFalse(log_lines_after(d, mark, r"did not deliver"))
            # The stream's producers outlive the recording.
            self.assertFalse(log_lines_after(d, mark, r"Sending eos on pipe: [389]$"))
            files = fragments(folder, "video_")
            self.assertGreaterEqual(len(files), 3, files)
            total = 0.0
            # The last fragment may lose its final sound to the end of the recording.
            for path in files[:-1]:
                info = MediaInfo(path)
                self.assertTrue(info.ok, info.text)
                self.assertEqual(info.video, ["video/x-h264"], path)
                self.assertEqual(info.audio, ["audio/mpeg"], path)
                self.assertLessEqual(info.duration, FRAGMENT + GOP + 0.1, path)
                video, audio = track_span(path, "video"), track_span(path, "audio")
                self.assertIsNotNone(audio, path)
                self.assertAlmostEqual(audio[0], video[0], delta=0.3, msg=path)
                self.assertAlmostEqual(audio[1], video[1], delta=0.3, msg=path)
                total += video[1] - video[0]
            self.assertGreater(total, RECORD_FOR - FRAGMENT - GOP - 1.5)
            self.assertGreater(len(reader.stop()), 100 * 188)
            self.assertEqual(d.request("c:enable_tcp_stream:i:0"), "r:enable_tcp_stream:n:")
            self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 3", mark))


class MicrophoneVolume(unittest.TestCase):
    def test_range_and_live_amplification(self):
        with Daemon({"record_max_len": FRAGMENT, "enc_type": 0, "mic_volume": 100}) as d:
            mark = len(d.log())
            self.assertEqual(d.request("c:set_mic_volume:i:101"), "e:set_mic_volume:n:")
            self.assertEqual(d.request("c:set_mic_volume:i:-1"), "e:set_mic_volume:n:")
            self.assertTrue(log_lines_after(
                d, mark, re.escape("[WARN]: Mic vol should be a positive [0-100](was 101), "
                                   "remaining at: 100")))
            self.assertEqual(d.request("c:get_mic_volume:n:"), "r:get_mic_volume:s:100")
            # Stored value: accepted without touching anything.
            self.assertEqual(d.request("c:set_mic_volume:i:100"), "r:set_mic_volume:n:")

            self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
            self.assertEqual(d.request("c:set_mic_volume:i:40"), "r:set_mic_volume:n:")
            self.assertTrue(wait_for(lambda: conf_value(d, "mic_volume") == "40"))
            self.assertEqual(d.request("c:create_dot:n:"), "r:create_dot:n:")
            self.assertRegex(latest_dot(d, "audio_enc"), r"amplification=20(\.0+)?\b")
            time.sleep(1.1)
            self.assertEqual(d.request("c:set_mic_volume:i:0"), "r:set_mic_volume:n:")
            self.assertEqual(d.request("c:create_dot:n:"), "r:create_dot:n:")
            self.assertRegex(latest_dot(d, "audio_enc"), r"amplification=0(\.0+)?\b")
            self.assertEqual(d.request("c:enable_record:i:0"), "r:enable_record:n:")
            self.assertEqual(d.stop(), 0)


if __name__ == "__main__":
    unittest.main()
