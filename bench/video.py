"""Video benchmarks of mrvdc in the host platform (run through bench/run-video).

1. CPU of the daemon showing the live picture (source and display pipelines, 30 fps) against
   the same elements as one pipeline, a direct link in place of the inter-pipeline pair, with
   the overlay drawing the daemon's scene (bench_live_pipeline replays the attribute texts the
   daemon sent); measured alternately, several rounds, ratio of the medians.
2. With a recording, a TCP stream (one reader) and an HTTP upload running: the display's
   frame rate from the "perf-display" element (-f) and the daemon's total CPU.
3. Start-up to the video-ready marker, SIGTERM to exit with a recording running, and the
   snapshot round trip; medians.
Assertions are left to the tests: this prints figures only.
"""
import argparse
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "integration"))
from media import TcpReader, UploadServer, free_port  # noqa: E402

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
LIVE_CAPS = "video/x-raw, width=1024, height=768, framerate=30/1, format=RGBA"


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def cpu_over(pid, seconds):
    start_cpu, start = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(pid) - start_cpu) / (time.monotonic() - start)


def make_sysroot(settings):
    root = tempfile.mkdtemp(prefix="mrvdc-bench-")
    subprocess.run([os.path.join(REPO, "scripts", "host-sysroot"), root], check=True,
                   stdout=subprocess.DEVNULL)
    with open(os.path.join(root, "etc", "mrvdc.conf"), "a") as conf:
        for key, value in settings.items():
            conf.write(f"{key}={value}\n")
    return root


def request(root, text):
    with socket.socket(socket.AF_UNIX) as sock:
        sock.settimeout(30)
        sock.connect(os.path.join(root, "run", "mrvdc.socket"))
        sock.sendall(text.encode())
        return sock.recv(65536).decode()


class Daemon:
    def __init__(self, settings=None, args=(), env=None):
        self.root = make_sysroot(settings or {})
        self.log_path = os.path.join(self.root, "stderr.log")
        self.marker = os.path.join(self.root, "var", "run", "video_playing")
        self.started = time.monotonic()
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(
                ["mrvdc", "-l", os.path.join(self.root, "mrvdc.log"), *args],
                env=dict(os.environ, MRVDC_SYSROOT=self.root, **(env or {})),
                stdout=subprocess.DEVNULL, stderr=log)

    def wait_marker(self, timeout=60):
        deadline = time.monotonic() + timeout
        while not os.path.exists(self.marker):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError("mrvdc did not come up")
            time.sleep(0.002)
        return time.monotonic() - self.started

    def wait_serving(self, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            try:
                if request(self.root, "c:get_lum:n:").startswith("r:"):
                    return
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError("mrvdc does not answer")
            time.sleep(0.02)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        status = self.proc.wait(60)
        shutil.rmtree(self.root, ignore_errors=True)
        return status


def one_pipeline_live(root, attributes):
    """The live elements as one pipeline; `attributes` is a file of overlay attribute texts."""
    qml = os.path.join(root, "opt", "us", "osd_us", "qml", "main.qml")
    description = (
        "imxv4l2videosrc device=/dev/video0 imx-capture-mode=0 queue-size=10 ! "
        f"imxg2dvideotransform ! capsfilter caps=\"{LIVE_CAPS}\" ! queue leaky=2 ! "
        f"qtoverlay name=overlay qml={qml} ! queue leaky=2 ! "
        "imxipuvideosink sync=false async=false use-vsync=true framebuffer=/dev/fb0")
    program = os.path.join(os.environ.get("MRVDC_BUILD_DIR", os.path.join(REPO, "build")),
                           "bench", "bench_live_pipeline")
    return subprocess.Popen([program, attributes, description],
                            env=dict(os.environ, MRVDC_SYSROOT=root), stdout=subprocess.DEVNULL)


def live_cpu(rounds, seconds, warmup):
    daemon_cpu, launch_cpu = [], []
    for _ in range(rounds):
        d = Daemon()
        d.wait_serving()
        time.sleep(warmup)
        daemon_cpu.append(cpu_over(d.proc.pid, seconds))
        root = make_sysroot({})
        attributes = os.path.join(root, "daemon-overlay.log")
        shutil.copy(os.path.join(d.root, "var", "log", "overlay.log"), attributes)
        d.stop()

        launch = one_pipeline_live(root, attributes)
        time.sleep(warmup)
        launch_cpu.append(cpu_over(launch.pid, seconds))
        launch.send_signal(signal.SIGINT)
        launch.wait(30)
        shutil.rmtree(root, ignore_errors=True)
    d_med, l_med = statistics.median(daemon_cpu), statistics.median(launch_cpu)
    print(f"live picture CPU (% of one core, median of {rounds} x {seconds}s): "
          f"daemon {100 * d_med:.1f}, one pipeline {100 * l_med:.1f}, ratio {d_med / l_med:.3f} "
          f"(goal <= 1.10)")
    print("  daemon rounds: " + ", ".join(f"{100 * c:.1f}" for c in daemon_cpu))
    print("  one-pipeline rounds: " + ", ".join(f"{100 * c:.1f}" for c in launch_cpu))


def loaded_display(seconds, warmup):
    tcp_port, http_port = free_port(), free_port()
    server = UploadServer(http_port)
    d = Daemon({"enc_type": 0, "record_max_len": 60, "tcp_stream_port": tcp_port,
                "http_url": f"http://127.0.0.1:{http_port}/upload/channel"},
               args=("-f",), env={"GST_DEBUG": "perf:4", "GST_DEBUG_NO_COLOR": "1"})
    try:
        d.wait_serving()
        idle_cpu = cpu_over(d.proc.pid, seconds)
        for command in ("enable_record", "enable_tcp_stream", "enable_http_stream"):
            assert request(d.root, f"c:{command}:i:1").startswith("r:"), command
        reader = TcpReader(tcp_port)
        time.sleep(warmup)
        mark = os.path.getsize(d.log_path)
        busy_cpu = cpu_over(d.proc.pid, seconds)
        with open(d.log_path) as log:
            log.seek(mark)
            fps = [float(m[1]) for m in re.finditer(r"perf-display;.*?fps: ([\d.]+);",
                                                   log.read())]
        streamed = len(reader.stop())
        for command in ("enable_record", "enable_tcp_stream", "enable_http_stream"):
            request(d.root, f"c:{command}:i:0")
        uploaded = server.received()
    finally:
        d.stop()
        server.stop()
    mean = statistics.mean(fps) if fps else 0.0
    dropped = max(0.0, 100.0 * (30.0 - mean) / 30.0)
    print(f"display under load (record + TCP + HTTP, {seconds}s): mean {mean:.2f} fps, "
          f"lowest second {min(fps) if fps else 0:.2f} fps, dropped {dropped:.2f}% "
          f"(goal: 30 fps, < 1% dropped)")
    print(f"  daemon CPU: {100 * idle_cpu:.1f}% live picture only, {100 * busy_cpu:.1f}% "
          f"with recording and both streams ({os.cpu_count()} CPUs); "
          f"TCP read {streamed} bytes, HTTP received {uploaded} bytes")


def latencies(runs):
    startup, stop, snapshot = [], [], []
    for _ in range(runs):
        d = Daemon({"enc_type": 0, "record_max_len": 2})
        startup.append(d.wait_marker())
        d.wait_serving()
        assert request(d.root, "c:enable_record:i:1").startswith("r:")
        time.sleep(1)
        for _ in range(3):
            started = time.monotonic()
            assert request(d.root, "c:make_snapshot:n:").startswith("r:")
            snapshot.append(time.monotonic() - started)
        time.sleep(1)
        started = time.monotonic()
        assert d.stop() == 0
        stop.append(time.monotonic() - started)
    print(f"start-up to video-ready marker: median {1000 * statistics.median(startup):.0f} ms "
          f"(max {1000 * max(startup):.0f} ms, {runs} runs)")
    print(f"SIGTERM to exit while recording: median {1000 * statistics.median(stop):.0f} ms "
          f"(max {1000 * max(stop):.0f} ms, {runs} runs)")
    print(f"snapshot round trip: median {1000 * statistics.median(snapshot):.0f} ms "
          f"(max {1000 * max(snapshot):.0f} ms, {len(snapshot)} snapshots)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--warmup", type=float, default=3)
    parser.add_argument("--runs", type=int, default=10)
    args = parser.parse_args()
    print(f"mrvdc video benchmarks ({os.cpu_count()} CPUs)")
    live_cpu(args.rounds, args.seconds, args.warmup)
    loaded_display(args.seconds, args.warmup)
    latencies(args.runs)


if __name__ == "__main__":
    main()
