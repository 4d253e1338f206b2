"""What the host platform recorded of the daemon's outputs: overlay texts, camera-core command
lines, panel attributes; input records for the button FIFO; a Redis server and subscriber."""
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time

from harness import wait_for

PANEL = "/sys/bus/i2c/drivers/mxc_uoled_i2c/0-0024"
HDMI_NODE = "/sys/devices/soc0/soc/20e0000.hdmi_video/cable_state"

KEY_NUC, KEY_ZOOM, KEY_POL, KEY_ENTER = 158, 172, 139, 28
EV_SYN, EV_KEY = 0, 1


class Record:
    """Lines a stand-in appended to its log, read from a mark onwards."""

    def __init__(self, daemon, fixed_path):
        self.path = daemon.path(fixed_path)
        self.mark = 0

    def lines(self):
        try:
            with open(self.path) as log:
                return log.read().splitlines()
        except FileNotFoundError:
            return []

    def set_mark(self):
        self.mark = len(self.lines())

    def new(self):
        return self.lines()[self.mark:]


def overlay_record(daemon):
    return Record(daemon, "/var/log/overlay.log")


def mrvac_record(daemon):
    return Record(daemon, "/var/log/mrvac.log")


def panel_attribute(daemon, name="attr_luminance"):
    with open(daemon.path(f"{PANEL}/{name}")) as attr:
        return attr.read()


def inject_mrvac_failure(daemon, rule):
    with open(daemon.path("/var/lib/mrvac/fail"), "a") as fail:
        fail.write(rule + "\n")


# The kernel's input event in native layout: a time stamp of two longs, type, code and value.
# 16 bytes on the sight's 32-bit kernel, 24 on a 64-bit one, as the daemon built here reads it.
INPUT_EVENT = "@llHHi"


def input_record(ev_type, code, value):
    """One input event as the daemon's build reads it."""
    return struct.pack(INPUT_EVENT, 0, 0, ev_type, code, value)


def key_records(code, repeats=0):
    records = input_record(EV_KEY, code, 1) + input_record(EV_SYN, 0, 0)
    for _ in range(repeats):
        records += input_record(EV_KEY, code, 2) + input_record(EV_SYN, 0, 0)
    return records + input_record(EV_KEY, code, 0) + input_record(EV_SYN, 0, 0)


def open_buttons(daemon):
    """The write end of the button FIFO (the daemon holds the read end)."""
    return os.open(daemon.path("/dev/input/event1"), os.O_WRONLY)


def reticle_geometry(x, y, rd_x, rd_y, width, height):
    return ('ReticleMenu.retProfParam:{"X": %f,"Y": %f, "RD_X": %f,"RD_Y": %f,'
            '"WIDTH": %f,"HEIGHT": %f}' % (x, y, rd_x, rd_y, width, height))


def icon(key, value, spaced=True):
    sep = " ," if spaced else ","
    return 'OffMenu.offMenuParams:{"KEY": "%s"%s "VAL": %d}' % (key, sep, value)


class RedisServer:
    """A redis-server on the daemon's bus socket path, for the test's life."""

    def __init__(self, socket_path):
        self.socket_path = socket_path
        self.dir = tempfile.mkdtemp(prefix="mrvdc-redis-")
        self.proc = subprocess.Popen(
            ["redis-server", "--port", "0", "--unixsocket", socket_path, "--dir", self.dir,
             "--save", "", "--appendonly", "no"], stdout=subprocess.DEVNULL)
        if not wait_for(self._ready, timeout=10):
            raise RuntimeError("redis-server did not start")

    def _ready(self):
        try:
            with socket.socket(socket.AF_UNIX) as probe:
                probe.connect(self.socket_path)
                probe.sendall(b"PING\r\n")
                return probe.recv(64).startswith(b"+PONG")
        except OSError:
            return False

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class Subscriber:
    """A plain RESP subscriber: enough to read published messages."""

    def __init__(self, socket_path, *channels):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.connect(socket_path)
        self.buffer = b""
        for channel in channels:
            self.sock.sendall(b"SUBSCRIBE %s\r\n" % channel.encode())
            assert self._read_array()[0] == b"subscribe"

    def _line(self):
        while b"\r\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def _read_array(self):
        header = self._line()
        assert header.startswith(b"*"), header
        items = []
        for _ in range(int(header[1:])):
            kind = self._line()
            if kind.startswith(b":"):
                items.append(int(kind[1:]))
                continue
            length = int(kind[1:])
            while len(self.buffer) < length + 2:
                self.buffer += self.sock.recv(4096)
            items.append(self.buffer[:length])
            self.buffer = self.buffer[length + 2:]
        return items

    def messages(self, timeout):
        """(channel, text) pairs published within `timeout` seconds."""
        found = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                kind, channel, text = self._read_array()
            except (socket.timeout, TimeoutError):
                break
            if kind == b"message":
                found.append((channel.decode(), text.decode()))
        return found

    def close(self):
        self.sock.close()


class Picture:
    """A decoded JPEG: RGB bytes, row by row."""

    def __init__(self, path):
        raw = path + ".rgb"
        caps = subprocess.run(
            ["gst-launch-1.0", "-q", "filesrc", f"location={path}", "!", "jpegdec", "!",
             "videoconvert", "!", "video/x-raw,format=RGB", "!", "filesink",
             f"location={raw}"], check=True, capture_output=True, timeout=60)
        del caps
        with open(raw, "rb") as data:
            self.pixels = data.read()
        os.remove(raw)
        self.width, self.height = 1024, 768
        assert len(self.pixels) == self.width * self.height * 3, len(self.pixels)

    def rgb(self, x, y):
        at = (y * self.width + x) * 3
        return tuple(self.pixels[at:at + 3])

    def luma(self, x, y):
        r, g, b = self.rgb(x, y)
        return (r + g + b) / 3


def take_snapshot(daemon):
    """Takes a snapshot through the daemon and returns the decoded picture."""
    folder = daemon.path("/media/image")
    before = set(os.listdir(folder)) if os.path.isdir(folder) else set()
    time.sleep(1.1)  # a new second, so a new file name
    reply = daemon.request("c:make_snapshot:n:")
    assert reply == "r:make_snapshot:n:", reply
    (name,) = set(os.listdir(folder)) - before
    return Picture(os.path.join(folder, name))


def snapshot_showing(daemon, check, timeout=15):
    """A snapshot that passes `check`, or the last one taken when none did in time: the overlay
    renders beside the stream, so a change shows a few frames later (longer on a busy host)."""
    shots = []
    wait_for(lambda: shots.append(take_snapshot(daemon)) or check(shots[-1]), timeout=timeout,
             interval=0)
    return shots[-1]
