"""The daemon and its shipped units under a real systemd, in a container per
test: readiness, the installer unit, the watchdog, kills and restarts during
an install, the self-update, the image road across a restart, the failure
path of an application install, and the hardened units."""
import hashlib
import json
import os
import re

import pytest

from container import APPLICATION_UNITS, wait_for
from packages import make_bundle, make_ipk, sign

SWFW = "/opt/kv2/swfw"
UNIT = "kvupdaterd.service"
# The daemon's unit at 6.0 or lower; the installer unit below the 9.6 of a unit with no sandboxing.
EXPOSURE_GOAL = {"kvupdaterd.service": 6.0, "install@kvtest.service": 9.5}


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def signed_ipk(tmp_path, package, version="1.0"):
    ipk = make_ipk(str(tmp_path / package), package, version, file_name=f"{package}_{version}.ipk")
    return ipk, sign(ipk, ipk[:-4] + ".sign64")


def drop(c, ipk, sign64=None):
    """An SFTP drop: the signature into the bundle folder, the package into
    the watch folder, as the technician's account."""
    name = os.path.basename(ipk)
    if sign64:
        c.copy_in(sign64, f"/home/root/bundle/{name[:-4]}.sign64")
    c.copy_in(ipk, f"{SWFW}/{name}", owner="tech:admin")


def watchdog_usec(c):
    """The daemon's watchdog interval in force (a widening included)."""
    out = c.sh("busctl get-property org.freedesktop.systemd1 /org/freedesktop/systemd1/unit/kvupdaterd_2eservice "
               "org.freedesktop.systemd1.Service WatchdogUSec").stdout.split()
    return int(out[1])


def main_pid(c):
    return int(c.show(UNIT, "MainPID") or 0)


def wait_active(c, other_than=0, timeout=120):
    """Waits until the daemon is active (it said READY=1) with a main process
    other than other_than; returns its pid."""
    def ready():
        pid = main_pid(c)
        return pid if c.show(UNIT, "ActiveState") == "active" and pid not in (0, other_than) else None
    return wait_for(ready, timeout, "daemon active")


def wait_unit_done(c, unit, timeout=120):
    """Waits until a oneshot unit's run ended (the service manager says so in
    the journal; the unit itself may be unloaded by then); returns its result:
    "success" or what the failure line names."""
    def done():
        journal = c.journal(unit)
        if f"Finished {unit}" in journal:
            return "success"
        m = re.search(rf"^{re.escape(unit)}: Failed with result '([^']+)'", journal, re.M)
        return m.group(1) if m else None
    return wait_for(done, timeout, f"{unit} done")


def wait_unit_running(c, unit, timeout=120):
    wait_for(lambda: c.show(unit, "ActiveState") == "activating", timeout, f"{unit} running")


def assert_settled(c, installed):
    """Each package installed exactly once with its signed bytes, nothing
    failed, no package left in the work folder."""
    wait_for(lambda: sorted(c.installs()) == sorted(installed) or len(c.installs()) > len(installed), 120,
             "installs")
    assert sorted(c.installs()) == sorted(installed)
    # The installer records its install while its unit still runs; the daemon
    # removes the package only once the unit has ended, so that is waited for.
    wait_for(lambda: not c.sh("ls /home/root/*.ipk", check=False).stdout.strip(), 60,
             "no package left in the work folder")
    assert c.sh("systemctl --failed --no-legend --plain", check=False).stdout.strip() == ""


def test_ready_and_a_drop_installed_once_told_by_the_journal(machine, tmp_path):
    c = machine().boot()
    wait_active(c)
    assert c.show(UNIT, "Type") == "notify"
    ipk, sig = signed_ipk(tmp_path, "kvwebview")
    drop(c, ipk, sig)
    assert wait_unit_done(c, "install@kvwebview.service") == "success"
    assert_settled(c, [("kvwebview", sha256(ipk))])
    # The shipped unit's verbosity tells the drop's story in the journal.
    journal = c.journal(UNIT)
    for line in (r"^Verbose output level 2$", r"ipk, kvwebview found", r"Signature OK",
                 r"Start Package Install silently.*install@kvwebview"):
        assert re.search(line, journal, re.M), f"/{line}/ missing from the journal:\n{journal}"


def test_stuck_daemon_is_restarted_by_the_watchdog_and_a_drop_made_meanwhile_installs(machine, tmp_path):
    c = machine(dropins={"watchdog": "[Service]\nWatchdogSec=5s\nRestartSec=1\n"}).boot()
    first = wait_active(c)
    c.sh(f"kill -STOP {first}")
    ipk, sig = signed_ipk(tmp_path, "kvserver")
    drop(c, ipk, sig)
    wait_active(c, other_than=first)
    assert int(c.show(UNIT, "NRestarts")) >= 1
    assert wait_unit_done(c, "install@kvserver.service") == "success"
    assert_settled(c, [("kvserver", sha256(ipk))])


@pytest.mark.parametrize("how", ["kill -9", "systemctl restart", "systemctl stop"])
def test_daemon_ended_during_an_install_leaves_the_package_to_its_unit(machine, tmp_path, how):
    """A kill, a restart and a stop while install@ still reads the package:
    the unit installs it once, and a drop waiting beside it installs too."""
    c = machine().boot()
    pid = wait_active(c)
    ipk, sig = signed_ipk(tmp_path, "kvserver")
    other, other_sig = signed_ipk(tmp_path, "kvwebview")
    drop(c, ipk, sig)
    wait_unit_running(c, "install@kvserver.service")
    drop(c, other, other_sig)
    if how == "kill -9":
        c.sh(f"kill -KILL {pid}")
    elif how == "systemctl restart":
        c.sh(f"systemctl restart {UNIT}", timeout=120)
    else:
        c.sh(f"systemctl stop {UNIT}", timeout=120)
        assert c.show(UNIT, "ActiveState") == "inactive"
        c.sh(f"systemctl start {UNIT}", timeout=120)
    wait_active(c, other_than=pid)
    assert wait_unit_done(c, "install@kvserver.service") == "success"
    assert wait_unit_done(c, "install@kvwebview.service") == "success"
    assert_settled(c, [("kvserver", sha256(ipk)), ("kvwebview", sha256(other))])


def test_drop_present_at_boot_installs(machine, tmp_path):
    ipk, sig = signed_ipk(tmp_path, "kvwebview")
    c = machine()
    c.put_file(f"{SWFW}/kvwebview_1.0.ipk", ipk, 0o644)
    c.put_file("/home/root/bundle/kvwebview_1.0.sign64", sig, 0o644)
    c.boot()
    assert wait_unit_done(c, "install@kvwebview.service") == "success"
    assert_settled(c, [("kvwebview", sha256(ipk))])


@pytest.mark.parametrize("in_bundle", [False, True])
def test_self_update_restarts_the_daemon_without_deadlock(machine, tmp_path, daemon_package, in_bundle):
    own, own_sig = daemon_package
    c = machine().boot()
    first = wait_active(c)
    expected = [("kvupdaterd", sha256(own))]
    if in_bundle:
        app = make_ipk(str(tmp_path / "app"), "kvwebview", "2.0", file_name="kvwebview_2.0.ipk")
        bundle = make_bundle(str(tmp_path), [
            {"path": own, "packageName": "kvupdaterd", "swRev": "9.9", "platformName": "all"},
            {"path": app, "packageName": "kvwebview", "swRev": "2.0", "platformName": "all",
             "fileType": "APP-IPK"},
        ], str(tmp_path / "update_1.CRY"))
        c.copy_in(bundle, f"{SWFW}/update_1.CRY", owner="tech:admin")
        expected.append(("kvwebview", sha256(app)))
    else:
        drop(c, own, own_sig)
    assert wait_unit_done(c, "install@kvupdaterd.service", timeout=180) == "success"
    wait_active(c, other_than=first)
    assert_settled(c, expected)
    # The daemon that runs now is the package's (stripped) program.
    assert c.sh(f"cmp /proc/{main_pid(c)}/exe /usr/sbin/kvupdaterd", check=False).returncode == 0
    assert c.sh("sha256sum /usr/sbin/kvupdaterd").stdout.split()[0] != sha256(c.daemon)


def test_image_road_widens_the_watchdog_and_commits_at_the_next_boot(machine, tmp_path):
    # systemd-nspawn gives each boot of the container its boot id by mounting
    # a file over the kernel's; the namespace of ProtectControlGroups= does
    # not keep that mount inside a container, so the daemon would read the
    # host's boot id, the same in every boot. On the device the kernel's own
    # file is read, so the setting stays in the shipped unit.
    c = machine(dropins={"watchdog": "[Service]\nWatchdogSec=5s\n",
                         "bootid": "[Service]\nProtectControlGroups=no\n"}).boot()
    wait_active(c)
    c.sh("touch /etc/kvtest/mender.hold")
    image = tmp_path / "IMAGE.CRY"
    image.write_bytes(b"mender artifact " * 4096)
    c.copy_in(sign(str(image), str(tmp_path / "IMAGE.sign64")), "/home/root/bundle/IMAGE.sign64")
    c.copy_in(str(image), f"{SWFW}/IMAGE.CRY", owner="tech:admin")
    # While the updater runs, the watchdog is widened far beyond the unit's 5 s.
    wait_for(lambda: watchdog_usec(c) > 60 * 1000000, 120, "watchdog widened")
    c.sh("rm /etc/kvtest/mender.hold")
    # The daemon restarts the machine; the next boot commits the new image.
    c.wait_restart(timeout=180)
    wait_for(lambda: c.read("/var/lib/kvtest/commits"), 120, "image committed")
    commits = c.read("/var/lib/kvtest/commits").split()
    assert commits == [c.read("/proc/sys/kernel/random/boot_id").strip()]
    wait_for(lambda: c.read("/var/lib/kvtest/sync-users"), 60, "user sync script run")
    assert c.show(UNIT, "NRestarts") == "0"
    assert c.sh("systemctl --failed --no-legend --plain", check=False).stdout.strip() == ""


def test_failed_application_install_brings_the_application_back(machine, tmp_path):
    c = machine()
    c.put("/etc/kvtest/opkg-fail-kv2-touch", "")
    c.boot()
    wait_active(c)
    ipk, sig = signed_ipk(tmp_path, "kv2-touch", "2.0")
    drop(c, ipk, sig)
    assert wait_unit_done(c, "install@kv2-touch.service") != "success"
    wait_for(lambda: all(c.show(f"{u}.service", "ActiveState") == "active" for u in APPLICATION_UNITS), 120,
             "application services back")
    wait_for(lambda: c.read("/run/kvtest/splash.log") and not c.exists("/run/kvtest/splash"), 60, "splash closed")
    # An error line of the daemon's or of the unit's own (the service
    # manager's "Failed to start" line does not count).
    errors = [json.loads(line) for line in c.sh("journalctl -b --no-pager -o json -p err",
                                                check=False).stdout.splitlines() if line.strip()]
    told = [e.get("MESSAGE") for e in errors if e.get("_PID") != "1" and "kv2-touch" in str(e.get("MESSAGE"))]
    assert told, errors
    assert c.installs() == []


def test_etc_lock_held_by_another_process_is_kept(machine):
    c = machine().boot()
    first = wait_active(c)
    c.sh("touch /etc/stale.LOCK")
    holder = c.spawn("exec python3 -c 'import fcntl,sys; f=open(\"/etc/.pwd.lock\",\"a\"); "
                     "fcntl.lockf(f, fcntl.LOCK_EX); print(\"held\", flush=True); sys.stdin.read()' < /dev/zero")
    try:
        assert holder.stdout.readline().strip() == "held"
        c.sh(f"systemctl restart {UNIT}", timeout=120)
        wait_active(c, other_than=first)
        wait_for(lambda: not c.exists("/etc/stale.LOCK"), 60, "unheld lock removed")
        assert c.exists("/etc/.pwd.lock")
    finally:
        holder.kill()
        holder.wait()


def test_daemon_made_watch_folder_is_usable_by_the_technician(machine, tmp_path):
    c = machine(with_opt=False).boot()
    wait_active(c)
    ipk, sig = signed_ipk(tmp_path, "kvwebview")
    c.copy_in(sig, "/home/root/bundle/kvwebview_1.0.sign64")
    c.copy_in(ipk, "/tmp/kvwebview_1.0.ipk", owner="tech:admin")
    c.sh(f"cp /tmp/kvwebview_1.0.ipk {SWFW}/", user="tech")
    assert wait_unit_done(c, "install@kvwebview.service") == "success"
    assert_settled(c, [("kvwebview", sha256(ipk))])


def test_exposure_of_the_units(machine):
    c = machine().boot()
    wait_active(c)
    # Every setting of the shipped units is one this systemd knows.
    verify = c.sh("systemd-analyze verify kvupdaterd.service install@kvtest.service", check=False)
    assert not re.search(r"Unknown|unknown|[Ff]ailed|[Ii]nvalid", verify.stdout + verify.stderr), verify.stderr
    for unit, goal in EXPOSURE_GOAL.items():
        out = c.sh(f"systemd-analyze security --no-pager {unit}", check=False).stdout
        score = float(re.search(r"Overall exposure level for \S+: ([\d.]+)", out).group(1))
        print(f"exposure of {unit}: {score} (goal {goal} or lower)")
        assert score <= goal, out
