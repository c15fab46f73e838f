"""The watch folder's attacker against the real daemon.

The attacker may create, rename, replace, link and remove entries in the watch
folder at any moment (the folder is writable by the group admin and has no
sticky bit, so root's files there too), and crafts containers, packages and
bundles, but holds no signing key. Entries he makes are owned by ATTACKER.
Each test plays the attacks of one or more classes and then checks the
outcome: nothing outside the three folders changed, no privileged file exists,
no process was signalled, the image updater and the installer were handed
only verified bytes, and the loop goes on (an honest drop after the attacks
installs). Races between a check and a use are driven through the stand-ins'
hooks: a stand-in called between them does the attacker's move.
"""
import gzip
import hashlib
import io
import json
import os
import re
import stat
import struct
import subprocess
import tarfile
import time

import pytest

from conftest import argv_of, drop, wait_for
from intake_common import calls_after, signed_ipk, start, start_counting_passes, update_log, wait_calls, wait_passes
from packages import (KEYS, KVPACK, PUBLIC_KEY, make_bundle, make_cry, make_hostile_ipk, make_ipk, make_raw_ipk,
                      other_key_pair, sign)

ATTACKER = 4242
WATCH = "/opt/kv2/swfw/"
FAILING_UPDATER = " 50%\n"  # never "Enabling partition": the update fails and the loop goes on


# --- the attacker's moves ------------------------------------------------------

def as_attacker():
    os.setgid(ATTACKER)
    os.setuid(ATTACKER)


def attacker_put(sb, name, data=b"", mode=0o644):
    """An entry of the attacker's in the watch folder, placed in one step."""
    watch = sb.dev(WATCH)
    staging = os.path.join(watch, ".incoming")
    os.makedirs(staging, exist_ok=True)
    tmp = os.path.join(staging, name)
    with open(tmp, "wb") as f:
        f.write(data)
    os.chown(tmp, ATTACKER, ATTACKER)
    os.chmod(tmp, mode)
    os.rename(tmp, os.path.join(watch, name))
    return os.path.join(watch, name)


def attacker_make(path, make):
    """make(path) creates a FIFO, link or folder; it then belongs to the attacker."""
    make(path)
    os.lchown(path, ATTACKER, ATTACKER)
    return path


def holder(path):
    """A process of the attacker's that holds path open until it is ended."""
    with open(path, "rb") as f:
        return subprocess.Popen(["sleep", "600"], stdin=f, preexec_fn=as_attacker)


# Python a stand-in runs when it is called (see tests/sandbox/standin.py).
PUT_IN_WATCH_FOLDER = """
import os
watch = os.path.join(root, "opt/kv2/swfw/")
os.makedirs(watch + ".incoming", exist_ok=True)
with open(watch + ".incoming/{name}", "wb") as f:
    f.write({data!r})
os.chown(watch + ".incoming/{name}", 4242, 4242)
os.rename(watch + ".incoming/{name}", watch + "{name}")
"""
RECORD_HANDED = """
import hashlib, os
path = {path}
with open(os.path.join(sandbox, "control", "{record}"), "a") as f:
    f.write(os.path.basename(path) + " " + hashlib.sha256(open(path, "rb").read()).hexdigest() + "\\n")
"""


def handed(sb, record):
    path = os.path.join(sb.control_dir, record)
    return open(path).read().splitlines() if os.path.exists(path) else []


def sha256(path):
    return hashlib.sha256(open(path, "rb").read()).hexdigest()


# --- the outcome ---------------------------------------------------------------

def in_three_folders(rel):
    """Entries of the watch, work and bundle folders, which the daemon changes;
    the key folder and the user sync script in the work folder are not among them."""
    parts = rel.split("/")
    if rel.startswith("opt/kv2/swfw/") or rel.startswith("home/root/bundle/"):
        return True
    return rel.startswith("home/root/") and len(parts) >= 3 and parts[2] not in (".sign", "sync-users.sh",
                                                                                   "bundle")


def device_state(sb, keep=lambda rel: True):
    state = {}
    for dirpath, dirnames, filenames in os.walk(sb.root):
        rel_dir = os.path.relpath(dirpath, sb.root)
        for name in dirnames + filenames:
            rel = os.path.normpath(os.path.join(rel_dir, name))
            if not keep(rel):
                continue
            st = os.lstat(os.path.join(dirpath, name))
            entry = (stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid)
            if stat.S_ISREG(st.st_mode):
                entry += (sha256(os.path.join(dirpath, name)),)
            elif stat.S_ISLNK(st.st_mode):
                entry += (os.readlink(os.path.join(dirpath, name)),)
            state[rel] = entry
        dirnames[:] = [n for n in dirnames if keep(os.path.normpath(os.path.join(rel_dir, n)))]
    return state


def privileged(sb):
    """Set-user-ID or set-group-ID files of root, and device nodes, anywhere in the device."""
    found = []
    for rel, (kind, mode, uid, _gid, *_rest) in device_state(sb).items():
        if stat.S_ISCHR(kind) or stat.S_ISBLK(kind) or (uid == 0 and mode & (stat.S_ISUID | stat.S_ISGID)):
            found.append(rel)
    return found


class Outcome:
    """Records the device outside the three folders and starts a process of the
    attacker's as a witness; check() compares after the attacks."""

    def __init__(self, sb):
        self.sb = sb
        self.before = device_state(sb, lambda rel: not in_three_folders(rel))
        self.witness = holder(sb.dev("/var/log/quorvanlog"))

    def check(self, changing=("opt/kv2/log/",)):
        assert self.witness.poll() is None, "a process was signalled"
        after = device_state(self.sb, lambda rel: not in_three_folders(rel))
        changed = sorted(rel for rel in set(self.before) | set(after)
                         if self.before.get(rel) != after.get(rel) and not rel.startswith(changing))
        assert changed == [], "changed outside the three folders"
        assert privileged(self.sb) == []

    def close(self):
        self.witness.kill()
        self.witness.wait()


@pytest.fixture
def outcome():
    made = []

    def make(sb):
        made.append(Outcome(sb))
        return made[-1]

    yield make
    for o in made:
        o.close()


def honest_drop_installs(d, sb, n, tmp, package="kvtool"):
    """The loop goes on: a signed package dropped now is installed."""
    drop(sb, signed_ipk(str(tmp / f"honest-{package}"), sb, package, file_name=f"honest_{package}.ipk"))
    wait_for(lambda: argv_of(f'systemctl start "install@{package}"') in calls_after(sb, n), 60,
             f"{package} installed")


def lines(d, text):
    return [t for t in d.syslog_texts() if t == text]


def tar_of(members):
    """A tar of (name, bytes, type, mode, uid) members."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for name, data, kind, mode, uid in members:
            info = tarfile.TarInfo(name)
            info.type, info.mode, info.uid, info.gid = kind, mode, uid, uid
            if kind == tarfile.CHRTYPE:
                info.devmajor, info.devminor = 1, 3
            info.size = len(data) if kind == tarfile.REGTYPE else 0
            tar.addfile(info, io.BytesIO(data) if kind == tarfile.REGTYPE else None)
    return buf.getvalue()


def raw_bundle(out, members):
    head = b"HEADERLENGTH: 512\r\nFILETYPE: UPDATE\r\n\r\n"
    with open(out, "wb") as f:
        f.write(head + b"\0" * (512 - len(head)) + tar_of(members))
    return out


# --- class 1 and class 7: checked bytes are used bytes; honest drops stay ------

def test_the_updater_and_the_installer_get_the_checked_bytes_and_drops_beside_a_handled_file_stay(
        sandbox, run_daemon, tmp_path, outcome):
    t = str(tmp_path)
    image = tmp_path / "IMAGE.CRY"
    image.write_bytes(b"mender artifact " * 4096)
    sign(str(image), sandbox.dev("/home/root/bundle/IMAGE.sign64"))
    own = signed_ipk(os.path.join(t, "own"), sandbox, "kvupdaterd", file_name="kvupdaterd_1.1.ipk")
    app = signed_ipk(os.path.join(t, "app"), sandbox, "kv2-touch", file_name="app.ipk")
    foreign = make_cry(make_ipk(os.path.join(t, "f"), "kvserver"), os.path.join(t, "zz_foreign.CRY"), "KORVEL_R")
    # Between each check and its use a stand-in is called; there the attacker
    # puts his own bytes at the name the file had in the watch folder.
    sandbox.steer("opkg", out="Version: 3.4.0\n", subcommand="info",
                  hook=PUT_IN_WATCH_FOLDER.format(name="IMAGE.CRY", data=b"evil image " * 100))
    sandbox.steer("xset", hook=PUT_IN_WATCH_FOLDER.format(name="app.ipk", data=b"evil package"))
    sandbox.steer("mender", out=FAILING_UPDATER, subcommand="install",
                  hook=RECORD_HANDED.format(path="args[-1]", record="updater"))
    sandbox.steer("systemctl", subcommand="start", hook=RECORD_HANDED.format(
        path='os.path.join(root, "home/root", args[1][len("install@"):] + ".ipk")', record="installer"))
    o = outcome(sandbox)
    d, n = start(run_daemon, sandbox)

    # All four wait under a lock of root's, then are taken one per pass: the
    # foreign container fails its integrity check first, then the daemon's
    # own package is installed; neither takes the image or the other package
    # with it.
    lock = sandbox.dev(WATCH + "install.lock")
    with open(lock, "w") as f:
        f.write(f"created: x\ntimestamp: {int(time.time())}\nInstall file: x\n")
    for path in (str(image), own, app, foreign):
        drop(sandbox, path)
    os.remove(lock)

    d.wait_syslog(r"^Main, integrity check on cryfile failed, cleaning up\n$", timeout=30)
    d.wait_syslog(r"^\nMain, mender image update failed, cleaning up\ndelay timer is released\n$", timeout=90)
    d.wait_syslog(r"^Main, image signature verification failed, aborting installation\n$", timeout=30)
    honest_drop_installs(d, sandbox, n, tmp_path)

    calls = calls_after(sandbox, n)
    units = [c[2] for c in calls if c[:2] == ["systemctl", "start"]]
    assert units[:2] == ["install@kvupdaterd", "install@kv2-touch"]
    assert [c for c in calls if c[0] == "mender"] == [["mender", "install", sandbox.dev("/home/root/IMAGE.CRY")]]
    assert handed(sandbox, "updater") == [f"IMAGE.CRY {sha256(str(image))}"]
    assert handed(sandbox, "installer")[:2] == [f"kvupdaterd.ipk {sha256(own)}", f"kv2-touch.ipk {sha256(app)}"]
    assert len(lines(d, "Main, image signature verification failed, aborting installation\n")) == 1
    assert not [c for c in calls if c[0] == "fuser"]
    o.check()


# --- class 2 and class 6: the daemon's own files; failures are failures --------

def test_state_files_are_never_written_through_what_the_attacker_puts_at_their_names(
        sandbox, run_daemon, tmp_path, outcome):
    t = str(tmp_path)
    inner = make_ipk(os.path.join(t, "a"), "kv2-touch", "2.4.1", file_name="app_2.4.1.ipk")
    container = make_cry(inner, os.path.join(t, "app_2.4.1.CRY"), "KV2_TOUCH")
    sign(inner, sandbox.dev("/home/root/bundle/app_2.4.1.sign64"))
    lost = make_cry(make_ipk(os.path.join(t, "b"), "kvserver"), os.path.join(t, "lost.CRY"), "KV2_TOUCH")
    image = tmp_path / "IMAGE.CRY"
    image.write_bytes(b"mender artifact " * 1024)
    sign(str(image), sandbox.dev("/home/root/bundle/IMAGE.sign64"))
    sandbox.steer("mender", out=FAILING_UPDATER, subcommand="-rootfs")
    victim = sandbox.dev("/etc/victim")
    with open(victim, "w") as f:
        f.write("system file\n")
    o = outcome(sandbox)
    d, n = start(run_daemon, sandbox)

    # Links to a system file at the names the daemon writes, a FIFO at the
    # lock's name (reading it would stall every pass), a link at the failure
    # marker's name to a file that must not come to exist, and a folder at
    # the name a container decrypts to.
    watch = sandbox.dev(WATCH)
    attacker_make(watch + "install.lock", os.mkfifo)
    for name in ("INSTALLER.IPKTMP", "app_2.4.1.ipk"):
        attacker_make(watch + name, lambda p: os.symlink(victim, p))
    attacker_make(watch + "IMAGEUPDATEFAILED.TXT", lambda p: os.symlink(sandbox.dev("/etc/nologin"), p))
    attacker_make(watch + "lost.ipk", os.mkdir)

    # The container whose package cannot be put in place fails: never
    # reported as decrypted, and removed only once the failure is known.
    drop(sandbox, lost)
    prio, _, _ = d.wait_syslog(r"^Main, decryption failed:-1, cleaning up\n$", timeout=40)
    assert prio == 3
    assert "Main, decrypter successfully executed\n" not in d.syslog_texts()
    wait_for(lambda: not os.path.exists(watch + "lost.CRY") and not os.path.exists(sandbox.dev("/home/root/lost.CRY")),
             10, "container removed after the failure")

    drop(sandbox, container)
    wait_calls(sandbox, n, 1)
    wait_for(lambda: argv_of('systemctl start "install@kv2-touch"') in calls_after(sandbox, n), 60, "installed")
    drop(sandbox, str(image))
    d.wait_syslog(r"^\nMain, mender image update failed, cleaning up\ndelay timer is released\n$", timeout=90)

    assert open(victim).read() == "system file\n"
    assert not os.path.lexists(sandbox.dev("/etc/nologin"))
    marker = os.lstat(watch + "IMAGEUPDATEFAILED.TXT")
    assert stat.S_ISREG(marker.st_mode) and marker.st_uid == 0
    assert not os.path.lexists(watch + "install.lock")
    o.check()
    d.stop()

    # A commit marker the daemon did not make commits nothing: no commit, no
    # cleaning of the writable layer, and the loop runs.
    for make in (lambda p: open(p, "w").close(), lambda p: os.symlink(victim, p)):
        n = len(sandbox.journal())
        attacker_make(watch + "IMAGEUPDATEOK.TXT", make)
        d2, _ = start(run_daemon, sandbox)
        assert f"doInstall_MenderCommit, {watch}IMAGEUPDATEOK.TXT is not a marker the daemon made, removed\n" \
            in d2.syslog_texts()
        assert not os.path.lexists(watch + "IMAGEUPDATEOK.TXT")
        assert ["mender", "commit"] not in calls_after(sandbox, n)
        assert os.path.isdir(sandbox.dev("/data/upperdir/usr"))
        d2.stop()
    assert open(victim).read() == "system file\n"

    # Files the daemon made (root's, single link) whose content the attacker
    # chose — a decrypted package of his making — renamed to the marker's and
    # the lock's names. A marker saying "committed" skips nothing: the commit
    # is asked for, and with no update waiting it fails, so the writable
    # layer is not cleaned and the daemon does not park. A lock stamped far
    # in the future does not stop intake.
    n = len(sandbox.journal())
    sandbox.steer("mender", rc=1, subcommand="commit")
    with open(watch + "IMAGEUPDATEOK.TXT", "w") as f:
        f.write("committed\n")
    d3, _ = start(run_daemon, sandbox)
    assert ["mender", "commit"] in calls_after(sandbox, n)
    assert any(t.startswith("doInstall_MenderCommit, Mender image commit failed!") for t in d3.syslog_texts())
    assert "doInstall_MenderCommit, Mender image commit completed! \n" not in d3.syslog_texts()
    assert os.path.isdir(sandbox.dev("/data/upperdir/usr"))
    os.makedirs(watch + ".incoming", exist_ok=True)
    with open(watch + ".incoming/x", "w") as f:  # the start-up removed any lock: placed now, in one step
        f.write("created: x\ntimestamp: 99999999999\nInstall file: x\n")
    os.rename(watch + ".incoming/x", watch + "install.lock")
    d3.wait_syslog(r"^Main, expired lock file found cleaning up\n$")
    honest_drop_installs(d3, sandbox, n, tmp_path)


# --- classes 3, 5 and 9: names, files that would stall the loop, unbounded reads

def test_crafted_names_and_entries_neither_reach_options_nor_stall_the_loop(sandbox, run_daemon, tmp_path, outcome):
    t = tmp_path
    o = outcome(sandbox)
    d, n = start_counting_passes(run_daemon, sandbox)
    watch = sandbox.dev(WATCH)

    # Names that carry blanks and options into a command line that does not
    # quote them (the busy check once was "fuser <folder><name>"). Signed
    # packages: they are installed like any other.
    crafted = {"x -k -m .ipk": "kvwebview", "-k 9 -m.ipk": "kvserver"}
    for name, package in crafted.items():
        drop(sandbox, signed_ipk(str(t / package), sandbox, package, file_name=name))
        wait_for(lambda: argv_of(f'systemctl start "install@{package}"') in calls_after(sandbox, n), 40, name)

    # Entries that would come back every pass: names no command line can
    # carry, a container of no type the daemon takes, a FIFO, a folder, a
    # file held open for ever, and a lock of the attacker's that never expires.
    attacker_put(sandbox, "a+b.ipk", b"x")
    attacker_put(sandbox, "z(1).CRY", b"x")
    # A line feed or another control byte in a name must not forge a line of
    # the log that refuses it.
    attacker_put(sandbox, "zf\nSignature check, Signature OK!.ipk", b"x")
    attacker_put(sandbox, "zg\x01x.ipk", b"x")
    attacker_put(sandbox, "zz.CRY", b"HEADERLENGTH: 512\r\nFILETYPE: NONE\r\n\r\n")
    # More refused entries than any fixed list would remember.
    for i in range(300):
        attacker_make(watch + f"zl{i:03}.ipk", lambda p: os.symlink("/etc/passwd", p))
    attacker_make(watch + "zzfifo.ipk", os.mkfifo)
    attacker_make(watch + "zzdir.ipk", os.mkdir)
    open(watch + "zzdir.ipk/inside", "w").close()
    held = holder(attacker_put(sandbox, "zzzz-held.ipk", b"x"))
    attacker_put(sandbox, "install.lock", b"created: x\ntimestamp: 99999999999\nInstall file: x\n")
    # Reads of files nobody signed are bounded: a signature of 2 GiB, as the
    # payload of an unsigned bundle may leave in the bundle folder.
    with open(sandbox.dev("/home/root/bundle/big.sign64"), "wb") as f:
        f.truncate(2 << 30)
    drop(sandbox, make_ipk(str(t / "big"), "kvbig", file_name="big.ipk"))
    try:
        honest_drop_installs(d, sandbox, n, t)
        # Checked under the name the package arrived with, before any rename.
        d.wait_syslog(r"^Signature check, signature file .*/home/root/bundle/big\.sign64 is not a regular file of "
                      r"at most 65536 bytes, aborting installation!\n$")
        # Later passes meet what stays, and say nothing of it again: each
        # verdict holds until its entry changes.
        busy = "Main,  FileReady() file is busy zzzz-held.ipk\n"
        wait_passes(d, 3)
        assert len(lines(d, busy)) == 1
        # What could not be removed is set aside; the attacker's lock went
        # with the honest install's lock, which it never held back.
        assert sorted(f for f in os.listdir(watch) if not f.startswith(".") and not f.startswith("zl")) == \
            ["zzdir.ipk", "zzfifo.ipk", "zzzz-held.ipk"]
    finally:
        held.kill()
        held.wait()

    texts = d.syslog_texts()
    once = ["scandir_FindInstaller, a+b.ipk holds '+', which no command line may carry, removed\n",
            "scandir_FindInstaller, z(1).CRY holds '(', which no command line may carry, removed\n",
            "Blacklisted file: zf?Signature check, Signature OK!.ipk",
            "scandir_FindInstaller, zg?x.ipk holds the byte 0x01, which no command line may carry, removed\n",
            "scandir_FindInstaller, zz.CRY names no FILETYPE the daemon takes, removed\n",
            "scandir_FindInstaller, zzfifo.ipk is not a regular file with a single link, not taken\n",
            "scandir_FindInstaller, zzdir.ipk is not a regular file with a single link, not taken\n"] + \
        [f"scandir_FindInstaller, zl{i:03}.ipk is not a regular file with a single link, not taken\n" for i in range(300)]
    assert [texts.count(line) for line in once] == [1] * len(once)
    # A name no command line carries is a drop the device never installs: an error.
    assert {p for p, _, t in d.syslog if t.startswith("scandir_FindInstaller, z(1).CRY")} == {3}
    assert not [c for c in calls_after(sandbox, n) if c[0] == "fuser"]
    assert not any("Illegal character" in t for t in texts)
    o.check()


# --- class 4: archive metadata of unsigned payloads ---------------------------

def test_members_of_unsigned_archives_come_as_plain_data(sandbox, run_daemon, tmp_path, outcome):
    t = str(tmp_path)
    manifest = json.dumps([{"packageName": p, "platformName": "all", "fileName": n}
                           for p, n in (("a", "suid.ipk"), ("b", "owned.ipk"), ("c", "notes.txt"))]).encode()
    plain = raw_bundle(os.path.join(t, "plain.CRY"), [
        ("allinfo.json", manifest, tarfile.REGTYPE, 0o644, 0),
        ("suid.ipk", b"#!/bin/sh\nid\n", tarfile.REGTYPE, 0o6755, 0),
        ("owned.ipk", b"x", tarfile.REGTYPE, 0o666, ATTACKER),
        ("notes.txt", b"x", tarfile.REGTYPE, 0o644, 0)])
    special = raw_bundle(os.path.join(t, "special.CRY"), [
        ("allinfo.json", b"[]", tarfile.REGTYPE, 0o644, 0),
        ("console.ipk", b"", tarfile.CHRTYPE, 0o666, 0),
        ("pipe.ipk", b"", tarfile.FIFOTYPE, 0o666, 0)])
    # A device node among the control members of a package.
    nodes = make_raw_ipk(os.path.join(t, "nodes.ipk"), gzip.compress(tar_of([
        ("./control", b"Package: kvdev\nVersion: 1\n", tarfile.REGTYPE, 0o644, 0),
        ("./postinst", b"", tarfile.CHRTYPE, 0o666, 0)])))

    o = outcome(sandbox)
    d, n = start(run_daemon, sandbox)
    # While a file of the attacker's is held open and is the only candidate,
    # no bundle member is fed: the unpacked bundle can be looked at.
    frozen = holder(attacker_put(sandbox, "zzzz.ipk", b"x"))
    try:
        drop(sandbox, plain)
        wait_for(lambda: os.path.exists(sandbox.dev("/home/root/bundle/allinfo.json")), 30, "bundle unpacked")
        for name in ("suid.ipk", "owned.ipk", "notes.txt"):
            st = os.lstat(sandbox.dev("/home/root/bundle/" + name))
            assert (stat.S_IMODE(st.st_mode), st.st_uid) == (0o644, 0), name
    finally:
        frozen.kill()
        frozen.wait()
    d.wait_syslog(r'^scandir_Check&PrepInstaller - fileName "notes\.txt" is neither a container nor a package, '
                  r'item dropped\n$', timeout=40)

    drop(sandbox, special)
    prio, _, _ = d.wait_syslog(r"^bundle_UnPack, the payload of special\.CRY holds a device node, a FIFO or a member of "
                               r"another type, not unpacked\n$", timeout=30)
    assert prio == 3
    drop(sandbox, nodes)
    d.wait_syslog(r"^opkg_Unpack, control\.tar\.gz of nodes\.ipk holds a device node, a FIFO or a member of another "
                  r"type, not unpacked\n$", timeout=30)
    d.wait_syslog(r'^Main, package name "" of nodes\.ipk is not a plain file name, package refused\n$')
    honest_drop_installs(d, sandbox, n, tmp_path)
    assert not os.path.exists(sandbox.dev(WATCH + "notes.txt"))
    for folder in ("/home/root/", "/home/root/bundle/"):
        assert not [f for f in os.listdir(sandbox.dev(folder)) if f.startswith(".kvunpack-")]
    o.check()


# --- class 8: a device of unknown platform -------------------------------------

def test_a_device_of_unknown_platform_takes_only_items_for_all(make_sandbox, run_daemon, tmp_path, outcome):
    sb = make_sandbox("unknown")
    t = str(tmp_path)
    app = make_ipk(os.path.join(t, "app"), "kv2-touch", file_name="app.ipk")
    image = os.path.join(t, "image.cry")
    with open(image, "wb") as f:
        f.write(b"artifact " * 100)
    tool = make_ipk(os.path.join(t, "tool"), "kvtool", file_name="tool.ipk")
    bundle = make_bundle(t, [
        {"path": app, "packageName": "kv2-touch", "fileType": "APP-IPK", "platformName": "kv2-touch,korvel-r"},
        {"path": image, "packageName": "image", "swRev": "other", "platformName": "kv2-touch,korvel-r"},
        {"path": tool, "packageName": "kvtool", "platformName": "all"},
    ], os.path.join(t, "update.CRY"))
    o = outcome(sb)
    d, n = start(run_daemon, sb)
    drop(sb, bundle)
    d.wait_syslog(r"^scandir_Check&PrepInstaller - checking 'allinfo\.json' was empty, return CLEANUP\n$", timeout=60)
    wait_for(lambda: argv_of('systemctl start "install@kvtool"') in calls_after(sb, n), 30, "the item for all")
    calls = calls_after(sb, n)
    assert [c for c in calls if c[:2] == ["systemctl", "start"]] == [argv_of('systemctl start "install@kvtool"')]
    assert not [c for c in calls if c[0] == "mender"]
    texts = d.syslog_texts()
    assert not [t for t in texts if "bundleworks, found app.ipk" in t or "bundleworks, found image.cry" in t]
    o.check()


# --- class 10: what a kill leaves behind ---------------------------------------

def test_start_up_removes_what_a_kill_during_unpacking_left(sandbox, run_daemon, tmp_path):
    # Archives are read in process, so a kill while unpacking leaves the
    # staging folders as they were at that moment: planted here as it would.
    work, bundle = sandbox.dev("/home/root/"), sandbox.dev("/home/root/bundle/")
    for folder in (work, bundle):
        staging = os.path.join(folder, ".kvunpack-Ab12Cd")
        os.makedirs(staging)
        open(os.path.join(staging, "control"), "w").write("Package: half\n")
    open(sandbox.dev(WATCH + ".kvstate-install.lock-Ab12Cd"), "w").close()

    d, n = start(run_daemon, sandbox)
    assert not [f for f in os.listdir(work) if f.startswith(".kvunpack-")]
    assert not [f for f in os.listdir(bundle) if f.startswith(".kvunpack-")]
    assert not [f for f in os.listdir(sandbox.dev(WATCH)) if f.startswith(".kvstate-")]
    honest_drop_installs(d, sandbox, n, tmp_path)


# --- class 11: what a drop claims is not what it costs -------------------------

BIG = 64 << 20          # what the crafted drops would inflate to, or claim
HOLE = 64 << 30         # the size of the sparse drops, which cost 4 KiB each


def cry_key():
    values = {}
    for line in open(os.path.join(KEYS, "development-cry.key")):
        name, _, value = line.split("#")[0].partition("=")
        values[name.strip()] = value.strip()
    return values["key"], values["iv"]


def claiming_cry(out, image_length, payload_blocks=256):
    """An application container whose verification header claims image_length
    bytes (verificator matching) in a payload of payload_blocks cipher blocks."""
    key, iv = cry_key()
    plain = struct.pack("<III", 0, image_length, (-image_length) % 2**32)
    plain += b"\0" * (16 * payload_blocks - len(plain))
    cipher = subprocess.run(["openssl", "enc", "-e", "-aes-256-cbc", "-nopad", "-K", key, "-iv", iv],
                            input=plain, capture_output=True, check=True).stdout
    head = b"HEADERLENGTH: 512\r\nPLATFORMNAME: all\r\nSWPART: 1\r\nPACKAGENAME: claims\r\nFILETYPE: APP-CRY\r\n\r\n"
    with open(out, "wb") as f:
        f.write(head + b"\0" * (512 - len(head)) + cipher)
    return out


def with_claimed_size(tar, at, size):
    """The tar with the member header at offset at claiming size bytes."""
    h = bytearray(tar[at:at + 512])
    h[124:136] = b"%011o\0" % size
    h[148:156] = b" " * 8
    h[148:156] = b"%06o\0 " % sum(h)
    return tar[:at] + bytes(h) + tar[at + 512:]


def drop_sparse(sb, name, data):
    """Places data, extended by a hole to HOLE bytes, into the watch folder in one step."""
    staging = os.path.join(sb.dev(WATCH), ".incoming")
    os.makedirs(staging, exist_ok=True)
    tmp = os.path.join(staging, name)
    with open(tmp, "wb") as f:
        f.write(data)
        f.truncate(HOLE)
    os.rename(tmp, sb.dev(WATCH + name))


def proc_io(d):
    return {k: int(v) for k, v in (line.split(":") for line in open(f"/proc/{d.proc.pid}/io"))}


def test_no_drop_costs_more_than_its_own_size(sandbox, run_daemon, tmp_path, outcome):
    # Each drop is small on disk and claims, or inflates to, 64 MiB or more:
    # each is refused with one line, and what the daemon (and every program
    # it starts) writes and reads stays far below what was claimed.
    t = str(tmp_path)
    bomb = make_raw_ipk(os.path.join(t, "bomb.ipk"), gzip.compress(tar_of([
        ("./control", b"Package: kvbomb\nVersion: 1\n", tarfile.REGTYPE, 0o644, 0),
        ("./pad", bytes(BIG), tarfile.REGTYPE, 0o644, 0)])))
    manifest = json.dumps([{"packageName": "x", "platformName": "all", "fileName": "pad.ipk"}]).encode()
    members = tar_of([("allinfo.json", manifest, tarfile.REGTYPE, 0o644, 0),
                      ("pad.ipk", bytes(BIG), tarfile.REGTYPE, 0o644, 0)])
    zipped = os.path.join(t, "zipped.CRY")
    with open(zipped, "wb") as f:
        f.write(open(raw_bundle(os.path.join(t, "plain.CRY"), []), "rb").read()[:512] + gzip.compress(members))
    claims = raw_bundle(os.path.join(t, "claims.CRY"), [
        ("allinfo.json", manifest, tarfile.REGTYPE, 0o644, 0), ("pad.ipk", b"x" * 1024, tarfile.REGTYPE, 0o644, 0)])
    with open(claims, "r+b") as f:
        patched = with_claimed_size(f.read(), 512 + 1024, BIG)
        f.seek(0)
        f.write(patched)
    cry = claiming_cry(os.path.join(t, "huge.CRY"), 1 << 30)
    ipk = signed_ipk(os.path.join(t, "s"), sandbox, "kvwebview", file_name="holes.ipk")
    app = make_cry(make_ipk(os.path.join(t, "a"), "kvwebview"), os.path.join(t, "app.CRY"), "KV2_TOUCH")
    bundle = make_bundle(t, [{"path": app, "packageName": "kv2-touch", "fileType": "APP-CRY",
                              "platformName": "all"}], os.path.join(t, "b.CRY"))
    image = os.path.join(t, "IMAGE.CRY")
    with open(image, "wb") as f:
        f.write(b"mender artifact " * 256)
    work = re.escape(sandbox.dev("/home/root/"))
    rows = [
        (drop, bomb, r"opkg_Unpack, the content of control\.tar\.gz of bomb\.ipk exceeds its cap of 4194304 bytes, "
                     r"not unpacked"),
        (drop, zipped, r"bundle_UnPack, the payload of zipped\.CRY is not a plain tar archive \(compressed, cut "
                       r"short or of another format\), not unpacked"),
        (drop, claims, r"bundle_UnPack, the members of the payload of claims\.CRY claim more bytes than it holds, "
                       r"not unpacked"),
        (drop, cry, rf"DeCrypt, {work}huge\.CRY claims an image of 1073741824 bytes, but its payload holds at most "
                    r"4084, not decrypted"),
        # A file with holes is refused by the take, before anything reads
        # it, and stays where it is until it changes.
        (drop_sparse, ipk, r"scandir_TakeFile, holes\.ipk is sparse: it holds fewer bytes than its size, not taken"),
        (drop_sparse, app, r"scandir_TakeFile, holes_app\.CRY is sparse: it holds fewer bytes than its size, not "
                           r"taken"),
        (drop_sparse, bundle, r"scandir_TakeFile, holes_b\.CRY is sparse: it holds fewer bytes than its size, not "
                              r"taken"),
        (drop_sparse, image, r"scandir_TakeFile, IMAGE\.CRY is sparse: it holds fewer bytes than its size, not taken"),
    ]
    o = outcome(sandbox)
    d, n = start(run_daemon, sandbox)
    before = proc_io(d)
    for place, path, line in rows:
        name = os.path.basename(path)
        if place is drop_sparse:
            name = name if name in ("holes.ipk", "IMAGE.CRY") else "holes_" + name
            drop_sparse(sandbox, name, open(path, "rb").read())
        else:
            drop(sandbox, path)
        d.wait_syslog(rf"^{line}\n$", timeout=60)
        if place is drop_sparse:
            assert os.path.exists(sandbox.dev(WATCH + name))
        else:
            wait_for(lambda: not os.path.exists(sandbox.dev(WATCH + name)), 30, f"{name} taken")
    wait_for(lambda: len(lines(d, "Main, decryption failed:-1, cleaning up\n")) == 1, 10, "the decryption failed")
    after = proc_io(d)
    assert after["wchar"] - before["wchar"] < 8 << 20
    assert after["rchar"] - before["rchar"] < 32 << 20
    assert not [c for c in calls_after(sandbox, n) if c[:2] == ["systemctl", "start"] or c[0] == "mender"]
    assert not os.path.exists(sandbox.dev("/home/root/bundle/allinfo.json"))
    assert not os.path.exists(sandbox.dev("/home/root/bundle/pad.ipk"))
    used = sum(os.lstat(os.path.join(p, f)).st_blocks * 512 for p, _, fs in os.walk(sandbox.root) for f in fs)
    assert used < 256 << 20
    honest_drop_installs(d, sandbox, n, tmp_path)
    for name in ("holes.ipk", "holes_app.CRY", "holes_b.CRY", "IMAGE.CRY"):
        os.unlink(sandbox.dev(WATCH + name))  # set aside until now; the check below reads every file whole
    o.check()


# --- earlier attacks of the same classes ---------------------------------------

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
    # Refused, it does not stay in root's folder.
    wait_for(lambda: not os.path.exists(sandbox.dev("/home/root/named.ipk")), 10, "the refused package removed")
    assert calls_after(sandbox, n) == []
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


def test_inspect_predicts_the_refusal_of_a_name_the_device_removes_unread(tmp_path):
    # kvpack cry refuses to make such a name; the container is renamed after.
    good = make_cry(make_ipk(str(tmp_path), "kvwebview"), str(tmp_path / "app1.CRY"), "KV2_TOUCH")
    os.rename(good, str(tmp_path / "app(1).CRY"))
    r = subprocess.run([KVPACK, "inspect", "--platform", "KV2_TOUCH", str(tmp_path / "app(1).CRY")],
                       capture_output=True, text=True)
    assert r.returncode == 1
    assert r.stdout.splitlines()[-1] == ("REJECTED: the device's watch folder scan refuses the name (it holds '(', "
                                         "which its command lines cannot carry) and removes the file unread")


def test_control_bytes_of_a_package_field_reach_no_log_as_they_are(sandbox, run_daemon, tmp_path):
    # The control file's Version of a signed package carries a terminal's
    # escape sequences and a bell: the package installs, and the system log
    # and the update log show each control byte as '?'.
    version = "3.1\x1b]0;owned\x07\x1b[2J"
    ipk = signed_ipk(str(tmp_path), sandbox, "kvwebview", file_name="kvwebview_3.1.ipk", version=version)
    d, n = start(run_daemon, sandbox)
    drop(sandbox, ipk)
    assert wait_calls(sandbox, n, 1) == [argv_of('systemctl start "install@kvwebview"')]
    log = wait_for(lambda: "kvwebview_3.1.ipk" in update_log(sandbox) and update_log(sandbox), what="update log")
    assert "        IPK: kvwebview_3.1.ipk, version: 3.1?]0;owned??[2J\n" in log
    assert not [c for c in log if ord(c) < 0x20 and c != "\n"]
    texts = d.syslog_texts()
    assert [t for t in texts if "?]0;owned??[2J" in t]
    assert not [t for t in texts if any(ord(c) < 0x20 and c != "\n" for c in t)]


# --- class 11: nothing unsigned disturbs what is signed; no silent downgrade ---

def test_an_unsigned_package_named_like_a_signed_one_leaves_its_signature(sandbox, run_daemon, tmp_path, outcome):
    honest = signed_ipk(str(tmp_path / "honest"), sandbox, "kvwebview", file_name="tool_1.0.ipk")
    forged = make_ipk(str(tmp_path / "forged"), "kvserver", file_name="tool_1.0.ipk")
    o = outcome(sandbox)
    d, n = start(run_daemon, sandbox)
    attacker_put(sandbox, "tool_1.0.ipk", open(forged, "rb").read())
    d.wait_syslog(r"^Signature check, Bad signature!, Abort installation\n$", timeout=30)
    assert os.path.exists(sandbox.dev("/home/root/bundle/tool_1.0.sign64"))
    assert not os.path.exists(sandbox.dev("/home/root/bundle/kvserver.sign64"))
    drop(sandbox, honest)
    wait_for(lambda: argv_of('systemctl start "install@kvwebview"') in calls_after(sandbox, n), 30, "honest installed")
    assert [c for c in calls_after(sandbox, n) if c[:2] == ["systemctl", "start"]] == [
        argv_of('systemctl start "install@kvwebview"')]
    o.check()


def test_control_keys_that_begin_like_package_do_not_rename_it(sandbox, run_daemon, tmp_path):
    control = ("Package-Type: evil\nPackage: kvtool\nPackager: mallory\nVersion: 1.0\nArchitecture: armhf\n"
               "License: Proprietary\nDescription: test\n")
    ipk = make_ipk(str(tmp_path), "kvtool", control=control, file_name="kvtool_1.0.ipk")
    sign(ipk, sandbox.dev("/home/root/bundle/kvtool_1.0.sign64"))
    d, n = start(run_daemon, sandbox)
    drop(sandbox, ipk)
    wait_for(lambda: [c for c in calls_after(sandbox, n) if c[:2] == ["systemctl", "start"]], 30, "a unit started")
    assert [c for c in calls_after(sandbox, n) if c[:2] == ["systemctl", "start"]] == [
        argv_of('systemctl start "install@kvtool"')]


def test_an_unsigned_bundle_writes_no_update_log_record(sandbox, run_daemon, tmp_path, outcome):
    t = str(tmp_path)
    image = os.path.join(t, "image.cry")
    with open(image, "wb") as f:
        f.write(b"artifact " * 100)
    newer = make_bundle(t, [{"path": image, "packageName": "image", "swRev": "kv-image-9.0.0",
                             "platformName": "kv2-touch"}], os.path.join(t, "newer.CRY"), sign_key=None)
    same = make_bundle(t, [{"path": image, "packageName": "image", "swRev": "kv-image-3.2.1",
                            "platformName": "kv2-touch"}], os.path.join(t, "same.CRY"), sign_key=None)
    o = outcome(sandbox)
    d, n = start(run_daemon, sandbox)
    # Both dropped at once: the second waits for the first.
    attacker_put(sandbox, "newer.CRY", open(newer, "rb").read())
    attacker_put(sandbox, "same.CRY", open(same, "rb").read())
    d.wait_syslog(r"^Main, image signature verification failed, aborting installation\n$", timeout=40)
    d.wait_syslog(r"^scandir_Check&PrepInstaller2 - image bundleworks, not installed because same revision", timeout=40)
    d.wait_syslog(r"^scandir_Check&PrepInstaller - checking 'allinfo\.json' was empty, return CLEANUP\n$",
                  timeout=20, start=0)
    wait_for(lambda: not os.path.exists(sandbox.dev("/home/root/bundle/allinfo.json")), 15, "bundles over")
    assert update_log(sandbox) == ""
    assert not [c for c in calls_after(sandbox, n) if c[0] == "mender"]
    o.check()


RUNNING_DAEMON = "Package: kv2-touch\nVersion: 9.0\n\nPackage: kvupdaterd\nVersion: 3.8-r1\nStatus: install ok installed\n"


@pytest.mark.parametrize("version,setting,installed", [
    ("3.7", None, False), ("3.8-r0", None, False), ("3.7", "root", True), ("3.7", "foreign", False),
    ("3.8-r1", None, True), ("3.10", None, True)])
def test_an_older_signed_kvupdaterd_is_refused_unless_root_allows_it(sandbox, run_daemon, tmp_path, version,
                                                                     setting, installed):
    database = sandbox.dev("/var/lib/opkg/status")
    os.makedirs(os.path.dirname(database), exist_ok=True)
    with open(database, "w") as f:
        f.write(RUNNING_DAEMON)
    if setting:
        allow = sandbox.dev("/home/root/.allow-downgrade")
        open(allow, "w").close()
        if setting == "foreign":
            os.chown(allow, ATTACKER, ATTACKER)
    ipk = signed_ipk(str(tmp_path), sandbox, "kvupdaterd", version=version)
    d, n = start(run_daemon, sandbox)
    drop(sandbox, ipk)
    name = os.path.basename(ipk)
    if installed:
        wait_calls(sandbox, n, 1)
        assert calls_after(sandbox, n) == [argv_of('systemctl start "install@kvupdaterd"')]
        assert f"KVUPDATER: {name}, version: {version}\n" in update_log(sandbox)
        return
    prio, _, _ = d.wait_syslog(rf"^Main, kvupdaterd ipk {re.escape(name)}, version {re.escape(version)} is older "
                               r"than the running version 3\.8-r1, not installed\n$", timeout=30)
    assert prio == 3
    assert not [c for c in calls_after(sandbox, n) if c[:2] == ["systemctl", "start"]]
    assert "KVUPDATER" not in update_log(sandbox)
    assert not os.path.exists(sandbox.dev("/home/root/kvupdaterd.ipk"))
    assert not os.path.exists(sandbox.dev("/opt/kv2/swfw/install.lock"))
