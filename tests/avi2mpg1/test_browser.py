#!/usr/bin/python3
"""The MP4 plays in a real browser: headless Chromium loads it into a
<video> element from a server on 127.0.0.1 and plays it to the end; the page
reports the length, picture size and pictures shown. An MPEG-1 file, which
browsers do not play, must fail on the same page.

Skipped where chromium is not installed.

usage: test_browser.py <avi2mpg1> [unittest arguments]
"""

import functools
import html
import http.server
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import clips  # noqa: E402

ENCODER = None
CHROMIUM = shutil.which("chromium")
SECONDS = 3

# The image named "hold" holds the page's load event, and with it the DOM
# dump, until the page has its answer. Playing runs on the real clock.
PAGE = """<!DOCTYPE html><html><body>
<video id="v" src="{name}" muted playsinline preload="auto"></video><pre id="result"></pre>
<script>
const v = document.getElementById("v");
function report(stage) {{
  const out = document.getElementById("result");
  if (out.textContent) return;
  out.textContent = JSON.stringify({{stage: stage, duration: v.duration, width: v.videoWidth,
    height: v.videoHeight, time: v.currentTime, frames: v.getVideoPlaybackQuality().totalVideoFrames}});
  fetch("done");
}}
v.addEventListener("ended", () => report("ended"));
v.addEventListener("error", () => report("error " + v.error.code));
v.play().catch(e => report("not played: " + e.name));
</script><img src="hold" alt=""></body></html>
"""


class Handler(http.server.SimpleHTTPRequestHandler):
    done = None  # set per server: the page has reported

    def log_message(self, *args):
        pass

    def do_GET(self):
        if self.path not in ("/hold", "/done"):
            return super().do_GET()
        if self.path == "/done":
            self.done.set()
        self.done.wait(30)
        self.send_response(204)
        self.end_headers()


@unittest.skipUnless(CHROMIUM, "chromium is not installed")
class BrowserTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="avi2mpg1-browser-")
        self.folder = self._tmp.name
        clips.make_clip(os.path.join(self.folder, "video.avi"), seconds=SECONDS)

    def tearDown(self):
        self._tmp.cleanup()

    def play(self, name):
        """What the page reports about the video file name."""
        result = clips.run(ENCODER, ["-e", "-s", "600", "video.avi", name], cwd=self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(self.folder, "page.html"), "w") as f:
            f.write(PAGE.format(name=name))
        done = threading.Event()
        handler = type("PageHandler", (Handler,), {"done": done})
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(handler, directory=self.folder))
        thread = threading.Thread(target=server.serve_forever)
        thread.start()
        try:
            profile = tempfile.mkdtemp(prefix="profile-", dir=self.folder)
            dom = subprocess.run(
                [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run", f"--user-data-dir={profile}",
                 "--autoplay-policy=no-user-gesture-required", "--virtual-time-budget=5000", "--dump-dom",
                 f"http://127.0.0.1:{server.server_port}/page.html"],
                env=dict(os.environ, HOME=profile), stdin=subprocess.DEVNULL, capture_output=True, text=True,
                timeout=clips.RUN_TIMEOUT).stdout
        finally:
            done.set()
            server.shutdown()
            server.server_close()
            thread.join()
        found = re.search(r'<pre id="result">(.*?)</pre>', dom, re.S)
        self.assertTrue(found and found.group(1), "the page reported nothing:\n" + dom[-2000:])
        return json.loads(html.unescape(found.group(1)))

    def test_mp4_plays_to_the_end(self):
        report = self.play("mirabo.mp4")
        self.assertEqual(report["stage"], "ended", report)
        self.assertEqual((report["width"], report["height"]), (352, 264))
        self.assertAlmostEqual(report["duration"], SECONDS, delta=0.1)
        self.assertAlmostEqual(report["time"], report["duration"], delta=0.05)
        self.assertGreaterEqual(report["frames"], 0.9 * 25 * SECONDS)

    def test_mpeg1_does_not(self):
        report = self.play("mirabo.mpg")
        self.assertNotEqual(report["stage"], "ended")
        self.assertEqual(report["frames"], 0)


if __name__ == "__main__":
    ENCODER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
