"""Stall benchmark of mrvdc in the host platform (run through bench/run-stall).

How long a request waits behind other work: a probe asks "get_lum" every 20 ms on a fresh
connection, first with the daemon idle, then while a driver runs a fixed mix for several rounds
(recording, TCP stream and HTTP upload starts and stops, a recording started while the one
before it is ending, snapshots, zoom presses on the button device and through the socket,
PIP, luminance, pause and resume). Prints the probe's p50, p99 and maximum for both, and the
delay from a zoom press written to the button device to its first camera-core command.
Assertions are left to the tests: this prints figures only.
"""
import argparse
import os
import shutil
import statistics
import struct
import threading
import time

from video import Daemon, request
from media import UploadServer, free_port

PROBE_PERIOD = 0.02
KEY_ZOOM, EV_KEY, EV_SYN = 172, 1, 0
INPUT_EVENT = "@llHHi"


def zoom_press():
    records = b""
    for ev_type, code, value in ((EV_KEY, KEY_ZOOM, 1), (EV_SYN, 0, 0), (EV_KEY, KEY_ZOOM, 0),
                                 (EV_SYN, 0, 0)):
        records += struct.pack(INPUT_EVENT, 0, 0, ev_type, code, value)
    return records


class Probe(threading.Thread):
    """Asks get_lum every PROBE_PERIOD on a fresh connection; keeps each wait in ms."""

    def __init__(self, root):
        super().__init__(daemon=True)
        self.root, self.waits, self.running = root, [], True
        self.start()

    def run(self):
        next_at = time.monotonic()
        while self.running:
            start = time.monotonic()
            reply = request(self.root, "c:get_lum:n:")
            self.waits.append((time.monotonic() - start) * 1000)
            assert reply.startswith("r:get_lum"), reply
            next_at += PROBE_PERIOD
            time.sleep(max(0.0, next_at - time.monotonic()))

    def stop(self):
        self.running = False
        self.join()
        return self.waits


class Driver:
    def __init__(self, daemon):
        self.daemon = daemon
        self.buttons = os.open(os.path.join(daemon.root, "dev", "input", "event1"), os.O_WRONLY)
        self.mrvac_log = os.path.join(daemon.root, "var", "log", "mrvac.log")
        self.button_delays = []

    def ask(self, command, data=None):
        text = f"c:{command}:i:{data}" if data is not None else f"c:{command}:n:"
        return request(self.daemon.root, text)

    def press_zoom(self):
        """A zoom press on the button device; the time until the camera core hears of it."""
        before = os.path.getsize(self.mrvac_log)
        start = time.monotonic()
        os.write(self.buttons, zoom_press())
        while os.path.getsize(self.mrvac_log) == before:
            if time.monotonic() - start > 10:
                raise RuntimeError("the zoom press never reached the camera core")
            time.sleep(0.0005)
        self.button_delays.append((time.monotonic() - start) * 1000)

    def round(self, gap):
        steps = [
            lambda: self.ask("enable_record", 1),
            lambda: self.ask("enable_tcp_stream", 1),
            lambda: self.ask("enable_http_stream", 1),
            lambda: self.ask("make_snapshot"),
            self.press_zoom,
            lambda: self.ask("kbd_zoom"),
            lambda: self.ask("enable_pip", 1),
            self.press_zoom,
            lambda: self.ask("enable_pip", 0),
            lambda: self.ask("set_lum", 2),
            lambda: self.ask("pause_video"),
            lambda: self.ask("resume_video"),
            lambda: self.ask("set_lum", 3),
            lambda: self.ask("enable_record", 0),
            lambda: self.ask("enable_record", 1),
            lambda: self.ask("make_snapshot"),
            lambda: self.ask("enable_tcp_stream", 0),
            lambda: self.ask("enable_http_stream", 0),
            lambda: self.ask("enable_record", 0),
        ]
        for step in steps:
            step()
            time.sleep(gap)

    def close(self):
        os.close(self.buttons)


def figures(waits):
    ordered = sorted(waits)
    p99 = ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]
    return f"p50 {statistics.median(ordered):7.1f}  p99 {p99:7.1f}  max {ordered[-1]:7.1f}  " \
           f"({len(ordered)} requests)"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--idle", type=float, default=5.0, help="seconds of idle probing")
    parser.add_argument("--gap", type=float, default=0.3, help="seconds between mix steps")
    parser.add_argument("--log", help="keep the daemon's debug log here (it names what held "
                        "the loop for 10 ms or more)")
    args = parser.parse_args()

    upload = UploadServer(free_port())
    daemon = Daemon({"enc_type": 0, "record_max_len": 5,
                     "http_url": f"http://127.0.0.1:{upload.port}/upload/channel",
                     "tcp_stream_port": free_port()},
                    args=("-v",) if args.log else ())
    try:
        daemon.wait_serving()
        time.sleep(1)
        probe = Probe(daemon.root)
        time.sleep(args.idle)
        idle = probe.stop()
        driver = Driver(daemon)
        probe = Probe(daemon.root)
        for _ in range(args.rounds):
            driver.round(args.gap)
        loaded = probe.stop()
        driver.close()
    finally:
        if args.log:
            shutil.copy(os.path.join(daemon.root, "mrvdc.log"), args.log)
        daemon.stop()
        upload.stop()
    print("get_lum wait behind other work, ms (a request every 20 ms on a fresh connection)")
    print(f"  idle:      {figures(idle)}")
    print(f"  under mix: {figures(loaded)}")
    delays = driver.button_delays
    print(f"zoom press to its first camera-core command, ms: median "
          f"{statistics.median(delays):.1f}  max {max(delays):.1f}  ({len(delays)} presses)")
    print(f"  ratio of the maximum under the mix to the idle median: "
          f"{max(loaded) / statistics.median(idle):.0f}")


if __name__ == "__main__":
    main()
