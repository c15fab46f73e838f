"""Fixtures of the emulated end-to-end tests: sandbox devices, and the
cross-built daemon and packaging tool run through the emulator."""
import os
import shutil
import sys
import tempfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TESTS, "sandbox"))
sys.path.insert(0, os.path.join(TESTS, "e2e"))

import packages  # noqa: E402
from kvsandbox import Daemon, temporary_sandboxes  # noqa: E402

BUILD_DIR = os.environ.get("KV_BUILD_DIR") or os.path.join(os.path.dirname(TESTS), "build", "armhf")
EMULATOR = os.environ.get("KV_EMULATOR") or "/usr/bin/qemu-arm"
ARM_MACHINE = 40  # e_machine of a 32-bit ARM ELF file

_wrappers = tempfile.mkdtemp(prefix="kvemu-")


def is_arm32(path):
    """True when path is a 32-bit little-endian ARM ELF program."""
    try:
        with open(path, "rb") as f:
            head = f.read(20)
    except OSError:
        return False
    return head[:4] == b"\x7fELF" and head[4] == 1 and int.from_bytes(head[18:20], "little") == ARM_MACHINE


def emulated(program):
    """A command that runs the ARM program through the emulator (a tiny shell
    script, since the host kernel does not run ARM programs by itself)."""
    path = os.path.join(_wrappers, os.path.basename(program))
    with open(path, "w") as f:
        f.write(f'#!/bin/sh\nexec {EMULATOR} {program} "$@"\n')
    os.chmod(path, 0o755)
    return path


DAEMON = os.path.join(BUILD_DIR, "updater", "kvupdaterd")
KVPACK = os.path.join(BUILD_DIR, "tools", "kvpack", "kvpack")

READY = is_arm32(DAEMON) and is_arm32(KVPACK) and os.access(EMULATOR, os.X_OK)

# The shared package helpers make packages with the armhf kvpack, emulated.
packages.KVPACK = emulated(KVPACK)
EMULATED_DAEMON = emulated(DAEMON)


def pytest_sessionfinish(session, exitstatus):
    shutil.rmtree(_wrappers, ignore_errors=True)


@pytest.fixture(autouse=True)
def armhf_build():
    # These tests exist to run the ARM programs: a missing build is a failure.
    assert READY, f"needs the armhf build ({DAEMON}, {KVPACK}) and the emulator {EMULATOR}"


@pytest.fixture
def make_sandbox():
    """make_sandbox(platform="kv2-touch") -> a fresh Sandbox in a temporary folder."""
    with temporary_sandboxes() as make:
        yield make


@pytest.fixture
def run_daemon():
    """run_daemon(sandbox, *args) -> the emulated daemon, started; stopped after the test."""
    started = []

    def run(sb, *args, **kw):
        kw["env"] = {"KVUPDATER_SIGNATURE_WAIT": "0", **(kw.get("env") or {})}
        d = Daemon(sb, args, daemon=EMULATED_DAEMON, **kw)
        started.append(d)
        return d.start()

    yield run
    for d in started:
        d.stop()
