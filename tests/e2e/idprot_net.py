"""A sandbox controller on a small network, for the identification protocol
tests: the daemon's interfaces are veth links whose far ends sit in a peer
namespace that stands for the technician's laptop (see Daemon.connect_peer).
"""
import json
import os
import re
import signal
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
PROBE = os.path.join(HERE, "idprobe.py")
FLOOD = os.path.join(HERE, "idflood.py")
APP = os.path.join(HERE, "appstandin.py")
GROUP = "ff05::5a:5157"
PORT = 20034

# Daemon side address, peer side address for each link.
LINKS = {
    "eth0": ("10.77.0.2", "fd00:77::2", "10.77.0.10", "fd00:77::10"),
    "eth1": ("10.78.0.2", "fd00:78::2", "10.78.0.10", "fd00:78::10"),
    "eth2": ("10.76.0.2", "fd00:76::2", "10.76.0.10", "fd00:76::10"),
    "wwan0": ("10.75.0.2", "fd00:75::2", "10.75.0.10", "fd00:75::10"),
    "eth0.vlan1": ("10.79.0.2", "fd00:79::2", "10.79.0.10", "fd00:79::10"),
    "bnep0": ("10.80.0.2", "fd00:80::2", "10.80.0.10", "fd00:80::10"),
}


def build_dir():
    return os.environ.get("KV_BUILD_DIR") or os.path.join(os.path.dirname(os.path.dirname(HERE)), "build")


class IdNet:
    def __init__(self, sandbox, daemon):
        self.sb = sandbox
        self.d = daemon
        self.app = None
        self.tmp = tempfile.mkdtemp(prefix="kvidnet-")
        self.app_control = os.path.join(self.tmp, "app-control.json")
        self.app_journal = os.path.join(self.tmp, "app-journal.jsonl")

    @classmethod
    def start(cls, make_sandbox, run_daemon, links=("eth0", "eth1", "eth0.vlan1", "bnep0"), args=("-v", "2")):
        sb = make_sandbox()
        d = run_daemon(sb, *args, interfaces=links)
        net = cls(sb, d)
        for name in links:
            net.connect(name)
        d.ns("ip", "route", "add", "default", "via", "10.77.0.1", "dev", "eth0", check=False)
        net.wait_bound([n for n in links if n != "bnep0"])
        return net

    def connect(self, name):
        mine4, mine6, peer4, peer6 = LINKS[name]
        return self.d.connect_peer(name, [mine4 + "/24", mine6 + "/64"], [peer4 + "/24", peer6 + "/64"])

    def close(self):
        if self.app is not None and self.app.poll() is None:
            os.killpg(self.app.pid, signal.SIGTERM)
            self.app.wait(timeout=10)

    # --- listeners ----------------------------------------------------------
    def bound(self):
        """Device names of the UDP sockets on port 20034 in the daemon's namespace (one entry each)."""
        out = self.d.ns("ss", "-H", "-u", "-a", "-n").stdout
        return sorted(m.group(1) for m in re.finditer(r"\S*%(\S+):20034\s", out))

    def wait_bound(self, names, timeout=15):
        deadline = time.monotonic() + timeout
        while True:
            have = self.bound()
            if all(n in have for n in names):
                return have
            if time.monotonic() > deadline:
                raise TimeoutError(f"listeners on {names} not bound; have {have}")
            time.sleep(0.05)

    # --- requests from the peer side ----------------------------------------
    def probe(self, link, to, payloads, wait=3.0, count=1, from_port=0, verified=False):
        """Sends each payload from the peer end of link to `to` (from source port
        from_port, default any; verified: with the cookie, as a client that
        proves its address); returns [(index, (addr, port), bytes)]."""
        peer = ("p" + link)[:15]
        cmd = [PYTHON, PROBE, "--iface", peer, "--to", to, "--wait", str(wait), "--count", str(count),
               "--from-port", str(from_port)] + (["--verified"] if verified else [])
        for p in payloads:
            cmd += ["--hex", p.hex()]
        out = self.d.peer(*cmd, timeout=wait * len(payloads) + 30).stdout
        answers = []
        for line in out.splitlines():
            a = json.loads(line)
            answers.append((a["request"], tuple(a["from"]), bytes.fromhex(a["data"])))
        return answers

    def ask(self, link, payload, v6=False, wait=4.0, verified=False):
        """One request by unicast to the daemon's address on link; returns (source, answer bytes)."""
        mine4, mine6, _, _ = LINKS[link]
        got = self.probe(link, mine6 if v6 else mine4, [payload], wait=wait, verified=verified)
        assert got, f"no answer to {payload!r} on {link}"
        return got[0][1], got[0][2]

    def flood(self, link, payload, n, rate=0, probes=1, probe=b"IDUPDATESTATUS", wait=5.0, verified=True):
        """Floods the daemon's IPv4 address on link from its peer end (see
        idflood.py; the probes prove their address unless verified is
        false); returns the flood's JSON report."""
        peer = ("p" + link)[:15]
        out = self.d.peer(PYTHON, FLOOD, "--iface", peer, "--to", LINKS[link][0], "--hex", payload.hex(),
                          "-n", str(n), "--rate", str(rate), "--probes", str(probes), "--probe-hex", probe.hex(),
                          "--wait", str(wait), *(["--verified-probes"] if verified else []),
                          timeout=n / max(rate, 1) + 60 + probes * wait).stdout
        return json.loads(out)

    # --- the application stand-in -------------------------------------------
    def start_app(self, hold_pcomm=False, uid=None, **control):
        """Starts the application stand-in in the daemon's namespace, as root
        or, with uid, as that user (its control and journal files are made
        reachable for it)."""
        self.set_app(**control)
        extra = ["--hold-pcomm"] if hold_pcomm else []
        if uid is not None:
            os.chmod(self.tmp, 0o755)
            os.chmod(self.app_control, 0o644)
            with open(self.app_journal, "a"):
                pass
            os.chmod(self.app_journal, 0o666)
            extra += ["--uid", str(uid)]
        cmd = ["ip", "netns", "exec", self.d.netns, PYTHON, APP, "--control", self.app_control,
               "--journal", self.app_journal] + extra
        self.app = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True, start_new_session=True)
        assert self.app.stdout.readline().strip() == "ready"

    def set_app(self, **control):
        with open(self.app_control, "w") as f:
            json.dump(control, f)

    def app_requests(self):
        if not os.path.exists(self.app_journal):
            return []
        with open(self.app_journal) as f:
            return [json.loads(line)["request"] for line in f if line.strip()]

    # --- the network client -------------------------------------------------
    def client(self, *args, check=False, timeout=60):
        kvid = os.path.join(build_dir(), "tools", "kvid", "kvid")
        return self.d.peer(kvid, *args, check=check, timeout=timeout)


def identification(answer):
    """The JSON document of an "IDRSP" answer, members in order."""
    assert answer[:5] == b"IDRSP", answer[:40]
    return json.loads(answer[5:].decode(), object_pairs_hook=list)
