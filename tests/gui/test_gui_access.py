"""drova gui's server without a browser: who may talk to it, and what a
command body must be before anything reaches a device."""
import http.client
import json
import os
import subprocess
import re
import tempfile
import time
import unittest

from gui_harness import DROVA, RUNNER, Gui, write_config

TAB = "access-test"


class Server:
    def __init__(self, gui):
        self.gui = gui
        self.cookie = None

    def request(self, method, path, body=None, host=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.gui.port, timeout=30)
        sent = {"Host": host or f"127.0.0.1:{self.gui.port}", **(headers or {})}
        if self.cookie and "Cookie" not in sent:
            sent["Cookie"] = self.cookie
        connection.request(method, path, body=body, headers=sent)
        response = connection.getresponse()
        # The event stream never ends: its head is all a test needs.
        data = b"" if response.getheader("Content-Type", "").startswith("text/event-stream") else response.read()
        connection.close()
        return response, data

    def log_in(self):
        response, _ = self.request("GET", "/?token=" + self.gui.token)
        assert response.status == 303, response.status
        self.cookie = response.getheader("Set-Cookie").split(";")[0]
        return response

    def post(self, path, body, headers=None):
        origin = {"Origin": f"http://127.0.0.1:{self.gui.port}", "X-Drova-Tab": TAB, **(headers or {})}
        return self.request("POST", path, body=body, headers=origin)


class GuiAccess(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="drova-gui-access-")
        config = write_config(cls.scratch, [{"name": "Access unit", "serial": "KV47D00291", "sectors": 4,
                                             "applications": [{"sector": 0, "id": 5, "name": "Motor control"}]}])
        # -vv: drova-sim logs every frame, which is how the tests see what reached the device.
        cls.gui = Gui(["-vv", "--sim", config])
        cls.server = Server(cls.gui)

    @classmethod
    def tearDownClass(cls):
        cls.gui.stop()

    def test_first_line_is_the_address_with_a_long_token(self):
        self.assertRegex(self.gui.first_line, r"^http://127\.0\.0\.1:\d+/\?token=[0-9a-f]{32}$")

    def test_the_port_is_its_own(self):
        # A second server on the port must fail, not share the page's requests (and cookie).
        second = subprocess.run(RUNNER + [DROVA, "--sim", "--service-log", os.devnull, "gui", "--no-browser",
                                          "--port", str(self.gui.port)],
                                capture_output=True, text=True, timeout=60)
        # 2 as for any bad argument (an ASan build may end with its own status after the message).
        self.assertNotEqual(second.returncode, 0, second.stdout)
        self.assertEqual(second.stdout, "")
        self.assertIn(f"cannot listen on 127.0.0.1:{self.gui.port}", second.stderr)

    def test_the_token_is_traded_for_a_strict_http_only_cookie(self):
        response = Server(self.gui).log_in()
        cookie = response.getheader("Set-Cookie")
        for part in ("HttpOnly", "SameSite=Strict", f"drova_gui={self.gui.token}"):
            self.assertIn(part, cookie)
        self.assertEqual(response.getheader("Location"), "/")

    def test_who_is_refused(self):
        port = self.gui.port
        own = f"http://127.0.0.1:{port}"
        good_cookie = f"drova_gui={self.gui.token}"
        wrong_cookie = "drova_gui=" + "0" * 32
        rows = [
            # method, path, host, headers, status
            ("GET", "/", f"evil.example:{port}", {"Cookie": good_cookie}, 403),
            ("GET", "/?token=" + self.gui.token, f"rebound.example:{port}", {}, 403),
            ("GET", "/api/events?tab=x", f"127.0.0.1:{port + 1}", {"Cookie": good_cookie}, 403),
            ("POST", "/api/disconnect", "evil.example", {"Cookie": good_cookie, "Origin": own}, 403),
            ("GET", "/", None, {}, 401),
            ("GET", "/app.js", None, {}, 401),
            ("GET", "/?token=" + "f" * 32, None, {}, 401),
            ("GET", "/", None, {"Cookie": wrong_cookie}, 401),
            ("GET", "/api/events?tab=x", None, {"Cookie": wrong_cookie}, 401),
            ("POST", "/api/disconnect", None, {"Cookie": wrong_cookie, "Origin": own}, 401),
            ("POST", "/api/disconnect", None, {"Origin": own}, 401),
            # Another origin, with the user's cookie (what a cross-site page's request would carry).
            ("POST", "/api/connect", None, {"Cookie": good_cookie, "Origin": "http://evil.example"}, 403),
            ("POST", "/api/connect", None, {"Cookie": good_cookie, "Origin": f"http://127.0.0.1:{port + 1}"}, 403),
            ("POST", "/api/connect", None, {"Cookie": good_cookie}, 403),
            ("POST", "/api/connect", None, {"Cookie": good_cookie, "Origin": own, "Sec-Fetch-Site": "cross-site"}, 403),
            ("GET", "/api/events?tab=x", None, {"Cookie": good_cookie, "Origin": "http://evil.example"}, 403),
            ("GET", "/api/events?tab=x", None, {"Cookie": good_cookie, "Sec-Fetch-Site": "cross-site"}, 403),
            # What the page itself sends passes.
            ("GET", "/", None, {"Cookie": good_cookie}, 200),
            ("GET", "/api/events?tab=x", None, {"Cookie": good_cookie}, 200),
            ("GET", "/api/events?tab=x", f"localhost:{port}", {"Cookie": good_cookie,
                                                              "Origin": f"http://localhost:{port}"}, 200),
        ]
        for method, path, host, headers, status in rows:
            with self.subTest(method=method, path=path, host=host, headers=headers):
                response, _ = Server(self.gui).request(method, path, body=b"{}" if method == "POST" else None,
                                                       host=host, headers=headers)
                self.assertEqual(response.status, status)
                self.assertIsNone(response.getheader("Access-Control-Allow-Origin"))

    def test_every_answer_forbids_framing_and_foreign_scripts(self):
        server = Server(self.gui)
        server.log_in()
        for path in ("/", "/app.js", "/nothing-here"):
            response, _ = server.request("GET", path)
            policy = response.getheader("Content-Security-Policy")
            self.assertIn("frame-ancestors 'none'", policy)
            self.assertIn("script-src 'self'", policy)
            self.assertNotIn("unsafe", policy)
        refused, _ = Server(self.gui).request("GET", "/")
        self.assertIn("frame-ancestors 'none'", refused.getheader("Content-Security-Policy"))

    def changes_sent(self, since):
        # drova-sim's frame log: "host> 0B erase ..." for each frame a host sent.
        return re.findall(r"host> [0-9A-F]{2} (erase|address|data|program|checksum|write-serial|autostart|reset|"
                          r"start-app)\b", self.gui.errors()[len(since):])

    def test_bad_bodies_are_refused_with_nothing_sent_to_a_device(self):
        server = Server(self.gui)
        server.log_in()
        response, _ = server.post("/api/connect", json.dumps({"path": self.device_path(server)}))
        self.assertEqual(response.status, 200)
        try:
            rows = [
                ("/api/program", b"not json"),
                ("/api/program", b"[1, 2]"),
                ("/api/program", b'{"target": "0"}'),
                ("/api/program", b'{"target": 256}'),
                ("/api/program", b'{"target": -1}'),
                ("/api/program", b'{"target": 0, "erase": "yes"}'),
                ("/api/program", b'{"target": 0, "confirm": 1}'),
                ("/api/program", b'{"target": 0, "wipe": true}'),
                ("/api/program", b'{"erase": true}'),
                ("/api/verify", b'{"target": 1.5}'),
                ("/api/autostart", b'{"id": 4294967296}'),
                ("/api/write-serial", b'{"serial": "KV??"}'),
                ("/api/write-serial", b'{"serial": 16777215}'),
                ("/api/write-serial", b'{"serial": "KV47D00291", "force": 1}'),
                ("/api/connect", b'{"path": ""}'),
                ("/api/connect", b'{"path": "' + b"x" * 300 + b'"}'),
                ("/api/reset", b'{"now": true}'),
                ("/api/stop", b"{"),
                ("/api/image?name=bad.hex", b":10000000ZZ\n"),
                ("/api/image?name=x.bin&address=lots", b"\x00\x01"),
            ]
            for path, body in rows:
                with self.subTest(path=path, body=body):
                    before = self.gui.errors()
                    response, data = server.post(path, body)
                    self.assertEqual(response.status, 400, data)
                    self.assertIn("error", json.loads(data))
                    self.assertEqual(self.changes_sent(before), [])
            missing_tab, _ = server.request("POST", "/api/reset", body=b"{}",
                                            headers={"Origin": f"http://127.0.0.1:{self.gui.port}"})
            self.assertEqual(missing_tab.status, 400)
        finally:
            server.post("/api/disconnect", b"{}")

    def test_a_change_goes_ahead_only_with_its_confirmation(self):
        server = Server(self.gui)
        server.log_in()
        response, _ = server.post("/api/connect", json.dumps({"path": self.device_path(server)}))
        self.assertEqual(response.status, 200)
        try:
            image = bytes(168) + bytes(range(256))
            response, data = server.post("/api/image?name=app.bin&address=0", image,
                                         {"Content-Type": "application/octet-stream"})
            self.assertEqual(response.status, 200, data)
            for confirm in (None, "erase and download into area 0 of some other device"):
                body = {"target": 0, "erase": True, **({"confirm": confirm} if confirm else {})}
                before = self.gui.errors()
                response, data = server.post("/api/program", json.dumps(body))
                self.assertEqual(response.status, 409, data)
                asked = json.loads(data)["confirm"]
                self.assertRegex(asked, r"^erase and download into area 0 \(application id 5 'Motor control'\) of "
                                        r"Access unit, serial KV47D00291")
                self.assertEqual(self.changes_sent(before), [])
            # Another page cannot act on the device this one holds.
            other, _ = server.post("/api/program", json.dumps({"target": 0, "erase": True, "confirm": asked}),
                                   {"X-Drova-Tab": "someone-else"})
            self.assertEqual(other.status, 409)
            self.assertEqual(self.changes_sent(before), [])
            # Accepted, it goes ahead: the same log shows the erase and the download.
            response, data = server.post("/api/program", json.dumps({"target": 0, "erase": True, "confirm": asked}))
            self.assertEqual(response.status, 202, data)
            for _ in range(100):
                if "checksum" in self.changes_sent(before):
                    break
                time.sleep(0.1)
            self.assertEqual(self.changes_sent(before)[:2], ["erase", "address"])
        finally:
            # Refused as busy until the download has ended.
            for _ in range(200):
                if server.post("/api/disconnect", b"{}")[0].status == 200:
                    break
                time.sleep(0.1)

    def device_path(self, server):
        # The device list is the first thing the event stream says once the search has found it.
        connection = http.client.HTTPConnection("127.0.0.1", self.gui.port, timeout=30)
        connection.request("GET", "/api/events?tab=lister", headers={"Host": f"127.0.0.1:{self.gui.port}",
                                                                    "Cookie": server.cookie})
        response = connection.getresponse()
        for line in response:
            if not line.startswith(b"data: "):
                continue
            message = json.loads(line[6:])
            devices = message["value"].get("devices") if message["type"] == "state" else (
                message["value"] if message["type"] == "devices" else None)
            if devices:
                connection.close()
                return devices[0]["interface"]
        raise AssertionError("no device listed")


if __name__ == "__main__":
    unittest.main()
