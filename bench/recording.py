"""Recording benchmark of mrvdc in the host platform (run through bench/run-recording).

What crash-safe recording costs: the daemon's CPU and the bytes it writes per second while
recording (video and audio), with the index kept playable at the head of each fragment and the
open fragment synced every second, against the same recording with MRVDC_PLAIN_RECORDING set
(index written when a fragment closes, nothing synced before); rounds alternate, ratios of the
medians. Then the room the reserved index takes per fragment: the head of the file (index and
its reserved free space) against the index of a plain fragment of the same length.
Assertions are left to the tests: this prints figures only.
"""
import argparse
import glob
import os
import statistics
import struct
import time

from video import Daemon, cpu_seconds, request


def written_bytes(pid):
    """Bytes the process handed to write calls, and bytes that reached the block layer."""
    with open(f"/proc/{pid}/io") as io:
        fields = dict(line.split(": ") for line in io.read().splitlines())
    return int(fields["wchar"]), int(fields["write_bytes"])


def index_bytes(path):
    """Size of the top-level index ("moov") plus the free space reserved right after it."""
    total, following_moov = 0, False
    with open(path, "rb") as mp4:
        while header := mp4.read(8):
            size, kind = struct.unpack(">I4s", header)
            if size == 1:
                size = struct.unpack(">Q", mp4.read(8))[0] - 8
            if kind == b"moov" or (kind == b"free" and following_moov):
                total += size
            following_moov = kind == b"moov"
            mp4.seek(size - 8, os.SEEK_CUR)
    return total


def record_round(plain, seconds, fragment):
    d = Daemon({"enc_type": 0, "record_max_len": fragment},
               env={"MRVDC_PLAIN_RECORDING": "1"} if plain else {})
    try:
        d.wait_serving()
        assert request(d.root, "c:enable_record:i:1").startswith("r:")
        time.sleep(1)
        cpu0, (wchar0, disk0), t0 = cpu_seconds(d.proc.pid), written_bytes(d.proc.pid), \
            time.monotonic()
        time.sleep(seconds)
        elapsed = time.monotonic() - t0
        wchar1, disk1 = written_bytes(d.proc.pid)
        cpu = (cpu_seconds(d.proc.pid) - cpu0) / elapsed
        assert request(d.root, "c:enable_record:i:0").startswith("r:")
        time.sleep(2)
        heads = [index_bytes(path) for path in
                 sorted(glob.glob(os.path.join(d.root, "media", "video", "video_*.mp4")))[:-1]]
    finally:
        d.stop()
    return cpu, (wchar1 - wchar0) / elapsed, (disk1 - disk0) / elapsed, heads


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--fragment", type=int, default=10, help="record_max_len, seconds")
    args = parser.parse_args()
    runs = {True: [], False: []}
    for _ in range(args.rounds):
        for plain in (False, True):
            runs[plain].append(record_round(plain, args.seconds, args.fragment))

    def median(plain, field):
        return statistics.median(run[field] for run in runs[plain])

    print(f"mrvdc recording benchmark ({os.cpu_count()} CPUs, {args.rounds} rounds of "
          f"{args.seconds:.0f} s, fragments of {args.fragment} s, video and audio)")
    for field, name, scale, unit in ((0, "daemon CPU", 100, "% of one core"),
                                     (1, "bytes written", 1 / 1024, "KiB/s"),
                                     (2, "bytes to storage", 1 / 1024, "KiB/s")):
        safe, plain = median(False, field), median(True, field)
        ratio = f"{safe / plain:.3f}" if plain else "n/a"
        print(f"{name}: crash-safe {safe * scale:.1f}, plain {plain * scale:.1f} {unit}, "
              f"ratio {ratio}")
    safe_heads = [h for run in runs[False] for h in run[3]]
    plain_heads = [h for run in runs[True] for h in run[3]]
    if safe_heads and plain_heads:
        extra = statistics.median(safe_heads) - statistics.median(plain_heads)
        print(f"index per fragment: crash-safe {statistics.median(safe_heads) / 1024:.1f} KiB "
              f"(reserved), plain {statistics.median(plain_heads) / 1024:.1f} KiB, "
              f"overhead {extra / 1024:.1f} KiB per {args.fragment} s fragment")


if __name__ == "__main__":
    main()
