"""What the scan takes, in which order, and when: names, busy files, the lock,
and the clean-up at start-up."""
import os
import re
import shutil
import stat
import subprocess
import sys
import time

import pytest

from conftest import argv_of, drop, wait_for
from intake_common import calls_after, signed_ipk, start, start_counting_passes, wait_calls, wait_passes
from packages import make_cry, make_ipk, other_key_pair, sign


def watch_files(sb):
    return sorted(f for f in os.listdir(sb.dev("/opt/kv2/swfw/")) if not f.startswith("."))


def test_names_the_scan_takes_leaves_and_refuses(sandbox, run_daemon, tmp_path):
    d, n = start(run_daemon, sandbox)
    for name in ["x.ipktmp", "noext", "y.sign64"]:
        open(sandbox.dev(f"/opt/kv2/swfw/{name}"), "w").close()
    drop(sandbox, signed_ipk(str(tmp_path / "a"), sandbox, "kvwebview", file_name="pkg.IPK"))
    assert wait_calls(sandbox, n, 1) == [argv_of('systemctl start "install@kvwebview"')]
    drop(sandbox, signed_ipk(str(tmp_path / "b"), sandbox, "kvserver", file_name="pkg2.ipk"))
    assert wait_calls(sandbox, n, 2)[1] == argv_of('systemctl start "install@kvserver"')
    assert watch_files(sandbox) == ["noext", "x.ipktmp", "y.sign64"]

    # A blacklisted name is removed, that file only, and is never embedded in a
    # command line; the drops beside it stay (a lock holds them meanwhile).
    write_lock(sandbox, f"timestamp: {int(time.time())}\n")
    drop(sandbox, signed_ipk(str(tmp_path / "c"), sandbox, "kvserver", file_name="a_keep.ipk"))
    open(sandbox.dev("/opt/kv2/swfw/old.lock"), "w").close()
    drop(sandbox, make_ipk(str(tmp_path / "d"), "kvwebview"), "bad;name$.ipk")
    d.wait_syslog(r"^Blacklisted file: bad;name\$\.ipk$")
    wait_for(lambda: "bad;name$.ipk" not in watch_files(sandbox), 10, "blacklisted file removed")
    assert watch_files(sandbox) == ["a_keep.ipk", "install.lock", "noext", "old.lock", "x.ipktmp", "y.sign64"]
    os.remove(sandbox.dev("/opt/kv2/swfw/install.lock"))
    assert wait_calls(sandbox, n, 3)[2] == argv_of('systemctl start "install@kvserver"')
    assert not any("Illegal character" in t for t in d.syslog_texts())
    assert [t for t in d.syslog_texts() if t.startswith("Blacklisted file")] == ["Blacklisted file: bad;name$.ipk"]


def test_container_sorting_last_is_taken_before_a_package(sandbox, run_daemon, tmp_path):
    container = make_cry(make_ipk(str(tmp_path / "b"), "kvserver"), str(tmp_path / "b.CRY"), "KV2_TOUCH")
    package = make_ipk(str(tmp_path / "a"), "kvwebview", file_name="a.ipk")
    d, _ = start(run_daemon, sandbox)
    drop(sandbox, container)
    drop(sandbox, package)
    d.wait_syslog(r"^Main, ipk installer found")
    texts = d.syslog_texts()
    first_cry = next(i for i, t in enumerate(texts) if t.startswith("Main, do integrity check on cryfile"))
    first_ipk = next(i for i, t in enumerate(texts) if t.startswith("Main, ipk installer found"))
    assert first_cry < first_ipk
    assert texts[first_cry].endswith("/b.CRY\n")


def test_busy_file_waits_until_released(sandbox, run_daemon, tmp_path):
    ipk = signed_ipk(str(tmp_path), sandbox, "kvwebview", file_name="busy.ipk")
    d, n = start(run_daemon, sandbox)
    path = drop(sandbox, ipk)
    busy = r"^Main,  FileReady\(\) file is busy busy\.ipk\n$"
    with open(path, "rb"):
        d.wait_syslog(busy)
        # The busy file holds up nothing beside it, and is said busy once,
        # not in every pass while it waits.
        drop(sandbox, signed_ipk(str(tmp_path / "b"), sandbox, "kvserver", file_name="a.ipk"))
        assert wait_calls(sandbox, n, 1) == [argv_of('systemctl start "install@kvserver"')]
        assert len(calls_after(sandbox, n)) == 1
    assert wait_calls(sandbox, n, 2)[1] == argv_of('systemctl start "install@kvwebview"')
    assert len([t for t in d.syslog_texts() if t == "Main,  FileReady() file is busy busy.ipk\n"]) == 1


def write_lock(sb, timestamp_line):
    with open(sb.dev("/opt/kv2/swfw/install.lock"), "w") as f:
        f.write(f"created: 2026-1-1 0:0:0\n{timestamp_line}Install file: /opt/kv2/swfw/x.ipk\n")


def test_lock_blocks_intake_until_it_expires(sandbox, run_daemon, tmp_path):
    d, n = start_counting_passes(run_daemon, sandbox)
    write_lock(sandbox, f"timestamp: {int(time.time())}\n")
    container = make_cry(make_ipk(str(tmp_path), "kvwebview"), str(tmp_path / "x.CRY"), "KV2_TOUCH")
    drop(sandbox, container)
    # The container is classified once and left while the lock exists: its
    # verdict holds until it changes, so later passes do not read it again.
    opened = "scandir_getCRYFileTypeFromHeader, opened infile successfully: x.CRY\n"
    d.wait_syslog("^" + re.escape(opened) + "$")
    wait_passes(d, 3)
    assert d.syslog_texts().count(opened) == 1
    assert not any("integrity check" in t for t in d.syslog_texts())
    assert watch_files(sandbox) == ["install.lock", "x.CRY"]

    # Written 901 seconds ago: the next pass clears the lock and every artefact.
    open(sandbox.dev("/home/root/bundle/x.sign64"), "w").close()
    open(sandbox.dev("/home/root/control"), "w").close()
    write_lock(sandbox, f"timestamp: {int(time.time()) - 901}\n")
    prio, _, _ = d.wait_syslog(r"^Main, expired lock file found cleaning up\n$")
    assert prio == 5
    wait_for(lambda: watch_files(sandbox) == [] and not os.path.exists(sandbox.dev("/home/root/control"))
             and not os.path.exists(sandbox.dev("/home/root/bundle/x.sign64")), 5, "artefacts removed")
    assert calls_after(sandbox, n) == []


def test_lock_without_timestamp_is_stale_at_once(sandbox, run_daemon):
    d, _ = start(run_daemon, sandbox)
    write_lock(sandbox, "")
    d.wait_syslog(r"^Main, expired lock file found cleaning up\n$")
    wait_for(lambda: not os.path.exists(sandbox.dev("/opt/kv2/swfw/install.lock")), 5, "lock removed")


def test_start_up_removes_artefacts_of_earlier_runs_and_nothing_else(sandbox, run_daemon):
    # Containers and packages in the watch folder are drops nobody took yet:
    # start-up leaves them to the loop, which installs or refuses them.
    # ... and a signature beside its package or container waits with it (the
    # loop may take both as soon as start-up is over).
    drops = ["/opt/kv2/swfw/a.CRY", "/opt/kv2/swfw/b.ipk", "/opt/kv2/swfw/a.sign64", "/opt/kv2/swfw/b.sign64"]
    artefacts = ["/opt/kv2/swfw/INSTALLER.IPKTMP",
                 "/opt/kv2/swfw/c.sign64", "/opt/kv2/swfw/install.lock", "/home/root/d.ipk", "/home/root/e.cry",
                 "/home/root/control.tar.gz", "/home/root/data.tar.xz", "/home/root/f.ipktmp",
                 "/home/root/g.sign64", "/home/root/control", "/home/root/debian-binary", "/home/root/postinst",
                 "/home/root/preinst", "/home/root/postrm", "/home/root/prerm", "/etc/old.lock"]
    # A signature beside nothing is an artefact.
    kept = ["/opt/kv2/swfw/notes.txt", "/opt/kv2/swfw/other.lock", "/home/root/keep.txt",
            "/home/root/bundle/app.sign64", "/etc/keep.conf"]
    for path in artefacts + kept + drops:
        open(sandbox.dev(path), "w").close()
    # Lock files of /etc that another program holds (the password tools hold
    # .pwd.lock with a record lock while they rewrite /etc/shadow) stay.
    held = {"/etc/.pwd.lock": "fcntl.lockf(f, fcntl.LOCK_EX)", "/etc/tool.lock": "fcntl.flock(f, fcntl.LOCK_EX)"}
    holders = []
    for path, how in held.items():
        holder = subprocess.Popen([sys.executable, "-c", f"import fcntl, sys, time\nf = open({sandbox.dev(path)!r}, 'w')\n"
                                   f"{how}\nprint('held', flush=True)\ntime.sleep(600)"], stdout=subprocess.PIPE, text=True)
        assert holder.stdout.readline() == "held\n"
        holders.append(holder)
    try:
        d, _ = start(run_daemon, sandbox)
    finally:
        for holder in holders:
            holder.kill()
            holder.wait()
    assert [p for p in held if not os.path.exists(sandbox.dev(p))] == []
    assert [p for p in artefacts if os.path.exists(sandbox.dev(p))] == []
    assert [p for p in kept if not os.path.exists(sandbox.dev(p))] == []
    texts = d.syslog_texts()
    start_up = texts[:next(i for i, t in enumerate(texts) if "looking for changes" in t)]
    assert [t for t in start_up if "deleting" in t and any(p in t for p in drops)] == []


def test_a_watch_folder_the_daemon_makes_is_reachable_by_its_group(sandbox, run_daemon):
    shutil.rmtree(sandbox.dev("/opt/kv2"))
    start(run_daemon, sandbox)
    modes = {p: stat.S_IMODE(os.stat(sandbox.dev(p)).st_mode) for p in ("/opt/kv2", "/opt/kv2/swfw")}
    assert modes == {"/opt/kv2": 0o755, "/opt/kv2/swfw": 0o770}


def test_a_container_created_empty_and_written_later_waits_and_installs(sandbox, run_daemon, tmp_path):
    # Upload clients create the file, then open it again to write it: until
    # its header is whole it is neither removed nor read again each pass.
    ipk = make_ipk(str(tmp_path), "kvwebview")
    sign(ipk, sandbox.dev("/home/root/bundle/up.sign64"))
    container = make_cry(ipk, str(tmp_path / "up.CRY"), "KV2_TOUCH")
    d, n = start_counting_passes(run_daemon, sandbox)
    path = sandbox.dev("/opt/kv2/swfw/up.CRY")
    with open(container, "rb") as f:
        data = f.read()
    for part in (b"", data[:20]):
        with open(path, "wb") as f:
            f.write(part)
        wait_passes(d, 2)
        assert os.path.exists(path)
    with open(path, "ab") as f:
        f.write(data[20:])
    assert wait_calls(sandbox, n, 1) == [argv_of('systemctl start "install@kvwebview"')]
    assert not any("names no FILETYPE" in t for t in d.syslog_texts())


# --- a signature dropped beside its package ------------------------------------

WATCH = "/opt/kv2/swfw/"


def fifo(path):
    os.mkfifo(path)


def oversized(path):
    with open(path, "wb") as f:
        f.write(b"A" * (64 * 1024 + 1))


# A single package or container and its signature, dropped into the watch
# folder by someone who cannot write the bundle folder (an SFTP user):
# (row, the drop's kind, the signature's arrival, what stands at the
# signature's name, whether it installs, a line the log must hold).
DROPPED_SIGNATURES = [
    ("signature after its package", "ipk", "after", "good", True, "waits up to 60 s for its signature app_2.5.sign64"),
    ("signature before its package", "ipk", "before", "good", True, "signature app_2.5.sign64 taken with app_2.5.ipk"),
    ("container and its signature", "cry", "after", "good", True, "signature app_2.5.sign64 taken with app_2.5.CRY"),
    ("signed with another key", "ipk", "before", "foreign", False, "Signature check"),
    ("no signature within the wait", "ipk", None, None, False, "signature file"),
    ("a FIFO at the signature's name", "ipk", "before", fifo, False,
     "signature app_2.5.sign64 is not a regular file with a single link, not taken"),
    ("a signature larger than any", "ipk", "before", oversized, False,
     "signature app_2.5.sign64 is larger than 65536 bytes, not taken"),
]


@pytest.mark.parametrize("row, kind, arrives, signature, installs, line", DROPPED_SIGNATURES,
                         ids=[r[0] for r in DROPPED_SIGNATURES])
def test_a_signature_dropped_beside_its_package_comes_with_it(sandbox, run_daemon, tmp_path, row, kind, arrives,
                                                              signature, installs, line):
    ipk = make_ipk(str(tmp_path), "kvtool", file_name="app_2.5.ipk")
    drop_file = ipk if kind == "ipk" else make_cry(ipk, str(tmp_path / "app_2.5.CRY"), "KV2_TOUCH")
    good = sign(ipk, str(tmp_path / "good.sign64"))
    foreign = sign(ipk, str(tmp_path / "foreign.sign64"), key=other_key_pair(str(tmp_path))[0])
    at = sandbox.dev(WATCH + "app_2.5.sign64")

    def bring_signature():
        if callable(signature):
            signature(at)
        elif signature is not None:
            drop(sandbox, {"good": good, "foreign": foreign}[signature], "app_2.5.sign64")

    # Without a signature the drop waits a short while only, so the row ends soon.
    wait = "60" if arrives else "3"
    d, n = start(run_daemon, sandbox, env={"KVUPDATER_SIGNATURE_WAIT": wait}, fastwait=True)
    if arrives == "before":
        bring_signature()
    drop(sandbox, drop_file)
    if arrives == "after":
        d.wait_syslog(r"waits up to 60 s for its signature", timeout=120)
        bring_signature()
    d.wait_syslog(re.escape(line), timeout=120)
    if installs:
        wait_for(lambda: argv_of('systemctl start "install@kvtool"') in calls_after(sandbox, n), 120, "installed")
        assert os.path.exists(sandbox.dev("/home/root/bundle/kvtool.sign64"))
    else:
        d.wait_syslog(r"road_Run, ipk road of app_2.5.ipk ended at its step verify", timeout=120)
        assert argv_of('systemctl start "install@kvtool"') not in calls_after(sandbox, n)
    # Nothing of the drop is left in the watch folder but what could not be taken.
    left = sorted(os.listdir(sandbox.dev(WATCH)))
    assert [f for f in left if f.startswith("app_2.5")] == (["app_2.5.sign64"] if callable(signature) else []), left
    assert d.alive()


def test_a_restart_keeps_a_package_and_its_signature_and_installs_them(sandbox, run_daemon, tmp_path):
    ipk = make_ipk(str(tmp_path), "kvtool", file_name="app_2.5.ipk")
    sign(ipk, sandbox.dev(WATCH + "app_2.5.sign64"))
    shutil.copyfile(ipk, sandbox.dev(WATCH + "app_2.5.ipk"))
    d, n = start(run_daemon, sandbox, env={"KVUPDATER_SIGNATURE_WAIT": "60"}, fastwait=True)
    wait_for(lambda: argv_of('systemctl start "install@kvtool"') in calls_after(sandbox, n), 120, "installed")
