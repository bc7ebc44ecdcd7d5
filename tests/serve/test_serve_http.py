"""quelline-sim serve over HTTP, without a browser: how it reads requests,
what it answers, and that a few clients cannot lock the others out."""

import http.client
import os
import select
import signal
import socket
import subprocess
import time
import unittest

from serve_process import Serve, request

SIM = os.environ["QUELLINE_SIM"]
PREFS = os.environ["QUELLINE_PREFS"]
# Generous: these are functional checks, not timings.
TIMEOUT = 5


class ServeHttpTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.serve = Serve(SIM, "quelline-serve-http-")
        cls.root, cls.url, cls.port = cls.serve.root, cls.serve.url, cls.serve.port

    @classmethod
    def tearDownClass(cls):
        cls.serve.stop(timeout=30)

    def raw(self, head, body=b""):
        """The status of a request sent byte for byte, read to the end."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT) as s:
            s.sendall(head.replace("\n", "\r\n").encode() + b"\r\n" + body)
            answer = b""
            while chunk := s.recv(65536):
                answer += chunk
        return int(answer.split(b" ", 2)[1]), answer

    def commands(self):
        status, body = request(self.url + "api/records")
        self.assertEqual(status, 200)
        return [c["text"] for c in body["record"]["commands"]]

    def test_framing_that_two_readers_could_read_differently_is_refused(self):
        host = f"Host: 127.0.0.1:{self.port}\n"
        body = b'{"command":"open com.example.framing"}'
        cases = {
            "two Content-Length": f"Content-Length: {len(body)}\nContent-Length: 0\n",
            "a list in Content-Length": f"Content-Length: {len(body)}, 0\n",
            "Transfer-Encoding not chunked": f"Transfer-Encoding: xchunked\nContent-Length: {len(body)}\n",
            "chunked and a length": f"Transfer-Encoding: chunked\nContent-Length: {len(body)}\n",
        }
        for name, headers in cases.items():
            with self.subTest(name):
                status, answer = self.raw("POST /api/command HTTP/1.1\n" + host +
                                          "Content-Type: application/json\nConnection: close\n" + headers, body)
                self.assertEqual(status, 400, answer)
                self.assertIn(b"malformed", answer)
        status, answer = self.raw("GET /api/state HTTP/1.1\n" + host + host + "Connection: close\n")
        self.assertEqual(status, 400, answer)
        self.assertNotIn("open com.example.framing", self.commands())
        # The same request framed once is taken.
        status, _ = self.raw("POST /api/command HTTP/1.1\n" + host + "Content-Type: application/json\n"
                             f"Connection: close\nContent-Length: {len(body)}\n", body)
        self.assertEqual(status, 200)
        self.assertIn("open com.example.framing", self.commands())

    def test_a_chunked_body_is_refused_unread(self):
        # Only the head and the start of a chunk: a server that reads the
        # body would wait for the rest, and answer late or not at all.
        with socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT) as s:
            s.sendall(f"POST /api/command HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\n"
                      "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n".encode())
            answer = b""
            while chunk := s.recv(65536):
                answer += chunk
        self.assertEqual(int(answer.split(b" ", 2)[1]), 411, answer)
        self.assertIn(b"chunked", answer)

    def test_connections_made_while_the_server_is_busy_wait_and_are_answered(self):
        # The server does not accept for a while (stopped, as a busy
        # machine may leave it): the kernel holds every connection until
        # it does, and each then gets its answer.
        count = 64
        os.kill(self.serve.process.pid, signal.SIGSTOP)
        sockets = []
        try:
            for _ in range(count):
                s = socket.socket()
                s.setblocking(False)
                s.connect_ex(("127.0.0.1", self.port))
                sockets.append(s)
            pending, deadline = list(sockets), time.monotonic() + 2
            while pending and time.monotonic() < deadline:
                _, ready, _ = select.select([], pending, [], 0.1)
                pending = [s for s in pending if s not in ready]
            self.assertEqual(len(pending), 0, f"{len(pending)} of {count} connections not held")
        finally:
            os.kill(self.serve.process.pid, signal.SIGCONT)
        try:
            for s in sockets:
                s.setblocking(True)
                s.settimeout(TIMEOUT * 4)
                s.sendall(f"GET /api/settings HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\n"
                          "Connection: close\r\n\r\n".encode())
            statuses = [int(s.recv(64).split(b" ", 2)[1]) for s in sockets]
        finally:
            for s in sockets:
                s.close()
        self.assertEqual(statuses, [200] * count)

    def test_a_kept_connection_carries_commands_in_a_row(self):
        # A page sending commands one after another is not made to connect
        # again (and wait for a thread) every few requests.
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=TIMEOUT)
        try:
            for i in range(20):
                connection.request("GET", "/api/settings", headers={"Host": f"127.0.0.1:{self.port}"})
                answer = connection.getresponse()
                answer.read()
                self.assertEqual(answer.status, 200)
                self.assertNotEqual(answer.getheader("Connection", "").lower(), "close", f"request {i + 1}")
        finally:
            connection.close()

    def test_answers_say_what_happened(self):
        # A JSON value of the wrong type is the client's error.
        status, answer = request(self.url + "api/prefs", {"key": "haptic", "remove": "yes"})
        self.assertEqual(status, 400, answer)
        self.assertIn('"remove"', answer["error"])
        # The limit named is the one that refused, whatever the body's type.
        for kind in ("application/json", "application/x-www-form-urlencoded"):
            with self.subTest(kind):
                status, answer = request(self.url + "api/command", b"a" * 9000, headers={"Content-Type": kind})
                self.assertEqual(status, 413)
                self.assertIn("larger than 8192 bytes", answer["error"])
        # A failed expectation ran, and failed: the answer says so and why.
        status, answer = request(self.url + "api/command", {"command": "expect list.alpha 0.5"})
        self.assertEqual(status, 200, answer)
        self.assertIs(answer["ok"], False)
        self.assertIn("expect failed: list.alpha: expected 0.5, actual 1", answer["error"])
        status, answer = request(self.url + "api/command", {"command": "expect list.alpha 1"})
        self.assertIs(answer["ok"], True)
        # The pane refused a change and showed its alert: the answer says
        # so, in the alert's words, not that it was done.
        status, answer = request(self.url + "api/command", {"command": "settings set quietHoursStart 420"})
        self.assertEqual(status, 200, answer)
        self.assertIs(answer["ok"], False)
        self.assertIs(answer["refused"], True)
        self.assertIn("Quelline's settings were not saved", answer["error"])
        # A value out of range: the words of quelline-prefs.
        editor = subprocess.run([PREFS, "--root", self.root, "set", "timerTime", "0"],
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(editor.returncode, 2, editor.stderr)
        status, answer = request(self.url + "api/prefs", {"key": "timerTime", "value": "0"})
        self.assertEqual(status, 400)
        said = answer["error"].removeprefix("timerTime: ")
        self.assertIn("takes an integer from 1 to 3600", said)
        self.assertIn(said, editor.stderr)
        # The pair of times is checked as quelline-prefs checks it, and a
        # time may be typed as people write it.
        status, answer = request(self.url + "api/prefs", {"key": "quietHoursEnd", "value": "22:00"})
        self.assertEqual(status, 400, answer)
        self.assertIn("quiet hours need a start and an end that differ", answer["error"])
        status, answer = request(self.url + "api/prefs", {"key": "quietHoursEnd", "value": "6:30"})
        self.assertEqual(status, 200, answer)

    def test_event_streams_and_slow_clients_cannot_lock_the_others_out(self):
        streams = []
        try:
            # Forty clients that send half a request and stall.
            for _ in range(40):
                s = socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT)
                streams.append(s)
                s.sendall(b"GET /api/state HTTP/1.1\r\nHo")
            statuses = []
            for _ in range(64):
                s = socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT)
                streams.append(s)
                s.sendall(f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\n\r\n".encode())
            for s in streams[40:]:
                statuses.append(int(s.recv(64).split(b" ", 2)[1]))
            self.assertLessEqual(statuses.count(200), 16)
            self.assertEqual(statuses.count(200) + statuses.count(503), 64)
            # With every stream open that was let in, and the slow clients
            # stalled, a probe is answered.
            status, state = request(self.url + "api/state")
            self.assertEqual(status, 200)
            self.assertGreater(state["time"], 0)
        finally:
            for s in streams:
                s.close()
        # Closed streams give their places back (an idle stream finds its
        # page gone at its next heartbeat, within 5 s).
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            with socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT) as s:
                s.sendall(f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\n\r\n".encode())
                if int(s.recv(64).split(b" ", 2)[1]) == 200:
                    break
            time.sleep(0.5)
        else:
            self.fail("no stream let in 30 s after the others closed")


if __name__ == "__main__":
    unittest.main(verbosity=2)
