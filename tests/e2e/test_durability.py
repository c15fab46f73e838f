"""Flushes in the right order: a bundle's whole road (the daemon's own package,
the image with its restart and commit, APP-IPK, APP-CRY) and a plain
container drop run under the file-system call trace (kvfstrace.so), and the
trace must break none of the ordering rules of durability.py: data flushed
before the rename that publishes it, folders flushed after the changes
recovery relies on, and what recovery needs durable before anything visible
happens.

The check itself is shown to catch a daemon that leaves out one flush: the
trace library turns the chosen flush into a no-op, and the check must fail
with the violation that omission makes.
"""
import os
import shutil

import pytest

import durability
import test_faults
from test_faults import UPDATER_OUTPUT, Device, bundle  # noqa: F401  (bundle: the fault matrix's bundle fixture)
from kvsandbox import Sandbox
from packages import make_cry, make_ipk, sign



@pytest.fixture(scope="module")
def container(tmp_path_factory):
    t = str(tmp_path_factory.mktemp("container"))
    inner = make_ipk(os.path.join(t, "inner"), "kvserver", "3.0", file_name="inner.ipk")
    # A plain container's signature waits in the bundle folder, named after it.
    sign(inner, os.path.join(t, "appc_3.0.sign64"))
    return make_cry(inner, os.path.join(t, "appc_3.0.CRY"), "KV2_TOUCH")


def traced_road(base, monkeypatch, drop, lives, skip=None):
    """Runs a fresh device through the given outcomes of the daemon's lives,
    the first with drop; returns its trace and the device."""
    sb = Sandbox.create(os.path.join(base, "device"), "kv2-touch")
    sb.steer("mender", out=UPDATER_OUTPUT, subcommand="-rootfs")
    signature = os.path.splitext(drop)[0] + ".sign64"
    if os.path.exists(signature):
        shutil.copyfile(signature, sb.dev("/home/root/bundle/" + os.path.basename(signature)))
    durability.restart_trace(sb)
    plain = test_faults.fast_env
    monkeypatch.setattr(test_faults, "fast_env", lambda: durability.traced_env(sb, plain(), skip))
    device = Device(sb)
    for i, wanted in enumerate(lives):
        assert device.life(drop=drop if i == 0 else None) == wanted
        if wanted == "restart":
            # The new image boots over a writable layer that still holds the
            # old one's files, which the commit cleans.
            os.makedirs(sb.dev("/data/upperdir/usr/lib"), exist_ok=True)
            open(sb.dev("/data/upperdir/usr/lib/stale.so"), "w").close()
    return durability.read_trace(durability.trace_path(sb)), device


def violations_text(found):
    return "\n".join(f"  [{rule}] {text}" for rule, text in found)


ROADS = {"bundle": ("restart", "parked", "settled"), "container": ("settled",)}


@pytest.mark.parametrize("road", ["bundle", "container"])
def test_road_keeps_the_flush_order(road, bundle, container, tmp_path, monkeypatch):  # noqa: F811
    calls, device = traced_road(str(tmp_path), monkeypatch, bundle if road == "bundle" else container, ROADS[road])
    if road == "bundle":
        assert device.problems() == []
    # The trace saw the road: the container's installer unit was started once.
    started = [c["argv"] for c in calls if c["call"] == "execve" and c["argv"][:2] == ["systemctl", "start"]]
    assert started.count(["systemctl", "start", "install@kvserver"]) == 1
    assert any(c["call"] in ("fsync", "sync") for c in calls)
    found = durability.check_ordering(calls, root=os.path.realpath(device.sb.root))
    assert found == [], "ordering violations:\n" + violations_text(found)


# A daemon that leaves out one flush, and the violation the check must find.
MUTATIONS = {
    "decrypted package not flushed": (
        "fsync:*.IPKTMP", "durable-before-act",
        "the data of /home/root/kvserver.ipk is not durable before systemctl start install@kvserver"),
    "state file's folder not flushed after its rename": (
        "dirsync-after:/home/root/kvupdaterd.*", "folder-after-change", "/home/root/kvupdaterd."),
}


@pytest.mark.parametrize("mutation", sorted(MUTATIONS))
def test_a_left_out_flush_is_caught(mutation, bundle, tmp_path, monkeypatch):  # noqa: F811
    skip, rule, text = MUTATIONS[mutation]
    calls, device = traced_road(str(tmp_path), monkeypatch, bundle, ROADS["bundle"], skip=skip)
    assert any(c.get("skipped") for c in calls), f"{skip} matched no flush of the road"
    found = durability.check_ordering(calls, root=os.path.realpath(device.sb.root))
    assert any(r == rule and text in t for r, t in found), \
        f"{mutation}: no [{rule}] violation naming {text!r}; found:\n" + violations_text(found)
