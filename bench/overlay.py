"""Overlay benchmark (run through bench/run-overlay): the daemon showing the live picture with
the Qt Quick overlay against the same daemon with the cairo stand-in, alternately in the same
run. For each: the display's frame rate ("perf-display", -f) and the daemon's CPU, in steady
state and while overlay properties change 20 times a second. Prints figures and ratios only.
"""
import argparse
import os
import re
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from video import Daemon, cpu_seconds, request  # noqa: E402

BUILD = os.environ.get("MRVDC_BUILD_DIR", os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build"))
PLUGINS = os.path.join(BUILD, "platform", "gst")
CAIRO = os.path.join(BUILD, "platform", "gst-cairo")

# What a burst changes: the PIP frame and the reticle colour, each a new overlay scene.
BURST = ["c:set_qml_prop:l:FtrMenu,pipSt,1", "c:set_reticle_color:s:4",
         "c:set_qml_prop:l:FtrMenu,pipSt,0", "c:set_reticle_color:s:1"]


def overlay_env(kind, scratch):
    env = {"GST_DEBUG": "perf:4", "GST_DEBUG_NO_COLOR": "1"}
    if kind == "cairo":
        # The cairo plug-in first; a registry of its own, so the two never mix.
        env["GST_PLUGIN_PATH"] = f"{CAIRO}:{PLUGINS}"
        env["GST_REGISTRY"] = os.path.join(scratch, "cairo-registry.bin")
    return env


def measure(d, seconds, burst):
    """CPU share of the daemon and the display's per-second frame rates over `seconds`."""
    stop = threading.Event()

    def change():
        i = 0
        while not stop.wait(0.05):
            request(d.root, BURST[i % len(BURST)])
            i += 1

    mark = os.path.getsize(d.log_path)
    changer = threading.Thread(target=change) if burst else None
    start_cpu, start = cpu_seconds(d.proc.pid), time.monotonic()
    if changer:
        changer.start()
    time.sleep(seconds)
    cpu = (cpu_seconds(d.proc.pid) - start_cpu) / (time.monotonic() - start)
    stop.set()
    if changer:
        changer.join()
    with open(d.log_path) as log:
        log.seek(mark)
        fps = [float(m) for m in re.findall(r"perf-display;.*?fps: ([\d.]+);", log.read())]
    return cpu, fps


def one_round(kind, seconds, warmup, scratch):
    d = Daemon(args=("-f",), env=overlay_env(kind, scratch))
    try:
        d.wait_serving()
        time.sleep(warmup)
        return measure(d, seconds, burst=False), measure(d, seconds, burst=True)
    finally:
        d.stop()


def summary(name, results):
    cpu = statistics.median(r[0] for r in results)
    fps = [f for r in results for f in r[1]]
    low = min(fps) if fps else 0.0
    mean = statistics.mean(fps) if fps else 0.0
    print(f"  {name:<22} CPU {100 * cpu:5.1f}%  display mean {mean:5.2f} fps, lowest second "
          f"{low:5.2f} fps")
    return cpu, mean


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=8)
    parser.add_argument("--warmup", type=float, default=3)
    args = parser.parse_args()
    if not os.path.exists(os.path.join(CAIRO, "libgstqtoverlayhost.so")):
        sys.exit("bench: the cairo overlay was not built (platform/gst-cairo)")
    results = {(kind, phase): [] for kind in ("qt", "cairo") for phase in ("steady", "burst")}
    with tempfile.TemporaryDirectory(prefix="mrvdc-bench-overlay-") as scratch:
        for _ in range(args.rounds):
            for kind in ("qt", "cairo"):
                steady, burst = one_round(kind, args.seconds, args.warmup, scratch)
                results[(kind, "steady")].append(steady)
                results[(kind, "burst")].append(burst)
    print(f"overlay: live picture, {args.rounds} rounds of {args.seconds}s each "
          f"({os.cpu_count()} CPUs); burst = 20 property changes a second")
    figures = {key: summary(f"{key[0]} {key[1]}", value) for key, value in results.items()}
    for phase in ("steady", "burst"):
        ratio = figures[("qt", phase)][0] / max(figures[("cairo", phase)][0], 1e-6)
        print(f"  CPU qt / cairo, {phase}: {ratio:.2f} (goal: within 1.5 in steady state; "
              f"display 30 fps)")


if __name__ == "__main__":
    main()
