"""Media helpers for the video tests: inspecting recorded files, reading the TCP stream,
receiving the HTTP upload, and a small tmpfs for free-space tests."""
import glob
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from harness import wait_for


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class MediaInfo:
    """What gst-discoverer-1.0 finds in a file: duration in seconds and the stream kinds."""

    def __init__(self, path):
        result = subprocess.run(["gst-discoverer-1.0", "-v", path], capture_output=True,
                                text=True, timeout=60)
        self.text = result.stdout + result.stderr
        self.ok = result.returncode == 0 and "Done discovering" in self.text and \
            "error" not in self.text.lower().split("properties:")[0]
        match = re.search(r"Duration: (\d+):(\d+):(\d+\.\d+)", self.text)
        self.duration = (int(match[1]) * 3600 + int(match[2]) * 60 + float(match[3])
                         if match else None)
        self.video = re.findall(r"^\s*video #\d+: (\S+?),", self.text, re.M)
        self.audio = re.findall(r"^\s*audio #\d+: (\S+?),", self.text, re.M)
        self.container = re.findall(r"^\s*container #\d+: (\S+?)[,\s]", self.text, re.M)


def track_span(path, kind):
    """(first, last) presentation time in seconds of the first `kind` ("video" or "audio")
    track of an MP4 file, as the demuxer puts them on the file's timeline; None without one."""
    result = subprocess.run(
        ["gst-launch-1.0", "filesrc", f"location={path}", "!", "qtdemux", "name=demux",
         f"demux.{kind}_0", "!", "fakesink", "silent=false", "-v"],
        capture_output=True, text=True, timeout=60)
    stamps = [int(h) * 3600 + int(m) * 60 + float(s) for h, m, s in
              re.findall(r"pts: (\d+):(\d+):(\d+\.\d+)", result.stdout)]
    return (min(stamps), max(stamps)) if stamps else None


def decodes(path, decoder_chain):
    """True when the whole file runs through `decoder_chain` without an error."""
    result = subprocess.run(
        ["gst-launch-1.0", "-q", "filesrc", f"location={path}", "!"] + decoder_chain.split() +
        ["!", "fakesink"], capture_output=True, text=True, timeout=60)
    return result.returncode == 0


def fragments(folder, prefix):
    return sorted(glob.glob(os.path.join(folder, prefix + "*_[0-9][0-9].mp4")))


class TcpReader(threading.Thread):
    """Reads the TCP stream into memory until stopped."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.data = bytearray()
        self.running = True
        self.start()

    def run(self):
        self.sock.settimeout(0.2)
        while self.running:
            try:
                chunk = self.sock.recv(65536)
            except (socket.timeout, TimeoutError):
                continue
            except OSError:
                break
            if not chunk:
                break
            self.data += chunk

    def stop(self):
        self.running = False
        self.join(5)
        self.sock.close()
        return bytes(self.data)


def ts_stream_types(data):
    """Stream types of the first program map table found in an MPEG transport stream."""
    packets = [data[i:i + 188] for i in range(0, len(data) - 187, 188)]
    pmt_pids = set()
    for packet in packets:
        if packet[0] != 0x47:
            return None
        pid = ((packet[1] & 0x1F) << 8) | packet[2]
        start = packet[1] & 0x40
        payload = packet[4:]
        if packet[3] & 0x20:
            payload = packet[5 + packet[4]:]
        if not start:
            continue
        section = payload[1 + payload[0]:]
        if pid == 0 and section and section[0] == 0x00:
            length = ((section[1] & 0x0F) << 8) | section[2]
            for i in range(8, 3 + length - 4, 4):
                program = (section[i] << 8) | section[i + 1]
                if program:
                    pmt_pids.add(((section[i + 2] & 0x1F) << 8) | section[i + 3])
        elif pid in pmt_pids and section and section[0] == 0x02:
            length = ((section[1] & 0x0F) << 8) | section[2]
            info_length = ((section[10] & 0x0F) << 8) | section[11]
            i, end, types = 12 + info_length, 3 + length - 4, []
            while i + 5 <= end:
                types.append(section[i])
                i += 5 + (((section[i + 3] & 0x0F) << 8) | section[i + 4])
            return types
    return []


TS_H264 = 0x1B
TS_MPEG_AUDIO = (0x03, 0x04)


def h264_nal_types(data):
    """NAL unit types found after Annex B start codes."""
    return {data[m.end()] & 0x1F for m in re.finditer(b"\x00\x00\x01", bytes(data))
            if m.end() < len(data)}


class _QuietServer(ThreadingHTTPServer):
    """Takes the port again at once; an upload the daemon cuts is no error of the server."""

    allow_reuse_address = True

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


class UploadServer:
    """An HTTP server that takes POST uploads (chunked or not) and keeps their bytes."""

    def __init__(self, port):
        self.port = port
        self.data = bytearray()
        self.connections = []
        self.lock = threading.Lock()
        owner = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def setup(self):
                super().setup()
                with owner.lock:
                    owner.connections.append(self.connection)

            def do_POST(self):
                if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
                    while True:
                        line = self.rfile.readline()
                        if not line:
                            return
                        size = int(line.split(b";")[0].strip() or b"0", 16)
                        if size == 0:
                            self.rfile.readline()
                            break
                        chunk = self.rfile.read(size)
                        self.rfile.readline()
                        with owner.lock:
                            owner.data += chunk
                else:
                    chunk = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                    with owner.lock:
                        owner.data += chunk
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = _QuietServer(("127.0.0.1", port), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def received(self):
        with self.lock:
            return len(self.data)

    def stop(self):
        """Goes away: no more connections, and the open ones are cut."""
        self.server.shutdown()
        self.server.server_close()
        with self.lock:
            for connection in self.connections:
                try:
                    connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            self.connections = []


class SmallFs:
    """A tmpfs of `size` mounted on a new folder (needs root); unmounted by close()."""

    def __init__(self, size="150m"):
        self.path = tempfile.mkdtemp(prefix="mrvdc-media-")
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs",
                                 self.path], capture_output=True, text=True)
        self.mounted = result.returncode == 0
        self.error = result.stderr

    def free_bytes(self):
        info = os.statvfs(self.path)
        return info.f_frsize * info.f_bfree

    def close(self):
        if self.mounted:
            subprocess.run(["umount", "-l", self.path])
        os.rmdir(self.path)


def log_lines_after(daemon, mark, pattern):
    """Lines of the daemon's log after character offset `mark` that match `pattern`."""
    return [line for line in daemon.log()[mark:].splitlines() if re.search(pattern, line)]


def wait_for_log(daemon, pattern, mark=0, timeout=10.0):
    return wait_for(lambda: log_lines_after(daemon, mark, pattern), timeout=timeout)
