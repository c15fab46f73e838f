#!/usr/bin/python3
"""A plant of sandboxed controllers on one network segment, for tests and
benchmarks of the identification protocol at scale.

Each controller is a kvupdaterd in a network namespace of its own whose
eth0 is one port of a bridge in a switch namespace; a laptop namespace sits
on the same bridge. Every address is inside these namespaces (IPv6 unique
local fd00:5a::/64): controller i is fd00:5a::<i+1>, the laptop
fd00:5a::ffff. All controllers share one sandbox device root (nothing is
installed in it) whose stand-in programs do nothing, and all run inside one
private /dev whose /dev/log the plant serves, so nothing reaches the host's
system log.

  plant = Plant(250, daemon="build/release/updater/kvupdaterd", resolve="nd")
  plant.start()              # namespaces, links, daemons; waits until all listen
  plant.laptop("kvid", ...)  # a command in the laptop namespace
  plant.resident()           # [(pid, VmRSS KiB, RssAnon KiB)] of every daemon
  plant.stop()

How controllers find the laptop's link-layer address (resolve=):

  "nd" (default)  as real controllers do: by neighbour discovery. Every
                  answer to a discovery request first sends a neighbour
                  solicitation to the laptop, which answers each one and
                  learns the controller from it. The laptop namespace keeps
                  the kernel's defaults: its address goes through duplicate
                  address detection (start() waits until it is usable), it
                  has its link-local address, and nothing of its neighbour
                  table, buffers or sysctls is changed.
  "static"        the earlier shortcut: each controller gets a permanent
                  neighbour entry for the laptop, and the laptop's address is
                  added without duplicate address detection. Nothing else
                  differs (no sysctl is changed in either mode, on either
                  side).

In both modes a controller's eth0 has no link-local address and its address
skips duplicate address detection, so that a thousand ports do not probe
and solicit routers at start; that changes nothing the laptop sees of a
discovery.

All namespaces share the kernel's one IPv6 neighbour table, whose size limit
(net.ipv6.neigh.default.gc_thresh3, host-wide, only read here) counts the
controllers' entries for the laptop and the laptop's entries for the
controllers together; a real laptop and each real controller have a table of
their own. With "nd", plants of more than about half that limit can meet it
in the sandbox (neighbour_stats() reports "table_fulls" when they do).

Controllers as devices (devices=True): each controller gets a sandbox device
root of its own (kvsandbox.Sandbox, platforms cycled over the list given),
the stand-ins of a real sandbox (the installer unit and the image updater
behave as on a device, see standin.py), and a supervisor that stands for the
machine: when the daemon exits for a restart (kSandboxRestartExitStatus in a
sandbox) it restarts the machine (Sandbox.restart_machine) and, after a short
boot delay, starts the daemon again; never_back(i) makes controller i stay
down after its next restart. fastwait=True preloads kvfastwait.so into the
daemons (their fixed waits shortened; only the pace changes).

  plant = Plant(50, daemon, devices=True, ssh=True, platforms=["kv2-touch", "korvel-r"])

With ssh=True (needs devices) each controller also runs Debian's OpenSSH
server in its namespace on its address, port 22, with a host key of its own:
key authentication of root only (the laptop's test key), ForceCommand
internal-sftp, the controller's device root as ChrootDirectory, VERBOSE log
lines of every open, write and close in sshd.log beside the sandbox. sshd
insists that no component of the chroot path is writable by group or others,
and /tmp is, so each server runs in a mount namespace of its own where the
device root is bound at /run/kvroot (on a tmpfs that also holds the
/run/sshd of privilege separation); nothing of this is visible outside it.
plant.ssh_options() are kvplant's options for it, plant.known_hosts(fill)
the laptop's known_hosts file (empty for first-use tests), plant.sftp(i,
batch) runs OpenSSH's own sftp client against controller i.
"""
import concurrent.futures
import json
import os
import selectors
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import uuid

from kvsandbox import (PRIVATE_DEV, Sandbox, close_reader, parse_syslog, session_processes, stop_group,
                       syslog_entries, wait_for)

PREFIX = "fd00:5a::"
LAPTOP_ADDRESS = PREFIX + "ffff"
LAPTOP_IFACE = "lap0"
PORT_HEX = "%04X" % 20034
RESOLVE_MODES = ("nd", "static")
SSHD = "/usr/sbin/sshd"
SSH_KEYGEN = "/usr/bin/ssh-keygen"
# The daemon's exit status for a restart of the machine in a sandbox
# (updater/core/restart.h).
RESTART_STATUS = 75
# What the image updater's stand-in prints for an install: progress, then
# the line after which the new image is the boot candidate.
IMAGE_UPDATER_OUTPUT = "Installing artifact...\n 10%\n 50%\n100%\nEnabling partition /dev/mmcblk0p3\n"


def neighbour_limit():
    """The kernel's limit of the IPv6 neighbour table all namespaces share."""
    with open("/proc/sys/net/ipv6/neigh/default/gc_thresh3") as f:
        return int(f.read())


def neighbour_stats():
    """Counters of the kernel's (shared) IPv6 neighbour table: "entries" as
    it stands, the others ("table_fulls", "unresolved_discards", ...) summed
    over the CPUs."""
    with open("/proc/net/stat/ndisc_cache") as f:
        rows = [line.split() for line in f]
    total = dict.fromkeys(rows[0], 0)
    for row in rows[1:]:
        for name, value in zip(rows[0], row):
            total[name] = int(value, 16) if name == "entries" else total[name] + int(value, 16)
    return total


def controller_address(i):
    return f"{PREFIX}{i + 1:x}"


def _ip(netns, lines):
    """Runs ip commands (one per line) in a namespace, or in the host's
    namespace table for netns=None (only "netns add/del")."""
    cmd = ["ip"] + (["-n", netns] if netns else []) + ["-batch", "-"]
    r = subprocess.run(cmd, input="\n".join(lines) + "\n", capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError(f"ip {'-n ' + netns if netns else ''} failed: {r.stderr.strip()}")


class Controller:
    """One controller of a plant built with devices=True."""

    def __init__(self, index, netns, sandbox):
        self.index = index
        self.netns = netns
        self.address = controller_address(index)
        self.sandbox = sandbox
        self.ssh_dir = os.path.join(os.path.dirname(sandbox.path), "ssh")
        self.sshd_log = os.path.join(self.ssh_dir, "sshd.log")
        self.host_key = os.path.join(self.ssh_dir, "host_ed25519_key")
        self.daemon_proc = None  # the machine's current daemon (its private-dev launcher)
        self.sshd_proc = None
        self.supervisor = None
        self.starts = 0  # boots so far
        self.never_back = False
        self.down = False  # restarted and stayed down (never_back)
        self.lock = threading.Lock()

    def sshd_lines(self):
        """The SSH server's log lines so far."""
        try:
            with open(self.sshd_log, errors="replace") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []


class Plant:
    def __init__(self, size, daemon, workdir=None, tag=None, resolve="nd", devices=False, ssh=False,
                 platforms=("kv2-touch",), fastwait=False, boot_delay=1.0, daemon_args=(), daemon_env=None):
        if not 1 <= size <= 65000:
            raise ValueError("a plant has 1 to 65000 controllers")
        if resolve not in RESOLVE_MODES:
            raise ValueError(f"resolve is one of {RESOLVE_MODES}")
        if ssh and not devices:
            raise ValueError("ssh=True needs devices=True (a server's chroot is its controller's device root)")
        if isinstance(platforms, str):
            platforms = [platforms]
        self.devices = devices
        self.ssh = ssh
        self.platforms = list(platforms)
        self.fastwait = fastwait
        self.boot_delay = boot_delay
        self.daemon_args = list(daemon_args)
        self.daemon_env = dict(daemon_env or {})
        self.nodes = []  # Controller per index (devices=True)
        self._stopping = threading.Event()
        self.resolve = resolve
        self.size = size
        self.daemon = os.path.abspath(daemon)
        self.tag = tag or "kvf" + uuid.uuid4().hex[:6]
        self.switch = self.tag + "sw"
        self.laptop_ns = self.tag + "lap"
        self.controllers = [f"{self.tag}c{i}" for i in range(size)]
        self._own_workdir = workdir is None
        self.workdir = workdir or tempfile.mkdtemp(prefix="kvfleet-")
        self.launcher = None
        self.syslog = []  # (priority, text) of every line the daemons sent
        self._sock = None
        self._made = []

    # --- set-up --------------------------------------------------------------
    def _root(self):
        sb = Sandbox.create(os.path.join(self.workdir, "device"))
        # Stand-ins that do nothing and start no interpreter: a thousand
        # daemons run chgrp once each at start-up.
        for name in os.listdir(sb.bin):
            with open(os.path.join(sb.bin, name), "w") as f:
                f.write("#!/bin/sh\nexit 0\n")
        return sb

    def _devices(self):
        """A sandbox device per controller, platforms cycled over the list."""
        def make(i):
            sb = Sandbox.create(os.path.join(self.workdir, f"c{i}", "device"),
                                self.platforms[i % len(self.platforms)])
            for subcommand in ("install", "-rootfs"):
                sb.steer("mender", out=IMAGE_UPDATER_OUTPUT, subcommand=subcommand)
            # Installing the application shows its revision, as on a device.
            open(os.path.join(sb.control_dir, "unit.app-revision"), "w").close()
            return Controller(i, self.controllers[i], sb)
        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            self.nodes = list(pool.map(make, range(self.size)))

    def _daemon_command(self, node, devlog):
        env = [f"KVUPDATER_ROOT={node.sandbox.root}", f"PATH={node.sandbox.bin}:/usr/sbin:/usr/bin:/sbin:/bin"]
        extra = dict(self.daemon_env)
        if self.fastwait:
            lib = os.path.join(os.path.dirname(os.path.dirname(self.daemon)), "tests", "e2e", "kvfastwait.so")
            if not os.path.exists(lib):
                raise FileNotFoundError(f"{lib}: build its target (kvfastwait) first")
            extra["LD_PRELOAD"] = ":".join([lib] + ([extra["LD_PRELOAD"]] if "LD_PRELOAD" in extra else []))
            # Preloaded ahead of the sanitizer runtime, which must not insist
            # on coming first.
            asan = extra.get("ASAN_OPTIONS", os.environ.get("ASAN_OPTIONS", ""))
            extra["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
        env += [f"{k}={v}" for k, v in extra.items()]
        return ["ip", "netns", "exec", node.netns, PRIVATE_DEV, "--devlog", devlog, "--", "env", *env, self.daemon,
                *self.daemon_args]

    def _supervise(self, node, devlog):
        """The machine of one controller: runs its daemon, and when the daemon
        exits for a restart, restarts the machine and starts it again after
        the boot delay (or stays down when never_back is set)."""
        log_path = os.path.join(node.sandbox.path, "daemon.log")
        while True:
            with node.lock:
                if self._stopping.is_set():
                    return
                with open(log_path, "ab") as log:
                    node.daemon_proc = subprocess.Popen(self._daemon_command(node, devlog),
                                                        stdin=subprocess.DEVNULL, stdout=log,
                                                        stderr=subprocess.STDOUT, start_new_session=True)
                node.starts += 1
            rc = node.daemon_proc.wait()
            if self._stopping.is_set() or rc != RESTART_STATUS:
                return
            if node.never_back:
                node.down = True
                with node.lock:
                    stop_group(node.sshd_proc, timeout=10)
                return
            node.sandbox.restart_machine()
            if self._stopping.wait(self.boot_delay):
                return

    def _launch_devices(self, devlog):
        for node in self.nodes:
            node.supervisor = threading.Thread(target=self._supervise, args=(node, devlog), daemon=True,
                                               name=f"machine-{node.index}")
            node.supervisor.start()

    # --- SSH servers -----------------------------------------------------------
    def _laptop_dir(self):
        path = os.path.join(self.workdir, "laptop")
        os.makedirs(path, mode=0o700, exist_ok=True)
        return path

    def _ssh_setup(self):
        laptop = self._laptop_dir()
        self.identity = os.path.join(laptop, "id_ed25519")
        subprocess.run([SSH_KEYGEN, "-q", "-t", "ed25519", "-N", "", "-C", "kvplant-test", "-f", self.identity],
                       check=True, capture_output=True)
        self.authorized_keys = os.path.join(laptop, "authorized_keys")
        shutil.copyfile(self.identity + ".pub", self.authorized_keys)

        def server(node):
            os.makedirs(node.ssh_dir, mode=0o700, exist_ok=True)
            subprocess.run([SSH_KEYGEN, "-q", "-t", "ed25519", "-N", "", "-C", node.netns, "-f", node.host_key],
                           check=True, capture_output=True)
            config = os.path.join(node.ssh_dir, "sshd_config")
            with open(config, "w") as f:
                f.write(f"ListenAddress [{node.address}]:22\n"
                        f"HostKey {node.host_key}\n"
                        "PidFile none\nUsePAM no\nUseDNS no\n"
                        "PasswordAuthentication no\nKbdInteractiveAuthentication no\nPubkeyAuthentication yes\n"
                        "PermitRootLogin prohibit-password\n"
                        # The keys file lies below /tmp, which is writable by all.
                        f"AuthorizedKeysFile {self.authorized_keys}\nStrictModes no\n"
                        "ChrootDirectory /run/kvroot\n"
                        "ForceCommand internal-sftp -l VERBOSE\nSubsystem sftp internal-sftp -l VERBOSE\n"
                        "AllowTcpForwarding no\nX11Forwarding no\nPermitTTY no\nMaxStartups 64:30:256\n"
                        "LogLevel VERBOSE\n")
            return config
        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            configs = list(pool.map(server, self.nodes))
        self._serve_sftp_logs()
        for node, config in zip(self.nodes, configs):
            self._start_sshd(node, config)

    def _serve_sftp_logs(self):
        """The SFTP server runs chrooted and logs its opens, writes and closes
        to the /dev/log it finds there: a socket per controller, bound over
        the device's dev/log inside the server's mount namespace only, read
        here into the controller's sshd.log."""
        selector = selectors.DefaultSelector()
        self._sftp_socks = []
        for node in self.nodes:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            sock.bind(os.path.join(node.ssh_dir, "log"))
            sock.setblocking(False)
            selector.register(sock, selectors.EVENT_READ, node)
            self._sftp_socks.append(sock)
            os.makedirs(node.sandbox.dev("dev"), exist_ok=True)
            open(node.sandbox.dev("dev/log"), "a").close()

        def read():
            while not self._stopping.is_set():
                for key, _ in selector.select(timeout=0.2):
                    try:
                        data = key.fileobj.recv(1 << 16)
                    except OSError:
                        continue
                    _, ident, text = parse_syslog(data)
                    with open(key.data.sshd_log, "a") as f:
                        f.write(f"{ident}: {text.rstrip()}\n")
            selector.close()
        self._sftp_reader = threading.Thread(target=read, daemon=True, name="sftp-logs")
        self._sftp_reader.start()

    def _start_sshd(self, node, config):
        # A mount namespace of the server's own: a tmpfs on /run holds the
        # privilege separation folder and the device root bound where every
        # component of the path is root's and writable by root only.
        script = ("set -e\nmount -t tmpfs -o mode=0755,size=1m kvrun /run\n"
                  "mkdir -m 0755 /run/sshd /run/kvroot\nmount --bind \"$1\" /run/kvroot\n"
                  "mount --bind \"$3\" /run/kvroot/dev/log\n"
                  "exec /usr/sbin/sshd -D -e -f \"$2\"\n")
        with open(node.sshd_log, "ab") as log:
            node.sshd_proc = subprocess.Popen(
                ["ip", "netns", "exec", node.netns, "unshare", "--mount", "--propagation", "private", "--",
                 "/bin/sh", "-c", script, "sshd-launch", node.sandbox.root, config,
                 os.path.join(node.ssh_dir, "log")],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)

    def sshd_listening(self):
        """How many SSH servers listen on port 22 (from each one's view of its namespace)."""
        count = 0
        for node in self.nodes:
            proc = node.sshd_proc
            if proc is None or proc.poll() is not None:
                continue
            try:
                with open(f"/proc/{proc.pid}/net/tcp6") as f:
                    rows = [line.split() for line in f.readlines()[1:]]
            except OSError:
                continue
            if any(r[1].endswith(":0016") and r[3] == "0A" for r in rows):
                count += 1
        return count

    def ssh_options(self, known_hosts=None):
        """kvplant's SSH options for this plant's servers."""
        return ["--user", "root", "--identity", self.identity, "--known-hosts",
                known_hosts or os.path.join(self._laptop_dir(), "known_hosts")]

    def known_hosts(self, fill=True, path=None):
        """Writes the laptop's known_hosts file (every controller's host key,
        or nothing with fill=False, for first-use tests); returns its path."""
        path = path or os.path.join(self._laptop_dir(), "known_hosts")
        with open(path, "w") as f:
            for node in self.nodes if fill else []:
                with open(node.host_key + ".pub") as key:
                    kind, blob = key.read().split()[:2]
                f.write(f"{node.address} {kind} {blob}\n")
        return path

    def sftp(self, i, batch, known_hosts=None, timeout=120):
        """Runs OpenSSH's sftp client from the laptop against controller i with
        the batch commands given (one string); returns the CompletedProcess."""
        path = os.path.join(self._laptop_dir(), f"batch-{uuid.uuid4().hex[:8]}")
        with open(path, "w") as f:
            f.write(batch)
        return self.laptop("sftp", "-F", "none", "-b", path, "-i", self.identity, "-o", "IdentitiesOnly=yes",
                           "-o", f"UserKnownHostsFile={known_hosts or self.known_hosts()}",
                           "-o", "GlobalKnownHostsFile=/dev/null", "-o", "StrictHostKeyChecking=yes",
                           "-o", "BatchMode=yes", f"root@[{controller_address(i)}]", timeout=timeout)

    # --- faults of a controller -------------------------------------------------
    def fail_installs(self, i, status=1):
        """Controller i's installer unit fails from now on (status 0: works again)."""
        self.nodes[i].sandbox.fail_installs(status)

    def never_back(self, i):
        """Controller i stays down after its next restart (daemon and SSH server)."""
        self.nodes[i].never_back = True

    def _network(self):
        _ip(None, [f"netns add {n}" for n in [self.switch, self.laptop_ns] + self.controllers])
        self._made = [self.switch, self.laptop_ns] + self.controllers
        lines = ["link set lo up", "link add br0 type bridge", "link set br0 up",
                 f"link add l0 type veth peer name {LAPTOP_IFACE} netns {self.laptop_ns}",
                 "link set l0 master br0", "link set l0 up"]
        for i, ns in enumerate(self.controllers):
            lines += [f"link add c{i} type veth peer name eth0 netns {ns}", f"link set c{i} master br0",
                      f"link set c{i} up"]
        _ip(self.switch, lines)
        static = self.resolve == "static"
        _ip(self.laptop_ns, ["link set lo up",
                             f"addr add {LAPTOP_ADDRESS}/64 dev {LAPTOP_IFACE}" + (" nodad" if static else ""),
                             f"link set {LAPTOP_IFACE} up"])
        mac = json.loads(subprocess.run(["ip", "-n", self.laptop_ns, "-j", "link", "show", LAPTOP_IFACE],
                                        check=True, capture_output=True, text=True).stdout)[0]["address"]

        def controller(i):
            # No link-local address: no duplicate address detection and no
            # router solicitations from a thousand ports.
            _ip(self.controllers[i], ["link set lo up", "link set eth0 addrgenmode none",
                                      f"addr add {controller_address(i)}/64 dev eth0 nodad", "link set eth0 up"]
                + ([f"neigh add {LAPTOP_ADDRESS} lladdr {mac} dev eth0 nud permanent"] if static else []))
        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            list(pool.map(controller, range(self.size)))

    def add_host(self, name, addresses):
        """One more namespace on the segment (another machine on the cable),
        with the given IPv6 addresses ("fd00:5a::be01", ...) on its port
        "NAME0"; returns the namespace's name. Removed with the plant."""
        ns = self.tag + name
        _ip(None, [f"netns add {ns}"])
        self._made.append(ns)
        port = f"h{len(self._made)}"
        _ip(self.switch, [f"link add {port} type veth peer name {name}0 netns {ns}", f"link set {port} master br0",
                          f"link set {port} up"])
        _ip(ns, ["link set lo up"] + [f"addr add {a}/64 dev {name}0 nodad" for a in addresses]
            + [f"link set {name}0 up"])
        return ns

    def laptop_addresses_ready(self):
        """Whether every IPv6 address of the laptop has passed duplicate
        address detection (none is tentative any more)."""
        out = subprocess.run(["ip", "-n", self.laptop_ns, "-6", "-j", "addr", "show", "dev", LAPTOP_IFACE],
                             check=True, capture_output=True, text=True).stdout
        infos = [a for link in json.loads(out) for a in link.get("addr_info", [])]
        return any(a.get("local") == LAPTOP_ADDRESS for a in infos) and not any(a.get("tentative") for a in infos)

    def laptop_neighbours(self):
        """The addresses in the laptop's neighbour table (in "nd" mode, every
        controller that solicited the laptop is there)."""
        out = subprocess.run(["ip", "-n", self.laptop_ns, "-6", "-j", "neigh", "show", "dev", LAPTOP_IFACE],
                             check=True, capture_output=True, text=True).stdout
        return {n["dst"] for n in json.loads(out or "[]")}

    def _serve_syslog(self):
        path = os.path.join(self.workdir, "log")
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        self._sock.bind(path)

        def read(sock):
            for priority, _, text in syslog_entries(sock):
                self.syslog.append((priority, text))
        self._reader = threading.Thread(target=read, args=(self._sock,), daemon=True)
        self._reader.start()
        return path

    def _launch(self, devlog, sb):
        script = os.path.join(self.workdir, "launch.sh")
        env = f"KVUPDATER_ROOT={sb.root} PATH={sb.bin}:/usr/sbin:/usr/bin:/sbin:/bin"
        with open(script, "w") as f:
            f.write("#!/bin/sh\n# Starts every controller's daemon in its namespace and waits for them.\n")
            f.write(f"while read ns; do ip netns exec \"$ns\" env {env} {self.daemon} "
                    f">/dev/null 2>>{self.workdir}/stderr.log & done\nwait\n")
        os.chmod(script, 0o755)
        self.launcher = subprocess.Popen([PRIVATE_DEV, "--devlog", devlog, "--", script], stdin=subprocess.PIPE,
                                         text=True, start_new_session=True)
        self.launcher.stdin.write("\n".join(self.controllers) + "\n")
        self.launcher.stdin.close()

    def start(self, timeout=None):
        """Builds the plant and starts every daemon (and SSH server); returns
        once each daemon has its eth0 listener bound, each server listens and
        the laptop's addresses are usable (or raises TimeoutError)."""
        if self.devices:
            self._devices()
            self._network()
            self._launch_devices(self._serve_syslog())
            if self.ssh:
                self._ssh_setup()
        else:
            sb = self._root()
            self._network()
            self._launch(self._serve_syslog(), sb)
        deadline = time.monotonic() + (timeout or 30 + self.size * (0.6 if self.devices else 0.2))
        while True:
            listening = self.listening()
            servers = self.sshd_listening() if self.ssh else self.size
            if listening == self.size and servers == self.size and self.laptop_addresses_ready():
                return self
            if time.monotonic() > deadline:
                raise TimeoutError(f"{listening} of {self.size} controllers listening, {servers} SSH servers, "
                                   f"laptop address {'usable' if self.laptop_addresses_ready() else 'tentative'}")
            time.sleep(0.2)

    def wait_up(self, i, timeout=60):
        """Waits until controller i's daemon listens again (after a restart)."""
        return wait_for(lambda: self._listens(self.daemon_pids(i)), timeout, f"controller {i} listening")

    # --- inspection ------------------------------------------------------------
    def pids(self):
        """The daemons' process ids."""
        if self.devices:
            return [pid for i in range(len(self.nodes)) for pid in self.daemon_pids(i)]
        return session_processes(self.launcher.pid) if self.launcher else []

    def daemon_pids(self, i):
        """Process ids of controller i's running daemon (none while it is down)."""
        proc = self.nodes[i].daemon_proc
        return session_processes(proc.pid) if proc is not None and proc.poll() is None else []

    @staticmethod
    def _listens(pids):
        for pid in pids:
            try:
                with open(f"/proc/{pid}/net/udp6") as f:
                    if any(line.split()[1].endswith(":" + PORT_HEX) for line in f.readlines()[1:]):
                        return True
            except (OSError, IndexError):
                pass
        return False

    def listening(self):
        """How many daemons have a UDP socket on port 20034 (read from each
        daemon's own view of its namespace)."""
        return sum(1 for pid in self.pids() if self._listens([pid]))

    def resident(self):
        """(pid, VmRSS KiB, RssAnon KiB) of every daemon."""
        out = []
        for pid in self.pids():
            values = {}
            try:
                with open(f"/proc/{pid}/status") as f:
                    for line in f:
                        key, _, rest = line.partition(":")
                        if key in ("VmRSS", "RssAnon"):
                            values[key] = int(rest.split()[0])
            except OSError:
                continue
            out.append((pid, values.get("VmRSS", 0), values.get("RssAnon", 0)))
        return out

    def laptop(self, *cmd, timeout=120, check=False):
        """Runs a command in the laptop namespace."""
        return subprocess.run(["ip", "netns", "exec", self.laptop_ns, *cmd], capture_output=True, text=True,
                              timeout=timeout, check=check)

    def laptop_popen(self, *cmd, **kw):
        return subprocess.Popen(["ip", "netns", "exec", self.laptop_ns, *cmd], **kw)

    # --- tear-down -------------------------------------------------------------
    def stop(self):
        daemons = self.pids()
        stop_group(self.launcher, timeout=60)
        if self.devices:
            self._stopping.set()
            procs = []
            for node in self.nodes:
                with node.lock:
                    procs += [p for p in (node.daemon_proc, node.sshd_proc) if p is not None and p.poll() is None]
            for p in procs:
                try:
                    os.killpg(p.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
            for p in procs:
                stop_group(p, timeout=20)
            for node in self.nodes:
                if node.supervisor is not None:
                    node.supervisor.join(timeout=20)
            if getattr(self, "_sftp_reader", None) is not None:
                self._sftp_reader.join(timeout=5)
                for sock in self._sftp_socks:
                    sock.close()
        # Every daemon gone before its namespace is.
        deadline = time.monotonic() + 60
        while daemons and time.monotonic() < deadline:
            daemons = [p for p in daemons if os.path.exists(f"/proc/{p}")]
            time.sleep(0.05)
        if self._made:
            subprocess.run(["ip", "-batch", "-"], input="".join(f"netns del {n}\n" for n in self._made),
                           capture_output=True, text=True)
            self._made = []
        if self._sock is not None:
            close_reader(self._sock, [self._reader])
            self._sock = None
        if self._own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
