#!/usr/bin/env python3
"""How the HTML report's cost grows with the scenario's length.

Writes scenarios of N lines (a phone used all day: the switch, notifications
from many apps, the toggle, taps, apps to the front, settings written), runs
each with and without --html several times, and prints the best wall time of
each, the report's size and the peak memory of the run with --html.

    bench/report_scaling.py [--sim build/release/bin/quelline-sim] [--repeat 3] 10000 20000 100000
    bench/report_scaling.py --browser [--phone-js OLD.js] 10000 100000

--browser opens each report in headless Chromium (the browser tests'
helper) and times, in the page, what a draw costs: reading the run's data
and building the model (once, when the page opens), the first draw of the
whole timeline, drawing it again (the window resized), a 40-second window
slid along the run (as the live phone draws), and the phone at a moment (the
slider moved). Each but the first draw is the best of --draws repeats (the
least disturbed by the rest of the machine), in ms; the last lines
give each count's times over the first count's. --phone-js draws with
another version of sim/web/phone.js too, side by side on the same pages.

The device root is made under --tmp (default /dev/shm, a memory file system
where there is one): every write of the preference file is synced, and on a
shared disk the syncs' wait would drown what is measured.
"""

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

CYCLE = [
    "switch silent",
    "notify com.example.app{i}",
    "wait 0.3",
    "notify \"Chat {i}\" sound tritone",
    "switch ring",
    "wait 0.8",
    "toggle on",
    "tap 2",
    "open com.example.game{i}",
    "notify com.apple.MobileSMS",
    "wait 0.2",
    "suspend com.example.game{i}",
    "toggle off",
    "prefs set timerTime {n}",
    "wait 1",
    "clear",
]


def scenario(lines):
    out = ["boot"]
    i = 0
    while len(out) < lines:
        for line in CYCLE:
            out.append(line.format(i=i % 50, n=1 + i % 60))
            if len(out) == lines:
                break
        i += 1
    return "\n".join(out) + "\n"


ENV = dict(os.environ)


def timed(command):
    """(wall seconds, CPU seconds) of one run of `command`. The wall time
    includes waiting for the disk (every write of the preference file is
    synced); the CPU time is what the work itself costs."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          env=ENV)
    took = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} exited {done.returncode}: {done.stderr[-2000:]}")
    return took, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def peak_rss_mib(command):
    """Peak RSS of one run of `command`, in MiB, as /usr/bin/time reports it."""
    done = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, env=ENV)
    return int(done.stderr.strip().splitlines()[-1]) / 1024


# Times, in the page, of what the report draws. `arguments[0]` is the text
# of a phone.js to draw with, or null for the page's own.
DRAW_TIMES = """
const P = arguments[0] === null ? Phone : new Function(`${arguments[0]}\nreturn Phone;`)();
const draws = arguments[1];
const box = document.getElementById('timeline');
const best = (f) => {
  const times = [];
  for (let k = 0; k < draws; ++k) {
    const start = performance.now();
    f(k);
    document.body.getBoundingClientRect(); // the layout the drawing asks for
    times.push(performance.now() - start);
  }
  return Math.min(...times);
};
let start = performance.now();
const data = JSON.parse(document.getElementById('run-data').textContent);
const model = new P.Model(data);
const load = performance.now() - start;
const end = Math.max(model.end() + 0.3, 1);
start = performance.now();
const timeline = new P.Timeline(box, model);
timeline.draw(0, end);
document.body.getBoundingClientRect();
const first = performance.now() - start;
const again = best(() => timeline.draw(0, end));
const slide = best((k) => {
  const t0 = ((k + 0.5) / draws) * Math.max(0, end - 40);
  timeline.draw(t0, t0 + 40);
});
const phone = best((k) => {
  const t = ((k + 0.5) / draws) * end;
  P.drawPhone(document.getElementById('phone'), model, t);
  P.drawSettings(document.getElementById('settings'), model, t);
  timeline.setCursor(t);
});
return [load, first, again, slide, phone, box.querySelectorAll('*').length];
"""


def draw_times(browser, html, phone_js, draws):
    """What drawing the report at `html` costs in the page, with the page's
    own phone.js or the text `phone_js`: [load, first draw, draw again, 40 s
    window, phone] in ms, and the timeline's number of SVG elements."""
    browser.open("file://" + html)
    return browser.run(DRAW_TIMES, phone_js, draws)


def write_scenario(folder, lines):
    """The scenario of `lines` lines written in `folder`: its path, and the
    path its report goes to."""
    path = os.path.join(folder, f"{lines}.scn")
    with open(path, "w") as f:
        f.write(scenario(lines))
    return path, os.path.join(folder, f"{lines}.html")


def browser_bench(args, folder):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                    "browser"))
    from browser import Browser  # noqa: E402

    versions = [("this", None)]
    if args.phone_js:
        with open(args.phone_js) as f:
            versions.append((os.path.basename(args.phone_js), f.read()))
    rows = {}
    with Browser() as browser:
        # A 100,000-line report takes longer to open than a test's page.
        browser.driver.set_page_load_timeout(600)
        browser.driver.set_script_timeout(600)
        print(f"{'lines':>8} {'phone.js':>12} {'load ms':>8} {'first ms':>9} {'again ms':>9} "
              f"{'40 s ms':>8} {'phone ms':>9} {'shapes':>7}")
        for lines in args.lines:
            path, html = write_scenario(folder, lines)
            timed([args.sim, "--brief", "--html", html, "run", path])
            for name, text in versions:
                row = draw_times(browser, html, text, args.draws)
                rows[(lines, name)] = row
                print(f"{lines:>8} {name:>12} {row[0]:>8.0f} {row[1]:>9.1f} {row[2]:>9.1f} "
                      f"{row[3]:>8.1f} {row[4]:>9.2f} {row[5]:>7}", flush=True)
    base = args.lines[0]
    for lines in args.lines[1:]:
        for name, _ in versions:
            a, b = rows[(base, name)], rows[(lines, name)]
            print(f"{lines} over {base} lines, {name}: load {b[0] / a[0]:.2f}, first draw "
                  f"{b[1] / a[1]:.2f}, again {b[2] / a[2]:.2f}, 40 s window {b[3] / a[3]:.2f}, "
                  f"phone {b[4] / a[4]:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", default="build/release/bin/quelline-sim")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--tmp", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                        help="where the temporary device roots go (TMPDIR of the runs)")
    parser.add_argument("--browser", action="store_true",
                        help="time the drawing of each report in headless Chromium instead")
    parser.add_argument("--phone-js", help="with --browser, draw with this phone.js as well")
    parser.add_argument("--draws", type=int, default=9, help="with --browser, repeats of each draw")
    parser.add_argument("lines", type=int, nargs="+")
    args = parser.parse_args()
    if args.tmp:
        ENV["TMPDIR"] = args.tmp
    folder = tempfile.mkdtemp(prefix="quelline-report-bench-")
    try:
        if args.browser:
            return browser_bench(args, folder)
        print(f"{'lines':>8} {'run s':>7} {'CPU s':>7} {'--html s':>9} {'CPU s':>7} {'ratio':>6} "
              f"{'report MB':>10} {'peak RSS MiB':>13}")
        for lines in args.lines:
            path, html = write_scenario(folder, lines)
            # The best of the repeats: the least disturbed by the rest of the machine.
            plain = min(timed([args.sim, "--brief", "run", path]) for _ in range(args.repeat))
            with_html = min(timed([args.sim, "--brief", "--html", html, "run", path])
                            for _ in range(args.repeat))
            rss = peak_rss_mib([args.sim, "--brief", "--html", html, "run", path])
            size = os.path.getsize(html) / 1e6
            print(f"{lines:>8} {plain[0]:>7.2f} {plain[1]:>7.2f} {with_html[0]:>9.2f} {with_html[1]:>7.2f} "
                  f"{with_html[0] / plain[0]:>6.2f} {size:>10.1f} {rss:>13.0f}", flush=True)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
