"""The host tools' Debian package: built, checked by lintian, and used from
an extracted root as a technician's machine would after installing it."""
import glob
import gzip
import os
import subprocess

import pytest

from packages import BUILD_DIR, PRIVATE_KEY, PUBLIC_KEY


@pytest.fixture(scope="module")
def deb():
    r = subprocess.run(["cmake", "--build", BUILD_DIR, "--target", "kvupdater-tools-deb"],
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
    debs = glob.glob(os.path.join(BUILD_DIR, "package", "kvupdater-tools_*.deb"))
    assert len(debs) == 1, debs
    return debs[0]


def field(deb, name):
    return subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True, text=True, check=True).stdout.strip()


def test_package_fields_and_lintian(deb):
    assert field(deb, "Package") == "kvupdater-tools"
    # Dependencies come from the programs' libraries, not from a hand-kept list.
    depends = field(deb, "Depends")
    for library in ("libc6", "libssl3", "libcjson1", "libarchive13"):
        assert library in depends, depends
    r = subprocess.run(["lintian", "--tag-display-limit", "0", deb], capture_output=True, text=True, timeout=300)
    problems = [line for line in r.stdout.splitlines() if line.startswith(("E:", "W:"))]
    assert problems == [], r.stdout


def test_tools_and_manual_pages_work_from_the_extracted_root(deb, tmp_path):
    root = tmp_path / "root"
    subprocess.run(["dpkg-deb", "-x", deb, str(root)], check=True)
    kvpack, kvid = root / "usr/bin/kvpack", root / "usr/bin/kvid"
    for tool in ("kvpack", "kvid"):
        page = gzip.decompress((root / f"usr/share/man/man1/{tool}.1.gz").read_bytes()).decode()
        assert page.startswith(".\\\"") and f".TH {tool.upper()} \"1\"" in page
        assert "\\-\\-" in page  # the options of --help made it into the page

    # kvpack from the package makes, signs and inspects a package.
    work = tmp_path / "work"
    (work / "data/opt/app").mkdir(parents=True)
    (work / "data/opt/app/hello.txt").write_text("hello\n")
    (work / "control").write_text("Package: app\nVersion: 1.0\nArchitecture: armhf\n")

    def run(*args):
        return subprocess.run([str(kvpack), *args], capture_output=True, text=True, timeout=60)

    assert run("ipk", "--control", str(work / "control"), "--data", str(work / "data"),
               "-o", str(work / "app_1.0.ipk")).returncode == 0
    assert run("sign", "--key", PRIVATE_KEY, str(work / "app_1.0.ipk")).returncode == 0
    r = run("inspect", "--platform", "KV2_TOUCH", "--public-key", PUBLIC_KEY, str(work / "app_1.0.ipk"))
    assert r.returncode == 0 and r.stdout.splitlines()[-1] == "ACCEPTED", r.stdout + r.stderr

    # kvid from the package runs and reports that nobody answered on loopback.
    r = subprocess.run([str(kvid), "status", "127.0.0.1", "-t", "200"], capture_output=True, text=True, timeout=30)
    assert r.returncode == 1, r.stdout + r.stderr
    assert subprocess.run([str(kvid), "--help"], capture_output=True).returncode == 0
