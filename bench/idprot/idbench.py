#!/usr/bin/python3
"""Benchmark of the identification protocol on the real daemon (needs root:
it makes network namespaces and veth links, as the end-to-end tests do).

  bench/idprot/idbench.py [--build DIR] [-n REQUESTS] [--flood-rate R] [--flood-seconds S]
                          [--idle SECONDS] [--strace SECONDS]

1. Latency of the identification answer ("IDREQ"), median and 99th
   percentile over REQUESTS requests (default 1000) sent one at a time over a
   veth link from a peer namespace, without and with the application
   stand-in on 127.0.0.1:4006. Each request goes out 30 ms after the previous
   answer, so the listener's 10 ms pause after each datagram is not counted.
2. The floor of that latency, measured in the same run: the round trip of a
   trivial UDP echo over the same link, plus the steps the answer cannot avoid,
   timed with the daemon's own functions in the daemon's namespace: reading
   the image version, reading the sftp status (only without the application)
   and the connection attempt to the application (with the application, the
   whole exchange with the stand-in). Answers and floor are measured in
   alternating blocks of 50. Target: median <= 1.2 x floor.
3. A flood: R identification requests a second (default 2,000) on eth0 for S
   seconds (default 10), with an honest status request every second from
   another socket. Reported: the daemon's CPU time over the flood, with that
   of any command it started (target under 20 % of one core), beside the CPU time of the trivial echo answering
   the same flood (the reference), how many requests were answered and how
   many the daemon counted as dropped, and the round trip of each status
   request (target: every one answered within 1 s).
4. The daemon while idle with all seven listeners started: CPU time over
   SECONDS (default 60; target under 0.02 % of one core), system calls per
   two-second pass counted by strace over --strace seconds (default 20), and
   resident memory (target: anonymous resident memory under 2 MiB).

The daemon and the helper are built as a Release build in DIR (default
build-bench-idprot next to the source folder).
"""
import argparse
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "sandbox"))
from kvsandbox import Daemon, Sandbox, session_processes  # noqa: E402
from benchbuild import build  # noqa: E402

FLOOD = os.path.join(SOURCE, "tests", "e2e", "idflood.py")

PYTHON = "/usr/bin/python3"
ALL = ("eth0", "eth1", "eth2", "wlan0", "wwan0", "eth0.vlan1", "eth2.vlan1")
MINE, PEER = "10.77.0.2", "10.77.0.10"
BLOCK = 50
# Pause before each request: well beyond the listener's 10 ms pause after an
# answer, also when the machine is busy and that sleep overshoots.
GAP_MS = 30


def pct(samples, p):
    s = sorted(samples)
    return s[min(len(s) - 1, int(round(p / 100 * (len(s) - 1))))]


def daemon_pid(d):
    """The kvupdaterd process of the sandbox runner's session."""
    pids = session_processes(d.proc.pid)
    if not pids:
        raise RuntimeError("kvupdaterd not found")
    return pids[0]


def cpu_ns(pid):
    """CPU time of all threads in nanoseconds (scheduler statistics; finer
    than the clock ticks of /proc/PID/stat)."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


def children_ns(pid):
    """CPU time of the process's ended children (commands it started and
    waited for), in nanoseconds (clock ticks of /proc/PID/stat)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[13]) + int(fields[14])) * 1_000_000_000 // os.sysconf("SC_CLK_TCK")


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return -1


def series(d, port, payload, n):
    out = d.peer(PYTHON, os.path.join(HERE, "idload.py"), "--iface", "peth0", "--to", MINE, "--port", str(port),
                 "--hex", payload.hex(), "-n", str(n), "--gap", str(GAP_MS), timeout=n * 10 + 60).stdout
    r = json.loads(out)
    if r["lost"]:
        print(f"  warning: {r['lost']} requests to port {port} unanswered", file=sys.stderr)
    return r["samples"]


def flood(d, port, rate, seconds):
    out = d.peer(PYTHON, FLOOD, "--iface", "peth0", "--to", MINE, "--port", str(port), "--hex", b"IDREQ\0".hex(),
                 "-n", str(int(rate * seconds)), "--rate", str(rate), "--probes", str(int(seconds)),
                 "--wait", "2", timeout=seconds * 3 + 60).stdout
    return json.loads(out)


def dropped(d, start):
    """Requests the daemon reported dropped over its rate limit since syslog entry start."""
    total = 0
    for _, _, text in d.syslog[start:]:
        m = re.match(r"^idserver_Receive, eth0: (\d+) requests over the rate limit", text)
        if m:
            total += int(m.group(1))
    return total


def steps(d, idfloor, root, n, app):
    out = d.ns(idfloor, "steps", root, str(n), *(["app"] if app else [])).stdout
    return json.loads(out)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(SOURCE, "build-bench-idprot"))
    p.add_argument("-n", type=int, default=1000)
    p.add_argument("--flood-rate", type=float, default=2000)
    p.add_argument("--flood-seconds", type=float, default=10)
    p.add_argument("--idle", type=float, default=60)
    p.add_argument("--strace", type=float, default=20)
    a = p.parse_args()
    build(SOURCE, a.build, ["kvupdaterd", "idfloor"])
    idfloor = os.path.join(a.build, "bench", "idprot", "idfloor")
    daemon_bin = os.path.join(a.build, "updater", "kvupdaterd")

    tmp = tempfile.mkdtemp(prefix="kvidbench-")
    sb = Sandbox.create(os.path.join(tmp, "device"))
    d = Daemon(sb, [], daemon=daemon_bin, interfaces=ALL)
    helpers = []
    try:
        d.start()
        d.connect_peer("eth0", [MINE + "/24"], [PEER + "/24"])
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            bound = re.findall(r"%(\S+):20034\s", d.ns("ss", "-H", "-u", "-a", "-n").stdout)
            if len(bound) == len(ALL):
                break
            time.sleep(0.1)
        print(f"listeners bound: {sorted(bound)}")
        echo = subprocess.Popen(["ip", "netns", "exec", d.netns, idfloor, "echo", MINE, "7007"],
                                stdout=subprocess.PIPE, text=True, start_new_session=True)
        helpers.append(echo)
        echo.stdout.readline()

        results = {}
        for app in (False, True):
            if app:
                ctl = os.path.join(tmp, "app.json")
                with open(ctl, "w") as f:
                    f.write("{}")
                stand_in = subprocess.Popen(["ip", "netns", "exec", d.netns, PYTHON,
                                             os.path.join(SOURCE, "tests", "e2e", "appstandin.py"),
                                             "--control", ctl, "--journal", "/dev/null"],
                                            stdout=subprocess.PIPE, text=True, start_new_session=True)
                helpers.append(stand_in)
                stand_in.stdout.readline()
            series(d, 20034, b"IDREQ\0", 20)  # warm-up
            # Answers and floor in alternating blocks, so both see the same
            # conditions of the machine.
            answer, floor_echo, st = [], [], {"image": [], "sftp": [], "connect": []}
            for start in range(0, a.n, BLOCK):
                k = min(BLOCK, a.n - start)
                answer += series(d, 20034, b"IDREQ\0", k)
                floor_echo += series(d, 7007, b"IDREQ\0", k)
                for key, values in steps(d, idfloor, sb.root, k, app).items():
                    st[key] += values
            parts = {"echo": statistics.median(floor_echo), "image": statistics.median(st["image"]),
                     "connect": statistics.median(st["connect"])}
            if not app:
                parts["sftp"] = statistics.median(st["sftp"])
            floor = sum(parts.values())
            results[app] = (answer, floor, parts)

        print(f"\nidentification answer latency, {a.n} requests each (ms)")
        print(f"{'':22}{'median':>9}{'p99':>9}{'floor':>9}{'ratio':>8}   floor parts (medians)")
        for app in (False, True):
            answer, floor, parts = results[app]
            med = statistics.median(answer)
            name = "with application" if app else "without application"
            detail = ", ".join(f"{k} {v:.3f}" for k, v in parts.items())
            print(f"{name:22}{med:9.3f}{pct(answer, 99):9.3f}{floor:9.3f}{med / floor:8.2f}   {detail}")

        for h in helpers[1:]:  # the application stand-in; the echo stays for the flood
            os.killpg(h.pid, signal.SIGTERM)
            h.wait(timeout=10)
        del helpers[1:]

        pid = daemon_pid(d)
        # Let the buckets fill and earlier drop reports go out.
        time.sleep(12)
        start = len(d.syslog)
        c0, k0 = cpu_ns(pid), children_ns(pid)
        f = flood(d, 20034, a.flood_rate, a.flood_seconds)
        daemon_cpu = (cpu_ns(pid) - c0 + children_ns(pid) - k0) / 1e9 / f["seconds"] * 100
        e0 = cpu_ns(echo.pid)
        ref = flood(d, 7007, a.flood_rate, a.flood_seconds)
        echo_cpu = (cpu_ns(echo.pid) - e0) / 1e9 / ref["seconds"] * 100
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and dropped(d, start) + f["answered"] < f["sent"]:
            time.sleep(0.2)  # the last drop report comes at most 10 s after the flood
        probes = f["probes_ms"]
        answered_probes = [ms for ms in probes if ms is not None]
        print(f"\nflood of {f['sent']} identification requests at {a.flood_rate:.0f}/s on eth0 "
              f"({f['seconds']:.1f} s)")
        print(f"  daemon CPU (with the commands it started): {daemon_cpu:.2f} % of one core (target < 20 %); "
              f"trivial echo answering the same "
              f"flood: {echo_cpu:.2f} %; ratio {daemon_cpu / echo_cpu if echo_cpu else float('nan'):.2f}")
        print(f"  answered {f['answered']}, counted as dropped over the rate limit {dropped(d, start)}, "
              f"unaccounted {f['sent'] - f['answered'] - dropped(d, start)}")
        print(f"  status requests during the flood: {len(answered_probes)} of {len(probes)} answered, "
              f"round trip median {statistics.median(answered_probes) if answered_probes else float('nan'):.2f} ms, "
              f"max {max(answered_probes) if answered_probes else float('nan'):.2f} ms (target < 1000 ms)")

        for h in helpers:
            os.killpg(h.pid, signal.SIGTERM)
            h.wait(timeout=10)
        helpers.clear()

        print(f"\nidle daemon (pid {pid}, {len(os.listdir(f'/proc/{pid}/task'))} threads)")
        t0, c0 = time.monotonic(), cpu_ns(pid)
        time.sleep(a.idle)
        t1, c1 = time.monotonic(), cpu_ns(pid)
        cpu = (c1 - c0) / 1e9 / (t1 - t0) * 100
        print(f"  CPU time over {t1 - t0:.0f} s: {(c1 - c0) / 1e6:.2f} ms = {cpu:.5f} % of one core (target < 0.02 %)")
        out = os.path.join(tmp, "strace.txt")
        st = subprocess.Popen(["strace", "-f", "-c", "-o", out, "-p", str(pid)], stderr=subprocess.DEVNULL)
        time.sleep(a.strace)
        st.send_signal(signal.SIGINT)
        st.wait(timeout=30)
        total = 0
        with open(out) as f:
            text = f.read()
        for line in text.splitlines():
            if line.strip().endswith("total"):
                total = int(line.split()[3])  # % time, seconds, usecs/call, calls
        passes = a.strace / 2
        print(f"  system calls over {a.strace:.0f} s: {total} = {total / passes:.1f} per pass")
        print("  " + "\n  ".join(text.strip().splitlines()[:14]))
        print(f"  resident: VmRSS {status_kib(pid, 'VmRSS')} KiB, RssAnon {status_kib(pid, 'RssAnon')} KiB "
              f"(target < 2048 KiB), RssFile {status_kib(pid, 'RssFile')} KiB")
    finally:
        for h in helpers:
            try:
                os.killpg(h.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        d.stop()
        subprocess.run(["rm", "-rf", tmp])


if __name__ == "__main__":
    main()
