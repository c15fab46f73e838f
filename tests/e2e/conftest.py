"""Fixtures for end-to-end tests: sandbox devices and the real daemon in them."""
import os
import shlex
import shutil
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sandbox"))

from kvsandbox import Daemon, temporary_sandboxes, wait_for  # noqa: E402,F401  (wait_for: the tests import it from here)


@pytest.fixture
def make_sandbox():
    """make_sandbox(platform="kv2-touch") -> a fresh Sandbox in a temporary folder."""
    with temporary_sandboxes() as make:
        yield make


@pytest.fixture
def sandbox(make_sandbox):
    return make_sandbox()


@pytest.fixture
def run_daemon():
    """run_daemon(sandbox, *args) -> a started Daemon, stopped after the test."""
    started = []

    def run(sb, *args, **kw):
        # A drop without a signature is checked at once, unless a test waits
        # for signatures that come after their packages.
        kw["env"] = {"KVUPDATER_SIGNATURE_WAIT": "0", **(kw.get("env") or {})}
        d = Daemon(sb, args, **kw)
        started.append(d)
        return d.start()

    yield run
    for d in started:
        d.stop()


def argv_of(command_line):
    """The argv a shell makes of a command line, to compare with the journal
    (a trailing "&" only sends the command to the background)."""
    argv = shlex.split(command_line)
    return argv[:-1] if argv and argv[-1] == "&" else argv


def drop(sandbox, source, name=None):
    """Places a file into the watch folder in one step (copy beside it, then rename)."""
    name = name or os.path.basename(source)
    watch = sandbox.dev("/opt/kv2/swfw/")
    staging = os.path.join(watch, ".incoming")
    os.makedirs(staging, exist_ok=True)
    tmp = os.path.join(staging, name)
    shutil.copyfile(source, tmp)
    os.rename(tmp, os.path.join(watch, name))
    return os.path.join(watch, name)

