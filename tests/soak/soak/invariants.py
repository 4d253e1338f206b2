"""What must hold whatever happens: a daemon that answers, pipes that serve someone, a
configuration file that is whole and true, media that play, no leaks, clean exits."""
import glob
import os
import re
import subprocess
import threading
import time

from media import MediaInfo, decodes

from .clients import ask
from .requests import REPLY, parse_settings

PIPELINES = {
    "src-pipe": 0, "display-pipe": 1, "record-videnc-pipe": 2, "audenc-pipe": 3,
    "stream-pipe": 4, "record-pipe": 5, "splash-pipe": 6, "http-stream-pipe": 7,
    "vidtransformer-pipe": 8, "stream-videnc-pipe": 9,
}
# A producer pipe runs only while one of its consumers does.
CONSUMERS = {8: {2, 9}, 2: {5}, 9: {4, 7}, 3: {4, 5}}
IDLE_PIPES = {0, 1}
# The camera and the producers: pausing or ending one by hand takes tracks out of recordings.
FEEDS_RECORDINGS = {0} | set(CONSUMERS)
SANITIZER_REPORTS = re.compile(
    r"ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|SUMMARY: UndefinedBehavior")
LIVENESS_TIMEOUT = 0.1
# The sanitizer build runs several times slower, and its run looks for memory faults: its
# liveness bound stays at a second.
SANITIZER_SLOWDOWN = 10.0
EXIT_TIMEOUT = 5.0


class Violation(Exception):
    pass


class DaemonLog:
    """The daemon's output, read from where the last reader stopped."""

    def __init__(self, path):
        self.path = path
        self.offset = 0

    def mark(self):
        self.offset = os.path.getsize(self.path) if os.path.exists(self.path) else 0
        return self.offset

    def since(self, offset):
        with open(self.path, "rb") as log:
            log.seek(offset)
            return log.read().decode(errors="replace")

    def tail(self, count=40):
        with open(self.path, "rb") as log:
            log.seek(max(0, os.path.getsize(self.path) - 200000))
            return "\n".join(log.read().decode(errors="replace").splitlines()[-count:])


class LivenessProbe(threading.Thread):
    """Asks "get_lum" once a second on a connection of its own, whatever the soak is doing,
    so a command that holds the daemon's only thread shows as the silence it causes. One miss
    is reported per silence: it rearms once the daemon answers again."""

    def __init__(self, socket_path, timeout):
        super().__init__(daemon=True)
        self.socket_path = socket_path
        self.timeout = timeout
        self.enabled = threading.Event()
        self.finished = threading.Event()
        self.lock = threading.Lock()
        self.misses = []
        self.slowest = 0.0
        self.slowest_asked_at = None  # monotonic time the slowest answered check was sent
        self.slowest_is_new = False
        self.checks = 0

    def run(self):
        armed = True
        while not self.finished.wait(1.0):
            if not self.enabled.is_set():
                armed = True
                continue
            asked_at = time.monotonic()
            reply, took = ask(self.socket_path, b"c:get_lum:n:", self.timeout)
            answered = reply is not None and re.fullmatch(rb"r:get_lum:s:\d+", reply)
            if not self.enabled.is_set():
                continue  # stopped on purpose meanwhile
            with self.lock:
                self.checks += 1
                if answered:
                    if took > self.slowest:
                        self.slowest, self.slowest_asked_at = took, asked_at
                        self.slowest_is_new = True
                    armed = True
                elif armed:
                    armed = False
                    self.misses.append((f"get_lum not answered within {self.timeout} s "
                                        f"(reply {reply!r} after {took:.2f} s) at "
                                        f"{time.strftime('%H:%M:%S')}", asked_at, took))

    def take_new_slowest(self):
        """(seconds, monotonic time asked) of the slowest answer, once after it changed."""
        with self.lock:
            if not self.slowest_is_new:
                return None
            self.slowest_is_new = False
            return self.slowest, self.slowest_asked_at

    def pause(self):
        self.enabled.clear()
        time.sleep(0.1)  # let a probe under way notice

    def resume(self):
        self.enabled.set()

    def stop(self):
        self.finished.set()
        self.join(5)

    def check(self, daemon, work_around):
        """Raises the misses since the last check, each with `work_around(asked_at, took)`."""
        if daemon.proc.poll() is not None:
            raise Violation(f"the daemon died (status {daemon.proc.returncode})")
        with self.lock:
            misses, self.misses = self.misses, []
        if misses:
            raise Violation("; ".join(f"{text}; the soak's work around it: "
                                      f"{work_around(asked_at, took)}"
                                      for text, asked_at, took in misses))


def running_pipes(daemon, log):
    """The pipe identifiers the daemon's pipeline dump lists."""
    offset = log.mark()
    reply, took = ask(daemon.socket_path, b"c:pipeline_state:n:", 30)
    if reply is None or not reply.startswith(b"r:pipeline_state:n:"):
        raise Violation(f"pipeline_state not answered (reply {reply!r} after {took:.2f} s)")
    names = re.findall(r"\[INFO\]: -- Bin -- \[([^\]]+)\]", log.since(offset))
    return {PIPELINES[name] for name in names if name in PIPELINES}


def orphans(pipes):
    return {p for p, consumers in CONSUMERS.items() if p in pipes and not pipes & consumers}


class ConsumerWatch:
    """Producers without a consumer may only be on their way out: each must be gone within
    `grace` seconds (the end-of-stream deadline) of being seen so. Each is reported once."""

    def __init__(self, grace):
        self.grace = grace
        self.first_seen = {}
        self.reported = set()

    def check(self, pipes):
        now = time.monotonic()
        lonely = orphans(pipes)
        self.first_seen = {p: self.first_seen.get(p, now) for p in lonely}
        self.reported &= lonely
        late = {p for p in lonely if now - self.first_seen[p] > self.grace} - self.reported
        if late:
            self.reported |= late
            raise Violation(f"pipes {sorted(late)} run without a consumer for more than "
                            f"{self.grace:.0f} s (running: {sorted(pipes)})")


def check_config(daemon, keys, timeout=3.0):
    """The configuration file is whole, parses, and says what print_config says."""
    deadline = time.monotonic() + timeout
    while True:
        reply, _ = ask(daemon.socket_path, b"c:print_config:n:", 5)
        match = REPLY.match(reply or b"")
        if not match or match.group(1) != b"r":
            raise Violation(f"print_config not answered (reply {reply!r})")
        printed = parse_settings(match.group(4).decode(errors="replace"))
        with open(daemon.path("/etc/mrvdc.conf")) as conf:
            stored = parse_settings(conf.read())
        problem = None
        if set(stored) != keys:
            problem = f"configuration file keys differ: missing {sorted(keys - set(stored))}, " \
                      f"extra {sorted(set(stored) - keys)}"
        elif stored != printed:
            diff = {k: (stored.get(k), printed.get(k)) for k in keys
                    if stored.get(k) != printed.get(k)}
            problem = f"configuration file differs from print_config: {diff}"
        if problem is None:
            return
        if time.monotonic() > deadline:
            raise Violation(problem)
        time.sleep(0.2)


def open_descriptors(daemon):
    """The daemon's descriptors that no one outside holds open for it: not the connections of
    clients (the answer check may be asking), nor its message-bus connection (made again at
    the next event after Redis came back), nor the button device (open while the soak's writer
    is)."""
    return sum(1 for _, _, counted in described_descriptors(daemon) if counted)


def described_descriptors(daemon):
    """(descriptor, what it is, whether it counts) for each open descriptor of the daemon."""
    folder = f"/proc/{daemon.proc.pid}/fd"
    paths, peers = unix_sockets(), unix_socket_peers(daemon.proc.pid)
    bus_seen = False
    found = []
    for fd in sorted(os.listdir(folder), key=int):
        try:
            target = os.readlink(os.path.join(folder, fd))
        except OSError:
            continue
        inode = re.fullmatch(r"socket:\[(\d+)\]", target)
        peer = peers.get(fd)
        counted = target != daemon.path("/dev/input/event1")
        if inode and paths.get(inode[1]) == daemon.socket_path:
            counted = False
        elif inode and peer is not None:
            target += f" peer {peer} {paths.get(peer, '(gone)')}"
            # The message-bus connection, one at most: to Redis, or, while Redis is frozen or
            # was stopped under it, to a peer not yet accepted (0) or gone.
            if not bus_seen and (peer not in paths or paths[peer].endswith("redis.sock")):
                counted, bus_seen = False, True
        found.append((fd, target, counted))
    return found


def unix_sockets():
    """Every Unix socket by inode, with its path ("" when unbound; accepted connections carry
    the listener's)."""
    with open("/proc/net/unix") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    return {row[6]: row[7] if len(row) >= 8 else "" for row in rows if len(row) >= 7}


def unix_socket_peers(pid):
    """The peer's inode of each of the process's connected Unix sockets, by descriptor."""
    listing = subprocess.run(["ss", "-xpn"], capture_output=True, text=True).stdout
    return {fd: peer for peer, fd in re.findall(
        rf"^\S+\s+\S+\s+\d+\s+\d+\s+\S+\s+\d+\s+\S+\s+(\d+)\s+users:.*?pid={pid},fd=(\d+)\)",
        listing, re.M)}


def check_exit(daemon, log, offset, sanitizer):
    """After SIGTERM: status 0 within five seconds, "Goodbye", no sanitizer report."""
    try:
        status = daemon.proc.wait(EXIT_TIMEOUT)
    except subprocess.TimeoutExpired:
        daemon.kill()
        raise Violation(f"the daemon did not exit within {EXIT_TIMEOUT} s of SIGTERM")
    finally:
        daemon.output.close()
    text = log.since(offset)
    if sanitizer:
        check_sanitizer(text)
    if status != 0:
        raise Violation(f"the daemon exited with status {status} after SIGTERM")
    if "Goodbye" not in text:
        raise Violation("the daemon did not log \"Goodbye\" before exiting")


def check_sanitizer(text):
    found = SANITIZER_REPORTS.search(text)
    if found:
        start = max(0, found.start() - 200)
        raise Violation("sanitizer report:\n" + text[start:start + 4000])


class MediaChecker:
    """Plays every finished recording fragment and decodes every snapshot once."""

    def __init__(self, media_path):
        self.media_path = media_path
        self.checked = set()
        self.fragments = 0
        self.snapshots = 0
        # enc_type in force, by local-time text of each change ("%Y%m%d%H%M%S").
        self.types = []
        # Local-time text from which recordings have their encoders untouched: a producer
        # paused or ended by hand takes its track out of every recording it feeds.
        self.untouched_since = "0"
        self.touched = False

    def enc_type_changed(self, enc_type):
        self.types.append((time.strftime("%Y%m%d%H%M%S"), enc_type))

    def daemon_started(self):
        self.untouched_since = time.strftime("%Y%m%d%H%M%S")
        self.touched = False

    def producers_touched(self):
        self.touched = True

    def _type_at(self, stamp):
        earlier = [t for when, t in self.types if when < stamp]
        same_second = {t for when, t in self.types if when == stamp}
        if same_second:
            return None  # changed within that second: either may hold
        return earlier[-1] if earlier else None

    def check(self):
        """Checks what is new in the media folder; returns the paths checked."""
        done = []
        for path in sorted(glob.glob(os.path.join(self.media_path, "video", "*.mp4"))):
            if path not in self.checked:
                self.checked.add(path)  # a fault is reported once
                self.fragments += 1
                done.append(path)
                self._check_fragment(path)
        for path in sorted(glob.glob(os.path.join(self.media_path, "image", "*.jpeg"))):
            if path not in self.checked:
                self.checked.add(path)
                self.snapshots += 1
                done.append(path)
                if not decodes(path, "jpegdec"):
                    raise Violation(f"snapshot {path} does not decode")
        return done

    def _check_fragment(self, path):
        name = os.path.basename(path)
        info = MediaInfo(path)
        if not info.ok or not info.duration:
            raise Violation(f"fragment {name} does not play:\n{info.text[-2000:]}")
        stamp = re.search(r"_(\d{14})_\d+\.mp4$", name)
        if self.touched or not stamp or stamp.group(1) < self.untouched_since:
            return
        if name.startswith("audio_"):
            wanted = (False, True)
        else:
            wanted = (True, {0: True, 1: False}.get(self._type_at(stamp.group(1))))
        found = (bool(info.video), bool(info.audio))
        if found[0] != wanted[0] or (wanted[1] is not None and found[1] != wanted[1]):
            raise Violation(f"fragment {name} has tracks video={found[0]} audio={found[1]}, "
                            f"its type wants video={wanted[0]} audio={wanted[1]}")

    def forget(self, paths):
        for path in paths:
            try:
                os.remove(path)
            except FileNotFoundError:
                pass
            self.checked.discard(path)
