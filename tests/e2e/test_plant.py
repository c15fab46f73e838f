"""A plant of sandboxed controllers behind real SSH servers, and the plant tool
rolling releases out to it: inventory, pre-flight, waves, failures, a killed
and resumed rollout, a controller that never comes back, and the Ansible
example driving kvplant send and wait.

The plant (tests/sandbox/fleet.py) gives each controller a device root of its
own, the real daemon with its fixed waits shortened (no timing is asserted)
and OpenSSH's server chrooted into that root. What a controller took is read
from the device: installs.jsonl (every package its installer unit
installed), its identity as the identification protocol reports it, and the
SSH server's log of every file written.

The 50-controller rollouts are long: they run in the sanitizer build only,
by their label (tests/e2e/CMakeLists.txt, scripts/test.sh); KV_PLANT_SIZE
makes them smaller by hand.
"""
import collections
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

from conftest import wait_for
from packages import BUILD_DIR, PUBLIC_KEY, SOURCE_DIR, make_cry, make_ipk, sign

from fleet import LAPTOP_IFACE, Plant, controller_address  # noqa: E402  (tests/sandbox is on the path: conftest)

KVPLANT = os.path.join(BUILD_DIR, "tools", "kvplant", "kvplant")
KVID = os.path.join(BUILD_DIR, "tools", "kvid", "kvid")
DAEMON = os.path.join(BUILD_DIR, "updater", "kvupdaterd")
ANSIBLE_EXAMPLE = os.path.join(SOURCE_DIR, "tools", "package", "examples", "ansible")
PLANT_SIZE = int(os.environ.get("KV_PLANT_SIZE", "50"))
MIXED = ["kv2-touch", "korvel-r", "korvel-sr"]
NEW_APP = "2.5"
NEW_IMAGE = "kv-image-4.3"


def kvplant_has(command):
    """Whether kvplant COMMAND is built (not a placeholder) in this build."""
    if not os.path.exists(KVPLANT):
        return False
    r = subprocess.run([KVPLANT, command, "--help"], capture_output=True, text=True)
    return "is not built yet" not in r.stderr


def needs(*commands):
    missing = [c for c in commands if not kvplant_has(c)]
    return pytest.mark.skipif(bool(missing), reason=f"kvplant {', '.join(missing)} not in this build")


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def app_release(folder, version=NEW_APP, platform_id="KV2_TOUCH"):
    """The application for one platform: a container of the platform's
    package and the signature of that package beside it."""
    ipk = make_ipk(os.path.join(folder, "pkg"), "kv2-touch", version, file_name=f"kv2-touch_{version}.ipk")
    cry = make_cry(ipk, os.path.join(folder, f"app_{version}.CRY"), platform_id)
    sign(ipk, os.path.join(folder, f"app_{version}.sign64"))
    return [cry], ipk


def image_release(folder, version=NEW_IMAGE, size=64 * 1024):
    """An OS image whose bytes name the version it brings, signed."""
    image = os.path.join(folder, "IMAGE.CRY")
    with open(image, "wb") as f:
        f.write(f"mender artifact\nimage_version={version}\n".encode())
        f.write(b"\0" * size)
    sign(image, os.path.join(folder, "IMAGE.sign64"))
    return [image]


def identity(plant, i):
    """Controller i's identity document as kvid reads it (None when it does not answer)."""
    r = plant.laptop(KVID, "discover", "-a", controller_address(i), "-6", "-t", "2s", "--json")
    docs = [json.loads(line) for line in r.stdout.splitlines() if line.startswith("{")]
    return docs[0] if docs else None


def events(stdout):
    return [json.loads(line) for line in stdout.splitlines() if line.startswith("{")]


def audit(path):
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def sftp_writes(node):
    """{path: [bytes written, ...]} of every file the controller's SFTP server closed after writing."""
    out = collections.defaultdict(list)
    for line in node.sshd_lines():
        m = re.search(r'close "([^"]+)" bytes read \d+ written (\d+)$', line)
        if m and int(m.group(2)) > 0:
            out[m.group(1)].append(int(m.group(2)))
    return out


@pytest.fixture
def workdir():
    path = tempfile.mkdtemp(prefix="kvplant-")
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def make_plant():
    made = []

    def make(size, platforms=("kv2-touch",), **kw):
        plant = Plant(size, DAEMON, devices=True, ssh=True, platforms=list(platforms), fastwait=True, **kw)
        made.append(plant)
        return plant.start()

    yield make
    for plant in made:
        plant.stop()


def kvplant(plant, *args, timeout=900, cwd=None):
    return plant.laptop(KVPLANT, *args, timeout=timeout)


def inventory(plant, path):
    r = kvplant(plant, "inventory", "-i", LAPTOP_IFACE, "-6", "-t", "3s", "-o", path)
    assert r.returncode == 0, r.stderr
    with open(path) as f:
        return json.load(f)


# --- the plant itself, with OpenSSH's own client and kvid ---------------------

def test_plant_controllers_take_what_arrives_over_sftp_and_restart_for_an_image(make_plant, workdir):
    plant = make_plant(3, platforms=["kv2-touch", "korvel-r"])
    app, ipk = app_release(workdir)
    image = image_release(workdir)
    plant.never_back(2)
    # Controller 0 the application, 1 and 2 the image; each file goes up as
    # NAME.part and is renamed, its signature first.
    for i, files in ((0, app), (1, image), (2, image)):
        batch = "cd /opt/kv2/swfw\n"
        for path in files:
            stem = os.path.splitext(os.path.basename(path))[0]
            for local, name in ((os.path.join(workdir, stem + ".sign64"), stem + ".sign64"),
                                (path, os.path.basename(path))):
                batch += f"put {local} {name}.part\nrename {name}.part {name}\n"
        r = plant.sftp(i, batch)
        assert r.returncode == 0, r.stderr

    c0, c1, c2 = plant.nodes
    wait_for(lambda: c0.sandbox.installs(), 120, "application installed")
    assert [(u, size, digest) for u, size, digest in c0.sandbox.installs()] == [
        ("install@kv2-touch", os.path.getsize(ipk), sha256(ipk))]
    wait_for(lambda: (identity(plant, 0) or {}).get("sw_revision") == f"Rev: {NEW_APP}", 60, "new revision shown")
    # The image: the machine restarts, the next boot commits and the device
    # reports the image's version; the one that never comes back is silent.
    wait_for(lambda: c1.sandbox.commits(), 180, "image committed")
    assert c1.sandbox.image_version() == NEW_IMAGE and c1.starts == 2
    wait_for(lambda: (identity(plant, 1) or {}).get("image_version") == NEW_IMAGE, 60, "new image shown")
    wait_for(lambda: c2.down, 180, "controller 2 down")
    assert c2.sandbox.image_version() == "kv-image-3.2.1" and c2.sandbox.commits() == []
    assert identity(plant, 2) is None
    # The server's log says what was written, whole and once.
    assert sftp_writes(c0) == {"/opt/kv2/swfw/app_2.5.sign64.part": [os.path.getsize(
        os.path.join(workdir, "app_2.5.sign64"))], "/opt/kv2/swfw/app_2.5.CRY.part": [os.path.getsize(app[0])]}
    # An unknown host is refused by a client that insists on known keys.
    r = plant.sftp(0, "ls\n", known_hosts=plant.known_hosts(fill=False, path=os.path.join(workdir, "empty")))
    assert r.returncode != 0 and "Host key verification failed" in r.stderr


# --- rollouts with kvplant ------------------------------------------------------

def mac_of(record):
    """The controller's MAC of an audit line or event (the tool names it "controller" or "mac")."""
    value = record.get("controller", record.get("mac"))
    return value.get("mac") if isinstance(value, dict) else value


def by_mac(plant, inv):
    """{MAC: controller index} from an inventory (each controller answers from its own address)."""
    index = {controller_address(i): i for i in range(plant.size)}
    return {c["mac"]: index[c["addresses"][0]] for c in inv["controllers"]}


def rollout(plant, workdir, files, *extra, timeout=900):
    state, trail = os.path.join(workdir, "rollout.state"), os.path.join(workdir, "audit.jsonl")
    r = kvplant(plant, "rollout", "--inventory", os.path.join(workdir, "inventory.json"), "--public-key", PUBLIC_KEY,
                "--state", state, "--audit", trail, "--json", *extra, *plant.ssh_options(), *files, timeout=timeout)
    return r, state, trail


@pytest.mark.skipif(PLANT_SIZE < 12, reason="a plant of at least 12 controllers")
@needs("inventory", "preflight", "rollout")
def test_rollout_in_waves_reaches_every_controller_of_the_release_platform(make_plant, workdir):
    plant = make_plant(PLANT_SIZE, platforms=MIXED)
    plant.known_hosts()
    files, ipk = app_release(workdir)
    inv = inventory(plant, os.path.join(workdir, "inventory.json"))
    assert len(inv["controllers"]) == PLANT_SIZE
    macs = by_mac(plant, inv)
    touch = {i for i in range(PLANT_SIZE) if i % len(MIXED) == 0}  # platforms are cycled: kv2-touch first

    pre = kvplant(plant, "preflight", "--inventory", os.path.join(workdir, "inventory.json"), "--public-key",
                  PUBLIC_KEY, *files)
    assert pre.returncode == 0, pre.stdout + pre.stderr
    assert sum(": takes application" in line for line in pre.stdout.splitlines()) == len(touch)
    assert sum(": takes nothing" in line for line in pre.stdout.splitlines()) == PLANT_SIZE - len(touch)

    r, _, trail = rollout(plant, workdir, files, "--waves", "1,10,rest", "--parallel", "8")
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr
    assert [e["size"] for e in events(r.stdout) if e["event"] == "wave"] == [1, 10, len(touch) - 11]
    for i, node in enumerate(plant.nodes):
        if i in touch:
            assert node.sandbox.installs() == [["install@kv2-touch", os.path.getsize(ipk), sha256(ipk)]], i
            assert node.sandbox.sw_revision() == f"Rev: {NEW_APP}"
        else:
            assert node.sandbox.installs() == [] and sftp_writes(node) == {}, i
    wait_for(lambda: all((identity(plant, i) or {}).get("sw_revision") == f"Rev: {NEW_APP}" for i in touch), 120,
             "every controller of the platform reports the new revision")
    # The audit trail: one send, arrival and result per controller that took
    # the release, with the file's digest.
    lines = audit(trail)
    cry = os.path.basename(files[0])
    for kind in ("send", "arrived"):
        got = collections.Counter(macs[mac_of(a)] for a in lines if a["event"] == kind and a.get("file") == cry)
        assert got == collections.Counter(touch), kind
        assert {a["sha256"] for a in lines if a["event"] == kind and a.get("file") == cry} == {sha256(files[0])}
    results = [a for a in lines if a["event"] == "result"]
    assert collections.Counter(macs[mac_of(a)] for a in results) == collections.Counter(touch)
    assert {a.get("result", a.get("outcome")) for a in results} == {"ok"}


@needs("inventory", "rollout")
def test_a_wave_with_a_failed_installation_stops_the_rollout(make_plant, workdir):
    plant = make_plant(6)
    plant.known_hosts()
    files, _ = app_release(workdir)
    for i in range(6):
        plant.fail_installs(i)
    inventory(plant, os.path.join(workdir, "inventory.json"))
    r, _, trail = rollout(plant, workdir, files, "--waves", "2,rest", "--max-failures", "0")
    assert r.returncode == 1, r.stdout + r.stderr
    out = events(r.stdout)
    assert [e["size"] for e in out if e["event"] == "wave"] == [2]
    assert [e["result"] for e in out if e["event"] == "done"] == ["failed", "failed"]
    assert any(e["event"] == "stopped" for e in out)
    # The wave's two controllers got the release (and failed to install it);
    # no other controller was sent anything.
    touched = [i for i, node in enumerate(plant.nodes) if sftp_writes(node)]
    assert len(touched) == 2
    assert all(plant.nodes[i].sandbox.installs() == [] for i in range(6))
    assert [a["event"] for a in audit(trail)].count("result") == 2


@needs("inventory", "rollout", "resume")
def test_a_killed_rollout_resumed_sends_nothing_twice_and_installs_once(make_plant, workdir):
    plant = make_plant(8)
    plant.known_hosts()
    files, ipk = app_release(workdir)
    inventory(plant, os.path.join(workdir, "inventory.json"))
    state, trail = os.path.join(workdir, "rollout.state"), os.path.join(workdir, "audit.jsonl")
    proc = plant.laptop_popen(KVPLANT, "rollout", "--inventory", os.path.join(workdir, "inventory.json"),
                              "--public-key", PUBLIC_KEY, "--state", state, "--audit", trail, "--json",
                              "--waves", "1,rest", "--parallel", "3", *plant.ssh_options(), *files,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # Killed in the second wave, once a file of it is on its way.
    waves = 0
    for line in proc.stdout:
        e = json.loads(line)
        waves += e["event"] == "wave"
        if waves == 2 and e["event"] in ("sending", "arrived"):
            break
    proc.send_signal(signal.SIGKILL)
    proc.wait(timeout=60)
    r = kvplant(plant, "resume", "--state", state, "--json", *plant.ssh_options())
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr
    sizes = {os.path.basename(p): os.path.getsize(p) for p in files + [os.path.splitext(files[0])[0] + ".sign64"]}
    for i, node in enumerate(plant.nodes):
        wait_for(lambda: node.sandbox.installs(), 120, f"controller {i} installed")
        assert node.sandbox.installs() == [["install@kv2-touch", os.path.getsize(ipk), sha256(ipk)]], i
        # Every byte went up once: a part continued where it stopped, never
        # written again from its start.
        written = {os.path.basename(p)[:-len(".part")]: sum(w) for p, w in sftp_writes(node).items()}
        assert written == sizes, i
    assert [a["event"] for a in audit(trail)].count("resume") == 1


@needs("inventory", "rollout")
def test_a_controller_that_never_comes_back_after_its_image_is_reported(make_plant, workdir):
    plant = make_plant(2)
    plant.known_hosts()
    files = image_release(workdir)
    plant.never_back(1)
    inv = inventory(plant, os.path.join(workdir, "inventory.json"))
    lost = next(c["mac"] for c in inv["controllers"] if c["addresses"][0] == controller_address(1))
    r, _, _ = rollout(plant, workdir, files, "--waves", "rest", "--max-failures", "1", "--give-up", "60s")
    assert r.returncode == 1, r.stdout + r.stderr
    done = {e["controller"]: e for e in events(r.stdout) if e["event"] == "done"}
    assert done[lost]["result"] == "failed" and "did not answer again" in done[lost]["reason"]
    assert [e["result"] for m, e in done.items() if m != lost] == ["ok"], [e["reason"] for e in done.values()]
    assert plant.nodes[0].sandbox.image_version() == NEW_IMAGE
    assert plant.nodes[1].down and plant.nodes[1].sandbox.image_version() == "kv-image-3.2.1"


def big_app_release(folder, version, size=3_000_000):
    """An application container of about size incompressible bytes, so that a
    kill finds transfers under way."""
    blob = os.path.join(folder, "pkg", "data", "opt", "app")
    os.makedirs(blob, exist_ok=True)
    with open(os.path.join(blob, "blob.bin"), "wb") as f:
        f.write(os.urandom(size))
    return app_release(folder, version)


@needs("inventory", "rollout", "resume")
def test_generated_kill_schedules_send_nothing_twice_and_install_once(make_plant, workdir):
    # Rollouts killed (SIGKILL, or stopped by SIGTERM/SIGINT) at random
    # moments, resumed, killed again, until one resume finishes: whatever the
    # schedule, every controller installs the release exactly once, every
    # byte of every file is written once (a cut-off part goes on, never starts
    # over), nothing is left in a watch folder, and the audit trail records
    # each arrival and each result once. KV_PLANT_SEED replays a schedule;
    # KV_PLANT_GENERATOR_SECONDS bounds the runs.
    seed = int(os.environ.get("KV_PLANT_SEED", str(random.randrange(1 << 30))))
    budget = float(os.environ.get("KV_PLANT_GENERATOR_SECONDS", "45"))
    rng = random.Random(seed)
    plant = make_plant(4)
    plant.known_hosts()
    # A link of 24 Mbit/s from the laptop: a 3 MB container takes about a second.
    subprocess.run(["ip", "netns", "exec", plant.laptop_ns, "tc", "qdisc", "add", "dev", LAPTOP_IFACE, "root", "tbf",
                    "rate", "24mbit", "burst", "32kbit", "latency", "400ms"], check=True)
    started, run = time.monotonic(), 0
    while run == 0 or time.monotonic() - started < budget:
        run += 1
        where = f"seed {seed}, run {run} (KV_PLANT_SEED={seed} replays it)"
        folder = os.path.join(workdir, f"run{run}")
        files, ipk = big_app_release(folder, f"3.{run}")
        inv = inventory(plant, os.path.join(folder, "inventory.json"))
        macs = by_mac(plant, inv)
        before = [len(node.sandbox.installs()) for node in plant.nodes]
        state, trail = os.path.join(folder, "state"), os.path.join(folder, "audit.jsonl")
        command = [KVPLANT, "rollout", "--inventory", os.path.join(folder, "inventory.json"), "--public-key",
                   PUBLIC_KEY, "--state", state, "--audit", trail, "--json",
                   "--waves", rng.choice(["1,rest", "2,rest"]), "--parallel", str(rng.randint(1, 3)),
                   *plant.ssh_options(), *files]
        schedule = []
        for kill in range(rng.randint(1, 4)):
            proc = plant.laptop_popen(*command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            delay = rng.choice([rng.uniform(0.0, 0.5), rng.uniform(0.5, 4.0)])
            sig = rng.choice([signal.SIGKILL, signal.SIGKILL, signal.SIGTERM, signal.SIGINT])
            schedule.append((round(delay, 2), sig.name))
            try:
                proc.wait(timeout=delay)
            except subprocess.TimeoutExpired:
                proc.send_signal(sig)
            _, err = proc.communicate(timeout=120)
            # Ended by itself, stopped in order, or killed (a stop signal
            # before the handlers are in place kills too).
            assert proc.returncode in (0, 1) or proc.returncode < 0, f"{where}, {schedule}: {err}"
            if not os.path.exists(state):
                continue  # killed before the state file was made: nothing began
            with open(state) as f:
                if json.load(f)["finished"]:
                    break
            command = [KVPLANT, "resume", "--state", state, "--json", *plant.ssh_options()]
        r = kvplant(plant, *command[1:])
        assert r.returncode == 0, f"{where}, {schedule}: {r.stdout[-2000:]}{r.stderr}"
        sizes = {os.path.basename(p): os.path.getsize(p) for p in files + [os.path.splitext(files[0])[0] + ".sign64"]}
        for i, node in enumerate(plant.nodes):
            wait_for(lambda: len(node.sandbox.installs()) > before[i], 60, f"controller {i} installed")
            installs = node.sandbox.installs()[before[i]:]
            assert installs == [["install@kv2-touch", os.path.getsize(ipk), sha256(ipk)]], (where, schedule, i)
            written = collections.Counter()
            for path, counts in sftp_writes(node).items():
                name = os.path.basename(path)[:-len(".part")]
                if name in sizes:
                    written[name] += sum(counts)
            assert written == sizes, (where, schedule, i)
            assert os.listdir(node.sandbox.dev("/opt/kv2/swfw/")) == [], (where, schedule, i)
        lines = audit(trail)
        for kind in ("arrived", "result"):
            seen = collections.Counter((macs[mac_of(a)], a.get("file")) for a in lines if a["event"] == kind)
            assert all(n == 1 for n in seen.values()), (where, schedule, kind, seen)
        assert len([a for a in lines if a["event"] == "result"]) == plant.size, (where, schedule)


# --- the Ansible example ----------------------------------------------------------

def ansible_playbook(plant, workdir, files, *extra):
    """Runs the example playbook from the laptop with its dynamic inventory,
    in an Ansible home of the test's own (no configuration of the host)."""
    home = os.path.join(workdir, "ansible-home")
    os.makedirs(home, exist_ok=True)
    config = os.path.join(home, "empty.cfg")
    open(config, "w").close()
    env = [f"HOME={home}", "LC_ALL=C.UTF-8", f"ANSIBLE_LOCAL_TEMP={home}/tmp", f"ANSIBLE_CONFIG={config}",
           f"KVPLANT={KVPLANT}", f"KVPLANT_INVENTORY_ARGS=-i {LAPTOP_IFACE} -6 -t 3s"]
    ssh = json.dumps(plant.ssh_options())
    return plant.laptop("env", *env, "ansible-playbook", "-i", os.path.join(ANSIBLE_EXAMPLE, "inventory"),
                        os.path.join(ANSIBLE_EXAMPLE, "rollout.yml"), "-f", "4",
                        "-e", "ansible_python_interpreter=/usr/bin/python3",
                        "-e", json.dumps({"release": files, "ssh_options": json.loads(ssh), "give_up": "120s"}),
                        *extra, timeout=900)


@pytest.mark.skipif(shutil.which("ansible-playbook") is None, reason="ansible-core is not installed")
@needs("inventory", "send", "wait")
@pytest.mark.parametrize("failing, rc, installed", [
    # Two waves (1, then 3): every controller installs once.
    (False, 0, 4),
    # Every installation fails: the first wave fails, and with
    # max_fail_percentage 0 no further wave starts.
    (True, 2, 0),
], ids=["two-waves", "failed-wave-stops"])
def test_ansible_example_rolls_out_in_waves(make_plant, workdir, failing, rc, installed):
    plant = make_plant(4)
    plant.known_hosts()
    files, ipk = app_release(workdir)
    for i in range(4 if failing else 0):
        plant.fail_installs(i)
    r = ansible_playbook(plant, workdir, files, "-e", json.dumps({"waves": [1, 3], "expect_app": NEW_APP}))
    assert r.returncode == rc, r.stdout[-4000:] + r.stderr
    assert sum(len(n.sandbox.installs()) for n in plant.nodes) == installed
    assert all(n.sandbox.installs() in ([], [["install@kv2-touch", os.path.getsize(ipk), sha256(ipk)]])
               for n in plant.nodes)
    sent = [i for i, n in enumerate(plant.nodes) if sftp_writes(n)]
    assert len(sent) == (1 if failing else 4)
