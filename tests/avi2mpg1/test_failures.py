#!/usr/bin/python3
"""avi2mpg1 refuses what it cannot do properly: a non-zero status, one line
on standard error, and never a partial output (nor a temporary file) left
behind. The tests may run as root, so an unwritable output is made in ways
that stop root too: a path through a regular file, /proc, an existing
directory, and a file-size limit (RLIMIT_FSIZE) that stands for a full disk.

usage: test_failures.py <avi2mpg1> [unittest arguments]
"""

import os
import resource
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import clips  # noqa: E402

ENCODER = None


def last_picture_offset(data):
    """Offset of the last video chunk's data in an AVI (before its index)."""
    end = data.rfind(b"idx1")
    return data.rfind(b"00dc", 0, end if end > 0 else len(data)) + 8


class FailureTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._clips = tempfile.TemporaryDirectory(prefix="avi2mpg1-clips-")
        cls.clip = clips.make_clip(os.path.join(cls._clips.name, "clip.avi"), size="320x240", seconds=2)
        with open(cls.clip, "rb") as f:
            cls.clip_bytes = f.read()

    @classmethod
    def tearDownClass(cls):
        cls._clips.cleanup()

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="avi2mpg1-")
        self.folder = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def write_input(self, data, name="video.avi"):
        with open(os.path.join(self.folder, name), "wb") as f:
            f.write(data)

    def assert_refused(self, args, status=1, mentions=None, **kwargs):
        before = clips.folder_listing(self.folder)
        result = clips.run(ENCODER, args, cwd=self.folder, **kwargs)
        self.assertEqual(result.returncode, status, result.stderr)
        lines = result.stderr.splitlines()
        self.assertTrue(lines and lines[0].startswith("avi2mpg1: ") and len(lines[0]) > 12, result.stderr)
        if status == 1:
            self.assertEqual(len(lines), 1, "one line of message: " + result.stderr)
        if mentions:
            self.assertIn(mentions, lines[0])
        self.assertEqual(clips.folder_listing(self.folder), before, "the folder must be as it was")
        return lines[0]

    def test_bad_command_lines_print_usage(self):
        for args in ([], ["video.avi"], ["-x", "video.avi", "mirabo.mpg"], ["-e", "-s"],
                     ["-s", "fast", "video.avi", "mirabo.mpg"], ["-s", "0", "video.avi", "mirabo.mpg"],
                     ["-s", "600x", "video.avi", "mirabo.mpg"], ["video.avi", "mirabo.mpg", "more.mpg"]):
            with self.subTest(args=args):
                self.write_input(self.clip_bytes)
                self.assert_refused(args, status=2)
                result = clips.run(ENCODER, args, cwd=self.folder)
                self.assertIn("usage: avi2mpg1", result.stderr)
        result = clips.run(ENCODER, ["-h"], cwd=self.folder)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertIn("usage: avi2mpg1", result.stdout)

    def test_inputs_that_are_not_usable_video(self):
        sound = os.path.join(self._clips.name, "sound.wav")
        subprocess.run([clips.FFMPEG, "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "sine=duration=1", sound], check=True, timeout=clips.RUN_TIMEOUT)
        with open(sound, "rb") as f:
            wav = f.read()
        zeroed = bytearray(self.clip_bytes)  # every picture blanked, the AVI structure intact
        pos = 0
        while (pos := zeroed.find(b"00dc", pos, zeroed.rfind(b"idx1"))) >= 0:
            size = int.from_bytes(zeroed[pos + 4:pos + 8], "little")
            zeroed[pos + 8:pos + 8 + size] = bytes(size)
            pos += 8
        half = len(self.clip_bytes) // 2
        cut_between_pictures = self.clip_bytes[:self.clip_bytes.find(b"00dc", half)]
        cut_in_last_picture = self.clip_bytes[:last_picture_offset(self.clip_bytes) + 100]
        # A recorder stopped before it finished: every picture there, but the
        # index missing and the sizes those of the start (or made to fit).
        no_index = bytearray(self.clip_bytes[:self.clip_bytes.rfind(b"idx1")])
        movi = no_index.find(b"movi")
        unfinished = bytes(no_index[:4]) + (movi - 4).to_bytes(4, "little") + bytes(no_index[8:movi - 4]) \
            + (4).to_bytes(4, "little") + bytes(no_index[movi:])
        no_index[4:8] = (len(no_index) - 8).to_bytes(4, "little")
        no_index[movi - 4:movi] = (len(no_index) - movi).to_bytes(4, "little")
        cases = [
            ("missing", None, "No such file"),
            ("empty", b"", None),
            ("text", b"Dear Sir,\nplease find my video attached.\n" * 50, None),
            ("sound only", wav, "no video"),
            ("cut between two pictures", cut_between_pictures, "truncated"),
            ("cut inside the last picture", cut_in_last_picture, "truncated"),
            ("recording not finished", unfinished, "without its index"),
            ("index missing, sizes fitted", bytes(no_index), "without its index"),
            ("pictures blanked", bytes(zeroed), "video.avi"),
        ]
        for name, data, mentions in cases:
            with self.subTest(name):
                path = os.path.join(self.folder, "video.avi")
                if os.path.exists(path):
                    os.remove(path)
                if data is not None:
                    self.write_input(data)
                self.assert_refused(["-e", "-s", "600", "video.avi", "mirabo.mpg"], mentions=mentions)

    def test_outputs_that_cannot_be_written(self):
        self.write_input(self.clip_bytes)
        os.mkdir(os.path.join(self.folder, "folder.mpg"))
        cases = [
            ("through a regular file", "video.avi/mirabo.mpg"),
            ("into a missing folder", "missing/mirabo.mpg"),
            ("into /proc", "/proc/mirabo.mpg"),
            ("onto a folder", "folder.mpg"),
            ("onto the input itself", "video.avi"),
        ]
        for name, output in cases:
            with self.subTest(name):
                self.assert_refused(["-e", "video.avi", output], mentions=output)
        self.assertEqual(os.listdir(os.path.join(self.folder, "folder.mpg")), [])
        with open(os.path.join(self.folder, "video.avi"), "rb") as f:
            self.assertEqual(f.read(), self.clip_bytes, "the input must be untouched")

    def test_disk_full_while_writing(self):
        """The MP4's index goes to the front last, moving everything behind
        it: a disk that fills up then must fail the run as well."""
        self.write_input(self.clip_bytes)
        result = clips.run(ENCODER, ["-e", "video.avi", "whole.mp4"], cwd=self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        whole = os.path.getsize(os.path.join(self.folder, "whole.mp4"))
        moov = dict(clips.mp4_boxes(os.path.join(self.folder, "whole.mp4")))["moov"]
        os.remove(os.path.join(self.folder, "whole.mp4"))
        for output, limit in (("mirabo.mpg", 64 * 1024), ("mirabo.mp4", 64 * 1024),
                              ("mirabo.mp4", whole - moov // 2)):
            with self.subTest(output=output, limit=limit):
                def limit_file_size():
                    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

                line = self.assert_refused(["-e", "video.avi", output], mentions=output,
                                           preexec_fn=limit_file_size)
                self.assertIn("too large", line)

    def test_failure_leaves_an_older_output_alone(self):
        self.write_input(self.clip_bytes[:len(self.clip_bytes) // 2])
        self.write_input(b"older clip", "mirabo.mpg")
        self.assert_refused(["-e", "video.avi", "mirabo.mpg"], mentions="truncated")
        with open(os.path.join(self.folder, "mirabo.mpg"), "rb") as f:
            self.assertEqual(f.read(), b"older clip")

    def test_stopped_by_a_signal_leaves_nothing(self):
        """The input is a pipe fed with part of a clip, so the encoder is
        certainly mid-way, its temporary output open, when it is stopped."""
        for sig, output in ((signal.SIGTERM, "mirabo.mpg"), (signal.SIGINT, "mirabo.mpg"),
                            (signal.SIGTERM, "mirabo.mp4")):
            with self.subTest(signal=sig.name, output=output):
                fifo = os.path.join(self.folder, "video.avi")
                os.mkfifo(fifo)
                done = threading.Event()
                feeder = threading.Thread(target=self._feed, args=(fifo, done))
                feeder.start()
                proc = subprocess.Popen([ENCODER, "-e", "video.avi", output], cwd=self.folder,
                                        stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    deadline = time.monotonic() + 30
                    while not any(n.startswith(output + ".") for n in os.listdir(self.folder)):
                        self.assertIsNone(proc.poll(), "the encoder ended early")
                        self.assertLess(time.monotonic(), deadline, "no temporary output appeared")
                        time.sleep(0.01)
                    proc.send_signal(sig)
                    proc.wait(timeout=clips.RUN_TIMEOUT)
                finally:
                    proc.kill()
                    proc.wait()
                    done.set()
                    feeder.join()
                self.assertEqual(proc.returncode, -sig)
                self.assertEqual(clips.folder_listing(self.folder), ["video.avi"])
                os.remove(fifo)

    def _feed(self, fifo, done):
        """Writes three quarters of the clip into the pipe, then holds it open
        until done. Never blocks for good, whatever the encoder does."""
        data = memoryview(self.clip_bytes)[:len(self.clip_bytes) * 3 // 4]
        fd = None
        while fd is None and not done.is_set():
            try:
                fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:  # no reader yet
                time.sleep(0.01)
        try:
            while data and not done.is_set():
                try:
                    data = data[os.write(fd, data):]
                except BlockingIOError:
                    time.sleep(0.01)
            done.wait(clips.RUN_TIMEOUT)
        except BrokenPipeError:
            pass
        finally:
            if fd is not None:
                os.close(fd)


if __name__ == "__main__":
    ENCODER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
