"""The network client kvid against the sandbox controller (from the peer
namespace) and against scripted controllers on loopback."""
import json
import os
import re
import socket
import subprocess
import tempfile
import threading

import pytest

from idprot_net import LINKS, IdNet, build_dir

KVID = os.path.join(build_dir(), "tools", "kvid", "kvid")


@pytest.fixture
def net(make_sandbox, run_daemon):
    n = IdNet.start(make_sandbox, run_daemon, links=("eth0", "eth1"), args=())
    yield n
    n.close()


HEADER = "ADDRESS\tDEVICE\tSOFTWARE\tIMAGE\tAPPLICATION\tMAC\tIPV4"


def test_discover_status_and_network_record(net):
    netbr = json.loads(net.client("netbr", LINKS["eth0"][0], "--json").stdout)
    mac0, mac1 = netbr["mac"], json.loads(net.client("netbr", LINKS["eth1"][0], "--json").stdout)["mac"]
    # Multicast and broadcast reach eth0: its interface answers by both
    # families and is printed once, from whichever answered first; -4 asks
    # by broadcast only, -6 by multicast only.
    for family, eth0s, eth1 in [([], LINKS["eth0"][:2], LINKS["eth1"][0]), (["-4"], LINKS["eth0"][:1], LINKS["eth1"][0]),
                                (["-6"], LINKS["eth0"][1:2], LINKS["eth1"][1])]:
        r = net.client("discover", "-i", "peth0", "-a", eth1, "-t", "3000", *family)
        assert r.returncode == 0, (r.stdout, r.stderr)
        lines = r.stdout.splitlines()
        eth0 = next((x.split("\t")[0] for x in lines if x.split("\t")[0] in eth0s), None)
        assert lines[0] == HEADER and sorted(lines[1:]) == sorted(
            [f"{eth0}\tKV2_TOUCH\tRev: 2.4.1\tkv-image-3.2.1\tno app\t{mac0}\t10.77.0.2",
             f"{eth1}\tKV2_TOUCH\tRev: 2.4.1\tkv-image-3.2.1\tno app\t{mac1}\t10.78.0.2"]), r.stderr
    r = net.client("discover", "-v", "-i", "peth0", "-t", "3000")
    assert "kvid: asking 10.77.0.255\n" in r.stderr and "again (same interface)\n" in r.stderr, r.stderr

    r = net.client("discover", "--json", "-a", LINKS["eth0"][0], "-a", LINKS["eth1"][1], "-t", "3000")
    docs = [json.loads(line) for line in r.stdout.splitlines()]
    assert r.returncode == 0 and sorted(d["interface_name"] for d in docs) == ["eth0", "eth1"]

    r = net.client("status", LINKS["eth0"][0])
    assert r.returncode == 0, r.stderr
    report = dict(line.split(None, 1) for line in r.stdout.splitlines())
    assert report["controller"] == LINKS["eth0"][0]
    assert report["action"] == "Idle (0)" and report["error"] == "No Error (0)"
    assert report["progress"] == "0% (component 0%)" and report["sequence"] == "0"
    assert report["server"] == f"{net.d.daemon}, revision 3.8"

    r = net.client("netbr", LINKS["eth0"][0])
    assert r.returncode == 0, r.stderr
    fields = dict(line.split("  ", 1) for line in r.stdout.splitlines()[1:])
    fields = {k.strip(): v.strip() for k, v in fields.items()}
    assert fields["length"] == "148" and fields["configuration"] == "static"
    assert fields["static address"] == "10.77.0.2" and fields["static netmask"] == "255.255.255.0"
    assert fields["static gateway"] == "10.77.0.1" and fields["static nameserver"] == "10.77.0.1"
    assert fields["dhcp address"] == "0.0.0.0" and fields["mac"] == fields["mac (copy)"]
    assert fields["flags"] == "0x0A (sftp enabled, PCOMM port free, write backup off)"
    assert fields["trailer"] == "FF 01 00 34 12" and fields["platform"] == "KV2_TOUCH"
    assert ", 718235.100, no app found, Nov 19 2024, OS:kv-image-3.2.1 " in fields["text"]
    # --json: the same fields, named.
    assert {k.replace(" (copy)", "_copy").replace(" ", "_"): str(v) for k, v in netbr.items()
            if k not in ("from", "size", "flags", "sftp", "pcomm_port_free", "write_backup")} == {
        k.replace(" (copy)", "_copy").replace(" ", "_"): v for k, v in fields.items() if k != "flags"}
    assert (netbr["flags"], netbr["sftp"], netbr["pcomm_port_free"], netbr["write_backup"]) == (10, True, True, False)


def test_cookie_exchange_with_the_daemon(net):
    # A daemon that speaks the extension answers a request without its cookie
    # with the cookie only: kvid is answered at all only by doing the exchange
    # (discovery by multicast within its default wait, then directly).
    _, answer = net.ask("eth0", b"IDUPDATESTATUS\0KVX1" + bytes(16) + os.urandom(8))
    if not answer.startswith(b"IDCKE"):
        pytest.skip("this daemon does not answer the request extension yet")
    r = net.client("discover", "-H", "-6", "-i", "peth0", "-a", LINKS["eth1"][1])
    assert r.returncode == 0 and sorted(line.split("\t")[0] for line in r.stdout.splitlines()) == sorted(
        [LINKS["eth0"][1], LINKS["eth1"][1]]), r.stderr
    r = net.client("status", LINKS["eth0"][0], "--json")
    assert r.returncode == 0 and json.loads(r.stdout)["currentActionDescription"] == "Idle", r.stderr
    r = net.client("netbr", LINKS["eth1"][0])
    assert r.returncode == 0 and r.stdout.startswith(f"NETBR from {LINKS['eth1'][0]}, "), r.stderr


def test_errors_are_clear(net):
    cases = [
        (["discover", "-i", "nosuch0"], 2, "kvid: unknown interface 'nosuch0'\n"),
        (["status", "10.77.0.99", "-t", "300"], 1, "kvid: no answer from 10.77.0.99 within 300 ms\n"),
        (["discover", "-a", "10.77.0.99", "-t", "300"], 1, "kvid: no answer within 300 ms\n"),
        (["netbr", "fd00::1%nosuch0"], 2, "kvid: not an address: 'fd00::1%nosuch0'\n"),
        (["status", "-4", "fd00:77::2"], 2, "kvid: not an IPv4 address: 'fd00:77::2'\n"),
        (["discover", "-4", "-i", "lo"], 2, "kvid: interface lo has no IPv4 broadcast address to ask\n"),
        (["discover"], 2, "kvid: give an interface (-i) or an address (-a) to ask\n"),
    ]
    for args, status, message in cases:
        r = net.client(*args)
        assert (r.returncode, r.stderr) == (status, message), args
    # A name nothing resolves (whatever the resolver's reason).
    r = net.client("netbr", "no-such-controller.invalid")
    assert r.returncode == 2 and r.stderr.startswith("kvid: cannot resolve 'no-such-controller.invalid': "), r.stderr


FIXED_PARTS = (b"BURNR\0IDREQ\0", b"IDUPDATESTATUS\0", b"BURNR\0", b"IDREQ\0")


def split_request(data):
    """(fixed part, cookie, nonce) of a request; cookie and nonce None when it
    carries no extension."""
    for fixed in FIXED_PARTS:
        if data.startswith(fixed):
            ext = data[len(fixed):]
            if len(ext) >= 28 and ext[:4] == b"KVX1":
                return fixed, ext[4:20], ext[20:28]
            return fixed, None, None
    return data, None, None


class Doc:
    """A document a controller completes when it answers: the "nonce" member
    of a verified request, and msgSeqNumber from its counter when None."""

    def __init__(self, keyword, members, indent=None):
        self.keyword, self.members, self.indent = keyword, members, indent

    def render(self, nonce, seq):
        m = dict(self.members)
        if "msgSeqNumber" in m and m["msgSeqNumber"] is None:
            m["msgSeqNumber"] = seq
        if nonce is not None:
            m["nonce"] = nonce
        return self.keyword + json.dumps(m, indent=self.indent, ensure_ascii=False).encode()


class ScriptedController:
    """Answers each request on loopback with the next scripted reply (the last
    one repeats). A reply is bytes, a Doc, None (no answer), a list of those
    (several datagrams) or a callable giving one of those.

    extended=False is a daemon that knows nothing of the request extension.
    extended=True speaks it: an extended request without the cookie it handed
    out gets "IDCKE" + cookie + nonce (rotate: a new cookie every time, so no
    request is ever verified; wrong_nonce: a nonce other than the request's),
    a verified one its reply with the request's nonce added.

    Forgers: impostor (address, port) sends `forged` from there before each
    reply; forge_first / forge_after send `forged` from the controller's own
    address and port to the client before / after the real reply."""

    def __init__(self, replies, host="127.0.0.1", port=0, extended=False, rotate=False, wrong_nonce=False,
                 impostor=None, forged=b"", forge_first=False, forge_after=False, identities=None, by_kind=False):
        self.replies = list(replies)
        # Identification requests answered from a script of their own, when given.
        self.identities = list(identities) if identities is not None else None
        self.by_kind = by_kind
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((host, port))
        self.port = self.sock.getsockname()[1]
        self.extended, self.rotate, self.wrong_nonce = extended, rotate, wrong_nonce
        self.cookie = os.urandom(16)
        self.requests = []
        self.answered = 0  # full answers (not IDCKE)
        self.verified = 0
        self.impostor = None
        if impostor is not None:
            self.impostor = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.impostor.bind((impostor[0], impostor[1] if impostor[1] is not None else self.port))
        self.forged, self.forge_first, self.forge_after = forged, forge_first, forge_after
        threading.Thread(target=self._serve, daemon=True).start()

    def _send(self, reply, addr, nonce):
        if callable(reply):
            reply = reply()
        for item in reply if isinstance(reply, list) else [reply]:
            if isinstance(item, Doc):
                item = item.render(nonce, self.answered)
            if item is not None:
                self.sock.sendto(item, addr)

    def _serve(self):
        while True:
            try:
                data, addr = self.sock.recvfrom(4096)
            except OSError:
                return
            self.requests.append(data)
            _, cookie, nonce = split_request(data)
            echoed = None
            if self.extended and cookie is not None:
                if self.rotate or cookie != self.cookie:
                    if self.rotate:
                        self.cookie = os.urandom(16)
                    self.sock.sendto(b"IDCKE" + self.cookie + (bytes(8) if self.wrong_nonce else nonce), addr)
                    continue
                self.verified += 1
                echoed = nonce.hex()
            if self.impostor is not None:
                self.impostor.sendto(self.forged, addr)
            if self.forge_first:
                self.sock.sendto(self.forged, addr)
            self.answered += 1
            script = self.replies
            if self.identities is not None and split_request(data)[0] == b"IDREQ\0":
                script = self.identities
            reply = script.pop(0) if len(script) > 1 else script[0]
            if self.by_kind:  # one reply per request kind
                reply = reply[split_request(data)[0]]
            self._send(reply, addr, echoed)
            if self.forge_after:
                self.sock.sendto(self.forged, addr)

    def close(self):
        self.sock.close()
        if self.impostor is not None:
            self.impostor.close()


def status_doc(action, code, total, error="No Error", number=0, seq=0, elapsed=3):
    return json.dumps({"totalProgress": total, "bundleFilename": "", "componentProgress": total,
                       "currentActionDescription": action, "currentActionCode": code, "elapsedTimeSecs": elapsed,
                       "timestamp": 1, "timedate": "x", "currentErrorDescription": error,
                       "currentErrorNumber": number, "serverName": "kvupdaterd", "serverRevision": "3.8",
                       "msgSeqNumber": seq}, indent="\t").encode()


def status(action, code, total, error="No Error", number=0, seq=None, elapsed=3):
    """A status document; msgSeqNumber counts the controller's answers unless given."""
    return Doc(b"", json.loads(status_doc(action, code, total, error, number, 0, elapsed)) | {"msgSeqNumber": seq},
               indent="\t")


def identity(device="KV2_TOUCH", **extra):
    return Doc(b"IDRSP", {"protocol_version": 1, "device": device, "sw_revision": "Rev: 2.4.1",
                          "image_version": "kv-image-3.2.1", "app_running": False, **extra})


def run_kvid(*args):
    return subprocess.run([KVID, *args], capture_output=True, text=True, timeout=60)


def extended_requests(c, fixed):
    """Whether every request c received is fixed part + KVX1 + cookie + nonce."""
    return c.requests and all(split_request(r)[0] == fixed and split_request(r)[1] is not None for r in c.requests)


IDLE = status("Idle", 0, 0)
AT40 = status("installing IMAGE.CRY", 1, 40)
INSTALLED = status("Image installed, Rebooting", 2, 100)
FAILED = status("installing IMAGE.CRY", 1, 40, "Image update failed", 200)
FAILED_DONE = status("Image install done", 3, 40, "Image update failed", 200)
LINE_IDLE = "[....................]   0%  Idle  (3 s)"
LINE_40 = "[########............]  40%  installing IMAGE.CRY  (3 s)"
LINE_INSTALLED = "[####################] 100%  Image installed, Rebooting  (3 s)"
LINE_FAILED = "[########............]  40%  installing IMAGE.CRY  (3 s)  error: Image update failed"
LINE_FAILED_DONE = "[########............]  40%  Image install done  (3 s)  error: Image update failed"
END_FAILED = "update failed: Image update failed (200), Image install done"


BOTH = [False, True]
FOLLOW = [
    ([IDLE, None, status("installing IMAGE.CRY", 1, 10), status("installing IMAGE.CRY", 1, 10),
      status("installing IMAGE.CRY", 1, 55), INSTALLED],
     0, [LINE_IDLE, "[##..................]  10%  installing IMAGE.CRY  (3 s)",
         "[###########.........]  55%  installing IMAGE.CRY  (3 s)", LINE_INSTALLED,
         "update finished: Image installed, Rebooting"], BOTH),
    ([AT40, FAILED, FAILED_DONE], 4, [LINE_40, LINE_FAILED, LINE_FAILED_DONE, END_FAILED], BOTH),
    # One answer saying the update ended is not the end: the next must agree.
    ([AT40, INSTALLED, FAILED, FAILED_DONE], 4, [LINE_40, LINE_INSTALLED, LINE_FAILED, LINE_FAILED_DONE,
                                                  END_FAILED], BOTH),
    # A number that does not go forward is an old or replayed answer (with
    # the poll's nonce it is a restarted daemon: see below).
    ([status("installing IMAGE.CRY", 1, 40, seq=10), status("Image installed, Rebooting", 2, 100, seq=5),
      status("Image installed, Rebooting", 2, 100, seq=10),
      status("Image install done", 3, 40, "Image update failed", 200, seq=11),
      status("Image install done", 3, 40, "Image update failed", 200, seq=12)],
     4, [LINE_40, LINE_FAILED_DONE, END_FAILED], [False]),
    # The controller said with the poll's nonce that it restarts, and went
    # away, or came back with its daemon's count started anew: finished.
    ([AT40, INSTALLED, None], 0, [LINE_40, LINE_INSTALLED, "update finished: Image installed, Rebooting"], [True]),
    ([status("installing IMAGE.CRY", 1, 40, seq=10), status("Image installed, Rebooting", 2, 100, seq=11),
      status("Idle", 0, 0, seq=0)],
     0, [LINE_40, LINE_INSTALLED, "update finished: Image installed, Rebooting"], [True]),
    # Only the elapsed seconds changed: no change, no line.
    ([status("installing IMAGE.CRY", 1, 40, elapsed=5), status("installing IMAGE.CRY", 1, 40, elapsed=6),
      status("installing IMAGE.CRY", 1, 40, elapsed=7), FAILED_DONE, FAILED_DONE],
     4, ["[########............]  40%  installing IMAGE.CRY  (5 s)", LINE_FAILED_DONE, END_FAILED], BOTH),
]
FOLLOW_IDS = ["installed", "failed", "one ended answer", "number not forward", "gone restarting",
              "back restarted", "elapsed only"]


@pytest.mark.parametrize("script,status,expected,extended", [
    pytest.param(*row[:3], extended, id=f"{name}-{'nonce echoed' if extended else 'old daemon'}")
    for row, name in zip(FOLLOW, FOLLOW_IDS) for extended in row[3]])
def test_follow_refreshes_until_the_update_ends(script, status, expected, extended):
    c = ScriptedController(script, extended=extended)
    try:
        r = run_kvid("status", "127.0.0.1", "-p", str(c.port), "--follow", "--interval", "20", "-t", "200")
    finally:
        c.close()
    assert r.returncode == status, r.stderr
    # One line per change when the output is not a terminal; a missing answer
    # is waited out.
    assert r.stdout.splitlines() == expected
    assert extended_requests(c, b"IDUPDATESTATUS\0")
    assert c.verified == (c.answered if extended else 0)


NEW_IMAGE = identity(image_version="kv-image-3.3.0")
FINISHED = "update finished: Image installed, Rebooting"
CAME_BACK = "restarted after N s with image kv-image-3.3.0 (before: kv-image-3.2.1); its commit is not reported"
COMMITTED = status("Image committed", 3, 100, seq=1)
NOT_COMMITTED = status("Image not committed", 3, 100, "Image commit failed", 202, seq=1)
# A daemon that does not report its commit is asked for it until --give-up.
QUICK = ["--give-up", "2s"]
S10, S11, S12, S13 = (status("installing IMAGE.CRY", 1, 40, seq=10),
                      *(status("Image installed, Rebooting", 2, 100, seq=n) for n in (11, 12, 13)))
BACK = status("Idle", 0, 0, seq=0)


@pytest.mark.parametrize("script,identities,extended,args,code,expected,error", [
    # Silent after "installed" (with the poll's nonce), then a daemon counting anew.
    ([S10, S11, None, None, BACK], [identity(), NEW_IMAGE], True, QUICK, 0,
     [LINE_40, LINE_INSTALLED, FINISHED, CAME_BACK], ""),
    # Still answering "installed" for a while; the restarted daemon's nonce is enough.
    ([S10, S11, S12, S13, BACK], [identity(), NEW_IMAGE], True, QUICK, 0,
     [LINE_40, LINE_INSTALLED, FINISHED, CAME_BACK], ""),
    # An old daemon: only silence first makes a lower number a restart; -q keeps only the outcome.
    ([S10, S11, S12, S13, None, BACK], [identity(), NEW_IMAGE], False, ["-q", *QUICK], 0, [FINISHED, CAME_BACK], ""),
    # The restarted daemon reports its commit: committed, or not and why.
    ([S10, S11, None, BACK, BACK, COMMITTED], [identity(), NEW_IMAGE], True, [], 0, [LINE_40, LINE_INSTALLED, FINISHED,
     "restarted after N s with image kv-image-3.3.0 (before: kv-image-3.2.1), committed"], ""),
    ([S10, S11, None, BACK, NOT_COMMITTED], [identity(), NEW_IMAGE], True, [], 4, [LINE_40, LINE_INSTALLED, FINISHED,
     "restarted after N s with image kv-image-3.3.0 (before: kv-image-3.2.1), not committed: Image commit failed"], ""),
    # The restart came and went between two polls: the first answer after it
    # is already the commit report.
    ([S10, COMMITTED, COMMITTED], [identity(), NEW_IMAGE], True, [], 0, [LINE_40,
     "[####################] 100%  Image committed  (3 s)", "restarted after N s with image kv-image-3.3.0 (before: kv-image-3.2.1), committed"], ""),
    # Back with the image it had: the new one did not take.
    ([S10, S11, None, BACK], [identity()], True, [], 4, [LINE_40, LINE_INSTALLED, FINISHED,
     "restarted after N s with the image it had before, kv-image-3.2.1: the new image did not take"], ""),
    ([S10, S11, None], [identity()], True, ["--give-up", "1s"], 1, [LINE_40, LINE_INSTALLED, FINISHED],
     "kvid: 127.0.0.1 did not answer again within 1 s\n"),
    # A failed update has no restart to wait for.
    ([AT40, FAILED_DONE], [identity()], True, [], 4, [LINE_40, LINE_FAILED_DONE, END_FAILED], ""),
], ids=["silent then back", "answering until restart", "old daemon quiet", "committed", "not committed",
        "restart unseen", "old image",
        "never back", "failed"])
def test_follow_through_reboot(script, identities, extended, args, code, expected, error):
    c = ScriptedController(script, identities=identities, extended=extended)
    try:
        r = run_kvid("status", "127.0.0.1", "-p", str(c.port), "--follow", "--through-reboot", "--interval", "20",
                     "-t", "200", *args)
    finally:
        c.close()
    assert (r.returncode, r.stderr) == (code, error)
    assert [re.sub(r"after \d+ s", "after N s", line) for line in r.stdout.splitlines()] == expected


@pytest.mark.parametrize("extended,accepted", [(True, True), (False, False)], ids=["with nonce", "without nonce"])
def test_follow_takes_a_restarted_daemon_only_with_the_nonce(extended, accepted):
    # The number drops when the daemon restarts: only an answer that carries
    # the poll's nonce may say so (and sets the new baseline).
    script = [status("installing IMAGE.CRY", 1, 40, seq=10), status("Idle", 0, 0, seq=1),
              status("Image install done", 3, 40, "Image update failed", 200, seq=2),
              status("Image install done", 3, 40, "Image update failed", 200, seq=3),
              status("Image install done", 3, 40, "Image update failed", 200, seq=12),
              status("Image install done", 3, 40, "Image update failed", 200, seq=13)]
    c = ScriptedController(script, extended=extended)
    try:
        r = run_kvid("status", "127.0.0.1", "-p", str(c.port), "--follow", "--interval", "20", "-t", "200")
    finally:
        c.close()
    assert r.returncode == 4, r.stderr
    assert r.stdout.splitlines() == ([LINE_40, LINE_IDLE, LINE_FAILED_DONE, END_FAILED] if accepted
                                     else [LINE_40, LINE_FAILED_DONE, END_FAILED])
    assert extended_requests(c, b"IDUPDATESTATUS\0")


FORGED_END = status_doc("Image installed, Rebooting", 2, 100, seq=2**31 - 1)


def spray_from(sock, forged, sweeps, stop):
    """Sends forged from sock to every ephemeral port of 127.0.0.1, sweep after sweep."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low, high = (int(x) for x in f.read().split())
    while not stop.is_set():
        for port in range(low, high + 1):
            try:
                sock.sendto(forged, ("127.0.0.1", port))
            except OSError:
                pass
        sweeps.append(1)


def in_private_network(fn):
    """Runs fn() in a child process inside a network namespace of its own (only
    its loopback up), so that a spray over every port reaches nothing of the
    host; returns what fn returns (JSON-able)."""
    import ctypes
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(r)
            if ctypes.CDLL(None, use_errno=True).unshare(0x40000000) != 0:  # CLONE_NEWNET
                raise OSError(ctypes.get_errno(), "unshare")
            subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
            with os.fdopen(w, "w") as out:
                json.dump(fn(), out)
            code = 0
        except BaseException:  # noqa: B036  (the child must end here whatever happened)
            import traceback
            traceback.print_exc()
        finally:
            os._exit(code)
    os.close(w)
    with os.fdopen(r) as f:
        text = f.read()
    _, code = os.waitpid(pid, 0)
    assert code == 0 and text, "the scenario in the private network failed"
    return json.loads(text)


def follow_under_spray():
    sweeps, stop = [], threading.Event()
    # Idle until the forger has swept every port three times; then the update fails.
    c = ScriptedController([lambda: IDLE if len(sweeps) < 3 else FAILED_DONE], extended=True)
    sprayer = threading.Thread(target=spray_from, args=(c.sock, FORGED_END, sweeps, stop), daemon=True)
    sprayer.start()
    try:
        r = run_kvid("status", "127.0.0.1", "-p", str(c.port), "--follow", "--interval", "20", "-t", "200")
    finally:
        stop.set()
        sprayer.join(timeout=30)
        c.close()
    return {"returncode": r.returncode, "stdout": r.stdout, "stderr": r.stderr, "sweeps": len(sweeps)}


@pytest.mark.parametrize("scenario", [
    # The forger sends from the controller's address and port to the very port
    # asked, ahead of the real answer, with the highest number there is.
    dict(extended=True, forge_first=True, forged=FORGED_END),
    dict(extended=True, forge_first=True, forged=FORGED_END.replace(b"\n}", b',\n\t"nonce":\t"0000000000000000"\n}')),
    # Queued for the next poll behind the real answer (a daemon without nonces:
    # only a fresh socket per poll keeps it out).
    dict(extended=False, forge_after=True, forged=FORGED_END),
], ids=["ahead of the answer", "ahead with another nonce", "queued for the next poll"])
def test_forged_status_never_ends_the_follow(scenario):
    c = ScriptedController([IDLE, IDLE, IDLE, FAILED_DONE], **scenario)
    try:
        r = run_kvid("status", "127.0.0.1", "-p", str(c.port), "--follow", "--interval", "20", "-t", "200")
    finally:
        c.close()
    assert (r.returncode, r.stdout.splitlines()) == (4, [LINE_IDLE, LINE_FAILED_DONE, END_FAILED]), r.stderr


def test_status_sprayed_at_every_port_never_ends_the_follow():
    # A forged "installed" status from the controller's address and port, sent
    # to every ephemeral port while the controller is idle.
    got = in_private_network(follow_under_spray)
    assert (got["returncode"], got["stdout"].splitlines()) == (4, [LINE_IDLE, LINE_FAILED_DONE, END_FAILED]), got
    assert got["sweeps"] >= 3


@pytest.mark.parametrize("args,fixed,output", [
    (["discover", "-a", "127.0.0.1"], b"IDREQ\0", "127.0.0.1\tKV2_TOUCH\tRev: 2.4.1\tkv-image-3.2.1\tno app\t-\t-\n"),
    (["status", "127.0.0.1"], b"IDUPDATESTATUS\0", "action       Idle (0)\n"),
    (["netbr", "127.0.0.1"], b"BURNR\0", "platform           KV2_TOUCH\n"),
], ids=["discover", "status", "netbr"])
@pytest.mark.parametrize("controller,requests,status", [
    (dict(extended=True), 2, 0),
    # A cookie answer with another nonce is not our controller's: no resend.
    (dict(extended=True, wrong_nonce=True), 1, 1),
    # A cookie that never verifies: the request goes again twice, no more.
    (dict(extended=True, rotate=True), 3, 1),
    (dict(extended=False), 1, 0),
], ids=["cookie exchange", "foreign cookie answer", "cookie twice at most", "old daemon"])
def test_cookie_exchange(args, fixed, output, controller, requests, status):
    reply = {b"IDREQ\0": identity(), b"IDUPDATESTATUS\0": IDLE,
             b"BURNR\0": b"NETBR" + bytes(148) + b"KV2_TOUCH\0text\0"}[fixed]
    c = ScriptedController([reply], **controller)
    try:
        r = run_kvid(*args, "-p", str(c.port), "-t", "500")
    finally:
        c.close()
    assert r.returncode == status, r.stderr
    assert (output in r.stdout) == (status == 0), r.stdout
    # Discovery sends its first request once more while an address asked has
    # not answered.
    resent = 1 if args[0] == "discover" and status != 0 else 0
    assert len(c.requests) == requests + resent and extended_requests(c, fixed)
    fixed_parts = [split_request(x) for x in c.requests]
    assert fixed_parts[0][1] == bytes(16)  # the first request has no cookie
    if controller == dict(extended=True):
        assert fixed_parts[1][1] == c.cookie and c.verified == 1


def discovery_line(address, device="KV2_TOUCH", mac="-", ipv4="-"):
    return f"{address}\t{device}\tRev: 2.4.1\tkv-image-3.2.1\tno app\t{mac}\t{ipv4}"


# An interface with the addresses 127.0.0.2 and 127.0.0.3.
SAME_IFACE = dict(mac="0A:00:27:00:00:02", interface_name="eth0", current_addressv4="127.0.0.2",
                  current_address1v6="127.0.0.3")
TRAILING = identity().render(None, 0) + b"\n" + json.dumps({"device": "forged"}).encode() + b"\n"


@pytest.mark.parametrize("controllers,args,status,lines,errors", [
    # Every answer sent three times (the verified one of a current daemon too).
    ([dict(replies=[[identity()] * 3], extended=True), dict(replies=[[identity(), identity("SECOND")]])],
     [], 0, [discovery_line("127.0.0.2"), discovery_line("127.0.0.3")], []),
    ([dict(replies=[identity()]), dict(replies=[identity(device="x" * 3000)])],
     [], 0, [discovery_line("127.0.0.2")],
     [f"kvid: malformed answer from 127.0.0.3: answer of {len(identity('x' * 3000).render(None, 0))} bytes, "
      "longer than 2048"]),
    ([dict(replies=[b"IDRSP" + json.dumps({"device": "kv2", "sw_revision": "r", "image_version": "i",
                                            "app_running": True}).encode().replace(b"kv2", b"kv2\x9b2Jx\xc2\x9b")])],
     [], 0, ["127.0.0.2\tkv2?2Jx?\tr\ti\tapp running\t-\t-"], []),
    ([dict(replies=[identity()]), dict(replies=[TRAILING])], ["--json"], 0,
     [json.dumps(identity().members, separators=(",", ":"))],
     ["kvid: malformed answer from 127.0.0.3: bytes after the identification document"]),
    ([dict(replies=[identity()]), dict(replies=[b"IDRSPnot json"]), dict(replies=[identity(), b"IDRSP{"])],
     [], 0, [discovery_line("127.0.0.2"), discovery_line("127.0.0.4")],
     ["kvid: malformed answer from 127.0.0.3: identification document is not JSON"]),
    # Junk first from an address does not hide the controller's own answer.
    ([dict(replies=[[b"CLOSED", identity()]])], [], 0, [discovery_line("127.0.0.2")],
     ["kvid: malformed answer from 127.0.0.2: answer does not begin with IDRSP"]),
    ([dict(replies=[b"IDRSPnot json"]), dict(replies=[b"HELLO"])], [], 3, [],
     ["kvid: malformed answer from 127.0.0.2: identification document is not JSON",
      "kvid: malformed answer from 127.0.0.3: answer does not begin with IDRSP"]),
    # One interface answering from two of its addresses is one line; a
    # document that claims its MAC from an address it does not list is not it.
    ([dict(replies=[identity(**SAME_IFACE)], extended=True), dict(replies=[identity(**SAME_IFACE)], extended=True)],
     [], 0, [discovery_line("127.0.0.2", mac=SAME_IFACE["mac"], ipv4="127.0.0.2"),
             discovery_line("127.0.0.3", mac=SAME_IFACE["mac"], ipv4="127.0.0.2")], ["one of the two"]),
    ([dict(replies=[identity(**(SAME_IFACE | {"current_address1v6": "::"}))]), dict(replies=[identity(**SAME_IFACE)])],
     [], 0, [discovery_line("127.0.0.2", mac=SAME_IFACE["mac"], ipv4="127.0.0.2"),
             discovery_line("127.0.0.3", mac=SAME_IFACE["mac"], ipv4="127.0.0.2")], []),
], ids=["duplicates", "over-long", "raw C1 byte", "json trailing line", "one malformed", "junk first",
        "all malformed", "one interface twice", "claimed MAC"])
def test_discovery_keeps_one_sane_answer_per_controller(controllers, args, status, lines, errors):
    cs = []
    try:
        for i, spec in enumerate(controllers):
            cs.append(ScriptedController(host=f"127.0.0.{i + 2}", port=cs[0].port if cs else 0, **spec))
        addresses = [x for i in range(len(cs)) for x in ("-a", f"127.0.0.{i + 2}")]
        r = subprocess.run([KVID, "discover", "-H", *addresses, *args, "-p", str(cs[0].port), "-t", "1000"],
                           capture_output=True, timeout=60)
    finally:
        for c in cs:
            c.close()
    out = r.stdout.decode("utf-8", "backslashreplace")
    assert r.returncode == status, r.stderr
    if errors == ["one of the two"]:
        # Whichever answered first is printed.
        assert len(out.splitlines()) == 1 and out.splitlines()[0] in lines and not r.stderr, (out, r.stderr)
        errors = []
    else:
        assert sorted(out.splitlines()) == sorted(lines), out
    assert sorted(r.stderr.decode().splitlines()) == sorted(errors)
    assert all(c.verified == 1 for c in cs if c.extended)


@pytest.mark.parametrize("reply,args,message", [
    (b"IDRSPnot json", ["discover"], "identification document is not JSON"),
    (b"HELLO", ["discover"], "answer does not begin with IDRSP"),
    (b'IDRSP{"device":"x"}', ["discover"], "lacks device, sw_revision, image_version or app_running"),
    (b"{ broken", ["status", "127.0.0.1"], "status document is not JSON"),
    (b"NETBR" + bytes(10), ["netbr", "127.0.0.1"], "network record shorter than its fixed part"),
    (b"NETBR" + bytes(148) + b"KV2_TOUCH", ["netbr", "127.0.0.1"], "text part lacks its NULs"),
])
def test_malformed_answers(reply, args, message):
    c = ScriptedController([reply])
    try:
        extra = ["-a", "127.0.0.1"] if args == ["discover"] else []
        r = run_kvid(*args, *extra, "-p", str(c.port), "-t", "500")
    finally:
        c.close()
    assert r.returncode == 3
    assert r.stderr.startswith("kvid: malformed answer from 127.0.0.1: ") and message in r.stderr, r.stderr


@pytest.mark.parametrize("impostor", [("127.0.0.2", None), ("127.0.0.1", 0)], ids=["other address", "other port"])
def test_single_controller_answer_comes_only_from_the_address_asked(impostor):
    forged = status_doc("installing IMAGE.CRY", 1, 99, "forged", 7)
    real = status_doc("Idle", 0, 0)
    c = ScriptedController([real], impostor=impostor, forged=forged)
    try:
        r = run_kvid("status", "127.0.0.1", "-p", str(c.port), "--json", "-t", "2000")
    finally:
        c.close()
    # The forged answer came first and was passed over.
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout)["currentActionDescription"] == "Idle"


HOSTILE = "kv2\x1b]0;owned\x07-touch\x1b[2J\u009b1m"


@pytest.mark.parametrize("reply,args", [
    (b"IDRSP" + json.dumps({"device": HOSTILE, "sw_revision": "1\x1b[A", "image_version": "x",
                             "app_running": True}, ensure_ascii=False).encode(), ["discover"]),
    (b"IDRSP" + json.dumps({"device": HOSTILE, "sw_revision": "1", "image_version": "x",
                             "app_running": True}, ensure_ascii=False).encode(), ["discover", "--json"]),
    (status_doc(HOSTILE, 1, 10, HOSTILE, 5).replace(b"\\u001b", b"\x1b"), ["status", "127.0.0.1"]),
    (status_doc(HOSTILE, 1, 10).replace(b"\\u009b", b"\xc2\x9b"), ["status", "127.0.0.1", "--json"]),
    (b"NETBR" + bytes(148) + HOSTILE.encode() + b"\0" + HOSTILE.encode() + b"\0", ["netbr", "127.0.0.1"]),
], ids=["identity", "identity json", "status", "status json", "netbr"])
def test_answers_cannot_drive_the_terminal(reply, args):
    # Anyone on the network can answer: control bytes in an answer must reach
    # the technician's terminal as '?', never as escape sequences.
    c = ScriptedController([reply])
    try:
        extra = ["-a", "127.0.0.1"] if args[0] == "discover" else []
        r = subprocess.run([KVID, *args, *extra, "-p", str(c.port), "-t", "500"], capture_output=True, timeout=60)
    finally:
        c.close()
    assert r.returncode == 0, r.stderr
    assert b"kv2?]0;owned?-touch?[2J?1m" in r.stdout or b"\\u001b" in r.stdout, r.stdout
    assert not any(b in r.stdout for b in (b"\x1b", b"\x07", b"\xc2\x9b")), r.stdout


TRY = "Try 'kvid --help' for more information.\n"


@pytest.mark.parametrize("args,code,out,err", [
    (["--version"], 0, "kvid 3.8\n", ""),
    (["help"], 0, "usage: kvid discover ", ""),
    (["help", "netbr"], 0, "usage: kvid netbr ADDRESS [-i IFACE] [-t TIME] [--json]\n", ""),
    (["status", "--help"], 0, "usage: kvid status ADDRESS ", ""),
    (["--jsn"], 2, "", "kvid: unknown option '--jsn'; did you mean '--json'?\n" + TRY),
    (["discover", "-follow"], 2, "", "kvid: unknown option '-follow'; did you mean '--follow'?\n" + TRY),
    (["--i"], 2, "", "kvid: option '--i' is ambiguous: --interface, --ipv4, --ipv6, --interval\n" + TRY),
    (["--json=yes"], 2, "", "kvid: option '--json' takes no value\n" + TRY),
    (["status", "127.0.0.1", "-t"], 2, "", "kvid: option '-t' needs a value (TIME)\n" + TRY),
    (["statsu", "127.0.0.1"], 2, "", "kvid: unknown command 'statsu'; did you mean 'status'?\n" + TRY),
    ([], 2, "", "kvid: give a command: discover, status or netbr\n" + TRY),
    (["status"], 2, "", "kvid: status needs the controller's ADDRESS\nTry 'kvid status --help' for more information.\n"),
    (["discover", "10.0.0.1"], 2, "",
     "kvid: discover takes no ADDRESS ('10.0.0.1'); give it with -a\nTry 'kvid discover --help' for more information.\n"),
    (["netbr", "10.0.0.1", "--follow"], 2, "",
     "kvid: option '--follow' is not an option of netbr\nTry 'kvid netbr --help' for more information.\n"),
    (["status", "10.0.0.1", "--through-reboot"], 2, "",
     "kvid: --through-reboot needs --follow\nTry 'kvid status --help' for more information.\n"),
    (["status", "10.0.0.1", "-t", "2m"], 2, "",
     "kvid: invalid time '2m' for --timeout: give milliseconds, or a number with the unit ms or s "
     "(1500, 1500ms, 2s), at least 1 ms and at most 24 hours\n" + TRY),
    (["status", "10.0.0.1", "-p", "70000"], 2, "", "kvid: invalid port '70000': give a number from 1 to 65535\n" + TRY),
])
def test_command_line(args, code, out, err):
    r = run_kvid(*args)
    assert (r.returncode, r.stderr) == (code, err)
    assert r.stdout.startswith(out) if out else r.stdout == ""


@pytest.mark.parametrize("args,ms", [(["-t", "1s"], 1000), (["-t", "1000ms"], 1000), (["-t", "300"], 300)])
def test_times_take_units(args, ms):
    # A silent address: the message says the wait in milliseconds.
    c = ScriptedController([None])
    try:
        r = run_kvid("status", "127.0.0.1", "-p", str(c.port), *args)
    finally:
        c.close()
    assert (r.returncode, r.stderr) == (1, f"kvid: no answer from 127.0.0.1 within {ms} ms\n")


def in_private_hosts(hosts, *cmd):
    """Runs cmd in a mount namespace of its own in which /etc/hosts is the
    text hosts (the host's file is never touched)."""
    with tempfile.NamedTemporaryFile("w", suffix=".hosts") as f:
        f.write(hosts)
        f.flush()
        os.chmod(f.name, 0o644)
        return subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                               'mount --bind "$0" /etc/hosts && exec "$@"', f.name, *cmd],
                              capture_output=True, text=True, timeout=60)


def test_names_resolve_to_every_address():
    # "ctl" has a silent address first and the controller's second; "both"
    # has two controllers' addresses.
    hosts = "127.0.0.3 ctl\n127.0.0.2 ctl\n127.0.0.2 both\n127.0.0.6 both\n"
    a = ScriptedController([{b"IDREQ\0": identity(), b"IDUPDATESTATUS\0": IDLE,
                             b"BURNR\0": b"NETBR" + bytes(148) + b"KV2_TOUCH\0text\0"}], host="127.0.0.2",
                           extended=True, by_kind=True)
    b = ScriptedController([identity("SECOND")], host="127.0.0.6", port=a.port)
    try:
        port = ["-p", str(a.port), "-t", "500"]
        status = in_private_hosts(hosts, KVID, "status", "-v", "ctl", *port)
        netbr = in_private_hosts(hosts, KVID, "netbr", "ctl", "--json", *port)
        found = in_private_hosts(hosts, KVID, "discover", "-H", "-a", "both", *port)
        silent = in_private_hosts(hosts, KVID, "netbr", "-4", "ctl", "-p", "9", "-t", "200")
    finally:
        a.close()
        b.close()
    assert status.returncode == 0 and "controller   ctl (127.0.0.2)\n" in status.stdout, status.stderr
    assert "kvid: no answer taken from 127.0.0.3\nkvid: asking 127.0.0.2\n" in status.stderr, status.stderr
    assert netbr.returncode == 0 and json.loads(netbr.stdout)["from"] == "ctl (127.0.0.2)", netbr.stderr
    assert sorted(found.stdout.splitlines()) == [discovery_line("127.0.0.2"), discovery_line("127.0.0.6", "SECOND")]
    assert (silent.returncode, silent.stderr) == (
        1, "kvid: no answer from ctl (127.0.0.3, 127.0.0.2) within 200 ms each\n")
