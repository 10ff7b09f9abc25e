#!/usr/bin/env python3
# The dashboard's figures: the page's weight, the time from a module's end (the station's event
# line) to its cell's change in a headless Chromium, and the CPU time the server adds to a shift
# of 64 simulated modules with 8 browsers' event streams open, against the same shift without.
#
#   /usr/bin/python3 bench/dashboard_figures.py [BUILD]   (default build/release; needs
#   kavro-station, kavro-flash-sim, example_ota built, and scripts/install-deps --tests)
import json
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from datetime import datetime

build = sys.argv[1] if len(sys.argv) > 1 else "build/release"
STATION = f"{build}/station/kavro-station"
SIM = f"{build}/app/kavro-flash-sim"
OTA = f"{build}/data/example-ota-cv22.7z"
SECONDS = 60


def start(modules, *arguments):
    folder = tempfile.mkdtemp(prefix="kavro-dashboard-")
    with open(f"{folder}/modules.json", "w") as file:
        json.dump({"modules": modules}, file)
    errors = open(f"{folder}/stderr", "w+")
    station = subprocess.Popen([STATION, "-o", OTA, *arguments], stdout=subprocess.PIPE, stderr=errors,
                               text=True, env=dict(os.environ, KAVRO_FLASH=SIM,
                                                   KAVRO_SIM_CONFIG=f"{folder}/modules.json"))
    port = None
    while "--http" in arguments and port is None:
        time.sleep(0.05)
        errors.seek(0)
        port = (m := re.search(r"dashboard on http://127\.0\.0\.1:(\d+)/", errors.read())) and int(m[1])
    return station, port


def stop(station):
    for _ in range(2):
        station.send_signal(signal.SIGTERM)
    station.communicate(timeout=120)


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def page_weight():
    station, port = start([{"port": "1-1", "platform": "cv22"}], "--http", "0")
    sizes = {path: len(urllib.request.urlopen(f"http://127.0.0.1:{port}{path}").read())
             for path in ["/", "/dashboard.css", "/dashboard.js"]}
    stop(station)
    print(f"page weight: {sum(sizes.values())} bytes ({', '.join(f'{p} {n}' for p, n in sizes.items())})")


def latency():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    for flag in ["--headless", "--disable-gpu", "--disable-quic", "--no-first-run", "--no-sandbox",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + tempfile.mkdtemp(prefix="chromium-")]:
        options.add_argument(flag)
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    # Eight modules ending a second apart, each flashed for a few seconds.
    modules = [{"port": f"1-{n}", "platform": "cv22", "attach_after_ms": 3000 + 1000 * n,
                "timing": {"bulk_bytes_per_second": 20_000_000}} for n in range(1, 9)]
    station, port = start(modules, "--http", "0")
    browser.get(f"http://127.0.0.1:{port}/")
    browser.execute_script("""
      window.doneAt = {};
      new MutationObserver(() => document.querySelectorAll('.cell.ok').forEach((cell) => {
        window.doneAt[cell.dataset.port] ??= Date.now(); })).observe(document.body, {subtree: true, childList: true, attributes: true});""")
    ended = {}
    for line in station.stdout:
        if m := re.match(r"(\S+) (\S+) done in ", line):
            ended[m[2]] = datetime.fromisoformat(m[1].replace("Z", "+00:00")).timestamp() * 1000
        if len(ended) == len(modules):
            break
    time.sleep(1)  # the last cell's change is what is measured: leave it time to come
    shown = browser.execute_script("return window.doneAt")
    browser.quit()
    stop(station)
    delays = sorted(shown[port] - ended[port] for port in ended if port in shown)
    print(f"module end to cell change: median {statistics.median(delays):.0f} ms, "
          f"max {max(delays):.0f} ms over {len(delays)} modules")


def read_events(port, stop_reading):
    with socket.create_connection(("127.0.0.1", port)) as stream:
        stream.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
        while not stop_reading.is_set() and stream.recv(65536):
            pass


def shift_cpu(clients):
    # 64 modules, each taking longer than the measurement to receive its bootloader (a slow
    # control pipe keeps the simulator from taking the machine), so all of them run throughout.
    modules = [{"port": f"1-{n}", "platform": "cv22", "timing": {"control_latency_us": 3000}}
               for n in range(1, 65)]
    station, port = start(modules, *(["--http", "0"] if clients else []))
    threading.Thread(target=station.stdout.read, daemon=True).start()
    stop_reading = threading.Event()
    for _ in range(clients):
        threading.Thread(target=read_events, args=(port, stop_reading), daemon=True).start()
    time.sleep(10)  # the modules found and their sessions started
    before = cpu_seconds(station.pid)
    time.sleep(SECONDS)
    used = cpu_seconds(station.pid) - before
    if clients:
        text = urllib.request.urlopen(f"http://127.0.0.1:{port}/api/state").read()
        print(f"running at the end of the measurement: {json.loads(text)['summary']['running']}"
              f" modules; /api/state {len(text)} bytes")
    stop_reading.set()
    stop(station)
    return 100 * used / SECONDS


page_weight()
latency()
without = shift_cpu(0)
with_clients = shift_cpu(8)
print(f"station CPU, 64 modules flashing: {without:.2f} % of a core without the dashboard, "
      f"{with_clients:.2f} % with 8 event streams open: {with_clients - without:+.2f} %")
