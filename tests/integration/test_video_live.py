"""The live picture in the real daemon: source and display at start-up, snapshots, the overlay
channel, the no-input splash after a lost display or source, pausing, the diagnostics, and
the bounded wait for a pipe that never delivers its end-of-stream."""
import glob
import os
import subprocess
import time
import unittest

from harness import Daemon, wait_for
from media import MediaInfo, decodes, fragments, log_lines_after, wait_for_log
from sight import RedisServer, Subscriber


def overlay_lines(daemon):
    try:
        with open(daemon.path("/var/log/overlay.log")) as log:
            return log.read().splitlines()
    except FileNotFoundError:
        return []


def snapshots(daemon):
    return sorted(glob.glob(daemon.path("/media/image/img_*.jpeg")))


def jpeg_size(path):
    """(width, height) from the JPEG's start-of-frame marker."""
    with open(path, "rb") as image:
        data = image.read()
    i = 2
    while i + 9 < len(data):
        if data[i] != 0xFF:
            return None
        marker, length = data[i + 1], int.from_bytes(data[i + 2:i + 4], "big")
        if marker in (0xC0, 0xC1, 0xC2):
            return (int.from_bytes(data[i + 7:i + 9], "big"),
                    int.from_bytes(data[i + 5:i + 7], "big"))
        i += 2 + length
    return None


class LivePicture(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.daemon = Daemon().start()

    @classmethod
    def tearDownClass(cls):
        cls.daemon.cleanup()

    def test_startup_marker_and_frames_reach_the_display(self):
        d = self.daemon
        self.assertTrue(os.path.exists(d.path("/var/run/video_playing")))
        self.assertIn("Source Pipeline set to playing", d.log())
        self.assertIn("Display Pipeline set to playing", d.log())
        earlier = set(snapshots(d))
        time.sleep(1.1)
        self.assertEqual(d.request("c:make_snapshot:n:"), "r:make_snapshot:n:")
        first = [path for path in snapshots(d) if path not in earlier]
        self.assertEqual(len(first), 1)
        self.assertEqual(jpeg_size(first[0]), (1024, 768))
        self.assertTrue(decodes(first[0], "jpegdec"))
        # The scene moves: a snapshot a second later (a new name) shows another frame.
        time.sleep(1.1)
        self.assertEqual(d.request("c:make_snapshot:n:"), "r:make_snapshot:n:")
        both = [path for path in snapshots(d) if path not in earlier]
        self.assertEqual(len(both), 2)
        with open(both[0], "rb") as a, open(both[1], "rb") as b:
            self.assertNotEqual(a.read(), b.read())

    def test_overlay_channel(self):
        d = self.daemon
        self.assertEqual(d.request("c:set_qml_prop:l:FtrMenu,pipSt,1"), "r:set_qml_prop:n:")
        self.assertTrue(wait_for(lambda: "FtrMenu.pipSt:1" in overlay_lines(d)))
        self.assertEqual(d.request("c:set_qml_prop:l:a,b"),
                         "e:set_qml_prop:s:Invalid argument count")
        self.assertEqual(d.request("c:set_qml_prop:l:a,b,c,d"),
                         "e:set_qml_prop:s:Invalid argument count")
        self.assertEqual(d.request("c:enable_qml:i:0"), "r:enable_qml:n:")
        self.assertEqual(d.request("c:enable_qml:i:1"), "r:enable_qml:n:")

    def test_pause_and_resume(self):
        d = self.daemon
        self.assertEqual(d.request("c:pause_pipe:i:7"), "e:pause_pipe:n:")
        self.assertEqual(d.request("c:resume_pipe:i:42"), "e:resume_pipe:n:")
        self.assertEqual(d.request("c:pause_pipe:i:-1"), "e:pause_pipe:n:")
        self.assertEqual(d.request("c:pause_pipe:i:1"), "r:pause_pipe:n:")
        self.assertEqual(d.request("c:resume_pipe:i:1"), "r:resume_pipe:n:")
        mark = len(d.log())
        self.assertEqual(d.request("c:pause_video:n:"), "r:pause_video:n:")
        self.assertEqual(d.request("c:resume_video:n:"), "r:resume_video:n:")
        self.assertTrue(log_lines_after(d, mark, r"Requesting pause of all pipes\.\."))
        self.assertTrue(log_lines_after(d, mark, r"Requesting resume of all pipes\.\."))
        # Still live afterwards: frames keep arriving.
        time.sleep(1.1)
        before = len(snapshots(d))
        self.assertEqual(d.request("c:make_snapshot:n:"), "r:make_snapshot:n:")
        self.assertEqual(len(snapshots(d)), before + 1)

    def test_diagnostics(self):
        d = self.daemon
        mark = len(d.log())
        self.assertEqual(d.request("c:pipeline_state:n:"), "r:pipeline_state:n:")
        lines = log_lines_after(d, mark, r"")
        text = "\n".join(lines)
        self.assertIn("[INFO]: -- Bin -- [src-pipe]", text)
        self.assertIn("[INFO]: -- Bin end --[display-pipe]", text)
        self.assertRegex(text, r"Element: \(\w+\) display-ipsrc, state: PLAYING")
        self.assertRegex(text, r"Element: \(\w+\) display-sink, state: PLAYING")
        self.assertNotIn("perf-display", text)
        self.assertIn("   pad: src, dir: SRC <-> peer: sink, parent:display-sink, dir:SINK", text)
        self.assertIn("   pad: sink, dir: SINK <-> peer: src, parent:display-ipsrc, dir:SRC",
                      text)
        self.assertIn("   pad: src, dir: SRC <-> peer: sink, parent:vid-src-ipsink, dir:SINK",
                      text)

        self.assertEqual(d.request("c:create_dot:n:"), "r:create_dot:n:")
        dots = sorted(os.path.basename(p) for p in glob.glob(d.path("/home/root/*.dot")))
        self.assertEqual([name.split("_2")[0] for name in dots], ["display", "src"])
        for name in dots:
            self.assertRegex(name, r"^(display|src)_\d{14}\.dot$")
            with open(d.path("/home/root/" + name)) as dot:
                self.assertTrue(dot.read().startswith("digraph"))


class NoInput(unittest.TestCase):
    def setUp(self):
        self.daemon = Daemon().start()
        self.redis = RedisServer(self.daemon.path("/run/redis.sock"))

    def tearDown(self):
        self.daemon.cleanup()
        self.redis.stop()

    def test_lost_display_brings_up_the_splash_and_announces_it(self):
        d = self.daemon
        self.assertEqual(d.request("c:disable_kbd:n:"), "r:disable_kbd:n:")
        subscriber = Subscriber(self.redis.socket_path, "MRVDC.VIDEO.DONE")
        self.assertEqual(d.request("c:kill_pipe:i:1"), "r:kill_pipe:n:")
        self.assertTrue(wait_for_log(d, r"Splash Pipeline set to playing"))
        self.assertIn("Input failed - showing no video indication", d.log())
        messages = subscriber.messages(timeout=3)
        subscriber.close()
        self.assertEqual(len(messages), 1)
        self.assertEqual(messages[0][0], "MRVDC.VIDEO.DONE")
        self.assertIn("No input video signal", messages[0][1])

        # The splash cannot be captured, and nothing is written.
        self.assertEqual(d.request("c:make_snapshot:n:"), "e:make_snapshot:n:")
        self.assertEqual(snapshots(d), [])
        # Overlay texts reach the splash's overlay.
        self.assertEqual(d.request("c:set_qml_prop:l:OffMenu,x,7"), "r:set_qml_prop:n:")
        self.assertTrue(wait_for(lambda: "OffMenu.x:7" in overlay_lines(d)))
        # The splash exists: a second one is refused; the display comes back on request.
        self.assertEqual(d.request("c:create_pipe:i:6"), "e:create_pipe:n:")
        self.assertEqual(d.request("c:create_pipe:i:3"), "e:create_pipe:n:")
        self.assertEqual(d.request("c:create_pipe:i:1"), "r:create_pipe:n:")
        self.assertTrue(wait_for(lambda: d.request("c:make_snapshot:n:") == "r:make_snapshot:n:"))
        # Ending the splash (injected at its own transform) brings nothing back.
        mark = len(d.log())
        self.assertEqual(d.request("c:kill_pipe:i:6"), "r:kill_pipe:n:")
        self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 6", mark))
        time.sleep(0.5)
        self.assertFalse(log_lines_after(d, mark, r"Splash Pipeline set to playing"))
        self.assertFalse(log_lines_after(d, mark, r"did not deliver"))

    def test_lost_source_stops_the_display_then_the_splash_follows(self):
        d = self.daemon
        mark = len(d.log())
        self.assertEqual(d.request("c:kill_pipe:i:0"), "r:kill_pipe:n:")
        self.assertTrue(wait_for_log(d, r"Splash Pipeline set to playing", mark))
        order = [line.split("]: ")[1] for line in log_lines_after(
            d, mark, r"Got EoS event on pipe|Sending eos on pipe|Input failed")]
        self.assertEqual(order, ["Sending eos on pipe: 0", "Got EoS event on pipe 0",
                                 "Sending eos on pipe: 1", "Got EoS event on pipe 1",
                                 "Input failed - showing no video indication"])
        # A second stop of an ending or absent pipe changes nothing.
        self.assertEqual(d.request("c:kill_pipe:i:0"), "r:kill_pipe:n:")
        self.assertEqual(d.request("c:kill_pipe:i:99"), "r:kill_pipe:n:")
        self.assertEqual(d.stop(), 0)
        self.assertIn("Goodbye", d.log())

    def test_a_paused_display_still_ends_when_stopped(self):
        d = self.daemon
        self.assertEqual(d.request("c:pause_pipe:i:1"), "r:pause_pipe:n:")
        mark = len(d.log())
        started = time.monotonic()
        self.assertEqual(d.request("c:kill_pipe:i:1"), "r:kill_pipe:n:")
        self.assertTrue(wait_for_log(d, r"Splash Pipeline set to playing", mark, timeout=10))
        self.assertLess(time.monotonic() - started, 3)
        self.assertFalse(log_lines_after(d, mark, r"did not deliver"))
        self.assertEqual(d.stop(), 0)


class Deadline(unittest.TestCase):
    def test_a_pipe_that_never_ends_is_torn_down_after_a_bounded_wait(self):
        with Daemon({"enc_type": 1}) as d:
            self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
            # The record encoder's source is told to drop the end-of-stream it is sent.
            os.makedirs(d.path("/var/lib/interpipe"))
            with open(d.path("/var/lib/interpipe/hold-eos"), "w") as held:
                held.write("record-enc-ipsrc\n")
            mark = len(d.log())
            started = time.monotonic()
            self.assertEqual(d.request("c:kill_pipe:i:2"), "r:kill_pipe:n:")
            time.sleep(2)
            self.assertEqual(d.request("c:get_enc_type:n:"), "r:get_enc_type:s:1")
            self.assertFalse(log_lines_after(d, mark, r"Got EoS event on pipe 2"))
            self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 2", mark, timeout=10))
            elapsed = time.monotonic() - started
            self.assertTrue(log_lines_after(
                d, mark, r"\[WARN\]: Pipe 2 did not deliver its end-of-stream in time"))
            self.assertGreater(elapsed, 4.5)
            self.assertLess(elapsed, 8)
            self.assertEqual(d.request("c:enable_record:i:0"), "r:enable_record:n:")
            self.assertEqual(d.stop(), 0)

    def test_a_recording_whose_pictures_or_sound_stopped_still_ends(self):
        # The split sink holds one stream back while the other lags behind it; once the other
        # stops for good, stopping the recording must neither hang the daemon nor lose the file.
        for stalled in (2, 3):
            with self.subTest(paused_encoder=stalled), \
                    Daemon({"enc_type": 0, "record_max_len": 5}) as d:
                self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
                time.sleep(1)
                self.assertEqual(d.request(f"c:pause_pipe:i:{stalled}"), "r:pause_pipe:n:")
                time.sleep(2)
                mark = len(d.log())
                self.assertEqual(d.request("c:enable_record:i:0"), "r:enable_record:n:")
                self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 5$", mark, timeout=15))
                self.assertFalse(log_lines_after(d, mark, r"Pipe 5 did not deliver"))
                recorded = fragments(d.path("/media/video"), "video_")
                self.assertTrue(recorded)
                self.assertTrue(MediaInfo(recorded[-1]).ok)
                self.assertEqual(d.request("c:get_enc_type:n:"), "r:get_enc_type:s:0")
                self.assertEqual(d.stop(timeout=30), 0)


class Profiling(unittest.TestCase):
    def test_profiler_in_the_display_pipeline(self):
        with Daemon(args=("-v", "-f")) as d:
            mark = len(d.log())
            self.assertEqual(d.request("c:pipeline_state:n:"), "r:pipeline_state:n:")
            text = "\n".join(log_lines_after(d, mark, ""))
            self.assertRegex(text, r"Element: \(\w+\) perf-display, state: PLAYING")
            self.assertIn("pad: src, dir: SRC <-> peer: sink, parent:perf-display", text)
            self.assertIn("pad: src, dir: SRC <-> peer: sink, parent:display-sink", text)


if __name__ == "__main__":
    unittest.main()
