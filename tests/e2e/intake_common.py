"""Shared steps of the intake tests."""
import os

from conftest import wait_for
from packages import make_ipk, sign

LOOKING = "looking for changes"


def start(run_daemon, sandbox, *args):
    d = run_daemon(sandbox, "-v", "3", *args)
    d.wait_syslog(LOOKING)
    return d, len(sandbox.journal())


def start_counting_passes(run_daemon, sandbox, *args):
    """start() with the daemon's watchdog pings read: one per finished pass."""
    d = run_daemon(sandbox, "-v", "3", *args, notify=True)
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
