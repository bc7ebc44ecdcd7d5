"""One `quelline-sim serve` on a port of its own choosing, over a fresh
device root, and the one way the tests send it a request; shared by the
HTTP tests (tests/serve/) and the browser tests (tests/browser/)."""

import json
import re
import shutil
import signal
import subprocess
import tempfile
import urllib.error
import urllib.request


def request(url, body=None, headers=None, method=None, timeout=5):
    """(status, parsed JSON body) of one HTTP request."""
    data = None if body is None else (body if isinstance(body, bytes) else json.dumps(body).encode())
    req = urllib.request.Request(url, data=data, method=method, headers={
        "Content-Type": "application/json", **(headers or {})})
    try:
        with urllib.request.urlopen(req, timeout=timeout) as res:
            return res.status, json.loads(res.read() or b"null")
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read() or b"null")


class Serve:
    """Starts `SIM serve --port 0 --root ROOT` and reads where it listens
    (`url`, `port`); stop() sends SIGTERM and requires exit 0."""

    def __init__(self, sim, prefix):
        self.root = tempfile.mkdtemp(prefix=prefix)
        self.process = subprocess.Popen([sim, "serve", "--port", "0", "--root", self.root],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        text=True)
        line = self.process.stderr.readline()
        found = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
        if not found:
            self.process.kill()
            raise AssertionError(f"serve did not say where it listens: {line!r}")
        self.url = found.group(0)
        self.port = int(found.group(1))

    def stop(self, timeout):
        self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(timeout=timeout)
        finally:
            if self.process.poll() is None:
                self.process.kill()
            shutil.rmtree(self.root, ignore_errors=True)
        assert status == 0, f"serve exited {status} on SIGTERM"
