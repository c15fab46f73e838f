"""Listener start-up: interfaces that come up later get a listener within a
pass, each interface gets one listener at most, and bnep0 never gets one."""
from idprot_net import LINKS, IdNet, identification


def started_lines(net):
    return [t for t in net.d.syslog_texts() if "Listener thread started" in t]


def test_late_interfaces_get_one_listener_each(make_sandbox, run_daemon):
    net = IdNet.start(make_sandbox, run_daemon, links=("eth0", "eth1", "eth0.vlan1", "bnep0"))
    try:
        net.d.add_interface("eth2", up=False)
        net.d.add_interface("wwan0", up=False)
        net.d.wait_syslog(r"eth0\.vlan1 Listener thread started")
        # Down interfaces have nothing bound.
        assert net.bound() == ["eth0", "eth0.vlan1", "eth1"]
        for late in ("eth2", "wwan0"):
            net.connect(late)
            net.d.wait_syslog(rf"^IdProt_StartUpListeningServers, {late} is UP\n$")
            net.wait_bound([late])
            _, answer = net.ask(late, b"IDREQ\0")
            assert dict(identification(answer))["current_addressv4"] == LINKS[late][0]
        # wwan0 came up a pass after eth2: by now several passes have seen
        # every interface up, and each still has exactly one listener.
        names = ["eth0", "eth0.vlan1", "eth1", "eth2", "wwan0"]
        assert sorted(started_lines(net)) == sorted(f"idserver_StartServer, {n} Listener thread started\n"
                                                    for n in names)
        assert net.bound() == sorted(names)
        # bnep0 is up and addressed, but nobody listens there.
        assert net.probe("bnep0", LINKS["bnep0"][0], [b"IDREQ\0"], wait=1) == []
        assert not any("bnep0" in t for t in net.d.syslog_texts())
    finally:
        net.close()
