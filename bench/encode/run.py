#!/usr/bin/python3
"""Benchmark: avi2mpg1 against the ffmpeg command line, in one run.

A 60-second 640x480 / 25 fps MJPEG + 16-bit PCM clip (a moving test picture
with camera-like noise and a tone) is made with ffmpeg, then encoded
several rounds each, alternating, by

  avi2mpg1 -e -s 600 video.avi mirabo.mpg
  ffmpeg -i video.avi -s <same size> -r <same rate> -c:v mpeg1video -b:v 600k
         <the same encoder options as avi2mpg1> -c:a mp2 -ar <same> -b:a <same> -f mpeg

Reported: median wall and CPU time of each and their ratio, speed against
real time, file size, the video stream's bit rate, and PSNR of each against
the source (scaled to the output size).

Goals: wall time at most 0.9 x the command line's at an equal or better
PSNR, video bit rate within 5 % of 600 kbit/s, at least 20 x real time.
Exit status 0 when all are met.

With --hd the source is what a high-definition webcam records: 20 seconds of
1920x1080 / 25 fps MJPEG. Goals then: at least 10 x real time and a peak
memory (resident set) below 200 MB; the command line's time and memory are
shown beside them.

usage: bench/encode/run.py [--encoder build/bin/avi2mpg1] [--rounds 5] [--plain-ffmpeg] [--hd]

--plain-ffmpeg leaves the command line at mpeg1video's defaults beyond the
bit rate (12-frame GOP, no B frames, no trellis).
"""

import argparse
import json
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SECONDS = 60
SIZE = "640x480"
KBPS = 600
# The encoder options avi2mpg1 sets beyond the bit rate; the command line
# gets the same so that only the work around the encoder differs.
ENCODER_OPTIONS = ["-bt", f"{KBPS // 2}k", "-g", "50", "-bf", "2", "-trellis", "1"]


def log(text):
    print(text, file=sys.stderr, flush=True)


def make_source(path):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y",
                    "-f", "lavfi", "-i", f"testsrc2=size={SIZE}:rate=25:duration={SECONDS},noise=alls=6:allf=t",
                    "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=44100:duration={SECONDS}",
                    "-c:v", "mjpeg", "-q:v", "3", "-pix_fmt", "yuvj420p", "-c:a", "pcm_s16le", "-ac", "1",
                    "-f", "avi", path], check=True)


def timed(cmd, cwd):
    """Wall and CPU seconds (user + system, all threads) and peak resident
    megabytes of one run."""
    start = time.perf_counter()
    child = subprocess.Popen(cmd, cwd=cwd, stdin=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise subprocess.CalledProcessError(child.returncode, cmd)
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-of", "json", path],
                         check=True, capture_output=True, text=True).stdout
    streams = json.loads(out)["streams"]
    video = next(s for s in streams if s["codec_type"] == "video")
    audio = next(s for s in streams if s["codec_type"] == "audio")
    return video, audio


def video_kbps(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=size",
                          "-of", "csv=p=0", path], check=True, capture_output=True, text=True).stdout
    return sum(int(n) for n in out.split()) * 8 / SECONDS / 1000


def psnr(source, encoded, width, height, rate):
    graph = (f"[0:v]setpts=PTS-STARTPTS,scale={width}:{height}:flags=bicubic,fps={rate},format=yuv420p[ref];"
             f"[1:v]setpts=PTS-STARTPTS,fps={rate},format=yuv420p[enc];[enc][ref]psnr")
    out = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-i", source, "-i", encoded,
                          "-lavfi", graph, "-f", "null", "-"], check=True, capture_output=True, text=True).stderr
    return float(re.search(r"PSNR .* average:([\d.]+)", out).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--encoder", default=os.path.join(HERE, "..", "..", "build", "bin", "avi2mpg1"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--plain-ffmpeg", action="store_true")
    parser.add_argument("--hd", action="store_true", help="a 20 s 1920x1080 source")
    args = parser.parse_args()
    encoder = os.path.abspath(args.encoder)
    if args.hd:
        global SECONDS, SIZE
        SECONDS, SIZE = 20, "1920x1080"

    with tempfile.TemporaryDirectory(prefix="bench-encode-") as work:
        source = os.path.join(work, "video.avi")
        log(f"making the {SECONDS} s source clip ...")
        make_source(source)

        ours_cmd = [encoder, "-e", "-s", str(KBPS), "video.avi", "mirabo.mpg"]
        ours_out = os.path.join(work, "mirabo.mpg")
        # A first run settles the page cache and tells the settings to match.
        timed(ours_cmd, work)
        video, audio = probe(ours_out)
        width, height, rate = video["width"], video["height"], video["r_frame_rate"]
        cli_out = os.path.join(work, "cli.mpg")
        cli_cmd = ["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", "video.avi",
                   "-s", f"{width}x{height}", "-r", rate, "-c:v", "mpeg1video", "-b:v", f"{KBPS}k",
                   *([] if args.plain_ffmpeg else ENCODER_OPTIONS),
                   "-c:a", "mp2", "-ar", audio["sample_rate"], "-ac", str(audio["channels"]),
                   "-b:a", audio["bit_rate"], "-f", "mpeg", "cli.mpg"]
        log("ours: " + " ".join(ours_cmd))
        log("ffmpeg: " + " ".join(cli_cmd))

        times = {"ours": [], "cli": []}
        for r in range(args.rounds):
            order = [("ours", ours_cmd), ("cli", cli_cmd)]
            if r % 2:
                order.reverse()
            for name, cmd in order:
                times[name].append(timed(cmd, work))
            log(f"round {r + 1}: ours {times['ours'][-1][0]:.2f} s wall, ffmpeg {times['cli'][-1][0]:.2f} s wall")

        def median(name, i):
            return statistics.median(t[i] for t in times[name])

        wall_ours, wall_cli = median("ours", 0), median("cli", 0)
        cpu_ours, cpu_cli = median("ours", 1), median("cli", 1)
        mb_ours = max(t[2] for t in times["ours"])
        mb_cli = max(t[2] for t in times["cli"])
        size_ours, size_cli = os.path.getsize(ours_out), os.path.getsize(cli_out)
        kbps_ours, kbps_cli = video_kbps(ours_out), video_kbps(cli_out)
        psnr_ours = psnr(source, ours_out, width, height, rate)
        psnr_cli = psnr(source, cli_out, width, height, rate)

    realtime = SECONDS / wall_ours
    if args.hd:
        goals = {">= 10x real time": realtime >= 10, "peak memory < 200 MB": mb_ours < 200}
        missed = [name for name, met in goals.items() if not met]
        print(f"bench encode {SIZE}@25 MJPEG {SECONDS} s to {width}x{height}@{rate}, median of {args.rounds}: "
              f"wall {wall_ours:.2f} s vs ffmpeg {wall_cli:.2f} s ({wall_ours / wall_cli:.2f}x), "
              f"CPU {cpu_ours:.2f} s vs {cpu_cli:.2f} s, {realtime:.1f}x real time, "
              f"peak memory {mb_ours:.0f} MB vs ffmpeg {mb_cli:.0f} MB, "
              f"PSNR {psnr_ours:.2f} vs {psnr_cli:.2f} dB: "
              + ("all goals met" if not missed else "missed: " + ", ".join(missed)))
        return 0 if not missed else 1
    goals = {
        "wall <= 0.9x": wall_ours <= 0.9 * wall_cli,
        "PSNR >= ffmpeg's": round(psnr_ours, 2) >= round(psnr_cli, 2),
        "bit rate within 5 %": abs(kbps_ours - KBPS) <= 0.05 * KBPS,
        ">= 20x real time": realtime >= 20,
    }
    missed = [name for name, met in goals.items() if not met]
    print(f"bench encode {width}x{height}@{rate} {KBPS} kbit/s, median of {args.rounds}: "
          f"wall {wall_ours:.2f} s vs ffmpeg {wall_cli:.2f} s ({wall_ours / wall_cli:.2f}x), "
          f"CPU {cpu_ours:.2f} s vs {cpu_cli:.2f} s ({cpu_ours / cpu_cli:.2f}x), {realtime:.0f}x real time, "
          f"size {size_ours / 1e6:.2f} MB vs {size_cli / 1e6:.2f} MB, "
          f"video {kbps_ours:.0f} vs {kbps_cli:.0f} kbit/s, PSNR {psnr_ours:.2f} vs {psnr_cli:.2f} dB: "
          + ("all goals met" if not missed else "missed: " + ", ".join(missed)))
    return 0 if not missed else 1


if __name__ == "__main__":
    sys.exit(main())
