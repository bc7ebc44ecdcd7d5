"""The HTML report of quelline-sim, rendered in headless Chromium: what the
page draws, not the text of the file."""

import glob
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from browser import Browser, run_sim  # noqa: E402

SIM = os.environ["QUELLINE_SIM"]
SOURCE = os.environ["QUELLINE_SOURCE"]
OUT = os.environ["QUELLINE_OUT"]
DATA = os.path.join(os.path.dirname(__file__), "data")

LANES = ["commands", "switch", "toggle", "front", "prefs", "list", "icons", "banners",
         "sounds", "hud", "wakes", "realerts", "events"]

# Times of the rendered timeline: the x of a point back to seconds.
TIME_OF_X = """
  const svg = document.getElementById('timeline-svg');
  const [t0, t1, x0, x1] = ['data-t0', 'data-t1', 'data-x0', 'data-x1'].map((a) => Number(svg.getAttribute(a)));
  const timeOf = (x) => t0 + ((x - x0) / (x1 - x0)) * (t1 - t0);
"""


def report(scenario, name, *options, status=0):
    path = os.path.join(OUT, f"{name}.html")
    args = list(options) + ["--html", path] + (["run", scenario] if scenario else [])
    run_sim(SIM, args, check_status=status)
    return "file://" + path


class ReportTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(OUT, exist_ok=True)
        cls.browser = Browser()

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()

    def slide_to(self, t):
        self.browser.run("""
            const s = document.getElementById('slider');
            s.value = String(arguments[0]);
            s.dispatchEvent(new Event('input'));""", t)

    def phone(self, what):
        return self.browser.run(f"""
            const el = document.querySelector('{what}');
            return el ? [getComputedStyle(el).opacity, el.getAttribute('data-state')] : null;""")

    def test_fade_banner_and_slider(self):
        b = self.browser
        b.open(report(os.path.join(DATA, "fade.scn"), "fade"))
        self.assertEqual(b.script_errors(), [])
        for lane in LANES:
            height = b.run("const g = document.querySelector(`g[data-lane='${arguments[0]}']`);"
                           "return g ? g.getBoundingClientRect().height : 0;", lane)
            self.assertGreater(height, 10, f"lane {lane} is drawn")

        # The list's curve: down to 0 when the fade ends at 0.7 s, back at 1
        # when the second fade ends at 2.2 s.
        points = b.run(TIME_OF_X + """
            const line = document.querySelector("g[data-lane='list'] polyline.curve");
            const y0 = Number(line.getAttribute('data-y0')), y1 = Number(line.getAttribute('data-y1'));
            return Array.from(line.points).map((p) => [timeOf(p.x), (y0 - p.y) / (y0 - y1)]);""")
        first_zero = next(t for t, a in points if a < 1e-6)
        self.assertAlmostEqual(first_zero, 0.7, delta=0.01)
        halfway = [a for t, a in points if 0.3 < t < 0.4]
        self.assertTrue(halfway and all(0.2 < a < 0.8 for a in halfway), points)
        back = next(t for t, a in points if t > 1.5 and a > 1 - 1e-6)
        self.assertAlmostEqual(back, 2.2, delta=0.01)

        # The hidden banner, at 0.5 s, with its app.
        banner = b.run(TIME_OF_X + """
            const m = document.querySelector("g[data-lane='banners'] .mark.banner.hidden");
            if (!m) return null;
            const box = m.querySelector('rect').getBoundingClientRect();
            const svgBox = document.getElementById('timeline-svg').getBoundingClientRect();
            return [timeOf(box.left + box.width / 2 - svgBox.left), m.textContent, box.width];""")
        self.assertIsNotNone(banner, "the hidden banner is marked")
        self.assertAlmostEqual(banner[0], 0.5, delta=0.02)
        self.assertIn("com.apple.MobileSMS", banner[1])
        self.assertGreater(banner[2], 4)
        self.assertEqual(b.run("return document.querySelectorAll('.mark.feedback.haptic').length"), 1)

        # The phone at 1 s: the list hidden; after the switch back, shown.
        self.slide_to(1.0)
        self.assertEqual(self.phone("#phone-list")[0], "0")
        self.assertEqual(self.phone("#phone-switch")[1], "silent")
        self.assertEqual(self.phone("#phone-banner")[1], "hidden")
        self.slide_to(2.5)
        self.assertEqual(self.phone("#phone-list")[0], "1")
        self.assertEqual(self.phone("#phone-switch")[1], "ring")
        self.assertIn("Every expectation held", b.run("return document.querySelector('.verdict').textContent"))

    def test_failed_expectation_and_restart(self):
        b = self.browser
        b.open(report(os.path.join(DATA, "failing.scn"), "failing", status=1))
        self.assertEqual(b.script_errors(), [])
        verdict = b.run("return document.getElementById('verdict').innerText")
        self.assertIn("1 of 1 expectation failed", verdict)
        self.assertIn("failing.scn:5", verdict)
        failed = b.run("return Array.from(document.querySelectorAll('.mark.command.failed'), (m) => m.getAttribute('data-lines'))")
        self.assertEqual(len(failed), 1)
        self.assertIn("5", failed[0].split())
        # The run's clock goes on through the restart.
        times = b.run("return Array.from(document.querySelectorAll('.mark.command'), (m) => Number(m.getAttribute('data-t')))")
        self.assertAlmostEqual(times[-1], 1.5, delta=1e-9)
        self.slide_to(1.2)  # the new process: the list back at 1, the switch on ring
        self.assertEqual(self.phone("#phone-list")[0], "1")

    def test_demo_screenshot(self):
        b = self.browser
        b.open(report(None, "demo"))
        self.slide_to(0.75)
        width, height, differ = b.screenshot(os.path.join(OUT, "screenshots", "report.png"))
        self.assertEqual([width, height], b.run(
            "return [innerWidth, innerHeight].map((n) => Math.round(n * devicePixelRatio))"))
        self.assertGreater(width * height, 600 * 400)
        self.assertGreater(differ, 0.05, "the screenshot is not blank")
        self.assertEqual(b.script_errors(), [])

    def test_every_example_renders_without_a_script_error(self):
        b = self.browser
        scenarios = sorted(glob.glob(os.path.join(SOURCE, "examples", "*.scn")))
        self.assertTrue(scenarios)
        runs = [(s, os.path.basename(s)[:-4], ()) for s in scenarios]
        runs += [(None, "demo-vanilla", ("--vanilla",)), (scenarios[0], "example-vanilla", ("--vanilla",))]
        for scenario, name, options in runs:
            with self.subTest(name):
                # Without Quelline, an example's expectations may fail: the
                # report is written all the same.
                url = report(scenario, name, *options, status=None if options else 0)
                b.open(url)
                self.assertEqual(b.script_errors(), [], name)
                self.assertGreater(b.run("return document.querySelectorAll('.mark.command').length"), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
