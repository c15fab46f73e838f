"""Packages and watch-folder entries built to attack the device."""
import os
import subprocess

import pytest

from conftest import argv_of, drop, wait_for
from intake_common import calls_after, signed_ipk, start, wait_calls
from packages import PUBLIC_KEY, make_hostile_ipk, other_key_pair, sign


def test_package_members_cannot_replace_the_key_or_the_sync_script(sandbox, run_daemon, tmp_path):
    other_private, other_public = other_key_pair(str(tmp_path))
    evil_key = open(other_public, "rb").read()
    evil_script = b"#!/bin/sh\necho owned\n"
    key_path = sandbox.dev("/home/root/.sign/ipksignkeypublic.pem")
    script_path = sandbox.dev("/home/root/sync-users.sh")
    key_before, script_before = open(key_path, "rb").read(), open(script_path, "rb").read()
    ipk = make_hostile_ipk(
        str(tmp_path / "evil.ipk"), "kvwebview",
        control_members=[("./.sign/ipksignkeypublic.pem", evil_key), ("./sync-users.sh", evil_script),
                         ("../escaped.txt", b"x"), ("./postinst", None, "/home/root/sync-users.sh")],
        ar_members=[("sync-users.sh", evil_script), ("ipksignkeypub", evil_key)])
    sign(ipk, sandbox.dev("/home/root/bundle/evil.sign64"), key=other_private)

    d, n = start(run_daemon, sandbox)
    drop(sandbox, ipk)
    d.wait_syslog(r"^Signature check, Bad signature!, Abort installation\n$", timeout=20)
    assert open(key_path, "rb").read() == key_before == open(PUBLIC_KEY, "rb").read()
    assert open(script_path, "rb").read() == script_before
    assert calls_after(sandbox, n) == []
    work = sandbox.dev("/home/root/")
    assert not os.path.exists(os.path.join(work, "ipksignkeypub"))
    assert not os.path.exists(os.path.join(os.path.dirname(work.rstrip("/")), "escaped.txt"))
    assert not os.path.lexists(os.path.join(work, "postinst"))
    assert not [f for f in os.listdir(work) if f.startswith(".kvunpack")]


@pytest.mark.parametrize("package", ["../x", "a/b", 'a"b', "it's"])
def test_package_name_that_is_not_a_plain_file_name_is_refused(sandbox, run_daemon, tmp_path, package):
    # Built by hand: the packaging tool itself refuses such names.
    ipk = make_hostile_ipk(os.path.join(str(tmp_path), "named.ipk"), package)
    sign(ipk, sandbox.dev("/home/root/bundle/named.sign64"))
    d, n = start(run_daemon, sandbox)
    drop(sandbox, ipk)
    prio, _, text = d.wait_syslog(r"is not a plain file name, package refused")
    assert prio == 3
    assert text == f'Main, package name "{package}" of named.ipk is not a plain file name, package refused\n'
    assert calls_after(sandbox, n) == []
    assert os.path.exists(sandbox.dev("/home/root/named.ipk"))
    assert not os.path.exists(sandbox.dev("/home/x.ipk"))


def test_entries_that_are_not_plain_files_are_passed_over(sandbox, run_daemon, tmp_path):
    d, n = start(run_daemon, sandbox)
    watch = sandbox.dev("/opt/kv2/swfw/")
    os.mkfifo(os.path.join(watch, "fifo.ipk"))
    os.symlink("/dev/zero", os.path.join(watch, "z_0123456789abcdef0123456789abcdef.CRY"))
    outside = signed_ipk(str(tmp_path / "h"), sandbox, "kvserver", file_name="hard.ipk")
    held = sandbox.dev("/home/root/bundle/held.ipk")
    subprocess.run(["cp", outside, held], check=True)
    os.link(held, os.path.join(watch, "hard.ipk"))
    for name in ["fifo.ipk", "z_0123456789abcdef0123456789abcdef.CRY", "hard.ipk"]:
        d.wait_syslog(rf"^scandir_FindInstaller, {name} is not a regular file with a single link, not taken\n$")
    # The loop is not blocked: a good package behind them is taken and installed.
    drop(sandbox, signed_ipk(str(tmp_path / "g"), sandbox, "kvwebview", file_name="good.ipk"))
    assert wait_calls(sandbox, n, 1) == [argv_of('systemctl start "install@kvwebview"')]
    assert os.path.exists(os.path.join(watch, "hard.ipk"))
    wait_for(d.alive, 1, "daemon alive")
