#!/usr/bin/python3
"""Damaged copies of a small clip (bytes flipped, header fields set to
extremes, parts moved, the file cut short) never crash or hang avi2mpg1:
each run ends within a time limit, without a signal or a sanitizer report,
either with status 0 and a readable MPEG-1 file or with status 1, one line
of message and no output. Every fifth copy is also made into an MP4.

Runs the AddressSanitizer build. The copies are the same on every run
(fixed seed); a failing copy is kept in the folder named in the failure.

usage: test_damaged.py <avi2mpg1_asan> [copies [seed]]
"""

import concurrent.futures
import os
import random
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import clips  # noqa: E402

SEED = 20240611
TIME_LIMIT = 60  # seconds per run; a normal one takes well under one
SANITIZER_ENV = {
    # Exit codes of their own, so a report cannot pass for an ordinary failure.
    "ASAN_OPTIONS": "detect_leaks=1:allocator_may_return_null=1:exitcode=86",
    "UBSAN_OPTIONS": "print_stacktrace=1:exitcode=87",
}
EXTREMES = [0, 1, 0x7FFF, 0xFFFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF]


def mutate(data, rng):
    """A damaged copy and a few words saying how it was damaged."""
    out = bytearray(data)
    kind = rng.randrange(5)
    if kind == 0:
        n = rng.randint(1, 16)
        for _ in range(n):
            out[rng.randrange(len(out))] ^= 1 << rng.randrange(8)
        return bytes(out), f"{n} bits flipped"
    if kind == 1:
        # The headers (AVI lists, stream formats, the first JPEG's tables)
        # are where damage changes most.
        n = rng.randint(1, 6)
        for _ in range(n):
            out[rng.randrange(min(4096, len(out)))] = rng.randrange(256)
        return bytes(out), f"{n} header bytes replaced"
    if kind == 2:
        pos = rng.randrange(0, min(4096, len(out)) - 4) & ~3
        value = rng.choice(EXTREMES)
        out[pos:pos + 4] = value.to_bytes(4, "little")
        return bytes(out), f"header word at {pos} set to {value:#x}"
    if kind == 3:
        length = rng.randint(1, 4096)
        src = rng.randrange(len(out) - length)
        dst = rng.randrange(len(out) - length)
        out[dst:dst + length] = data[src:src + length]
        return bytes(out), f"{length} bytes copied from {src} to {dst}"
    cut = rng.randrange(len(out))
    return bytes(out[:cut]), f"cut at {cut} of {len(out)}"


def run_one(encoder, folder, data, output):
    """Returns the exit status and None when the run behaved, else what went wrong."""
    os.makedirs(folder)
    with open(os.path.join(folder, "video.avi"), "wb") as f:
        f.write(data)
    env = dict(os.environ, **SANITIZER_ENV)
    try:
        result = subprocess.run([encoder, "-e", "-s", "600", "video.avi", output], cwd=folder,
                                env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                errors="replace", timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired:
        return None, f"still running after {TIME_LIMIT} s"
    err = result.stderr
    if result.returncode < 0:
        return result.returncode, f"killed by signal {-result.returncode}: {err[-3000:]}"
    if "Sanitizer" in err or "runtime error" in err:
        return result.returncode, f"sanitizer report (status {result.returncode}): {err[-6000:]}"
    listing = clips.folder_listing(folder)
    if result.returncode == 0:
        if listing != sorted([output, "video.avi"]) or err:
            return 0, f"status 0 but folder {listing}, stderr {err!r}"
        info = clips.probe(os.path.join(folder, output))
        codec = "h264" if output.endswith(".mp4") else "mpeg1video"
        if [s["codec_name"] for s in clips.streams(info, "video")] != [codec]:
            return 0, f"status 0 but no {codec} video in the output: {info}"
    elif result.returncode == 1:
        if listing != ["video.avi"]:
            return 1, f"failed but left {listing}"
        lines = err.splitlines()
        if len(lines) != 1 or not lines[0].startswith("avi2mpg1: "):
            return 1, f"failed without a one-line message: {err!r}"
    else:
        return result.returncode, f"status {result.returncode}: {err[-3000:]}"
    shutil.rmtree(folder)
    return result.returncode, None


def main():
    encoder = os.path.abspath(sys.argv[1])
    copies = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else SEED
    work = tempfile.mkdtemp(prefix="avi2mpg1-damaged-")
    clip = clips.make_clip(os.path.join(work, "clip.avi"), size="160x120", rate="15", seconds=1,
                           sample_rate=22050, channels=2)
    with open(clip, "rb") as f:
        original = f.read()

    rng = random.Random(seed)
    jobs = [(i, *mutate(original, rng)) for i in range(copies)]
    runs = [(f"{i:03d}", data, how, "mirabo.mpg") for i, data, how in jobs]
    runs += [(f"{i:03d}-mp4", data, how, "mirabo.mp4") for i, data, how in jobs if i % 5 == 0]
    failures = []
    outcomes = {0: 0, 1: 0}
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        futures = {pool.submit(run_one, encoder, os.path.join(work, name), data, output): (name, how)
                   for name, data, how, output in runs}
        for future in concurrent.futures.as_completed(futures):
            name, how = futures[future]
            status, problem = future.result()
            if problem:
                failures.append(f"copy {name} ({how}): {problem}")
            else:
                outcomes[status] += 1

    print(f"{copies} damaged copies, {len(runs)} runs: {outcomes[0]} encoded, {outcomes[1]} refused, "
          f"{len(failures)} misbehaved")
    if failures:
        print("\n".join(sorted(failures)))
        print(f"the failing copies are kept in {work}")
        return 1
    shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
