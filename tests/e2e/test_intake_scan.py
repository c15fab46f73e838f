"""What the scan takes, in which order, and when: names, busy files, the lock,
and the clean-up at start-up."""
import os
import time

from conftest import argv_of, drop, wait_for
from intake_common import calls_after, signed_ipk, start, wait_calls
from packages import make_cry, make_ipk


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
    with open(path, "rb"):
        d.wait_syslog(r"^Main,  FileReady\(\) file is busy busy\.ipk\n$")
        busy_seen = len(d.syslog)
        d.wait_syslog(r"^Main,  FileReady\(\) file is busy busy\.ipk\n$", start=busy_seen)
        assert not any(t.startswith("Main, ipk installer found") for t in d.syslog_texts())
    assert wait_calls(sandbox, n, 1) == [argv_of('systemctl start "install@kvwebview"')]


def write_lock(sb, timestamp_line):
    with open(sb.dev("/opt/kv2/swfw/install.lock"), "w") as f:
        f.write(f"created: 2026-1-1 0:0:0\n{timestamp_line}Install file: /opt/kv2/swfw/x.ipk\n")


def test_lock_blocks_intake_until_it_expires(sandbox, run_daemon, tmp_path):
    d, n = start(run_daemon, sandbox)
    write_lock(sandbox, f"timestamp: {int(time.time())}\n")
    container = make_cry(make_ipk(str(tmp_path), "kvwebview"), str(tmp_path / "x.CRY"), "KV2_TOUCH")
    drop(sandbox, container)
    # Each pass classifies the container again but leaves it while the lock exists.
    opened = r"^scandir_getCRYFileTypeFromHeader, opened infile successfully: x\.CRY\n$"
    d.wait_syslog(opened)
    d.wait_syslog(opened, start=len(d.syslog))
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
    artefacts = ["/opt/kv2/swfw/a.CRY", "/opt/kv2/swfw/b.ipk", "/opt/kv2/swfw/INSTALLER.IPKTMP",
                 "/opt/kv2/swfw/c.sign64", "/opt/kv2/swfw/install.lock", "/home/root/d.ipk", "/home/root/e.cry",
                 "/home/root/control.tar.gz", "/home/root/data.tar.xz", "/home/root/f.ipktmp",
                 "/home/root/g.sign64", "/home/root/control", "/home/root/debian-binary", "/home/root/postinst",
                 "/home/root/preinst", "/home/root/postrm", "/home/root/prerm", "/etc/old.lock"]
    kept = ["/opt/kv2/swfw/notes.txt", "/opt/kv2/swfw/other.lock", "/home/root/keep.txt",
            "/home/root/bundle/app.sign64", "/etc/keep.conf"]
    for path in artefacts + kept:
        open(sandbox.dev(path), "w").close()
    start(run_daemon, sandbox)
    assert [p for p in artefacts if os.path.exists(sandbox.dev(p))] == []
    assert [p for p in kept if not os.path.exists(sandbox.dev(p))] == []
