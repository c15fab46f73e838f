#!/usr/bin/python3
"""Benchmark of the intake road on the real daemon (needs root: the daemon runs
in a network namespace of its own, as in the end-to-end tests).

  bench/intake/intakebench.py [--build DIR] [--mib 64] [--trials 3] [--links N] [--held N] [--idle S]

A container of MIB MiB (an application package "kvwebview", which the daemon
hands to its installer unit without display activity) is dropped into the
watch folder of a sandbox device, TRIALS times, and each time the benchmark
measures:

1. The time from the drop (the rename into the watch folder, the file already
   on the disk) to the installer unit's start (the line that the systemctl
   stand-in appends to the sandbox journal; its time is the journal's
   modification time). The drop is made just after the polling loop has gone
   to sleep, so that each trial waits for the next pass alike.
2. The floor of that time: the waits the road prescribes,
     - the rest of the 2-second pass period in which the drop lands (the
       loop's sleep began when the main thread entered it),
     - the decryption's waits after flushing the file systems: 2 s, 1 s, 1 s,
     - the 2-second pass period between the decryption and the pass that takes
       the package (the package of another name than the platform's is handed
       to its unit without waits),
   plus one read of the payload from the page cache and one write of it to
   the disk (write and fsync), at the speeds `kvbench io` measures in the
   same run on the same file system. Goal: at most 1.10 x floor.
3. The bytes the daemon and every program it starts write, per payload byte
   (write amplification): the daemon's /proc/<pid>/io write_bytes before the
   drop and after the unit start. The kernel counts a byte there when a page
   of a file is first dirtied, and adds the counts of every child the daemon
   has reaped (cp, ar, tar and the shells that run them), so the difference is
   what the road made the file systems write, temporary files included, even
   when they were removed before reaching the disk.

One more trial runs under strace (-f, attached to the daemon) and is not
timed: it attributes the bytes written to the files they went to (write,
pwrite, copy_file_range, sendfile, splice), grouped by folder.

Last, what a hostile watch folder costs the idle loop: the daemon's CPU share
(its own and its reaped children's) and its log lines over IDLE seconds with
the folder empty, then with LINKS symbolic links planted and HELD small
containers held open by another process (--links 300 --held 1500 --idle 10
by default).

The daemon and kvpack are built as a Release build in DIR (default
build-bench next to the source folder).
"""
import argparse
import resource
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "sandbox"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))

PACKAGE = "kvwebview"
CONTAINER = "app.CRY"
UNIT_LINE = ["systemctl", "start", f"install@{PACKAGE}"]
PASS_PERIOD = 2.0
DECRYPT_WAITS = (2.0, 1.0, 1.0)
# System call numbers of nanosleep and clock_nanosleep, whichever the C
# library uses for the loop's sleep.
SLEEP_CALLS = {"x86_64": {35, 230}, "aarch64": {101, 115}, "armv7l": {162, 265, 407}}
WATCH, WORK, BUNDLE = "/opt/kv2/swfw/", "/home/root/", "/home/root/bundle/"


def build(build_dir):
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", SOURCE, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                        "-DKV_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", "kvupdaterd", "kvpack", "kvbench"],
                   check=True, stdout=subprocess.DEVNULL)


def daemon_pid(d, timeout=10):
    """The daemon's pid: the runner's chain (ip netns exec, private-dev,
    unshare, env) replaces itself by the daemon without forking, so the
    daemon keeps the pid of the process the runner started."""
    deadline = time.monotonic() + timeout
    while True:
        with open(f"/proc/{d.proc.pid}/comm") as f:
            if f.read().strip() == "kvupdaterd":
                return d.proc.pid
        if time.monotonic() > deadline:
            raise TimeoutError("kvupdaterd did not start")
        time.sleep(0.05)


def proc_io(pid):
    with open(f"/proc/{pid}/io") as f:
        return {k: int(v) for k, v in (line.split(":") for line in f)}


def in_sleep(pid, calls):
    """True while the daemon's main thread sits in the loop's sleep."""
    try:
        with open(f"/proc/{pid}/syscall") as f:
            first = f.read().split()[0]
    except (OSError, IndexError):
        return False
    return first.isdigit() and int(first) in calls


def wait_for_sleep_start(pid, calls, timeout=60):
    """Waits until the main thread leaves a sleep and enters the next one (a
    pass has run and the loop has gone to sleep again); returns the time the
    new sleep was seen to begin (time.time(), within about a millisecond)."""
    deadline = time.monotonic() + timeout
    while in_sleep(pid, calls):
        if time.monotonic() > deadline:
            raise TimeoutError("the loop never woke up")
        time.sleep(0.0005)
    while not in_sleep(pid, calls):
        if time.monotonic() > deadline:
            raise TimeoutError("the loop never went to sleep")
        time.sleep(0.0005)
    return time.time()


def journal_count(sb):
    return len(sb.journal())


def wait_unit(sb, start_count, timeout=120):
    """Waits for the installer unit's line in the journal; returns the time it
    was written (the journal's modification time)."""
    deadline = time.monotonic() + timeout
    while True:
        calls = sb.journal()[start_count:]
        if UNIT_LINE in calls:
            return os.stat(sb.journal_path).st_mtime_ns / 1e9
        if time.monotonic() > deadline:
            raise TimeoutError("the installer unit was not started")
        time.sleep(0.005)


def drop(sb, container, staging):
    """Copies the container beside the watch folder, flushes it to the disk,
    then renames it into the watch folder; returns the time of the rename."""
    tmp = os.path.join(staging, CONTAINER)
    shutil.copyfile(container, tmp)
    fd = os.open(tmp, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
    t = time.time()
    os.rename(tmp, sb.dev(WATCH + CONTAINER))
    return t


def prepare(sb, signature):
    """The state before each trial: the signature waits in the bundle folder
    under the container's base name; what the last trial's unit would have
    consumed is gone."""
    for leftover in (WORK + PACKAGE + ".ipk", BUNDLE + PACKAGE + ".sign64"):
        if os.path.exists(sb.dev(leftover)):
            os.unlink(sb.dev(leftover))
    shutil.copyfile(signature, sb.dev(BUNDLE + os.path.splitext(CONTAINER)[0] + ".sign64"))


def trial(sb, pid, container, signature, staging, calls, clock):
    prepare(sb, signature)
    sleep_start = wait_for_sleep_start(pid, calls)
    n = journal_count(sb)
    before = proc_io(pid)
    t_drop = drop(sb, container, staging)
    t_unit = wait_unit(sb, n)
    after = proc_io(pid)
    steps, last = [], t_drop
    for prefix, what in MILESTONES:
        t = clock.first_after(last, prefix)
        if t is None:
            break
        steps.append((what, t - last))
        last = t
    steps.append(("lock, update log, installer unit", t_unit - last))
    return {
        "steps": steps,
        "elapsed": t_unit - t_drop,
        "phase": max(0.0, sleep_start + PASS_PERIOD - t_drop),
        "io": {k: after[k] - before[k] for k in after},
    }


class LogClock:
    """Notes when each system log line of the daemon arrives."""

    def __init__(self, d):
        self.d = d
        self.lines = []  # (time.time(), text)
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        seen = 0
        while True:
            with self.d._cond:
                while len(self.d.syslog) <= seen:
                    self.d._cond.wait()
                now = time.time()
                for _, _, text in self.d.syslog[seen:]:
                    self.lines.append((now, text))
                seen = len(self.d.syslog)

    def first_after(self, t, prefix):
        for when, text in list(self.lines):
            if when >= t and text.startswith(prefix):
                return when
        return None


# Milestones of the road in the daemon's level-1 lines, in order.
MILESTONES = [
    ("Main, do integrity check on cryfile", "pass takes the container (scan, busy check)"),
    ("Main, decrypter successfully executed", "header check, decryption, waits, package named"),
    ("Main, ipk installer found", "pass period, scan, busy check"),
    ("Signature check, Signature OK!", "taken into the work folder (lease, link), control read, rename, signature check"),
]


def tracer(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("TracerPid:"):
                return int(line.split()[1])
    return 0


STRACE_LINE = re.compile(r"^(\d+)\s+(\w+)\((.*)\)\s+=\s+(-?\d+)")
FD_PATH = re.compile(r"\d+<([^>]*)>")


def traced_trial(sb, pid, container, signature, staging, calls, out):
    """Runs one trial with strace attached; returns {path: bytes written}."""
    prepare(sb, signature)
    st = subprocess.Popen(["strace", "-f", "-qq", "-y", "-s", "0", "-e", "signal=none",
                           "-e", "trace=write,pwrite64,writev,pwritev,pwritev2,copy_file_range,sendfile,splice",
                           "-o", out, "-p", str(pid)], stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while tracer(pid) == 0:  # strace has attached when the kernel names it
        if time.monotonic() > deadline or st.poll() is not None:
            raise RuntimeError("strace did not attach")
        time.sleep(0.01)
    wait_for_sleep_start(pid, calls)
    n = journal_count(sb)
    drop(sb, container, staging)
    wait_unit(sb, n)
    st.terminate()
    st.wait(timeout=30)
    written = {}
    with open(out, errors="replace") as f:
        for line in f:
            m = STRACE_LINE.match(line)
            if not m or int(m.group(4)) <= 0:
                continue
            paths = FD_PATH.findall(m.group(3))
            # The destination: the second descriptor of copy_file_range and
            # splice, the first of every other call traced.
            index = 1 if m.group(2) in ("copy_file_range", "splice") else 0
            if len(paths) > index:
                written[paths[index]] = written.get(paths[index], 0) + int(m.group(4))
    return written


def where(sb, path):
    """(folder, device path) of a file of the sandbox device, None for other
    files (pipes, sockets, /dev/null). Unpacking folders with random names are
    shown under one name."""
    root = sb.root.rstrip("/")
    if not path.startswith(root + "/"):
        return None
    device = re.sub(r"/\.kvunpack-[^/]+/", "/.kvunpack-XXXXXX/", path[len(root):])
    for folder, name in ((BUNDLE, "bundle folder"), (WORK, "work folder"), (WATCH, "watch folder")):
        if device.startswith(folder):
            return name, device
    return os.path.dirname(device) + "/", device


def describe(device_path):
    name = os.path.basename(device_path)
    if name == "INSTALLER.IPKTMP":
        return "decrypted payload (temporary file)"
    if name.endswith(".ipk"):
        return "the package (the decrypted payload under its name)"
    if name == "control":
        return "the control file (read from the package in the daemon)"
    return ""


def human(n):
    return f"{n / (1 << 20):.1f} MiB" if n >= 1 << 20 else f"{n / 1024:.1f} KiB" if n >= 1024 else f"{n} B"


def cpu_seconds(pid):
    """CPU time of the daemon and the children it has reaped (user + system)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return sum(int(v) for v in fields[11:15]) / os.sysconf("SC_CLK_TCK")


def idle_cost(pid, d, seconds):
    """The daemon's CPU share and its log lines over seconds of idle passes."""
    lines, cpu, t = len(d.syslog), cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(pid) - cpu) / (time.monotonic() - t), len(d.syslog) - lines


def hostile_folder(sb, pid, d, small_container, links, held, seconds):
    """Idle passes with the watch folder empty, then with links planted and
    containers held open by another process: what a hostile folder costs."""
    quiet = idle_cost(pid, d, seconds)
    watch = sb.dev(WATCH)
    for i in range(links):
        os.symlink("/etc/passwd", os.path.join(watch, f"link{i:04}.ipk"))
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, held + 256)), hard))
    fds = []
    try:
        for i in range(held):
            path = os.path.join(watch, f"held{i:04}.CRY")
            shutil.copyfile(small_container, path)
            fds.append(os.open(path, os.O_RDONLY))
        time.sleep(2 * PASS_PERIOD)  # the first passes judge every entry once
        hostile = idle_cost(pid, d, seconds)
    finally:
        for fd in fds:
            os.close(fd)
    return quiet, hostile


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(SOURCE, "build-bench"))
    p.add_argument("--mib", type=int, default=64)
    p.add_argument("--trials", type=int, default=3)
    p.add_argument("--links", type=int, default=300, help="links planted for the hostile-folder part")
    p.add_argument("--held", type=int, default=1500, help="containers held open for the hostile-folder part")
    p.add_argument("--idle", type=float, default=10, help="seconds of idle passes measured for each side")
    a = p.parse_args()
    if os.geteuid() != 0:
        sys.exit("intakebench.py needs root (network namespaces)")
    calls = SLEEP_CALLS.get(platform.machine())
    if calls is None:
        sys.exit(f"no system call numbers of the sleep known for {platform.machine()}")
    build(a.build)
    os.environ["KV_BUILD_DIR"] = a.build
    from kvsandbox import Daemon, Sandbox  # noqa: E402
    import packages  # noqa: E402  (reads KV_BUILD_DIR)
    kvbench = os.path.join(a.build, "bench", "kvbench")

    tmp = tempfile.mkdtemp(prefix="kvintake-")
    d = None
    try:
        # The package: a data file of random bytes (gzip cannot shrink them),
        # so that the container is MIB MiB.
        pkg = os.path.join(tmp, "pkg")
        blob = os.path.join(pkg, "data", "opt", "app", "blob.bin")
        os.makedirs(os.path.dirname(blob))
        with open(blob, "wb") as f:
            for _ in range(a.mib):
                f.write(os.urandom(1 << 20))
        ipk = packages.make_ipk(pkg, PACKAGE, "1.0", file_name="app.ipk")
        container = packages.make_cry(ipk, os.path.join(tmp, CONTAINER), "KV2_TOUCH")
        signature = packages.sign(ipk, os.path.join(tmp, "app.sign64"))
        payload = os.path.getsize(ipk)
        container_size = os.path.getsize(container)

        sb = Sandbox.create(os.path.join(tmp, "device"), "kv2-touch")
        staging = os.path.join(sb.path, "staging")  # same file system as the watch folder
        os.makedirs(staging)
        shutil.copyfile(container, os.path.join(staging, "probe"))
        io = subprocess.run([kvbench, "io", os.path.join(staging, "probe"), staging], check=True,
                            capture_output=True, text=True).stdout.split()
        os.unlink(os.path.join(staging, "probe"))
        io_bytes, read_s, write_s = int(io[0]), float(io[1]), float(io[2])
        read_s *= payload / io_bytes
        write_s *= payload / io_bytes

        d = Daemon(sb, ["-v", "1"], daemon=os.path.join(a.build, "updater", "kvupdaterd"))
        d.start()
        clock = LogClock(d)
        pid = daemon_pid(d)
        results = [trial(sb, pid, container, signature, staging, calls, clock) for _ in range(a.trials)]
        traced = traced_trial(sb, pid, container, signature, staging, calls, os.path.join(tmp, "strace.txt"))
        small = packages.make_cry(packages.make_ipk(os.path.join(tmp, "small"), "kvsmall", "1.0"),
                                  os.path.join(tmp, "small.CRY"), "KV2_TOUCH")
        quiet, hostile = hostile_folder(sb, pid, d, small, a.links, a.held, a.idle)
    finally:
        if d is not None:
            d.stop()
        shutil.rmtree(tmp, ignore_errors=True)

    waits = sum(DECRYPT_WAITS) + PASS_PERIOD
    mib = payload / (1 << 20)
    print(f"container of {container_size / (1 << 20):.1f} MiB (package {PACKAGE}, "
          f"payload {mib:.1f} MiB), {a.trials} trials")
    print(f"measured in the same run on the sandbox's file system: one read of the payload "
          f"{read_s * 1000:.1f} ms ({mib / read_s:.0f} MiB/s, page cache), one write "
          f"{write_s * 1000:.1f} ms ({mib / write_s:.0f} MiB/s, write + fsync)")
    print(f"\n{'trial':>5} {'drop->unit s':>13} {'floor s':>8} {'ratio':>6}   floor = next pass + "
          f"{' + '.join(f'{w:g}' for w in DECRYPT_WAITS)} (decryption) + {PASS_PERIOD:g} (pass) + read + write")
    ratios = []
    for i, r in enumerate(results, 1):
        floor = r["phase"] + waits + read_s + write_s
        ratios.append(r["elapsed"] / floor)
        print(f"{i:>5} {r['elapsed']:13.3f} {floor:8.3f} {ratios[-1]:6.3f}   next pass due "
              f"{r['phase']:.3f} s after the drop")
    best = min(range(len(ratios)), key=lambda i: ratios[i])
    print(f"best ratio {ratios[best]:.3f}, median {sorted(ratios)[len(ratios) // 2]:.3f} (goal <= 1.10)")
    print(f"steps of trial {best + 1} (s, from the system log lines' arrival):")
    for what, seconds in results[best]["steps"]:
        print(f"  {seconds:7.3f}  {what}")

    io_written = [r["io"]["write_bytes"] for r in results]
    cancelled = [r["io"]["cancelled_write_bytes"] for r in results]
    print(f"\nbytes written per payload byte (daemon and children, /proc/<pid>/io write_bytes): "
          f"{', '.join(f'{w / payload:.2f}' for w in io_written)}"
          f"  ({io_written[-1] / (1 << 20):.1f} MiB; of it removed before reaching the disk: "
          f"{cancelled[-1] / (1 << 20):.1f} MiB)")
    print("where (one traced trial, strace -f on the daemon):")
    rows = {}
    for path, n in traced.items():
        w = where(sb, path)
        if w is None:
            continue
        rows.setdefault(w, 0)
        rows[w] += n
    total = sum(rows.values())
    for (folder, device), n in sorted(rows.items(), key=lambda kv: -kv[1]):
        print(f"  {folder:13} {device:42} {human(n):>10} {n / payload:5.2f}  {describe(device)}")
    print(f"  {'total':56} {human(total):>10} {total / payload:5.2f}")

    print(f"\nidle passes, {a.idle:g} s each side: daemon CPU (with reaped children) and log lines")
    print(f"  watch folder empty                                 {quiet[0] * 100:6.2f} % of a core, "
          f"{quiet[1]} lines")
    print(f"  {a.links} links planted, {a.held} containers held open   {hostile[0] * 100:6.2f} % of a core, "
          f"{hostile[1]} lines  (each entry judged once, then one lstat per pass, one lease request per held "
          f"one)")


if __name__ == "__main__":
    main()
