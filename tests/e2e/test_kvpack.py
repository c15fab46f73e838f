"""kvpack on the command line: what it makes, what it says, and its exit codes."""
import os
import struct
import subprocess

import pytest

from packages import KEYS, KVPACK
from packages import PRIVATE_KEY as PRIVATE
from packages import PUBLIC_KEY as PUBLIC


def run(*args):
    return subprocess.run([KVPACK, *args], capture_output=True, text=True, timeout=60)


def development_key():
    values = {}
    with open(os.path.join(KEYS, "development-cry.key")) as f:
        for line in f:
            line = line.split("#")[0].strip()
            if "=" in line:
                name, value = line.split("=", 1)
                values[name.strip()] = value.strip()
    return values["key"], values["iv"]


@pytest.fixture
def package(tmp_path):
    (tmp_path / "data" / "opt" / "app").mkdir(parents=True)
    (tmp_path / "data" / "opt" / "app" / "hello.txt").write_text("hello\n")
    (tmp_path / "control").write_text("Package: app\nVersion: 1.2\nArchitecture: armv7\n")
    r = run("ipk", "--control", str(tmp_path / "control"), "--data", str(tmp_path / "data"),
            "-o", str(tmp_path / "app_1.2.ipk"))
    assert r.returncode == 0, r.stderr
    return tmp_path / "app_1.2.ipk"


def test_make_sign_wrap_and_inspect(tmp_path, package):
    assert run("sign", "--key", PRIVATE, str(package)).returncode == 0
    assert (tmp_path / "app_1.2.sign64").exists()
    r = run("inspect", "--platform", "KV2_TOUCH", "--public-key", PUBLIC, str(package))
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stdout.splitlines()[-1] == "ACCEPTED"

    r = run("cry", "--platform", "all", "--swpart", "718233.004", "--package-name", "app",
            "-o", str(tmp_path / "app.CRY"), str(package))
    assert r.returncode == 0, r.stderr
    r = run("inspect", "--platform", "KORVEL_R", "--public-key", PUBLIC,
            "--signature", str(tmp_path / "app_1.2.sign64"), str(tmp_path / "app.CRY"))
    assert r.returncode == 0, r.stdout + r.stderr
    assert "  control: package app, version 1.2" in r.stdout
    assert r.stdout.splitlines()[-1] == "ACCEPTED"


def test_container_layout_decrypts_with_openssl(tmp_path, package):
    r = run("cry", "--platform", "KV_SR", "--swpart", "1", "--package-name", "app", "--header-length", "300",
            "-o", str(tmp_path / "app.cry"), str(package))
    assert r.returncode == 0, r.stderr
    data = (tmp_path / "app.cry").read_bytes()
    header = data[:300]
    assert header.startswith(b"HEADERLENGTH: 300\r\nPLATFORMNAME: KV_SR\r\nSWPART: 1\r\n"
                             b"PACKAGENAME: app\r\nFILETYPE: APP-CRY\r\n\r\n")
    assert header.rstrip(b"\0").endswith(b"\r\n\r\n")
    key, iv = development_key()
    if "development" not in r.stderr:
        pytest.skip("built with a product key")
    plain = subprocess.run(["openssl", "enc", "-d", "-aes-256-cbc", "-nopad", "-K", key, "-iv", iv],
                           input=data[300:], capture_output=True, check=True).stdout
    length, verificator = struct.unpack("<II", plain[4:12])
    image = package.read_bytes()
    assert length == len(image) and (length + verificator) % 2**32 == 0
    assert plain[12:12 + length] == image
    assert len(plain) % 16 == 0 and set(plain[12 + length:]) <= {0}


@pytest.mark.parametrize("args, message", [
    (("cry", "--platform", "all", "--swpart", "1", "--package-name", "app", "-o", "{d}/out.bin", "{pkg}"),
     "must contain .CRY or .cry"),
    (("cry", "--platform", "KV 2", "--swpart", "1", "--package-name", "app", "-o", "{d}/out.CRY", "{pkg}"),
     "without blank or colon"),
    (("sign", "--key", "{d}/missing.pem", "-o", "{d}/out.sign64", "{pkg}"), "cannot open"),
    (("ipk", "--control", "{pkg}", "--data", "{d}", "-o", "{d}/out.ipk"), "needs a Package and a Version"),
])
def test_failed_commands_say_why_and_leave_nothing(tmp_path, package, args, message):
    before = set(os.listdir(tmp_path))
    r = run(*[a.format(d=tmp_path, pkg=package) for a in args])
    assert r.returncode == 2
    assert message in r.stderr
    assert set(os.listdir(tmp_path)) == before


@pytest.mark.parametrize("args", [(), ("bogus",), ("cry", "-o", "x.CRY"), ("inspect", "file"),
                                  ("sign", "--key", "k.pem"), ("ipk", "--unknown")])
def test_usage_errors(args):
    r = run(*args)
    assert r.returncode == 2
    assert "usage: kvpack" in r.stderr


def test_inspect_rejects_for_another_platform(tmp_path, package):
    assert run("cry", "--platform", "KV2_TOUCH", "--swpart", "1", "--package-name", "app",
               "-o", str(tmp_path / "app.CRY"), str(package)).returncode == 0
    r = run("inspect", "--platform", "KV_SR", str(tmp_path / "app.CRY"))
    assert r.returncode == 1
    assert r.stdout.splitlines()[-1].startswith("REJECTED: too few header elements (score 3 of 4)")
    assert "PLATFORMNAME KV2_TOUCH is neither all nor KV_SR" in r.stdout


def test_inspect_quotes_a_hostile_file_without_its_control_bytes(tmp_path):
    # A file to inspect may come from anyone: what the report quotes of it
    # (header values here) must not drive the terminal.
    header = (b"HEADERLENGTH: 512\r\nPLATFORMNAME: \x1b]0;owned\x07\r\nSWPART: 1\x1b[2J\r\n"
              b"PACKAGENAME: a\xc2\x9b1m\r\nFILETYPE: APP-CRY\r\n\r\n")
    crafted = tmp_path / "odd.CRY"
    crafted.write_bytes(header + b"\0" * (512 - len(header)) + b"\x55" * 64)
    r = subprocess.run([KVPACK, "inspect", "--platform", "KV2_TOUCH", str(crafted)], capture_output=True, timeout=60)
    assert r.returncode == 1, r.stdout + r.stderr
    assert b"PLATFORMNAME=?]0;owned?" in r.stdout, r.stdout
    assert not any(b in r.stdout for b in (b"\x1b", b"\x07", b"\xc2\x9b")), r.stdout
