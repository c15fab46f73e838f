#!/usr/bin/python3
"""kvplant serve with a plant of WEB_CONTROLLERS (default 1000) controllers
(a generated inventory and rollout state; no daemons), see bench/README.md:

1. the time to the first full render in headless chromium: the page marks
   performance.now() once its grid holds every tile (goal: under 1 s);
2. the server's memory: VmRSS of kvplant serve after the page loaded and the
   updates below (goal: under 50 MiB);
3. bytes per live update: 10 controllers' state changed in the state file,
   the bytes of the event that carries it; and a burst of 40 such changes
   written as fast as possible, against the events that carried them (the
   changes are batched: at most one event per 250 ms).

Usage: webbench.py BUILD_DIR. Needs chromium, chromium-driver and
python3-selenium; nothing but loopback is used.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.support.ui import WebDriverWait

N = int(os.environ.get("WEB_CONTROLLERS", "1000"))


def inventory(n):
    return [{"mac": "02:00:5a:%02x:%02x:%02x" % (i >> 16, (i >> 8) & 255, i & 255),
             "addresses": ["fd00:5a::%x" % (i + 1), "10.0.%d.%d" % (i >> 8, i & 255)], "interface": "eth0",
             "platform": ("KV2_TOUCH", "KORVEL_R", "KORVEL_SR")[i % 3], "device_name": "station-%04d" % i,
             "sw_revision": "Rev: 2.4.%d" % (i % 4), "image_version": "kv-image-3.2.%d" % (i % 2),
             "daemon": "kvupdaterd 1.4.0", "app_running": True, "updating": False, "action": "Idle"}
            for i in range(n)]


def state(controllers, busy):
    rows = []
    for i, c in enumerate(controllers):
        phase = "following" if i in busy else "waiting"
        rows.append({"mac": c["mac"], "address": c["addresses"][0], "device_name": c["device_name"],
                     "platform": c["platform"], "wave": 1 + (i >= 10) + (i >= 100), "state": phase,
                     "activity": "Installing" if i in busy else "", "percent": busy.get(i, 0), "uploads": []})
    return {"format": "kvplant-rollout-state", "version": 1, "rollout": "bench", "started": "2026-12-09T03:10:00Z",
            "finished": False, "stopped": "", "options": {"parallel": 8}, "files": [{"name": "app_2.5.CRY"}],
            "controllers": rows}


def write_atomic(path, doc):
    with open(path + ".tmp", "w") as f:
        json.dump(doc, f)
    os.rename(path + ".tmp", path)


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    kvplant = os.path.join(build, "tools", "kvplant", "kvplant")
    work = tempfile.mkdtemp(prefix="kvplant-web-")
    profile = os.path.join(work, "chrome")
    controllers = inventory(N)
    with open(os.path.join(work, "inventory.json"), "w") as f:
        json.dump({"format": "kvplant-inventory", "version": 1, "taken": "2026-12-09T03:10:00Z",
                   "controllers": controllers}, f)
    statefile = os.path.join(work, "rollout.state")
    write_atomic(statefile, state(controllers, {}))
    server = subprocess.Popen([kvplant, "serve", "--inventory", os.path.join(work, "inventory.json"), "--state",
                               statefile, "--listen", "127.0.0.1:0"], stdout=subprocess.PIPE, text=True)
    url = server.stdout.readline().strip()
    base = url.partition("/#")[0]
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 f"--user-data-dir={profile}", "--window-size=1280,800"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=webdriver.chrome.service.Service("/usr/bin/chromedriver"), options=options)
    try:
        renders = []
        for _ in range(3):
            driver.get("about:blank")  # a real load each time, not a move within the page
            driver.get(url)
            WebDriverWait(driver, 120).until(lambda d: d.execute_script("return document.body.dataset.rendered"))
            tiles = driver.execute_script("return document.querySelectorAll('#grid a.tile').length")
            assert tiles == N, tiles
            renders.append(float(driver.execute_script("return document.body.dataset.rendered")))
        print(f"first full render of {N} controllers: {min(renders):.0f} ms (best of 3; runs "
              f"{', '.join('%.0f' % r for r in renders)} ms); goal under 1000 ms: ratio {min(renders) / 1000:.2f}")

        # Live updates, read as the page reads them.
        model = json.loads(urllib.request.urlopen(base + "/api/model", timeout=30).read())
        stream = urllib.request.urlopen(f"{base}/api/events?after={model['seq']}", timeout=60)
        events = []

        def read():
            buf = b""
            while True:
                chunk = stream.read1(65536)
                if not chunk:
                    return
                buf += chunk
                while b"\n\n" in buf:
                    message, buf = buf.split(b"\n\n", 1)
                    if message.startswith(b"data: "):
                        events.append(message)

        threading.Thread(target=read, daemon=True).start()
        write_atomic(statefile, state(controllers, {i: 40 for i in range(10)}))
        deadline = time.monotonic() + 30
        while not events and time.monotonic() < deadline:
            time.sleep(0.05)
        first = events[0]
        changed = len(json.loads(first[6:])["tiles"])
        print(f"one update of 10 controllers: {len(first) + 2} bytes in one event ({changed} tiles, "
              f"{(len(first) + 2) / max(1, changed):.0f} bytes per controller)")
        before = len(events)
        writes = 40
        start = time.monotonic()
        for k in range(writes):
            write_atomic(statefile, state(controllers, {i: k + 41 for i in range(10 + k % 5)}))
        spent = time.monotonic() - start
        while time.monotonic() < start + spent + 2:
            time.sleep(0.05)
        got = len(events) - before
        print(f"burst: {writes} state writes in {spent * 1000:.0f} ms carried by {got} events "
              f"({writes / max(1, got):.1f} writes per event; at most {spent / 0.25 + 1:.0f} expected)")
        print(f"server memory: VmRSS {rss_kib(server.pid) / 1024:.1f} MiB with {N} controllers; goal under 50 MiB: "
              f"ratio {rss_kib(server.pid) / 1024 / 50:.2f}")
    finally:
        driver.quit()
        server.terminate()
        server.wait(timeout=30)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
