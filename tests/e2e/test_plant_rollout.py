"""kvplant rollout, resume and send against a sandbox controller: its daemon
in a network namespace and, in the same namespace, a real OpenSSH sshd whose
SFTP is chrooted into the sandbox's device root (in a private mount
namespace of its own). kvplant runs in the peer namespace, as a laptop on
the controller's cable."""
import json
import os
import shlex
import signal
import subprocess
import tempfile
import time

import pytest

from idprot_net import IdNet, build_dir
from packages import PRIVATE_KEY, PUBLIC_KEY, control_text, kvpack, sign

KVPLANT = os.path.join(build_dir(), "tools", "kvplant", "kvplant")
ADDRESS = "10.77.0.2"
WATCH = "/opt/kv2/swfw/"


class Sshd:
    """sshd in the controller's namespace, key authentication for root,
    SFTP only, chrooted into the device root."""

    def __init__(self, net, tmp):
        self.net, self.tmp = net, tmp
        self.host_key = os.path.join(tmp, "host_key")
        self.client_key = os.path.join(tmp, "client_key")
        for key in (self.host_key, self.client_key):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key], check=True)
        with open(self.client_key + ".pub") as f, open(os.path.join(tmp, "authorized_keys"), "w") as out:
            out.write(f.read())
        config = os.path.join(tmp, "sshd_config")
        with open(config, "w") as f:
            f.write(f"ListenAddress {ADDRESS}\nHostKey {self.host_key}\n"
                    f"AuthorizedKeysFile {tmp}/authorized_keys\nPidFile none\nUsePAM no\nStrictModes no\n"
                    "PermitRootLogin prohibit-password\nPasswordAuthentication no\n"
                    "KbdInteractiveAuthentication no\nSubsystem sftp internal-sftp\n"
                    "ChrootDirectory /run/kvchroot\nForceCommand internal-sftp\n")
        # /run of a private mount namespace: privilege separation's folder and
        # the chroot (every part of its path owned by root, not writable by others).
        script = (f"mount -t tmpfs -o mode=755 tmpfs /run && mkdir -m 755 /run/sshd /run/kvchroot && "
                  f"mount --bind {net.sb.root} /run/kvchroot && exec /usr/sbin/sshd -D -e -f {config}")
        self.log = open(os.path.join(tmp, "sshd.log"), "w")
        self.proc = subprocess.Popen(["ip", "netns", "exec", net.d.netns, "unshare", "-m", "--propagation",
                                      "private", "sh", "-c", script], stdout=self.log, stderr=self.log,
                                     start_new_session=True)
        deadline = time.monotonic() + 30
        while f"{ADDRESS}:22 " not in net.d.ns("ss", "-H", "-t", "-l", "-n").stdout:
            assert self.proc.poll() is None, open(self.log.name).read()
            assert time.monotonic() < deadline, "sshd does not listen"
            time.sleep(0.05)

    def known_line(self, key=None):
        with open((key or self.host_key) + ".pub") as f:
            kind, blob = f.read().split()[:2]
        return f"{ADDRESS} {kind} {blob}\n"

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            self.proc.wait(timeout=10)
        self.log.close()


@pytest.fixture
def plant(make_sandbox, run_daemon):
    net = IdNet.start(make_sandbox, run_daemon, links=("eth0",), args=())
    tmp = tempfile.mkdtemp(prefix="kvplant-")
    sshd = Sshd(net, tmp)
    # The installer's stand-in reports what it installed as the application's revision.
    with open(os.path.join(net.sb.control_dir, "unit.hook"), "w") as f:
        f.write("import os, re\n"
                "p = os.path.join(root, 'opt/kv2/etc/appname.config')\n"
                "v = open(os.path.join(sandbox, 'control', 'next-version')).read().strip()\n"
                "t = re.sub(r'swrevision = .*', 'swrevision = Rev: ' + v, open(p).read())\n"
                "open(p + '.new', 'w').write(t); os.replace(p + '.new', p)\n")
    known = os.path.join(tmp, "known_hosts")
    with open(known, "w") as f:
        f.write(sshd.known_line())
    yield net, sshd, tmp
    sshd.stop()
    net.close()


def package(tmp, sb, name, version, payload_bytes=64):
    """A signed package with payload_bytes of random data; its signature beside it."""
    folder = os.path.join(tmp, f"{name}-{version}")
    data = os.path.join(folder, "data", "opt", "app")
    os.makedirs(data)
    with open(os.path.join(data, "payload.bin"), "wb") as f:
        f.write(os.urandom(payload_bytes))
    control = os.path.join(folder, "control")
    with open(control, "w") as f:
        f.write(control_text(name, version))
    ipk = os.path.join(tmp, f"{name}_{version}.ipk")
    kvpack("ipk", "--control", control, "--data", os.path.join(folder, "data"), "-o", ipk)
    sign(ipk, os.path.join(tmp, f"{name}_{version}.sign64"), key=PRIVATE_KEY)
    with open(os.path.join(sb.control_dir, "next-version"), "w") as f:
        f.write(version)
    return ipk


def inventory(net, tmp, copies=1):
    """The controller as kvplant's inventory records it; with copies > 1 the
    same controller again under made-up MAC addresses (each later one is
    another controller that the rollout finds is not at the address)."""
    path = os.path.join(tmp, "inventory.json")
    r = kvplant(net, "inventory", "-a", ADDRESS, "-4", "-t", "2s", "-o", path)
    assert r.returncode == 0, r.stderr
    with open(path) as f:
        inv = json.load(f)
    assert len(inv["controllers"]) == 1, inv
    inv["controllers"] += [dict(inv["controllers"][0], mac=f"02:00:00:00:00:{i:02x}") for i in range(1, copies)]
    with open(path, "w") as f:
        json.dump(inv, f)
    return path


def ssh_options(sshd, tmp, known=None):
    return ["--identity", sshd.client_key, "--known-hosts", known or os.path.join(tmp, "known_hosts"),
            "--ssh-timeout", "20s"]


def kvplant(net, *args, timeout=300):
    return net.d.peer(KVPLANT, *args, check=False, timeout=timeout)


def rollout_args(net, sshd, tmp, *extra):
    return ["rollout", "--inventory", inventory(net, tmp), "--public-key", PUBLIC_KEY, "--state",
            os.path.join(tmp, "state"), "--audit", os.path.join(tmp, "audit.jsonl"), "--give-up", "120",
            *ssh_options(sshd, tmp), *extra]


def events(stdout):
    return [json.loads(line) for line in stdout.splitlines() if line.startswith("{")]


def audit(tmp):
    with open(os.path.join(tmp, "audit.jsonl")) as f:
        return [json.loads(line) for line in f]


def sha256(path):
    import hashlib
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def watch_folder(sb):
    return sorted(os.listdir(sb.dev(WATCH)))


def test_release_arrives_whole_and_is_installed_once(plant):
    net, sshd, tmp = plant
    ipk = package(tmp, net.sb, "app", "2.5", payload_bytes=300_000)
    r = kvplant(net, *rollout_args(net, sshd, tmp), ipk)
    assert r.returncode == 0, (r.stdout, r.stderr)
    ev = events(r.stdout)
    kinds = [e["event"] for e in ev]
    assert kinds[0] == "wave" and ev[0]["size"] == 1
    assert [(e["event"], e["file"]) for e in ev if e["event"] == "arrived"] == [
        ("arrived", "app_2.5.sign64"), ("arrived", "app_2.5.ipk")]
    done = [e for e in ev if e["event"] == "done"]
    mac = ev[0]["controllers"][0] if "controllers" in ev[0] else done[0]["controller"]
    assert done == [{"event": "done", "controller": mac, "address": ADDRESS, "result": "ok",
                     "reason": "", "sw_revision": "Rev: 2.5", "image_version": "kv-image-3.2.1"}]
    assert ev[-1]["event"] == "report" and (ev[-1]["ok"], ev[-1]["failed"], ev[-1]["finished"]) == (1, 0, True)
    # The daemon took the whole file, once; nothing was left behind.
    assert [i[1:] for i in net.sb.installs()] == [[os.path.getsize(ipk), sha256(ipk)]]
    assert not [n for n in watch_folder(net.sb) if n.endswith(".part")]
    # The audit trail: start, each file sent and arrived, the result, the end.
    trail = audit(tmp)
    assert [a["event"] for a in trail] == ["start", "send", "arrived", "send", "arrived", "result", "end"]
    assert trail[0]["files"] == [{"name": "app_2.5.ipk", "size": os.path.getsize(ipk), "sha256": sha256(ipk),
                                  "signature": "app_2.5.sign64",
                                  "signature_sha256": sha256(os.path.join(tmp, "app_2.5.sign64"))}]
    assert trail[0]["public_key"].startswith("SHA256:") and trail[0]["waves"] == [1, 10, "rest"]
    assert {(a["event"], a["file"], a["sha256"]) for a in trail if a["event"] in ("send", "arrived")} == {
        (k, n, sha256(os.path.join(tmp, n))) for k in ("send", "arrived") for n in ("app_2.5.ipk", "app_2.5.sign64")}
    assert (trail[5]["result"], trail[5]["sw_revision"]) == ("ok", "Rev: 2.5")
    assert len({a["rollout"] for a in trail}) == 1 and all(a["user"] and a["host"] for a in trail)
    # A finished rollout's state says so: resume sends nothing and reports.
    r = kvplant(net, "resume", "--state", os.path.join(tmp, "state"), "--json")
    assert r.returncode == 0 and events(r.stdout)[-1]["finished"] is True, r.stderr
    assert len(net.sb.installs()) == 1
    # A second rollout may not take over the state file.
    r = kvplant(net, *rollout_args(net, sshd, tmp), ipk)
    assert r.returncode == 2 and "kvplant resume --state" in r.stderr


def test_on_a_terminal_a_live_table_and_a_report_instead_of_events(plant):
    net, sshd, tmp = plant
    ipk = package(tmp, net.sb, "app", "2.9")
    # util-linux's script gives kvplant a terminal; what it drew is in the typescript.
    command = " ".join(shlex.quote(a) for a in [KVPLANT, *rollout_args(net, sshd, tmp), ipk])
    r = net.d.peer("script", "-q", "-e", "-c", command, os.path.join(tmp, "typescript"), check=False, timeout=300)
    assert r.returncode == 0, r.stdout
    with open(os.path.join(tmp, "typescript"), errors="replace") as f:
        screen = f.read()
    assert "wave 1: 1 controller" in screen and "[" in screen and "%" in screen
    assert not [line for line in screen.splitlines() if line.startswith('{"event"')]
    assert "1 ok, 0 failed, 0 skipped, 0 not done; rollout finished" in screen
    assert len(net.sb.installs()) == 1


@pytest.mark.parametrize("known, accept, status, message, recorded", [
    # An unknown host: refused, unless trusted on first use, which records it.
    ("", False, 1, "is not known in", False),
    ("", True, 0, None, True),
    # A changed key is refused, --accept-new-host-keys or not.
    ("other", True, 1, "CHANGED", False),
    ("other", False, 1, "CHANGED", False),
    ("own", False, 0, None, True),
])
def test_host_keys(plant, known, accept, status, message, recorded):
    net, sshd, tmp = plant
    other = os.path.join(tmp, "other_key")
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", other], check=True)
    path = os.path.join(tmp, "known_rows")
    with open(path, "w") as f:
        f.write({"": "", "other": sshd.known_line(other), "own": sshd.known_line()}[known])
    ipk = package(tmp, net.sb, "app", "2.6")
    r = kvplant(net, "send", ADDRESS, *ssh_options(sshd, tmp, path), *(["--accept-new-host-keys"] if accept else []),
                ipk)
    assert r.returncode == status, (r.stdout, r.stderr)
    if message:
        assert message in r.stderr and "refused" in r.stderr, r.stderr
        assert watch_folder(net.sb) == []
    else:
        out = json.loads(r.stdout)
        assert out["controller"] == ADDRESS and out["sent"] == ["app_2.6.sign64", "app_2.6.ipk"]
        assert isinstance(out["baseline"], int)
    with open(path) as f:
        assert (sshd.known_line().split()[2] in f.read()) == recorded


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGINT, signal.SIGTERM])
def test_stopped_mid_transfer_then_resume_sends_the_rest(plant, sig):
    net, sshd, tmp = plant
    ipk = package(tmp, net.sb, "big", "3.0", payload_bytes=3_000_000)
    size = os.path.getsize(ipk)
    part = net.sb.dev(WATCH + "big_3.0.ipk.part")
    # A slow link (1 MB/s from the laptop) so that the kill comes mid-transfer.
    net.d.peer("tc", "qdisc", "add", "dev", "peth0", "root", "tbf", "rate", "8mbit", "burst", "32kbit",
               "latency", "400ms")
    proc = subprocess.Popen(["ip", "netns", "exec", net.d.peer_netns(), KVPLANT, *rollout_args(net, sshd, tmp),
                             ipk],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while not (os.path.exists(part) and os.path.getsize(part) >= 200_000):
        assert proc.poll() is None and time.monotonic() < deadline, proc.communicate()
        time.sleep(0.02)
    proc.send_signal(sig)
    out, err = proc.communicate()
    # What was on its way when kvplant ended still arrives: the part's size
    # counts once the controller's end of the connection is closed.
    deadline = time.monotonic() + 60
    while [x for x in net.d.ns("ss", "-H", "-t", "-a", "-n", "( sport = :22 )").stdout.splitlines()
           if not x.startswith("LISTEN")]:
        assert time.monotonic() < deadline, "the SSH connection stays open"
        time.sleep(0.05)
    at_kill = os.path.getsize(part)
    assert 0 < at_kill < size
    if sig != signal.SIGKILL:
        # Stopped in order: the state says what arrived, and how to go on.
        assert proc.returncode == 1, (out, err)
        assert err.endswith(f"kvplant: interrupted: kvplant resume --state {tmp}/state goes on\n"), err
        assert events(out)[-2] == {"event": "stopped", "reason": "interrupted"}
        with open(os.path.join(tmp, "state")) as f:
            state = json.load(f)
        assert state["finished"] is False and state["controllers"][0]["state"] == "sending"
        assert [(u["name"], u["state"]) for u in state["controllers"][0]["uploads"]] == [
            ("big_3.0.sign64", "arrived"), ("big_3.0.ipk", "sending")]
        assert state["controllers"][0]["uploads"][1]["bytes"] <= at_kill
    net.d.peer("tc", "qdisc", "del", "dev", "peth0", "root")
    r = kvplant(net, "resume", "--state", os.path.join(tmp, "state"), "--json")
    assert r.returncode == 0, (r.stdout, r.stderr)
    ev = events(r.stdout)
    # The signature had arrived: not sent again; the package went on at the
    # part's size.
    sending = [e for e in ev if e["event"] == "sending"]
    assert sending[0]["file"] == "big_3.0.ipk" and sending[0]["bytes"] == at_kill and sending[0]["of"] == size
    assert {e["file"] for e in ev if e["event"] in ("sending", "arrived")} == {"big_3.0.ipk"}
    assert [e["result"] for e in ev if e["event"] == "done"] == ["ok"]
    assert [i[1:] for i in net.sb.installs()] == [[size, sha256(ipk)]]
    trail = audit(tmp)
    assert [a["event"] for a in trail if a["event"] in ("start", "stop", "resume", "end")] == (
        ["start", "resume", "end"] if sig == signal.SIGKILL else ["start", "stop", "resume", "end"])
    assert [a.get("from", 0) for a in trail if a["event"] == "send" and a["file"] == "big_3.0.ipk"] == [0, at_kill]


@pytest.mark.parametrize("change, reason", [
    ({"mac": "02:00:00:00:00:77"}, "another controller answers at 10.77.0.2"),
    ({"sw_revision": "Rev: 1.0"}, "changed since the inventory"),
    ({"platform": "KORVEL_R"}, "changed since the inventory"),
], ids=["other MAC", "other revision", "other platform"])
def test_a_controller_unlike_its_inventory_entry_is_sent_nothing(plant, change, reason):
    # The plan was made for what the inventory saw: an address handed on to
    # another controller, or software changed since, gets nothing of it.
    net, sshd, tmp = plant
    ipk = package(tmp, net.sb, "app", "2.6")
    args = rollout_args(net, sshd, tmp)
    path = args[args.index("--inventory") + 1]
    with open(path) as f:
        inv = json.load(f)
    inv["controllers"][0].update(change)
    with open(path, "w") as f:
        json.dump(inv, f)
    r = kvplant(net, *args, ipk)
    assert r.returncode == 1, (r.stdout, r.stderr)
    done = [e for e in events(r.stdout) if e["event"] == "done"]
    assert len(done) == 1 and done[0]["result"] == "failed" and reason in done[0]["reason"], done
    assert watch_folder(net.sb) == [] and net.sb.installs() == []
    assert [a["event"] for a in audit(tmp)] == ["start", "result", "stop"]


@pytest.mark.parametrize("when", ["before the rollout", "after a kill mid-transfer"])
def test_a_link_at_the_parts_name_is_never_written_through(plant, when):
    # Whoever can write the watch folder may put a link where the next part
    # goes (or where a cut-off part lies) to have the upload, made as root,
    # write a file of their choice. The link itself is removed and the part
    # made anew; its target keeps its bytes.
    net, sshd, tmp = plant
    ipk = package(tmp, net.sb, "big", "3.1", payload_bytes=3_000_000 if "kill" in when else 64)
    part = net.sb.dev(WATCH + "big_3.1.ipk.part")
    target = net.sb.dev("/opt/kv2/etc/netinterfaces.bak")
    with open(target, "rb") as f:
        before = f.read()
    args = rollout_args(net, sshd, tmp)
    if "kill" in when:
        net.d.peer("tc", "qdisc", "add", "dev", "peth0", "root", "tbf", "rate", "8mbit", "burst", "32kbit",
                   "latency", "400ms")
        proc = subprocess.Popen(["ip", "netns", "exec", net.d.peer_netns(), KVPLANT, *args, ipk],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 120
        while not (os.path.exists(part) and os.path.getsize(part) >= 200_000):
            assert proc.poll() is None and time.monotonic() < deadline, proc.communicate()
            time.sleep(0.02)
        proc.kill()
        proc.communicate()
        net.d.peer("tc", "qdisc", "del", "dev", "peth0", "root")
        os.remove(part)
    # The chrooted server sees the device root as /.
    os.symlink("/opt/kv2/etc/netinterfaces.bak", part)
    if "kill" in when:
        r = kvplant(net, "resume", "--state", os.path.join(tmp, "state"), "--json")
    else:
        r = kvplant(net, *args, ipk)
    assert r.returncode == 0, (r.stdout, r.stderr)
    with open(target, "rb") as f:
        assert f.read() == before
    assert [i[1:] for i in net.sb.installs()] == [[os.path.getsize(ipk), sha256(ipk)]]
    # Sent from its first byte: nothing of the link's target counted as sent.
    sending = [e for e in events(r.stdout) if e["event"] == "sending" and e["file"] == "big_3.1.ipk"]
    assert sending[0]["bytes"] == 0


def test_a_release_file_changed_mid_transfer_is_never_delivered(plant):
    # What was checked is what arrives: bytes of the package changed on the
    # laptop while it is on its way (the size kept) fail the controller, and
    # the part is removed before it gets the name the daemon takes.
    net, sshd, tmp = plant
    ipk = package(tmp, net.sb, "big", "3.2", payload_bytes=3_000_000)
    part = net.sb.dev(WATCH + "big_3.2.ipk.part")
    net.d.peer("tc", "qdisc", "add", "dev", "peth0", "root", "tbf", "rate", "8mbit", "burst", "32kbit",
               "latency", "400ms")
    proc = subprocess.Popen(["ip", "netns", "exec", net.d.peer_netns(), KVPLANT, *rollout_args(net, sshd, tmp),
                             "--json", ipk], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while not (os.path.exists(part) and os.path.getsize(part) >= 200_000):
        assert proc.poll() is None and time.monotonic() < deadline, proc.communicate()
        time.sleep(0.02)
    with open(ipk, "r+b") as f:
        f.seek(-100, os.SEEK_END)
        f.write(b"\xff" * 50)
    out, err = proc.communicate(timeout=300)
    assert proc.returncode == 1, (out, err)
    done = [e for e in events(out) if e["event"] == "done"]
    assert [e["result"] for e in done] == ["failed"]
    assert "is no longer the file of the release (its bytes changed)" in done[0]["reason"], done
    assert [f for f in watch_folder(net.sb) if f.startswith("big_3.2.ipk")] == []
    assert net.sb.installs() == []


def test_max_failures_stops_the_rollout(plant):
    net, sshd, tmp = plant
    ipk = package(tmp, net.sb, "app", "2.7")
    net.sb.steer("systemctl", rc=1, subcommand="start")  # the installer unit fails
    args = rollout_args(net, sshd, tmp, "--waves", "1,rest", "--max-failures", "0")
    args[args.index("--inventory") + 1] = inventory(net, tmp, copies=2)
    with open(args[args.index("--inventory") + 1]) as f:
        macs = [c["mac"] for c in json.load(f)["controllers"]]
    r = kvplant(net, *args, ipk)
    assert r.returncode == 1, (r.stdout, r.stderr)
    ev = events(r.stdout)
    done = [e for e in ev if e["event"] == "done"]
    assert [(e["controller"], e["result"]) for e in done] == [(macs[0], "failed")]
    assert "Package installation failed" in done[0]["reason"]
    assert [e["wave"] for e in ev if e["event"] == "wave"] == [1]
    stopped = [e for e in ev if e["event"] == "stopped"]
    assert stopped == [{"event": "stopped", "reason": "1 controller of wave 1 failed (--max-failures 0)"}]
    report = ev[-1]
    assert (report["event"], report["failed"], report["not_done"], report["finished"]) == ("report", 1, 1, False)
    assert report["failures"][0]["controller"] == macs[0]
    assert [a["event"] for a in audit(tmp)][-2:] == ["result", "stop"]


def test_send_then_wait(plant):
    net, sshd, tmp = plant
    ipk = package(tmp, net.sb, "app", "2.8")
    r = kvplant(net, "send", ADDRESS, "--json", *ssh_options(sshd, tmp), ipk)
    assert r.returncode == 0, r.stderr
    baseline = json.loads(r.stdout)["baseline"]
    cases = [
        (["--expect-app", "Rev: 2.8"], 0, ""),
        # A revision that never comes: given up, with the reason.
        (["--expect-app", "Rev: 9.9", "--give-up", "3s"], 1, "does not report Rev: 9.9 within the give-up time"),
    ]
    for args, status, message in cases:
        r = kvplant(net, "wait", ADDRESS, "--baseline", str(baseline), *args)
        assert r.returncode == status and message in r.stderr, (args, r.stdout, r.stderr)
    assert len(net.sb.installs()) == 1
