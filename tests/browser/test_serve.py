"""quelline-sim serve: the live phone, driven in headless Chromium, with the
server's own state dump and the preference editor beside it."""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "serve"))
import serve_process  # noqa: E402
from browser import TIMEOUT, Browser  # noqa: E402
from serve_process import Serve  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.common.exceptions import StaleElementReferenceException  # noqa: E402

SIM = os.environ["QUELLINE_SIM"]
PREFS = os.environ["QUELLINE_PREFS"]
OUT = os.environ["QUELLINE_OUT"]


def request(url, body=None, headers=None, method=None):
    return serve_process.request(url, body, headers, method, timeout=TIMEOUT)


class ServeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(OUT, exist_ok=True)
        cls.serve = Serve(SIM, "quelline-serve-")
        cls.root, cls.url, cls.server = cls.serve.root, cls.serve.url, cls.serve.process
        cls.browser = Browser()

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()
        cls.serve.stop(timeout=TIMEOUT)

    def state(self):
        status, body = request(self.url + "api/state")
        self.assertEqual(status, 200)
        return body

    def page(self, script):
        return self.browser.run(script)

    def click_on_phone(self, selector, times=1):
        """Clicks with the pointer where `selector` is drawn on the phone
        (the drawing is made anew each frame: the place stays)."""
        b = self.browser
        dx, dy = b.run("""
            const box = document.getElementById('phone').getBoundingClientRect();
            const it = document.querySelector(arguments[0]).getBoundingClientRect();
            return [it.left + it.width / 2 - (box.left + box.width / 2),
                    it.top + it.height / 2 - (box.top + box.height / 2)];""", selector)
        actions = ActionChains(b.driver).move_to_element_with_offset(
            b.driver.find_element("id", "phone"), int(dx), int(dy))
        for _ in range(times):
            actions = actions.click()
        actions.perform()

    def last_command(self):
        status, body = request(self.url + "api/records")
        self.assertEqual(status, 200)
        commands = body["record"]["commands"]
        return commands[-1]["text"] if commands else None

    def test_1_switch_and_notification_in_the_page(self):
        b = self.browser
        b.open(self.url)
        b.driver.find_element("id", "switch-silent").click()
        b.driver.find_element("id", "notify").click()
        # The fade plays in the page: the list ends hidden, a haptic mark.
        b.wait_for("const l = document.getElementById('phone-list');"
                   "return l && getComputedStyle(l).opacity === '0'", "the list hidden on the phone")
        b.wait_for("return document.querySelectorAll(\"g[data-lane='sounds'] .mark.feedback.haptic\").length === 1",
                   "a haptic mark on the timeline")
        self.assertEqual(self.page("return document.getElementById('phone-switch').getAttribute('data-state')"), "silent")
        state = self.state()
        self.assertEqual(state["list"]["alpha"], 0)
        self.assertTrue(state["flags"]["notificationsHidden"])
        self.assertEqual([f["kind"] for f in state["feedback"]], ["haptic"])
        self.assertEqual((state["banners"]["shown"], state["banners"]["hidden"]), (0, 1))

        # A second tab sees the same phone, and acts on it.
        first = b.driver.current_window_handle
        b.driver.switch_to.new_window("tab")
        b.open(self.url)
        b.wait_for("const l = document.getElementById('phone-list');"
                   "return l && getComputedStyle(l).opacity === '0'", "the second tab's list hidden")
        b.driver.find_element("id", "switch-ring").click()
        b.driver.switch_to.window(first)
        b.wait_for("return document.getElementById('phone-switch').getAttribute('data-state') === 'ring'",
                   "the first tab to see the switch on ring")
        b.wait_for("const l = document.getElementById('phone-list');"
                   "return getComputedStyle(l).opacity === '1'", "the list back")

        # Gestures on the drawing: the toggle's button flips it; two clicks
        # on the home screen are one double tap.
        self.click_on_phone("#phone-toggle circle")
        b.wait_for("return document.getElementById('phone-toggle').getAttribute('data-state') === 'on'",
                   "the toggle on")
        self.assertTrue(self.state()["module"]["selected"])
        self.click_on_phone("#phone-icons rect", times=2)
        deadline = time.monotonic() + TIMEOUT
        while self.last_command() != "tap 2" and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.last_command(), "tap 2")
        self.assertEqual(b.script_errors(), [])

    def test_1b_a_failed_expectation_typed_in_is_shown_failed(self):
        b = self.browser
        b.open(self.url)
        # Typed in "Any command" and sent with Enter: shown as failed, with
        # the simulator's reason.
        field = b.driver.find_element("id", "command")
        field.clear()
        field.send_keys("expect list.alpha 5\n")
        message = b.wait_for("const m = document.getElementById('message');"
                             "return m.textContent.startsWith('expect list.alpha 5') && [m.textContent, m.className]",
                             "the answer to the expectation")
        self.assertIn("failed", message[0])
        self.assertIn("list.alpha", message[0].split("failed", 1)[1])
        self.assertEqual(message[1], "error")

    def test_1c_enter_sends_a_field_and_control_center_opens_on_the_phone(self):
        b = self.browser
        b.open(self.url)
        app = b.driver.find_element("id", "notify-app")
        app.clear()
        app.send_keys("My Chat App\n")
        b.wait_for("return Array.from(document.querySelectorAll('#phone-list .card-text'), (c) => c.textContent).includes('My Chat App')",
                   "the notification on the phone, its name as typed")
        b.driver.find_element("id", "cc-open").click()
        b.wait_for("return document.getElementById('phone-cc') !== null", "Control Center on the phone")
        self.assertEqual(b.script_errors(), [])

    def test_1d_a_phone_screen(self):
        b = self.browser
        b.open(self.url)
        try:
            # Nothing cut off at the side; the timeline scrolls in its own box.
            b.viewport(390, 844)
            b.wait_for("return document.documentElement.clientWidth === 390", "the narrow layout")
            outside, fits, scrolls = b.cut_off()
            self.assertEqual(outside, [], "cut off at 390 px")
            self.assertTrue(fits and scrolls, (fits, scrolls))
            # The picture: the switch on silent and a notification; the
            # phone, the controls and the timeline.
            b.driver.find_element("id", "switch-silent").click()
            b.driver.find_element("id", "notify").click()
            b.wait_for("const l = document.getElementById('phone-list');"
                       "return l && getComputedStyle(l).opacity === '0' && document.querySelector('#phone-feedback')",
                       "the list hidden and a haptic tap on the phone")
            b.viewport(390, 1500)
            b.run("window.scrollTo(0, 0)")
            width, _, differ = b.screenshot(os.path.join(OUT, "screenshots", "live-phone.png"))
            self.assertEqual(width, 390)
            self.assertGreater(differ, 0.05, "the screenshot is not blank")
        finally:
            b.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
        b.driver.find_element("id", "switch-ring").click()
        self.assertEqual(b.script_errors(), [])

    def test_1e_on_a_phone_the_phone_stays_in_view_while_its_controls_are_used(self):
        b = self.browser
        b.open(self.url)
        b.wait_for("return document.querySelector('#pane .pane-row input')", "the pane's rows")
        try:
            b.viewport(390, 844)
            b.wait_for("return document.documentElement.clientWidth === 390", "the narrow layout")
            # Every group of the pane is one width, the Apps group's forms too.
            widths = b.run("return [...document.querySelectorAll('#pane .pane-group')]"
                           ".map((g) => g.getBoundingClientRect().width)")
            self.assertEqual(len(set(widths)), 1, widths)
            # Each control, used as a person would (every change undone
            # again); the pane is drawn anew as it answers, so its rows are
            # found by their keys each time.
            uses = [("click", f"#{name}") for name in (
                "switch-silent", "switch-ring", "toggle-on", "toggle-off", "cc-open", "notify",
                "app-open", "app-suspend", "tap-1", "tap-2", "tap-3", "touch", "clear")]
            uses.append(("click", "#moment-button"))
            uses.append(("change", "#slider"))
            for row in self.state()["pane"]["groups"]:
                for control in row["rows"]:
                    key = control["key"] or control["id"]
                    at = f'#pane .pane-row[data-key="{key}"]'
                    if control["cell"] == "switch":
                        uses += [("click", f"{at} input")] * 2
                    elif control["cell"] in ("slider", "choice"):
                        uses.append(("change", f"{at} input, {at} select"))
                    elif control.get("list"):
                        uses += [("click", f"{at} form button:first-of-type"),
                                 ("click", f"{at} form button:last-of-type")]
            missed = []
            for how, selector in uses:
                # The answer's records may still be streaming in and redraw
                # the pane between finding a row and using it: find it anew.
                for attempt in range(10):
                    try:
                        element = b.driver.find_element("css selector", selector)
                        b.run("arguments[0].scrollIntoView({block: 'center'});"
                              "document.getElementById('message').textContent = ''", element)
                        if how == "click":
                            element.click()
                        else:
                            b.run("arguments[0].dispatchEvent(new Event('change'))", element)
                        break
                    except StaleElementReferenceException:
                        if attempt == 9:
                            raise
                        time.sleep(0.05)
                if selector not in ("#moment-button", "#slider"):
                    b.wait_for("return document.getElementById('message').textContent", f"{selector} answered")
                box = b.run("""const r = document.getElementById('phone').getBoundingClientRect();
                               return [r.top, r.bottom, window.innerHeight];""")
                if box[0] < -0.5 or box[1] > box[2] + 0.5:
                    missed.append(f"{selector}: the phone at {box[0]:.0f}..{box[1]:.0f} of {box[2]}")
            self.assertEqual(missed, [], "the phone out of view after a control at 390 px")
        finally:
            b.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
        self.assertEqual(b.script_errors(), [])

    def test_2_preference_editor_changes_the_phone_live(self):
        b = self.browser
        b.open(self.url)
        self.assertTrue(self.state()["settings"]["hideBanners"])
        done = subprocess.run([PREFS, "--root", self.root, "set", "hideBanners", "false"],
                              capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(done.returncode, 0, done.stderr)
        deadline = time.monotonic() + TIMEOUT
        while self.state()["settings"]["hideBanners"] and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertFalse(self.state()["settings"]["hideBanners"])
        b.wait_for("return !document.getElementById('pref-hideBanners').checked",
                   "the settings panel to show the change")
        # The panel writes through the same file and lock, and posts the reload.
        b.driver.find_element("id", "pref-hideBanners").click()
        deadline = time.monotonic() + TIMEOUT
        while not self.state()["settings"]["hideBanners"] and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(self.state()["file"]["hideBanners"])
        self.assertTrue(self.state()["settings"]["hideBanners"])
        # The toggle's duration takes hours and minutes as typed.
        self.assertEqual(b.run("return document.getElementById('pref-toggleDuration').type"),
                         "text")
        b.run("const f = document.getElementById('pref-toggleDuration'); f.value = '1h30m';"
              "f.dispatchEvent(new Event('change'));")
        deadline = time.monotonic() + TIMEOUT
        while self.state()["file"].get("toggleDuration") != 90 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.state()["file"].get("toggleDuration"), 90)
        self.assertEqual(b.script_errors(), [])

    def test_2b_the_settings_pane_works_through_the_settings_process(self):
        b = self.browser
        b.open(self.url)
        # serve opened the pane in the Settings app: the page draws what it
        # shows, groups and footers included.
        b.wait_for("return document.querySelector('#pane .pane-row[data-key=\"haptic\"] input')",
                   "the pane's haptic switch")
        pane = self.state()["pane"]
        self.assertTrue(pane["open"])
        self.assertEqual([r["key"] for g in pane["groups"] for r in g["rows"] if r["cell"] == "link"],
                         [None, None])
        try:
            b.viewport(390, 1400)
            b.run("document.getElementById('pane').scrollIntoView()")
            os.makedirs(os.path.join(OUT, "screenshots"), exist_ok=True)
            with open(os.path.join(OUT, "screenshots", "settings-pane.png"), "wb") as f:
                f.write(b.driver.find_element("id", "pane").screenshot_as_png)
        finally:
            b.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
        # Its switch is flipped by the Settings process: the file changes,
        # the home screen rereads its settings.
        shown = pane["controls"]["haptic"]["value"]
        b.driver.find_element("css selector", '#pane .pane-row[data-key="haptic"] input').click()
        deadline = time.monotonic() + TIMEOUT
        while self.state()["settings"]["haptic"] == shown and time.monotonic() < deadline:
            time.sleep(0.05)
        state = self.state()
        self.assertEqual(state["file"]["haptic"], not shown)
        self.assertEqual(state["settings"]["haptic"], not shown)
        self.assertEqual(state["pane"]["controls"]["haptic"]["value"], not shown)
        status, body = request(self.url + "api/records")
        self.assertEqual(status, 200)
        self.assertTrue(any(e["event"] == "pane-set" and e.get("process") == "Settings"
                            for e in body["record"]["events"]))
        self.assertEqual(b.script_errors(), [])

    def files(self):
        """Every file under the device root, with its size and time."""
        out = {}
        for folder, _, names in os.walk(self.root):
            for name in names:
                path = os.path.join(folder, name)
                info = os.stat(path)
                out[os.path.relpath(path, self.root)] = (info.st_size, info.st_mtime_ns)
        return out

    def test_3_bad_requests_get_a_4xx_and_the_server_goes_on(self):
        url = self.url
        before = self.files()
        cases = [
            ("api/command", {"command": "switch sideways"}, 400, "switch"),
            ("api/command", {"command": "wait 1"}, 400, "real clock"),
            ("api/command", {"command": "boot"}, 400, "restart"),
            ("api/command", {"command": "prefs copy /etc/hostname"}, 400, "prefs copy"),
            ("api/command", {"command": "switch silent\nswitch ring"}, 400, "one command"),
            ("api/command", {"cmd": "switch silent"}, 400, "expected"),
            ("api/command", b"{not json", 400, "no JSON"),
            ("api/command", b"x" * 100000, 413, "larger"),
            ("api/prefs", {"key": "noSuchKey", "value": "1"}, 400, "unknown key"),
            ("api/prefs", {"key": "timerTime", "value": "soon"}, 400, "timerTime"),
            ("api/nothing", None, 404, "nothing at"),
        ]
        for path, body, status, words in cases:
            with self.subTest(path=path, body=body if not isinstance(body, bytes) else body[:20]):
                got, answer = request(url + path, body)
                self.assertEqual(got, status, answer)
                self.assertIn(words, answer["error"])
        # A page of another site, or a name that is not this machine's.
        got, answer = request(url + "api/command", {"command": "switch silent"},
                              headers={"Origin": "http://example.com"})
        self.assertEqual(got, 403, answer)
        got, answer = request(url + "api/state", headers={"Host": "example.com"})
        self.assertEqual(got, 403, answer)
        self.assertEqual(self.server.poll(), None, "the server still runs")
        self.assertEqual(self.state()["time"] > 0, True)
        # Refused requests write nothing.
        self.assertEqual(self.files(), before)

    def test_4_a_second_server_cannot_take_the_port(self):
        port = self.url.rsplit(":", 1)[1].strip("/")
        done = subprocess.run([SIM, "serve", "--port", port], capture_output=True, text=True,
                              timeout=TIMEOUT)
        self.assertEqual(done.returncode, 3)
        self.assertIn(f"cannot listen on 127.0.0.1 port {port}", done.stderr)

    def test_5_the_local_time_shows_once_the_clock_is_set_on_an_open_page(self):
        b = self.browser
        b.open(self.url)
        b.wait_for("return document.getElementById('phone-clock')", "the phone drawn")
        status, _ = request(self.url + "api/command", {"command": "device clock 2025-01-06T21:00"})
        self.assertEqual(status, 200)
        b.wait_for("return document.getElementById('phone-clock').textContent.startsWith('21:0')",
                   "the local time on the phone's status bar")


if __name__ == "__main__":
    unittest.main(verbosity=2)
