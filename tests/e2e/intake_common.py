"""Shared steps of the intake tests."""
import os
import tempfile

from conftest import wait_for
from packages import make_ipk, sign

LOOKING = "looking for changes"


def start(run_daemon, sandbox, *args, **kw):
    """The daemon started with its fixed waits shortened (no test here
    asserts a timing; fastwait=False keeps them), once its loop runs."""
    kw.setdefault("fastwait", True)
    d = run_daemon(sandbox, "-v", "3", *args, **kw)
    d.wait_syslog(LOOKING)
    return d, len(sandbox.journal())


def start_counting_passes(run_daemon, sandbox, *args, **kw):
    """start() with the daemon's watchdog pings read: one per finished pass."""
    kw.setdefault("fastwait", True)
    d = run_daemon(sandbox, "-v", "3", *args, notify=True, **kw)
    d.wait_syslog(LOOKING)
    return d, len(sandbox.journal())


def wait_passes(d, count=2, timeout=60):
    """Waits until count more passes of the polling loop have finished."""
    start = len(d.notifications)
    for i in range(count):
        d.wait_notify(r"^WATCHDOG=1$", timeout, start=start + i)


def signed_ipk(tmp, sandbox, package, file_name=None, version="1.0", key=None):
    """A package and its signature, the signature placed in the device's bundle folder
    under the package file's base name."""
    ipk = make_ipk(tmp, package, version, file_name=file_name)
    base = os.path.splitext(os.path.basename(ipk))[0]
    kw = {"key": key} if key else {}
    sign(ipk, sandbox.dev(f"/home/root/bundle/{base}.sign64"), **kw)
    return ipk


def calls_after(sandbox, start_count):
    return sandbox.journal()[start_count:]


def wait_calls(sandbox, start_count, n, timeout=40):
    return wait_for(lambda: len(calls_after(sandbox, start_count)) >= n and calls_after(sandbox, start_count),
                    timeout, f"{n} device program calls")


def update_log(sandbox):
    path = sandbox.dev("/opt/kv2/log/update.log")
    return open(path).read() if os.path.exists(path) else ""


# --- the attacker's own processes and his moves at the daemon's calls ----------

ATTACKER = 4242
TMP = tempfile.gettempdir() + "/"
ATTACKER_PROGRAM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "attacker.py")


def attacker_access(sb):
    """Lets processes of the attacker (uid ATTACKER) reach the watch folder and
    write it, as the group admin may on a device: the folders above it are
    passable by anyone, and the watch folder's group is his."""
    watch = sb.dev("/opt/kv2/swfw/").rstrip("/")
    folder = os.path.dirname(watch)
    while folder.startswith(TMP):  # the sandbox is made in a temporary folder
        os.chmod(folder, os.stat(folder).st_mode & 0o7777 | 0o001)
        folder = os.path.dirname(folder)
    os.chown(watch, 0, ATTACKER)
    os.chmod(watch, 0o770)


def open_to_attacker(folder):
    """A temporary folder whose files the attacker's processes may read (copies he made)."""
    os.makedirs(folder, exist_ok=True)
    while folder.startswith(TMP):
        os.chmod(folder, os.stat(folder).st_mode & 0o7777 | 0o005)
        folder = os.path.dirname(folder)


def install_attack_hook(attack_dir, call, body, after=False):
    """Makes <attack_dir>/<call>[.after].hook, an executable Python program of
    body that the daemon, preloaded with kvattackhook.so (run_daemon(...,
    attack_dir=attack_dir)), runs as root at that call and waits for; it gets
    the call's paths in `args` (and, after the call, its result last)."""
    os.makedirs(attack_dir, exist_ok=True)
    path = os.path.join(attack_dir, f"{call}{'.after' if after else ''}.hook")
    with open(path, "w") as f:
        f.write("#!/usr/bin/python3\nimport os, sys\nargs = sys.argv[1:]\n" + body)
    os.chmod(path, 0o755)
    return path
