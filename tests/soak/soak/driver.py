"""The soak itself: one seeded random sequence of everything a sight meets, with the invariants
checked as it goes and at the end."""
import argparse
import contextlib
import errno
import os
import random
import re
import signal
import struct
import subprocess
import sys
import time
from collections import Counter, deque

from harness import Daemon, make_sysroot
from media import TcpReader, free_port
from sight import EV_KEY, EV_SYN, KEY_NUC, KEY_POL, KEY_ZOOM, input_record

from . import invariants
from .clients import ClientPool, ask
from .environment import Environment, MediaFolder
from .invariants import DaemonLog, Violation
from .requests import SETTERS, check_reply, malformed_request, parse_settings, random_request

REPLY_TIMEOUT = 10.0  # no command may keep its client waiting longer than this
EOS_GRACE = 15.0  # the longest a pipe may take to end after its end-of-stream was sent
RSS_GROWTH = 1.2
# Memory is measured first after this much random activity: GStreamer's plug-ins, pools and the
# allocator's arenas fill up in that time and then stay.
MEMORY_WARM_UP = 40.0
# Work sent this long before a liveness check can still hold the daemon when the check comes.
QUEUED_BEFORE = 0.5
QUICK = 0.05
LEFT_TO_THE_DAEMON = ("(hung up)", "(never read)")


class SoakDaemon(Daemon):
    """The daemon, taken down with the soak if the soak itself is killed."""

    command = ["setpriv", "--pdeathsig", "KILL", "mrvdc"]


def leading_number(data):
    """The number a request's data holds for the daemon (its leading digits), or 0."""
    match = re.match(rb"\s*[-+]?\d+", data)
    return int(match.group()) if match else 0


def is_sanitizer_build(path):
    with open(path, "rb") as binary:
        return b"__asan_init" in binary.read()


def which(name):
    for folder in os.environ.get("PATH", "").split(os.pathsep):
        candidate = os.path.join(folder, name)
        if os.access(candidate, os.X_OK):
            return candidate
    raise SystemExit(f"soak: {name} not found on PATH (run under scripts/host-run)")


class Soak:
    def __init__(self, args, stack):
        self.args = args
        self.rng = random.Random(args.seed)
        self.stats = Counter()
        self.violations = []
        self.sanitizer = is_sanitizer_build(which("mrvdc"))
        self.media = stack.enter_context(contextlib.closing(MediaFolder(None)))
        tcp_port, http_port = free_port(), free_port()
        settings = {"record_max_len": 4, "tcp_stream_port": tcp_port,
                    "http_url": f"http://127.0.0.1:{http_port}/upload/channel"}
        if self.media.path:
            settings["media_path"] = self.media.path + "/"
        self.daemon = SoakDaemon(sysroot=make_sysroot(settings), args=args.daemon_args)
        stack.callback(self.cleanup_daemon)
        if not self.media.path:
            self.media.path = self.daemon.path("/media")
        self.env = stack.enter_context(contextlib.closing(
            Environment(self.daemon, self.media, tcp_port, http_port)))
        self.log = DaemonLog(self.daemon.output_path)
        self.probe = invariants.LivenessProbe(
            self.daemon.socket_path, self.args.answer_within *
            (invariants.SANITIZER_SLOWDOWN if self.sanitizer else 1))
        self.probe.start()
        stack.callback(self.probe.stop)
        self.checker = invariants.MediaChecker(self.media.path)
        self.pool = None
        self.viewer = None
        self.buttons = None
        self.accelerometer = os.open(self.daemon.path("/dev/iio:device1"),
                                     os.O_RDWR | os.O_NONBLOCK)
        stack.callback(os.close, self.accelerometer)
        stack.callback(self.close_clients)
        stack.callback(self.close_buttons)
        self.config_keys = None
        self.setters = 0
        self.baseline = None
        self.resume_video_at = None
        # What the soak did lately, (start, end, what), to name the work behind a slow answer.
        self.recent = deque(maxlen=500)
        self.doing = None
        self.slowest_at = None

    # --- the daemon's life --------------------------------------------------------------

    def start_daemon(self):
        self.log.mark()
        self.daemon.start()
        if not self.sanitizer:
            self.probe.resume()
        self.pool = ClientPool(self.daemon.socket_path)
        try:
            self.buttons = os.open(self.daemon.path("/dev/input/event1"),
                                   os.O_WRONLY | os.O_NONBLOCK)
        except OSError as error:
            print(f"soak: no button device: {error}", flush=True)
            self.buttons = None
        self.started_at = time.monotonic()
        self.checker.daemon_started()
        self.baseline = None
        self.memory_baseline = None
        self.consumers = invariants.ConsumerWatch(EOS_GRACE)
        self.note_enc_type()
        if self.config_keys is None:
            reply, _ = ask(self.daemon.socket_path, b"c:print_config:n:", 5)
            self.config_keys = set(parse_settings(reply.split(b":", 3)[3].decode()))
        if self.rng.random() < 0.3:
            # A client takes the sight over: buttons dead, events on the message bus.
            self.trace("disable_kbd")
            self.request(b"c:disable_kbd:n:")
        self.warm_up()
        # Under the sanitizers the first use of each encoder, which loads its plug-in, takes
        # seconds: their answer times count from after the warm-up.
        self.probe.resume()

    def warm_up(self):
        """Every kind of pipe once, so that what GStreamer keeps for good is in the baseline."""
        self.env.mend()
        for command in ("enable_record:s:1", "enable_tcp_stream:s:1", "enable_http_stream:s:1"):
            self.request(b"c:" + command.encode())
        time.sleep(2)
        self.request(b"c:make_snapshot:n:")
        self.baseline = self.quiesce()

    def quiesce(self):
        """Brings the daemon back to its idle pipes with no client but us: (open descriptors,
        resident KiB, pipes)."""
        self.close_clients()
        for command in ("enable_record:s:0", "enable_tcp_stream:s:0", "enable_http_stream:s:0",
                        "resume_video:n:"):
            self.request(b"c:" + command.encode())
        deadline = time.monotonic() + 2 * EOS_GRACE
        while True:
            pipes = invariants.running_pipes(self.daemon, self.log)
            if pipes == invariants.IDLE_PIPES:
                break
            if time.monotonic() > deadline:
                raise Violation(f"the daemon does not come back to its idle pipes: {pipes}")
            if 0 not in pipes:
                self.request(b"c:create_pipe:s:0")
            if 6 in pipes:
                self.request(b"c:kill_pipe:s:6")
            elif 1 not in pipes:
                self.request(b"c:create_pipe:s:1")
            time.sleep(1)
        self.pool = ClientPool(self.daemon.socket_path)
        time.sleep(0.5)
        return invariants.open_descriptors(self.daemon), self.daemon.own_memory_kib(), pipes

    def check_resources(self):
        """Descriptors against the idle daemon after its warm-up; memory against the idle
        daemon after a while of random activity (not under the sanitizers, whose quarantine
        keeps freed memory)."""
        if self.baseline is None:
            return
        descriptors, resident, _ = self.quiesce()
        start_descriptors = self.baseline[0]
        for _ in range(3):
            if descriptors <= start_descriptors:
                break
            # One closing as the count was taken (a pipe's last socket, an upload's connection)
            # is gone a moment later; a leaked one stays. A display that was ending when the
            # pipes were counted brings up the splash after: the daemon is made idle again.
            time.sleep(1)
            if invariants.running_pipes(self.daemon, self.log) != invariants.IDLE_PIPES:
                descriptors = self.quiesce()[0]
            else:
                descriptors = invariants.open_descriptors(self.daemon)
        if descriptors > start_descriptors:
            raise Violation(f"descriptors grew from {start_descriptors} to {descriptors}:\n" +
                            "\n".join(self.descriptor_targets()))
        start_resident = self.memory_baseline
        blocks = self.daemon.large_blocks_kib()
        self.trace(f"idle: {resident} KiB resident, large blocks (KiB): {blocks}")
        if start_resident and not self.sanitizer and resident > start_resident * RSS_GROWTH:
            raise Violation(f"resident memory grew from {start_resident} KiB to {resident} KiB; "
                            f"large blocks (KiB): {blocks}")

    def descriptor_targets(self):
        return [f"  {fd} -> {target}{'' if counted else ' (not counted)'}"
                for fd, target, counted in invariants.described_descriptors(self.daemon)]

    def stop_daemon(self):
        """SIGTERM at whatever moment this is, and the checks of a clean exit."""
        self.close_clients()
        self.close_buttons()
        self.probe.pause()
        offset = self.log.mark()
        self.daemon.proc.send_signal(signal.SIGTERM)
        self.stats["restarts"] += 1
        invariants.check_exit(self.daemon, self.log, offset, self.sanitizer)

    def restart(self):
        try:
            if self.rng.random() < 0.5:
                self.check_resources()
            self.stop_daemon()
        finally:
            if self.daemon.proc.poll() is None:
                self.probe.pause()  # a kill after a failed check is no silence of the daemon
                self.daemon.kill()
            self.check_media(delete=True)
            self.start_daemon()

    def cleanup_daemon(self):
        self.daemon.kill()
        if self.daemon.proc and not self.daemon.output.closed:
            self.daemon.output.close()

    def close_clients(self):
        if self.pool:
            self.pool.close_all()
        if self.viewer:
            self.viewer.stop()
            self.viewer = None

    def close_buttons(self):
        if self.buttons is not None:
            os.close(self.buttons)
            self.buttons = None

    # --- actions ------------------------------------------------------------------------

    def request(self, data, slot=None):
        """Sends one request on a pool connection and checks its reply."""
        self.doing = data[:60]
        if slot is None:
            reply, took = ask(self.daemon.socket_path, data, REPLY_TIMEOUT)
        else:
            try:
                connection = self.pool.connection(slot)
                connection.send(data)
                reply = connection.reply(REPLY_TIMEOUT)
            except OSError as error:
                self.pool.drop(slot)
                self.check_died()
                raise Violation(f"request {data[:80]!r} failed: {error}")
        self.stats["commands"] += 1
        if reply is None:
            if slot is not None:
                self.pool.drop(slot)  # its late reply must not pass for the next one
            raise Violation(f"no reply to {data[:80]!r} within {REPLY_TIMEOUT} s")
        if reply == b"":
            if slot is not None:
                self.pool.drop(slot)
            self.check_died()
            raise Violation(f"the daemon hung up on {data[:80]!r}")
        problem = check_reply(data, reply)
        if problem:
            raise Violation(f"{problem}: {data[:80]!r} -> {reply[:200]!r}")
        return reply

    def check_died(self):
        with contextlib.suppress(subprocess.TimeoutExpired):
            status = self.daemon.proc.wait(0.5)
            raise Violation(f"the daemon died (status {status})")

    def act_command(self):
        command, data = random_request(self.rng)
        reply = self.request(data, slot=self.rng.randrange(len(self.pool.slots)))
        if command in SETTERS:
            self.setters += 1
        if command == "set_enc_type" and reply.startswith(b"r:"):
            self.note_enc_type()
        if reply.startswith(b"r:") and (command == "pause_video" or (
                command in ("pause_pipe", "kill_pipe") and
                leading_number(data.split(b":", 3)[3]) in invariants.FEEDS_RECORDINGS)):
            self.checker.producers_touched()
        if command == "pause_video" and self.resume_video_at is None:
            self.resume_video_at = time.monotonic() + self.rng.uniform(0.5, 3)

    def note_enc_type(self):
        reply = self.request(b"c:get_enc_type:n:")
        self.checker.enc_type_changed(int(reply.split(b":")[3]))

    def act_malformed(self):
        data = malformed_request(self.rng)
        self.doing = data[:60]
        reply, _ = ask(self.daemon.socket_path, data, REPLY_TIMEOUT)
        self.stats["commands"] += 1
        if reply is None and self.daemon.proc.poll() is None and data.split(b"\0")[0]:
            raise Violation(f"no reply to {data[:80]!r}")
        problem = reply and check_reply(data, reply)
        if problem:
            raise Violation(f"{problem}: {data[:80]!r} -> {reply[:200]!r}")

    def act_hang_up(self):
        """A client that sends a request and leaves before the reply."""
        _, data = random_request(self.rng)
        self.doing = f"{data[:60]} {LEFT_TO_THE_DAEMON[0]}"
        slot = self.rng.randrange(len(self.pool.slots))
        with contextlib.suppress(OSError):
            self.pool.connection(slot).send(data)
        self.pool.drop(slot)
        self.stats["commands"] += 1

    def act_unread(self):
        _, data = random_request(self.rng)
        self.doing = f"{data[:60]} {LEFT_TO_THE_DAEMON[1]}"
        with contextlib.suppress(OSError):
            self.pool.send_unread(data, self.rng.randint(1, 30))
        self.stats["commands"] += 1

    def act_buttons(self):
        if self.buttons is None:
            return
        code = self.rng.choice([KEY_NUC, KEY_ZOOM, KEY_POL, KEY_ZOOM, KEY_POL, 28, 1, 0x2ff])
        records = input_record(EV_KEY, code, 1) + input_record(EV_SYN, 0, 0)
        for _ in range(self.rng.choice([0, 0, 1, 3])):
            records += input_record(EV_KEY, code, 2) + input_record(EV_SYN, 0, 0)
        if self.rng.random() < 0.9:
            records += input_record(EV_KEY, code, 0) + input_record(EV_SYN, 0, 0)
        if self.rng.random() < 0.1:
            records += input_record(2, 0, 5)  # relative motion: not a key
        try:
            os.write(self.buttons, records)
            self.stats["button_events"] += len(records) // len(input_record(0, 0, 0))
        except OSError as error:
            if error.errno == errno.EPIPE:  # the keyboard was handed to a client
                os.close(self.buttons)
                self.buttons = None

    def act_accelerometer(self):
        raw = [self.rng.randint(-2048, 2047) for _ in range(3)]
        with contextlib.suppress(BlockingIOError):
            os.write(self.accelerometer, struct.pack("<hhh", *(v << 4 for v in raw)))

    def act_viewer(self):
        if self.viewer:
            self.viewer.stop()
            self.viewer = None
            return
        with contextlib.suppress(OSError):
            self.viewer = TcpReader(self.env.squatter.port)

    def act_media(self):
        """Plays what was recorded and empties the media folder (when nothing records)."""
        if 5 not in invariants.running_pipes(self.daemon, self.log):
            self.check_media(delete=True)

    def check_media(self, delete):
        checked = self.checker.check()
        if delete:
            self.checker.forget(checked)

    ACTIONS = [("command", 50), ("malformed", 6), ("hang_up", 3), ("unread", 3), ("buttons", 8),
               ("accelerometer", 3), ("environment", 5), ("viewer", 2), ("media", 0.5)]

    def act(self):
        names = [name for name, _ in self.ACTIONS]
        action = self.rng.choices(names, weights=[w for _, w in self.ACTIONS])[0]
        self.stats["steps"] += 1
        with self.recorded(action):
            if action == "environment":
                self.doing = self.env.change(self.rng)
                self.trace(self.doing)
            else:
                getattr(self, "act_" + action)()

    @contextlib.contextmanager
    def recorded(self, what):
        """Keeps what the block did, and when, in `recent`; a request made in it names it."""
        self.doing = what
        started = time.monotonic()
        try:
            yield
        finally:
            self.recent.append((started, time.monotonic(), self.doing))

    def note_slowest_answer(self):
        """When the liveness check has a new slowest answer: when it came and what the soak
        had the daemon do meanwhile, for the trace (the daemon's log stamps the same clock)."""
        slowest = self.probe.take_new_slowest()
        if slowest is None:
            return
        took, asked_at = slowest
        self.slowest_at = asked_at - self.began
        when = time.strftime("%H:%M:%S", time.localtime(time.time() - (time.monotonic() -
                                                                       asked_at)))
        self.trace(f"slowest answer so far: {took:.2f} s, asked at {when}; the soak's work "
                   f"around it: {self.work_around(asked_at, took)}")

    def work_around(self, asked_at, took):
        """What the soak had the daemon do while a check waited, as "start from the ask /
        duration what": the requests left for the daemon to answer after the soak moved on and
        whatever took a while; the quick rest is only counted."""
        around = [(start, end, what) for start, end, what in self.recent
                  if end >= asked_at - QUEUED_BEFORE and start <= asked_at + took]
        named = [f"{start - asked_at:+.2f}/{end - start:.2f} s {what}"
                 for start, end, what in around
                 if end - start >= QUICK or str(what).endswith(LEFT_TO_THE_DAEMON)]
        return "; ".join(named + [f"{len(around) - len(named)} quick actions"])

    # --- the run ------------------------------------------------------------------------

    def trace(self, text):
        if self.args.verbose:
            print(f"  [{time.monotonic() - self.began:7.1f}s] {text}", flush=True)

    def violation(self, error):
        self.violations.append(str(error))
        print(f"VIOLATION at step {self.stats['steps']} (seed {self.args.seed}): {error}",
              flush=True)
        with contextlib.suppress(OSError):
            print("--- end of the daemon's log:\n" + self.log.tail() + "\n---", flush=True)
        if self.daemon.proc.poll() is None and "not answered" in str(error):
            self.wait_for_answer()
        if self.daemon.proc.poll() is not None:
            self.probe.pause()
            self.daemon.output.close()
            self.close_clients()
            self.close_buttons()
            self.start_daemon()

    def wait_for_answer(self):
        """After a silence: waits for the daemon to answer again, or replaces it."""
        deadline = time.monotonic() + 60
        while self.daemon.proc.poll() is None and time.monotonic() < deadline:
            if ask(self.daemon.socket_path, b"c:get_lum:n:", 1.0)[0]:
                return
            time.sleep(0.5)
        if self.daemon.proc.poll() is None:
            print("soak: the daemon does not answer any more; killing it", flush=True)
            self.daemon.kill()

    def periodic_checks(self, now):
        if self.resume_video_at and now >= self.resume_video_at:
            self.resume_video_at = None
            with self.recorded("resume_video"):
                self.request(b"c:resume_video:n:")
        self.note_slowest_answer()
        self.probe.check(self.daemon, self.work_around)
        if now >= self.next_pipes:
            self.next_pipes = now + 5.0
            with self.recorded("pipeline_state check"):
                self.consumers.check(invariants.running_pipes(self.daemon, self.log))
        if self.memory_baseline is None and now - self.started_at >= MEMORY_WARM_UP:
            with self.recorded("quiesce for the memory baseline"):
                self.memory_baseline = self.quiesce()[1]
            self.trace(f"memory after warm-up: {self.memory_baseline} KiB, large blocks (KiB): "
                       f"{self.daemon.large_blocks_kib()}")
        if self.setters >= 6:
            self.setters = 0
            invariants.check_config(self.daemon, self.config_keys)
        if now >= self.next_restart:
            self.next_restart = now + self.rng.uniform(60, 240)
            self.restart()

    def run(self):
        self.began = time.monotonic()
        deadline = self.began + self.args.seconds
        self.env.start()
        self.start_daemon()
        self.next_pipes = 0
        self.next_restart = self.began + self.args.seconds * self.rng.uniform(0.3, 0.6)
        while self.stats["steps"] < self.args.steps and time.monotonic() < deadline:
            try:
                self.periodic_checks(time.monotonic())
                self.act()
            except Violation as error:
                self.violation(error)
                if len(self.violations) >= self.args.max_violations:
                    break
            time.sleep(self.rng.uniform(0, 0.03))
        self.finish()

    def finish(self):
        """The checks at the end: resources, a clean exit, every medium."""
        self.note_slowest_answer()
        try:
            self.env.mend()
            invariants.check_config(self.daemon, self.config_keys)
            self.check_resources()
            self.stop_daemon()
            self.check_media(delete=False)
        except Violation as error:
            self.violations.append(str(error))
            print(f"VIOLATION at the end (seed {self.args.seed}): {error}", flush=True)
            with contextlib.suppress(OSError):
                print("--- end of the daemon's log:\n" + self.log.tail() + "\n---", flush=True)

    def summary(self):
        seconds = time.monotonic() - self.began
        s = self.stats
        slowest_at = f" at {self.slowest_at:.0f} s" if self.slowest_at is not None else ""
        return (f"soak: seed {self.args.seed}, {s['steps']} steps in {seconds:.0f} s, "
                f"{s['commands']} commands ({s['commands'] / max(seconds, 1):.1f}/s), "
                f"{s['restarts']} restarts, {self.probe.checks} liveness checks (slowest "
                f"{self.probe.slowest:.2f} s{slowest_at}), "
                f"{self.env.changes} environment changes, "
                f"{s['button_events']} button events, {self.checker.fragments} fragments and "
                f"{self.checker.snapshots} snapshots checked, "
                f"{len(self.violations)} violations{' (sanitizer build)' if self.sanitizer else ''}")


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="tests/soak/run", description="A seeded random soak of the daemon in the host "
        "platform, checking its invariants as it goes.")
    parser.add_argument("--seconds", type=float, default=90, help="stop after this long")
    parser.add_argument("--steps", type=int, default=10 ** 9, help="stop after this many steps")
    parser.add_argument("--seed", type=int, default=None, help="seed (default: random)")
    parser.add_argument("--answer-within", type=float, default=invariants.LIVENESS_TIMEOUT,
                        help="seconds the daemon has to answer a liveness check")
    parser.add_argument("--max-violations", type=int, default=10,
                        help="stop after this many broken invariants (default 10)")
    parser.add_argument("--verbose", action="store_true",
                        help="trace environment changes and slowest answers")
    parser.add_argument("--daemon-verbose", action="store_true",
                        help="run the daemon with -v (a large log on long runs)")
    args = parser.parse_args(argv)
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(1, 10 ** 6)
    args.daemon_args = ["-v"] if args.daemon_verbose else []
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    print(f"soak: seed {args.seed}", flush=True)
    # SIGTERM ends the soak like ^C (which a shell's background job ignores unless told):
    # everything it started is stopped on the way out.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    soak = None
    with contextlib.ExitStack() as stack:
        try:
            soak = Soak(args, stack)
            soak.run()
        except KeyboardInterrupt:
            print("soak: interrupted", flush=True)
            if soak:
                soak.violations.append("interrupted")
    if soak is None:
        return 1
    print(soak.summary(), flush=True)
    if not soak.violations:
        subprocess.run(["rm", "-rf", soak.daemon.sysroot])
    else:
        print(f"soak: the daemon's sysroot and log are kept in {soak.daemon.sysroot}")
    return 1 if soak.violations else 0
