"""The pictures of docs/, made from the built programs in headless Chromium,
and the hash of the page each is made from, stored beside them in
docs/pictures.sha256 so that a check can tell a picture whose page has
changed since it was made.

    pictures.py make SIM DOCS    remake every picture and the hashes
    pictures.py check SIM DOCS   exit 1 when a page differs from its hash

The pages: the demo's report (`quelline-sim --html`), and the live phone's
page as `quelline-sim serve` sends it."""

import hashlib
import os
import sys
import tempfile
import urllib.request

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "serve"))
from serve_process import Serve  # noqa: E402

HASHES = "pictures.sha256"
# Each picture, and the page it is made from.
PICTURES = {"report.png": "report", "live-phone.png": "live", "settings-pane.png": "live"}


def demo_report(sim, folder):
    """The demo's report, written into `folder`; its path."""
    import subprocess
    path = os.path.join(folder, "demo.html")
    subprocess.run([sim, "--html", path], check=True, capture_output=True, timeout=120)
    return path


def live_page(url):
    with urllib.request.urlopen(url, timeout=20) as res:
        return res.read()


def pages(sim):
    """{page: its bytes}."""
    with tempfile.TemporaryDirectory(prefix="quelline-pictures-") as folder:
        out = {"report": open(demo_report(sim, folder), "rb").read()}
    serve = Serve(sim, "quelline-pictures-")
    try:
        out["live"] = live_page(serve.url)
    finally:
        serve.stop(timeout=20)
    return out


def hashes(sim):
    found = pages(sim)
    return {picture: hashlib.sha256(found[page]).hexdigest() for picture, page in PICTURES.items()}


def stored(docs):
    out = {}
    path = os.path.join(docs, HASHES)
    if os.path.exists(path):
        for line in open(path, encoding="utf-8"):
            if line.strip() and not line.startswith("#"):
                digest, picture = line.split()[:2]
                out[picture] = digest
    return out


def make(sim, docs):
    from browser import Browser

    with tempfile.TemporaryDirectory(prefix="quelline-pictures-") as folder, Browser() as b:
        # The demo's report on a phone's screen, as it opens.
        b.viewport(390, 1500)
        b.open("file://" + demo_report(sim, folder))
        b.screenshot(os.path.join(docs, "report.png"))
        serve = Serve(sim, "quelline-pictures-")
        try:
            # The live phone on a phone's screen: the switch on silent and a
            # notification that came in quietly.
            b.open(serve.url)
            b.wait_for("return document.querySelector('#pane .pane-row input')", "the pane")
            b.run("document.getElementById('switch-silent').click()")
            b.wait_for("const l = document.getElementById('phone-list');"
                       "return l && getComputedStyle(l).opacity === '0'", "the list faded out")
            b.run("document.getElementById('notify').click()")
            b.wait_for("return document.querySelector('#phone-feedback')", "a haptic tap on the phone")
            b.run("window.scrollTo(0, 0)")
            b.screenshot(os.path.join(docs, "live-phone.png"))
            # The pane alone, as the Settings process shows it.
            b.viewport(800, 1400)
            b.run("document.getElementById('pane').scrollIntoView()")
            with open(os.path.join(docs, "settings-pane.png"), "wb") as f:
                f.write(b.driver.find_element("css selector", "#pane > .pane").screenshot_as_png)
        finally:
            b.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
            serve.stop(timeout=20)
    with open(os.path.join(docs, HASHES), "w", encoding="utf-8") as f:
        f.write("# The SHA-256 of the page each picture was made from "
                "(scripts/update-pictures.sh writes it).\n")
        for picture, digest in hashes(sim).items():
            f.write(f"{digest}  {picture}  {PICTURES[picture]}\n")


def check(sim, docs):
    now, then = hashes(sim), stored(docs)
    stale = [p for p in PICTURES if now[p] != then.get(p)]
    for picture in stale:
        print(f"docs/{picture}: its page ({PICTURES[picture]}) changed since the picture was made; "
              "run scripts/update-pictures.sh", file=sys.stderr)
    print(f"{len(PICTURES) - len(stale)} of {len(PICTURES)} pictures made from the current pages")
    return 1 if stale else 0


if __name__ == "__main__":
    what, sim, docs = sys.argv[1:4]
    if what == "make":
        make(sim, docs)
        sys.exit(0)
    sys.exit(check(sim, docs))
