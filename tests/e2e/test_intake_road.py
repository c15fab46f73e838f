"""The road of a package from the watch folder to the installer unit."""
import hashlib
import json
import os
import re

import pytest

from conftest import argv_of, drop, wait_for
from idprot_net import IdNet
from intake_common import calls_after, signed_ipk, start, update_log, wait_calls
from packages import make_cry, make_ipk, other_key_pair, sign

KV2_TOUCH_MAIN_APP = [
    'xset -display :0.0 s activate',
    'xset -display :0.0 s activate',
    'systemctl stop display-saver',
    'systemctl stop app',
    'systemctl stop kvserver',
    'systemctl stop kvwebview',
    'systemctl stop display-manager',
    'psplash -a 180 &',
    'psplash-write "MSG Preparing software update..."',
    'systemctl start "install@kv2-touch"',
]
KORVEL_R_MAIN_APP = [
    'systemctl stop app',
    'systemctl stop kvserver',
    'psplash &',
    'psplash-write "MSG Init sw update.."',
    'systemctl start "install@korvel-r"',
]


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


@pytest.mark.parametrize("platform,platform_id,expected", [
    ("kv2-touch", "KV2_TOUCH", KV2_TOUCH_MAIN_APP),
    ("korvel-r", "KORVEL_R", KORVEL_R_MAIN_APP),
])
def test_container_is_decrypted_unpacked_verified_and_installed(make_sandbox, run_daemon, tmp_path,
                                                                 platform, platform_id, expected):
    sb = make_sandbox(platform)
    ipk = make_ipk(str(tmp_path), platform, "2.4.1", file_name="app_2.4.1.ipk")
    container = make_cry(ipk, str(tmp_path / "app_2.4.1.CRY"), platform_id)
    # The decrypted package takes the container's base name; its signature waits for it.
    sign(ipk, sb.dev("/home/root/bundle/app_2.4.1.sign64"))
    d, n = start(run_daemon, sb)
    drop(sb, container)

    d.wait_syslog(r"^Main, decrypter successfully executed\n$", timeout=30)
    d.wait_syslog(r"^Main, ipk installer found", timeout=15)
    calls = wait_calls(sb, n, len(expected))
    assert calls == [argv_of(line) for line in expected]

    texts = d.syslog_texts()
    assert f"Main, unencrypted Quorvan ipk, {platform} found, start signature check\n" in texts
    assert "Signature check, Signature OK!, Continuing installation\n" in texts
    assert not os.path.exists(sb.dev("/opt/kv2/swfw/install.lock"))
    # The unit of the package's control name installed the decrypted package
    # byte for byte (and removed it); its signature was renamed after it.
    wait_for(lambda: sb.installs(), 30, "package installed")
    assert sb.installs() == [[f"install@{platform}", os.path.getsize(ipk), sha256(ipk)]]
    # The unit's job records the install, then removes the package.
    wait_for(lambda: not os.path.exists(sb.dev(f"/home/root/{platform}.ipk")), 30, "installed package removed")
    assert os.path.exists(sb.dev(f"/home/root/bundle/{platform}.sign64"))
    assert os.listdir(sb.dev("/opt/kv2/swfw/")) == [".incoming"]
    assert re.search(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d        IPK: app_2\.4\.1\.ipk, version: 2\.4\.1\n$",
                     update_log(sb))
    brightness = open(sb.dev("/sys/class/backlight/backlight/brightness")).read()
    assert brightness.startswith("8") == (platform == "korvel-r")


def test_simulation_mode_prepares_the_display_but_starts_no_unit(sandbox, run_daemon, tmp_path):
    ipk = signed_ipk(str(tmp_path), sandbox, "kv2-touch")
    d, n = start(run_daemon, sandbox, "-s")
    drop(sandbox, ipk)
    d.wait_syslog(r"^doInstall_execStartAppInstall, SIM mode done \n$", timeout=30)
    assert calls_after(sandbox, n) == [argv_of(line) for line in KV2_TOUCH_MAIN_APP[:-1]]
    assert not os.path.exists(sandbox.dev("/opt/kv2/swfw/install.lock"))


@pytest.mark.parametrize("package,tag", [("kvupdaterd", "KVUPDATER"), ("kvwebview", "IPK")])
def test_other_packages_are_installed_silently(sandbox, run_daemon, tmp_path, package, tag):
    ipk = signed_ipk(str(tmp_path), sandbox, package, version="3.1")
    d, n = start(run_daemon, sandbox)
    drop(sandbox, ipk)
    calls = wait_calls(sandbox, n, 1)
    assert calls == [argv_of(f'systemctl start "install@{package}"')]
    assert f"{tag}: {os.path.basename(ipk)}, version: 3.1\n" in update_log(sandbox)
    if package == "kvupdaterd":
        d.wait_syslog(r"^Main, unencrypted kvupdaterd ipk, kvupdaterd  found, start signature check\n$")
        assert "Signature check OK, starting installation\n" in d.syslog_texts()
    assert not os.path.exists(sandbox.dev("/opt/kv2/swfw/install.lock"))


def test_refused_packages_install_nothing_and_the_loop_goes_on(sandbox, run_daemon, tmp_path):
    other_private, _ = other_key_pair(str(tmp_path))
    bad_sig = signed_ipk(str(tmp_path / "a"), sandbox, "kv2-touch", file_name="badsig.ipk", key=other_private)
    no_sig = make_ipk(str(tmp_path / "b"), "kvwebview", file_name="nosig.ipk")
    foreign = make_cry(make_ipk(str(tmp_path / "c"), "kv2-touch"), str(tmp_path / "foreign.CRY"), "KORVEL_R")
    damaged = str(tmp_path / "damaged.CRY")
    make_cry(make_ipk(str(tmp_path / "d"), "kv2-touch"), damaged, "KV2_TOUCH")
    with open(damaged, "r+b") as f:  # the first cipher block holds the verification header
        f.seek(512)
        block = bytearray(f.read(16))
        f.seek(512)
        f.write(bytes(b ^ 0x5A for b in block))

    d, n = start(run_daemon, sandbox)
    drop(sandbox, bad_sig)
    d.wait_syslog(r"^Signature check, Bad signature!, Abort installation\n$", timeout=20)
    drop(sandbox, no_sig)
    d.wait_syslog(r"^Signature check, signature file .*/home/root/bundle/kvwebview\.sign64 not found, "
                  r"aborting installation!\n$", timeout=20)
    drop(sandbox, foreign)
    prio, _, _ = d.wait_syslog(r"^Main, integrity check on cryfile failed, cleaning up\n$", timeout=20)
    assert prio == 3
    drop(sandbox, damaged)
    prio, _, _ = d.wait_syslog(r"^Main, decryption failed:-1, cleaning up\n$", timeout=30)
    assert prio == 3
    assert "DeCrypt, Verificator failed. Abort loading \n" in d.syslog_texts()
    assert calls_after(sandbox, n) == []
    wait_for(lambda: not [f for f in os.listdir(sandbox.dev("/opt/kv2/swfw/")) if f.upper().endswith(".CRY")],
             5, "containers removed")

    good = signed_ipk(str(tmp_path / "e"), sandbox, "kvwebview", file_name="good.ipk")
    drop(sandbox, good)
    assert wait_calls(sandbox, n, 1) == [argv_of('systemctl start "install@kvwebview"')]


def test_container_of_several_read_chunks_arrives_byte_for_byte(sandbox, run_daemon, tmp_path):
    # Random data (which gzip cannot shrink) makes a package of several read
    # chunks of the decryption and the signature check, ending inside one.
    folder = tmp_path / "pkg"
    (folder / "data" / "opt" / "app").mkdir(parents=True)
    (folder / "data" / "opt" / "app" / "blob.bin").write_bytes(os.urandom(3 * 128 * 1024 + 1234))
    ipk = make_ipk(str(folder), "kvwebview", "5.0", file_name="big_5.0.ipk")
    container = make_cry(ipk, str(tmp_path / "big_5.0.CRY"), "KV2_TOUCH")
    sign(ipk, sandbox.dev("/home/root/bundle/big_5.0.sign64"))
    d, n = start(run_daemon, sandbox)
    drop(sandbox, container)
    assert wait_calls(sandbox, n, 1) == [argv_of('systemctl start "install@kvwebview"')]
    assert "Signature check, Signature OK!, Continuing installation\n" in d.syslog_texts()
    wait_for(lambda: sandbox.installs(), 30, "package installed")
    assert sandbox.installs() == [["install@kvwebview", os.path.getsize(ipk), sha256(ipk)]]


@pytest.mark.parametrize("machine_restarted", [False, True])
def test_a_killed_application_install_is_finished_at_the_next_start(sandbox, run_daemon, tmp_path,
                                                                  machine_restarted):
    ipk = signed_ipk(str(tmp_path), sandbox, "kv2-touch")
    # The road stops at its splash message, the services already stopped.
    sandbox.steer("psplash-write", hold=True)
    d, n = start(run_daemon, sandbox)
    drop(sandbox, ipk)
    wait_for(lambda: [c for c in calls_after(sandbox, n) if c[0] == "psplash-write"], 30, "splash message")
    assert ["systemctl", "stop", "app"] in calls_after(sandbox, n)
    d.kill()
    sandbox.release("psplash-write")
    if machine_restarted:
        sandbox.restart_machine()

    # The journal named the install: the next start does it again from the
    # verified package, and the installer unit brings the services back.
    n2 = len(sandbox.journal())
    d2, _ = start(run_daemon, sandbox)
    calls = calls_after(sandbox, n2)
    assert [c[2] for c in calls if c[:2] == ["systemctl", "start"]] == ["install@kv2-touch"]
    assert calls.index(["systemctl", "stop", "app"]) < calls.index(["systemctl", "start", "install@kv2-touch"])
    name = os.path.basename(ipk)
    assert f"road_Recover, ipk of {name} was cut off at its step install, going on\n" in d2.syslog_texts()
    assert update_log(sandbox).count(f"IPK: {name}, version: 1.0\n") == 1
    assert not os.path.exists(sandbox.dev("/home/root/kvupdaterd.journal"))


@pytest.mark.parametrize("machine_restarted", [False, True])
def test_a_record_of_an_earlier_version_is_read_once_and_replaced(sandbox, run_daemon, machine_restarted):
    # An earlier version kept the stopped services in a record of its own.
    record = sandbox.dev("/home/root/kvupdaterd.road")
    with open(sandbox.dev("/proc/sys/kernel/random/boot_id")) as f:
        boot = f.read().strip()
    with open(record, "w") as f:
        f.write(f"road: application install of kv2-touch\nboot: {boot}\n")
    if machine_restarted:
        sandbox.restart_machine()
    n = len(sandbox.journal())
    d, _ = start(run_daemon, sandbox)
    calls = [c for c in calls_after(sandbox, n) if c[0] in ("systemctl", "psplash-write")]
    recovered = [(prio, text) for prio, _, text in d.syslog if "was interrupted" in text]
    if machine_restarted:
        assert calls == [] and recovered == []
    else:
        assert calls == [argv_of(line) for line in [
            'systemctl restart display-saver', 'systemctl restart app', 'systemctl restart kvserver',
            'systemctl restart kvwebview', 'systemctl restart display-manager', 'psplash-write "QUIT"']]
        assert recovered == [(3, "doInstall_RecoverServiceRoad, application install of kv2-touch was interrupted: "
                                 "application services restarted, splash screen closed\n")]
    assert not os.path.exists(record)
    assert not os.path.exists(sandbox.dev("/home/root/kvupdaterd.journal"))


def test_a_failed_application_install_brings_the_application_back_and_says_so(make_sandbox, run_daemon, tmp_path):
    net = IdNet.start(make_sandbox, run_daemon, links=("eth0",), args=("-v", "3"))
    sb, d = net.sb, net.d
    try:
        d.wait_syslog("looking for changes")
        ipk = signed_ipk(str(tmp_path), sb, "kv2-touch")
        sb.steer("systemctl", subcommand="start", rc=1)
        n = len(sb.journal())
        drop(sb, ipk)
        failed = d.wait_syslog(r"^doInstall_execStartAppInstall, installer unit install@kv2-touch failed \(status 1\), "
                               r"not installed\n$", timeout=30)
        assert failed[0] == 3
        # The unit that would have brought the application back did not: the
        # daemon restarts its services and closes the splash screen.
        wait_for(lambda: ["psplash-write", "QUIT"] in calls_after(sb, n), 20, "splash screen closed")
        calls = [c for c in calls_after(sb, n) if c[0] in ("systemctl", "psplash-write")]
        start = calls.index(["systemctl", "start", "install@kv2-touch"])
        assert calls[start + 1:] == [argv_of(line) for line in [
            'systemctl restart display-saver', 'systemctl restart app', 'systemctl restart kvserver',
            'systemctl restart kvwebview', 'systemctl restart display-manager', 'psplash-write "QUIT"']]
        assert "IPK: kv2-touch, installation failed\n" in update_log(sb)
        _, answer = net.ask("eth0", b"IDUPDATESTATUS")
        state = json.loads(answer)
        assert (state["currentErrorDescription"], state["currentErrorNumber"]) == ("Package installation failed", 201)
    finally:
        net.close()
