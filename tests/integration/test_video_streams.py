"""The MPEG-TS server on TCP and the H.264 upload over HTTP in the real daemon, and how the
consumers share the producers."""
import tempfile
import time
import unittest

from harness import Daemon, wait_for
from media import (TS_H264, TS_MPEG_AUDIO, MediaInfo, TcpReader, UploadServer, fragments,
                   free_port, h264_nal_types, log_lines_after, ts_stream_types, wait_for_log)


def eos_lines(daemon, mark):
    return [line.split("]: ")[1] for line in
            log_lines_after(daemon, mark, r"Sending eos on pipe|EOS to pipe")]


def readers_data(port, count, seconds):
    readers = [TcpReader(port) for _ in range(count)]
    time.sleep(seconds)
    return [reader.stop() for reader in readers]


class TcpStream(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.port = free_port()
        cls.daemon = Daemon({"tcp_stream_port": cls.port, "enc_type": 0}).start()

    @classmethod
    def tearDownClass(cls):
        cls.daemon.cleanup()

    def stream(self, enc_type, types_expected, video):
        d = self.daemon
        self.assertEqual(d.request(f"c:set_enc_type:i:{enc_type}"), "r:set_enc_type:n:")
        mark = len(d.log())
        self.assertEqual(d.request("c:enable_tcp_stream:i:1"), "r:enable_tcp_stream:n:")
        self.assertEqual(d.request("c:enable_tcp_stream:i:1"), "r:enable_tcp_stream:n:")
        self.assertEqual(len(log_lines_after(d, mark, r"Creating stream pipeline")), 1)
        self.assertEqual(d.request(f"c:set_enc_type:i:{(enc_type + 1) % 3}"),
                         "e:set_enc_type:n:")
        # Two clients at once, each gets the whole stream.
        first, second = readers_data(self.port, 2, 3)
        for data in (first, second):
            self.assertGreater(len(data), 100 * 188)
            types = ts_stream_types(data)
            self.assertTrue(types_expected(types), types)
        with tempfile.NamedTemporaryFile(suffix=".ts") as capture:
            capture.write(first)
            capture.flush()
            info = MediaInfo(capture.name)
            self.assertIn("video/mpegts", info.container, info.text)
            self.assertEqual(info.video, ["video/x-h264"] if video else [])
        self.assertEqual(d.request("c:enable_tcp_stream:i:0"), "r:enable_tcp_stream:n:")
        self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 4", mark))
        producers = {8, 9, 3} if enc_type == 0 else {8, 9}
        self.assertEqual({int(line[-1]) for line in eos_lines(d, mark)}, producers | {4})
        self.assertTrue(wait_for(lambda: len(log_lines_after(d, mark, r"Got EoS event")) ==
                                 len(producers) + 1))

    def test_video_and_audio(self):
        self.stream(0, lambda types: len(types) == 2 and TS_H264 in types and
                    bool(set(types) & set(TS_MPEG_AUDIO)), video=True)

    def test_video_only_two_clients(self):
        self.stream(1, lambda types: types == [TS_H264], video=True)


class HttpStream(unittest.TestCase):
    def test_upload_survives_the_server_going_away(self):
        port = free_port()
        server = UploadServer(port)
        url = f"http://127.0.0.1:{port}/upload/channel"
        tcp_port = free_port()
        with Daemon({"http_url": url, "enc_type": 1, "tcp_stream_port": tcp_port}) as d:
            try:
                self.assertEqual(d.request("c:enable_http_stream:i:1"),
                                 "r:enable_http_stream:n:")
                self.assertTrue(wait_for(lambda: server.received() > 50000, timeout=10))
                nal_types = h264_nal_types(server.data)
                self.assertTrue({5, 7, 8} <= nal_types, nal_types)
                # An HTTP stream does not hold back an encoding change.
                self.assertEqual(d.request("c:set_enc_type:i:2"), "r:set_enc_type:n:")
                self.assertEqual(d.request("c:set_enc_type:i:1"), "r:set_enc_type:n:")

                server.stop()
                mark = len(d.log())
                time.sleep(2)
                self.assertEqual(d.request("c:get_lum:n:")[:2], "r:")
                self.assertTrue(log_lines_after(d, mark, r"\[INFO\]: event detected"))
                server = UploadServer(port)
                self.assertTrue(wait_for(lambda: server.received() > 50000, timeout=15))
                self.assertTrue({5, 7} <= h264_nal_types(server.data))

                # A TCP stream joining the stream encoder that has run for a while is served at
                # once.
                self.assertEqual(d.request("c:enable_tcp_stream:i:1"), "r:enable_tcp_stream:n:")
                data = readers_data(tcp_port, 1, 2)[0]
                self.assertGreater(len(data), 50 * 188)
                self.assertIn(TS_H264, ts_stream_types(data))
                self.assertEqual(d.request("c:enable_tcp_stream:i:0"), "r:enable_tcp_stream:n:")

                mark = len(d.log())
                self.assertEqual(d.request("c:enable_http_stream:i:0"),
                                 "r:enable_http_stream:n:")
                self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 7", mark))
                self.assertEqual({int(line[-1]) for line in eos_lines(d, mark)}, {8, 9, 7})
                self.assertEqual(d.stop(), 0)
            finally:
                server.stop()

    def test_no_http_stream_without_video(self):
        with Daemon({"enc_type": 2}) as d:
            mark = len(d.log())
            self.assertEqual(d.request("c:enable_http_stream:i:1"), "e:enable_http_stream:n:")
            self.assertFalse(log_lines_after(d, mark, r"Creating"))
            self.assertEqual(d.request("c:enable_http_stream:i:0"), "r:enable_http_stream:n:")


class SharedProducers(unittest.TestCase):
    def test_last_consumer_ends_the_producers(self):
        port = free_port()
        with Daemon({"tcp_stream_port": port, "enc_type": 1, "record_max_len": 2}) as d:
            self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
            mark = len(d.log())
            self.assertEqual(d.request("c:enable_tcp_stream:i:1"), "r:enable_tcp_stream:n:")
            # The transformer is shared: only the stream encoder and the consumer are new.
            self.assertEqual(len(log_lines_after(d, mark, r"Creating video transformer")), 0)
            self.assertEqual(len(log_lines_after(d, mark, r"Creating stream video encoding")), 1)

            # A paused recording plays again to its end when stopped; repeated stops of it must
            # not end the producers the stream still uses, only the record encoder it alone used.
            time.sleep(1)
            self.assertEqual(d.request("c:pause_pipe:i:5"), "r:pause_pipe:n:")
            mark = len(d.log())
            for _ in range(3):
                self.assertEqual(d.request("c:enable_record:i:0"), "r:enable_record:n:")
            self.assertEqual(eos_lines(d, mark)[:2], ["Sending eos on pipe: 2",
                                                      "Sending eos on pipe: 5"])
            self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 5$", mark))
            recorded = MediaInfo(fragments(d.path("/media/video"), "video_")[-1])
            self.assertTrue(recorded.ok, recorded.text)
            self.assertEqual(recorded.video, ["video/x-h264"])
            data = readers_data(port, 1, 2)[0]
            self.assertGreater(len(data), 50 * 188)

            mark = len(d.log())
            self.assertEqual(d.request("c:enable_tcp_stream:i:0"), "r:enable_tcp_stream:n:")
            self.assertEqual(eos_lines(d, mark), ["Sending eos on pipe: 8",
                                                  "Sending eos on pipe: 9",
                                                  "Sending eos on pipe: 4"])
            self.assertEqual(d.stop(), 0)
            self.assertNotIn("did not deliver its end-of-stream in time", d.log())


if __name__ == "__main__":
    unittest.main()
