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
"""
import concurrent.futures
import json
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import uuid

from kvsandbox import PRIVATE_DEV, Sandbox, close_reader, session_processes, stop_group, syslog_entries

PREFIX = "fd00:5a::"
LAPTOP_ADDRESS = PREFIX + "ffff"
LAPTOP_IFACE = "lap0"
PORT_HEX = "%04X" % 20034
RESOLVE_MODES = ("nd", "static")


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


class Plant:
    def __init__(self, size, daemon, workdir=None, tag=None, resolve="nd"):
        if not 1 <= size <= 65000:
            raise ValueError("a plant has 1 to 65000 controllers")
        if resolve not in RESOLVE_MODES:
            raise ValueError(f"resolve is one of {RESOLVE_MODES}")
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
        """Builds the plant and starts every daemon; returns once each one has
        its eth0 listener bound and the laptop's addresses are usable (or
        raises TimeoutError)."""
        sb = self._root()
        self._network()
        self._launch(self._serve_syslog(), sb)
        deadline = time.monotonic() + (timeout or 30 + self.size * 0.2)
        while True:
            listening = self.listening()
            if listening == self.size and self.laptop_addresses_ready():
                return self
            if time.monotonic() > deadline:
                raise TimeoutError(f"{listening} of {self.size} controllers listening, laptop address "
                                   f"{'usable' if self.laptop_addresses_ready() else 'tentative'}")
            time.sleep(0.2)

    # --- inspection ------------------------------------------------------------
    def pids(self):
        """The daemons' process ids."""
        return session_processes(self.launcher.pid) if self.launcher else []

    def listening(self):
        """How many daemons have a UDP socket on port 20034 (read from each
        daemon's own view of its namespace)."""
        count = 0
        for pid in self.pids():
            try:
                with open(f"/proc/{pid}/net/udp6") as f:
                    if any(line.split()[1].endswith(":" + PORT_HEX) for line in f.readlines()[1:]):
                        count += 1
            except (OSError, IndexError):
                pass
        return count

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
