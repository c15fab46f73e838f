"""kvplant serve in a real browser: Debian's chromium, headless, driven by
selenium through chromedriver. The server runs on this machine's loopback and
reads only files; the rollout it shows runs against the sandbox plant in the
laptop namespace (tests/sandbox/fleet.py), writing its state file and audit
trail where the server reads them.

Rows: the grid holds every controller with its facts and its state in words;
a hostile device name stays text; the page works by keyboard and fits 1280
and 768 pixels; requests without the token, from another origin or to
another host name are refused; a live rollout moves on the page without a
reload, a failed installation shows its reason, and pause holds new
transfers until resume.
"""
import json
import os
import shutil
import subprocess
import tempfile
import urllib.error
import urllib.request

import pytest

from conftest import wait_for
from packages import BUILD_DIR, PUBLIC_KEY

from fleet import controller_address  # noqa: E402  (tests/sandbox is on the path: conftest)
from test_plant import KVPLANT, app_release, inventory, make_plant, workdir  # noqa: F401  (fixtures)

selenium = pytest.importorskip("selenium")
from selenium import webdriver  # noqa: E402
from selenium.common.exceptions import NoAlertPresentException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
HOSTILE = "<img src=x onerror=alert(1)>"
SCREENSHOTS = os.path.join(BUILD_DIR, "screenshots")
# Generous: a loaded 2-core machine with a sanitizer build.
PATIENCE = 120

pytestmark = pytest.mark.skipif(not (os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)),
                                reason="chromium and chromium-driver are not installed")


def fake_inventory(path, n, hostile_at=None):
    controllers = []
    for i in range(n):
        controllers.append({
            "mac": "02:00:5a:00:%02x:%02x" % (i // 256, i % 256), "addresses": ["fd00:5a::%x" % (i + 1)],
            "interface": "eth0", "platform": "" if i == n - 1 else ("KV2_TOUCH" if i % 2 else "KORVEL_R"),
            "device_name": HOSTILE if i == hostile_at else "station-%d" % i,
            "sw_revision": "Rev: 2.4.%d" % (i % 3), "image_version": "kv-image-3.2.1", "daemon": "kvupdaterd 1.4.0",
            "app_running": True, "updating": False, "action": "Idle"})
    with open(path, "w") as f:
        json.dump({"format": "kvplant-inventory", "version": 1, "taken": "2026-12-09T03:10:00Z",
                   "controllers": controllers}, f)
    return controllers


def fake_state(path, controllers):
    """A rollout of the first controllers, running: waiting ones and one failed."""
    rows = [{"mac": c["mac"], "address": c["addresses"][0], "device_name": c["device_name"], "platform": c["platform"],
             "wave": 1, "state": "failed" if i == 1 else "waiting", "reason": "installer exited with 1" if i == 1 else "",
             "uploads": []} for i, c in enumerate(controllers[:6])]
    with open(path, "w") as f:
        json.dump({"format": "kvplant-rollout-state", "version": 1, "rollout": "r-test", "started": "2026-12-09T03:10:00Z",
                   "finished": False, "stopped": "", "options": {"parallel": 2}, "files": [{"name": "app_2.5.CRY"}],
                   "controllers": rows}, f)


class Server:
    """kvplant serve on this machine's loopback, any free port."""

    def __init__(self, *args, listen="127.0.0.1:0", extra=()):
        self.proc = subprocess.Popen([KVPLANT, "serve", *args, "--listen", listen, *extra], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().strip()
        assert line.startswith("http://"), line + self.proc.stderr.read()
        self.url = line
        self.base, _, self.token = line.partition("/#token=")
        self.port = int(self.base.rsplit(":", 1)[1])

    def request(self, path, method="GET", body=None, headers=None, base=None):
        req = urllib.request.Request((base or self.base) + path, data=body, method=method, headers=headers or {})
        try:
            with urllib.request.urlopen(req, timeout=30) as r:
                return r.status, dict(r.headers), r.read()
        except urllib.error.HTTPError as e:
            return e.code, dict(e.headers), e.read()

    def stop(self):
        self.proc.terminate()
        assert self.proc.wait(timeout=60) == 0


@pytest.fixture
def serve():
    made = []

    def start(*args, **kw):
        made.append(Server(*args, **kw))
        return made[-1]

    yield start
    for s in made:
        if s.proc.poll() is None:
            s.stop()


@pytest.fixture
def browser():
    profile = tempfile.mkdtemp(prefix="kvplant-chrome-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 f"--user-data-dir={profile}", "--window-size=1280,800", "--no-first-run"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=webdriver.ChromeService(CHROMEDRIVER)
                              if hasattr(webdriver, "ChromeService")
                              else webdriver.chrome.service.Service(CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(PATIENCE)
    yield driver
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)


def until(driver, what, message):
    return WebDriverWait(driver, PATIENCE, poll_frequency=0.1).until(lambda d: what(d), message)


def tiles(driver):
    return driver.execute_script(
        "return [...document.querySelectorAll('#grid a.tile')].map(a => "
        "({mac: a.dataset.mac, kind: a.dataset.kind, text: a.innerText}))")


def screenshot(driver, name):
    os.makedirs(SCREENSHOTS, exist_ok=True)
    driver.save_screenshot(os.path.join(SCREENSHOTS, name))


def no_horizontal_scroll(driver):
    return driver.execute_script(
        "const d = document.documentElement, g = document.getElementById('grid');"
        "return d.scrollWidth <= d.clientWidth && g.scrollWidth <= g.clientWidth;")


def test_grid_shows_every_controller_as_text_by_keyboard_at_both_widths(serve, browser, tmp_path):
    controllers = fake_inventory(tmp_path / "inventory.json", 24, hostile_at=3)
    fake_state(tmp_path / "rollout.state", controllers)
    server = serve("--inventory", str(tmp_path / "inventory.json"), "--state", str(tmp_path / "rollout.state"))
    browser.get(server.url)
    until(browser, lambda d: len(tiles(d)) == 24, "every controller has a tile")
    shown = {t["mac"]: t for t in tiles(browser)}
    rows = {c["mac"]: c for c in controllers}
    assert set(shown) == set(rows)
    for mac, c in rows.items():
        text = shown[mac]["text"]
        assert c["device_name"] in text and c["addresses"][0] in text, text
    # The state in words beside its colour: the rollout's controllers by its
    # state, the others by the plant (the newest revision of the platform is
    # up to date, older ones behind, no platform unknown).
    words = {mac: t["text"].split("\n")[1] for mac, t in shown.items()}
    macs = [c["mac"] for c in controllers]
    assert words[macs[0]] == "waiting" and shown[macs[0]]["kind"] == "waiting"
    assert words[macs[1]] == "failed: installer exited with 1" and shown[macs[1]]["kind"] == "failed"
    assert words[macs[-1]] == "platform unknown"
    assert {words[m] for m in macs[6:-1]} == {"up to date", "behind"}
    # A hostile device name is shown as its characters and runs nothing.
    assert HOSTILE in shown[macs[3]]["text"]
    with pytest.raises(NoAlertPresentException):
        browser.switch_to.alert.text
    assert browser.find_elements(By.CSS_SELECTOR, "#grid img") == []
    # The rollout's failed controller is listed with its reason.
    assert "installer exited with 1" in browser.find_element(By.ID, "failures").text
    # Search narrows the grid by name, MAC or address.
    browser.find_element(By.ID, "search").send_keys("fd00:5a::5")
    until(browser, lambda d: len(tiles(d)) == 1, "the search leaves one controller")
    browser.find_element(By.ID, "search").send_keys(Keys.CONTROL, "a")
    browser.find_element(By.ID, "search").send_keys(Keys.BACKSPACE)
    until(browser, lambda d: len(tiles(d)) == 24, "the grid is whole again")
    screenshot(browser, "plant-page.png")
    os.makedirs(SCREENSHOTS, exist_ok=True)
    browser.find_element(By.ID, "grid").screenshot(os.path.join(SCREENSHOTS, "plant-grid.png"))
    # The keyboard reaches the search, the filters and the rollout's buttons.
    browser.find_element(By.TAG_NAME, "body").click()
    reached = set()
    for _ in range(40):
        browser.switch_to.active_element.send_keys(Keys.TAB)
        reached.add(browser.switch_to.active_element.get_attribute("id"))
    assert {"search", "f-platform", "f-kind", "pause", "stop"} <= reached, reached
    # A tile opens the controller's facts.
    browser.find_element(By.CSS_SELECTOR, f'#grid a.tile[data-mac="{macs[1]}"]').send_keys(Keys.ENTER)
    until(browser, lambda d: "installer exited with 1" in d.find_element(By.ID, "facts").text, "the facts show")
    for width, height in ((1280, 800), (768, 1024)):
        browser.set_window_size(width, height)
        until(browser, lambda d: d.execute_script("return window.innerWidth") <= width, "the window is resized")
        assert no_horizontal_scroll(browser), (width, height)


# What the server refuses: (case, method, path, headers, body) -> status.
REFUSALS = [
    ("action without the token", "POST", "/api/control", {}, b"pause", 403),
    ("action with a wrong token", "POST", "/api/control", {"X-Kvplant-Token": "0" * 64}, b"pause", 403),
    ("action from another site", "POST", "/api/control", {"X-Kvplant-Token": "TOKEN", "Origin": "http://evil.example"},
     b"pause", 403),
    ("read from another site", "GET", "/api/model", {"Origin": "http://evil.example"}, None, 403),
    ("another host name (rebinding)", "GET", "/api/model", {"Host": "evil.example:PORT"}, None, 403),
    ("an unknown action", "POST", "/api/control", {"X-Kvplant-Token": "TOKEN"}, b"reboot", 400),
    ("an oversized body", "POST", "/api/control", {"X-Kvplant-Token": "TOKEN"}, b"p" * 4096, 413),
    ("the page itself", "GET", "/", {}, None, 200),
    ("a read on loopback", "GET", "/api/model", {}, None, 200),
    ("an action with the token", "POST", "/api/control", {"X-Kvplant-Token": "TOKEN", "Origin": "http://HOST"},
     b"pause", 200),
]


def test_requests_without_the_token_or_from_elsewhere_are_refused(serve, tmp_path):
    controllers = fake_inventory(tmp_path / "inventory.json", 4)
    fake_state(tmp_path / "rollout.state", controllers)
    server = serve("--inventory", str(tmp_path / "inventory.json"), "--state", str(tmp_path / "rollout.state"))
    host = f"127.0.0.1:{server.port}"
    for case, method, path, headers, body, expected in REFUSALS:
        headers = {k: v.replace("TOKEN", server.token).replace("PORT", str(server.port)).replace("HOST", host)
                   for k, v in headers.items()}
        status, got, _ = server.request(path, method, body, headers)
        assert status == expected, case
        if status != 413:
            assert "script-src 'self'" in got.get("Content-Security-Policy", ""), case
            assert got.get("X-Content-Type-Options") == "nosniff", case
    assert (tmp_path / "rollout.state.control").read_text() == "pause\n"
    # Beyond loopback only with --allow-remote, and then every read of data
    # needs the token too (the page's files do not).
    r = subprocess.run([KVPLANT, "serve", "--inventory", str(tmp_path / "inventory.json"), "--listen", "0.0.0.0:0"],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 2 and "--allow-remote" in r.stderr
    remote = serve("--inventory", str(tmp_path / "inventory.json"), listen="0.0.0.0:0", extra=("--allow-remote",))
    base = f"http://127.0.0.1:{remote.port}"
    assert remote.request("/", base=base)[0] == 200
    assert remote.request("/api/model", base=base)[0] == 403
    status, _, body = remote.request("/api/model", headers={"X-Kvplant-Token": remote.token}, base=base)
    assert status == 200 and len(json.loads(body)["controllers"]) == 4
    assert remote.request("/api/model", headers={"Host": f"plant.example:{remote.port}"}, base=base)[0] == 403


def read_state(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def admitted(c):
    """Whether a controller of the state was let through to its transfer:
    connecting, sending, or further."""
    return c["state"] == "sending" and not c.get("activity", "").startswith("waiting")


def started(c):
    """Whether a controller of the state began its transfer (or got further)."""
    return (c["state"] in ("following", "ok", "failed") or admitted(c) or
            any(u["state"] != "pending" for u in c["uploads"]))


def transferring(c):
    return c["state"] == "following" or admitted(c) or any(u["state"] in ("sending", "renaming") for u in c["uploads"])


def test_a_rollout_moves_on_the_page_fails_with_its_reason_and_pauses(make_plant, workdir, serve, browser):  # noqa: F811
    plant = make_plant(20)
    plant.known_hosts()
    files, _ = app_release(workdir)
    inv = inventory(plant, os.path.join(workdir, "inventory.json"))
    plant.fail_installs(7)
    assert len(inv["controllers"]) == 20
    failing = next(c["mac"] for c in inv["controllers"] if c["addresses"][0] == controller_address(7))
    state, trail = os.path.join(workdir, "rollout.state"), os.path.join(workdir, "audit.jsonl")
    server = serve("--inventory", os.path.join(workdir, "inventory.json"), "--state", state, "--audit", trail)
    browser.get(server.url)
    until(browser, lambda d: len(tiles(d)) == 20, "every controller has a tile")
    browser.execute_script("window.kvStillLoaded = true; window.kvSeen = {};"
                           "new MutationObserver(() => { for (const a of document.querySelectorAll('#grid a.tile')) {"
                           "  const s = (window.kvSeen[a.dataset.mac] = window.kvSeen[a.dataset.mac] || []);"
                           "  if (s[s.length - 1] !== a.dataset.kind) s.push(a.dataset.kind); } })"
                           ".observe(document.getElementById('grid'), {subtree: true, childList: true, attributes: true});")
    proc = plant.laptop_popen(KVPLANT, "rollout", "--inventory", os.path.join(workdir, "inventory.json"),
                              "--public-key", PUBLIC_KEY, "--state", state, "--audit", trail, "--json",
                              "--waves", "2,rest", "--parallel", "2", "--max-failures", "1", *plant.ssh_options(),
                              *files, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # Before the rollout every controller runs what the plant runs (up to
        # date); once its state is there they wait for it.
        until(browser, lambda d: sum(t["kind"] == "waiting" for t in tiles(d)) >= 18 and
              d.find_element(By.ID, "pause").is_displayed(), "the rollout's controllers wait")
        wait_for(lambda: any(c["state"] == "ok" for c in (read_state(state) or {}).get("controllers", [])), PATIENCE,
                 "a controller is up to date")
        browser.find_element(By.ID, "pause").click()
        # Paused: the rollout says so, those running end, no new one starts.
        wait_for(lambda: (read_state(state) or {}).get("paused") and
                 not any(transferring(c) for c in read_state(state)["controllers"]), PATIENCE,
                 "the paused rollout's running controllers ended")
        waiting = [c["mac"] for c in read_state(state)["controllers"] if not started(c)]
        assert waiting, "a paused rollout started every controller"
        until(browser, lambda d: "paused" in d.find_element(By.ID, "rollout-summary").text and
              all(t["kind"] == "waiting" for t in tiles(d) if t["mac"] in waiting), "the page says paused")
        assert [c["mac"] for c in read_state(state)["controllers"] if not started(c)] == waiting
        browser.find_element(By.ID, "resume").click()
        until(browser, lambda d: any(t["kind"] in ("sending", "updating") for t in tiles(d)), "a controller moves")
        screenshot(browser, "plant-rollout.png")
        proc.wait(timeout=900)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 1, proc.stderr  # one controller failed
    until(browser, lambda d: d.find_element(By.ID, "pause").get_attribute("disabled") is not None, "rollout ended")
    final = {t["mac"]: t for t in tiles(browser)}
    assert final[failing]["kind"] == "failed" and "failed: " in final[failing]["text"]
    reason = next(c["reason"] for c in read_state(state)["controllers"] if c["mac"] == failing)
    assert reason and reason in final[failing]["text"] and reason in browser.find_element(By.ID, "failures").text
    assert sum(t["kind"] == "uptodate" for t in final.values()) == 19
    # The page was never reloaded, and controllers released by the resume
    # went from waiting through sending or updating to up to date on it.
    assert browser.execute_script("return window.kvStillLoaded === true")
    seen = browser.execute_script("return window.kvSeen")
    moved = [m for m in waiting if m != failing and "waiting" in seen.get(m, []) and seen[m][-1] == "uptodate" and
             any(k in ("sending", "updating") for k in seen[m][seen[m].index("waiting"):])]
    assert moved, seen
    events = [json.loads(line)["event"] for line in open(trail)]
    assert "pause" in events and "resume" in events
    whos = {json.loads(line).get("who") for line in open(trail) if json.loads(line)["event"] in ("pause", "resume")}
    assert whos == {"page"}
