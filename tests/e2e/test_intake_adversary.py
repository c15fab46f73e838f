"""The watch folder's attacker as processes of his own (uid 4242) against the
real daemon: deterministic races at the daemon's own calls, and a generated
adversary.

Races are made, never waited for: a stand-in the daemon calls after its check
(the installer unit's start, the image updater) or a hook of the preload
library kvattackhook.so at the daemon's rename, link, change of owner or mode
or lease (tests/sandbox/attackhook.c) is the attacker's move at exactly that
instruction.

test_generated_attacks plays random sequences of the attacker's moves
(tests/e2e/attacker.py: create, write, rename, replace, hard link, symlink to
root's files, folders empty and not, FIFOs, files held open for reading and
writing, shared writable mappings, descriptors in flight, truncation, sparse
extension to many GiB, removal, crafted unsigned containers, packages and
bundles) while honest signed packages arrive, then checks the invariants (see
Run.check). The seed is printed; replay a run with

  KV_ADVERSARY_SEED=<n> KV_BUILD_DIR=build/asan python3 -m pytest -q \\
      tests/e2e/test_intake_adversary.py -k generated

KV_ADVERSARY_SECONDS (default 40) bounds the attacker's run; with
KV_ADVERSARY_KEEP=<folder> a failing run leaves its records there (syslog.log,
journal.jsonl, attacker.jsonl: every move, folders.txt: the daemon's folders). bench/adversary/run.sh
runs many seeds for longer, as a fuzzer would.
"""
import json
import os
import random
import re
import shutil
import stat
import subprocess
import tempfile
import time

import pytest

from conftest import argv_of, drop, wait_for
from intake_common import (ATTACKER, ATTACKER_PROGRAM, attacker_access, calls_after, install_attack_hook,
                           open_to_attacker, signed_ipk, start)
from packages import make_cry, make_hostile_ipk, make_ipk, make_raw_bundle, other_key_pair, sign
from test_intake_hostile import FAILING_UPDATER, RECORD_HANDED, device_state, handed, in_three_folders, sha256

WATCH = "/opt/kv2/swfw/"
WORK = "/home/root/"
SIGNED_PACKAGE = "kvwebview"  # handed to its unit without display activity


def as_attacker():
    os.setgid(ATTACKER)
    os.setuid(ATTACKER)


@pytest.fixture
def attacker_folder():
    """attacker_folder() -> a temporary folder of the attacker's, which anyone
    may read; removed after the test."""
    made = []

    def make():
        made.append(tempfile.mkdtemp(prefix="kvatk-"))
        os.chown(made[-1], ATTACKER, ATTACKER)
        open_to_attacker(made[-1])
        return made[-1]

    yield make
    for folder in made:
        shutil.rmtree(folder, ignore_errors=True)


def attacker(folder, *args, **kw):
    """Starts tests/e2e/attacker.py as the attacker, from a copy in his folder."""
    program = os.path.join(folder, "attacker.py")
    if not os.path.exists(program):
        shutil.copyfile(ATTACKER_PROGRAM, program)
        os.chmod(program, 0o755)
    return subprocess.Popen(["/usr/bin/python3", program, *args], preexec_fn=as_attacker, **kw)


def changed_outside(sb, before):
    """What changed outside the watch, work and bundle folders (the logs may)."""
    after = device_state(sb, lambda rel: not in_three_folders(rel))
    return sorted(rel for rel in set(before) | set(after)
                  if before.get(rel) != after.get(rel) and not rel.startswith("opt/kv2/log/"))


def unchanged(sb, before):
    return changed_outside(sb, before) == []


def installs(sb, n, package):
    return calls_after(sb, n).count(argv_of(f'systemctl start "install@{package}"'))


def work_entries_not_placed(sb):
    """Entries of the work folder that are not regular single-link files of root's."""
    work = sb.dev(WORK)
    found = []
    for name in os.listdir(work):
        if name in (".sign", "sync-users.sh", "bundle"):
            continue
        st = os.lstat(os.path.join(work, name))
        if not stat.S_ISREG(st.st_mode) or st.st_nlink != 1 or st.st_uid != 0:
            found.append(f"{name} (mode {st.st_mode:o}, links {st.st_nlink}, owner {st.st_uid})")
    return found


def unsigned_in_work(sb, signed):
    """Packages in the work folder whose bytes nobody signed."""
    work = sb.dev(WORK)
    return [name for name in os.listdir(work) if name.endswith(".ipk") and os.path.isfile(os.path.join(work, name))
            and sha256(os.path.join(work, name)) not in signed]


# Observer run by the preload library after each rename or link of the daemon:
# what it placed in the work folder must be a regular file, never the inode
# the attacker keeps a second name of.
LANDED = """
import stat
work, record, twin = {work!r}, {record!r}, {twin!r}
if len(args) >= 3 and args[1].startswith(work) and args[1].count("/") == work.count("/") and args[-1] == "0":
    try:
        st = os.lstat(args[1])
        bad = not stat.S_ISREG(st.st_mode) or (twin and st.st_ino == twin)
        what = f"mode {{st.st_mode:o}}, inode {{st.st_ino}}"
    except OSError as e:
        bad, what = False, str(e)
    if bad:
        with open(record, "a") as f:
            f.write(f"{{os.path.basename(sys.argv[0])}}: {{args[0]}} -> {{args[1]}}: {{what}}\\n")
"""
TAKE_CALLS = ("rename", "renameat", "renameat2", "link", "linkat")


def observe_work_folder(sb, attack_dir, twin=0):
    record = os.path.join(attack_dir, "landed")
    for call in TAKE_CALLS:
        install_attack_hook(attack_dir, call, LANDED.format(work=sb.dev(WORK), record=record, twin=twin), after=True)
    return lambda: open(record).read().splitlines() if os.path.exists(record) else []


# --- 2a: a descriptor in flight across the take -------------------------------

# The installer's or updater's stand-in first lets the attacker write through
# what he kept, then records what it was handed.
POKE_THEN_RECORD = """
import os, socket
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(120)
try:
    s.connect({sock!r})
    s.sendall(b"go")
    said = s.recv(200).decode()
except OSError as e:
    said = "attacker not reached: " + str(e)
with open(os.path.join(sandbox, "control", "attacker.said"), "a") as f:
    f.write(said)
""" + RECORD_HANDED


@pytest.mark.parametrize("mode", ["write", "mmap", "held-mmap"])
@pytest.mark.parametrize("kind", ["ipk", "image"])
def test_a_writer_hidden_across_the_take_never_changes_what_is_handed_on(sandbox, run_daemon, tmp_path, kind, mode,
                                                                        attacker_folder):
    attacker_access(sandbox)
    copies = attacker_folder()
    sock = os.path.join(copies, "attacker.sock")
    if kind == "ipk":
        name = "app.ipk"
        signed = signed_ipk(copies, sandbox, SIGNED_PACKAGE, file_name=name)
        record = "installer"
        path = f'os.path.join(root, "home/root", args[1][len("install@"):] + ".ipk")'
        sandbox.steer("systemctl", subcommand="start", hook=POKE_THEN_RECORD.format(sock=sock, path=path,
                                                                                    record=record))
    else:
        name = "IMAGE.CRY"
        signed = os.path.join(copies, name)
        with open(signed, "wb") as f:
            f.write(b"mender artifact " * 4096)
        sign(signed, sandbox.dev("/home/root/bundle/IMAGE.sign64"))
        record = "updater"
        # Whatever the updater's version, its one call is handed the image.
        sandbox.steer("mender", out=FAILING_UPDATER,
                      hook=POKE_THEN_RECORD.format(sock=sock, path="args[-1]", record=record))
    os.chmod(signed, 0o644)
    before = device_state(sandbox, lambda rel: not in_three_folders(rel))
    d, n = start(run_daemon, sandbox)
    him = attacker(copies, "inflight", signed, sandbox.dev(WATCH), name, mode, sock, stdout=subprocess.PIPE, text=True)
    try:
        assert him.stdout.readline().strip() == "ready"
        # Handed on, or looked at and refused (a line naming it) and then
        # passed: a later honest drop installs.
        wait_for(lambda: handed(sandbox, record) or [t for t in d.syslog_texts() if name in t], 120,
                 f"{name} handed on or refused")
        drop(sandbox, signed_ipk(str(tmp_path / "honest"), sandbox, "kvtool", file_name="honest.ipk"))
        wait_for(lambda: installs(sandbox, n, "kvtool") == 1, 120, "the honest drop after it installed")
    finally:
        him.kill()
        him.wait()
    said = open(os.path.join(sandbox.control_dir, "attacker.said")).read() \
        if os.path.exists(os.path.join(sandbox.control_dir, "attacker.said")) else ""
    handed_file = f"{SIGNED_PACKAGE}.ipk" if kind == "ipk" else name
    got = [line.split(" ")[1] for line in handed(sandbox, record) if line.split(" ")[0] == handed_file]
    assert set(got) <= {sha256(signed)}, \
        f"{kind} handed on with bytes other than the signed ones (the attacker {said.partition(chr(10))[0]})"
    assert work_entries_not_placed(sandbox) == []
    assert unchanged(sandbox, before)


# --- 2b: the entry swapped between the scan and the take ----------------------

SWAP = """
import shutil
watch, name, kind, marker = {watch!r}, {name!r}, {kind!r}, {marker!r}
target, twin = {target!r}, {twin!r}
if args and args[0] == watch + name and not os.path.exists(marker):
    open(marker, "w").close()
    path = watch + name
    os.unlink(path)
    if kind == "folder":
        os.mkdir(path)
        with open(path + "/inside", "w") as f:
            f.write("x")
        os.chown(path + "/inside", 4242, 4242)
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "symlink":
        os.symlink(target, path)
    else:
        os.link(twin, path)
    if kind != "hardlink":
        os.lchown(path, 4242, 4242)
"""


@pytest.mark.parametrize("kind", ["folder", "fifo", "symlink", "hardlink"])
def test_an_entry_swapped_in_at_the_take_never_lands_in_the_work_folder_nor_stalls_its_name(
        sandbox, run_daemon, tmp_path, kind, attacker_folder):
    attack_dir = os.path.join(sandbox.path, "attack")
    own = attacker_folder()
    twin = os.path.join(own, "twin")
    with open(twin, "w") as f:
        f.write("the attacker's file with a second name\n")
    os.chown(twin, ATTACKER, ATTACKER)
    landed = observe_work_folder(sandbox, attack_dir, twin=os.stat(twin).st_ino if kind == "hardlink" else 0)
    marker = os.path.join(attack_dir, "swapped")
    for call in TAKE_CALLS:
        install_attack_hook(attack_dir, call, SWAP.format(
            watch=sandbox.dev(WATCH), name="swap.ipk", kind=kind, marker=marker,
            target=sandbox.dev("/home/root/.sign/ipksignkeypublic.pem"), twin=twin))
    before = device_state(sandbox, lambda rel: not in_three_folders(rel))
    d, n = start(run_daemon, sandbox, attack_dir=attack_dir)

    drop(sandbox, signed_ipk(str(tmp_path / "a"), sandbox, "kvserver", file_name="swap.ipk"))
    wait_for(lambda: os.path.exists(marker), 60, "the swap at the take")
    # The loop goes on past the swapped entry ...
    drop(sandbox, signed_ipk(str(tmp_path / "b"), sandbox, "kvtool", file_name="other.ipk"))
    wait_for(lambda: installs(sandbox, n, "kvtool") == 1, 120, "a drop of another name installed")
    # ... and the name is not stalled: whatever is left at it is cleared by the
    # honest uploader, and the same name dropped again installs.
    left = sandbox.dev(WATCH + "swap.ipk")
    if os.path.isdir(left) and not os.path.islink(left):
        shutil.rmtree(left)
    elif os.path.lexists(left):
        os.unlink(left)
    drop(sandbox, signed_ipk(str(tmp_path / "c"), sandbox, "kvserver", file_name="swap.ipk"))
    try:
        wait_for(lambda: installs(sandbox, n, "kvserver") == 1, 120, "the same name dropped again installed")
    finally:
        assert landed() == [], "the daemon's take placed the attacker's entry in the work folder"
        assert work_entries_not_placed(sandbox) == []
    assert open(twin).read() == "the attacker's file with a second name\n"
    assert unchanged(sandbox, before)
    assert d.alive()


# --- 3: the generated adversary -----------------------------------------------

LINES_PER_STATE = 6


def artifacts(folder, t):
    """Crafted files the attacker drops: nothing here is signed by the device's key."""
    open_to_attacker(folder)
    unsigned = make_ipk(os.path.join(t, "u"), "kvatk", file_name="unsigned.ipk")
    shutil.copy(unsigned, folder)
    # An honest package's name on other bytes (another version: built in the
    # same second as the honest kvh0, the same version would be its very
    # bytes, which its signature then covers).
    shutil.copy(make_ipk(os.path.join(t, "c"), "kvh0", version="6.6.6", file_name="claims-honest.ipk"), folder)
    make_cry(unsigned, os.path.join(folder, "container.CRY"), "KV2_TOUCH")
    make_hostile_ipk(os.path.join(folder, "hostile.ipk"), "kvatk",
                     control_members=[("../escaped", b"x"), ("./postinst", None, "/home/root/sync-users.sh")])
    private, _ = other_key_pair(t)
    foreign = os.path.join(t, "foreign.sign64")
    sign(unsigned, foreign, key=private)
    manifest = json.dumps([{"packageName": "kvatk", "platformName": "all", "fileName": "atk00.ipk"}]).encode()
    make_raw_bundle(os.path.join(folder, "bundle.CRY"), [
        ("allinfo.json", manifest), ("atk00.ipk", open(unsigned, "rb").read()),
        ("atk00.sign64", open(foreign, "rb").read())])
    make_raw_bundle(os.path.join(folder, "links.CRY"), [("allinfo.json", b"[]"), ("x.ipk", None, "/etc/passwd")])
    with open(os.path.join(folder, "header.CRY"), "wb") as f:
        f.write(b"HEADERLENGTH: 512\r\nPLATFORMNAME: all\r\nSWPART: 1\r\nPACKAGENAME: x\r\n\r\n" + b"\0" * 600)
    for name in os.listdir(folder):
        os.chmod(os.path.join(folder, name), 0o644)


class Run:
    """One generated run: the attacker's moves, the honest drops, and what the
    device showed."""

    def __init__(self, sb, seed):
        self.sb, self.seed = sb, seed
        self.honest = {}  # package -> (file name, sha256 of the signed bytes)
        self.moves = []

    def disturbed(self):
        """Honest drops the attacker removed, renamed, replaced, gave a second
        name or a signature of his own, and those whose signature beside them
        he touched so."""
        names = set()
        for move, name, detail in self.moves:
            if move in ("rename", "hijack", "unlink", "sign_beside"):
                names.add(name)
            for prefix in ("renamed to ", "hard link to "):
                if detail.startswith(prefix):
                    names.add(detail[len(prefix):])
        return {p for p, (f, _) in self.honest.items() if f in names or f[:-len(".ipk")] + ".sign64" in names}

    def states(self, base):
        """Entries the attacker made or changed whose name has this base: each is a state of the name."""
        return 1 + sum(1 for _, name, detail in self.moves
                       if name.startswith(base + ".") or re.match(rf"renamed to {base}\.", detail))

    def check(self, d, n, before, landed):
        sb, found = self.sb, []
        signed = {h for _, h in self.honest.values()}
        for line in handed(sb, "installer"):
            file, digest = line.split(" ")
            if digest not in signed:
                found.append(f"installer handed {file} with bytes nobody signed ({digest[:12]})")
        for line in handed(sb, "updater"):
            found.append(f"image updater handed {line}: no image was signed")
        calls = calls_after(sb, n)
        for c in calls:
            if c[:2] == ["systemctl", "start"] and c[2][len("install@"):] not in self.honest:
                found.append(f"installed {c[2]}, which no honest drop carries")
        disturbed = self.disturbed()
        for package in self.honest:
            count = calls.count(argv_of(f'systemctl start "install@{package}"'))
            # A drop he touched may be gone, or installed again: its bytes are
            # readable, so he holds signed software he may drop as often as he
            # likes (and a name he renamed away during its take still names
            # the taken file). Only signed bytes ever reach the installer (above).
            if count != 1 and package not in disturbed:
                found.append(f"honest drop {self.honest[package][0]} ({package}) installed {count} times")
        found += [f"changed outside the daemon's folders: {rel}" for rel in changed_outside(sb, before)]
        found += [f"in the work folder, not placed by the daemon: {e}" for e in work_entries_not_placed(sb)]
        found += [f"landed in the work folder: {e}" for e in landed()]
        texts = d.syslog_texts()
        for base in sorted({name.split(".")[0] for _, name, _ in self.moves if name.startswith("atk")}):
            naming = re.compile(rf"(?<![A-Za-z0-9]){base}\.")
            count, states = sum(1 for t in texts if naming.search(t)), self.states(base)
            if count > LINES_PER_STATE * states:
                sample = sorted({t for t in texts if naming.search(t)})[:3]
                found.append(f"{count} log lines name {base}.* for {states} states of it: {sample}")
        if not d.alive():
            found.append("the daemon ended")
        return found


def test_generated_attacks(make_sandbox, run_daemon, tmp_path, request, attacker_folder):
    seed = int(os.environ.get("KV_ADVERSARY_SEED") or random.SystemRandom().randrange(1 << 31))
    seconds = float(os.environ.get("KV_ADVERSARY_SECONDS", "40"))
    replay = f"KV_ADVERSARY_SEED={seed} KV_ADVERSARY_SECONDS={seconds:g}"
    reporter = request.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        reporter.write_line(f"\ngenerated attacks: {replay}")
    print(f"generated attacks: {replay}")
    rng = random.Random(seed)
    sb = make_sandbox()
    attacker_access(sb)
    with open(sb.dev("/etc/passwd"), "w") as f:
        f.write("root:x:0:0:root:/home/root:/bin/sh\n")
    home = attacker_folder()
    crafted = os.path.join(home, "crafted")
    artifacts(crafted, str(tmp_path))
    attack_dir = os.path.join(sb.path, "attack")
    landed = observe_work_folder(sb, attack_dir)
    # At the installer unit's start the attacker writes through every
    # descriptor he keeps in flight; then what the unit is handed is recorded.
    poke = os.path.join(home, "attacker.sock")
    sb.steer("systemctl", subcommand="start", hook=POKE_THEN_RECORD.format(
        sock=poke, path='os.path.join(root, "home/root", args[1][len("install@"):] + ".ipk")', record="installer"))
    sb.steer("mender", out=FAILING_UPDATER, hook=RECORD_HANDED.format(path="args[-1]", record="updater"))
    run = Run(sb, seed)
    packages = []
    for i in range(rng.randint(2, 4)):
        package, name = f"kvh{i}", f"h{i}_{rng.randrange(10 ** 6)}.ipk"
        path = signed_ipk(str(tmp_path / package), sb, package, file_name=name)
        run.honest[package] = (name, sha256(path))
        # The signature arrives with its package, not before: into the bundle
        # folder, or beside it in the watch folder just before or after it.
        signature = sb.dev(f"/home/root/bundle/{name[:-len('.ipk')]}.sign64")
        shutil.move(signature, path + ".sign64")
        where = rng.choice(["bundle", "before", "after"])
        if where != "bundle":
            signature = sb.dev(WATCH + os.path.basename(signature))
        packages.append((rng.uniform(0, seconds * 0.8), path, signature, where))
    # Nothing the attacker brings is signed: a crafted file with an honest
    # drop's bytes would make its second install look like a fault.
    assert not {sha256(os.path.join(crafted, f)) for f in os.listdir(crafted)} & {h for _, h in run.honest.values()}
    before = device_state(sb, lambda rel: not in_three_folders(rel))
    d, n = start(run_daemon, sb, attack_dir=attack_dir, fastwait=True, env={"KVUPDATER_SIGNATURE_WAIT": "20"})

    targets = [sb.dev(p) for p in ("/home/root/.sign/ipksignkeypublic.pem", "/etc/passwd", "/home/root/sync-users.sh")]
    log = os.path.join(sb.path, "attacker.jsonl")
    with open(log, "w") as out:
        him = attacker(home, "generate", str(seed), str(seconds), sb.dev(WATCH), crafted, *targets, stdout=out,
                       env=dict(os.environ, ATTACKER_SOCKET=poke))
    try:
        # Honest drops at moments the seed chose (the pace decides nothing).
        begun = time.monotonic()
        for at, path, signature, where in sorted(packages):
            time.sleep(max(0.0, at - (time.monotonic() - begun)))
            if where == "bundle":
                shutil.copyfile(path + ".sign64", signature)
            elif where == "before":
                drop(sb, path + ".sign64", os.path.basename(signature))
            drop(sb, path)
            if where == "after":
                drop(sb, path + ".sign64", os.path.basename(signature))
        him.wait(timeout=seconds + 120)
    finally:
        if him.poll() is None:
            him.kill()
            him.wait()
    run.moves = [json.loads(line) for line in open(log) if line.strip()]
    try:
        # The loop still takes drops, and every honest drop left alone is installed.
        final = signed_ipk(str(tmp_path / "final"), sb, "kvfinal", file_name="final.ipk")
        run.honest["kvfinal"] = ("final.ipk", sha256(final))
        drop(sb, final)
        wait_for(lambda: installs(sb, n, "kvfinal") >= 1, 180, "a drop after the attacks installed")
        for package in set(run.honest) - run.disturbed():
            wait_for(lambda: installs(sb, n, package) >= 1, 60, f"honest drop {package} installed")
        # What the daemon refused does not stay in root's folder: once the
        # drops left behind have had their passes, only signed packages remain.
        signed = {h for _, h in run.honest.values()}
        wait_for(lambda: not unsigned_in_work(sb, signed), 120, "refused packages removed from the work folder")
        problems = run.check(d, n, before, landed)
    except TimeoutError as e:
        problems = [str(e)] + run.check(d, n, before, landed)
    keep = os.environ.get("KV_ADVERSARY_KEEP")
    if problems and keep:  # the sandbox, its logs and the moves, to look at after the run
        kept = os.path.join(keep, f"seed-{seed}")
        shutil.copytree(sb.path, kept, symlinks=True, dirs_exist_ok=True, ignore=lambda d, names: [
            n for n in names if d == sb.path and n in ("root", "bin", "lib")])
        with open(os.path.join(kept, "folders.txt"), "w") as f:
            for folder in (WATCH, WORK, "/home/root/bundle/"):
                f.write(subprocess.run(["ls", "-la", sb.dev(folder)], capture_output=True, text=True).stdout)
    moves = "\n".join(json.dumps(m) for m in run.moves[-40:])
    assert problems == [], (f"{len(problems)} invariants broken; replay with {replay} "
                            f"(tests/e2e/test_intake_adversary.py docstring):\n" + "\n".join(problems) +
                            f"\nlast moves of {len(run.moves)}:\n{moves}")
