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

LANES = ["commands", "switch", "toggle", "front", "hours", "prefs", "list", "icons", "banners",
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
        # It opens where a person first perceives something: the end of the
        # list's first fade, not 0.
        self.assertAlmostEqual(float(b.run("return document.getElementById('slider').value")), 0.7, delta=1e-6)
        self.assertEqual(b.run("return document.getElementById('phone-time').textContent"), "0.700")
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

    def test_quiet_hours_lane_where_they_hold(self):
        b = self.browser
        b.open(report(os.path.join(DATA, "quiet-hours.scn"), "quiet-hours"))
        self.assertEqual(b.script_errors(), [])
        # One bar, from the instant the window opened (22:00, 3600 s) to the
        # one it closed (07:00, 36000 s), though the wait ran past both.
        bars = b.run(TIME_OF_X + """
            const svgBox = document.getElementById('timeline-svg').getBoundingClientRect();
            return Array.from(document.querySelectorAll("g[data-lane='hours'] .segment.hours-held rect"), (r) => {
              const box = r.getBoundingClientRect();
              return [timeOf(box.left - svgBox.left), timeOf(box.right - svgBox.left)];
            });""")
        self.assertEqual(len(bars), 1, bars)
        span = 43200 / 100  # a pixel or so of the timeline
        self.assertAlmostEqual(bars[0][0], 3600, delta=span)
        self.assertAlmostEqual(bars[0][1], 36000, delta=span)
        # The run set the clock: the phone and the axis show the local time.
        self.slide_to(3600)
        self.assertEqual(b.run("return document.getElementById('phone-clock').textContent"), "22:00 · 3600.000 s")
        ticks = b.run("return Array.from(document.querySelectorAll('#timeline-svg .axis text'), (t) => t.firstChild.nodeValue)")
        self.assertIn("30000 · 05:20", ticks)

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
        # The restart is marked on the timeline, at 1 s.
        restarts = b.run("return Array.from(document.querySelectorAll('.mark.process.restart'), (m) => Number(m.getAttribute('data-t')))")
        self.assertEqual(restarts, [1.0])

    def test_a_refused_boot_starts_no_process(self):
        b = self.browser
        b.open(report(os.path.join(DATA, "refused-boot.scn"), "refused-boot", status=2))
        self.assertEqual(b.script_errors(), [])
        # The second boot was refused: the list stays hidden; one process.
        self.slide_to(0.75)
        self.assertEqual(self.phone("#phone-list")[0], "0")
        self.assertEqual(b.run("return document.querySelectorAll('.mark.process').length"), 1)
        points = b.run("return Array.from(document.querySelector(\"g[data-lane='list'] polyline.curve\").points, (p) => p.y)")
        self.assertEqual(b.run("return document.querySelectorAll(\"g[data-lane='list'] polyline.curve\").length"), 1)
        self.assertAlmostEqual(points[-1], max(points), delta=0.01, msg="the curve ends at 0")

    def open_names(self):
        """The report of names.scn: quoted app names, a skipped sound, a
        banner that stays its 5 s, a restart."""
        if not hasattr(ReportTest, "names_url"):
            ReportTest.names_url = report(os.path.join(DATA, "names.scn"), "names")
        self.browser.open(ReportTest.names_url)
        self.assertEqual(self.browser.script_errors(), [])

    def test_names_as_the_simulator_read_them(self):
        b = self.browser
        self.open_names()
        # No quotes, spaces kept: on the phone and on the timeline.
        self.slide_to(1.5)
        cards = b.run("return Array.from(document.querySelectorAll('#phone-list .card-text'), (c) => c.textContent)")
        self.assertEqual(cards, ["My Chat App", "com.example.chat"])
        tips = b.run("return Array.from(document.querySelectorAll(\"g[data-lane='banners'] .mark title\"), (m) => m.textContent)")
        self.assertEqual(len(tips), 2)
        self.assertIn("banner from com.example.chat kept hidden", tips[0])
        self.assertIn("banner from My Chat App shown", tips[1])

    def test_the_toggle_lane_draws_its_period(self):
        b = self.browser
        b.open(report(os.path.join(SOURCE, "tests/scenarios/toggle-period.scn"), "toggle-period"))
        tips = b.run("return Array.from(document.querySelectorAll(\"g[data-lane='toggle'] "
                     ".segment.toggle-period title\"), (t) => t.textContent)")
        # Each period on the toggle's lane, with the local time it ends.
        self.assertEqual(tips[0], "on until 21:30 from 0.000 s to 1800.000 s")
        self.assertEqual(tips[-1], "on until 00:31 from 5461.000 s to 12661.000 s")

    def test_a_skipped_sound_is_drawn_as_skipped(self):
        b = self.browser
        self.open_names()
        # The muted ringer's sound is drawn as skipped, the later one as played.
        skipped = b.run("return Array.from(document.querySelectorAll('.mark.sound.skipped'), (m) => Number(m.getAttribute('data-t')))")
        played = b.run("return Array.from(document.querySelectorAll('.mark.sound:not(.skipped)'), (m) => Number(m.getAttribute('data-t')))")
        self.assertEqual((skipped, played), ([0.0], [1.0]))
        self.slide_to(0.3)
        self.assertEqual(b.run("const s = document.getElementById('phone-sound'); return s && s.getAttribute('data-state')"), "skipped")

    def test_a_banner_stays_until_the_host_lets_it_go(self):
        b = self.browser
        self.open_names()
        # 5 s after it came, as the trace's banner-gone says.
        self.slide_to(5.5)
        self.assertEqual(self.phone("#phone-banner")[1], "shown")
        self.slide_to(6.2)
        self.assertEqual(self.phone("#phone-banner")[1], "none")
        # A window that starts after the list's last change still shows
        # the list's value (as the live phone's 40 s window does).
        runs = b.run("""
            const model = new Phone.Model(JSON.parse(document.getElementById('run-data').textContent));
            const box = document.createElement('div');
            document.body.appendChild(box);
            new Phone.Timeline(box, model).draw(3, 6);
            const n = box.querySelectorAll("g[data-lane='list'] polyline.curve").length;
            box.remove();
            return n;""")
        self.assertEqual(runs, 1)

    def test_demo_on_a_desktop_and_a_phone(self):
        b = self.browser
        url = report(None, "demo")
        try:
            for width, height in ((1400, 1000), (390, 844)):
                with self.subTest(width=width):
                    b.viewport(width, height)
                    b.open(url)
                    outside, fits, scrolls = b.cut_off()
                    self.assertEqual(outside, [], f"cut off at {width} px")
                    self.assertTrue(fits, f"the page scrolls sideways at {width} px")
                    if width < 600:
                        self.assertTrue(scrolls, "the timeline scrolls inside its own box")
            # The ringer display says what it shows and when it was asked
            # for: at 0.75 s it shows silent, asked for at 0 s.
            self.slide_to(0.75)
            hud = b.run("return document.getElementById('phone-hud').textContent")
            self.assertIn("Silent mode", hud)
            self.assertIn("switch moved at 0.000 s", hud)
            b.viewport(390, 1500)  # the picture: the phone and the timeline below it
            width, height, differ = b.screenshot(os.path.join(OUT, "screenshots", "report.png"))
            self.assertEqual(width, 390)
            self.assertGreater(differ, 0.05, "the screenshot is not blank")
            self.assertEqual(b.script_errors(), [])
        finally:
            b.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

    def test_labels_stay_in_their_lane_and_cross_no_other_mark(self):
        b = self.browser
        scenarios = sorted(glob.glob(os.path.join(SOURCE, "examples", "*.scn")))
        runs = [(None, "demo")] + [(s, os.path.basename(s)[:-4]) for s in scenarios]
        try:
            b.viewport(1280, 900)
            for scenario, name in runs:
                with self.subTest(name):
                    b.open(report(scenario, f"labels-{name}"))
                    faults = b.run("""
                        const svg = document.getElementById('timeline-svg');
                        const x0 = Number(svg.dataset.x0), x1 = Number(svg.dataset.x1);
                        const out = [];
                        const meet = (a, c) => c.x < a.x + a.width && a.x < c.x + c.width &&
                                               c.y < a.y + a.height && a.y < c.y + c.height;
                        for (const lane of svg.querySelectorAll('g.lane')) {
                          const y = Number(lane.dataset.y), h = Number(lane.dataset.h);
                          const shapes = [...lane.querySelectorAll('g.mark :is(line, rect, circle, path)')];
                          for (const text of lane.querySelectorAll('text')) {
                            if (text.matches('.lane-label, .curve-scale')) continue;
                            const a = text.getBBox();
                            const what = `${lane.dataset.lane}: "${text.textContent}"`;
                            if (a.x < x0 - 0.5 || a.x + a.width > x1 + 0.5 || a.y < y - 1.5 || a.y + a.height > y + h + 1.5)
                              out.push(`${what} runs past its lane`);
                            const own = text.closest('g.mark');
                            for (const shape of shapes)
                              if (shape.closest('g.mark') !== own && meet(a, shape.getBBox()))
                                out.push(`${what} crosses a mark at ${shape.closest('g.mark').dataset.t} s`);
                          }
                        }
                        return out;""")
                    self.assertEqual(faults, [])
        finally:
            b.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

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

    def test_a_draw_reads_what_it_draws_not_every_record(self):
        # A day's use: every lane has marks, steps or a curve.
        cycle = ["switch silent", "notify com.example.app{i}", "wait 0.3", 'notify "Chat" sound tritone',
                 "switch ring", "wait 0.8", "toggle on", "tap 2", "open com.example.game",
                 "notify com.apple.MobileSMS", "wait 0.2", "suspend com.example.game", "toggle off",
                 "prefs set timerTime {n}", "wait 1", "clear"]
        path = os.path.join(OUT, "day.scn")
        with open(path, "w") as f:
            f.write("boot\n" + "".join(line.format(i=i % 7, n=1 + i) + "\n" for i in range(12) for line in cycle))
        b = self.browser
        b.open(report(path, "day"))
        # The run 32 and 256 times over, one copy after the other, drawn
        # whole at the same width: the reads of the records and of every list
        # the model keeps grow with what is drawn (a few marks per 8 px), not
        # with the records.
        reads = [b.run("""
            const copies = arguments[0];
            const base = JSON.parse(document.getElementById('run-data').textContent);
            const span = Math.max(...['commands', 'events', 'states'].map((k) => base[k][base[k].length - 1].t)) + 1;
            const data = JSON.parse(JSON.stringify(base));
            for (const k of ['commands', 'events', 'states']) {
              data[k] = [];
              for (let c = 0; c < copies; ++c)
                for (const r of base[k]) {
                  const copy = Object.assign({}, r, { t: r.t + c * span });
                  if (c) delete copy.process; // one process: the copies go on from the first
                  data[k].push(copy);
                }
            }
            const model = new Phone.Model(data);
            let reads = 0;
            const seen = new Set();
            const count = (o, depth) => {
              if (!o || typeof o !== 'object' || seen.has(o) || depth > 3) return o;
              seen.add(o);
              if (Array.isArray(o))
                return new Proxy(o, { get: (a, k) => (typeof k === 'string' && /^[0-9]+$/.test(k) && ++reads, a[k]) });
              for (const k of Object.keys(o)) if (k !== 'data') o[k] = count(o[k], depth + 1);
              return o;
            };
            count(model, 0);
            const box = document.createElement('div');
            box.style.width = '1200px';
            document.body.appendChild(box);
            reads = 0;
            new Phone.Timeline(box, model).draw(0, model.end() + 0.3);
            box.remove();
            return reads;""", copies) for copies in (32, 256)]
        self.assertLess(reads[1], 1.5 * reads[0], reads)


if __name__ == "__main__":
    unittest.main(verbosity=2)
