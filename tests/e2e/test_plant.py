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
import re
import shutil
import signal
import subprocess
import sys
import tempfile

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
