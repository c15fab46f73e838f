#!/usr/bin/python3
"""Stand-in for a device program that must not run for real here.

Called as: standin.py NAME [ARGS...] by the wrapper the sandbox maker writes
for each program. Appends [NAME, ARGS...] as one JSON array line to the
sandbox's journal (in call order), then behaves as the sandbox's control
folder tells it (a NAME given as a path, like /home/root/sync-users.sh, is
looked up there by its last component):

  control/<NAME>-<ARG1>.hook or control/<NAME>.hook Python run first, with args (the arguments)
                                                    and root (the device root): a test plays the
                                                    attacker at the moment the program is called,
                                                    or records what the program was handed
  control/<NAME>-<ARG1>.out or control/<NAME>.out   text printed on stdout
  control/<NAME>.delay                              seconds to wait after each printed line
  control/<NAME>-<ARG1>.line.hook or ...            Python run after each printed line, with printed
                                                    (lines printed so far) besides args and root
  control/<NAME>-<ARG1>.rc or control/<NAME>.rc     exit status (default 0, or what the program's
                                                    model below decides)
  control/<NAME>-<ARG1>.hold or control/<NAME>.hold while it exists, the call waits (after its
                                                    journal line): a step that hangs until the
                                                    test removes the file
  control/<NAME>-<ARG1>.done.hook or ...            Python run once the program did its work,
                                                    before it exits, with rc besides args and root

Two programs behave as the device's do, beyond that:

mender: an install ("mender install FILE", "mender -rootfs FILE") whose output
holds "Enabling partition" leaves an update pending for the next boot (the
partition is enabled just before that line is printed). "mender commit"
succeeds only in the boot right after that install, and ends the pending
update; otherwise it reports that there is nothing to commit and exits 1. A
restart of the machine without a commit rolls the update back. The boot
counter is control/boot (Sandbox.restart_machine), the pending update
control/mender.pending (the boot of its install); each commit that succeeded
adds a line to commits.jsonl. An explicit .rc still decides the status.
An image whose first MiB holds a line "image_version=X" is recorded with
the pending update (control/mender.version); its commit writes X as
image_info's image_version (a rolled-back update leaves it as it was).

systemctl start install@PKG: the shipped oneshot installer unit. Its job
runs apart from the systemctl call (the service manager runs it: ending the
caller leaves it running) under a lock per unit; a start while the job runs
joins it and returns its result. The job installs /home/root/PKG.ipk when it
exists (one line [unit, size, sha256] in installs.jsonl) and then removes
it; a missing package makes the unit fail (status 1, nothing recorded).
control/unit.hook, when it exists, is Python the job runs first (with args =
[unit]). An explicit .rc decides the status, and a failing one leaves the
package where it is; control/unit.rc makes the job itself fail with that
status (nothing installed, the package left where it is). With
control/unit.app-revision (a plant's devices), an installed package other
than the daemon's own writes its control Version into the root's
opt/kv2/etc/appname.config as "swrevision = Rev: VERSION" (and swrevshort),
as the application's installation does on a device; without it nothing
outside the daemon's folders changes.
"""
import fcntl
import hashlib
import io
import json
import os
import re
import sys
import tarfile
import time

SANDBOX = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.join(SANDBOX, "root")
CONTROL = os.path.join(SANDBOX, "control")
UNITS = os.path.join(SANDBOX, "units")
INSTALLER_UNIT = re.compile(r"^install@([A-Za-z0-9][A-Za-z0-9.+_-]*)$")


def control(name, first, suffix):
    name = os.path.basename(name)
    for candidate in ([f"{name}-{first}{suffix}"] if first else []) + [f"{name}{suffix}"]:
        path = os.path.join(CONTROL, candidate)
        if os.path.exists(path):
            return path
    return None


def run_hook(path, **names):
    if path:
        with open(path) as f:
            code = compile(f.read(), path, "exec")
        exec(code, {"root": ROOT, "sandbox": SANDBOX, **names})


def append_line(path, value):
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, (json.dumps(value) + "\n").encode())
    finally:
        os.close(fd)


def read_int(path):
    try:
        with open(path) as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def replace_text(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def boot():
    return read_int(os.path.join(CONTROL, "boot")) or 0


def print_output(name, first, args):
    """Prints the steered output; for an install of mender, enables the
    partition right before the line that says so. False when the reader went
    away (the program then ends, as it would on SIGPIPE)."""
    out = control(name, first, ".out")
    if not out:
        return True
    delay_path = control(name, first, ".delay")
    delay = float(open(delay_path).read().strip()) if delay_path else 0.0
    line_hook = control(name, first, ".line.hook")
    installing = name == "mender" and first in ("install", "-rootfs")
    printed = 0
    with open(out, "rb") as f:
        for chunk in f:
            if installing and b"Enabling partition" in chunk:
                record_image_version(args[-1] if len(args) > 1 else "")
                replace_text(os.path.join(CONTROL, "mender.pending"), f"{boot()}\n")
            try:
                sys.stdout.buffer.write(chunk)
                sys.stdout.flush()
            except BrokenPipeError:
                return False
            printed += 1
            run_hook(line_hook, args=args, printed=printed)
            if delay:
                time.sleep(delay)
    return True


IMAGE_VERSION_LINE = re.compile(rb"^image_version=([A-Za-z0-9._+~-]{1,64})$", re.M)


def record_image_version(image):
    """Notes the version an image carries (a line "image_version=X" in its
    first MiB) as the pending update's; none when it carries none."""
    version_path = os.path.join(CONTROL, "mender.version")
    try:
        with open(image, "rb") as f:
            found = IMAGE_VERSION_LINE.search(f.read(1 << 20))
    except OSError:
        found = None
    if found:
        replace_text(version_path, found.group(1).decode() + "\n")
    elif os.path.exists(version_path):
        os.remove(version_path)


def set_config_line(path, key, value):
    """Replaces the line "KEY = ..." of an ini-like file (appended when missing)."""
    with open(path) as f:
        lines = f.read().splitlines()
    line = f"{key} = {value}" if "=" not in key else f"{key}{value}"
    done = False
    for i, old in enumerate(lines):
        if old.split("=", 1)[0].strip() == key.rstrip("="):
            lines[i], done = line, True
    if not done:
        lines.append(line)
    replace_text(path, "\n".join(lines) + "\n")


def mender_commit():
    pending = os.path.join(CONTROL, "mender.pending")
    installed = read_int(pending)
    if installed is not None and installed + 1 == boot():
        os.remove(pending)
        version_path = os.path.join(CONTROL, "mender.version")
        if os.path.exists(version_path):
            with open(version_path) as f:
                set_config_line(os.path.join(ROOT, "image_info"), "image_version=", f.read().strip())
            os.remove(version_path)
        append_line(os.path.join(SANDBOX, "commits.jsonl"), [boot()])
        return 0
    sys.stderr.write("mender commit: no update in progress, nothing to commit\n")
    return 1


def ipk_control(data):
    """The fields of an ipk's control file ({} when it has none readable)."""
    at = 8 if data.startswith(b"!<arch>\n") else len(data)
    while at + 60 <= len(data):
        name = data[at:at + 16].decode(errors="replace").strip().rstrip("/")
        try:
            size = int(data[at + 48:at + 58])
        except ValueError:
            return {}
        member = data[at + 60:at + 60 + size]
        at += 60 + size + size % 2
        if name.startswith("control.tar"):
            try:
                with tarfile.open(fileobj=io.BytesIO(member)) as tar:
                    for info in tar:
                        if info.isfile() and info.name.lstrip("./") == "control" and info.size < 65536:
                            text = tar.extractfile(info).read().decode(errors="replace")
                            return dict(line.split(": ", 1) for line in text.splitlines() if ": " in line)
            except (tarfile.TarError, OSError, EOFError):
                return {}
    return {}


def installer_job(unit, package):
    """The unit's job: ExecStart installs the package, ExecStartPost removes it."""
    run_hook(control("unit", "", ".hook"), args=[unit])
    failing = read_int(os.path.join(CONTROL, "unit.rc"))
    if failing:
        return failing
    path = os.path.join(ROOT, "home/root", package + ".ipk")
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return 1
    append_line(os.path.join(SANDBOX, "installs.jsonl"), [unit, len(data), hashlib.sha256(data).hexdigest()])
    fields = ipk_control(data)
    config = os.path.join(ROOT, "opt/kv2/etc/appname.config")
    if (fields.get("Version") and fields.get("Package") != "kvupdaterd" and os.path.exists(config)
            and os.path.exists(os.path.join(CONTROL, "unit.app-revision"))):
        set_config_line(config, "swrevision", "Rev: " + fields["Version"])
        set_config_line(config, "swrevshort", fields["Version"])
    os.remove(path)
    os.sync()
    return 0


def start_installer_unit(unit, package):
    os.makedirs(UNITS, exist_ok=True)
    lock = os.open(os.path.join(UNITS, unit + ".lock"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    result = os.path.join(UNITS, unit + ".result")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        # The unit's job runs, started by an earlier call: this start joins
        # it and returns with it.
        fcntl.flock(lock, fcntl.LOCK_EX)
        return read_int(result) or 0
    pid = os.fork()
    if pid == 0:
        # The job, in a session of its own; it holds the lock (inherited)
        # until it ends.
        rc = 1
        try:
            os.setsid()
            null = os.open(os.devnull, os.O_RDWR)
            for fd in (0, 1, 2):
                os.dup2(null, fd)
            rc = installer_job(unit, package)
            replace_text(result, f"{rc}\n")
        finally:
            os._exit(rc)
    os.close(lock)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


def main():
    name, args = sys.argv[1], sys.argv[2:]
    append_line(os.path.join(SANDBOX, "journal.jsonl"), [name] + args)

    first = args[0] if args else ""
    run_hook(control(name, first, ".hook"), args=args)
    hold = control(name, first, ".hold")
    while hold and os.path.exists(hold):
        time.sleep(0.05)
    if not print_output(name, first, args):
        return 141
    rc_path = control(name, first, ".rc")
    rc = int(open(rc_path).read().strip()) if rc_path else None
    unit = INSTALLER_UNIT.match(args[1]) if name == "systemctl" and first == "start" and len(args) == 2 else None
    if unit and (rc is None or rc == 0):
        rc = start_installer_unit(args[1], unit.group(1))
    elif name == "mender" and first == "commit" and rc is None:
        rc = mender_commit()
    rc = rc or 0
    run_hook(control(name, first, ".done.hook"), args=args, rc=rc)
    return rc


if __name__ == "__main__":
    sys.exit(main())
