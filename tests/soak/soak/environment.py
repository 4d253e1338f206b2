"""The world around the sight changing underneath it: the upload server, the stream port, the
message bus, the media file system, the panel, the camera core and the HDMI cable. Each piece
can be broken and mended; `mend` puts it back as the daemon found it."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading

from harness import wait_for
from media import SmallFs, UploadServer
from sight import HDMI_NODE, PANEL

RECORD_SPACE = 117964800
SNAPSHOT_SPACE = 2359296
PANEL_ATTRIBUTES = ("attr_luminance", "attr_display_on", "attr_pon", "attr_pattern")


class Redis:
    """The message bus on the daemon's socket: stopped, started, or frozen for a while."""

    def __init__(self, socket_path):
        self.socket_path = socket_path
        self.dir = tempfile.mkdtemp(prefix="mrvdc-soak-redis-")
        self.proc = None
        self.thaw_timer = None

    def start(self):
        if self.proc is None:
            self.proc = subprocess.Popen(
                ["setpriv", "--pdeathsig", "TERM", "redis-server", "--port", "0",
                 "--unixsocket", self.socket_path, "--dir", self.dir, "--save", "",
                 "--appendonly", "no"], stdout=subprocess.DEVNULL, cwd=self.dir)
            wait_for(lambda: os.path.exists(self.socket_path), timeout=10)

    def stop(self):
        if self.proc is not None:
            self.thaw()
            self.proc.terminate()
            self.proc.wait()
            self.proc = None

    def freeze(self, seconds):
        """Stops the server for `seconds`; it goes on by itself (also while the soak waits for
        a daemon that waits for the server)."""
        if self.proc is not None and not (self.thaw_timer and self.thaw_timer.is_alive()):
            self.proc.send_signal(signal.SIGSTOP)
            self.thaw_timer = threading.Timer(seconds, self.proc.send_signal, [signal.SIGCONT])
            self.thaw_timer.start()

    def thaw(self):
        if self.thaw_timer is not None:
            self.thaw_timer.cancel()
            self.thaw_timer = None
        if self.proc is not None:
            self.proc.send_signal(signal.SIGCONT)

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class Uploads:
    """The HTTP endpoint the upload stream posts to; it goes away and comes back."""

    def __init__(self, port):
        self.port = port
        self.server = None

    def up(self):
        if self.server is None:
            try:
                self.server = UploadServer(self.port)
            except OSError:
                self.server = None

    def down(self):
        if self.server is not None:
            self.server.stop()
            self.server = None


class PortSquatter:
    """Someone else listening on the stream port (only while the daemon does not)."""

    def __init__(self, port):
        self.port = port
        self.sock = None

    def take(self):
        if self.sock is None:
            sock = socket.socket()
            try:
                sock.bind(("127.0.0.1", self.port))
                sock.listen(1)
                self.sock = sock
            except OSError:
                sock.close()

    def free(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None


class MediaFolder:
    """The media file system: a small tmpfs when this machine lets us mount one, else a folder
    of the sysroot that is never filled."""

    def __init__(self, fallback):
        self.fs = SmallFs("150m")
        self.path = self.fs.path if self.fs.mounted else fallback
        self.filler = os.path.join(self.path, "filler.bin")

    @property
    def can_fill(self):
        return self.fs.mounted

    def fill(self, keep_free):
        """Leaves about `keep_free` bytes free (no more than there is)."""
        self.empty_filler()
        info = os.statvfs(self.path)
        size = info.f_frsize * info.f_bavail - keep_free
        with open(self.filler, "wb") as filler:
            chunk = b"\0" * (1 << 20)
            while size > 0:
                filler.write(chunk[:min(size, len(chunk))])
                size -= len(chunk)

    def empty_filler(self):
        if os.path.exists(self.filler):
            os.remove(self.filler)

    def close(self):
        self.fs.close()


class SightPeripherals:
    """What the daemon reaches through sysroot files: the panel's attributes, the camera core's
    failure rules and the HDMI cable node."""

    def __init__(self, daemon):
        self.daemon = daemon

    def refuse_panel(self, attribute):
        path = self.daemon.path(f"{PANEL}/{attribute}")
        if not os.path.islink(path):
            os.remove(path)
            os.symlink("/dev/full", path)

    def accept_panel(self):
        for attribute in PANEL_ATTRIBUTES:
            path = self.daemon.path(f"{PANEL}/{attribute}")
            if os.path.islink(path):
                os.remove(path)
                open(path, "w").close()

    def fail_camera(self, rule):
        with open(self.daemon.path("/var/lib/mrvac/fail"), "a") as rules:
            rules.write(rule + "\n")

    def mend_camera(self):
        try:
            os.remove(self.daemon.path("/var/lib/mrvac/fail"))
        except FileNotFoundError:
            pass

    def hdmi(self, attached):
        node = self.daemon.path(HDMI_NODE)
        if attached:
            os.makedirs(os.path.dirname(node), exist_ok=True)
            with open(node, "w") as cable:
                cable.write("1\n")
        elif os.path.exists(node):
            os.remove(node)


class Environment:
    """Every outside piece at once, with one random change at a time."""

    def __init__(self, daemon, media, tcp_port, http_port):
        self.redis = Redis(daemon.path("/run/redis.sock"))
        self.uploads = Uploads(http_port)
        self.squatter = PortSquatter(tcp_port)
        self.media = media
        self.peripherals = SightPeripherals(daemon)
        self.changes = 0

    def start(self):
        self.redis.start()
        self.uploads.up()

    def change(self, rng):
        """One random change; returns its description."""
        self.changes += 1
        kind = rng.randrange(13)
        if kind == 0:
            self.uploads.down()
            return "upload server gone"
        if kind == 1:
            self.uploads.up()
            return "upload server back"
        if kind == 2:
            self.squatter.take()
            return "stream port taken"
        if kind == 3:
            self.squatter.free()
            return "stream port freed"
        if kind == 4:
            self.redis.stop()
            return "redis stopped"
        if kind == 5:
            self.redis.start()
            return "redis started"
        if kind == 6:
            seconds = rng.uniform(1, 4)
            self.redis.freeze(seconds)
            return "redis frozen for %.1f s" % seconds
        if kind == 7 and self.media.can_fill:
            keep = rng.choice([rng.randint(50, 110) << 20, rng.randint(1, 3) << 20])
            self.media.fill(keep)
            return "media filled, %d MiB left" % (keep >> 20)
        if kind == 8:
            self.media.empty_filler()
            return "media filler removed"
        if kind == 9:
            attribute = rng.choice(("attr_luminance",) * 3 + PANEL_ATTRIBUTES)
            self.peripherals.refuse_panel(attribute)
            return "panel refuses " + attribute
        if kind == 10:
            self.peripherals.accept_panel()
            return "panel accepts"
        if kind == 11:
            rule = rng.choice(["3/1 zoom *", "1/2 origin *", "2/1 pip *", "4/1 fast-nuc",
                               "5 *", "1/3 *", "6/1 shutter-movement *"])
            if rng.random() < 0.5:
                self.peripherals.mend_camera()
                return "camera core mended"
            self.peripherals.fail_camera(rule)
            return "camera core fails: " + rule
        attached = rng.random() < 0.5
        self.peripherals.hdmi(attached)
        return "hdmi " + ("attached" if attached else "detached")

    def mend(self):
        """Everything back to working order (the media filler included)."""
        self.redis.start()
        self.redis.thaw()
        self.uploads.up()
        self.squatter.free()
        self.media.empty_filler()
        self.peripherals.accept_panel()
        self.peripherals.mend_camera()
        self.peripherals.hdmi(False)

    def close(self):
        self.redis.close()
        self.uploads.down()
        self.squatter.free()
