"""Runs the real mrvdc in a fresh host sysroot and talks to it over its control socket.

Tests run under scripts/host-run, which puts the built daemon, the client and the host
stand-ins on the search paths; each Daemon gets a sysroot of its own.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HOST_SYSROOT = os.path.join(REPO, "scripts", "host-sysroot")


def make_sysroot(settings=None):
    """A new sysroot with the host configuration plus `settings` (key -> value) appended."""
    root = tempfile.mkdtemp(prefix="mrvdc-it-")
    subprocess.run([HOST_SYSROOT, root], check=True, stdout=subprocess.DEVNULL)
    if settings:
        with open(os.path.join(root, "etc", "mrvdc.conf"), "a") as conf:
            for key, value in settings.items():
                conf.write(f"{key}={value}\n")
    return root


def wait_for(predicate, timeout=10.0, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = predicate()
        if result:
            return result
        time.sleep(interval)
    return predicate()


class Client:
    """One connection to the control socket."""

    def __init__(self, path, timeout=10.0):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        try:
            self.sock.connect(path)
        except OSError:
            self.sock.close()
            raise

    def request(self, text):
        self.sock.sendall(text.encode())
        return self.sock.recv(65536).decode()

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Daemon:
    command = ["mrvdc"]

    def __init__(self, settings=None, args=("-v",), sysroot=None, env=None):
        self.sysroot = sysroot or make_sysroot(settings)
        self.args = list(args)
        self.env = dict(os.environ, MRVDC_SYSROOT=self.sysroot, **(env or {}))
        self.output_path = os.path.join(self.sysroot, "mrvdc.out")
        self.proc = None

    @property
    def socket_path(self):
        return self.path("/run/mrvdc.socket")

    def path(self, fixed):
        return os.path.join(self.sysroot, fixed.lstrip("/"))

    def start(self, wait=True):
        self.output = open(self.output_path, "ab")
        self.proc = subprocess.Popen(self.command + self.args, env=self.env,
                                     stdout=self.output, stderr=subprocess.STDOUT)
        if wait and not wait_for(self._answers, timeout=30):
            self.kill()
            raise RuntimeError("mrvdc did not open its socket:\n" + self.log())
        return self

    def _answers(self):
        if self.proc.poll() is not None:
            raise RuntimeError("mrvdc exited early:\n" + self.log())
        try:
            with Client(self.socket_path, timeout=2) as client:
                return client.request("c:get_lum:n:").startswith("r:")
        except OSError:
            return False

    def request(self, text):
        with Client(self.socket_path) as client:
            return client.request(text)

    def log(self):
        with open(self.output_path, "rb") as out:
            return out.read().decode(errors="replace")

    def own_memory_kib(self):
        """Resident heap, stacks and mapped files. Shared memory is left out: it is the host's
        sound server's (JACK maps its 100 MiB segment into each client, and the daemon's share
        of it comes and goes with the sound encoder)."""
        with open(f"/proc/{self.proc.pid}/status") as status:
            text = status.read()
        return sum(int(re.search(rf"{field}:\s+(\d+)", text)[1])
                   for field in ("RssAnon", "RssFile"))

    def large_blocks_kib(self, least_kib=512):
        """Resident KiB of each anonymous mapping of at least `least_kib`, largest first: the
        daemon maps each picture on its own, so these say how many pictures it holds."""
        blocks, anonymous = [], False
        with open(f"/proc/{self.proc.pid}/smaps") as smaps:
            for line in smaps:
                if re.match(r"[0-9a-f]+-[0-9a-f]+ ", line):
                    anonymous = len(line.split()) < 6
                elif anonymous and line.startswith("Rss:"):
                    rss = int(line.split()[1])
                    if rss >= least_kib:
                        blocks.append(rss)
        return sorted(blocks, reverse=True)

    def stop(self, sig=signal.SIGTERM, timeout=60):
        self.proc.send_signal(sig)
        return self.wait(timeout)

    def wait(self, timeout=60):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self._report_hang()
            raise
        finally:
            self.output.close()

    def _report_hang(self):
        """Prints where a daemon that does not end is stuck, and the end of its log."""
        stacks = "gdb not available"
        if shutil.which("gdb"):
            stacks = subprocess.run(
                ["gdb", "-p", str(self.proc.pid), "-batch", "-ex", "thread apply all bt"],
                capture_output=True, text=True, timeout=60).stdout
        print(f"\n--- mrvdc did not end; its threads:\n{stacks}\n--- its log:\n"
              f"{self.log()[-6000:]}", flush=True)

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def cleanup(self):
        self.kill()
        if self.proc and not self.output.closed:
            self.output.close()
        shutil.rmtree(self.sysroot, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.cleanup()
