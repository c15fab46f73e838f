"""The network client kvid against the sandbox controller (from the peer
namespace) and against scripted controllers on loopback."""
import json
import os
import socket
import subprocess
import threading

import pytest

from idprot_net import LINKS, IdNet, build_dir

KVID = os.path.join(build_dir(), "tools", "kvid", "kvid")


@pytest.fixture
def net(make_sandbox, run_daemon):
    n = IdNet.start(make_sandbox, run_daemon, links=("eth0", "eth1"), args=())
    yield n
    n.close()


def test_discover_status_and_network_record(net):
    r = net.client("discover", "-i", "peth0", "-a", LINKS["eth1"][0], "-t", "3000")
    assert r.returncode == 0, (r.stdout, r.stderr)
    lines = sorted(r.stdout.splitlines())
    assert lines == sorted([f"{LINKS['eth0'][1]}\tKV2_TOUCH\tRev: 2.4.1\tkv-image-3.2.1\tno app",
                            f"{LINKS['eth1'][0]}\tKV2_TOUCH\tRev: 2.4.1\tkv-image-3.2.1\tno app"]), r.stderr

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


def test_errors_are_clear(net):
    cases = [
        (["discover", "-i", "nosuch0"], 2, "kvid: unknown interface 'nosuch0'\n"),
        (["status", "10.77.0.99", "-t", "300"], 1, "kvid: no answer from 10.77.0.99 within 300 ms\n"),
        (["discover", "-a", "10.77.0.99", "-t", "300"], 1, "kvid: no answer within 300 ms\n"),
        (["netbr", "not-an-address"], 2, "kvid: not an address: 'not-an-address'\n"),
        (["discover"], 2, "kvid: give an interface (-i) or an address (-a) to ask\n"),
    ]
    for args, status, message in cases:
        r = net.client(*args)
        assert (r.returncode, r.stderr) == (status, message), args


class ScriptedController:
    """Answers each datagram on loopback with the next scripted reply; an
    impostor (address, port) first sends its own reply from there."""

    def __init__(self, replies, impostor=None, forged=b""):
        self.replies = list(replies)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.requests = []
        self.impostor = None
        if impostor is not None:
            self.impostor = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.impostor.bind((impostor[0], impostor[1] if impostor[1] is not None else self.port))
        self.forged = forged
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                data, addr = self.sock.recvfrom(4096)
            except OSError:
                return
            self.requests.append(data)
            if self.impostor is not None:
                self.impostor.sendto(self.forged, addr)
            reply = self.replies.pop(0) if len(self.replies) > 1 else self.replies[0]
            if reply is not None:
                self.sock.sendto(reply, addr)

    def close(self):
        self.sock.close()
        if self.impostor is not None:
            self.impostor.close()


def status_doc(action, code, total, error="No Error", number=0):
    return json.dumps({"totalProgress": total, "bundleFilename": "", "componentProgress": total,
                       "currentActionDescription": action, "currentActionCode": code, "elapsedTimeSecs": 3,
                       "timestamp": 1, "timedate": "x", "currentErrorDescription": error,
                       "currentErrorNumber": number, "serverName": "kvupdaterd", "serverRevision": "3.8",
                       "msgSeqNumber": 0}, indent="\t").encode()


def run_kvid(*args):
    return subprocess.run([KVID, *args], capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("script,status,expected", [
    ([status_doc("Idle", 0, 0), None, status_doc("installing IMAGE.CRY", 1, 10),
      status_doc("installing IMAGE.CRY", 1, 10), status_doc("installing IMAGE.CRY", 1, 55),
      status_doc("Image installed, Rebooting", 2, 100)],
     0, ["[....................]   0%  Idle  (3 s)",
         "[##..................]  10%  installing IMAGE.CRY  (3 s)",
         "[###########.........]  55%  installing IMAGE.CRY  (3 s)",
         "[####################] 100%  Image installed, Rebooting  (3 s)",
         "update finished: Image installed, Rebooting"]),
    ([status_doc("installing IMAGE.CRY", 1, 40), status_doc("installing IMAGE.CRY", 1, 40, "Image update failed", 200),
      status_doc("Image install done", 3, 40, "Image update failed", 200)],
     4, ["[########............]  40%  installing IMAGE.CRY  (3 s)",
         "[########............]  40%  installing IMAGE.CRY  (3 s)  error: Image update failed",
         "update failed: Image update failed (200), installing IMAGE.CRY"]),
])
def test_follow_refreshes_until_the_update_ends(script, status, expected):
    c = ScriptedController(script)
    try:
        r = run_kvid("status", "127.0.0.1", "-p", str(c.port), "--follow", "--interval", "20", "-t", "200")
    finally:
        c.close()
    assert r.returncode == status, r.stderr
    # One line per change when the output is not a terminal; a missing answer
    # is waited out.
    assert r.stdout.splitlines() == expected
    assert all(req == b"IDUPDATESTATUS" for req in c.requests)


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
