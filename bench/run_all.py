#!/usr/bin/python3
"""Runs every benchmark and prints one table of figures with their goals.

Each benchmark compares against a reference measured in the same run:
recording against the live picture alone (a webcam's motion-JPEG against
decoding and encoding it again), encoding against the ffmpeg command line,
sending against curl, start-up against an empty Qt window."""

import argparse
import os
import platform
import re
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def run(command, env=None):
    done = subprocess.run(command, capture_output=True, text=True, env=env, cwd=ROOT)
    lines = [line for line in done.stdout.splitlines() if line.strip()]
    if not lines:
        sys.stderr.write(done.stderr)
        raise SystemExit(f"{command[0]} printed nothing")
    return lines[-1]


def number(pattern, text):
    found = re.search(pattern, text)
    if not found:
        raise SystemExit(f"no figure /{pattern}/ in: {text}")
    return float(found.group(1))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--startup-rounds", type=int, default=7)
    args = p.parse_args()
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    rows = []

    line = run([os.path.join(HERE, "record", "run.sh"), args.build], env)
    written = number(r"frames written (\d+)", line)
    expected = number(r"of (\d+) expected", line)
    dropped = number(r"(\d+) dropped", line)
    core = number(r"\((\d+)% of one core\)", line)
    memory = number(r"peak memory (\d+) MB", line)
    rows += [("record 10 s 640x480@25", "frames written / expected", f"{written:.0f} / {expected:.0f}", "all", written >= expected),
             ("", "frames dropped", f"{dropped:.0f}", "0", dropped == 0),
             ("", "CPU while recording", f"{core:.0f} % of one core", "< 50 %", core < 50),
             ("", "peak memory", f"{memory:.0f} MB", "-", None)]

    line = run([os.path.join(HERE, "record", "run.sh"), args.build, "webcam"], env)
    written = number(r"stored: \w+, frames written (\d+)", line)
    expected = number(r"of (\d+) expected", line)
    dropped = number(r"stored: .*?(\d+) dropped", line)
    core = number(r"stored: .*?CPU ([\d.]+)% of one core", line)
    again = number(r"again: .*?CPU ([\d.]+)% of one core", line)
    ratio = number(r"CPU ratio ([\d.]+)", line)
    rows += [("record 10 s webcam 720p MJPEG", "frames written / expected", f"{written:.0f} / {expected:.0f}", "all", written >= expected),
             ("", "frames dropped", f"{dropped:.0f}", "0", dropped == 0),
             ("", "CPU, pictures stored as sent", f"{core:.1f} % of one core", "< 15 %", core < 15),
             ("", "CPU, decoded and encoded again", f"{again:.1f} % of one core", "-", None),
             ("", "CPU ratio, stored / again", f"{ratio:.2f}", "<= 0.4", ratio <= 0.4)]

    line = run(["/usr/bin/python3", os.path.join(HERE, "encode", "run.py"),
                "--encoder", os.path.join(args.build, "bin", "avi2mpg1")], env)
    wall = number(r"\(([\d.]+)x\), CPU", line)
    cpu = number(r"CPU [\d.]+ s vs [\d.]+ s \(([\d.]+)x\)", line)
    realtime = number(r"(\d+)x real time", line)
    ours_psnr = number(r"PSNR ([\d.]+) vs", line)
    their_psnr = number(r"PSNR [\d.]+ vs ([\d.]+) dB", line)
    kbps = number(r"video (\d+) vs", line)
    mp4_size = number(r"MP4 ([\d.]+) MB at PSNR", line)
    mp4_gain = number(r"MP4 [\d.]+ MB at PSNR [\d.]+ dB \(([+-][\d.]+) dB", line)
    mpeg_size = number(r"size ([\d.]+) MB vs", line)
    rows += [("encode 60 s clip", "wall time vs ffmpeg", f"{wall:.2f}x", "<= 0.4x", wall <= 0.4),
             ("", "CPU time vs ffmpeg", f"{cpu:.2f}x", "-", None),
             ("", "speed", f"{realtime:.0f}x real time", ">= 40x", realtime >= 40),
             ("", "PSNR vs ffmpeg", f"{ours_psnr:.2f} / {their_psnr:.2f} dB", "within 0.05 dB",
              ours_psnr >= their_psnr - 0.05),
             ("", "video bit rate", f"{kbps:.0f} kbit/s", "600 +- 5 %", abs(kbps - 600) <= 30),
             ("", "MP4 at the MPEG-1's size", f"{mp4_size:.2f} MB, {mp4_gain:+.2f} dB", "+3 dB, no larger",
              mp4_gain >= 3 and mp4_size <= mpeg_size)]

    line = run(["/usr/bin/python3", os.path.join(HERE, "encode", "run.py"), "--hd", "--rounds", "3",
                "--encoder", os.path.join(args.build, "bin", "avi2mpg1")], env)
    realtime = number(r"([\d.]+)x real time", line)
    wall = number(r"\(([\d.]+)x\), CPU", line)
    memory = number(r"peak memory (\d+) MB", line)
    rows += [("encode 20 s 1080p MJPEG clip", "speed", f"{realtime:.1f}x real time", ">= 10x", realtime >= 10),
             ("", "wall time vs ffmpeg", f"{wall:.2f}x", "-", None),
             ("", "peak memory", f"{memory:.0f} MB", "< 100 MB", memory < 100)]

    line = run(["/usr/bin/python3", os.path.join(HERE, "send", "send_bench.py"),
                "--client", os.path.join(args.build, "bench", "mirabo_send_bench")], env)
    ratio = number(r"wall ratio ([\d.]+)", line)
    ours_cpu = number(r"mirabo [\d.]+ s wall, ([\d.]+) s CPU", line)
    curl_cpu = number(r"curl [\d.]+ s wall, ([\d.]+) s CPU", line)
    gap = number(r"elapsed share by ([\d.]+) points", line)
    cancel = number(r"cancel within (\d+) ms", line)
    rows += [("send 7 MB message", "wall time vs curl", f"{ratio:.3f}x", "<= 1.05x", ratio <= 1.05),
             ("", "client CPU, ours / curl", f"{ours_cpu * 1000:.0f} / {curl_cpu * 1000:.0f} ms", "-", None),
             ("", "throttled: bar vs elapsed share", f"{gap:.1f} points at most", "<= 10", gap <= 10),
             ("", "cancel to return", f"{cancel:.0f} ms", "< 1000 ms", cancel < 1000)]

    bench = os.path.join(args.build, "bench", "startup", "startup_bench")
    samples = {"bare": [], "mirabo": []}
    for _ in range(args.startup_rounds):
        for mode in samples:
            ms, kb = run([bench, mode], env).split()
            samples[mode].append((float(ms), float(kb)))
    ready = statistics.median(ms for ms, _ in samples["mirabo"])
    bare = statistics.median(ms for ms, _ in samples["bare"])
    peak = max(kb for _, kb in samples["mirabo"]) / 1024
    rows += [("start-up, test camera", "launch to first live frame", f"{ready:.0f} ms ({ready / bare:.1f}x an empty Qt window)", "< 1000 ms", ready < 1000),
             ("", "peak memory", f"{peak:.0f} MB", "< 150 MB", peak < 150)]

    header = ("benchmark", "figure", "measured", "goal", "met")
    table = [header] + [(a, b, c, d, "-" if m is None else ("yes" if m else "NO")) for a, b, c, d, m in rows]
    widths = [max(len(r[i]) for r in table) for i in range(5)]
    print(f"Mirabo benchmarks on {platform.node()} ({os.cpu_count()} cores, {platform.machine()}), "
          f"Linux {platform.release()}")
    print("| " + " | ".join(h.ljust(w) for h, w in zip(header, widths)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in table[1:]:
        print("| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |")
    return 0 if all(m is not False for *_, m in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
