"""kvplant inventory, diff and preflight: the inventory of a small plant of
sandboxed daemons, stored inventories read back (and refused), what changed
between two, and what each controller would do with a release."""
import csv
import io
import json
import os
import subprocess
import sys

import pytest

from conftest import wait_for
from idprot_net import build_dir
from packages import PUBLIC_KEY, make_bundle, make_cry, make_ipk, other_key_pair, sign
from test_idprot_client import ScriptedController, identity, status

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sandbox"))
from fleet import Plant, controller_address  # noqa: E402

KVPLANT = os.path.join(build_dir(), "tools", "kvplant", "kvplant")
DAEMON = os.path.join(build_dir(), "updater", "kvupdaterd")

# A software revision no spreadsheet, terminal or template engine may act on.
HOSTILE_REVISION = "=HYPERLINK(\"x\")\x1b[2J{{ 7*7 }}"


def kvplant(*args, cwd=None):
    return subprocess.run([KVPLANT, *map(str, args)], capture_output=True, text=True, timeout=300, cwd=cwd)


class HostilePlant(Plant):
    """The plant with a software revision made to attack whoever shows it."""

    def _root(self):
        sb = super()._root()
        path = os.path.join(sb.root, "opt", "kv2", "etc", "appname.config")
        with open(path) as f:
            text = f.read()
        with open(path, "w") as f:
            f.write(text.replace("swrevision = Rev: 2.4.1", "swrevision = " + HOSTILE_REVISION))
        return sb


def test_inventory_of_a_plant(tmp_path):
    with HostilePlant(3, DAEMON, workdir=str(tmp_path / "plant")) as plant:
        inv, table = tmp_path / "plant.json", tmp_path / "plant.csv"
        r = plant.laptop(KVPLANT, "inventory", "-t", "3", "-o", str(inv), "--csv", str(table))
        assert r.returncode == 0 and r.stdout == "", r.stderr
        ansible = plant.laptop(KVPLANT, "inventory", "--list", "--from", str(inv))
        host = plant.laptop(KVPLANT, "inventory", "--host", controller_address(0))
        # The page's server with --rediscover: started from a stored
        # inventory that knows one controller, it finds the plant again.
        doc = json.loads(inv.read_text())
        stale = tmp_path / "stale.json"
        stale.write_text(json.dumps(dict(doc, controllers=doc["controllers"][:1])))
        served = served_macs(plant, "--inventory", str(stale), "--rediscover", "1s")
        assert sorted(served) == sorted(c["mac"] for c in doc["controllers"])
    doc = json.loads(inv.read_text())
    assert (doc["format"], doc["version"]) == ("kvplant-inventory", 1) and doc["taken"].endswith("Z")
    cs = doc["controllers"]
    assert sorted(c["addresses"][0] for c in cs) == sorted(controller_address(i) for i in range(3))
    assert [c["mac"] for c in cs] == sorted(c["mac"] for c in cs)
    for c in cs:
        assert (c["platform"], c["image_version"], c["interface"]) == ("KV2_TOUCH", "kv-image-3.2.1", "eth0"), c
        # The document's text kept, escaped by the JSON writer.
        assert c["sw_revision"] == HOSTILE_REVISION, c
        # The daemon names itself by the path it was started with.
        assert c["daemon"] == os.path.abspath(DAEMON) + " 3.8" and c["updating"] is False and c["action"] == "Idle", c
    # CSV: one row per controller; the revision shown without its control
    # byte and guarded against a spreadsheet's formula.
    rows = list(csv.DictReader(io.StringIO(table.read_text(), newline="")))
    assert [row["mac"] for row in rows] == [c["mac"] for c in cs]
    for row, c in zip(rows, cs):
        assert row["address"] == c["addresses"][0] and row["platform"] == "KV2_TOUCH"
        assert row["sw_revision"] == "'" + HOSTILE_REVISION.replace("\x1b", "?")
        assert row["daemon"] == c["daemon"] and (row["app_running"], row["updating"]) == ("false", "false")
    # Ansible: every controller with its facts, grouped; the revision never
    # expanded by Ansible's templating.
    assert ansible.returncode == 0, ansible.stderr
    groups = json.loads(ansible.stdout)
    hostvars = groups["_meta"]["hostvars"]
    assert sorted(hostvars) == sorted(c["addresses"][0] for c in cs)
    for c in cs:
        v = hostvars[c["addresses"][0]]
        assert (v["kv_mac"], v["kv_platform"], v["kv_image_version"], v["kv_daemon"], v["kv_updating"]) == (
            c["mac"], "KV2_TOUCH", "kv-image-3.2.1", c["daemon"], False)
        assert v["kv_sw_revision"] == {"__ansible_unsafe": HOSTILE_REVISION} and v["kv_addresses"] == c["addresses"]
    assert sorted(groups["all"]["children"]) == sorted(
        ["platform_kv2_touch", "image_kv_image_3_2_1", "app__hyperlink__x____2j___7_7___"])
    assert sorted(groups["platform_kv2_touch"]["hosts"]) == sorted(hostvars)
    assert (host.returncode, host.stdout) == (0, "{}\n")


def served_macs(plant, *args):
    """The controllers kvplant serve's model holds once it holds as many as
    the plant has (it runs in the laptop namespace: asked from there)."""
    proc = plant.laptop_popen(KVPLANT, "serve", "--listen", "127.0.0.1:0", *args, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        base, _, token = proc.stdout.readline().strip().partition("/#token=")
        assert token, proc.stderr.read()
        ask = ("import sys, urllib.request; r = urllib.request.Request(sys.argv[1], headers={'X-Kvplant-Token': "
               "sys.argv[2]}); print(urllib.request.urlopen(r, timeout=30).read().decode())")
        macs = []

        def full():
            r = plant.laptop(sys.executable, "-c", ask, base + "/api/model", token)
            assert r.returncode == 0, r.stderr
            macs[:] = [c["mac"] for c in json.loads(r.stdout)["controllers"]]
            return len(macs) == plant.size
        wait_for(full, 60, "the served model holds every controller")
        return macs
    finally:
        proc.terminate()
        proc.wait(timeout=60)


# Raw bytes of a device name: a byte outside UTF-8, an escape sequence and a
# C1 control in UTF-8.
RAW_NAME = b"n\xff\x1b[2J\xc2\x9b"


def test_inventory_from_the_wire_keeps_one_sane_answer_per_controller(tmp_path):
    """Scripted controllers on loopback: one with a hostile device name and an
    installing status, one that gives no status, one whose answer is junk."""
    hostile = identity(mac="0A:00:27:00:00:02", device_name="@NAME@")
    hostile_bytes = lambda: hostile.render(None, 0).replace(b"@NAME@", RAW_NAME)  # noqa: E731
    cs = []
    try:
        for i, spec in enumerate([
                dict(replies=[{b"IDREQ\0": hostile_bytes, b"IDUPDATESTATUS\0": status("installing IMAGE.CRY", 1, 40)}],
                     by_kind=True),
                dict(replies=[{b"IDREQ\0": identity(mac="0A:00:27:00:00:03"), b"IDUPDATESTATUS\0": None}],
                     by_kind=True),
                dict(replies=[b"IDRSPnot json"])]):
            cs.append(ScriptedController(host=f"127.0.0.{i + 2}", port=cs[0].port if cs else 0, **spec))
        r = kvplant("inventory", "-i", "lo", "-a", "127.0.0.2", "-a", "127.0.0.3", "-a", "127.0.0.4",
                    "-p", cs[0].port, "-t", "1", "--csv", tmp_path / "out.csv", "-o", tmp_path / "out.json")
    finally:
        for c in cs:
            c.close()
    assert r.returncode == 0, r.stderr
    assert r.stderr.splitlines() == ["kvplant: malformed answer from 127.0.0.4: identification document is not JSON",
                                     "kvplant: no status answer from 127.0.0.3"], r.stderr
    got = json.loads((tmp_path / "out.json").read_text())["controllers"]
    assert [(c["mac"], c["addresses"], c["updating"], c["action"], c["daemon"]) for c in got] == [
        ("0A:00:27:00:00:02", ["127.0.0.2"], True, "installing IMAGE.CRY", "kvupdaterd 3.8"),
        ("0A:00:27:00:00:03", ["127.0.0.3"], False, "", "")]
    # JSON keeps the name's text (only the byte outside UTF-8 as '?'); CSV
    # shows every control character as '?'.
    assert got[0]["device_name"] == "n?\x1b[2J\u009b"
    assert (tmp_path / "out.csv").read_bytes().split(b"\r\n")[1].split(b",")[5] == b"n??[2J?"


def controller(n, platform="KV2_TOUCH", app="2.4.1", image="kv-image-3.2.1", name=None, addresses=None):
    return {"mac": f"02:00:00:00:00:{n:02x}", "addresses": addresses or [f"fd00:5a::{n:x}"], "interface": "eth0",
            "platform": platform, "device_name": name or f"c{n}", "sw_revision": f"Rev: {app}",
            "image_version": image, "daemon": "kvupdaterd 3.8", "app_running": True, "updating": False,
            "action": "Idle"}


def write_inventory(path, controllers, **top):
    doc = {"format": "kvplant-inventory", "version": 1, "taken": "2026-12-09T03:10:00Z", "controllers": controllers}
    path.write_text(json.dumps(dict(doc, **top)))
    return path


@pytest.mark.parametrize("edit,message", [
    (lambda d: d.update(format="something-else"), "is not a kvplant inventory"),
    (lambda d: d.update(version=2), "inventory version 2"),
    (lambda d: d["controllers"][0].update(addresses=["controller.example.com"]),
     "controller 1: \"addresses\" holds something other than a numeric address"),
    (lambda d: d["controllers"][0].update(addresses=["fd00::1%$(reboot)"]), "other than a numeric address"),
    (lambda d: d["controllers"][0].update(addresses=[]), "controller 1: no address"),
    (lambda d: d["controllers"][0].update(device_name="x" * 3000), "\"device_name\" is longer than 2048 bytes"),
    (lambda d: d["controllers"][0].update(updating="no"), "\"updating\" is not true or false"),
    (lambda d: d.update(controllers=[controller(1)] * 65537), "more than 65536 controllers"),
], ids=["format", "version", "name as address", "scope as command", "no address", "long text", "not a Boolean",
        "too many"])
def test_a_stored_inventory_is_checked(tmp_path, edit, message):
    doc = {"format": "kvplant-inventory", "version": 1, "controllers": [controller(1)]}
    edit(doc)
    (tmp_path / "inv.json").write_text(json.dumps(doc))
    r = kvplant("inventory", "--from", tmp_path / "inv.json")
    assert r.returncode == 2 and message in r.stderr and r.stdout == "", r.stderr


def test_inventory_files_are_regular_and_bounded(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "big.json").write_bytes(b" " * ((64 << 20) + 1))
    for path, message in [(tmp_path / "fifo", "is not a regular file"), (tmp_path / "big.json", "larger than 64 MiB"),
                          (tmp_path / "none.json", "cannot open")]:
        r = kvplant("diff", path, path)
        assert r.returncode == 2 and message in r.stderr, r.stderr


HOSTILE_NAME = "=cmd|'/C calc'!A0\x1b]0;owned\x07\u009b2J"


def test_hostile_texts_of_a_stored_inventory(tmp_path):
    inv = write_inventory(tmp_path / "inv.json", [controller(1, name=HOSTILE_NAME), controller(2, name="b{{ x }}")])
    r = kvplant("inventory", "--from", inv, "--csv", tmp_path / "out.csv", "-o", tmp_path / "out.json")
    assert r.returncode == 0, r.stderr
    # JSON keeps the text, escaped; CSV shows it with '?' and guarded.
    assert json.loads((tmp_path / "out.json").read_text())["controllers"][0]["device_name"] == HOSTILE_NAME
    assert "\\u001b]0;owned\\u0007" in (tmp_path / "out.json").read_text()
    row = (tmp_path / "out.csv").read_bytes().split(b"\r\n")[1]
    assert b",'=cmd|'/C calc'!A0?]0;owned??2J," in row and b"\x1b" not in row
    r = kvplant("preflight", "--inventory", inv, tmp_path / "out.csv")
    assert r.stdout.splitlines()[0].startswith("fd00:5a::1 =cmd|'/C calc'!A0?]0;owned??2J KV2_TOUCH: REJECTED: ")


@pytest.mark.parametrize("new,lines,status", [
    ([controller(1), controller(2)], ["0 gone, 0 new, 0 moved, 2 unchanged"], 0),
    ([controller(1)], ["gone 02:00:00:00:00:02 fd00:5a::2 c2", "1 gone, 0 new, 0 moved, 1 unchanged"], 1),
    ([controller(1), controller(2), controller(3)],
     ["new 02:00:00:00:00:03 fd00:5a::3 c3", "0 gone, 1 new, 0 moved, 2 unchanged"], 1),
    ([controller(1, app="2.5", image="kv-image-4.3"), controller(2)],
     ["moved 02:00:00:00:00:01 fd00:5a::1 sw_revision Rev: 2.4.1 -> Rev: 2.5",
      "moved 02:00:00:00:00:01 fd00:5a::1 image_version kv-image-3.2.1 -> kv-image-4.3",
      "0 gone, 0 new, 1 moved, 1 unchanged"], 1),
    ([controller(1), controller(2, addresses=["fd00:5a::22", "10.0.0.22"])],
     ["readdressed 02:00:00:00:00:02 fd00:5a::2 -> fd00:5a::22,10.0.0.22", "0 gone, 0 new, 1 moved, 1 unchanged"], 1),
    ([controller(1, name="\x1b[31mred")] + [dict(controller(2), mac="02:00:00:00:00:09")],
     ["gone 02:00:00:00:00:02 fd00:5a::2 c2", "new 02:00:00:00:00:09 fd00:5a::2 c2",
      "1 gone, 1 new, 0 moved, 1 unchanged"], 1),
], ids=["same", "gone", "new", "moved", "readdressed", "another MAC"])
def test_diff(tmp_path, new, lines, status):
    old = write_inventory(tmp_path / "old.json", [controller(1), controller(2)])
    now = write_inventory(tmp_path / "new.json", new)
    r = kvplant("diff", old, now)
    assert (r.returncode, r.stdout.splitlines()) == (status, lines), r.stderr
    doc = json.loads(kvplant("diff", old, now, "--json").stdout)
    assert [doc[k] for k in ("gone", "new", "moved", "unchanged")] == [int(x.split()[0]) for x in
                                                                       lines[-1].split(", ")]


# --- pre-flight ------------------------------------------------------------------

PLANT = [controller(1), controller(2, app="2.5"), controller(3, platform="KORVEL_R"),
         controller(4, platform="NO_SUCH_PLATFORM"), controller(5, app="2.5", image="kv-image-4.3")]


def app_container(t, signing_key=None):
    """app_2.5.CRY for KV2_TOUCH with app_2.5.sign64 over its package beside it."""
    ipk = make_ipk(os.path.join(t, "pkg"), "kv2-touch", "2.5", file_name="app_2.5.ipk")
    cry = make_cry(ipk, os.path.join(t, "app_2.5.CRY"), "KV2_TOUCH", package_name="kv2-touch")
    if signing_key is not False:
        sign(ipk, os.path.join(t, "app_2.5.sign64"), *([signing_key] if signing_key else []))
    return [cry]


def image_bundle(t):
    ipk = make_ipk(os.path.join(t, "pkg"), "kv2-touch", "2.5", file_name="app_2.5.ipk")
    image = os.path.join(t, "rootfs.img")
    with open(image, "wb") as f:
        f.write(b"root file system " * 500)
    items = [{"path": ipk, "packageName": "kv2-touch", "fileType": "APP-IPK", "swRev": "2.5",
              "platformName": "kv2-touch"},
             {"path": image, "packageName": "image", "swRev": "kv-image-4.3", "platformName": "kv2-touch"}]
    return [make_bundle(t, items, os.path.join(t, "update.CRY"))]


def loose_files(t):
    """A package and an image dropped loose: the image goes last."""
    ipk = make_ipk(os.path.join(t, "pkg"), "kv2-touch", "2.5", file_name="zz_app_2.5.ipk")
    sign(ipk, os.path.join(t, "pkg", "zz_app_2.5.sign64"))
    image = os.path.join(t, "IMAGE.CRY")
    with open(image, "wb") as f:
        f.write(b"root file system " * 500)
    sign(image, os.path.join(t, "IMAGE.sign64"))
    return [image, ipk]


C2_ALREADY = "fd00:5a::2 c2 KV2_TOUCH: already runs it"
C3_NOTHING = "fd00:5a::3 c3 KORVEL_R: takes nothing: app_2.5.CRY: made for another platform"
C4_UNKNOWN = "fd00:5a::4 c4 NO_SUCH_PLATFORM: takes nothing: unknown platform \"NO_SUCH_PLATFORM\""


@pytest.mark.parametrize("build,key,lines,summary,status", [
    (app_container, PUBLIC_KEY,
     ["fd00:5a::1 c1 KV2_TOUCH: takes application 2.5", C2_ALREADY, C3_NOTHING, C4_UNKNOWN, C2_ALREADY
      .replace("2 c2", "5 c5")],
     "1 take application 2.5; 2 already run it; 1 of unknown platform take nothing; 1 take nothing; 0 rejected", 0),
    (lambda t: app_container(t, other_key_pair(t)[0]), PUBLIC_KEY,
     ["fd00:5a::1 c1 KV2_TOUCH: REJECTED: app_2.5.CRY: ", C2_ALREADY, C3_NOTHING, C4_UNKNOWN, None],
     "0 take it; 2 already run it; 1 of unknown platform take nothing; 1 take nothing; 1 rejected", 1),
    (lambda t: app_container(t, False), PUBLIC_KEY,
     ["fd00:5a::1 c1 KV2_TOUCH: REJECTED: app_2.5.CRY: missing signature", None, None, None, None], None, 1),
    (app_container, None,
     ["fd00:5a::1 c1 KV2_TOUCH: NOT CHECKED: app_2.5.CRY: ", C2_ALREADY, C3_NOTHING, C4_UNKNOWN, None],
     "0 take it; 2 already run it; 1 of unknown platform take nothing; 1 take nothing; 1 not checked; 0 rejected",
     3),
    (image_bundle, PUBLIC_KEY,
     ["fd00:5a::1 c1 KV2_TOUCH: takes application 2.5, OS image kv-image-4.3",
      "fd00:5a::2 c2 KV2_TOUCH: takes application 2.5, OS image kv-image-4.3",
      "fd00:5a::3 c3 KORVEL_R: takes nothing: update.CRY: it installs nothing on korvel-r", C4_UNKNOWN,
      "fd00:5a::5 c5 KV2_TOUCH: already runs it"],
     "2 take application 2.5 and OS image kv-image-4.3; 1 already run it; 1 of unknown platform take nothing; "
     "1 take nothing; 0 rejected", 0),
], ids=["accepted", "wrong key", "no signature", "no key", "bundle"])
def test_preflight(tmp_path, build, key, lines, summary, status):
    inv = write_inventory(tmp_path / "inv.json", PLANT)
    files = build(str(tmp_path))
    r = kvplant("preflight", "--inventory", inv, *(["--public-key", key] if key else []), *files)
    out = r.stdout.splitlines()
    assert r.returncode == status and len(out) == len(PLANT) + 1, (r.stdout, r.stderr)
    for got, want in zip(out, lines):
        assert want is None or got.startswith(want), (got, want)
    assert summary is None or out[-1] == summary, out[-1]
    # --json: the same verdicts, one object per controller, then the counts.
    docs = [json.loads(x) for x in kvplant("preflight", "--inventory", inv, "--json",
                                           *(["--public-key", key] if key else []), *files).stdout.splitlines()]
    assert [d["controller"] for d in docs[:-1]] == [c["mac"] for c in PLANT]
    assert sum(docs[-1]["summary"][k] for k in ("takes", "already_runs", "nothing", "rejected", "not_checked")) == 5


def test_preflight_plans_the_sending_order(tmp_path):
    inv = write_inventory(tmp_path / "inv.json", [controller(1)])
    r = kvplant("preflight", "--inventory", inv, "--public-key", PUBLIC_KEY, "--json", *loose_files(str(tmp_path)))
    plan = json.loads(r.stdout.splitlines()[0])
    assert r.returncode == 0, r.stdout + r.stderr
    # One file per pass in alphabetical order; the image, which restarts
    # the machine, last. Its revision is not known: any other than before.
    assert (plan["take"], plan["files"], plan["expect_app"], plan["expect_image"]) == (
        "takes", ["zz_app_2.5.ipk", "IMAGE.CRY"], "2.5", "")


@pytest.mark.parametrize("args,message", [
    (["preflight", "x.CRY"], "kvplant: preflight needs the plant: --inventory FILE.json\n"),
    (["preflight", "--inventory", "inv.json"], "kvplant: preflight needs the release: RELEASE-FILE...\n"),
    (["preflight", "--inventory", "inv.json", "app.sign64"], "is a signature: give the file it signs"),
    (["preflight", "--inventory", "inv.json", "fifo"], "fifo is not a regular file"),
    (["inventory", "--colour"], "kvplant: unknown option '--colour'\n"),
    (["diff", "inv.json"], "kvplant: diff compares two inventories: OLD.json NEW.json\n"),
], ids=["no inventory", "no release", "signature given", "fifo", "unknown option", "one inventory"])
def test_usage_errors(tmp_path, args, message):
    write_inventory(tmp_path / "inv.json", [controller(1)])
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "app.sign64").write_text("x")
    r = kvplant(*args, cwd=tmp_path)
    assert r.returncode == 2 and message in r.stderr and r.stdout == "", r.stderr
    if "Try" in r.stderr:
        assert r.stderr.endswith(f"Try 'kvplant {args[0]} --help' for more information.\n")
