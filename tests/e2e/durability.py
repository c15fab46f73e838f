"""What a power cut leaves of the device's files, from a file-system call trace.

The trace (tests/sandbox/fstrace.c) holds one JSON object per call of the
daemon and of every program it started, in the order the calls ended
(execve: before it). replay() runs through it and keeps a model of what is
durable:

- a file's data is durable up to the length it had at its last flush
  (fsync/fdatasync of it, or sync/syncfs); every write, truncation or change
  of size or mtime seen after that makes it dirty; a file created during the
  trace has no durable data until flushed;
- a change of names (create, rename, link, unlink, mkdir, rmdir) is durable
  once every folder it touched was flushed after it (fsync of the folder, or
  sync/syncfs);
- a flush the trace marks "skipped" (a mutation of the daemon) leaves what
  it should have flushed undurable for good, through later syncs too: it
  stands for a daemon that never flushes it.

check_ordering() reports the violations of the ordering rules (RULES);
powercut() lists the undo operations a power cut after a given line
implies, and apply_powercut() performs them on a sandbox.
"""
import json
import os
import posixpath
import shutil

WATCH = "/opt/kv2/swfw"
WORK = "/home/root"
BUNDLE = "/home/root/bundle"
# Names a restart reads to know where the road stood.
JOURNAL = "/home/root/kvupdaterd.journal"
RECORDS = (JOURNAL, "/home/root/kvupdaterd.road", "/home/root/kvupdaterd.bundle", "/home/root/kvupdaterd.commit")
RELIED_ON = RECORDS + (WATCH + "/install.lock", WATCH + "/IMAGEUPDATEOK.TXT", WATCH + "/IMAGEUPDATEFAILED.TXT",
                       BUNDLE + "/allinfo.json")
# Where a file is written before the rename or link that publishes it.
TEMPORARY = (".kvstate-", ".kvtake-", ".kvunpack", ".incoming", "INSTALLER.IPKTMP")
# Files start-up removes from the work folder whatever they hold: nothing
# relies on them across a restart.
SCRATCH = ("control", "debian-binary", "postinst", "preinst", "postrm", "prerm")
# Programs whose start is visible beyond the daemon.
VISIBLE = ("systemctl", "mender", "reboot", "shutdown", "poweroff", "halt")


def read_trace(path):
    """The trace's calls, as dicts, in file order (a line cut short by a
    kill is left out)."""
    calls = []
    if not os.path.exists(path):
        return calls
    with open(path, errors="replace") as f:
        for line in f:
            try:
                calls.append(json.loads(line))
            except ValueError:
                pass
    return calls


def folder_of(path):
    return posixpath.dirname(path.rstrip("/")) or "/"


def temporary(path):
    return any(part.startswith(TEMPORARY) for part in path.split("/"))


class Inode:
    def __init__(self, ino, size, mtime, new):
        self.ino = ino
        self.size, self.mtime = size, mtime
        self.flushed = 0 if new else size   # length durable after a power cut
        self.dirty = new
        self.never = False                  # a flush of it was skipped
        self.written = new                  # data written by a traced program

    def touch(self, size, mtime, before=None):
        if not self.dirty and before is not None:
            self.flushed = min(self.flushed, before)
        self.dirty, self.written = True, True
        self.size, self.mtime = size, mtime

    def observe(self, call):
        """A state seen with no write: a change means writes the trace could
        not see (stdio, a program's internal calls)."""
        size, mtime = call.get("size"), call.get("mtime")
        if size is None:
            return
        if (size, mtime) != (self.size, self.mtime):
            self.touch(size, mtime, before=min(size, self.size))

    def flush(self):
        if not self.never:
            self.dirty, self.flushed = False, self.size

    def durable(self):
        return not self.dirty and not self.never


class Op:
    """A change of names not yet durable."""

    def __init__(self, index, kind, path, ino=None, source=None, over=None, folders=()):
        self.index, self.kind, self.path, self.ino = index, kind, path, ino
        self.source, self.over = source, over
        self.folders = set(folders)
        self.never = False

    def names(self):
        return {self.path} | ({self.source} if self.source else set())

    def __str__(self):
        if self.kind == "rename":
            return f"rename {self.source} -> {self.path}"
        return f"{self.kind} {self.path}"


class Model:
    def __init__(self):
        self.inodes = {}
        self.names = {}     # device path -> ino, as far as the trace tells
        self.pending = []   # Op, in trace order

    def inode(self, call, new=False):
        ino = call.get("ino")
        if ino is None or call.get("dir"):
            return None
        node = self.inodes.get(ino)
        if node is None:
            node = self.inodes[ino] = Inode(ino, call.get("size", 0), call.get("mtime"), new)
        return node

    def change(self, op):
        self.pending.append(op)

    def flush_folder(self, folder, skipped):
        for op in self.pending:
            if folder in op.folders:
                if skipped:
                    op.never = True
                else:
                    op.folders.discard(folder)
        self.pending = [op for op in self.pending if op.folders or op.never]

    def sync(self):
        for node in self.inodes.values():
            node.flush()
        self.pending = [op for op in self.pending if op.never]

    def entry_durable(self, path):
        return not any(path in op.names() for op in self.pending)

    def apply(self, index, c):
        call, ok = c["call"], c.get("rc", 0) >= 0
        if call in ("open", "openat", "creat", "fopen"):
            if not ok:
                return
            known = c.get("ino") in self.inodes
            new = bool(c.get("creat")) and not known and c.get("size") == 0 and c["path"] not in self.names
            node = self.inode(c, new=new)
            if node is None:
                return
            if new:
                self.names[c["path"]] = node.ino
                self.change(Op(index, "create", c["path"], node.ino, folders=[folder_of(c["path"])]))
            elif c.get("trunc"):
                node.touch(c.get("size", 0), c.get("mtime"), before=0)
            else:
                node.observe(c)
        elif call in ("write", "pwrite", "writev", "pwritev", "ftruncate", "fallocate", "copy_file_range"):
            node = self.inode(c)
            if node is not None:
                node.touch(c.get("size", node.size), c.get("mtime"), before=c.get("before"))
        elif call == "close":
            node = self.inode(c)
            if node is not None:
                node.observe(c)
        elif call in ("fsync", "fdatasync"):
            if c.get("dir"):
                self.flush_folder(c["path"], c.get("skipped"))
                return
            node = self.inode(c)
            if node is None:
                return
            node.observe(c)
            if c.get("skipped"):
                node.never = True
            elif ok:
                node.flush()
        elif call in ("sync", "syncfs"):
            self.sync()
        elif not ok:
            return
        elif call == "rename":
            node = self.inode(c)
            if node is not None:
                node.observe(c)
            self.names.pop(c["from"], None)
            if c.get("ino") is not None:
                self.names[c["to"]] = c["ino"]
            self.change(Op(index, "rename", c["to"], c.get("ino"), source=c["from"], over=c.get("over"),
                           folders=[folder_of(c["from"]), folder_of(c["to"])]))
        elif call == "link":
            if c.get("ino") is not None:
                self.names[c["to"]] = c["ino"]
                self.inode(c)
            self.change(Op(index, "link", c["to"], c.get("ino"), folders=[folder_of(c["to"])]))
        elif call in ("unlink", "rmdir", "mkdir"):
            self.names.pop(c["path"], None)
            if call == "mkdir" and c.get("ino") is not None:
                self.names[c["path"]] = c["ino"]
            self.change(Op(index, call, c["path"], c.get("ino"), folders=[folder_of(c["path"])]))


def replay(calls, upto=None, each=None):
    """The model after calls[:upto]; each(index, call, model) is called
    before each call is applied."""
    model = Model()
    for index, c in enumerate(calls[:upto]):
        if each is not None:
            each(index, c, model)
        model.apply(index, c)
    return model


# --- the ordering rules ---------------------------------------------------------

RULES = {
    "data-before-publish": "a file's data is flushed after its last write and before the rename or link that "
                           "gives it a name in the watch, work or bundle folder",
    "folder-after-change": "the folder is flushed after a change of a name recovery relies on (journal, "
                           "install lock, markers, manifest), before the next visible act",
    "durable-before-act": "before a unit is started or the image updater is called, the journal's latest "
                          "content and the package or image it names are durable (data and folder entry)",
    "clean-before-marker": "the writable layer's clean is durable before the OK marker, which makes the next start "
                           "clean it, is removed",
}
UPPER = "/data/upperdir/"
OK_MARKER = WATCH + "/IMAGEUPDATEOK.TXT"


def visible_act(c, root=None):
    """A short text for a call that is visible beyond the daemon, else None:
    a program of VISIBLE started, or a drop's name removed from the watch
    folder."""
    if c["call"] == "execve":
        argv = c.get("argv") or []
        if posixpath.basename(c.get("path", "")) in VISIBLE and argv:
            return " ".join([posixpath.basename(argv[0])] + argv[1:])
        return None
    if c.get("rc", 0) < 0:
        return None
    name = c.get("from") if c["call"] == "rename" else c.get("path") if c["call"] == "unlink" else None
    if name and folder_of(name) == WATCH and not temporary(name) and name not in RELIED_ON and \
            not name.upper().endswith(("IPKTMP", ".LOCK")):
        return f"removal of {name} from the watch folder"
    return None


def _device(path, root):
    return path[len(root):] if root and path.startswith(root + "/") else path


def acted_on(argv, root):
    """The package or image a visible act installs, as device paths."""
    names = [posixpath.basename(argv[0])] + argv[1:] if argv else []
    if names[:2] == ["systemctl", "start"] and len(names) > 2 and names[2].startswith("install@"):
        return [f"{WORK}/{names[2][len('install@'):]}.ipk"]
    for word in ("-rootfs", "install"):
        if names[:1] == ["mender"] and word in names[1:-1]:
            return [_device(names[names.index(word) + 1], root)]
    return []


def check_ordering(calls, rules=tuple(RULES), root=None):
    """The violations of the given rules in the trace: (rule, text) pairs."""
    found = []

    def report(rule, text):
        if rule in rules and (rule, text) not in found:
            found.append((rule, text))

    def each(index, c, model):
        if c["call"] in ("rename", "link") and c.get("rc", 0) >= 0 and c.get("ino") is not None:
            to = c["to"]
            node = model.inodes.get(c["ino"])
            published = folder_of(to) in (WATCH, WORK, BUNDLE) and not temporary(to)
            if published and posixpath.basename(to) not in SCRATCH and node is not None and node.written:
                probe = Inode(node.ino, node.size, node.mtime, False)
                probe.__dict__.update(node.__dict__)
                probe.observe(c)
                if not probe.durable():
                    report("data-before-publish", f"{c['call']} to {to}: its data was not flushed")
        if c["call"] == "unlink" and c.get("rc", 0) >= 0 and c.get("path") == OK_MARKER:
            for op in model.pending:
                if op.path.startswith(UPPER):
                    report("clean-before-marker", f"{op} not durable before the removal of {OK_MARKER}")
                    break
        act = visible_act(c, root)
        if act is None:
            return
        for op in model.pending:
            touched = op.names() & set(RELIED_ON)
            if touched:
                report("folder-after-change", f"{op} not durable (folder not flushed) before {act}")
        if c["call"] != "execve":
            return
        needed = [p for p in RECORDS if p in model.names] + acted_on(c.get("argv"), root)
        for path in needed:
            ino = model.names.get(path)
            node = model.inodes.get(ino) if ino is not None else None
            if not model.entry_durable(path):
                report("durable-before-act", f"the name {path} is not durable before {act}")
            if node is not None and not node.durable():
                report("durable-before-act", f"the data of {path} is not durable before {act}")

    replay(calls, each=each)
    return found


# --- power cuts -------------------------------------------------------------------

def powercut(calls, upto=None):
    """The undo operations a power cut right after calls[upto - 1] implies:
    the changes of names not yet durable, undone in reverse order, then
    the files whose data was not flushed since their last write cut back to
    their durable length. Each is a tuple:
      ("unlink", path)   ("rename", from, to)   ("restore", path, ino)
      ("mkdir", path)    ("rmdir", path)        ("truncate", ino, length)"""
    model = replay(calls, upto)
    undo = []
    for op in reversed(model.pending):
        if op.kind in ("create", "link"):
            undo.append(("unlink", op.path))
        elif op.kind == "rename":
            undo.append(("rename", op.path, op.source))
            if op.over is not None:
                undo.append(("restore", op.path, op.over))
        elif op.kind == "unlink" and op.ino is not None:
            undo.append(("restore", op.path, op.ino))
        elif op.kind == "mkdir":
            undo.append(("rmdir", op.path))
        elif op.kind == "rmdir":
            undo.append(("mkdir", op.path))
    for node in model.inodes.values():
        if not node.durable():
            undo.append(("truncate", node.ino, node.flushed))
    return undo


def _by_inode(root, keep):
    found = {}
    for folder in (keep, root):
        if not folder or not os.path.isdir(folder):
            continue
        for base, dirs, files in os.walk(folder):
            for name in files:
                path = os.path.join(base, name)
                try:
                    found.setdefault(os.lstat(path).st_ino, path)
                except OSError:
                    pass
    return found


def apply_powercut(sandbox, undo, keep=None):
    """Performs powercut()'s undo on the sandbox's device root; returns the
    operations that could not be performed (a content nobody kept)."""
    root = sandbox.root
    host = sandbox.dev
    failed = []
    for op in undo:
        kind = op[0]
        try:
            if kind == "unlink":
                if os.path.lexists(host(op[1])) and not os.path.isdir(host(op[1])):
                    os.unlink(host(op[1]))
            elif kind == "rename":
                if os.path.lexists(host(op[1])):
                    os.makedirs(os.path.dirname(host(op[2])), exist_ok=True)
                    os.rename(host(op[1]), host(op[2]))
            elif kind == "restore":
                kept = os.path.join(keep, str(op[2])) if keep else None
                target = host(op[1])
                if os.path.lexists(target):
                    os.unlink(target)
                if kept and os.path.exists(kept):
                    # The kept link becomes the name again: the link count is
                    # what it was.
                    os.rename(kept, target)
                else:
                    source = _by_inode(root, None).get(op[2])
                    if source is None:
                        failed.append(op)
                    else:
                        os.link(source, target)
            elif kind == "mkdir":
                os.makedirs(host(op[1]), exist_ok=True)
            elif kind == "rmdir":
                if os.path.isdir(host(op[1])):
                    shutil.rmtree(host(op[1]))
            elif kind == "truncate":
                path = _by_inode(root, None).get(op[1])
                if path is not None and os.path.getsize(path) > op[2]:
                    os.truncate(path, op[2])
        except OSError as e:
            failed.append(op + (str(e),))
    return failed


# --- running the daemon under the trace ---------------------------------------------

def traced_env(sandbox, env, skip=None):
    """env (the daemon's environment) with the trace preloaded ahead of what
    env preloads: the trace goes to <sandbox>/fstrace.jsonl, kept contents
    to <sandbox>/fstrace-keep/; skip: KV_FSTRACE_SKIP."""
    from packages import BUILD_DIR
    lib = os.path.join(BUILD_DIR, "tests", "e2e", "kvfstrace.so")
    if not os.path.exists(lib):
        raise FileNotFoundError(f"{lib}: build its target first")
    env = dict(env)
    env["LD_PRELOAD"] = ":".join([lib] + ([env["LD_PRELOAD"]] if env.get("LD_PRELOAD") else []))
    asan = env.get("ASAN_OPTIONS", os.environ.get("ASAN_OPTIONS", ""))
    if "verify_asan_link_order" not in asan:
        env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
    os.makedirs(keep_dir(sandbox), exist_ok=True)
    env.update(KV_FSTRACE=trace_path(sandbox), KV_FSTRACE_ROOT=os.path.realpath(sandbox.root),
               KV_FSTRACE_KEEP=keep_dir(sandbox))
    if skip:
        env["KV_FSTRACE_SKIP"] = skip
    return env


def trace_path(sandbox):
    return os.path.join(sandbox.path, "fstrace.jsonl")


def keep_dir(sandbox):
    return os.path.join(sandbox.path, "fstrace-keep")


def restart_trace(sandbox):
    """Starts the trace afresh: what was before counts as durable."""
    if os.path.exists(trace_path(sandbox)):
        os.remove(trace_path(sandbox))
    shutil.rmtree(keep_dir(sandbox), ignore_errors=True)
    os.makedirs(keep_dir(sandbox))
