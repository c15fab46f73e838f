"""Fixtures for end-to-end tests: sandbox devices and the real daemon in them."""
import os
import shlex
import shutil
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sandbox"))

from kvsandbox import Daemon, Sandbox  # noqa: E402


@pytest.fixture
def make_sandbox():
    """make_sandbox(platform="kv2-touch") -> a fresh Sandbox in a temporary folder."""
    made = []

    def make(platform="kv2-touch", **kw):
        # mkdtemp names hold only characters the daemon's command runner admits.
        path = tempfile.mkdtemp(prefix="kvsb-")
        made.append(path)
        return Sandbox.create(os.path.join(path, "device"), platform, **kw)

    yield make
    for path in made:
        shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def sandbox(make_sandbox):
    return make_sandbox()


@pytest.fixture
def run_daemon():
    """run_daemon(sandbox, *args) -> a started Daemon, stopped after the test."""
    started = []

    def run(sb, *args, **kw):
        d = Daemon(sb, args, **kw)
        started.append(d)
        return d.start()

    yield run
    for d in started:
        d.stop()


def argv_of(command_line):
    """The argv a shell makes of a command line, to compare with the journal."""
    return shlex.split(command_line)
