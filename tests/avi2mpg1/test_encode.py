#!/usr/bin/python3
"""avi2mpg1 turns clips of the kinds a recorder writes into MPEG-1 program
streams that keep the clip's length, fit 352 x 288, use legal MPEG-1 rates
and look like the source; and, for an output named *.mp4, into H.264 and
AAC with the same size and rates, the index at the front.

usage: test_encode.py <avi2mpg1> [unittest arguments]
"""

import collections
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import clips  # noqa: E402

ENCODER = None

# PSNR floors, each about 2 dB below what this encoder measured here
# (FFmpeg 5.1, testsrc2 with noise). Writing full-range MJPEG pictures
# without converting them to MPEG range costs about 9 dB, a picture shifted
# by one frame far more.
FLOOR_640x480 = 37.5  # 640x480 and 720x576 sources: measured 39.3 to 41.1
FLOOR_SMALL = 31.5  # 320x240 and below keep all the noise: measured 33.3 to 36.9
FLOOR_GST = 39.0  # moving colour bars from GStreamer: measured 41.1
FLOOR_LARGE = 43.0  # 720p and 1080p shrink the noise away: measured 45.3 to 46.1
# 1080p is decoded at a quarter of its size; FFmpeg's own quarter-size
# decoding, used before, gave 45.29 dB (now 46.06).
FLOOR_1080P = 45.19
# H.264 at the same bit rate: measured 43.4 (640x480), 40.6 (320x240), 47.6 (1080p)
FLOOR_MP4_640x480 = 41.4
FLOOR_MP4_SMALL = 38.6
FLOOR_MP4_LARGE = 45.6


Encoded = collections.namedtuple("Encoded", "source output")


class EncodeTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="avi2mpg1-")
        self.folder = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def encode(self, clip_options, args=("-e", "-s", "600"), output="mirabo.mpg"):
        return self.encode_source(clips.make_clip(os.path.join(self.folder, "video.avi"), **clip_options),
                                  args, output)

    def encode_source(self, source, args=("-e", "-s", "600"), output="mirabo.mpg"):
        """Runs the encoder the way the window does: in the clip's folder,
        with relative names."""
        result = clips.run(ENCODER, [*args, "video.avi", output], cwd=self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        self.assertEqual(clips.folder_listing(self.folder), sorted([output, "video.avi"]),
                         "nothing but the output may be left beside the input")
        return Encoded(source, os.path.join(self.folder, output))

    def check_stream(self, enc, size, rate, audio, floor, kbps=None):
        """audio: None for no sound stream, else (sample rate, channels)."""
        info = clips.probe(enc.output)
        mp4 = enc.output.endswith(".mp4")
        if mp4:
            boxes = clips.mp4_boxes(enc.output)
            kinds = [kind for kind, _ in boxes]
            self.assertLess(kinds.index("moov"), kinds.index("mdat"), "the index must be at the front")
            self.assertEqual(sum(size for _, size in boxes), os.path.getsize(enc.output), boxes)
        else:
            self.assertEqual(info["format"]["format_name"], "mpeg")
            self.assertTrue(clips.is_mpeg1_system_stream(enc.output), "not an MPEG-1 system stream")

        videos = clips.streams(info, "video")
        self.assertEqual([v["codec_name"] for v in videos], ["h264" if mp4 else "mpeg1video"])
        v = videos[0]
        self.assertEqual((v["width"], v["height"]), size)
        self.assertEqual(v["r_frame_rate"], rate)
        self.assertEqual(v["pix_fmt"], "yuv420p")
        self.assertNotEqual(v.get("color_range"), "pc", "the video is limited range")
        if mp4:
            self.assertIn(v["profile"], ("Main", "High"))
            self.assertLessEqual(v["level"], 31)

        sounds = clips.streams(info, "audio")
        if audio is None:
            self.assertEqual(sounds, [])
        elif mp4:
            self.assertEqual([(a["codec_name"], a["profile"], int(a["sample_rate"]), a["channels"]) for a in sounds],
                             [("aac", "LC", *audio)])
        else:
            # Layer II frame headers carry the rate itself.
            self.assertEqual([(a["codec_name"], int(a["sample_rate"]), a["channels"], int(a["bit_rate"]))
                              for a in sounds], [("mp2", *audio, 96000 * audio[1])])

        source_seconds = clips.duration(enc.source)
        self.assertAlmostEqual(float(info["format"]["duration"]), source_seconds, delta=0.1)
        if kbps:
            self.assertAlmostEqual(clips.video_kbps(enc.output, source_seconds), kbps, delta=kbps * 0.1)
        if kbps and not mp4:
            # FFmpeg's muxer sets the pack header's rate from the rates the
            # streams were given, plus 5 % and 10 kbit/s for its headers.
            bits = kbps * 1000 + (96000 * audio[1] if audio else 0)
            bits += bits // 20 + 10000
            self.assertEqual(clips.mux_rate(enc.output), -(-bits // 400) * 50)
        quality = clips.psnr(enc.source, enc.output, size, rate)
        print(f"  {size[0]}x{size[1]} at {rate}: PSNR {quality:.2f} dB, floor {floor}", file=sys.stderr)
        self.assertGreater(quality, floor)

    def test_recorder_clips(self):
        """MJPEG + 16-bit PCM clips as a webcam recording gives them."""
        cases = [
            ("640x480 25 fps mono 44.1 kHz", dict(size="640x480", rate="25", seconds=4),
             (352, 264), "25/1", (44100, 1), FLOOR_640x480),
            ("320x240 15 fps becomes 30 fps of the same length; 22.05 kHz stereo becomes 32 kHz",
             dict(size="320x240", rate="15", sample_rate=22050, channels=2),
             (320, 240), "30/1", (32000, 2), FLOOR_SMALL),
            ("4:2:2 MJPEG at 30 fps, 48 kHz stays", dict(size="640x480", rate="30", pix_fmt="yuvj422p",
                                                        sample_rate=48000),
             (352, 264), "30/1", (48000, 1), FLOOR_640x480),
            ("5.1 sound is mixed down to stereo", dict(size="320x240", channels=6, sample_rate=48000),
             (320, 240), "25/1", (48000, 2), FLOOR_SMALL),
            ("4:4:4 MJPEG", dict(size="640x480", pix_fmt="yuvj444p", seconds=2),
             (352, 264), "25/1", (44100, 1), FLOOR_640x480),
        ]
        for name, clip, size, rate, audio, floor in cases:
            with self.subTest(name):
                enc = self.encode(clip)
                self.check_stream(enc, size, rate, audio, floor, kbps=600)
                os.remove(enc.output)

    def test_gstreamer_recording(self):
        """The recorder's own elements: avimux, jpegenc, S16LE sound."""
        registry = os.path.join(self.folder, "..", os.path.basename(self.folder) + "-gst-registry.bin")
        try:
            source = clips.make_gst_clip(os.path.join(self.folder, "video.avi"), registry)
        finally:
            if os.path.exists(registry):
                os.remove(registry)
        if not source:
            self.skipTest("gst-launch-1.0 is not installed")
        enc = self.encode_source(source)
        self.check_stream(enc, (352, 264), "30/1", (44100, 1), FLOOR_GST)

    def test_raw_video(self):
        enc = self.encode(dict(size="176x144", codec="rawvideo", pix_fmt="yuv420p", sample_rate=48000,
                               channels=2))
        self.check_stream(enc, (176, 144), "25/1", (48000, 2), FLOOR_SMALL)

    def test_without_e_the_sound_is_left_out(self):
        enc = self.encode(dict(size="640x480"), args=("-s", "600"))
        self.check_stream(enc, (352, 264), "25/1", None, FLOOR_640x480, kbps=600)

    def test_clip_without_sound(self):
        enc = self.encode(dict(size="320x240", audio=False))
        self.check_stream(enc, (320, 240), "25/1", None, FLOOR_SMALL)

    def test_bit_rate_follows_s(self):
        for kbps in (300, 1200):
            with self.subTest(kbps=kbps):
                enc = self.encode(dict(size="640x480", seconds=4), args=("-s", str(kbps)))
                self.check_stream(enc, (352, 264), "25/1", None, FLOOR_640x480 - 3, kbps=kbps)
                os.remove(enc.output)

    def test_picture_size_and_rate(self):
        """Sizes fit 352 x 288 with the displayed proportions; rates that
        MPEG-1 lacks are mapped without changing the length."""
        cases = [
            # size, sample aspect, rate -> output size, output rate, floor
            ("1920x1080", None, "25", (352, 198), "25/1", FLOOR_1080P),
            ("1280x720", None, "25", (352, 198), "25/1", FLOOR_LARGE),
            ("720x576", "16/15", "25", (352, 264), "25/1", FLOOR_640x480),
            ("300x400", None, "25", (216, 288), "25/1", FLOOR_SMALL),
            ("320x240", None, "30000/1001", (320, 240), "30000/1001", FLOOR_SMALL),
            ("320x240", None, "24", (320, 240), "24/1", FLOOR_SMALL),
            ("320x240", None, "50", (320, 240), "50/1", FLOOR_SMALL),
            ("320x240", None, "12.5", (320, 240), "25/1", FLOOR_SMALL),
            ("320x240", None, "10", (320, 240), "30/1", FLOOR_SMALL),
            ("320x240", None, "20", (320, 240), "25/1", FLOOR_SMALL),
        ]
        for size, sar, rate, out_size, out_rate, floor in cases:
            with self.subTest(size=size, sar=sar, rate=rate):
                enc = self.encode(dict(size=size, sar=sar, rate=rate, seconds=2, audio=False), args=())
                self.check_stream(enc, out_size, out_rate, None, floor)
                os.remove(enc.output)

    def test_mp4(self):
        """H.264 and AAC, the same size and rates as the MPEG-1, and far
        better at the same bit rate."""
        cases = [
            ("640x480 25 fps mono 44.1 kHz", dict(size="640x480", rate="25", seconds=4),
             (352, 264), "25/1", (44100, 1), FLOOR_MP4_640x480, 600),
            ("320x240 15 fps becomes 30 fps; 22.05 kHz stereo becomes 32 kHz",
             dict(size="320x240", rate="15", sample_rate=22050, channels=2),
             (320, 240), "30/1", (32000, 2), FLOOR_MP4_SMALL, 600),
            # Shrunk, the noise is gone: x264 needs less than the rate given.
            ("1920x1080 without sound", dict(size="1920x1080", seconds=2, audio=False),
             (352, 198), "25/1", None, FLOOR_MP4_LARGE, None),
        ]
        for name, clip, size, rate, audio, floor, kbps in cases:
            with self.subTest(name):
                enc = self.encode(clip, output="mirabo.mp4")
                self.check_stream(enc, size, rate, audio, floor, kbps)
                os.remove(enc.output)

    def test_same_clip_same_file(self):
        """Threads decode and encode; the output must not depend on their timing."""
        for output in ("mirabo.mpg", "mirabo.mp4"):
            with self.subTest(output):
                enc = self.encode(dict(size="640x480", seconds=2), output=output)
                with open(enc.output, "rb") as f:
                    first = f.read()
                os.remove(enc.output)
                self.encode_source(enc.source, output=output)
                with open(enc.output, "rb") as f:
                    self.assertTrue(f.read() == first, "two runs gave different files")
                os.remove(enc.output)

    def test_replaces_an_older_output(self):
        with open(os.path.join(self.folder, "mirabo.mpg"), "wb") as f:
            f.write(b"older clip")
        enc = self.encode(dict(size="320x240", seconds=1))
        self.assertGreater(os.path.getsize(enc.output), 10000)


if __name__ == "__main__":
    ENCODER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
