#!/usr/bin/python3
"""The identification protocol on a hostile network: the real daemon in a
sandbox under floods from forged source addresses (needs root: it makes
network namespaces, and sends through packet sockets there).

  bench/idprot/idhostile.py [--build DIR] [--only flood,recovery,amp,plant]
                            [--flood-rates 2000,20000] [--flood-seconds 5]
                            [--recovery-rate 20000] [--recovery-seconds 10]
                            [--amp-rates 1,100,2000] [--amp-seconds 5]
                            [--plant 12]

Set-up: a daemon (eth0 only, 10.77.0.2/24, default route through 10.77.0.1)
and, at the far end of its link, a peer namespace holding the honest client
(10.77.0.10), the attacker and the router address 10.77.0.1. The attacker
writes whole IPv4 datagrams to a packet socket (bench/idprot/idforge.c,
compiled here), so every source address is forged: random addresses of
10.N.0.0/16 (N = 100 + the run's number), never the honest client's. The
daemon's answers to them leave through the router address into the peer
namespace, where a packet socket counts them by destination.

1. flood: for each rate and kind -- identification requests, status
   requests, a mix without status requests (IDREQ, BURNR IDREQ, BURNR,
   unknown), unknown datagrams, extended requests with random cookies -- a
   flood of --flood-seconds from random forged sources, while the honest
   client (bench/idprot/idhonest.py) sends a cookie-proving identification
   or status request every 100 ms (within its budget) and `kvid discover -i peth0` runs again and
   again. Printed: the honest requests answered (goal 100 %; an
   identification answer waits for a refresh of the identity, at most one a
   second, so it may take a second), the status requests among them answered
   within 1 s (goal 95 % or more), the discoveries that
   found the controller, the daemon's CPU time, what the flood's sources
   received, and the time from the flood's last datagram to the first honest
   answer after it.
2. recovery: one long flood of identification requests (--recovery-rate for
   --recovery-seconds; 10 s at 20,000/s is 200,000 datagrams): the time from
   its last datagram to the first honest answer, and to the answer of the
   first honest request sent after it (goal under 1 s).
3. amp: for one forged victim (a source address of its own per row), the
   bytes the victim receives per byte the attacker sends, on the wire (IP
   and UDP headers counted) and in payload, for IDREQ, BURNR, IDUPDATESTATUS,
   an empty (unknown) datagram, and IDREQ to the subnet's broadcast address,
   at each of --amp-rates for --amp-seconds (goal: at most 1 under a flood).
4. plant: --plant controllers on one segment (tests/sandbox/fleet.py,
   neighbour discovery), a forged identification request flood to the
   multicast group ff05::5a:5157 from the address of a victim machine on the
   same segment, at each of --amp-rates: bytes the victim receives per byte
   sent (goal at most 1).

Every figure is printed beside its goal, met or not. Timing figures depend
on the machine: run it on a quiet one. The default run takes about five
minutes on two cores.
"""
import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "sandbox"))
sys.path.insert(0, HERE)
from kvsandbox import Daemon, Sandbox  # noqa: E402
from benchbuild import build  # noqa: E402
from idbench import cpu_ns, daemon_pid  # noqa: E402

PYTHON = "/usr/bin/python3"
MINE, HONEST, ROUTER = "10.77.0.2", "10.77.0.10", "10.77.0.1"
GROUP, GROUP_MAC = "ff05::5a:5157", "33:33:00:5a:51:57"
COLUMNS = ("datagrams", "payload", "wire", "IDRSP", "NETBR", "CLOSED", "IDCKE", "{", "other")

FLOODS = [  # name, payloads, random bytes from offset (None: none)
    ("identification", [b"IDREQ\0"], None),
    ("status", [b"IDUPDATESTATUS"], None),
    ("mix, no status", [b"IDREQ\0", b"BURNR\0IDREQ\0", b"BURNR\0", b"\x7fXYZ"], None),
    ("unknown", [bytes(8)], 0),
    ("random cookies", [b"IDREQ\0KVX1" + bytes(24)], 10),
]
AMPLIFIERS = [  # name, payload, broadcast
    ("IDREQ", b"IDREQ\0", False),
    ("BURNR", b"BURNR\0", False),
    ("IDUPDATESTATUS", b"IDUPDATESTATUS", False),
    ("unknown (empty)", b"", False),
    ("IDREQ broadcast", b"IDREQ\0", True),
]


def compile_forge(build_dir):
    out = os.path.join(build_dir, "bench", "idprot", "idforge")
    src = os.path.join(HERE, "idforge.c")
    if not os.path.exists(out) or os.path.getmtime(out) < os.path.getmtime(src):
        os.makedirs(os.path.dirname(out), exist_ok=True)
        subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-Werror", "-o", out, src], check=True)
    return out


class Counter:
    """idforge count in a namespace: answers by destination bucket."""

    def __init__(self, netns, forge, iface):
        self.proc = subprocess.Popen(["ip", "netns", "exec", netns, forge, "count", "--iface", iface],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if self.proc.stdout.readline().strip() != "ready":
            raise RuntimeError("counter did not start")

    def dump(self):
        self.proc.stdin.write("dump\n")
        self.proc.stdin.flush()
        return {int(k): dict(zip(COLUMNS, v)) for k, v in json.loads(self.proc.stdout.readline()).items()}

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


def ratio(a, b):
    return a / b if b else float("inf") if a else 0.0


def pct_text(part, whole):
    return f"{part}/{whole} = {100 * part / whole:.1f} %" if whole else "0/0"


class Bench:
    def __init__(self, a, daemon_bin, kvid, forge):
        self.a, self.daemon_bin, self.kvid, self.forge = a, daemon_bin, kvid, forge
        self.bucket = 100

    def next_bucket(self):
        self.bucket += 1
        if self.bucket > 250:
            raise RuntimeError("out of source ranges: fewer rows, please")
        return self.bucket

    # --- single daemon --------------------------------------------------------------
    def start(self, tmp):
        sb = Sandbox.create(os.path.join(tmp, "device"))
        self.d = Daemon(sb, [], daemon=self.daemon_bin, interfaces=("eth0",))
        self.d.start()
        self.d.connect_peer("eth0", [MINE + "/24"], [HONEST + "/24", ROUTER + "/24"])
        self.d.ns("ip", "route", "add", "default", "via", ROUTER)
        self.peer_ns = self.d.peer_netns()
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            listening = ":20034" in self.d.ns("ss", "-H", "-u", "-a", "-n").stdout
            tentative = "tentative" in self.d.peer("ip", "-6", "addr", "show", "dev", "peth0").stdout
            if listening and not tentative:
                break
            time.sleep(0.1)
        self.mac = json.loads(self.d.ns("ip", "-j", "link", "show", "eth0").stdout)[0]["address"]
        self.pid = daemon_pid(self.d)
        self.counter = Counter(self.peer_ns, self.forge, "peth0")

    def send(self, netns, iface, mac, dst, src, src_bits, payloads, random_from, rate, seconds):
        cmd = ["ip", "netns", "exec", netns, self.forge, "send", "--iface", iface, "--dst-mac", mac, "--dst", dst,
               "--src", src, "--src-bits", str(src_bits), "--rate", str(rate), "--seconds", str(seconds)]
        if src_bits == 0:
            cmd += ["--sport", "40000"]
        for payload in payloads:
            cmd += ["--payload", payload.hex()]
        if random_from is not None:
            cmd += ["--random-from", str(random_from)]
        return json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True,
                                         timeout=seconds + 60).stdout)

    def discoveries(self, until):
        """kvid discover from the peer again and again until until() is true:
        [(found the controller, exit status)]."""
        runs = []
        while not until():
            r = self.d.peer(self.kvid, "discover", "-6", "-i", "peth0", check=False, timeout=60)
            runs.append((r.returncode == 0 and len(r.stdout.splitlines()) >= 1, r.returncode))
        return runs

    def flood(self, payloads, random_from, rate, seconds):
        """One flood from random forged sources with the honest client and
        discoveries running; returns the figures."""
        bucket = self.next_bucket()
        before = self.counter.dump().get(bucket, dict.fromkeys(COLUMNS, 0))
        honest = subprocess.Popen(["ip", "netns", "exec", self.peer_ns, PYTHON, os.path.join(HERE, "idhonest.py"),
                                   "--src", HONEST, "--to", MINE], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  text=True)
        time.sleep(0.5)
        flooding = threading.Event()
        runs = []
        kvid = threading.Thread(target=lambda: runs.extend(self.discoveries(flooding.is_set)))
        c0 = cpu_ns(self.pid)
        kvid.start()
        if rate > 0:
            sent = self.send(self.peer_ns, "peth0", self.mac, MINE, f"10.{bucket}.0.0", 16, payloads, random_from,
                             rate, seconds)
        else:  # no flood: the honest client alone, for comparison
            first = time.monotonic()
            time.sleep(seconds)
            last = time.monotonic()
            sent = {"sent": 0, "payload_bytes": 0, "wire_bytes": 0, "first": first, "last": last,
                    "seconds": last - first, "send_errors": 0}
        cpu = (cpu_ns(self.pid) - c0) / 1e9 / max(sent["seconds"], 1e-9) * 100
        flooding.set()
        out, _ = honest.communicate(f"stop {sent['last']}\n", timeout=120)
        kvid.join()
        time.sleep(1.5)  # answers still delayed (to multicast requests) or queued
        after = self.counter.dump().get(bucket, dict.fromkeys(COLUMNS, 0))
        got = {k: after[k] - before[k] for k in COLUMNS}
        h = json.loads(out)
        during = [r for r in h["requests"] if sent["first"] <= r[1] <= sent["last"]]
        answered = [r for r in during if r[2] is not None]
        within = [r for r in answered if r[2] - r[1] <= 1.0]
        status = [r for r in during if r[0] == "status"]
        status_within = [r for r in within if r[0] == "status"]
        late = [r for r in h["requests"] if r[2] is not None and r[2] >= sent["last"]]
        after_stop = [r for r in h["requests"] if r[1] >= sent["last"] and r[2] is not None]
        return {"sent": sent, "cpu": cpu, "got": got, "during": len(during), "answered": len(answered),
                "status": len(status), "status_within": len(status_within),
                "first_answer": min(r[2] for r in late) - sent["last"] if late else None,
                "first_new_answer": min(r[2] for r in after_stop) - sent["last"] if after_stop else None,
                "latency": [r[2] - r[1] for r in during if r[2] is not None],
                "discoveries": runs, "cookies": sum(r[3] for r in h["requests"])}

    def amplification(self, payload, broadcast, rate, seconds):
        bucket = self.next_bucket()
        before = self.counter.dump().get(bucket, dict.fromkeys(COLUMNS, 0))
        dst = "10.77.0.255" if broadcast else MINE
        mac = "ff:ff:ff:ff:ff:ff" if broadcast else self.mac
        sent = self.send(self.peer_ns, "peth0", mac, dst, f"10.{bucket}.7.7", 0, [payload], None, rate, seconds)
        time.sleep(1.5)  # answers to a broadcast request wait up to a second
        after = self.counter.dump().get(bucket, dict.fromkeys(COLUMNS, 0))
        return sent, {k: after[k] - before[k] for k in COLUMNS}

    def stop(self):
        if getattr(self, "counter", None):
            self.counter.close()
        if getattr(self, "d", None):
            self.d.stop()


def flood_row(name, rate, r):
    lat = sorted(r["latency"])
    found = sum(1 for ok, _ in r["discoveries"] if ok)
    discover = f"{found}/{len(r['discoveries'])}"
    rec = r["first_answer"]
    return (f"   {name:16} {rate:>7.0f} {r['sent']['sent']:>7} {pct_text(r['answered'], r['during']):>22} "
            f"{pct_text(r['status_within'], r['status']):>20} "
            f"{statistics.median(lat) * 1000 if lat else float('nan'):>7.1f} "
            f"{lat[-1] * 1000 if lat else float('nan'):>8.1f} {discover:>9} {r['cpu']:>6.1f} "
            f"{r['got']['wire']:>12} {ratio(r['got']['wire'], r['sent']['wire_bytes']):>6.3f} "
            f"{rec * 1000 if rec is not None else float('nan'):>12.1f}")


def run_floods(b, a):
    print(f"\n1. floods from random forged sources (10.N.0.0/16), {a.flood_seconds:g} s each; the honest client "
          f"{HONEST} proves its address (cookie), one request every 100 ms; kvid discover runs throughout")
    print("   goals: honest requests answered: 100 %; status requests within 1 s: >= 95 %; "
          "reflected/sent <= 1; recovery < 1000 ms")
    print(f"   {'kind':16} {'rate/s':>7} {'sent':>7} {'honest answered':>22} {'status <1 s':>20} {'p50 ms':>7} "
          f"{'max ms':>8} {'discover':>9} {'CPU %':>6} {'reflected B':>12} {'x sent':>6} {'recovery ms':>12}")
    print(flood_row("none", 0, b.flood([], None, 0, a.flood_seconds)))
    for rate in [float(r) for r in a.flood_rates.split(",")]:
        for name, payloads, random_from in FLOODS:
            print(flood_row(name, rate, b.flood(payloads, random_from, rate, a.flood_seconds)))
            sys.stdout.flush()
    print("   (honest: requests sent during the flood; discover: runs of kvid discover that found the controller; "
          "reflected: bytes on the wire to the forged sources; recovery: flood's last datagram to the first "
          "honest answer after it, to within the client's 100 ms between requests)")


def run_recovery(b, a):
    print(f"\n2. recovery after {a.recovery_seconds:g} s of identification requests at {a.recovery_rate:g}/s "
          f"from random forged sources (goal < 1000 ms)")
    r = b.flood([b"IDREQ\0"], None, a.recovery_rate, a.recovery_seconds)
    first, new = r["first_answer"], r["first_new_answer"]
    print(f"   sent {r['sent']['sent']} datagrams in {r['sent']['seconds']:.1f} s "
          f"({r['sent']['send_errors']} send errors); daemon CPU {r['cpu']:.1f} % of one core")
    print(f"   flood's last datagram to the first honest answer: "
          f"{first * 1000 if first is not None else float('nan'):.1f} ms (goal < 1000 ms: "
          f"{'met' if first is not None and first < 1 else 'missed'})")
    print(f"   ... to the answer of the first honest request sent after it: "
          f"{new * 1000 if new is not None else float('nan'):.1f} ms (goal < 1000 ms: "
          f"{'met' if new is not None and new < 1 else 'missed'})")
    print(f"   honest requests during the flood answered: {pct_text(r['answered'], r['during'])}; "
          f"status: {pct_text(r['status_within'], r['status'])}")


def amp_row(name, rate, sent, got):
    wire, payload = ratio(got["wire"], sent["wire_bytes"]), ratio(got["payload"], sent["payload_bytes"])
    kinds = ", ".join(f"{k} {got[k]}" for k in COLUMNS[3:] if got[k])
    return (f"   {name:16} {rate:>7.0f} {sent['sent']:>7} {sent['wire_bytes']:>9} {got['datagrams']:>8} "
            f"{got['wire']:>10} {wire:>8.3f} {payload:>9.3f}  {'met' if wire <= 1 else 'missed':6} {kinds}")


AMP_HEADER = (f"   {'request':16} {'rate/s':>7} {'sent':>7} {'sent B':>9} {'answers':>8} {'victim B':>10} "
              f"{'wire x':>8} {'payload x':>9}  {'goal':6} answers by kind")


def run_amplification(b, a):
    print(f"\n3. amplification for one forged victim (a source address of its own per row), {a.amp_seconds:g} s "
          f"per row; victim bytes / attacker bytes on the wire (IPv4 and UDP headers counted) and in payload")
    print("   goal: at most 1 under a flood (the lowest rate is no flood: a plain request within its budget is "
          "answered in full)")
    print(AMP_HEADER)
    for name, payload, broadcast in AMPLIFIERS:
        for rate in [float(r) for r in a.amp_rates.split(",")]:
            sent, got = b.amplification(payload, broadcast, rate, a.amp_seconds)
            print(amp_row(name, rate, sent, got))
            sys.stdout.flush()


def run_plant(a, daemon_bin, forge):
    from fleet import LAPTOP_IFACE, Plant
    print(f"\n4. a plant of {a.plant} controllers (neighbour discovery): forged identification requests to "
          f"{GROUP} from a victim's address on the same segment, {a.amp_seconds:g} s per rate")
    print("   goal: victim bytes / attacker bytes at most 1")
    print(AMP_HEADER)
    rates = [float(r) for r in a.amp_rates.split(",")]
    with Plant(a.plant, daemon_bin, resolve="nd") as plant:
        victims = [f"fd00:5a::be{i + 1:02x}" for i in range(len(rates))]
        victim_ns = plant.add_host("vic", victims)
        counter = Counter(victim_ns, forge, "vic0")
        try:
            for i, rate in enumerate(rates):
                before = counter.dump().get(i + 1, dict.fromkeys(COLUMNS, 0))
                cmd = ["ip", "netns", "exec", plant.laptop_ns, forge, "send", "--iface", LAPTOP_IFACE, "--dst-mac",
                       GROUP_MAC, "--dst", GROUP, "--src", victims[i], "--sport", "40000", "--rate", str(rate),
                       "--seconds", str(a.amp_seconds), "--payload", b"IDREQ\0".hex()]
                sent = json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True,
                                                 timeout=a.amp_seconds + 60).stdout)
                time.sleep(2.0)  # answers to a multicast request wait up to a second, plus resolution
                after = counter.dump().get(i + 1, dict.fromkeys(COLUMNS, 0))
                print(amp_row("IDREQ multicast", rate, sent, {k: after[k] - before[k] for k in COLUMNS}))
                sys.stdout.flush()
        finally:
            counter.close()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(SOURCE, "build-bench-idprot"))
    p.add_argument("--only", default="flood,recovery,amp,plant")
    p.add_argument("--flood-rates", default="2000,20000")
    p.add_argument("--flood-seconds", type=float, default=5)
    p.add_argument("--recovery-rate", type=float, default=20000)
    p.add_argument("--recovery-seconds", type=float, default=10)
    p.add_argument("--amp-rates", default="1,100,2000")
    p.add_argument("--amp-seconds", type=float, default=5)
    p.add_argument("--plant", type=int, default=12)
    a = p.parse_args()
    parts = set(a.only.split(","))
    unknown = parts - {"flood", "recovery", "amp", "plant"}
    if unknown:
        p.error(f"unknown parts: {', '.join(sorted(unknown))}")
    build(SOURCE, a.build, ["kvupdaterd", "kvid"])
    forge = compile_forge(a.build)
    daemon_bin = os.path.join(a.build, "updater", "kvupdaterd")
    kvid = os.path.join(a.build, "tools", "kvid", "kvid")
    t0 = time.monotonic()
    if parts & {"flood", "recovery", "amp"}:
        tmp = tempfile.mkdtemp(prefix="kvidhostile-")
        b = Bench(a, daemon_bin, kvid, forge)
        try:
            b.start(tmp)
            if "flood" in parts:
                run_floods(b, a)
            if "recovery" in parts:
                run_recovery(b, a)
            if "amp" in parts:
                run_amplification(b, a)
            reports = [t for _, _, t in b.d.syslog if re.match(r"^idserver_Receive", t)]
            if reports:
                print(f"\n   the daemon's drop reports: {len(reports)}, last: {reports[-1].strip()!r}")
        finally:
            b.stop()
            shutil.rmtree(tmp, ignore_errors=True)
    if "plant" in parts:
        run_plant(a, daemon_bin, forge)
    print(f"\n(run time {time.monotonic() - t0:.0f} s)")


if __name__ == "__main__":
    main()
