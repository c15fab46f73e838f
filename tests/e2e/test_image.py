"""The OS image road: signature, image updater with progress, restart, commit."""
import json
import os

import pytest

from conftest import argv_of, drop, wait_for
from idprot_net import IdNet
from intake_common import calls_after, start
from packages import other_key_pair, sign

RESTART_STATUS = 75
UPDATER_OUTPUT = "Installing artifact...\n...   9% 512 KiB\n 45%\n100%\nEnabling partition /dev/mmcblk0p3\n"

KV2_TOUCH_DISPLAY = [
    'xset -display :0.0 s activate',
    'xset -display :0.0 s activate',
    'psplash-write "MSG OS Update! Please wait.."',
    'systemctl stop display-saver',
    'systemctl stop app',
    'systemctl stop kvserver',
    'systemctl stop kvwebview',
    'systemctl stop display-manager',
]


def image_files(sandbox, tmp_path, key=None):
    image = tmp_path / "IMAGE.CRY"
    image.write_bytes(b"mender artifact " * 4096)
    sign(str(image), sandbox.dev("/home/root/bundle/IMAGE.sign64"), **({"key": key} if key else {}))
    return str(image)


def status(net):
    _, answer = net.ask("eth0", b"IDUPDATESTATUS")
    return json.loads(answer)


def without_updater_calls(calls):
    # The updater and the version query run in pipes, and the splash program in
    # the background, beside the daemon's own commands, so their journal lines
    # may fall anywhere among them.
    return [c for c in calls if c[0] not in ("mender", "opkg", "psplash")]


def test_image_is_installed_with_progress_then_restart_and_commit(make_sandbox, run_daemon, tmp_path):
    net = IdNet.start(make_sandbox, run_daemon, links=("eth0",), args=("-v", "3"))
    sb, d = net.sb, net.d
    d.wait_syslog("looking for changes")
    try:
        sb.steer("opkg", out="Version: 3.4.0\n", subcommand="info")
        sb.steer("mender", out=UPDATER_OUTPUT, delay=1.0, subcommand="install")
        n = len(sb.journal())
        drop(sb, image_files(sb, tmp_path))

        d.wait_syslog(r"^Main, mender image found with signature ok, updating OS\.\.\.\n$", timeout=20)
        d.wait_syslog(r"^doInstall_RunMenderUpdate status: 45%$", timeout=20)
        running = status(net)
        assert running["currentActionDescription"] == "installing IMAGE.CRY"
        assert running["currentActionCode"] == 1
        assert running["totalProgress"] in (45, 100) and running["componentProgress"] in (45, 100)
        d.wait_syslog(r"^doInstall_RunMenderUpdate status: Complete$", timeout=20)
        done = status(net)
        assert (done["currentActionDescription"], done["currentActionCode"], done["totalProgress"]) == \
            ("Image installed, Rebooting", 2, 100)

        assert d.wait_exit(timeout=30) == RESTART_STATUS
        assert "Restart requested, sandbox root set: exiting with status 75 instead of restarting the machine" \
            in d.syslog_texts()
    finally:
        net.close()

    calls = calls_after(sb, n)
    watch = sb.dev("/opt/kv2/swfw/")
    assert ["opkg", "info", "mender-client"] in calls
    # The updater is handed the image where the loop took it before checking
    # its signature, out of reach of the watch folder's writers.
    assert ["mender", "install", sb.dev("/home/root/IMAGE.CRY")] in calls
    assert ["psplash", "-a", "180"] in calls
    assert without_updater_calls(calls) == [argv_of(line) for line in KV2_TOUCH_DISPLAY + [
        'psplash-write "PROGRESS 9"', 'psplash-write "PROGRESS 45"', 'psplash-write "PROGRESS 100"',
        'psplash-write "MSG Rebooting.."', 'psplash-write "MSG Rebooting.."', 'psplash-write "QUIT"']]
    assert os.path.exists(watch + "IMAGEUPDATEOK.TXT")
    work = sb.dev("/home/root/")
    assert [f for f in os.listdir(work) if f.startswith("quorvanlog") and len(f) == len("quorvanlog") + 12]
    assert os.path.exists(work + "status")
    for gone in ["/data/upperdir/var/lib/opkg/status", "/data/upperdir/usr", "/data/upperdir/bin",
                 "/data/upperdir/sbin", "/data/upperdir/var/lib/systemd/timesync"]:
        assert not os.path.exists(sb.dev(gone)), gone

    # Next start, in the boot the restart brought: the image is committed (the
    # updater's stand-in commits only there), the writable layer cleaned, the
    # users synchronised, and the daemon parks without entering its loop.
    sb.restart_machine()
    n = len(sb.journal())
    os.makedirs(sb.dev("/data/upperdir/usr/lib"))
    d2 = run_daemon(sb, "-v", "3")
    d2.wait_syslog(r"^doInstall_MenderCommit, Mender image commit completed! \n$")
    wait_for(lambda: ["/home/root/sync-users.sh"] in sb.journal(), 10, "user sync script run")
    wait_for(lambda: not os.path.exists(watch + "IMAGEUPDATEOK.TXT"), 10, "commit marker removed")
    wait_for(lambda: not os.path.exists(sb.dev("/data/upperdir/usr")), 10, "writable layer cleaned")
    assert sb.commits() == [2]
    assert [c for c in calls_after(sb, n) if c[0] in ("mender", "/home/root/sync-users.sh")] == [
        ["mender", "commit"], ["/home/root/sync-users.sh"]]
    with pytest.raises(TimeoutError):
        d2.wait_syslog("looking for changes", timeout=3)
    assert d2.alive()


def test_commit_in_simulation_mode_keeps_the_marker(sandbox, run_daemon):
    marker = sandbox.dev("/opt/kv2/swfw/IMAGEUPDATEOK.TXT")
    open(marker, "w").close()
    d, n = start(run_daemon, sandbox, "-s")
    assert "doInstall_MenderCommit, SIM mode, pretend to do mender commit\n" in d.syslog_texts()
    assert os.path.exists(marker)
    assert calls_after(sandbox, 0)[1:] == []  # only the start-up's chgrp


def test_updater_without_completion_fails_and_the_loop_goes_on(make_sandbox, run_daemon, tmp_path):
    net = IdNet.start(make_sandbox, run_daemon, links=("eth0",), args=("-v", "3"))
    sb, d = net.sb, net.d
    d.wait_syslog("looking for changes")
    try:
        sb.steer("mender", out=" 50%\n100%\n", subcommand="-rootfs")
        n = len(sb.journal())
        drop(sb, image_files(sb, tmp_path))
        prio, _, _ = d.wait_syslog(r"^\nMain, mender image update failed, cleaning up\ndelay timer is released\n$",
                                   timeout=40)
        assert prio == 3
        failed = status(net)
        assert (failed["currentErrorNumber"], failed["currentErrorDescription"]) == (200, "Image update failed")
        assert failed["currentActionDescription"] == "Image install done"
        watch = sb.dev("/opt/kv2/swfw/")
        assert os.path.exists(watch + "IMAGEUPDATEFAILED.TXT")
        wait_for(lambda: not os.path.exists(watch + "IMAGE.CRY") and not os.path.exists(sb.dev("/home/root/IMAGE.CRY")),
                 10, "image removed")
        calls = calls_after(sb, n)
        assert ["mender", "-rootfs", sb.dev("/home/root/IMAGE.CRY")] in calls
        assert without_updater_calls(calls)[-6:] == [argv_of(line) for line in [
            'psplash-write "MSG OS Update failed"', 'systemctl restart display-saver', 'systemctl restart app',
            'systemctl restart kvserver', 'systemctl restart kvwebview', 'systemctl restart display-manager']]
        assert d.alive()
    finally:
        net.close()


def test_bad_image_signature_never_starts_the_updater(sandbox, run_daemon, tmp_path):
    other_private, _ = other_key_pair(str(tmp_path))
    d, n = start(run_daemon, sandbox)
    drop(sandbox, image_files(sandbox, tmp_path, key=other_private))
    d.wait_syslog(r"^Main, image signature verification failed, aborting installation\n$", timeout=20)
    wait_for(lambda: not os.path.exists(sandbox.dev("/opt/kv2/swfw/IMAGE.CRY")), 5, "image removed")
    assert calls_after(sandbox, n) == []


def test_a_failed_commit_keeps_the_marker_and_the_next_start_commits_and_parks(sandbox, run_daemon):
    marker = sandbox.dev("/opt/kv2/swfw/IMAGEUPDATEOK.TXT")
    open(marker, "w").close()
    sandbox.steer("mender", rc=1, subcommand="commit")
    d, _ = start(run_daemon, sandbox)
    failed = [(prio, text) for prio, _, text in d.syslog if "image commit" in text]
    assert failed == [(3, "doInstall_MenderCommit, Mender image commit failed! status 1, tried again at the next "
                          "start\n")]
    assert os.path.exists(marker)
    # Nothing after a failed commit: the writable layer and the users stay as
    # they are, and the loop runs.
    assert ["/home/root/sync-users.sh"] not in sandbox.journal()
    assert os.path.exists(sandbox.dev("/data/upperdir/usr"))
    d.stop()

    sandbox.steer("mender", rc=0, subcommand="commit")
    d2 = run_daemon(sandbox, "-v", "3", notify=True, env={"WATCHDOG_USEC": "600000000"})
    d2.wait_syslog(r"^doInstall_MenderCommit, Mender image commit completed! \n$")
    # Parked, it is up for the service manager and keeps its watchdog fed.
    d2.wait_notify("^READY=1$")
    for _ in range(2):
        d2.wait_notify("^WATCHDOG=1$", start=len(d2.notifications))
    wait_for(lambda: not os.path.exists(marker), 10, "commit marker removed")
    wait_for(lambda: ["/home/root/sync-users.sh"] in sandbox.journal(), 10, "user sync script run")
    assert [c for c in sandbox.journal() if c[0] in ("mender", "/home/root/sync-users.sh")] == [
        ["mender", "commit"], ["mender", "commit"], ["/home/root/sync-users.sh"]]
    assert not any("looking for changes" in t for t in d2.syslog_texts())


def test_an_updater_that_hangs_is_ended_at_its_deadline_and_the_update_fails(sandbox, run_daemon, tmp_path):
    # One progress line, then nothing for an hour; the deadline is 4 seconds.
    sandbox.steer("mender", out=" 10%\n", delay=3600, subcommand="-rootfs")
    d = run_daemon(sandbox, "-v", "3", notify=True,
                   env={"KVUPDATER_IMAGE_DEADLINE": "4", "WATCHDOG_USEC": "60000000"})
    d.wait_syslog("looking for changes")
    n = len(sandbox.journal())
    drop(sandbox, image_files(sandbox, tmp_path))
    d.wait_syslog(r"^doInstall_RunMenderUpdate status: 10%$", timeout=30)
    prio, _, _ = d.wait_syslog(r"^doInstall_RunMenderUpdate, Mender still running after 4 seconds, ended\n$",
                               timeout=30)
    assert prio == 3
    d.wait_syslog(r"^\nMain, mender image update failed, cleaning up\ndelay timer is released\n$", timeout=30)
    watch = sandbox.dev("/opt/kv2/swfw/")
    assert os.path.exists(watch + "IMAGEUPDATEFAILED.TXT")
    assert not os.path.exists(watch + "IMAGEUPDATEOK.TXT")
    assert without_updater_calls(calls_after(sandbox, n))[-6:] == [argv_of(line) for line in [
        'psplash-write "MSG OS Update failed"', 'systemctl restart display-saver', 'systemctl restart app',
        'systemctl restart kvserver', 'systemctl restart kvwebview', 'systemctl restart display-manager']]
    # The updater and what it started are gone.
    wait_for(lambda: not [pid for pid in os.listdir("/proc") if pid.isdigit() and _runs_standin(pid, sandbox, "mender")],
             10, "updater ended")
    # The watchdog was widened to the deadline and a margin for the update,
    # then set back.
    messages = [text for _, _, text in d.notifications]
    widened = messages.index("WATCHDOG=1\nWATCHDOG_USEC=304000000")
    assert "WATCHDOG=1\nWATCHDOG_USEC=60000000" in messages[widened + 1:]
    assert d.alive()


def _runs_standin(pid, sandbox, program):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            argv = f.read().split(b"\0")
    except OSError:
        return False
    return sandbox.path.encode() in b" ".join(argv) and program.encode() in argv
