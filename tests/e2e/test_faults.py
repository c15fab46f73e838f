"""Killed at any step: a bundle with the daemon's own package, the OS image,
the platform's application as a plain package (APP-IPK) and as a container
(APP-CRY) is worked through while the daemon is killed with SIGKILL (with
everything it started, as the service manager or a power cut ends it) at
each observable step in turn: each call of a device program and each line of
the system log. Then the daemon is started again, as often as the device
would (after a requested restart of the machine, after the park that follows
a commit), until the bundle is settled, and the device must be sound:

- every member installed exactly once, or the bundle ended with a logged
  reason;
- the manifest, whenever the daemon was killed, a whole JSON array, and
  never empty while members remain;
- no install lock, no staging folder, no temporary state file left;
- the application services running and the splash screen closed;
- the update log holding each member at most once (once when installed).

A clean run first records the steps, phase by phase; each kill starts from the
clean run's copy of the sandbox at the beginning of its phase:
  A  the bundle dropped: unpacked, own package installed, image written,
     restart of the machine requested (exit 75 in a sandbox);
  B  the start after that restart: commit of the image, park;
  C  the start after the park: application package, container, used-up
     manifest.
Kill points of phase B include the start-up before the commit (between the
restart and the commit) and the commit itself. Beside the calls and lines,
the daemon is killed while the image updater runs (after each line it
printed), once the commit or the installer unit's start did its work but
had not returned, and while an installer unit's job runs (the job is not the
daemon's: it goes on, and is let go once the next life started the unit
again or looks for changes, so that start joins it).

What is installed is read from the installer unit's record (installs.jsonl:
a start that joined a running job installs nothing), the image counts once
for each commit the updater accepted (it accepts one only in the boot right
after the install).

Phase D starts from the settled device: a plain container (APP-CRY, no
bundle) and a plain package are dropped, each alone, and the daemon is killed
at every step of their roads; each must be installed exactly once, with
nothing left behind.

Kills during start-up recovery: for a sample of the kill points of phases A
and C, the life after the kill is killed again at each of its start-up steps
(calls and lines before it looks for changes), then the device runs to the
end and must be sound.

The daemon's fixed waits are shortened (kvfastwait.so); no timing is asserted.
CTest label: faultmatrix.
"""
import fcntl
import glob
import hashlib
import json
import os
import re
import shutil
import time

import pytest

from conftest import drop as conftest_drop
from intake_common import update_log
from kvsandbox import STANDINS, Daemon, Sandbox
from packages import BUILD_DIR, make_cry, make_ipk, make_raw_bundle, sign

LOOKING = "looking for changes"

FASTWAIT = os.path.join(BUILD_DIR, "tests", "e2e", "kvfastwait.so")
SERVICES = ["display-saver", "app", "kvserver", "kvwebview", "display-manager"]
INSTALLERS = {"own": "install@kvupdaterd", "app": "install@kv2-touch", "container": "install@kvserver"}
UPDATE_LOG_LINES = {
    "own": "KVUPDATER: kvupdaterd_1.1.ipk, version: 1.1",
    "image": "     IMAGE: image.cry",
    "app": "       IPK: app_2.5.ipk, version: 2.5",
    "container": "       IPK: appc_2.6.ipk, version: 2.6",
}
MEMBER_FILES = ["kvupdaterd_1.1.ipk", "image.cry", "app_2.5.ipk", "appc_2.6.CRY"]
BUNDLE_ENDED = re.compile(r"bundle ended\n$")
COMMIT_FAILED = "doInstall_MenderCommit, Mender image commit failed"
TAKEN = "scandir_getCRYFileTypeFromHeader, detected Bundle file\n"
PARKED = "doInstall_MenderCommit, Mender image commit completed! \n"
LIFE_TIMEOUT = 120
VERBOSE = os.environ.get("KV_FAULTMATRIX_VERBOSE", "2")
# To look at some kill points alone: a regular expression their description must match.
ONLY = re.compile(os.environ.get("KV_FAULTMATRIX_ONLY", ""))
UPDATER_OUTPUT = " 50%\n100%\nEnabling partition /dev/mmcblk0p3\n"
# Kill points of phases A and C whose next life is killed at each of its start-up steps.
RECOVERY_SAMPLE = 4
# Programs a kill point can hold: the stand-ins and the user sync script (run by its path).
HELD_PROGRAMS = [(name, name) for name in STANDINS] + [("sync-users.sh", "/home/root/sync-users.sh")]


def fast_env():
    asan = os.environ.get("ASAN_OPTIONS", "")
    # Waits a hundredth as long: the matrix's time is the daemon's fixed waits.
    return {"LD_PRELOAD": FASTWAIT, "KV_FASTWAIT_DIVISOR": "100",
            "ASAN_OPTIONS": (asan + ":" if asan else "") + "verify_asan_link_order=0", "KVUPDATER_SIGNATURE_WAIT": "0"}


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    t = str(tmp_path_factory.mktemp("bundle"))
    own = make_ipk(os.path.join(t, "own"), "kvupdaterd", "1.1", file_name="kvupdaterd_1.1.ipk")
    image = os.path.join(t, "image.cry")
    with open(image, "wb") as f:
        f.write(b"artifact " * 1000)
    app = make_ipk(os.path.join(t, "app"), "kv2-touch", "2.5", file_name="app_2.5.ipk")
    inner = make_ipk(os.path.join(t, "inner"), "kvserver", "2.6", file_name="inner.ipk")
    container = make_cry(inner, os.path.join(t, "appc_2.6.CRY"), "KV2_TOUCH")
    members = []
    # Each member with its signature; a container's covers the package inside it.
    for path, signed in [(own, own), (image, image), (app, app), (container, inner)]:
        name = os.path.basename(path)
        signature = os.path.join(t, os.path.splitext(name)[0] + ".sign64")
        sign(signed, signature)
        for p in (path, signature):
            with open(p, "rb") as f:
                members.append((os.path.basename(p), f.read()))
    manifest = [
        {"packageName": "kvupdaterd", "swRev": "1.1", "platformName": "all", "fileName": "kvupdaterd_1.1.ipk"},
        {"packageName": "image", "swRev": "kv-image-4.0.0", "platformName": "kv2-touch", "fileName": "image.cry"},
        {"packageName": "kv2-touch", "swRev": "2.5", "platformName": "kv2-touch", "fileName": "app_2.5.ipk",
         "fileType": "APP-IPK"},
        {"packageName": "kv2-touch", "swRev": "2.6", "platformName": "kv2-touch", "fileName": "appc_2.6.CRY",
         "fileType": "APP-CRY"},
    ]
    members.append(("allinfo.json", json.dumps(manifest, indent=1).encode()))
    return make_raw_bundle(os.path.join(t, "update_2024.CRY"), members)


@pytest.fixture(scope="module")
def plain(tmp_path_factory):
    """The drops of phase D, each dropped alone: {name: (file, its signature,
    installer unit, sha256 of the package the unit must get, update log line)}."""
    t = str(tmp_path_factory.mktemp("plain"))
    # The application's road with the display is the bundle's; a package
    # installed silently keeps this phase short.
    inner = make_ipk(os.path.join(t, "appd"), "kvserver", "2.8", file_name="appd_2.8.ipk")
    container = make_cry(inner, os.path.join(t, "appd_2.8.CRY"), "KV2_TOUCH")
    ipk = make_ipk(os.path.join(t, "toold"), "kvwebview", "1.2", file_name="toold_1.2.ipk")
    drops = {}
    for name, path, package, unit, line in [
            ("container", container, inner, "install@kvserver", "       IPK: appd_2.8.ipk, version: 2.8"),
            ("ipk", ipk, ipk, "install@kvwebview", "       IPK: toold_1.2.ipk, version: 1.2")]:
        signature = os.path.join(t, os.path.splitext(os.path.basename(path))[0] + ".sign64")
        sign(package, signature)
        with open(package, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        drops[name] = (path, signature, unit, digest, line)
    return drops


# --- one device, one bundle, many lives of the daemon --------------------------

def normal(text, sb):
    return text.replace(sb.root, "<root>")


class KillAtCall:
    """Holds the n-th call of a device program with the given arguments
    (counted from journal line `start`, where the phase began) at a point of
    its run; the test then kills the daemon. where: "call" as it is called,
    "line" after it printed `printed` lines, "done" once it did its work and
    is about to return, "unit" (a start of an installer unit) while the
    unit's job runs: that job is the service manager's and is not ended with
    the daemon; it stays held until the Device lets it go."""

    HOOK = """
import json, os, time
target = json.load(open(os.path.join(sandbox, "control", "kill-at.json")))
me = {me!r} + [a.replace(root, "<root>") for a in args]
if me == target["argv"] and {condition}:
    with open(os.path.join(sandbox, "journal.jsonl")) as f:
        lines = f.readlines()[target["from"]:]
    seen = sum(1 for line in lines if [a.replace(root, "<root>") for a in json.loads(line)] == me)
    if seen == target["occurrence"]:
        held = os.path.join(sandbox, "control", target["held"])
        open(held, "w").close()
        # Held until the test has killed the daemon and lets it go; a program
        # the daemon started in a process group of its own (the image
        # updater, the installer unit's job) is not ended with the daemon and
        # must not outlive the test.
        while os.path.exists(held):
            time.sleep(0.2)
"""
    SUFFIX = {"call": ".hook", "line": ".line.hook", "done": ".done.hook"}

    def __init__(self, argv, occurrence, start, where="call", printed=None):
        self.argv, self.occurrence, self.start = argv, occurrence, start
        self.where, self.printed = where, printed
        self.held = "unit-held" if where == "unit" else "held"
        self.fired = False

    def arm(self, sb, d):
        self.fired = False
        with open(os.path.join(sb.control_dir, "kill-at.json"), "w") as f:
            json.dump({"argv": self.argv, "occurrence": self.occurrence, "from": self.start,
                       "held": self.held}, f)
        condition = f"printed == {self.printed}" if self.where == "line" else "True"
        if self.where == "unit":
            hooks = [("unit.hook", ["systemctl", "start"])]
        else:
            hooks = [(control + self.SUFFIX[self.where], [name]) for control, name in HELD_PROGRAMS]
        for file_name, me in hooks:
            with open(os.path.join(sb.control_dir, file_name), "w") as f:
                f.write(self.HOOK.format(me=me, condition=condition))

    def reached(self, sb, d):
        if os.path.exists(os.path.join(sb.control_dir, self.held)):
            d.kill()
            self.fired = True
        return self.fired

    def disarm(self, sb):
        # A unit's job stays held (see Device.release_unit).
        for name in os.listdir(sb.control_dir):
            if name.endswith(".hook") or name in ("kill-at.json", "held"):
                os.remove(os.path.join(sb.control_dir, name))

    def __str__(self):
        where = {"call": "", "line": f" after line {self.printed}", "done": " done", "unit": " in its job"}
        return f"call {' '.join(self.argv)} #{self.occurrence}{where[self.where]}"


class KillAtLine:
    """Kills the daemon from the log reader as the n-th line with this text
    (of the daemon's life) arrives."""

    def __init__(self, text, occurrence, part=False):
        self.text, self.occurrence, self.part = text, occurrence, part
        self.fired = False

    def arm(self, sb, d):
        self.fired, seen = False, [0]

        def match(text):
            if (self.text not in text) if self.part else (normal(text, sb) != self.text):
                return False
            seen[0] += 1
            self.fired = seen[0] == self.occurrence
            return self.fired
        d.kill_at_syslog(match)

    def reached(self, sb, d):
        return self.fired and not d.alive()

    def disarm(self, sb):
        pass

    def __str__(self):
        return f"line {self.text!r} #{self.occurrence}"


class Device:
    """The daemon's lives on one sandbox until the bundle (or drop) is settled."""

    def __init__(self, sb, history=None):
        self.sb = sb
        self.reboot_marks = []     # journal length at each restart of the machine
        self.kills = []            # (kill point, manifest text, bundle folder) right after each kill
        self.lives = []            # system log texts of each life
        self.life_marks = []       # journal length at the start of each life
        self.drop_mark = None      # (journal length, log lines) when the bundle was dropped
        self.power_cut = False     # the machine lost power once (a restart the daemon did not ask for)
        self.held_unit = None      # (unit start argv, journal length) of a job held by a kill
        if history is not None:
            self.reboot_marks, self.lives = list(history.reboot_marks), list(history.lives)
            self.life_marks, self.kills = list(history.life_marks), list(history.kills)

    def history(self):
        """What a copy of the sandbox made now carries over to a Device on it."""
        h = Device(self.sb)
        h.reboot_marks, h.lives = list(self.reboot_marks), list(self.lives)
        h.life_marks, h.kills = list(self.life_marks), list(self.kills)
        return h

    def life(self, kill=None, drop=None):
        """Runs one life of the daemon; returns how it ended: "restart"
        (restart of the machine requested), "parked", "killed", "settled".
        With drop, the file is dropped once the loop runs."""
        sb = self.sb
        held_before = self.held_unit
        self.life_marks.append(len(sb.journal()))
        d = Daemon(sb, ["-v", VERBOSE], interfaces=(), notify=True, lockstep=True, env=fast_env())
        if kill is not None:
            kill.arm(sb, d)
        try:
            d.start()
            if drop is not None:
                d.wait_syslog(LOOKING, timeout=LIFE_TIMEOUT)
                self.drop_mark = (len(sb.journal()), len(d.syslog))
                conftest_drop(sb, drop)
            return self._follow(d, kill)
        finally:
            d.stop()
            if kill is not None:
                kill.disarm(sb)
            if held_before is not None:
                self.release_unit()
            self.lives.append(d.syslog_texts())

    def _follow(self, d, kill):
        sb = self.sb
        settled_since = None
        deadline = time.monotonic() + LIFE_TIMEOUT
        while True:
            if kill is not None and kill.reached(sb, d):
                d.wait_exit()
                self.kills.append((str(kill), self.manifest_text(), os.listdir(sb.dev("/home/root/bundle/"))))
                if getattr(kill, "where", None) == "unit":
                    self.held_unit = (kill.argv, len(sb.journal()))
                return "killed"
            if not d.alive():
                rc = d.wait_exit()
                assert rc == 75, f"daemon ended with {rc}: {d.stderr_text()[-2000:]}"
                self.restart_machine()
                return "restart"
            journal = sb.journal()
            if self.held_unit is not None and kill is None:
                # The job a kill held goes on once this life started its unit
                # again (that start joins it) or is past its start-up.
                argv, mark = self.held_unit
                if argv in [[normal(a, sb) for a in c] for c in journal[mark:]] or \
                        any(LOOKING in t for t in d.syslog_texts()):
                    self.release_unit()
            if PARKED in d.syslog_texts() and [text for _, _, text in d.notifications].count("READY=1") >= 2:
                # Parked after a commit until the machine restarts: the park
                # reports readiness again, once the steps after the commit
                # are done (the first report comes before recovery).
                d.kill()
                self.restart_machine()
                return "parked"
            if kill is None and self.quiet():
                # Settled once passes go by without any device program call.
                mark = (len(journal), len(d.notifications))
                if settled_since is None or settled_since[0] != mark[0]:
                    settled_since = mark
                elif mark[1] - settled_since[1] >= 3:
                    return "settled"
            else:
                settled_since = None
            assert time.monotonic() < deadline, f"life did not end ({kill}); log: {d.syslog_texts()[-15:]}"
            time.sleep(0.05)

    def release_unit(self):
        """Lets an installer unit's job that a kill held go on."""
        self.held_unit = None
        held = os.path.join(self.sb.control_dir, "unit-held")
        if os.path.exists(held):
            os.remove(held)

    def jobs_ended(self, timeout=30):
        """Waits until no installer unit's job runs (each holds its unit's lock)."""
        deadline = time.monotonic() + timeout
        for path in glob.glob(os.path.join(self.sb.path, "units", "*.lock")):
            fd = os.open(path, os.O_RDWR | os.O_CLOEXEC)
            try:
                while True:
                    try:
                        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                        break
                    except BlockingIOError:
                        assert time.monotonic() < deadline, f"installer unit job still running: {path}"
                        time.sleep(0.05)
            finally:
                os.close(fd)

    def restart_machine(self):
        self.reboot_marks.append(len(self.sb.journal()))
        self.sb.restart_machine()

    def quiet(self):
        """Nothing left to work on: no manifest, no container or package waiting."""
        sb = self.sb
        if os.path.exists(sb.dev("/home/root/bundle/allinfo.json")):
            return False
        return not [f for f in os.listdir(sb.dev("/opt/kv2/swfw/")) if f.split(".")[-1].upper() in ("CRY", "IPK")]

    def manifest_text(self):
        path = self.sb.dev("/home/root/bundle/allinfo.json")
        return open(path).read() if os.path.exists(path) else None

    def run_to_end(self, kill=None, drop=None, after_first=None):
        """Lives until the bundle is settled; the first one may be killed
        (after_first(self) runs once it ended)."""
        try:
            outcome = self.life(kill, drop)
            if after_first is not None:
                after_first(self)
            for _ in range(8):
                if outcome == "settled":
                    return
                outcome = self.life()
            raise AssertionError("the bundle never settled")
        finally:
            self.release_unit()
            self.jobs_ended()

    def installs(self, unit, since=0):
        return [digest for u, _, digest in self.sb.installs()[since:] if u == unit]

    def problems(self):
        """What is wrong with the device now that the bundle is settled."""
        sb = self.sb
        journal = sb.journal()
        ended = any(BUNDLE_ENDED.search(t) for texts in self.lives for t in texts)
        installed = {m: len(self.installs(u)) for m, u in INSTALLERS.items()}
        # The image counts once for each commit the updater accepted.
        installed["image"] = len(sb.commits())
        log = update_log(sb)
        found = []
        # A restart of the machine before the commit (a power cut in the new
        # image's first boot) makes the updater roll the image back; the
        # commit it then refuses is the image's logged end.
        rolled_back = self.power_cut and any(t.startswith(COMMIT_FAILED) for texts in self.lives for t in texts)
        for member, n in installed.items():
            if n > 1 or (n == 0 and not ended and not (member == "image" and rolled_back)):
                found.append(f"{member} installed {n} times, no logged end of the bundle")
            lines = log.count(UPDATE_LOG_LINES[member] + "\n")
            if lines > 1 or (n == 1 and lines != 1):
                found.append(f"{member} {lines} times in the update log, installed {n} times")
        for point, text, folder in self.kills:
            if text is None:
                continue
            try:
                items = json.loads(text)
            except ValueError:
                found.append(f"manifest not whole after the kill at {point}: {text!r}")
                continue
            if not isinstance(items, list) or (items == [] and set(folder) & set(MEMBER_FILES)):
                found.append(f"manifest {text!r} after the kill at {point}, members left: {folder}")
        if os.path.exists(sb.dev("/home/root/bundle/allinfo.json")):
            found.append("manifest left")
        return found + self.common_problems(journal)

    def drop_problems(self, unit, digest, line, since):
        """What is wrong after a plain drop settled: it must be installed
        exactly once, as signed, and nothing of its road left."""
        sb = self.sb
        found = []
        installs = self.installs(unit, since)
        if installs != [digest]:
            found.append(f"{unit} installed {len(installs)} times"
                         + ("" if set(installs) <= {digest} else " (other bytes than the signed package)"))
        if update_log(sb).count(line + "\n") != 1:
            found.append(f"update log holds {update_log(sb).count(line + chr(10))} times {line!r}")
        waiting = [f for f in os.listdir(sb.dev("/opt/kv2/swfw/")) if f.split(".")[-1].upper() in ("CRY", "IPK", "IPKTMP")]
        work = [f for f in os.listdir(sb.dev("/home/root/"))
                if f.split(".")[-1].upper() in ("CRY", "IPK", "IPKTMP") or f.startswith("kvupdaterd.journal")]
        if waiting or work:
            found.append(f"left: watch folder {waiting}, work folder {work}")
        return found + self.common_problems(sb.journal())

    def common_problems(self, journal):
        sb = self.sb
        found = []
        if os.path.lexists(sb.dev("/opt/kv2/swfw/install.lock")):
            found.append("install lock left")
        for folder in ("/opt/kv2/swfw/", "/home/root/", "/home/root/bundle/"):
            left = [f for f in os.listdir(sb.dev(folder)) if f.startswith((".kvunpack", ".kvstage", ".kvstate"))]
            if left:
                found.append(f"left in {folder}: {left}")
        running, splash = self.display(journal)
        if running != set(SERVICES):
            found.append(f"services not running: {sorted(set(SERVICES) - running)}")
        if splash:
            found.append("splash screen left up")
        return found

    def display(self, journal):
        """The application services running and whether the splash screen is
        up after the journal's calls: a restart of the machine starts the
        services and ends the splash, and so does the application's installer
        unit once started (it runs as a job of the service manager)."""
        running, splash = set(SERVICES), False
        marks = set(self.reboot_marks)
        for i, call in enumerate(journal + [None]):
            if i in marks:
                running, splash = set(SERVICES), False
            if call is None:
                break
            if call[:2] == ["systemctl", "stop"]:
                running.discard(call[2])
            elif call[:2] == ["systemctl", "restart"]:
                running.add(call[2])
            elif call == ["systemctl", "start", INSTALLERS["app"]]:
                running, splash = set(SERVICES), False
            elif call[0] == "psplash":
                splash = True
            elif call == ["psplash-write", "QUIT"]:
                splash = False
        return running, splash


UPDATER_LINES = UPDATER_OUTPUT.count("\n")


def steps_of(sb, journal_from, start, texts, lines_from, lines_to=None):
    """Kill points for the calls of the journal from journal_from (occurrences
    counted from start, where the life began) and for the log texts from
    index lines_from to lines_to of one life."""
    journal = [[normal(a, sb) for a in c] for c in sb.journal()]
    journal_to = len(journal)
    steps = []
    for i in range(journal_from, journal_to):
        call = journal[i]
        occurrence = journal[start:i + 1].count(call)
        steps.append(KillAtCall(call, occurrence, start))
        if call[0] == "mender" and call[1] in ("install", "-rootfs"):
            # While the updater runs: after each line it printed.
            steps += [KillAtCall(call, occurrence, start, "line", k) for k in range(1, UPDATER_LINES + 1)]
        elif call == ["mender", "commit"]:
            steps.append(KillAtCall(call, occurrence, start, "done"))
        elif call[:2] == ["systemctl", "start"] and call[2].startswith("install@"):
            steps += [KillAtCall(call, occurrence, start, where) for where in ("unit", "done")]
    seen = {}
    texts = [normal(t, sb) for t in texts]
    for i, text in enumerate(texts[:lines_to]):
        seen[text] = seen.get(text, 0) + 1
        if i >= lines_from:
            steps.append(KillAtLine(text, seen[text]))
    return steps


def record_steps(device, outcome_wanted, drop=None, taken=TAKEN):
    """The clean run's steps of one life: device program calls (with their
    occurrence in the life) and log lines (likewise); with drop, only those
    after the drop was taken (the line `taken`, or from the drop on)."""
    sb = device.sb
    before = len(sb.journal())
    assert device.life(drop=drop) == outcome_wanted
    journal_from, lines_from = device.drop_mark if drop is not None else (before, 0)
    texts = device.lives[-1]
    if drop is not None and taken is not None:
        # Until the loop takes it, the drop is a file in the watch folder like
        # any other, waiting for a pass; its road begins once it is recognised.
        lines_from = [normal(t, sb) for t in texts].index(taken, lines_from) + 1
    return steps_of(sb, journal_from, before, texts, lines_from)


@pytest.fixture(scope="module")
def clean(bundle, plain, tmp_path_factory):
    """The clean run: a copy of the sandbox at the beginning of each phase,
    and the steps of each phase."""
    base = str(tmp_path_factory.mktemp("clean"))
    sb = Sandbox.create(os.path.join(base, "device"), "kv2-touch")
    sb.steer("mender", out=UPDATER_OUTPUT, subcommand="-rootfs")
    device = Device(sb)
    snapshots, steps = {}, {}
    for phase, outcome in (("A", "restart"), ("B", "parked"), ("C", "settled")):
        snapshots[phase] = (sb.copy_to(os.path.join(base, phase)), device.history())
        steps[phase] = record_steps(device, outcome, drop=bundle if phase == "A" else None)
    device.jobs_ended()
    assert device.problems() == []
    # Phase D: each plain drop from the settled device, its signature waiting for it.
    for name, (path, signature, unit, digest, line) in plain.items():
        phase = "D " + name
        shutil.copyfile(signature, sb.dev("/home/root/bundle/" + os.path.basename(signature)))
        snapshots[phase] = (sb.copy_to(os.path.join(base, name)), device.history())
        since = len(sb.installs())
        steps[phase] = record_steps(device, "settled", drop=path, taken=None)
        device.jobs_ended()
        assert device.drop_problems(unit, digest, line, since) == []
    return snapshots, steps


def sample(points, count):
    """count points spread evenly over the list (all when it has no more)."""
    if len(points) <= count:
        return list(points)
    return [points[round(i * (len(points) - 1) / (count - 1))] for i in range(count)]


def startup_steps(copy, history, path):
    """The kill points of the start-up of the life that follows a kill, on a
    copy of the sandbox the kill left: its calls and lines until it looks for
    changes (a life that ends before, all of them)."""
    device = Device(copy.copy_to(path), history)
    try:
        device.life(KillAtLine(LOOKING, 1, part=True))
    finally:
        device.release_unit()
        device.jobs_ended()
    start = device.life_marks[-1]
    steps = steps_of(device.sb, start, start, device.lives[-1], 0)
    shutil.rmtree(device.sb.path, ignore_errors=True)
    # The lines of the listeners' start change nothing on the device: a kill
    # there is a kill at the life's first line.
    return [s for s in steps if not (isinstance(s, KillAtLine) and s.text.startswith("idserver_InitServer"))]


def test_killed_at_each_step_nothing_is_lost_or_stuck(clean, bundle, plain, tmp_path, capsys):
    snapshots, steps = clean
    failures, covered = [], 0
    started = time.monotonic()
    # Points whose next life is killed again during its start-up; a job the
    # kill held would be lost with a copy of the sandbox, so none of those.
    candidates = [s for p in "AC" for s in steps[p] if getattr(s, "where", None) != "unit"]
    recovering = {id(s) for s in sample(candidates, RECOVERY_SAMPLE)}
    after_kills = []  # (phase, point, copy of the sandbox right after the kill, history)

    def check(phase, device):
        if phase in "ABC":
            return device.problems()
        _, _, unit, digest, line = plain[phase.split()[1]]
        return device.drop_problems(unit, digest, line, since=len(snapshots[phase][0].installs()))

    def run(name, phase, device, point, **kw):
        try:
            device.run_to_end(point, **kw)
            problems = check(phase, device) if point.fired else ["kill point not reached"]
        except (AssertionError, TimeoutError) as e:
            problems = [f"{type(e).__name__}: {e}"]
        if problems:
            failures.append(f"phase {phase}, killed at {name}: {problems}")
        else:
            shutil.rmtree(device.sb.path, ignore_errors=True)

    for phase in steps:
        tag = phase.replace(" ", "")
        drop = bundle if phase == "A" else plain[phase.split()[1]][0] if phase.startswith("D") else None
        for i, step in enumerate(steps[phase]):
            if not ONLY.search(f"{phase}: {step}"):
                continue
            snapshot, history = snapshots[phase]
            device = Device(snapshot.copy_to(str(tmp_path / f"{tag}{i}")), history)

            def keep_copy(dev, step=step, i=i, phase=phase, tag=tag):
                if id(step) in recovering and step.fired:
                    after_kills.append((phase, step, dev.sb.copy_to(str(tmp_path / f"R{tag}{i}")), dev.history()))
            run(step, phase, device, step, drop=drop, after_first=keep_copy)
            covered += 1

    # Killed again while recovering from a kill.
    recovery_points = 0
    for k, (phase, first, copy, history) in enumerate(after_kills):
        try:
            points = startup_steps(copy, history, str(tmp_path / f"P{k}"))
        except (AssertionError, TimeoutError) as e:
            failures.append(f"phase {phase}, killed at {first}, then recorded: {type(e).__name__}: {e}")
            continue
        for j, point in enumerate(points):
            run(f"{first}, then at start-up {point}", phase, Device(copy.copy_to(str(tmp_path / f"S{k}-{j}")), history),
                point)
            covered += 1
            recovery_points += 1
        shutil.rmtree(copy.path, ignore_errors=True)
    with capsys.disabled():
        print(f"\nfault matrix: {covered} kill points covered "
              f"({', '.join(f'{p} {len(steps[p])}' for p in steps)}, "
              f"{recovery_points} at start-up after {len(after_kills)} kills) in {time.monotonic() - started:.0f} s")
    assert failures == [], "\n".join(failures)


# --- power cuts -----------------------------------------------------------------

POWERCUT_POINTS = int(os.environ.get("KV_POWERCUT_POINTS", "30"))


def test_power_cut_at_sampled_steps_nothing_is_lost_or_stuck(clean, bundle, tmp_path, monkeypatch, capsys):
    """A power cut, not only a kill: at a sample of the clean run's steps
    spread evenly over the phases, the daemon is killed under the
    file-system call trace, what the cut takes back is undone (changes of
    names not yet durable, data not flushed since its last write), the
    machine starts with a new boot id, and the device runs to the end with
    the invariants of the kill matrix."""
    import durability
    snapshots, steps = clean
    points = [(phase, i) for phase in "ABC" for i in range(len(steps[phase]))]
    count = min(POWERCUT_POINTS, len(points))
    sample = [points[k * len(points) // count] for k in range(count)]
    traced, plain = [None], fast_env
    monkeypatch.setitem(globals(), "fast_env",
                        lambda: durability.traced_env(traced[0], plain()) if traced[0] else plain())
    failures = []
    started = time.monotonic()
    for phase, i in sample:
        step = steps[phase][i]
        snapshot, history = snapshots[phase]
        device = Device(snapshot.copy_to(str(tmp_path / f"cut{phase}{i}")), history)
        sb = device.sb
        durability.restart_trace(sb)
        traced[0] = sb
        try:
            outcome = device.life(step, drop=bundle if phase == "A" else None)
            traced[0] = None
            problems = []
            if outcome != "killed":
                problems.append("kill point not reached")
            else:
                undo = durability.powercut(durability.read_trace(durability.trace_path(sb)))
                lost = durability.apply_powercut(sb, undo, keep=durability.keep_dir(sb))
                problems += [f"power cut could not be undone: {op}" for op in lost]
                # The manifest must be whole as the cut left it.
                device.kills[-1] = (str(step), device.manifest_text(),
                                    os.listdir(sb.dev("/home/root/bundle/")))
                device.restart_machine()
                device.power_cut = True
                for _ in range(8):
                    if device.life() == "settled":
                        break
                else:
                    raise AssertionError("the bundle never settled")
            problems += device.problems()
        except (AssertionError, TimeoutError) as e:
            problems = [f"{type(e).__name__}: {e}"]
        finally:
            traced[0] = None
        if problems:
            failures.append(f"phase {phase}, power cut at {step}: {problems}")
        else:
            shutil.rmtree(sb.path, ignore_errors=True)
    with capsys.disabled():
        print(f"\npower cuts: {len(sample)} of {len(points)} steps in {time.monotonic() - started:.0f} s")
    assert failures == [], "\n".join(failures)
