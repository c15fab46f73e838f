"""Fixtures of the real-systemd tests: the cached Debian root and one
container per test."""
import glob
import os
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("KV_SOURCE_DIR") or os.path.dirname(os.path.dirname(HERE))
BUILD_DIR = os.environ.get("KV_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))

from container import Container  # noqa: E402


def unavailable(reason):
    """Skips the tier, or fails it when KV_SYSTEMD_REQUIRED asks for it to run."""
    if os.environ.get("KV_SYSTEMD_REQUIRED"):
        pytest.fail(f"real-systemd tier required but unavailable: {reason}")
    pytest.skip(f"real-systemd tier skipped: {reason}")


@pytest.fixture(scope="session")
def root():
    """The cached root (<build>/systemd-root), made when missing."""
    if os.geteuid() != 0:
        unavailable("needs root")
    for tool in ("systemd-nspawn", "debootstrap", "nsenter", "unshare"):
        if shutil.which(tool) is None:
            unavailable(f"{tool} not installed (scripts/setup.sh installs it)")
    path = os.path.join(BUILD_DIR, "systemd-root")
    if not os.path.exists(os.path.join(path, ".complete")):
        r = subprocess.run([os.path.join(HERE, "make-root.sh"), path], capture_output=True, text=True)
        if r.returncode != 0:
            unavailable(f"the Debian root could not be made (no network?):\n{r.stdout[-2000:]}{r.stderr[-2000:]}")
    return path


@pytest.fixture
def machine(root):
    """machine(**kw) -> a Container over the root (not yet booted); every
    container made is ended and removed after the test."""
    made = []

    def make(**kw):
        c = Container(root, os.path.join(BUILD_DIR, "updater", "kvupdaterd"), **kw)
        made.append(c)
        return c

    yield make
    for c in made:
        c.remove()


@pytest.fixture(scope="session")
def daemon_package():
    """The daemon's own signed package (target kvupdaterd-ipk): (ipk, sign64)."""
    found = sorted(glob.glob(os.path.join(BUILD_DIR, "deploy", "kvupdaterd_*.ipk")))
    if not found:
        pytest.fail("the daemon's package is missing: build the target kvupdaterd-ipk")
    return found[-1], found[-1][:-4] + ".sign64"
