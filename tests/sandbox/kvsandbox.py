#!/usr/bin/python3
"""Sandbox device for kvupdaterd on a development machine.

A sandbox is a folder:
  root/         the device root the daemon sees (KVUPDATER_ROOT): watch folder,
                work folder, /image_info, configuration files, /etc files,
                backlight file, overlay upper directory, public key, the boot
                id (a new one stands for a restart of the machine), and links
                to the real tools that the daemon runs by absolute path
  bin/          stand-ins for device programs (systemctl, mender, opkg,
                psplash, psplash-write, xset, date, hwclock, chgrp, chown,
                fuser), first on PATH
  lib/          the stand-in program
  control/      files that steer the stand-ins per test (see standin.py), the
                boot counter and the image updater's pending update
  units/        the installer unit's locks and results
  journal.jsonl every stand-in call, one JSON array of argv per line
  installs.jsonl what the installer unit installed, [unit, size, sha256] a line
  commits.jsonl  the boot of each image commit that succeeded, a line each
  syslog.log    what the daemon sent to the system log (when run by `run`)
  stderr.log    what the daemon and its commands wrote to standard error

Command line:
  kvsandbox.py create DIR [--platform kv2-touch|korvel-r|korvel-sr|unknown]
  kvsandbox.py run DIR [--daemon PATH] [--notify] [--attack-dir DIR] [--fastwait] [-- DAEMON-OPTIONS...]
The daemon runs in a network namespace of its own (with veth interfaces eth0
and eth1) and a private /dev whose /dev/log the runner serves, so nothing it
does reaches the host's network, system log or machine state. With --notify
(Daemon(notify=True)) the runner also stands in for systemd's notification
socket: NOTIFY_SOCKET names the same datagram socket that serves /dev/log, so
the daemon's log lines and its notifications (READY=1, WATCHDOG=1) are read in
the order it sent them; notifications go to notify.log in the sandbox.
"""
import argparse
import contextlib
import ctypes
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("KV_SOURCE_DIR") or os.path.dirname(os.path.dirname(HERE))
PRIVATE_DEV = os.path.join(SOURCE_DIR, "tests", "harness", "private-dev")
PYTHON = "/usr/bin/python3"

PLATFORMS = {
    # platform name: (image_machine value, platform identifier)
    "kv2-touch": ("kv2t-imx6dl", "KV2_TOUCH"),
    "korvel-r": ("kvretro-imx6ul", "KORVEL_R"),
    "korvel-sr": ("kvsr-imx6dl", "KV_SR"),
    "unknown": ("generic-armv7", ""),
}

# chgrp and chown stand in because the sandbox host has no "admin" group and
# the device's ownership must not be applied to the developer's files; fuser
# because the real one signals processes of the host when asked to.
STANDINS = ["systemctl", "mender", "opkg", "psplash", "psplash-write", "xset", "date", "hwclock",
            "chgrp", "chown", "fuser"]
# Device programs run by absolute path that are safe to run for real.
REAL_TOOLS = {
    "usr/bin/ar": "/usr/bin/ar",
    "bin/tar": "/bin/tar",
    "sbin/route": "/usr/sbin/route",
}
# Characters the daemon's command runner admits; the root path becomes part of
# its command lines, so it may hold no others.
SAFE_PATH = re.compile(r"^[A-Za-z0-9_\-/.@:]+$")

DEFAULT_IMAGE_VERSION = "kv-image-3.2.1"

CLONE_NEWNET = 0x40000000
# System calls through which the daemon sends a message on a socket (send
# is sendto), by machine.
SEND_SYSCALLS = {"x86_64": ("44", "46"), "aarch64": ("206", "211")}


def wait_for(condition, timeout=30, what="condition"):
    """Polls condition() until it returns something true, which it returns;
    fails after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"{what} not met within {timeout}s")
        time.sleep(0.05)


def _write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def _appname_config(platform_id):
    return (
        "[appconfig]\n"
        f"platformname = {platform_id or 'KORVEL_R'}\n"
        "productname = 718235.100\n"
        "name = kv\n"
        "swpartnumber = 718235.100\n"
        "swrevision = Rev: 2.4.1\n"
        "swrevshort = 2.4.1\n"
        "builddatenum = 19.11.2024\n"
        "builddate = Nov 19 2024\n"
        "swbuildnumber = _1234\n"
        "swbuildsequencenumber = _007\n"
    )


NETINTERFACES = (
    "[netif0]\n"
    "description = Ethernet 1\n"
    "dhcpv4 = no\n"
    "addressv4 = 10.77.0.2\n"
    "netmaskv4 = 255.255.255.0\n"
    "gatewayv4 = 10.77.0.1\n"
    "dnsnameserver1v4 = 10.77.0.1\n"
    "dhcpv6 = no\n"
    "addressv6 = [fd00:77::2]\n"
    "netmaskv6 = 64\n"
    "MTUsize = 1500\n"
    "\n"
    "[netif1]\n"
    "description = Ethernet 2\n"
    "dhcpv4 = yes\n"
    "dhcpv6 = yes\n"
    "MTUsize = 1500\n"
)


class Sandbox:
    """A sandbox device folder (see the module text)."""

    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.root = os.path.join(self.path, "root")
        self.bin = os.path.join(self.path, "bin")
        self.control_dir = os.path.join(self.path, "control")
        self.journal_path = os.path.join(self.path, "journal.jsonl")

    # --- creation -----------------------------------------------------------
    @classmethod
    def create(cls, path, platform="kv2-touch", image_version=DEFAULT_IMAGE_VERSION):
        if platform not in PLATFORMS:
            raise ValueError(f"unknown platform {platform!r}; choose one of {', '.join(PLATFORMS)}")
        sb = cls(path)
        if not SAFE_PATH.match(sb.root):
            raise ValueError(f"sandbox path {sb.root!r} holds characters the daemon's command runner refuses")
        machine, platform_id = PLATFORMS[platform]
        r = sb.dev
        for folder in ["opt/kv2/swfw", "opt/kv2/etc", "opt/kv2/log", "home/root/bundle", "home/root/.sign",
                       "etc/ssh", "etc/systemd/network", "sys/class/backlight/backlight",
                       "data/upperdir/var/lib/opkg", "data/upperdir/usr/lib", "data/upperdir/bin",
                       "data/upperdir/sbin", "data/upperdir/var/lib/systemd/timesync", "var/log",
                       "usr/bin", "bin", "sbin"]:
            os.makedirs(r(folder), exist_ok=True)
        os.chmod(r("opt/kv2/swfw"), 0o770)
        _write(r("image_info"), f"image_name=kv-image\nimage_machine={machine}\nimage_version={image_version}\n")
        _write(r("opt/kv2/etc/appname.config"), _appname_config(platform_id))
        _write(r("opt/kv2/etc/netinterfaces.config"), NETINTERFACES)
        _write(r("opt/kv2/etc/netinterfaces.bak"), NETINTERFACES)
        _write(r("etc/ssh/sshd_config"), "PermitRootLogin yes\nSubsystem\tsftp\tinternal-sftp\n")
        _write(r("etc/resolv.conf"), "nameserver 10.77.0.1\nnameserver fd00:77::1\n")
        _write(r("etc/systemd/network/eth0.network"),
               "[Match]\nName=eth0\n\n[Network]\nAddress=10.77.0.2/24\nGateway=10.77.0.1\n")
        _write(r("etc/systemd/network/eth1.network"), "[Match]\nName=eth1\n\n[Network]\nDHCP=yes\n")
        _write(r("sys/class/backlight/backlight/brightness"), "0\n")
        _write(r("data/upperdir/var/lib/opkg/status"), "Package: kv2-touch\nVersion: 1.0\nStatus: install ok installed\n\n")
        _write(r("var/log/quorvanlog"), "system log of the sandbox device\n")
        sb.restart_machine()
        key = os.path.join(SOURCE_DIR, "keys", "development", "ipksignkeypublic.pem")
        if os.path.exists(key):
            shutil.copyfile(key, r("home/root/.sign/ipksignkeypublic.pem"))
        for device_path, real in REAL_TOOLS.items():
            link = r(device_path)
            if not os.path.lexists(link):
                os.symlink(real, link)

        os.makedirs(sb.bin, exist_ok=True)
        os.makedirs(os.path.join(sb.path, "lib"), exist_ok=True)
        os.makedirs(sb.control_dir, exist_ok=True)
        standin = os.path.join(sb.path, "lib", "standin.py")
        shutil.copyfile(os.path.join(HERE, "standin.py"), standin)
        for name in STANDINS:
            sb._wrapper(os.path.join(sb.bin, name), name)
        sb._wrapper(r("home/root/sync-users.sh"), "/home/root/sync-users.sh")
        open(sb.journal_path, "a").close()
        return sb

    def copy_to(self, path):
        """A copy of this sandbox (its device, control folder and journal) at
        path, with its stand-in wrappers pointing at the copy."""
        shutil.copytree(self.path, path, symlinks=True)
        sb = Sandbox(path)
        for name in STANDINS:
            sb._wrapper(os.path.join(sb.bin, name), name)
        sb._wrapper(sb.dev("home/root/sync-users.sh"), "/home/root/sync-users.sh")
        return sb

    def _wrapper(self, path, name):
        standin = os.path.join(self.path, "lib", "standin.py")
        _write(path, f'#!/bin/sh\nexec {PYTHON} {standin} {name} "$@"\n', 0o755)

    # --- inspection and steering -------------------------------------------
    def dev(self, device_path):
        """Host path of a device path ("/opt/kv2/swfw/x" or "opt/kv2/swfw/x")."""
        return os.path.join(self.root, device_path.lstrip("/"))

    def restart_machine(self):
        """Stands for a restart of the device: a new boot id, which tells the
        daemon that the boot brought the application services up again, and
        the next number of the boot counter the image updater's stand-in
        reads (an update it left pending and nobody committed in the boot
        right after it is rolled back)."""
        _write(self.dev("/proc/sys/kernel/random/boot_id"), f"{uuid.uuid4()}\n")
        counter = os.path.join(self.control_dir, "boot")
        boot = int(open(counter).read()) + 1 if os.path.exists(counter) else 1
        _write(counter, f"{boot}\n")
        pending = os.path.join(self.control_dir, "mender.pending")
        if os.path.exists(pending) and int(open(pending).read()) + 1 < boot:
            os.remove(pending)
            # Rolled back: the image's version never becomes the device's.
            version = os.path.join(self.control_dir, "mender.version")
            if os.path.exists(version):
                os.remove(version)

    def fail_installs(self, status=1):
        """Makes the installer unit's job fail with status from now on
        (nothing installed); status 0 lets it install again."""
        path = os.path.join(self.control_dir, "unit.rc")
        if status:
            _write(path, f"{status}\n")
        elif os.path.exists(path):
            os.remove(path)

    def image_version(self):
        """The image_version line's value of the device's image_info."""
        with open(self.dev("image_info")) as f:
            return next((line.split("=", 1)[1].strip() for line in f if line.startswith("image_version=")), None)

    def sw_revision(self):
        """The application's revision as appname.config holds it."""
        with open(self.dev("opt/kv2/etc/appname.config")) as f:
            return next((line.split("=", 1)[1].strip() for line in f if line.startswith("swrevision")), None)

    def installs(self):
        """What the installer unit installed, in order: [unit, size, sha256] each."""
        return self._records("installs.jsonl")

    def commits(self):
        """The boot of each image commit that succeeded, in order."""
        return [boot for boot, in self._records("commits.jsonl")]

    def _records(self, name):
        path = os.path.join(self.path, name)
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [json.loads(line) for line in f if line.strip()]

    def journal(self):
        """Every stand-in call so far, as argv lists in call order."""
        with open(self.journal_path) as f:
            return [json.loads(line) for line in f if line.strip()]

    def steer(self, program, out=None, rc=None, delay=None, subcommand=None, hold=False, hook=None):
        """Tells a stand-in what to print, how fast, and with which status to end;
        with hold, its calls hang (after their journal line) until release();
        hook is Python it runs first (see standin.py)."""
        base = self._control_base(program, subcommand)
        if hook is not None:
            _write(base + ".hook", hook)
        if hold:
            _write(base + ".hold", "")
        if out is not None:
            _write(base + ".out", out)
        if rc is not None:
            _write(base + ".rc", f"{rc}\n")
        if delay is not None:
            _write(os.path.join(self.control_dir, program + ".delay"), f"{delay}\n")

    def release(self, program, subcommand=None):
        """Lets calls that a steer(..., hold=True) keeps hanging go on."""
        os.remove(self._control_base(program, subcommand) + ".hold")

    def _control_base(self, program, subcommand):
        return os.path.join(self.control_dir, program + (f"-{subcommand}" if subcommand else ""))


SYSLOG_LINE = re.compile(rb"^<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d) ([^:]*): ?(.*)$", re.S)


def parse_syslog(data):
    """(priority, ident, text) of one datagram sent to /dev/log; (-1, "", text)
    for a datagram of another form."""
    m = SYSLOG_LINE.match(data)
    if m:
        return int(m.group(1)) & 7, m.group(3).decode(errors="replace"), m.group(4).decode(errors="replace")
    return -1, "", data.decode(errors="replace")


# A datagram the test itself sends to a log socket after the program ended:
# once its reader takes it, every line the program sent before is recorded.
DRAINED = b"\0kvsandbox: drained"


def syslog_entries(sock, before_each=None, drained=None):
    """Yields parse_syslog() of each datagram a program sends to the /dev/log
    socket sock, until the socket is shut down or closed. before_each(sock),
    when given, runs before each datagram is taken; drained() when the
    DRAINED datagram is taken."""
    while True:
        if before_each is not None:
            before_each(sock)
        try:
            data = sock.recv(1 << 16)
        except OSError:
            return
        if not data:
            return  # shut down: see close_reader()
        if data == DRAINED:
            if drained is not None:
                drained()
            continue
        yield parse_syslog(data)


def close_reader(sock, threads):
    """Ends the threads that read sock, then closes it. Shutting the socket
    down wakes a reader blocked in recv; closing it only after the readers
    have ended keeps its descriptor number from being reused by a socket of
    the next test while an old reader could still read from that number."""
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    for t in threads:
        if t is not threading.current_thread():
            t.join(timeout=5)
    sock.close()


def session_processes(session, comm="kvupdaterd"):
    """Process ids of the programs named comm in the session (the process
    group leader started with start_new_session has the session's id)."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{pid}/comm") as f:
                name = f.read().strip()
        except OSError:
            continue
        if name == comm and int(fields[3]) == session:
            found.append(int(pid))
    return found


def stop_group(proc, timeout=10):
    """Ends the process group that proc leads: SIGTERM, then SIGKILL after
    timeout seconds; waits for proc."""
    if proc is None or proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait(timeout=timeout)


@contextlib.contextmanager
def temporary_sandboxes():
    """Yields make(platform="kv2-touch", **kw) -> a fresh Sandbox in a temporary
    folder; every folder made is removed at the end."""
    made = []

    def make(platform="kv2-touch", **kw):
        # mkdtemp names hold only characters the daemon's command runner admits.
        path = tempfile.mkdtemp(prefix="kvsb-")
        made.append(path)
        return Sandbox.create(os.path.join(path, "device"), platform, **kw)

    try:
        yield make
    finally:
        for path in made:
            shutil.rmtree(path, ignore_errors=True)


class Daemon:
    """kvupdaterd running in a sandbox, its own network namespace and a private /dev."""

    def __init__(self, sandbox, args=(), daemon=None, interfaces=("eth0", "eth1"), env=None, notify=False,
                 lockstep=False, attack_dir=None, fastwait=False):
        build = os.environ.get("KV_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")
        self.sandbox = sandbox
        self.args = list(args)
        self.daemon = daemon or os.path.join(build, "updater", "kvupdaterd")
        self.interfaces = list(interfaces)
        self.extra_env = dict(env or {})
        # attack_dir: the attacker's hooks at the daemon's renames, links and
        # changes of owner (tests/sandbox/attackhook.c); fastwait: its fixed
        # waits shortened (fastwait.c). Both are preloaded ahead of the
        # sanitizer runtime, which must then not insist on coming first.
        preload = []
        if attack_dir:
            preload.append(os.path.join(build, "tests", "e2e", "kvattackhook.so"))
            self.extra_env["KV_ATTACK_DIR"] = os.path.abspath(attack_dir)
        if fastwait:
            preload.append(os.path.join(build, "tests", "e2e", "kvfastwait.so"))
        if preload:
            for lib in preload:
                if not os.path.exists(lib):
                    raise FileNotFoundError(f"{lib}: build its target first")
            given = self.extra_env.get("LD_PRELOAD")
            self.extra_env["LD_PRELOAD"] = ":".join(preload + ([given] if given else []))
            asan = self.extra_env.get("ASAN_OPTIONS", os.environ.get("ASAN_OPTIONS", ""))
            if "verify_asan_link_order" not in asan:
                self.extra_env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
        self.netns = "kvt" + uuid.uuid4().hex[:10]
        self.proc = None
        self.stdout_lines = []
        self.syslog = []  # (priority, ident, text)
        # With notify: every notification as (system log lines received before
        # it, sender's process id, text), in the order the daemon sent them.
        self.notify = notify
        self.notifications = []
        self.notify_socket = None
        self._cond = threading.Condition()
        self._sock = None
        self._sockdir = None
        self._threads = []
        self._peer_netns = None
        self._kill_when = None
        self._drained = threading.Event()
        # With lockstep, the daemon can leave at most one message unread on
        # the socket: its next one waits until the reader has taken it.
        self.lockstep = lockstep

    # --- network namespace --------------------------------------------------
    def ns(self, *cmd, check=True):
        """Runs a command inside the daemon's network namespace."""
        return subprocess.run(["ip", "netns", "exec", self.netns, *cmd], check=check,
                              capture_output=True, text=True)

    def _make_netns(self):
        subprocess.run(["ip", "netns", "add", self.netns], check=True)
        subprocess.run(["ip", "-n", self.netns, "link", "set", "lo", "up"], check=True)
        for i, name in enumerate(self.interfaces):
            self.add_interface(name, i)

    def add_interface(self, name, index=None, up=True):
        """Adds a veth pair: NAME on the daemon's side, pNAME as its peer, both in the namespace."""
        peer = ("p" + name)[:15]
        subprocess.run(["ip", "-n", self.netns, "link", "add", name, "type", "veth", "peer", "name", peer],
                       check=True)
        if up:
            subprocess.run(["ip", "-n", self.netns, "link", "set", peer, "up"], check=True)
            subprocess.run(["ip", "-n", self.netns, "link", "set", name, "up"], check=True)
        return peer

    # --- far side of the links ---------------------------------------------
    def peer_netns(self):
        """A second namespace, made on first use, that stands for the network the
        device is attached to: peers moved there (connect_peer) reach the daemon
        over the veth links, as a laptop on the cable would."""
        if self._peer_netns is None:
            name = self.netns + "p"
            subprocess.run(["ip", "netns", "add", name], check=True)
            subprocess.run(["ip", "-n", name, "link", "set", "lo", "up"], check=True)
            self._peer_netns = name
        return self._peer_netns

    def connect_peer(self, name, addresses=(), peer_addresses=()):
        """Moves pNAME into the peer namespace and brings both ends up with the
        given addresses ("10.0.0.1/24", "fd00::1/64"; IPv6 without duplicate
        address detection). Returns the peer's interface name."""
        peer = ("p" + name)[:15]
        far = self.peer_netns()
        subprocess.run(["ip", "-n", self.netns, "link", "set", peer, "netns", far], check=True)
        for ns, dev, addrs in ((self.netns, name, addresses), (far, peer, peer_addresses)):
            for a in addrs:
                extra = ["nodad"] if ":" in a else []
                subprocess.run(["ip", "-n", ns, "addr", "add", a, "dev", dev] + extra, check=True)
            subprocess.run(["ip", "-n", ns, "link", "set", dev, "up"], check=True)
        return peer

    def peer(self, *cmd, check=True, timeout=60, input=None):
        """Runs a command in the peer namespace; returns the CompletedProcess."""
        return subprocess.run(["ip", "netns", "exec", self.peer_netns(), *cmd], check=check,
                              capture_output=True, text=True, timeout=timeout, input=input)

    # --- system log ---------------------------------------------------------
    def _serve_syslog(self):
        self._sockdir = tempfile.mkdtemp(prefix="kvlog-")
        path = os.path.join(self._sockdir, "log")
        self._sock = self._lockstep_socket() if self.lockstep else socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._sock.bind(path)
        reader = self._read_syslog
        if self.notify:
            # The kernel attaches the sender's credentials to each datagram.
            self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
            self.notify_socket = path
            reader = self._read_syslog_and_notify
        t = threading.Thread(target=reader, name=f"syslog-{self.netns}", daemon=True)
        t.start()
        self._threads.append(t)
        return path

    def _lockstep_socket(self):
        """A datagram socket made in the daemon's network namespace with the
        namespace's queue limit for such sockets set to 0: a sender blocks
        while one message of its waits unread."""
        self.ns("sysctl", "-qw", "net.unix.max_dgram_qlen=0")
        made = {}

        def make():
            # setns changes the namespace of this thread only, which ends here.
            libc = ctypes.CDLL(None, use_errno=True)
            fd = os.open(f"/run/netns/{self.netns}", os.O_RDONLY | os.O_CLOEXEC)
            try:
                if libc.setns(fd, CLONE_NEWNET) != 0:
                    raise OSError(ctypes.get_errno(), "setns")
            finally:
                os.close(fd)
            made["sock"] = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)

        t = threading.Thread(target=make)
        t.start()
        t.join()
        return made["sock"]

    def _kill_if_next(self, sock):
        """With kill_at_syslog: looks at the next message without taking it;
        when it is the line asked for, kills the daemon once it waits to send
        its next message (lockstep) or has ended."""
        if self._kill_when is None:
            return
        try:
            data = sock.recv(1 << 16, socket.MSG_PEEK)
        except OSError:
            return
        priority, _, text = parse_syslog(data)
        if priority < 0 or not self._kill_when(text):
            return
        self._kill_when = None
        deadline = time.monotonic() + 20
        while self.lockstep and self.alive() and not self._waits_to_send() and time.monotonic() < deadline:
            time.sleep(0.001)
        self._killpg()

    def _waits_to_send(self):
        try:
            with open(f"/proc/{self.proc.pid}/syscall") as f:
                number = f.read().split(" ", 1)[0]
        except OSError:
            return True
        return number in SEND_SYSCALLS.get(os.uname().machine, ())

    def _read_syslog(self):
        for entry in syslog_entries(self._sock, before_each=self._kill_if_next, drained=self._drained.set):
            self._record_entry(entry)

    def _read_syslog_and_notify(self):
        """Reads the socket that serves both /dev/log and NOTIFY_SOCKET: a system
        log datagram begins with "<priority>", a notification is KEY=VALUE lines."""
        ucred = struct.Struct("iII")  # pid, uid, gid
        sock = self._sock
        while True:
            self._kill_if_next(sock)
            try:
                data, ancillary, _, _ = sock.recvmsg(1 << 16, socket.CMSG_SPACE(ucred.size))
            except OSError:
                return
            if not data:
                return  # shut down by stop()
            if data == DRAINED:
                self._drained.set()
                continue
            if data.startswith(b"<"):
                self._record_entry(parse_syslog(data))
                continue
            pid = next((ucred.unpack(d[:ucred.size])[0] for level, kind, d in ancillary
                        if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS), -1)
            text = data.decode(errors="replace")
            with self._cond:
                self.notifications.append((len(self.syslog), pid, text))
                self._cond.notify_all()
            with open(os.path.join(self.sandbox.path, "notify.log"), "a") as f:
                f.write(f"[{pid}] {text!r}\n")

    def _record_entry(self, entry):
        with self._cond:
            self.syslog.append(entry)
            self._cond.notify_all()
        try:
            with open(os.path.join(self.sandbox.path, "syslog.log"), "a") as f:
                f.write(f"<{entry[0]}> {entry[1]}: {entry[2]}\n")
        except OSError:
            pass  # a datagram that arrives after the sandbox was removed

    def _read_stdout(self):
        for raw in self.proc.stdout:
            with self._cond:
                self.stdout_lines.append(raw.decode(errors="replace").rstrip("\n"))
                self._cond.notify_all()

    # --- life cycle ---------------------------------------------------------
    def command(self):
        path = self.sandbox.bin + ":" + os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin")
        env = ["env", f"KVUPDATER_ROOT={self.sandbox.root}", f"PATH={path}"]
        if self.notify_socket:
            env.append(f"NOTIFY_SOCKET={self.notify_socket}")
        env += [f"{k}={v}" for k, v in self.extra_env.items()]
        return env + [self.daemon] + self.args

    def start(self):
        self._make_netns()
        devlog = self._serve_syslog()
        cmd = ["ip", "netns", "exec", self.netns, PRIVATE_DEV, "--devlog", devlog, "--"] + self.command()
        # Standard error (system errors of the daemon and of the programs it
        # starts) goes to stderr.log in the sandbox, apart from the log echo.
        self.stderr_path = os.path.join(self.sandbox.path, "stderr.log")
        with open(self.stderr_path, "ab") as err:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=err, start_new_session=True)
        t = threading.Thread(target=self._read_stdout, name=f"stdout-{self.netns}", daemon=True)
        t.start()
        self._threads.append(t)
        return self

    def wait_exit(self, timeout=20):
        """Waits for the daemon's end and until what it wrote is recorded:
        its standard output to the end, its log to its last line."""
        rc = self.proc.wait(timeout=timeout)
        for t in self._threads:
            if t.name.startswith("stdout") and t is not threading.current_thread():
                t.join(timeout=0.5)
        self._drain()
        return rc

    def _drain(self):
        """Returns once the log reader took every datagram sent before now
        (datagrams of a socket are taken in the order they were sent)."""
        readers = [t for t in self._threads if t.name.startswith("syslog") and t.is_alive()]
        if self._sockdir is None or not readers or threading.current_thread() in readers:
            return
        self._drained.clear()
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.settimeout(5)
            try:
                s.sendto(DRAINED, os.path.join(self._sockdir, "log"))
            except OSError:
                return
        self._drained.wait(timeout=5)

    def stderr_text(self):
        with open(self.stderr_path, errors="replace") as f:
            return f.read()

    def kill(self):
        """SIGKILL to the daemon and every process it started (its process
        group), as the service manager ends a unit's processes or a power cut
        ends them all; waits until the daemon is gone."""
        self._killpg()
        return self.proc.wait(timeout=20)

    def kill_at_syslog(self, predicate):
        """Kills the daemon (as kill() does) from the log reader itself when a
        system log line arrives for whose text predicate is true (called once
        for each line, in order), before that line is taken from the socket.
        With lockstep the daemon then goes on only until its next message: it
        is killed at a step it can be seen at, the same in every run."""
        with self._cond:
            self._kill_when = predicate

    def _killpg(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self):
        stop_group(self.proc)
        subprocess.run(["ip", "netns", "del", self.netns], capture_output=True)
        if self._peer_netns is not None:
            subprocess.run(["ip", "netns", "del", self._peer_netns], capture_output=True)
            self._peer_netns = None
        if self._sock is not None:
            close_reader(self._sock, [t for t in self._threads if t.name.startswith("syslog")])
            self._sock = None
        if self._sockdir:
            shutil.rmtree(self._sockdir, ignore_errors=True)
            self._sockdir = None
        return self.proc.returncode if self.proc else None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # --- waiting for events -------------------------------------------------
    def _wait(self, source, pattern, timeout, start=0):
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                items = source()
                for i in range(start, len(items)):
                    text = items[i][2] if isinstance(items[i], tuple) else items[i]
                    if regex.search(text):
                        return items[i]
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise TimeoutError(f"no line matching {pattern!r} within {timeout}s; "
                                       f"stdout={self.stdout_lines[-20:]!r} syslog={self.syslog[-20:]!r}")
                self._cond.wait(remaining)

    def wait_syslog(self, pattern, timeout=15, start=0):
        """Waits for a system log line whose text matches; returns (priority, ident, text)."""
        return self._wait(lambda: self.syslog, pattern, timeout, start)

    def wait_stdout(self, pattern, timeout=15, start=0):
        return self._wait(lambda: self.stdout_lines, pattern, timeout, start)

    def wait_notify(self, pattern, timeout=15, start=0):
        """Waits for a notification (notify=True) whose text matches, from index
        start of self.notifications; returns (log lines before it, pid, text)."""
        return self._wait(lambda: self.notifications, pattern, timeout, start)

    def syslog_texts(self):
        with self._cond:
            return [t for _, _, t in self.syslog]


def _cmd_create(a):
    sb = Sandbox.create(a.dir, a.platform, a.image_version)
    print(f"sandbox device for {a.platform} at {sb.path} (device root {sb.root})")


def _cmd_run(a):
    sb = Sandbox(a.dir)
    if not os.path.isdir(sb.root):
        sys.exit(f"{a.dir} is not a sandbox; create it first")
    d = Daemon(sb, a.daemon_args, daemon=a.daemon, notify=a.notify, attack_dir=a.attack_dir, fastwait=a.fastwait)
    d.start()
    print(f"kvupdaterd running in network namespace {d.netns}; system log in {sb.path}/syslog.log; "
          "Ctrl-C stops it", flush=True)
    try:
        seen = 0
        deadline = time.monotonic() + a.seconds if a.seconds else None
        while d.alive() and (deadline is None or time.monotonic() < deadline):
            with d._cond:
                lines, seen = d.stdout_lines[seen:], len(d.stdout_lines)
            for line in lines:
                print(line, flush=True)
            time.sleep(0.2)
    except KeyboardInterrupt:
        pass
    finally:
        rc = d.stop()
        with d._cond:
            for line in d.stdout_lines[seen:]:
                print(line)
    print(f"kvupdaterd ended (status {rc})")


def main(argv=None):
    p = argparse.ArgumentParser(description="Sandbox device for kvupdaterd")
    sub = p.add_subparsers(dest="cmd", required=True)
    c = sub.add_parser("create", help="make a sandbox device folder")
    c.add_argument("dir")
    c.add_argument("--platform", default="kv2-touch", choices=sorted(PLATFORMS))
    c.add_argument("--image-version", default=DEFAULT_IMAGE_VERSION)
    c.set_defaults(func=_cmd_create)
    r = sub.add_parser("run", help="run kvupdaterd in a sandbox device")
    r.add_argument("dir")
    r.add_argument("--daemon", default=None, help="path of the kvupdaterd binary (default: build/updater/kvupdaterd)")
    r.add_argument("--seconds", type=float, default=0, help="stop after this many seconds (default: until Ctrl-C)")
    r.add_argument("--notify", action="store_true",
                   help="serve a notification socket as systemd does (NOTIFY_SOCKET); messages go to notify.log")
    r.add_argument("--attack-dir", default=None,
                   help="run the executable hooks <DIR>/<call>.hook at the daemon's renames, links and changes of "
                        "owner and mode (preloads kvattackhook.so of the build; see tests/sandbox/attackhook.c)")
    r.add_argument("--fastwait", action="store_true", help="shorten the daemon's fixed waits (kvfastwait.so)")
    r.set_defaults(func=_cmd_run)
    argv = list(sys.argv[1:] if argv is None else argv)
    # Everything after "--" goes to the daemon unchanged.
    daemon_args = argv[argv.index("--") + 1:] if "--" in argv else []
    argv = argv[:argv.index("--")] if "--" in argv else argv
    a = p.parse_args(argv)
    a.daemon_args = daemon_args
    a.func(a)


if __name__ == "__main__":
    main()
