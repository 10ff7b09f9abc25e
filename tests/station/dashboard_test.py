#!/usr/bin/env python3
# kavro-station's dashboard as a person and as a client meet it. A shift of simulated modules
# (one done, one failed, one still flashing) is opened in a real headless Chromium, which must
# show every port, a cell turning from flashing to done without a reload, the failure's words,
# the summary's figures and the chart; a screenshot is kept. Then the server's rules, with
# plain HTTP requests: the token, unknown paths, the client limit, and a client that stops
# reading while a module flashes at full speed.
import hashlib
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

STATION = os.environ["KAVRO_STATION"]
SIM = os.environ["KAVRO_FLASH_SIM"]
OTA = os.environ["KAVRO_OTA"]
OUTPUT = os.environ["KAVRO_TEST_OUTPUT"]
TOKEN = "3f" * 32
CRC_FAULT = [{"kind": "status", "command": "image_header", "status": 5}]
CRC_WORDS = "error -22 5: Error returned from device: CRC mismatch on received data"


def slow(port, bytes_per_second):
    return {"port": port, "platform": "cv22", "timing": {"bulk_bytes_per_second": bytes_per_second}}


def wait_for(what, check, seconds=90):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if value := check():
                return value
        except Exception:  # a page being redrawn, a server not answering yet: look again
            pass
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class Station:
    """kavro-station with kavro-flash-sim and the modules given, its dashboard on a free port."""

    def __init__(self, modules, *arguments):
        self.folder = tempfile.TemporaryDirectory()
        config = os.path.join(self.folder.name, "modules.json")
        with open(config, "w") as file:
            json.dump({"modules": modules}, file)
        self.errors = os.path.join(self.folder.name, "stderr")
        self.process = subprocess.Popen(
            [STATION, "-o", OTA, "--station", "bench-7", "--http", "0", *arguments],
            env=dict(os.environ, KAVRO_FLASH=SIM, KAVRO_SIM_CONFIG=config),
            stdout=subprocess.DEVNULL, stderr=open(self.errors, "w"))
        self.port = int(wait_for("the dashboard's address", lambda: re.search(
            r"dashboard on http://127\.0\.0\.1:(\d+)/", open(self.errors).read()))[1])

    def get(self, path, headers=None, method="GET", body=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.headers, response.read()

    def state(self, headers=None):
        status, _, body = self.get("/api/state", headers)
        return json.loads(body) if status == 200 else None

    def stop(self):
        """Stops the shift and its sessions; the errors it printed, which must hold no sanitizer's."""
        for _ in range(2):
            self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=120)
        errors = open(self.errors).read()
        assert "Sanitizer" not in errors, errors
        return errors


# What a person sees, read in one go so that a redraw cannot fall between two looks.
SEEN = """
const text = (selector, root = document) => root.querySelector(selector)?.textContent ?? '';
const shown = (element) => !element.hidden;
return {
  header: text('#station') + ' / ' + text('#firmware') + ' / ' + text('#started'),
  lost: shown(document.getElementById('lost')),
  cells: Object.fromEntries([...document.querySelectorAll('.cell')].map((cell) => [
    cell.dataset.port,
    Object.fromEntries(['headline', 'detail', 'advice', 'error'].map(
      (part) => [part, shown(cell.querySelector('.' + part)) ? text('.' + part, cell) : '']))])),
  summary: ['done', 'failed', 'yield', 'rate', 'running'].map((id) => text('#' + id)),
  bars: [...document.querySelectorAll('#chart g.bar')].map(
    (bar) => [...bar.querySelectorAll('rect')].map((rect) => Number(rect.getAttribute('height')))),
  recent: [...document.querySelectorAll('#recent tr')].map((row) => row.innerText),
  reloaded: window.notReloaded !== true,
};
"""


def chromium():
    options = webdriver.ChromeOptions()
    for flag in ["--headless", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync",
                 "--user-data-dir=" + tempfile.mkdtemp(prefix="chromium-")]:
        options.add_argument(flag)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")
    options.binary_location = "/usr/bin/chromium"
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


class Dashboard(unittest.TestCase):
    def test_a_browser_follows_the_shift(self):
        browser = chromium()
        self.addCleanup(browser.quit)
        station = Station([slow("1-1", 4_000_000), {"port": "1-2", "platform": "cv22", "faults": CRC_FAULT},
                           slow("1-3", 1_000_000)])
        browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                {"width": 1920, "height": 1080, "deviceScaleFactor": 1, "mobile": False})
        browser.get(f"http://127.0.0.1:{station.port}/")
        seen = lambda: browser.execute_script(SEEN)
        wait_for("1-1 flashing", lambda: seen()["cells"]["1-1"]["headline"].startswith("FLASHING"))
        browser.execute_script("window.notReloaded = true")
        page = wait_for("1-1 done and 1-2 failed", lambda: (page := seen())["cells"]["1-1"]["headline"] == "DONE"
                        and page["cells"]["1-2"]["headline"] == "FAILED" and page)
        browser.save_screenshot(os.path.join(OUTPUT, "dashboard.png"))

        self.assertFalse(page["reloaded"])
        digest = hashlib.sha256(open(OTA, "rb").read()).hexdigest()
        self.assertRegex(page["header"], "^kavro-station bench-7 / firmware cv22 [^:]+: example-ota-cv22.7z "
                         f"sha256 {digest[:12]} / shift since ....-..-.. ..:.. UTC$")
        self.assertEqual(sorted(page["cells"]), ["1-1", "1-2", "1-3"])
        self.assertEqual(page["cells"]["1-1"]["advice"], "take it out")
        self.assertEqual([page["cells"]["1-2"][part] for part in ["advice", "error"]], ["set it aside", CRC_WORDS])
        self.assertRegex(page["cells"]["1-3"]["headline"], r"^FLASHING \d+%$")
        self.assertRegex(page["cells"]["1-3"]["detail"], r"^(sending bootloader|writing images) \d+%$")
        # The figures are the model's, as /api/state gives them.
        summary = station.state()["summary"]
        self.assertEqual(page["summary"][:3] + page["summary"][4:], ["1", "1", "50.0%", "1"])
        self.assertEqual((summary["done"], summary["yield_percent"], summary["running"]), (1, 50.0, 1))
        self.assertRegex(page["summary"][3], r"^\d+\.\d$")
        # One stretch of ten minutes so far: one bar, done and failed as tall as each other.
        self.assertEqual(len(page["bars"]), 1)
        self.assertGreater(page["bars"][0][0], 0)
        self.assertEqual(page["bars"][0][0], page["bars"][0][1])
        self.assertEqual(len(page["recent"]), 2)
        self.assertRegex(page["recent"][0], r"1-1\s+done")
        self.assertRegex(page["recent"][1], r"1-2\s+failed\s+" + re.escape(CRC_WORDS + ": set it aside"))

        # Without a token, only a request for a loopback address is let in.
        self.assertEqual(station.get("/api/state", {"Host": "rebound.example:80"})[0], 403)
        station.stop()
        wait_for("the connection lost banner", lambda: seen()["lost"], 30)

    def test_only_what_the_rules_let_through(self):
        folder = tempfile.TemporaryDirectory()
        token_file, short_file = os.path.join(folder.name, "token"), os.path.join(folder.name, "short")
        open(token_file, "w").write(TOKEN + "\n")
        open(short_file, "w").write("secret\n")
        for arguments, words in [(["--http", "0.0.0.0:0"], "needs --http-token FILE"),
                                 (["--http-token", token_file], "--http-token goes with --http"),
                                 (["--http", "0", "--http-token", short_file], "of 43 to 256")]:
            refused = subprocess.run([STATION, "-o", OTA, *arguments], env=dict(os.environ, KAVRO_FLASH=SIM),
                                     capture_output=True, text=True, timeout=60)
            self.assertEqual(refused.returncode, 2, arguments)
            self.assertIn(words, refused.stderr)

        # Six modules flash slowly, for a steady stream of events; 2-1 comes later, at full speed.
        station = Station([{"port": "2-1", "platform": "cv22", "attach_after_ms": 4000}] +
                          [slow(f"2-{port}", 1_000_000) for port in range(2, 8)], "--http-token", token_file)
        bearer = {"Authorization": "Bearer " + TOKEN}
        for path, headers, method, body, status in [
                ("/", {}, "GET", None, 401),
                ("/nowhere", {}, "GET", None, 401),
                ("/api/state", {"Authorization": "Bearer " + "3e" * 32}, "GET", None, 401),
                ("/login?token=" + "3e" * 32, {}, "GET", None, 401),
                ("/nowhere", bearer, "GET", None, 404),
                ("/api/", bearer, "GET", None, 404),
                ("/station/dashboard/index.html", bearer, "GET", None, 404),
                ("/../../../../etc/passwd", bearer, "GET", None, 404),
                ("/api/state", bearer, "POST", None, 405),
                ("/api/state", bearer, "GET", "x" * 100, 413),
                ("/api/state", {**bearer, "X-Padding": "x" * 20000}, "GET", None, 400),
                ("/login?token=" + TOKEN, {}, "GET", None, 303),
                ("/", {"Cookie": "kavro_station_token=" + TOKEN}, "GET", None, 200)]:
            got, headers_got, body_got = station.get(path, headers, method, body)
            self.assertEqual(got, status, path)
            if status == 401:
                self.assertEqual(body_got, b"Unauthorized\n")
        _, headers, _ = station.get("/login?token=" + TOKEN)
        self.assertEqual((headers["Location"], headers["Set-Cookie"].split(";")[0]), ("/", "kavro_station_token=" + TOKEN))
        self.assertIn("default-src 'none'", station.get("/", bearer)[1]["Content-Security-Policy"])

        # The limit: 32 event streams, and the next request is turned away.
        request = f"GET /api/events HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer {TOKEN}\r\n\r\n".encode()
        streams = [socket.create_connection(("127.0.0.1", station.port), timeout=30) for _ in range(32)]
        for stream in streams:
            stream.sendall(request)
            read_until(stream, b"event: state")
        self.assertEqual(station.get("/api/state", bearer)[0], 503)
        for stream in streams:
            stream.close()
        wait_for("room again", lambda: station.state(bearer))

        # A client that never reads is dropped, and the module plugged in after it is flashed.
        reader = socket.socket()
        reader.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
        reader.connect(("127.0.0.1", station.port))
        reader.sendall(request)
        wait_for("2-1 flashed", lambda: [port["state"] for port in station.state(bearer)["ports"]
                                         if port["id"] == "2-1"] == ["ok"])
        wait_for("the reader dropped", lambda: not station_side_open(station.port, reader.getsockname()[1]))
        station.stop()


def read_until(stream, text):
    received = b""
    while text not in received:
        chunk = stream.recv(65536)  # the socket's time-out is the deadline
        assert chunk, "the stream ended before " + text.decode()
        received += chunk


def station_side_open(station_port, client_port):
    """Whether the station's end of the connection from `client_port` is still established."""
    ours = "0100007F:%04X" % station_port, "0100007F:%04X" % client_port
    with open("/proc/net/tcp") as table:
        return any(tuple(line.split()[1:3]) == ours and line.split()[3] == "01" for line in table)


if __name__ == "__main__":
    unittest.main()
