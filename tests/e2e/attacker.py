#!/usr/bin/python3
"""The watch folder's attacker as a process of his own (run as uid 4242).

  attacker.py inflight SOURCE WATCH NAME MODE SOCKET
      Drops a copy of SOURCE (an honestly signed file he copied) at WATCH/NAME
      while he keeps a way to write it that no /proc/<pid>/fd entry shows:
        write      a descriptor opened for writing, sent to himself over a
                   socket pair (SCM_RIGHTS) and closed: it is in flight;
        mmap       the same, and the descriptor received is mapped shared and
                   written through the mapping;
        held-mmap  a shared writable mapping made before the drop, whose
                   descriptor is closed (the mapping shows in /proc/<pid>/maps).
      Prints "ready" once the file is in place, then serves SOCKET: a client
      that sends "go" has the file overwritten with 0xee bytes (same length)
      and is answered with what was done.

  attacker.py generate SEED SECONDS WATCH ARTIFACTS TARGET...
      For SECONDS, random moves (random.Random(SEED)) on WATCH: see MOVES.
      ARTIFACTS holds crafted files to drop; TARGETs are files of root's for
      links. Each move that took effect is printed as one JSON line
      [move, name, detail]; at the end every hold is released. With
      ATTACKER_SOCKET set, a client that sends "go" there has every
      descriptor in flight written at once (see inflight).
"""
import array
import hashlib
import json
import mmap
import os
import random
import signal
import socket
import sys
import threading
import time

EVIL = 0xEE


def send_in_flight(fd):
    """The descriptor goes into a socket pair's queue; only the pair shows in /proc."""
    a, b = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
    a.sendmsg([b"x"], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [fd]))])
    os.close(fd)
    return a, b


def receive_in_flight(b):
    _, ancillary, _, _ = b.recvmsg(1, socket.CMSG_SPACE(4))
    for level, kind, data in ancillary:
        if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
            return array.array("i", data[:4])[0]
    raise RuntimeError("no descriptor received")


def place(watch, name, data):
    staging = os.path.join(watch, f".atk-{os.getpid()}-{name}")
    with open(staging, "wb") as f:
        f.write(data)
    return staging


def inflight(source, watch, name, mode, sock_path):
    data = open(source, "rb").read()
    staging = place(watch, name, data)
    size = len(data)
    fd = os.open(staging, os.O_RDWR if mode != "write" else os.O_WRONLY)
    mapping = pair = None
    if mode == "held-mmap":
        mapping = mmap.mmap(fd, size, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE)
        os.close(fd)
    else:
        pair = send_in_flight(fd)
    os.rename(staging, os.path.join(watch, name))
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(sock_path)
    os.chmod(sock_path, 0o666)
    server.listen(4)
    print("ready", flush=True)
    conn, _ = server.accept()
    conn.recv(16)
    try:
        if mode == "held-mmap":
            mapping[:] = bytes([EVIL]) * size
            mapping.flush()
            done = "written through the mapping held across the take"
        else:
            fd = receive_in_flight(pair[1])
            if mode == "mmap":
                m = mmap.mmap(fd, size, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE)
                m[:] = bytes([EVIL]) * size
                m.flush()
                done = "written through a mapping of the descriptor kept in flight"
            else:
                os.pwrite(fd, bytes([EVIL]) * size, 0)
                done = "written through the descriptor kept in flight"
            os.close(fd)
    except (OSError, ValueError) as e:
        done = f"could not write: {e}"
    conn.sendall(done.encode() + b"\n")
    conn.close()


# --- the generator --------------------------------------------------------------

POOL = [f"atk{k:02d}{ext}" for k in range(12) for ext in (".ipk", ".CRY", ".sign64")] + \
    ["IMAGE.CRY", "IMAGE.sign64", "install.lock", "INSTALLER.IPKTMP", "IMAGEUPDATEFAILED.TXT"]


class Generator:
    """The attacker's moves; each returns (name, detail) when it took effect."""

    def __init__(self, seed, watch, artifacts, targets):
        self.rng = random.Random(seed)
        self.watch = watch
        self.artifacts = [os.path.join(artifacts, f) for f in sorted(os.listdir(artifacts))]
        self.targets = targets
        self.holds = []      # open descriptors and mappings
        self.flying = []     # (socket pair, size) of descriptors in flight
        self.moves = [m for m in dir(self) if m.startswith("move_")]

    def path(self, name):
        return os.path.join(self.watch, name)

    def listing(self):
        return [n for n in os.listdir(self.watch) if not n.startswith(".")]

    def own(self):
        mine = []
        for n in self.listing():
            try:
                st = os.lstat(self.path(n))
            except OSError:
                continue
            if st.st_uid == os.getuid() and os.path.isfile(self.path(n)) and not os.path.islink(self.path(n)):
                mine.append(n)
        return mine

    def pick(self, names):
        return self.rng.choice(names) if names else None

    def pool_name(self):
        return self.rng.choice(POOL)

    def put(self, name, data):
        staging = place(self.watch, name, data)
        os.rename(staging, self.path(name))

    def move_create(self):
        name = self.pool_name()
        self.put(name, self.rng.randbytes(self.rng.choice([0, 1, 100, 4096, 70000])))
        return name, "garbage"

    def move_create_in_steps(self):
        name = self.pool_name()
        # Never waits on a FIFO of his own at the name.
        fd = os.open(self.path(name), os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_NONBLOCK, 0o644)
        try:
            for _ in range(self.rng.randint(1, 4)):
                os.write(fd, self.rng.randbytes(512))
        finally:
            os.close(fd)
        return name, "written in place"

    def move_artifact(self):
        source = self.pick(self.artifacts)
        ext = ".CRY" if source.endswith((".CRY", ".cry")) else ".ipk"
        name = self.rng.choice([n for n in POOL if n.endswith(ext)])
        self.put(name, open(source, "rb").read())
        return name, os.path.basename(source)

    def move_write(self):
        name = self.pick(self.own())
        if name is None:
            return None
        with open(self.path(name), "r+b") as f:
            f.seek(self.rng.randint(0, 600))
            f.write(self.rng.randbytes(64))
        return name, "overwritten in part"

    def move_rename(self):
        name = self.pick(self.listing())
        to = self.pool_name() if self.rng.random() < 0.7 else self.pick(self.listing())
        if name is None or to is None or to == name:
            return None
        os.rename(self.path(name), self.path(to))
        return name, f"renamed to {to}"

    def move_hijack(self):
        """An honest drop (root's) replaced by his own copy of it, whose
        descriptor he keeps in flight."""
        roots = [n for n in self.listing() if n.endswith(".ipk") and os.lstat(self.path(n)).st_uid == 0]
        name = self.pick(roots)
        if name is None:
            return None
        data = open(self.path(name), "rb").read()
        staging = place(self.watch, name, data)
        copied = f"replaced by his copy {hashlib.sha256(data).hexdigest()}, a descriptor in flight"
        try:
            self.flying.append((send_in_flight(os.open(staging, os.O_RDWR)), len(data)))
            os.rename(staging, self.path(name))
        except OSError:
            # His copy stands in the watch folder under its staging name (the
            # daemon may have taken it): the drop counts as touched all the same.
            return name, copied + " (left under its staging name)"
        return name, copied

    def move_sign_beside(self):
        """A signature of his own (garbage, empty or oversized) put beside a
        package or container at the name the daemon takes with it."""
        drops = [n for n in self.listing() if n.endswith((".ipk", ".CRY"))]
        name = self.pick(drops)
        if name is None:
            return None
        self.put(name.rsplit(".", 1)[0] + ".sign64", self.rng.randbytes(self.rng.choice([0, 344, 70000])))
        return name, "signature beside"

    def move_link(self):
        name = self.pick(self.listing())
        to = self.pool_name()
        if name is None:
            return None
        os.link(self.path(name), self.path(to))
        return to, f"hard link to {name}"

    def move_symlink(self):
        to = self.pool_name()
        target = self.pick(self.targets + [self.path(n) for n in self.listing()] + ["/dev/zero"])
        os.symlink(target, self.path(to))
        return to, f"symlink to {target}"

    def move_mkdir(self):
        name = self.pool_name()
        os.mkdir(self.path(name))
        if self.rng.random() < 0.6:
            with open(os.path.join(self.path(name), "inside"), "wb") as f:
                f.write(b"x")
            return name, "folder, not empty"
        return name, "empty folder"

    def move_mkfifo(self):
        name = self.pool_name()
        os.mkfifo(self.path(name))
        return name, "FIFO"

    def move_hold(self):
        name = self.pick(self.listing())
        if name is None or len(self.holds) > 6:
            return None
        writing = name in self.own() and self.rng.random() < 0.5
        fd = os.open(self.path(name), (os.O_RDWR if writing else os.O_RDONLY) | os.O_NONBLOCK | os.O_NOFOLLOW)
        self.holds.append(fd)
        return name, "held open for writing" if writing else "held open"

    def move_release(self):
        if not self.holds:
            return None
        hold = self.holds.pop(self.rng.randrange(len(self.holds)))
        if isinstance(hold, int):
            os.close(hold)
        else:
            hold.close()
        return None

    def move_mmap(self):
        name = self.pick(self.own())
        if name is None or len(self.holds) > 6:
            return None
        fd = os.open(self.path(name), os.O_RDWR | os.O_NOFOLLOW)
        size = os.fstat(fd).st_size
        if size == 0:
            os.close(fd)
            return None
        self.holds.append(mmap.mmap(fd, size, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE))
        os.close(fd)
        return name, "mapped shared and writable"

    def move_in_flight(self):
        name = self.pick(self.own())
        if name is None:
            return None
        fd = os.open(self.path(name), os.O_RDWR | os.O_NOFOLLOW)
        size = os.fstat(fd).st_size
        self.flying.append((send_in_flight(fd), size))
        return name, "descriptor in flight"

    def move_write_in_flight(self):
        """Every descriptor in flight is used: its file overwritten."""
        if not self.flying:
            return None
        for (a, b), size in self.flying:
            fd = receive_in_flight(b)
            os.pwrite(fd, bytes([EVIL]) * min(max(size, 1), 1 << 20), 0)
            a.sendmsg([b"x"], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [fd]))])
            os.close(fd)
        return None

    def move_truncate(self):
        name = self.pick(self.own())
        if name is None:
            return None
        os.truncate(self.path(name), self.rng.randint(0, 300))
        return name, "truncated"

    def move_sparse(self):
        name = self.pick(self.own())
        if name is None:
            return None
        os.truncate(self.path(name), self.rng.choice([4, 16, 64]) << 30)
        return name, "extended sparse"

    def move_unlink(self):
        name = self.pick(self.listing())
        if name is None:
            return None
        path = self.path(name)
        if os.path.isdir(path) and not os.path.islink(path):
            for inner in os.listdir(path):
                os.unlink(os.path.join(path, inner))
            os.rmdir(path)
        else:
            os.unlink(path)
        return name, "removed"

    def step(self):
        move = self.rng.choice(self.moves)
        if self.rng.random() < 0.5 and any(n.endswith(".ipk") for n in self.listing()):
            move = "move_hijack"  # a drop of someone else's is there: he goes for it
        try:
            done = getattr(self, move)()
        except OSError:
            return None  # the entry changed meanwhile, or the move is not allowed
        return (move[len("move_"):],) + done if done else None

    def release(self):
        for hold in self.holds:
            if isinstance(hold, int):
                os.close(hold)
            else:
                hold.close()
        for (a, b), _ in self.flying:
            a.close()
            b.close()
        self.holds, self.flying = [], []


def serve_pokes(g, lock, sock_path):
    """A client that sends "go" (a stand-in the daemon calls once it has
    checked a file) has every descriptor in flight written at that moment."""
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(sock_path)
    os.chmod(sock_path, 0o666)
    server.listen(4)
    while True:
        conn, _ = server.accept()
        conn.recv(16)
        with lock:
            n = len(g.flying)
            try:
                g.move_write_in_flight()
            except OSError:
                pass
        conn.sendall(f"wrote through {n} descriptors in flight\n".encode())
        conn.close()


def generate(seed, seconds, watch, artifacts, targets):
    signal.alarm(int(seconds) + 60)  # a move that hangs ends the run with its traceback
    g = Generator(seed, watch, artifacts, targets)
    lock = threading.Lock()
    if os.environ.get("ATTACKER_SOCKET"):
        threading.Thread(target=serve_pokes, args=(g, lock, os.environ["ATTACKER_SOCKET"]), daemon=True).start()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with lock:
            done = g.step()
        if done:
            print(json.dumps(done), flush=True)
        time.sleep(g.rng.choice([0, 0, 0.01, 0.05, 0.2]))
    with lock:
        g.release()


def main():
    if sys.argv[1] == "inflight":
        inflight(*sys.argv[2:7])
    else:
        generate(int(sys.argv[2]), float(sys.argv[3]), sys.argv[4], sys.argv[5], sys.argv[6:])


if __name__ == "__main__":
    main()
