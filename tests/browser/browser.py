"""Headless Chromium for the browser tests, driven through Selenium and
chromedriver (all three from Debian), and what the tests share."""

import base64
import os
import shutil
import subprocess
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
# Everything a waited-for page element or answer may take.
TIMEOUT = 20


class Browser:
    """One headless Chromium with a fresh profile, removed at close."""

    def __init__(self, width=1400, height=1000):
        for path in (CHROMIUM, CHROMEDRIVER):
            if not os.access(path, os.X_OK):
                raise RuntimeError(f"{path} is missing: scripts/install-deps.sh installs it")
        self.profile = tempfile.mkdtemp(prefix="quelline-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", f"--user-data-dir={self.profile}",
                     f"--window-size={width},{height}"):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER),
                                       options=options)
        self.driver.set_page_load_timeout(TIMEOUT)
        self.driver.set_script_timeout(TIMEOUT)

    def close(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def open(self, url):
        """Loads `url` and waits until its script says the page is drawn."""
        self.driver.get(url)
        self.wait_for("return document.body && document.body.getAttribute('data-ready') === 'true'",
                      f"{url} to be drawn")

    def run(self, script, *args):
        return self.driver.execute_script(script, *args)

    def wait_for(self, script, what, *args):
        """Runs `script` until it returns something true; returns that."""
        deadline = time.monotonic() + TIMEOUT
        while True:
            value = self.run(script, *args)
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError(f"gave up waiting for {what}")
            time.sleep(0.05)

    def viewport(self, width, height):
        """Lays the page out as a screen of `width` x `height` CSS pixels
        (a phone's 390 x 844, say), whatever the window's size."""
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})

    def cut_off(self):
        """Visible elements of the page that reach past its left or right
        edge, except inside the timeline's own scrolling box; and whether
        that box scrolls."""
        return self.run("""
            const width = document.documentElement.clientWidth;
            const box = document.getElementById('timeline');
            const out = [];
            for (const e of document.body.querySelectorAll('*')) {
              if (box.contains(e) || e.closest('svg, title, script, style')) continue;
              const r = e.getBoundingClientRect();
              if (!r.width || !r.height || getComputedStyle(e).visibility === 'hidden') continue;
              if (r.left < -0.5 || r.right > width + 0.5)
                out.push(`${e.tagName.toLowerCase()}#${e.id}.${e.className} ${Math.round(r.left)}..${Math.round(r.right)} of ${width}`);
            }
            const b = box.getBoundingClientRect();
            if (b.left < -0.5 || b.right > width + 0.5) out.push(`#timeline ${b.left}..${b.right}`);
            return [out, document.documentElement.scrollWidth <= width, box.scrollWidth > box.clientWidth];""")

    def script_errors(self):
        """Errors the page's scripts reported on the console since the last call."""
        return [entry["message"] for entry in self.driver.get_log("browser")
                if entry.get("level") == "SEVERE"]

    def screenshot(self, path):
        """Saves a PNG of the window to `path`; returns its width, height and
        the share of pixels that differ from the top-left one (as the
        browser itself decodes and counts them)."""
        png = self.driver.get_screenshot_as_png()
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(png)
        data = base64.b64encode(png).decode("ascii")
        return self.driver.execute_async_script("""
            const done = arguments[arguments.length - 1];
            const image = new Image();
            image.onload = () => {
              const canvas = document.createElement('canvas');
              canvas.width = image.width;
              canvas.height = image.height;
              const g = canvas.getContext('2d');
              g.drawImage(image, 0, 0);
              const px = g.getImageData(0, 0, image.width, image.height).data;
              let differ = 0;
              for (let i = 0; i < px.length; i += 4)
                if (px[i] !== px[0] || px[i + 1] !== px[1] || px[i + 2] !== px[2]) ++differ;
              done([image.width, image.height, differ / (px.length / 4)]);
            };
            image.onerror = () => done(null);
            image.src = 'data:image/png;base64,' + arguments[0];
        """, data)


def run_sim(sim, args, root=None, check_status=None):
    """Runs quelline-sim; returns (status, stdout, stderr)."""
    command = [sim] + (["--root", root] if root else []) + args
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    if check_status is not None and done.returncode != check_status:
        raise AssertionError(f"{' '.join(command)} exited {done.returncode}, expected "
                             f"{check_status}\n{done.stdout}\n{done.stderr}")
    return done.returncode, done.stdout, done.stderr
