"""kvpack bundle, image and the bundle inspector on the command line."""
import io
import json
import os
import subprocess
import tarfile

import pytest

from conftest import drop, wait_for
from intake_common import calls_after, start_counting_passes, wait_passes
from packages import KVPACK, make_bundle, make_cry, make_ipk, make_raw_bundle, other_key_pair, sign
from packages import PRIVATE_KEY as PRIVATE
from packages import PUBLIC_KEY as PUBLIC


def run(*args, cwd=None):
    return subprocess.run([KVPACK, *map(str, args)], capture_output=True, text=True, timeout=60, cwd=cwd)


def verify(data, signature_text, tmp_path):
    (tmp_path / "v.data").write_bytes(data)
    (tmp_path / "v.sig").write_bytes(subprocess.run(["base64", "-d"], input=signature_text,
                                                    capture_output=True, check=True).stdout)
    return subprocess.run(["openssl", "dgst", "-sha256", "-verify", PUBLIC, "-signature", str(tmp_path / "v.sig"),
                           str(tmp_path / "v.data")], capture_output=True).returncode == 0


@pytest.fixture
def members(tmp_path):
    for name in ("os.img", "kvupdaterd_2.ipk", "app.ipk", "extra.bin"):
        (tmp_path / name).write_bytes(b"content of " + name.encode() + b"\n")
    items = [
        {"path": "extra.bin", "packageName": "extra", "platformName": "all"},
        {"path": "app.ipk", "packageName": "kv2-touch", "fileType": "APP-IPK", "platformName": "kv2-touch"},
        {"path": str(tmp_path / "os.img"), "fileName": "image_5.img", "packageName": "image", "swRev": "5",
         "platformName": "kv2-touch"},
        {"path": "kvupdaterd_2.ipk", "packageName": "kvupdaterd", "platformName": "all"},
    ]
    (tmp_path / "members.json").write_text(json.dumps(items))
    return items


def test_bundle_layout(tmp_path, members):
    r = run("bundle", "--manifest", tmp_path / "members.json", "--filetype", "UPDATE-FULL", "--header-length", 256,
            "--sign-key", PRIVATE, "-o", tmp_path / "b.CRY", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    data = (tmp_path / "b.CRY").read_bytes()
    assert data[:256] == b"HEADERLENGTH: 256\r\nFILETYPE: UPDATE-FULL\r\n\r\n".ljust(256, b"\0")
    with tarfile.open(fileobj=io.BytesIO(data[256:]), mode="r:") as tar:
        names = tar.getnames()
        content = {n: tar.extractfile(n).read() for n in names}
    assert names == ["allinfo.json", "extra.bin", "extra.sign64", "app.ipk", "app.sign64", "image_5.img",
                     "image_5.sign64", "kvupdaterd_2.ipk", "kvupdaterd_2.sign64"]
    manifest = json.loads(content["allinfo.json"])
    assert manifest == [{k: v for k, v in m.items() if k != "path"} | {"fileName": m.get("fileName") or
                         os.path.basename(m["path"])} for m in members]
    for member in ("extra.bin", "app.ipk", "image_5.img", "kvupdaterd_2.ipk"):
        signature = content[member.rsplit(".", 1)[0] + ".sign64"]
        assert verify(content[member], signature, tmp_path), member
        assert not verify(content[member] + b"x", signature, tmp_path), member


def test_inspect_tells_the_order(tmp_path, members):
    assert run("bundle", "--manifest", tmp_path / "members.json", "--sign-key", PRIVATE, "-o", tmp_path / "b.CRY",
               cwd=tmp_path).returncode == 0
    r = run("inspect", "--platform", "kv2-touch", "--public-key", PUBLIC, "--image-rev", "4", tmp_path / "b.CRY")
    taken = [line.split(". ", 1)[1] for line in r.stdout.splitlines() if line[:4].strip().rstrip(".").isdigit()]
    assert taken == [
        "kvupdaterd_2.ipk [kvupdaterd], taken as the device's own package: REJECTED: the device finds no Package "
        "field in its control data (not an ipk, or its control.tar.gz is damaged or larger than the device reads)",
        "image_5.img [image], taken as OS image: accepted",
        "app.ipk [kv2-touch], taken as application package: REJECTED: the device finds no Package field in its "
        "control data (not an ipk, or its control.tar.gz is damaged or larger than the device reads)"], r.stdout
    assert ("  dropped extra.bin [extra]: it is neither a container nor a package (its extension is not CRY or "
            "IPK); its file is deleted") in r.stdout
    assert r.returncode == 1 and r.stdout.splitlines()[-1].startswith("REJECTED: member kvupdaterd_2.ipk: ")

    r = run("inspect", "--platform", "KV2_TOUCH", "--image-rev", "5", tmp_path / "b.CRY")
    assert "  dropped image_5.img [image]: same revision as the running image (5); its file is deleted" in r.stdout


def test_image(tmp_path):
    (tmp_path / "rootfs.img").write_bytes(bytes(range(256)) * 70)
    r = run("image", "--sign-key", PRIVATE, "-o", tmp_path / "out", tmp_path / "rootfs.img")
    assert r.returncode == 0, r.stderr
    assert sorted(os.listdir(tmp_path / "out")) == ["IMAGE.CRY", "IMAGE.sign64"]
    assert (tmp_path / "out" / "IMAGE.CRY").read_bytes() == (tmp_path / "rootfs.img").read_bytes()
    r = run("inspect", "--platform", "KV_SR", "--public-key", PUBLIC, tmp_path / "out" / "IMAGE.CRY")
    assert r.returncode == 0 and r.stdout.splitlines()[-1] == "ACCEPTED", r.stdout


@pytest.mark.parametrize("args, message", [
    (("bundle", "--manifest", "{d}/members.json", "--header-length", "30", "-o", "{d}/b.CRY"), "does not fit"),
    (("bundle", "--manifest", "{d}/members.json", "--filetype", "APP-CRY", "-o", "{d}/b.CRY"), "UPDATE"),
    (("bundle", "--manifest", "{d}/bad.json", "-o", "{d}/b.CRY"), "not a plain file name"),
    (("bundle", "--manifest", "{d}/members.json", "-o", "{d}/b.CRY"), "usage: kvpack"),
    (("bundle", "-o", "{d}/b.CRY"), "--manifest is required"),
    (("image", "--sign-key", PUBLIC, "-o", "{d}/out", "{d}/os.img"), "not a PEM private key"),
    (("image", "-o", "{d}/out", "{d}/os.img"), "--sign-key is required"),
])
def test_refusals_leave_nothing(tmp_path, members, args, message):
    (tmp_path / "bad.json").write_text(json.dumps([{"path": "app.ipk", "fileName": "../app.ipk"}]))
    if args[-1].endswith("b.CRY") and message == "usage: kvpack":
        args = args + ("extra",)
    before = set(os.listdir(tmp_path))
    r = run(*[a.format(d=tmp_path) for a in args], cwd=tmp_path)
    assert r.returncode == 2
    assert message in r.stderr
    assert set(os.listdir(tmp_path)) == before


# --- the inspector against the device ------------------------------------------
#
# Each row is an artefact, the platform and key the inspector is given, what
# the real daemon in a sandbox device (kv2-touch, development key) installs
# from it, and what the inspector says of it and of each bundle member. Both
# must agree: the inspector says "accepted" only when the device installs
# every member the inspector says it takes, and a member it calls rejected is
# never installed.

UNIT = {"app_2.5.ipk": "install@kv2-touch", "tool_1.0.ipk": "install@kvtool", "tool_1.0.CRY": "install@kvtool"}


def _members(t):
    app = make_ipk(os.path.join(t, "app"), "kv2-touch", "2.5", file_name="app_2.5.ipk")
    tool = make_ipk(os.path.join(t, "tool"), "kvtool", "1.0", file_name="tool_1.0.ipk")
    return app, tool


def _bundle(t, items=None, sign_key=PRIVATE):
    app, tool = _members(t)
    items = items or [{"path": app, "packageName": "kv2-touch", "fileType": "APP-IPK", "platformName": "kv2-touch"},
                      {"path": tool, "packageName": "tool", "platformName": "all"}]
    out = os.path.join(t, "update.CRY")
    return [(make_bundle(t, items, out, sign_key=sign_key), None)]


def _raw_bundle(t, manifest, signed, compress=None):
    app, tool = _members(t)
    files = {"app_2.5.ipk": open(app, "rb").read(), "tool_1.0.ipk": open(tool, "rb").read()}
    tar = [("allinfo.json", json.dumps(manifest).encode())]
    for name, data in files.items():
        tar.append((name, data))
        if name in signed:
            sign(os.path.join(t, "app" if name.startswith("app") else "tool", name), os.path.join(t, "s"))
            tar.append((name[:-4] + ".sign64", open(os.path.join(t, "s"), "rb").read()))
    out = os.path.join(t, "update.CRY")
    if compress:
        tar.append(("padding.bin", bytes(compress)))
        head = b"HEADERLENGTH: 512\r\nFILETYPE: UPDATE\r\n\r\n"
        with open(out, "wb") as f:
            f.write(head.ljust(512, b"\0") + packages_tar(tar, "w:gz"))
        return [(out, None)]
    return [(make_raw_bundle(out, tar), None)]


def _single(t, container=False, signature=True):
    _, tool = _members(t)
    drops = []
    if container:
        tool = make_cry(tool, os.path.join(t, "tool_1.0.CRY"), "KV2_TOUCH", package_name="tool")
    if signature:  # beside the drop, over the package (a container's decrypted one)
        beside = os.path.join(os.path.dirname(tool), "tool_1.0.sign64")
        drops.append((sign(os.path.join(t, "tool", "tool_1.0.ipk"), beside), None))
    return drops + [(tool, None)]


def _container_member(t):
    _, tool = _members(t)
    container = make_cry(tool, os.path.join(t, "tool_1.0.CRY"), "all", package_name="tool")
    return _bundle(t, [{"path": container, "packageName": "tool", "platformName": "all"}])


def _image_for_all(t):
    _, tool = _members(t)
    image = os.path.join(t, "os.CRY")
    open(image, "wb").write(b"root file system " * 500)
    return _bundle(t, [{"path": image, "packageName": "image", "swRev": "9", "platformName": "all"}])


def _fifo(t):
    os.mkfifo(os.path.join(t, "tool_1.0.ipk"))
    return [(os.path.join(t, "tool_1.0.ipk"), "fifo")]


APP_ITEM = {"fileName": "app_2.5.ipk", "packageName": "kv2-touch", "fileType": "APP-IPK", "platformName": "kv2-touch"}
TOOL_ITEM = {"fileName": "tool_1.0.ipk", "packageName": "tool", "platformName": "all"}

# id, artefact, inspector key, device installs, verdict, reason (part), member verdicts
INSPECTOR_TABLE = [
    ("good bundle", lambda t: _bundle(t), PUBLIC, ["install@kv2-touch", "install@kvtool"], "accepted", None,
     {"app_2.5.ipk": "accepted", "tool_1.0.ipk": "accepted"}),
    ("good bundle, no key given", lambda t: _bundle(t), None, ["install@kv2-touch", "install@kvtool"],
     "not-checked", "no --public-key", {"app_2.5.ipk": "not-checked", "tool_1.0.ipk": "not-checked"}),
    # A container's signature covers the package it decrypts to.
    ("bundle with a container member", _container_member, PUBLIC, ["install@kvtool"], "accepted", None,
     {"tool_1.0.CRY": "accepted"}),
    ("bundle signed with another key", lambda t: _bundle(t, sign_key=other_key_pair(t)[0]), PUBLIC, [],
     "rejected", "does not verify with ipksignkeypublic.pem", {"app_2.5.ipk": "rejected", "tool_1.0.ipk": "rejected"}),
    ("unsigned bundle", lambda t: _bundle(t, sign_key=None), PUBLIC, [], "rejected", "missing signature",
     {"app_2.5.ipk": "rejected", "tool_1.0.ipk": "rejected"}),
    ("bundle member without signature", lambda t: _raw_bundle(t, [APP_ITEM, TOOL_ITEM], {"app_2.5.ipk"}), PUBLIC,
     ["install@kv2-touch"], "rejected", "member tool_1.0.ipk: missing signature",
     {"app_2.5.ipk": "accepted", "tool_1.0.ipk": "rejected"}),
    ("misspelt platformName", lambda t: _bundle(t, [{"path": _members(t)[1], "packageName": "tool",
                                                     "platfromName": "all"}]), PUBLIC,
     [], "rejected", "installs nothing on kv2-touch", {"tool_1.0.ipk": "dropped:\"platfromName\""}),
    ("platform written as a header's identifier",
     lambda t: _raw_bundle(t, [dict(TOOL_ITEM, platformName="KV2_TOUCH")], {"tool_1.0.ipk"}), PUBLIC,
     [], "rejected", "installs nothing", {"tool_1.0.ipk": "dropped:manifests write it as kv2-touch"}),
    ("OS image for all", _image_for_all, PUBLIC, [], "rejected", "member os.CRY: its header names no FILETYPE",
     {"os.CRY": "rejected"}),
    ("compressed bundle", lambda t: _raw_bundle(t, [TOOL_ITEM], {"tool_1.0.ipk"}, compress=32 << 20), PUBLIC,
     [], "rejected", "compressed (gzip)", {}),
    ("package without a signature beside it", lambda t: _single(t, signature=False), PUBLIC, [], "rejected",
     "missing signature", {}),
    ("FIFO in place of a package", _fifo, PUBLIC, [], "rejected", "not a regular file", {}),
    pytest.param("package with its signature beside it", lambda t: _single(t), PUBLIC, ["install@kvtool"],
                 "accepted", None, {}),
    pytest.param("container with its signature beside it", lambda t: _single(t, container=True), PUBLIC,
                 ["install@kvtool"], "accepted", None, {}),
]


def packages_tar(members, mode):
    from packages import _tar
    return _tar(members, mode)


def device_installs(sandbox, run_daemon, drops):
    """What the daemon installs from the drops: the installer units it starts
    until the watch folder and the bundle folder have nothing left for it."""
    # The passes' fixed waits shortened: the table is about what is taken.
    d, n = start_counting_passes(run_daemon, sandbox, fastwait=True)
    watch = sandbox.dev("/opt/kv2/swfw/")
    for path, how in drops:
        if how == "fifo":
            os.mkfifo(os.path.join(watch, os.path.basename(path)))
        else:
            drop(sandbox, path)

    def settled():
        waiting = [f for f in os.listdir(watch) if os.path.isfile(os.path.join(watch, f))
                   and f.rsplit(".", 1)[-1].upper() in ("CRY", "IPK")]
        return not waiting and not os.path.exists(sandbox.dev("/home/root/bundle/allinfo.json"))

    # A pass takes a drop or a member whole: settled twice, two passes apart,
    # the device is done.
    for _ in range(2):
        wait_for(settled, 120, "the device done with the drops")
        wait_passes(d, 2)
    assert settled()
    return [c[2] for c in calls_after(sandbox, n) if c[:2] == ["systemctl", "start"]]


@pytest.mark.parametrize("what, build, key, installs, verdict, reason, members", INSPECTOR_TABLE,
                         ids=[row.values[0] if hasattr(row, "marks") else row[0] for row in INSPECTOR_TABLE])
def test_inspector_says_what_the_device_does(sandbox, run_daemon, tmp_path, what, build, key, installs, verdict,
                                             reason, members):
    drops = build(str(tmp_path))
    artefact = drops[-1][0]
    args = ["inspect", "--platform", "KV2_TOUCH", "--json"] + (["--public-key", key] if key else []) + [artefact]
    r = run(*args)
    report = json.loads(r.stdout)[0]
    assert (report["verdict"], r.returncode) == (verdict, {"accepted": 0, "rejected": 1, "not-checked": 3}[verdict]), \
        r.stdout + r.stderr
    assert reason is None or reason in report["reason"], report
    told = {m["fileName"]: m.get("verdict") or "dropped:" + m["reason"] for m in report.get("members", [])}
    assert set(told) == set(members), told
    for name, expected in members.items():
        assert told[name].startswith(expected.split(":")[0]) and expected.split(":", 1)[-1] in told[name], told

    # The text report says the same.
    text = run(*[a for a in args if a != "--json"]).stdout.splitlines()[-1]
    assert text.startswith({"accepted": "ACCEPTED", "rejected": "REJECTED: ", "not-checked": "NOT CHECKED: "}[verdict])

    device = device_installs(sandbox, run_daemon, drops)
    assert device == installs
    # Agreement: a yes means the device installs every member the inspector
    # says it takes; a member the inspector refuses is never installed.
    taken = [m["fileName"] for m in report.get("members", []) if m["outcome"] == "taken"]
    if verdict == "accepted":
        assert device and sorted(device) == sorted(UNIT[n] for n in (taken or [os.path.basename(artefact)]))
    for m in report.get("members", []):
        if m.get("verdict") == "rejected" and m["fileName"] in UNIT:
            assert UNIT[m["fileName"]] not in device, m


def test_inspecting_a_drop_folder_and_the_exit_status(tmp_path):
    app, tool = _members(str(tmp_path))
    folder = tmp_path / "drop"
    folder.mkdir()
    for path in (app, tool):
        os.rename(path, folder / os.path.basename(path))
    sign(str(folder / "app_2.5.ipk"), str(folder / "app_2.5.sign64"))
    (folder / "notes.txt").write_text("not for the device\n")
    # One report per file the device's scan takes; the worst verdict decides.
    for key, status, verdicts in [(PUBLIC, 1, ["accepted", "rejected"]), (None, 1, ["not-checked", "rejected"])]:
        r = run("inspect", "--platform", "korvel-r", "--json", *(["--public-key", key] if key else []), folder)
        assert r.returncode == status, r.stdout + r.stderr
        assert [(os.path.basename(o["file"]), o["verdict"]) for o in json.loads(r.stdout)] == \
            list(zip(["app_2.5.ipk", "tool_1.0.ipk"], verdicts))
    r = run("inspect", "--platform", "KORVEL_R", folder / "app_2.5.ipk")
    assert r.returncode == 3 and r.stdout.splitlines()[-1].startswith("NOT CHECKED: "), r.stdout


def test_the_bundle_report_grows_with_the_manifest(tmp_path):
    items = [{"fileName": f"m{i:04}.ipk", "packageName": f"p{i}", "platformName": "korvel-r"} for i in range(1000)]
    bundle = make_raw_bundle(str(tmp_path / "big.CRY"), [("allinfo.json", json.dumps(items).encode())])
    r = run("inspect", "--platform", "KV2_TOUCH", bundle)
    assert r.returncode == 1 and "installs nothing on kv2-touch" in r.stdout.splitlines()[-1]
    assert r.stdout.count("\n  dropped ") == 1000 and len(r.stdout) < 1000 * 120, len(r.stdout)


@pytest.mark.parametrize("item, strict_status, told", [
    ({"platfromName": "all"}, 2, 'the key "platfromName" is not one a device reads (did you mean platformName?)'),
    ({"platformName": "KV2_TOUCH,KV_SR"}, 0, "note: member 1 (app.ipk): platformName KV2_TOUCH,KV_SR written as "
                                             "kv2-touch,korvel-sr"),
    ({"platformName": "all", "packageName": "image"}, 2, "an OS image for platformName \"all\" is installed on no "
                                                         "device"),
    ({"platformName": "KV2-touch"}, 2, "names no platform (all, kv2-touch, korvel-r, korvel-sr)"),
])
def test_bundle_warns_of_items_no_device_installs(tmp_path, members, item, strict_status, told):
    (tmp_path / "one.json").write_text(json.dumps([{"path": "app.ipk", **item}]))
    for strict in ([], ["--strict"]):
        r = run("bundle", "--manifest", tmp_path / "one.json", *strict, "-o", tmp_path / "one.CRY", cwd=tmp_path)
        assert r.returncode == (strict_status if strict else 0) and told in r.stderr, r.stderr
    if strict_status == 0:
        with tarfile.open(fileobj=io.BytesIO((tmp_path / "one.CRY").read_bytes()[512:]), mode="r:") as tar:
            assert json.loads(tar.extractfile("allinfo.json").read())[0]["platformName"] == "kv2-touch,korvel-sr"
