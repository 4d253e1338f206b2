"""Stopping the daemon while it records and streams: every pipe drains, the last fragment is
complete, the daemon says goodbye with status 0; and no GStreamer object outlives a full
record and stream cycle."""
import glob
import os
import shutil
import signal
import time
import unittest

from harness import Daemon, make_sysroot, wait_for
from media import MediaInfo, TcpReader, UploadServer, fragments, free_port, wait_for_log

RUNS = 20


class Drain(unittest.TestCase):
    def test_sigterm_while_recording_and_streaming_drains_every_pipe(self):
        tcp_port, http_port = free_port(), free_port()
        server = UploadServer(http_port)
        root = make_sysroot({"enc_type": 0, "record_max_len": 2, "tcp_stream_port": tcp_port,
                             "http_url": f"http://127.0.0.1:{http_port}/upload/channel"})
        folder = os.path.join(root, "media", "video")
        try:
            durations = []
            for run in range(RUNS):
                d = Daemon(sysroot=root)
                mark = len(d.log()) if os.path.exists(d.output_path) else 0
                d.start()
                before = set(glob.glob(os.path.join(folder, "*.mp4")))
                for command in ("enable_record", "enable_tcp_stream", "enable_http_stream"):
                    self.assertEqual(d.request(f"c:{command}:i:1"), f"r:{command}:n:")
                reader = TcpReader(tcp_port)
                time.sleep(0.8 + 0.05 * (run % 5))
                started = time.monotonic()
                status = d.stop(signal.SIGTERM if run % 2 == 0 else signal.SIGINT, timeout=30)
                durations.append(time.monotonic() - started)
                reader.stop()
                log = d.log()[mark:]
                self.assertEqual(status, 0, log[-3000:])
                self.assertTrue(log.rstrip().endswith("[INFO]: Goodbye"), log[-3000:])
                for pipe in (0, 1, 2, 3, 4, 5, 7, 8, 9):
                    self.assertIn(f"Got EoS event on pipe {pipe}\n", log)
                new = sorted(set(glob.glob(os.path.join(folder, "*.mp4"))) - before)
                self.assertTrue(new, f"run {run}: no recording")
                last = MediaInfo(new[-1])
                self.assertTrue(last.ok, last.text)
                self.assertEqual(last.video, ["video/x-h264"])
                self.assertEqual(MediaInfo(new[0]).audio, ["audio/mpeg"])
            self.assertGreater(server.received(), 0)
            print(f"\nstop durations over {RUNS} runs: median %.2fs, max %.2fs" %
                  (sorted(durations)[RUNS // 2], max(durations)))
        finally:
            server.stop()
            shutil.rmtree(root, ignore_errors=True)

    def test_commands_are_served_while_draining(self):
        with Daemon({"enc_type": 1, "record_max_len": 2}) as d:
            self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
            time.sleep(1)
            # The record encoder, told to drop its end-of-stream, keeps the daemon draining
            # for its bounded wait.
            os.makedirs(d.path("/var/lib/interpipe"))
            with open(d.path("/var/lib/interpipe/hold-eos"), "w") as held:
                held.write("record-enc-ipsrc\n")
            d.proc.send_signal(signal.SIGTERM)
            self.assertTrue(wait_for_log(d, r"stopping daemon \.\.\."))
            self.assertEqual(d.request("c:get_enc_type:n:"), "r:get_enc_type:s:1")
            # Lost pipes are not replaced while stopping.
            self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 1"))
            self.assertEqual(d.proc.poll(), None)
            self.assertEqual(d.wait(30), 0)
            self.assertNotIn("Splash Pipeline", d.log())
            self.assertNotIn("Pipe 5 did not deliver", d.log())
            recorded = fragments(d.path("/media/video"), "video_")
            self.assertTrue(recorded)
            last = MediaInfo(recorded[-1])
            self.assertTrue(last.ok, last.text)
            self.assertEqual(last.video, ["video/x-h264"])


class Leaks(unittest.TestCase):
    def test_no_gstreamer_object_outlives_a_record_and_stream_cycle(self):
        tcp_port, http_port = free_port(), free_port()
        server = UploadServer(http_port)
        env = {"GST_TRACERS": "leaks", "GST_DEBUG": "GST_TRACER:7", "GST_DEBUG_NO_COLOR": "1"}
        settings = {"enc_type": 0, "record_max_len": 2, "tcp_stream_port": tcp_port,
                    "http_url": f"http://127.0.0.1:{http_port}/upload/channel"}
        try:
            with Daemon(settings, env=env) as d:
                for command in ("enable_record", "enable_tcp_stream", "enable_http_stream"):
                    self.assertEqual(d.request(f"c:{command}:i:1"), f"r:{command}:n:")
                reader = TcpReader(tcp_port)
                time.sleep(2)
                self.assertEqual(d.request("c:make_snapshot:n:"), "r:make_snapshot:n:")
                self.assertEqual(d.request("c:set_mic_volume:i:30"), "r:set_mic_volume:n:")
                for command in ("enable_record", "enable_tcp_stream", "enable_http_stream"):
                    self.assertEqual(d.request(f"c:{command}:i:0"), f"r:{command}:n:")
                reader.stop()
                self.assertTrue(wait_for(lambda: d.log().count("Got EoS event on pipe") == 7))
                self.assertEqual(d.request("c:kill_pipe:i:1"), "r:kill_pipe:n:")
                self.assertTrue(wait_for_log(d, r"Splash Pipeline set to playing"))
                self.assertEqual(d.request("c:create_pipe:i:1"), "r:create_pipe:n:")
                status = d.stop()
                log = d.log()
                self.assertEqual(status, 0, log[-4000:])
                self.assertIn("Goodbye", log)
                alive = [line for line in log.splitlines() if "object-alive" in line and
                         "object-alive.class" not in line and "new format" not in line]
                self.assertEqual(alive, [])
                self.assertNotIn("Leaks detected", log)
        finally:
            server.stop()


if __name__ == "__main__":
    unittest.main()
