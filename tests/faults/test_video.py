"""The video pipelines under faults: a start while its pipe is ending (served beside clients
and buttons, and answered at a stop), a TCP port already taken,
a start after the stop signal, a stop of a paused recording, a second start of a recording,
an unreachable upload server."""
import os
import re
import signal
import socket
import time
import unittest

from harness import Client, Daemon, wait_for
from media import MediaInfo, TcpReader, fragments, free_port, log_lines_after, wait_for_log
from sight import KEY_ZOOM, Record, key_records, open_buttons

PIPELINES = {"vidtransformer-pipe": 8, "record-videnc-pipe": 2, "stream-videnc-pipe": 9,
             "audenc-pipe": 3, "record-pipe": 5, "stream-pipe": 4, "http-stream-pipe": 7}


def media_pipes(daemon):
    """The record and stream pipes, and their producers, that "pipeline_state" shows."""
    mark = len(daemon.log())
    assert daemon.request("c:pipeline_state:n:") == "r:pipeline_state:n:"
    names = [re.search(r"-- Bin -- \[(.+)\]", line)[1]
             for line in log_lines_after(daemon, mark, r"-- Bin -- \[")]
    return {PIPELINES[name] for name in names if name in PIPELINES}


def hold_eos(daemon, *elements):
    """Makes the named inter-pipeline sources drop the end-of-stream they are sent."""
    os.makedirs(daemon.path("/var/lib/interpipe"), exist_ok=True)
    with open(daemon.path("/var/lib/interpipe/hold-eos"), "w") as names:
        names.write("".join(name + "\n" for name in elements))


class StartWhileEnding(unittest.TestCase):
    def test_a_start_right_after_a_stop_starts_anew_and_leaves_no_producer_behind(self):
        port = free_port()
        with Daemon({"enc_type": 0, "record_max_len": 5, "tcp_stream_port": port}) as d:
            for command in ("enable_record", "enable_tcp_stream"):
                self.assertEqual(d.request(f"c:{command}:i:1"), f"r:{command}:n:")
            time.sleep(1.5)
            with Client(d.socket_path) as client:
                for command in ("enable_record", "enable_tcp_stream"):
                    self.assertEqual(client.request(f"c:{command}:i:0"), f"r:{command}:n:")
                    self.assertEqual(client.request(f"c:{command}:i:1"), f"r:{command}:n:")
            self.assertEqual(len(log_lines_after(d, 0, r"Creating record branch")), 2)
            self.assertEqual(len(log_lines_after(d, 0, r"Creating stream pipeline")), 2)
            self.assertEqual(media_pipes(d), {8, 2, 9, 3, 5, 4})
            reader = TcpReader(port)
            time.sleep(2)
            self.assertGreater(len(reader.stop()), 50 * 188)
            for command in ("enable_record", "enable_tcp_stream"):
                self.assertEqual(d.request(f"c:{command}:i:0"), f"r:{command}:n:")
            self.assertTrue(wait_for(lambda: not media_pipes(d), timeout=15))
            recordings = {re.sub(r"_\d\d\.mp4$", "", name)
                          for name in fragments(d.path("/media/video"), "video_")}
            self.assertEqual(len(recordings), 2, recordings)
            for name in fragments(d.path("/media/video"), "video_"):
                self.assertTrue(MediaInfo(name).ok, name)
            self.assertEqual(d.stop(), 0)

    def start_behind_an_end_that_never_comes(self):
        """A daemon whose recording has stopped while its encoder never ends, and a client
        that has asked for a new recording, which waits behind that end."""
        d = self.enterContext(Daemon({"enc_type": 1, "record_max_len": 5}))
        starter = self.enterContext(Client(d.socket_path, timeout=15))
        hold_eos(d, "record-enc-ipsrc")
        self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
        self.assertEqual(d.request("c:enable_record:i:0"), "r:enable_record:n:")
        starter.sock.sendall(b"c:enable_record:i:1")
        return d, starter

    def test_a_start_waits_behind_a_pipe_that_never_ends_while_others_are_served(self):
        started = time.monotonic()
        d, starter = self.start_behind_an_end_that_never_comes()
        # A request behind the start on its connection waits for the start's reply, which
        # waits for the encoder's 5 s deadline; other clients and the buttons are served
        # meanwhile.
        time.sleep(0.2)
        starter.sock.sendall(b"c:get_lum:n:")
        for _ in range(10):
            asked = time.monotonic()
            self.assertEqual(d.request("c:get_lum:n:"), "r:get_lum:s:0")
            self.assertLess(time.monotonic() - asked, 0.5)
            time.sleep(0.1)
        mrvac = Record(d, "/var/log/mrvac.log")
        buttons = open_buttons(d)
        self.addCleanup(os.close, buttons)
        os.write(buttons, key_records(KEY_ZOOM))
        self.assertTrue(wait_for(lambda: "mrvac zoom 2" in mrvac.lines(), timeout=1))
        self.assertLess(time.monotonic() - started, 4, "the press came after the start's end")
        replies = ""
        while not replies.endswith("r:get_lum:s:0"):
            replies += starter.sock.recv(4096).decode()
        self.assertEqual(replies, "r:enable_record:n:r:get_lum:s:0")
        self.assertGreater(time.monotonic() - started, 3)
        self.assertIn("Pipe 2 did not deliver its end-of-stream", d.log())
        self.assertEqual(media_pipes(d), {8, 2, 5})
        self.assertEqual(d.stop(), 0)

    def test_a_stop_answers_a_start_waiting_behind_an_end_with_e(self):
        d, starter = self.start_behind_an_end_that_never_comes()
        time.sleep(0.5)
        self.assertEqual(d.stop(), 0)
        self.assertEqual(starter.sock.recv(4096).decode(), "e:enable_record:n:")
        self.assertIn("Goodbye", d.log())


class OverdueTogether(unittest.TestCase):
    def test_the_splash_after_overdue_pipes_is_served(self):
        with Daemon({"enc_type": 1, "record_max_len": 5}) as d, \
                Client(d.socket_path) as first, Client(d.socket_path) as second:
            # Connections that stay open, so that descriptor numbers are handed out in order:
            # a display made after the transformer, whose number the splash shown when both are
            # torn down together then takes.
            self.assertEqual(first.request("c:kill_pipe:i:1"), "r:kill_pipe:n:")
            self.assertTrue(wait_for_log(d, r"Splash Pipeline set to playing"))
            self.assertEqual(first.request("c:kill_pipe:i:6"), "r:kill_pipe:n:")
            self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 6"))
            self.assertEqual(first.request("c:enable_record:i:1"), "r:enable_record:n:")
            self.assertEqual(first.request("c:create_pipe:i:1"), "r:create_pipe:n:")
            hold_eos(d, "vid-xform-ipsrc", "record-enc-ipsrc", "display-ipsrc")
            mark = len(d.log())
            first.sock.sendall(b"c:enable_record:i:0")
            second.sock.sendall(b"c:kill_pipe:i:1")
            self.assertEqual(first.sock.recv(100), b"r:enable_record:n:")
            self.assertEqual(second.sock.recv(100), b"r:kill_pipe:n:")
            self.assertTrue(wait_for_log(d, r"Splash Pipeline set to playing", mark, timeout=15))
            mark = len(d.log())
            self.assertEqual(first.request("c:kill_pipe:i:6"), "r:kill_pipe:n:")
            self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 6", mark, timeout=10))
            self.assertFalse(log_lines_after(d, mark, r"Pipe 6 did not deliver"))
            self.assertEqual(d.stop(), 0)


class BusyPort(unittest.TestCase):
    def test_a_stream_on_a_taken_port_fails_and_leaves_nothing_running(self):
        with socket.socket() as taken:
            taken.bind(("0.0.0.0", 0))
            taken.listen()
            port = taken.getsockname()[1]
            with Daemon({"enc_type": 0, "tcp_stream_port": port}) as d:
                self.assertEqual(d.request("c:enable_tcp_stream:i:1"), "e:enable_tcp_stream:n:")
                # Refused before any encoder is built: building and tearing down the sound
                # encoder held every client for over a second.
                self.assertNotIn("Creating audio encoding", d.log())
                self.assertEqual(media_pipes(d), set())
                self.assertEqual(d.request("c:set_enc_type:i:1"), "r:set_enc_type:n:")
                # Recording still works with the producers built anew.
                self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
                self.assertEqual(media_pipes(d), {8, 2, 5})
                self.assertEqual(d.stop(), 0)


class StartWhileStopping(unittest.TestCase):
    def test_after_the_stop_signal_nothing_starts_and_the_daemon_ends(self):
        with Daemon({"enc_type": 1, "tcp_stream_port": free_port()}) as d:
            # A recording whose encoder and record pipe never end keeps the daemon draining,
            # for a few seconds only: the sight is being switched off.
            hold_eos(d, "record-enc-ipsrc", "rec-vid-ipsrc")
            self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
            with Client(d.socket_path) as client:
                d.proc.send_signal(signal.SIGTERM)
                stopped = time.monotonic()
                self.assertTrue(wait_for_log(d, r"stopping daemon \.\.\."))
                for command in ("enable_tcp_stream:i:1", "enable_http_stream:i:1",
                                "enable_record:i:1", "create_pipe:i:1", "create_pipe:i:6"):
                    name = command.split(":")[0]
                    self.assertEqual(client.request(f"c:{command}"), f"e:{name}:n:")
            self.assertEqual(d.wait(20), 0)
            self.assertLess(time.monotonic() - stopped, 5)
            self.assertTrue(d.log().rstrip().endswith("[INFO]: Goodbye"))


class PausedRecording(unittest.TestCase):
    def check_stop_keeps_the_recording(self, pause, stop):
        with Daemon({"enc_type": 0, "record_max_len": 10}) as d:
            self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
            time.sleep(2)
            self.assertEqual(d.request(pause)[0], "r")
            stop(d)
            self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 5$", timeout=15))
            self.assertFalse(log_lines_after(d, 0, r"Pipe 5 did not deliver"))
            (recording,) = fragments(d.path("/media/video"), "video_")
            info = MediaInfo(recording)
            self.assertTrue(info.ok, info.text)
            self.assertEqual(info.video, ["video/x-h264"])
            self.assertGreater(info.duration, 1)

    def test_a_paused_recording_is_finished_when_stopped(self):
        def stop_recording(d):
            self.assertEqual(d.request("c:enable_record:i:0"), "r:enable_record:n:")
            self.assertEqual(d.stop(), 0)

        self.check_stop_keeps_the_recording("c:pause_video:n:", stop_recording)
        self.check_stop_keeps_the_recording("c:pause_pipe:i:5", lambda d: d.stop())


class RecordingNames(unittest.TestCase):
    """A recording is named by the second it starts in, and never after one already there."""

    def take_names(self, d, seconds):
        """Puts a first fragment under the free names of the coming `seconds`, as recordings
        made in them would; returns their paths and contents."""
        now, taken = time.time(), {}
        for second in range(seconds):
            stamp = time.strftime("%Y%m%d%H%M%S", time.localtime(now + second))
            path = d.path(f"/media/video/video_{stamp}_00.mp4")
            if os.path.exists(path):
                continue  # the running recording's
            taken[path] = f"recording {stamp}".encode()
            with open(path, "wb") as fragment:
                fragment.write(taken[path])
        return taken

    def test_a_start_while_recording_takes_no_name_and_a_new_one_overwrites_none(self):
        with Daemon({"enc_type": 0, "record_max_len": 10}) as d:
            self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
            self.assertTrue(wait_for(lambda: fragments(d.path("/media/video"), "video_")))
            taken = self.take_names(d, 3)
            started = time.monotonic()
            self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
            self.assertLess(time.monotonic() - started, 0.5)
            for path in taken:
                os.unlink(path)
            time.sleep(1.5)  # pictures enough for a recording that is kept
            self.assertEqual(d.request("c:enable_record:i:0"), "r:enable_record:n:")
            self.assertTrue(wait_for_log(d, r"Got EoS event on pipe 5$", timeout=15))

            if time.time() % 1 > 0.7:
                time.sleep(0.4)
            taken = self.take_names(d, 1)
            self.assertEqual(d.request("c:enable_record:i:1"), "r:enable_record:n:")
            time.sleep(2)
            self.assertEqual(d.request("c:enable_record:i:0"), "r:enable_record:n:")
            self.assertTrue(wait_for(lambda: len(log_lines_after(d, 0, r"EoS event on pipe 5$"))
                                     == 2, timeout=15))
            for path, content in taken.items():
                with open(path, "rb") as fragment:
                    self.assertEqual(fragment.read(), content)
            recordings = [name for name in fragments(d.path("/media/video"), "video_")
                          if name not in taken]
            self.assertEqual(len(recordings), 2, recordings)
            for name in recordings:
                self.assertTrue(MediaInfo(name).ok, name)
            self.assertEqual(d.stop(), 0)


class UnreachableUploadServer(unittest.TestCase):
    def test_restarts_back_off(self):
        url = f"http://127.0.0.1:{free_port()}/upload/channel"
        with Daemon({"enc_type": 1, "http_url": url}) as d:
            self.assertEqual(d.request("c:enable_http_stream:i:1"), "r:enable_http_stream:n:")
            self.assertTrue(wait_for_log(d, r"event detected"))
            time.sleep(7)
            restarts = log_lines_after(d, 0, r"event detected")
            # 1, 2 and 4 s apart: three or four within these seven seconds, each one line.
            self.assertLessEqual(len(restarts), 4, restarts[-3:])
            self.assertGreaterEqual(len(restarts), 2, restarts[-3:])
            self.assertEqual(len(log_lines_after(d, 0, r"http-sink")), len(restarts))
            self.assertEqual(d.request("c:enable_http_stream:i:0"), "r:enable_http_stream:n:")
            self.assertTrue(wait_for(lambda: not media_pipes(d), timeout=10))
            self.assertEqual(d.stop(), 0)


if __name__ == "__main__":
    unittest.main()
