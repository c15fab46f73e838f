"""A controller under a real systemd: a container booted from the cached
Debian root, with the daemon and its units installed as the package and the
image install them, and stand-ins only for what Debian lacks.

Each container writes into an overlay of its own over the cached root (the
overlay is mounted in a private mount namespace, so nothing is mounted on
the host), boots with `systemd-nspawn -b --private-network`, and is driven
with nsenter into its namespaces. A restart of the container keeps its
overlay, as a controller keeps its storage.
"""
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("KV_SOURCE_DIR") or os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "sandbox"))

from kvsandbox import NETINTERFACES, PLATFORMS, _appname_config, wait_for  # noqa: E402,F401

STANDINS = os.path.join(HERE, "standins")
DEPLOY = os.path.join(SOURCE_DIR, "deploy")
APPLICATION_UNITS = ["app", "kvserver", "kvwebview", "display-saver", "display-manager"]
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


def unit_helpers(unit_text):
    """Programs a unit file runs that deploy/ provides: (device path, file in deploy/)."""
    found = []
    for line in unit_text.splitlines():
        m = re.match(r"^Exec\w+=[-+!@:]*(/\S+)", line.strip())
        if m and os.path.isfile(os.path.join(DEPLOY, os.path.basename(m.group(1)))):
            found.append((m.group(1), os.path.join(DEPLOY, os.path.basename(m.group(1)))))
    return found


class Container:
    def __init__(self, root, daemon, platform="kv2-touch", with_opt=True, dropins=None):
        self.lower = root
        self.daemon = daemon
        self.dir = tempfile.mkdtemp(prefix="kvsd-")
        self.upper = os.path.join(self.dir, "upper")
        self.name = "kvsd" + uuid.uuid4().hex[:8]
        self.proc = None
        self.leader = None
        self.boots = 0
        self._stopping = False
        for d in ("upper", "work", "merged"):
            os.makedirs(os.path.join(self.dir, d))
        self._device(platform, with_opt)
        self._deploy(daemon, dropins or {})

    # --- the device's files -------------------------------------------------
    def put(self, path, data, mode=0o644):
        """Writes a file into the container's storage (before or between boots)."""
        target = os.path.join(self.upper, path.lstrip("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb" if isinstance(data, bytes) else "w") as f:
            f.write(data)
        os.chmod(target, mode)

    def put_file(self, path, source, mode=0o755):
        with open(source, "rb") as f:
            self.put(path, f.read(), mode)

    def _device(self, platform, with_opt):
        machine, platform_id = PLATFORMS[platform]
        self.put("/image_info", f"image_name=kv-image\nimage_machine={machine}\nimage_version=kv-image-3.2.1\n")
        if with_opt:
            for folder in ("opt/kv2/swfw", "opt/kv2/log"):
                os.makedirs(os.path.join(self.upper, folder), exist_ok=True)
            self.put("/opt/kv2/etc/appname.config", _appname_config(platform_id))
            self.put("/opt/kv2/etc/netinterfaces.config", NETINTERFACES)
            self.put("/opt/kv2/etc/netinterfaces.bak", NETINTERFACES)
        os.makedirs(os.path.join(self.upper, "home/root/bundle"), exist_ok=True)
        os.makedirs(os.path.join(self.upper, "data/upperdir/var/lib/opkg"), exist_ok=True)
        self.put("/data/upperdir/var/lib/opkg/status", f"Package: {platform}\nVersion: 1.0\n"
                 "Status: install ok installed\n\n")
        self.put("/var/log/quorvanlog", "system log of the test controller\n")
        self.put_file("/home/root/.sign/ipksignkeypublic.pem",
                      os.path.join(SOURCE_DIR, "keys", "development", "ipksignkeypublic.pem"), 0o644)
        for name in ("opkg", "mender", "psplash", "psplash-write", "xset"):
            self.put_file(f"/usr/bin/{name}", os.path.join(STANDINS, name))
        self.put_file("/home/root/sync-users.sh", os.path.join(STANDINS, "sync-users.sh"))
        with open(os.path.join(STANDINS, "application.service")) as f:
            unit = f.read()
        for name in APPLICATION_UNITS:
            self.put(f"/etc/systemd/system/{name}.service", unit)
            self._enable(name + ".service")
        self.put("/etc/kvtest/opkg.delay", "3\n")
        # The journal kept across restarts of the container (journalctl -b -1).
        self.put("/etc/systemd/journald.conf.d/volatile.conf", "[Journal]\nStorage=persistent\n")
        os.makedirs(os.path.join(self.upper, "var/log/journal"), exist_ok=True)

    def _enable(self, unit):
        wants = os.path.join(self.upper, "etc/systemd/system/multi-user.target.wants")
        os.makedirs(wants, exist_ok=True)
        link = os.path.join(wants, unit)
        if not os.path.lexists(link):
            target = f"/etc/systemd/system/{unit}" if unit.split(".")[0] in APPLICATION_UNITS \
                else f"/lib/systemd/system/{unit}"
            os.symlink(target, link)

    def _deploy(self, daemon, dropins):
        """The daemon and its units where the package and the image put them;
        programs the units run that deploy/ holds go where the unit names them."""
        self.put_file("/usr/sbin/kvupdaterd", daemon)
        for unit in ("kvupdaterd.service", "install@.service"):
            with open(os.path.join(DEPLOY, unit)) as f:
                text = f.read()
            self.put(f"/usr/lib/systemd/system/{unit}", text)
            for path, source in unit_helpers(text):
                self.put_file(path, source)
        self._enable("kvupdaterd.service")
        for name, text in dropins.items():
            self.put(f"/etc/systemd/system/kvupdaterd.service.d/{name}.conf", text)

    # --- boot, commands, restart ---------------------------------------------
    def boot(self, timeout=300):
        """Boots the container and waits until its start-up jobs are done."""
        self.boots += 1
        self.leader = None
        self.uuid = str(uuid.uuid4())
        merged = os.path.join(self.dir, "merged")
        opts = f"lowerdir={self.lower},upperdir={self.upper},workdir={os.path.join(self.dir, 'work')}"
        # systemd-nspawn keeps a folder per machine under /run/systemd/nspawn:
        # a tmpfs of this mount namespace takes it, so none is left on the host.
        script = (f"mount -t overlay overlay -o {shlex.quote(opts)} {shlex.quote(merged)} && "
                  "mkdir -p /run/systemd/nspawn && mount -t tmpfs tmpfs /run/systemd/nspawn && "
                  f"exec systemd-nspawn -q -D {shlex.quote(merged)} -b --private-network --register=no "
                  f"--keep-unit -M {self.name}-{self.boots} --uuid={self.uuid.replace('-', '')}")
        self.console = open(os.path.join(self.dir, f"console-{self.boots}.log"), "wb")
        self.proc = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-c", script],
                                     stdin=subprocess.DEVNULL, stdout=self.console, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        self.leader = wait_for(self._find_leader, 60, "container's init")
        wait_for(lambda: self.sh("systemctl is-system-running --wait", check=False, timeout=timeout).stdout.strip()
                 in ("running", "degraded"), timeout, "container's start-up")
        return self

    def _find_leader(self):
        if self.proc.poll() is not None and self.leader is None and self.proc.returncode is not None \
                and not self._stopping:
            raise RuntimeError(f"container ended at boot: {self.console_text()}")
        # The container's init: the child of the systemd-nspawn process of this boot.
        needle = f"--uuid={self.uuid.replace('-', '')}".encode()
        nspawn = None
        pids = [p for p in os.listdir("/proc") if p.isdigit()]
        for pid in pids:
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    argv = f.read().split(b"\0")
            except OSError:
                continue
            if argv and argv[0].endswith(b"systemd-nspawn") and needle in argv:
                nspawn = pid
        for pid in pids if nspawn else []:
            try:
                with open(f"/proc/{pid}/stat") as f:
                    if f.read().rsplit(")", 1)[1].split()[1] == nspawn:
                        return int(pid)
            except OSError:
                continue
        return None

    def console_text(self):
        with open(os.path.join(self.dir, f"console-{self.boots}.log"), "rb") as f:
            return f.read().decode(errors="replace")

    def sh(self, command, check=True, timeout=60, user=None):
        """Runs a shell command inside the container (as root, or as user)."""
        argv = ["/bin/sh", "-c", command]
        if user:
            argv = ["runuser", "-u", user, "--"] + argv
        r = subprocess.run(["nsenter", "-t", str(self.leader), "-m", "-u", "-i", "-n", "-p", "--",
                            "env", "-i", f"PATH={PATH}", "LANG=C.UTF-8", *argv],
                           capture_output=True, text=True, timeout=timeout)
        if check and r.returncode != 0:
            raise AssertionError(f"{command!r} in the container: status {r.returncode}\n{r.stdout}{r.stderr}")
        return r

    def spawn(self, command):
        """Starts a long-running command inside the container; returns its Popen."""
        return subprocess.Popen(["nsenter", "-t", str(self.leader), "-m", "-u", "-i", "-n", "-p", "--",
                                 "env", "-i", f"PATH={PATH}", "/bin/sh", "-c", command],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, start_new_session=True)

    def read(self, path):
        r = self.sh(f"cat {shlex.quote(path)}", check=False)
        return r.stdout if r.returncode == 0 else None

    def exists(self, path):
        return self.sh(f"test -e {shlex.quote(path)}", check=False).returncode == 0

    def copy_in(self, source, path, mode="0644", owner=None):
        """Places a host file into the running container in one step (a copy
        beside the target, then a rename), as an SFTP client's drop ends."""
        with open(source, "rb") as f:
            data = f.read()
        tmp = f"{os.path.dirname(path)}/.incoming-{os.path.basename(path)}"
        r = subprocess.run(["nsenter", "-t", str(self.leader), "-m", "-p", "--", "env", "-i", f"PATH={PATH}",
                            "/bin/sh", "-c", f"cat > {shlex.quote(tmp)} && chmod {mode} {shlex.quote(tmp)}"
                            + (f" && chown {owner} {shlex.quote(tmp)}" if owner else "")
                            + f" && mv {shlex.quote(tmp)} {shlex.quote(path)}"],
                           input=data, capture_output=True, timeout=60)
        assert r.returncode == 0, r.stderr.decode()

    def journal(self, unit=None):
        """The journal of this boot as message lines (of one unit, or all)."""
        args = f"-u {shlex.quote(unit)}" if unit else ""
        return self.sh(f"journalctl -b --no-pager -o cat {args}", check=False).stdout

    def show(self, unit, prop):
        return self.sh(f"systemctl show -P {prop} {shlex.quote(unit)}", check=False).stdout.strip()

    def installs(self):
        """What the opkg stand-in installed, in order: (package, sha256)."""
        text = self.read("/var/lib/kvtest/installs") or ""
        return [tuple(line.split()) for line in text.splitlines() if line.strip()]

    def wait_journal(self, pattern, unit=None, timeout=60):
        """Waits until a journal line matches the regular expression; returns the match."""
        rx = re.compile(pattern, re.M)
        return wait_for(lambda: rx.search(self.journal(unit)), timeout, f"journal line /{pattern}/")

    def wait_restart(self, timeout=120):
        """Waits until the container's init asks for a restart (nspawn ends
        with 133), then boots it again on the same storage."""
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise TimeoutError(f"container did not restart within {timeout}s")
        self.console.close()
        assert rc == 133, f"container ended with {rc}, not a restart: {self.console_text()[-2000:]}"
        return self.boot()

    def stop(self):
        """Ends the container at once (its init killed ends its every process,
        also when systemd-nspawn is already gone)."""
        if self.proc is not None:
            self._stopping = True
            leader = self.leader or self._find_leader()
            self._stopping = False
            if leader:
                try:
                    os.kill(leader, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        if self.proc is not None and self.proc.poll() is None:
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=30)
        if self.proc is not None:
            self.console.close()

    def remove(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)
