"""The identification protocol on a hostile network, on the real daemon:
answers and datagrams from the protocol's own port are never answered (no
reflection loops), floods are dropped and counted while honest requests
still get through, an interface deleted and created again is answered on
again, priorities of log lines stay with their lines, and the interface
configuration survives a read that races its rewrite."""
import json
import os
import re

import pytest

from conftest import wait_for
from idprot_net import LINKS, PORT, PYTHON, HERE, IdNet, identification

REFLECT = os.path.join(HERE, "idreflect.py")
STATUS = b"IDUPDATESTATUS"


@pytest.fixture
def net(make_sandbox, run_daemon):
    n = IdNet.start(make_sandbox, run_daemon, links=("eth0", "eth1"), args=())
    yield n
    n.close()


def reflect(net, link, payloads, from_port=0, honest=b"IDREQ\0"):
    peer = ("p" + link)[:15]
    cmd = [PYTHON, REFLECT, "--iface", peer, "--to", LINKS[link][0], "--from-port", str(from_port),
           "--honest-hex", honest.hex()]
    for p in payloads:
        cmd += ["--hex", p.hex()]
    r = json.loads(net.d.peer(*cmd).stdout)
    return (bytes.fromhex(r["honest"]) if r["honest"] else None), [bytes.fromhex(x) for x in r["reflected"]]


def drop_reports(net, link):
    return [(p, t) for p, _, t in net.d.syslog if t.startswith(f"idserver_Receive, {link}: ")]


def report_counts(text):
    # "idserver_Receive, eth0: N requests over the rate limit and M answers dropped in S s\n"
    words = text.split()
    return int(words[2]), int(words[9])


STATUS_DOC = (b'{\n\t"totalProgress":\t0,\n\t"bundleFilename":\t"",\n\t"componentProgress":\t0,\n'
              b'\t"currentActionDescription":\t"Idle",\n\t"msgSeqNumber":\t0\n}')


def test_answers_and_the_service_ports_are_never_answered(net):
    # Requests from the protocol's own port are answered like any other (a
    # plant tool may bind it); another controller's answers from there are
    # not, so two controllers can never start answering each other.
    from_port_20034 = [b"IDREQ\0", b"BURNR\0", STATUS, b"junk", b"CLOSED"]
    answer, reflected = reflect(net, "eth0", from_port_20034, from_port=PORT)
    assert answer is not None and answer.startswith(b"IDRSP")
    assert sorted(r[:5] for r in reflected) == sorted([b"IDRSP", b"NETBR", b"{\n\t\"t", b"CLOSE"]), reflected
    # The answers themselves, from any port.
    answers = [b"IDRSP" + json.dumps({"device": "x"}).encode(), b"CLOSED", b"CLOSED\0", b"NETBR" + bytes(160),
               STATUS_DOC, b"{}", b"IDCKE" + bytes(24)]
    answer, reflected = reflect(net, "eth0", answers, honest=STATUS)
    assert reflected == [] and answer.startswith(b"{\n\t\"totalProgress\"")
    # Every drop is counted: the first at once, the rest in one summary
    # (priority warning, level 0: the daemon runs without -v).
    first = net.d.wait_syslog(r"^idserver_Receive, eth0: ")
    assert first[0] == 4 and report_counts(first[2]) == (0, 1)
    summary = net.d.wait_syslog(r"^idserver_Receive, eth0: ", timeout=20, start=net.d.syslog.index(first) + 1)
    assert summary[0] == 4 and report_counts(summary[2]) == (0, len(answers))
    # Nothing goes to the ports of the system's services or of the discovery
    # and cache services that answer anything (echo, DNS, NTP, mDNS, ...):
    # with them a controller could loop or be made their amplifier.
    for port in (7, 53, 123, 1900, 5353, 11211):
        answer, reflected = reflect(net, "eth1", [b"IDREQ\0", STATUS, b"junk"], from_port=port)
        assert reflected == [] and answer.startswith(b"IDRSP"), port


@pytest.mark.parametrize("payload", [b"IDREQ\0", b"BURNR\0"])
def test_flood_is_dropped_and_counted_while_status_is_answered(net, payload):
    # 2,000 a second for 1.5 s: many times what the interface answers.
    n = 3000
    r = net.flood("eth0", payload, n, rate=2000, probes=3)
    # The honest status requests sent during the flood were answered.
    assert r["probes_ms"] and all(ms is not None for ms in r["probes_ms"]), r
    assert r["marker"], r
    # Most of the flood was dropped without an answer (its source's budget
    # is a few KiB of answers a second).
    assert 1 <= r["answered"] < n / 20, r
    # And counted: the first drop at once, the rest in a summary.
    first = net.d.wait_syslog(r"^idserver_Receive, eth0: ")
    summary = net.d.wait_syslog(r"^idserver_Receive, eth0: ", timeout=20, start=net.d.syslog.index(first) + 1)
    over = report_counts(first[2])[0] + report_counts(summary[2])[0]
    # Every datagram was answered or counted (the listener's receive buffer
    # holds what arrives while it answers; allow the kernel a few drops on
    # a machine that stalls the listener).
    assert 0 <= n - r["answered"] - over <= n // 100, (r, first, summary)
    # The bucket fills again: honest identification requests are answered.
    _, a = net.ask("eth0", payload)
    assert a.startswith(b"IDRSP" if payload == b"IDREQ\0" else b"NETBR")


def test_deleted_and_recreated_interface_is_answered_again(make_sandbox, run_daemon):
    net = IdNet.start(make_sandbox, run_daemon, links=("eth0", "eth1"), args=("-v", "2"))
    up = "IdProt_StartUpListeningServers, eth1 is UP\n"
    try:
        first = net.d.wait_syslog("^" + up)
        old = json.loads(net.d.ns("ip", "-j", "link", "show", "eth1").stdout)[0]["ifindex"]
        net.d.ns("ip", "link", "del", "eth1")
        net.d.add_interface("eth1", up=False)
        net.connect("eth1")
        assert json.loads(net.d.ns("ip", "-j", "link", "show", "eth1").stdout)[0]["ifindex"] != old
        # The next pass sees eth1 up under its new index and the listener
        # binds to it.
        net.d.wait_syslog("^" + up, start=net.d.syslog.index(first) + 1)
        net.wait_bound(["eth1"])
        _, a = net.ask("eth1", b"IDREQ\0")
        doc = dict(identification(a))
        assert doc["interface_name"] == "eth1" and doc["current_addressv4"] == LINKS["eth1"][0]
        # Still one listener thread per interface.
        assert [t for t in net.d.syslog_texts() if "eth1 Listener thread started" in t] == \
            ["idserver_StartServer, eth1 Listener thread started\n"]
        # Down and up again keeps the index and the binding.
        net.d.ns("ip", "link", "set", "eth1", "down")
        net.d.ns("ip", "link", "set", "eth1", "up")
        _, a = net.ask("eth1", b"IDREQ\0")
        assert a.startswith(b"IDRSP")
    finally:
        net.close()


def test_priority_of_a_dropped_debug_line_stays_with_it(net):
    # Every answer logs a debug line that the default verbose level drops;
    # the lines after it keep their own priority.
    for _ in range(2):
        net.ask("eth0", b"IDREQ\0")
    main = net.sb.dev("/opt/kv2/etc/netinterfaces.config")
    with open(main) as f:
        good = f.read()
    with open(main, "w") as f:
        f.write(good.rstrip("\n"))  # the last line lacks its line feed: the file is refused
    start = len(net.d.syslog)
    net.ask("eth0", b"IDREQ\0")
    line = net.d.wait_syslog(r"^LoadNetConfig - Backup file used", start=start)
    refused = net.d.wait_syslog(r"^LoadNetConfig - Unable to parse ", start=start)
    assert line[0] == 5 and refused[0] == 5
    with open(main, "w") as f:
        f.write(good)


def config_text(address, gateway, description):
    return ("[netif0]\n"
            f"description = {description}\n"
            "dhcpv4 = no\n"
            f"addressv4 = {address}\n"
            "netmaskv4 = 255.255.255.0\n"
            f"gatewayv4 = {gateway}\n"
            "MTUsize = 1500\n")


def test_configuration_survives_a_read_that_races_its_rewrite(net):
    main = net.sb.dev("/opt/kv2/etc/netinterfaces.config")
    backup = net.sb.dev("/opt/kv2/etc/netinterfaces.bak")

    def document():
        return dict(identification(net.ask("eth0", b"IDREQ\0", verified=True)[1]))

    # Stored files write addresses with leading zeros and short forms.
    with open(main, "w") as f:
        f.write(config_text("010.077.000.002", "10.77.1", "stored"))
    doc = document()
    assert (doc["static_addressv4"], doc["gatewayv4"], doc["interface_description"]) == \
        ("8.63.0.2", "10.77.0.1", "stored")

    # The application is half-way through writing a new file: the answer
    # takes the backup's values and the file is left alone...
    new = config_text("10.77.0.5", "10.77.0.1", "rewritten")
    with open(main, "w") as f:
        f.write(new[:40])
    assert document()["interface_description"] == "Ethernet 1"
    with open(main) as f:
        assert f.read() == new[:40]
    # ...and once it has finished, its file is the one that counts.
    with open(main, "w") as f:
        f.write(new)
    assert document()["interface_description"] == "rewritten"
    with open(main) as f:
        assert f.read() == new

    # A file that stays damaged and untouched is replaced from the backup.
    with open(main, "w") as f:
        f.write("[netif0]\ndescription = damaged")

    def restored():
        document()
        with open(main) as f:
            return f.read() == open(backup).read()
    wait_for(restored, timeout=30, what="the damaged file restored from the backup")
    assert document()["interface_description"] == "Ethernet 1"


# Files the daemon reads (or appends to) by name, and what stands at each
# name in the row: a link to a file of someone else's choosing, a FIFO, a
# folder, a file far beyond any real one. The update log started afresh when
# it is too large, as it always was, so it has no "huge" row.
PLANTED = ["/opt/kv2/etc/appname.config", "/opt/kv2/etc/netinterfaces.config", "/opt/kv2/etc/netinterfaces.bak",
           "/image_info", "/etc/resolv.conf", "/etc/ssh/sshd_config", "/opt/kv2/log/update.log"]
REASON = {"link": "is not a regular file", "fifo": "is not a regular file", "folder": "is not a regular file",
          "huge": r"is larger than \d+ bytes"}


@pytest.mark.parametrize("kind", ["link", "fifo", "folder", "huge"])
def test_files_that_are_not_what_they_should_be_are_refused_once_and_never_written_through(
        make_sandbox, run_daemon, tmp_path, kind):
    from conftest import drop
    from intake_common import signed_ipk, wait_calls
    sb = make_sandbox()
    planted = [p for p in PLANTED if not (kind == "huge" and p.endswith("update.log"))]
    victims = {}
    for path in planted:
        at = sb.dev(path)
        if os.path.lexists(at):
            os.unlink(at)
        if kind == "link":
            victims[path] = victim = str(tmp_path / ("victim-" + os.path.basename(path)))
            with open(victim, "w") as f:
                f.write("[appconfig]\nswrevision = from the link\n")
            os.symlink(victim, at)
        elif kind == "fifo":
            os.mkfifo(at)
        elif kind == "folder":
            os.mkdir(at)
        else:
            with open(at, "w") as f:
                f.write("[appconfig]\n" + "# padding of a file far too large\n" * 10000)
    d = run_daemon(sb, "-v", "2", interfaces=("eth0",))
    net = IdNet(sb, d)
    try:
        # Start-up is not held by a FIFO, and the listener answers, twice.
        net.connect("eth0")
        net.wait_bound(["eth0"], timeout=30)
        for _ in range(2):
            doc = dict(identification(net.ask("eth0", b"IDREQ\0")[1]))
            assert doc["sw_revision"] == "Rev: 0.0.0"  # the defaults: nothing was read through a link
            assert net.ask("eth0", b"BURNR\0")[1].startswith(b"NETBR")
        # A signed honest package is still installed.
        ipk = signed_ipk(str(tmp_path), sb, "kvwebview", version="3.1")
        n = len(sb.journal())
        drop(sb, ipk)
        assert wait_calls(sb, n, 1) == [["systemctl", "start", "install@kvwebview"]]
        # Nothing was written through a link.
        for victim in victims.values():
            with open(victim) as f:
                assert f.read() == "[appconfig]\nswrevision = from the link\n"
        # One refusal line per file, at error priority, however often it was read.
        for path in planted:
            pattern = rf"^\w+, {re.escape(sb.dev(path))} {REASON[kind]}\n$"
            d.wait_syslog(pattern)
            lines = [(p, t) for p, _, t in d.syslog if re.match(pattern, t)]
            assert len(lines) == 1 and lines[0][0] == 3, (path, lines)
        # A folder is never taken for a loaded file.
        assert not [t for t in d.syslog_texts() if "loaded successfully" in t]
    finally:
        net.close()


MIX = os.path.join(HERE, "idmix.py")
VICTIMS = [f"10.77.0.{100 + i}" for i in range(16)]


def test_generated_datagram_mixes_keep_the_invariants(net):
    """Seeded mixes of datagrams (kinds, sizes, unicast or broadcast, rates,
    sources, reflecting services) against the real daemon. After each: the
    client that proves its address got every answer, no source received
    more answer bytes than its budget (nor all of them together more than
    the interface's), cookie answers never outweighed their requests, no
    answer exceeded the protocol's bound, nothing loops on after the mix,
    and the daemon answers a newcomer. KV_IDMIX_SEED replays one mix."""
    for v in VICTIMS:
        net.d.peer("ip", "addr", "add", v + "/24", "dev", "peth0")
    seed = os.environ.get("KV_IDMIX_SEED")
    seeds = [int(seed)] if seed else [int(os.environ.get("KV_IDMIX_FIRST", "1")) + i for i in range(4)]
    seconds = 3.0
    for s in seeds:
        out = net.d.peer(PYTHON, MIX, "--iface", "peth0", "--to", LINKS["eth0"][0], "--broadcast", "10.77.0.255",
                         "--honest", LINKS["eth0"][2], *sum((["--victim", v] for v in VICTIMS), []),
                         "--seed", str(s), "--seconds", str(seconds), timeout=120).stdout
        r = json.loads(out)
        why = f"KV_IDMIX_SEED={s}: {r['mix']}"
        span = seconds + 6  # budgets refill while the mix runs and drains
        sent, answered = r["honest"]
        assert sent > 0 and answered == sent, (why, r["honest"])
        total = 0
        for v, st in r["victims"].items():
            assert st["answers"] <= 16384 + 4096 * span + 2048, (why, v, st)
            assert st["cookies"] <= st["sent"], (why, v, st)
            assert st["largest"] <= 2048, (why, v, st)
            total += st["answers"]
        assert total <= 65536 + 32768 * span + 2048, (why, total)
        assert r["late"] == 0, (why, r["late"])
        _, a = net.ask("eth1", b"IDUPDATESTATUS")
        assert a.startswith(b"{"), why
