#!/usr/bin/python3
"""Benchmark of the identification protocol on the real daemon (needs root:
it makes network namespaces and veth links, as the end-to-end tests do).

  bench/idprot/idbench.py [--build DIR] [-n REQUESTS] [--idle SECONDS] [--strace SECONDS]

1. Latency of the identification answer ("IDREQ"), median and 99th
   percentile over REQUESTS requests (default 1000) sent one at a time over a
   veth link from a peer namespace, without and with the application
   stand-in on 127.0.0.1:4006. Each request goes out 30 ms after the previous
   answer, so the listener's 10 ms pause after each datagram is not counted.
2. The floor of that latency, measured in the same run: the round trip of a
   trivial UDP echo over the same link, plus the steps the answer cannot avoid,
   timed with the daemon's own functions in the daemon's namespace: the image
   version pipeline, the sftp status pipeline (only without the application)
   and the connection attempt to the application (with the application, the
   whole exchange with the stand-in). Answers and floor are measured in
   alternating blocks of 50. Target: median <= 1.2 x floor.
3. The daemon while idle with all seven listeners started: CPU time over
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
from kvsandbox import Daemon, Sandbox  # noqa: E402

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


def build(build_dir):
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", SOURCE, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                        "-DKV_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", "kvupdaterd", "idfloor"], check=True,
                   stdout=subprocess.DEVNULL)


def daemon_pid(d):
    """The kvupdaterd process of the sandbox runner's session."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{pid}/comm") as f:
                comm = f.read().strip()
        except OSError:
            continue
        if comm == "kvupdaterd" and int(fields[3]) == d.proc.pid:  # session id
            return int(pid)
    raise RuntimeError("kvupdaterd not found")


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


def steps(d, idfloor, root, n, app):
    out = d.ns(idfloor, "steps", root, str(n), *(["app"] if app else [])).stdout
    return json.loads(out)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(SOURCE, "build-bench-idprot"))
    p.add_argument("-n", type=int, default=1000)
    p.add_argument("--idle", type=float, default=60)
    p.add_argument("--strace", type=float, default=20)
    a = p.parse_args()
    build(a.build)
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

        for h in helpers:
            os.killpg(h.pid, signal.SIGTERM)
            h.wait(timeout=10)
        helpers.clear()

        pid = daemon_pid(d)
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
