"""The cross-built daemon under the emulator, in a sandbox device and its own
network namespace: a container made by the packaging tool taken from the drop
to the installer unit, an identification request answered, and the daemon's
own package (made by the build's packaging rule) installed silently."""
import hashlib
import os
import re
import shutil
import subprocess

from conftest import EMULATED_DAEMON, KVPACK, emulated
from idprot_net import IdNet, identification
from kvsandbox import wait_for
from packages import PUBLIC_KEY, make_cry, make_ipk, sign
from test_idprot_answers import KEYS, expected_document

KV2_TOUCH_MAIN_APP = [
    ["xset", "-display", ":0.0", "s", "activate"],
    ["xset", "-display", ":0.0", "s", "activate"],
    ["systemctl", "stop", "display-saver"],
    ["systemctl", "stop", "app"],
    ["systemctl", "stop", "kvserver"],
    ["systemctl", "stop", "kvwebview"],
    ["systemctl", "stop", "display-manager"],
    ["psplash", "-a", "180"],
    ["psplash-write", "MSG Preparing software update..."],
    ["systemctl", "start", "install@kv2-touch"],
]
# The emulated daemon is several times slower than a native one.
SLOW = 90


def drop(sandbox, source, name=None):
    """Places a file into the watch folder in one step (copy beside it, then rename)."""
    name = name or os.path.basename(source)
    watch = sandbox.dev("/opt/kv2/swfw/")
    staging = os.path.join(watch, ".incoming")
    os.makedirs(staging, exist_ok=True)
    shutil.copyfile(source, os.path.join(staging, name))
    os.rename(os.path.join(staging, name), os.path.join(watch, name))


def wait_journal(sandbox, start, count, timeout=SLOW):
    import time
    deadline = time.monotonic() + timeout
    while True:
        calls = sandbox.journal()[start:]
        if len(calls) >= count:
            return calls
        assert time.monotonic() < deadline, f"{count} device program calls expected, got {calls}"
        time.sleep(0.1)


def update_log(sandbox):
    path = sandbox.dev("/opt/kv2/log/update.log")
    return open(path).read() if os.path.exists(path) else ""


def start(run_daemon, sandbox):
    d = run_daemon(sandbox, "-v", "3")
    d.wait_syslog("looking for changes", timeout=SLOW)
    return d, len(sandbox.journal())


def test_runs_as_an_arm_program(make_sandbox, run_daemon):
    # uname under the emulator reports the emulated machine; the daemon's own
    # version line is printed by the ARM program.
    r = subprocess.run([EMULATED_DAEMON, "--version"], capture_output=True, text=True, timeout=SLOW)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("kvupdaterd, ")
    assert subprocess.run([emulated("/bin/true")], capture_output=True).returncode != 0, \
        "the emulator ran a program of this machine: it is not an ARM emulator"


def test_container_from_drop_to_installer_unit(make_sandbox, run_daemon, tmp_path):
    sb = make_sandbox("kv2-touch")
    ipk = make_ipk(str(tmp_path), "kv2-touch", "2.4.1", file_name="app_2.4.1.ipk")
    container = make_cry(ipk, str(tmp_path / "app_2.4.1.CRY"), "KV2_TOUCH")
    sign(ipk, sb.dev("/home/root/bundle/app_2.4.1.sign64"))
    d, n = start(run_daemon, sb)
    drop(sb, container)

    d.wait_syslog(r"^Main, decrypter successfully executed\n$", timeout=SLOW)
    assert wait_journal(sb, n, len(KV2_TOUCH_MAIN_APP)) == KV2_TOUCH_MAIN_APP
    texts = d.syslog_texts()
    assert "Signature check, Signature OK!, Continuing installation\n" in texts
    # The installer unit installed the package that was checked, byte for byte.
    with open(ipk, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    wait_for(sb.installs, SLOW, "the installer unit's record")
    assert [(unit, sha) for unit, _, sha in sb.installs()] == [("install@kv2-touch", digest)]
    assert not os.path.exists(sb.dev("/opt/kv2/swfw/install.lock"))
    assert re.search(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d +IPK: app_2\.4\.1\.ipk, version: 2\.4\.1\n$",
                     update_log(sb))


def test_identification_request_answered(make_sandbox, run_daemon):
    net = IdNet.start(make_sandbox, run_daemon, links=("eth0",))
    try:
        source, answer = net.ask("eth0", b"IDREQ\0", wait=10.0)
    finally:
        net.close()
    assert source[1] == 20034
    pairs = identification(answer)
    assert [k for k, _ in pairs] == KEYS
    doc = dict(pairs)
    for i in range(1, 5):
        doc.pop(f"current_address{i}v6")
    expected = expected_document(net, "eth0")
    expected["machine"] = "armv7l"  # what uname says to the ARM program
    assert doc == expected


def test_own_package_goes_the_silent_road(make_sandbox, run_daemon, tmp_path):
    ipk = os.environ["KV_DAEMON_IPK"]
    signature = os.environ["KV_DAEMON_SIGN64"]
    name = os.path.basename(ipk)
    version = name.split("_")[1]

    inspected = subprocess.run([emulated(KVPACK), "inspect", "--platform", "KV2_TOUCH", "--public-key", PUBLIC_KEY,
                                "--signature", signature, ipk], capture_output=True, text=True, timeout=SLOW)
    assert inspected.returncode == 0, inspected.stdout + inspected.stderr
    assert inspected.stdout.splitlines()[-1] == "ACCEPTED"

    sb = make_sandbox("kv2-touch")
    shutil.copyfile(signature, sb.dev(f"/home/root/bundle/{os.path.splitext(name)[0]}.sign64"))
    d, n = start(run_daemon, sb)
    drop(sb, ipk)

    d.wait_syslog(r"^Main, unencrypted kvupdaterd ipk, kvupdaterd  found, start signature check\n$", timeout=SLOW)
    d.wait_syslog(r"^Signature check OK, starting installation\n$", timeout=SLOW)
    assert wait_journal(sb, n, 1) == [["systemctl", "start", "install@kvupdaterd"]]
    assert re.search(rf"^\d{{4}}-\d\d-\d\d \d\d:\d\d:\d\d +KVUPDATER: {re.escape(name)}, version: "
                     rf"{re.escape(version)}\n$", update_log(sb))
    # Silent: nothing for the display, no service stopped.
    assert not any(call[0] in ("xset", "psplash", "psplash-write") for call in sb.journal()[n:])
    # The installer unit installed the package that was checked, byte for byte.
    with open(ipk, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    wait_for(sb.installs, SLOW, "the installer unit's record")
    assert [(unit, sha) for unit, _, sha in sb.installs()] == [("install@kvupdaterd", digest)]
