"""Clips made with the ffmpeg command line, and ways to look at the results."""

import json
import os
import re
import shutil
import subprocess

FFMPEG = shutil.which("ffmpeg") or "/usr/bin/ffmpeg"
FFPROBE = shutil.which("ffprobe") or "/usr/bin/ffprobe"

# Fails a run that hangs; a normal run here takes well under a second.
RUN_TIMEOUT = 60


def make_clip(path, size="640x480", rate="25", seconds=3, codec="mjpeg", pix_fmt="yuvj420p",
              audio=True, sample_rate=44100, channels=1, sar=None, noise=True):
    """An AVI like the recorder writes: a moving test picture with a little
    camera-like noise (so the encoder has real work) and a tone."""
    video = f"testsrc2=size={size}:rate={rate}:duration={seconds}"
    if noise:
        video += ",noise=alls=6:allf=t"
    if sar:
        video += f",setsar={sar}"
    cmd = [FFMPEG, "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", video]
    if audio:
        cmd += ["-f", "lavfi", "-i", f"sine=frequency=440:sample_rate={sample_rate}:duration={seconds}"]
    cmd += ["-c:v", codec, "-pix_fmt", pix_fmt]
    if codec == "mjpeg":
        cmd += ["-q:v", "3"]
    if audio:
        cmd += ["-c:a", "pcm_s16le", "-ac", str(channels)]
    cmd += ["-f", "avi", path]
    subprocess.run(cmd, check=True, timeout=RUN_TIMEOUT)
    return path


def make_gst_clip(path, registry, seconds=3, rate=15, sample_rate=44100, channels=1):
    """An AVI from GStreamer's own avimux, jpegenc and raw S16LE sound, the
    elements the recorder uses, or None when gst-launch-1.0 is missing."""
    launch = shutil.which("gst-launch-1.0")
    if not launch:
        return None
    frames = int(seconds * rate)
    blocks = int(seconds * sample_rate / 1024)
    pipeline = (f"videotestsrc num-buffers={frames} pattern=smpte horizontal-speed=4 ! "
                f"video/x-raw,width=640,height=480,framerate={rate}/1 ! videorate ! jpegenc ! queue ! "
                f"avimux name=mux ! filesink location={path} "
                f"audiotestsrc num-buffers={blocks} samplesperbuffer=1024 ! "
                f"audio/x-raw,format=S16LE,rate={sample_rate},channels={channels} ! queue ! mux.")
    env = dict(os.environ, GST_REGISTRY=registry)
    subprocess.run([launch, "-q", "-e", *pipeline.split()], check=True, env=env, timeout=RUN_TIMEOUT,
                   stdin=subprocess.DEVNULL)
    return path


def probe(path):
    out = subprocess.run([FFPROBE, "-v", "error", "-show_format", "-show_streams", "-of", "json", path],
                         check=True, capture_output=True, text=True, timeout=RUN_TIMEOUT).stdout
    return json.loads(out)


def streams(info, kind):
    return [s for s in info["streams"] if s["codec_type"] == kind]


def duration(path):
    return float(probe(path)["format"]["duration"])


def video_kbps(path, seconds):
    """The video stream's own bit rate over a clip of the given length."""
    out = subprocess.run([FFPROBE, "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "packet=size", "-of", "csv=p=0", path],
                         check=True, capture_output=True, text=True, timeout=RUN_TIMEOUT).stdout
    return sum(int(n) for n in out.split()) * 8 / seconds / 1000


def psnr(source, encoded, size, rate):
    """Average PSNR (dB) of the encoded video against the source scaled to the
    same size and brought to the same frame rate, both started at zero."""
    w, h = size
    graph = (f"[0:v]setpts=PTS-STARTPTS,scale={w}:{h}:flags=bicubic,fps={rate},format=yuv420p[ref];"
             f"[1:v]setpts=PTS-STARTPTS,fps={rate},format=yuv420p[enc];[enc][ref]psnr")
    out = subprocess.run([FFMPEG, "-nostdin", "-hide_banner", "-nostats", "-i", source, "-i", encoded,
                          "-lavfi", graph, "-f", "null", "-"],
                         check=True, capture_output=True, text=True, timeout=RUN_TIMEOUT).stderr
    match = re.search(r"PSNR y:[\d.inf]+ u:[\d.inf]+ v:[\d.inf]+ average:([\d.inf]+)", out)
    if not match:
        raise AssertionError("no PSNR in ffmpeg's output:\n" + out[-2000:])
    return float(match.group(1))


def is_mpeg1_system_stream(path):
    """MPEG-1 pack headers have 0010 in the top bits after the start code;
    MPEG-2 program streams (which ffprobe also calls "mpeg") have 01."""
    with open(path, "rb") as f:
        head = f.read(16)
    return head[:4] == b"\x00\x00\x01\xba" and (head[4] & 0xF0) == 0x20


def mux_rate(path):
    """The first pack header's mux rate in bytes per second: the rate the
    program stream's reader must keep up with."""
    with open(path, "rb") as f:
        head = f.read(12)
    return (int.from_bytes(head[9:12], "big") >> 1 & 0x3FFFFF) * 50


def mp4_boxes(path):
    """The MP4's top-level boxes as (type, size), to the end of the file."""
    boxes = []
    with open(path, "rb") as f:
        while header := f.read(8):
            size, kind = int.from_bytes(header[:4], "big"), header[4:].decode("latin-1")
            if size == 1:
                size = int.from_bytes(f.read(8), "big")
            if size < 8:
                raise AssertionError(f"box {kind!r} of size {size} in {path}")
            boxes.append((kind, size))
            f.seek(sum(s for _, s in boxes))
    return boxes


def run(encoder, args, cwd, **kwargs):
    return subprocess.run([encoder, *args], cwd=cwd, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=RUN_TIMEOUT, **kwargs)


def folder_listing(path):
    return sorted(os.listdir(path))
