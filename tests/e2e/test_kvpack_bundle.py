"""kvpack bundle, image and the bundle inspector on the command line."""
import io
import json
import os
import subprocess
import tarfile

import pytest

from packages import KVPACK
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
