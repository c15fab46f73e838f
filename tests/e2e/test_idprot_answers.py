"""Identification requests and their answers on the real daemon, sent over
veth links from a peer namespace: the JSON document by unicast IPv4, unicast
IPv6 and multicast, the network record, the status document and "CLOSED"."""
import json
import os
import random
import re
import socket
import time

import pytest

from idprot_net import GROUP, LINKS, PORT, IdNet, identification

KEYS = ["protocol_version", "device", "device_name", "os", "os_version", "os_date", "machine", "image_version",
        "sw_number", "sw_revision", "build_date", "build_time", "app_running", "sftp_enable", "force_ssl",
        "digest_access", "remote_authentication", "interface_description", "interface_name", "mac", "mtu_size",
        "dhcpv4_enable", "current_addressv4", "static_addressv4", "netmaskv4", "gatewayv4", "dnsnameserver1v4",
        "dhcpv6_enable", "netmaskv6", "current_address1v6", "current_address2v6", "current_address3v6",
        "current_address4v6", "static_addressv6"]


@pytest.fixture
def net(make_sandbox, run_daemon):
    n = IdNet.start(make_sandbox, run_daemon)
    yield n
    n.close()


def mac_of(net, name):
    return json.loads(net.d.ns("ip", "-j", "link", "show", name).stdout)[0]["address"].upper()


def live_v6(net, prefix):
    """IPv6 addresses of every interface whose name begins with prefix, as the system lists them."""
    out = net.d.ns("ip", "-o", "-6", "addr", "show").stdout
    found = []
    for line in out.splitlines():
        fields = line.split()
        if fields[1].split("@")[0].startswith(prefix):
            found.append(fields[3].split("/")[0])
    return found


def expected_document(net, link, app_running=False):
    u = os.uname()
    mine4, mine6, _, _ = LINKS[link]
    configured = {
        "eth0": ("Ethernet 1", "eth0", 1500, False, "10.77.0.2", "255.255.255.0", "10.77.0.1", "10.77.0.1",
                 False, 64, "fd00:77::2"),
        "eth1": ("Ethernet 2", "eth1", 1500, True, "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", True, 0, "::"),
        # The VLAN listener has no configuration entry: empty configured side,
        # its own name and live values.
        "eth0.vlan1": ("", "eth0.vlan1", 0, False, "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", False, 0, "::"),
    }[link]
    desc, name, mtu, dhcp4, static4, mask4, gw4, dns4, dhcp6, prefix6, static6 = configured
    return {
        "protocol_version": 1, "device": "KV2_TOUCH", "device_name": u.nodename, "os": u.sysname,
        "os_version": u.release, "os_date": u.version, "machine": u.machine, "image_version": "kv-image-3.2.1",
        "sw_number": "718235.100", "sw_revision": "Rev: 2.4.1", "build_date": "Nov 19 2024", "build_time": "_1234",
        "app_running": app_running, "sftp_enable": True, "force_ssl": False, "digest_access": False,
        "remote_authentication": "None", "interface_description": desc, "interface_name": name,
        "mac": mac_of(net, link), "mtu_size": mtu, "dhcpv4_enable": dhcp4, "current_addressv4": mine4,
        "static_addressv4": static4, "netmaskv4": mask4, "gatewayv4": gw4, "dnsnameserver1v4": dns4,
        "dhcpv6_enable": dhcp6, "netmaskv6": prefix6, "static_addressv6": static6,
    }


def check_document(net, link, answer):
    pairs = identification(answer)
    assert [k for k, _ in pairs] == KEYS
    doc = dict(pairs)
    # Compact form: exactly what a compact printer makes of the same members.
    assert answer[5:].decode() == json.dumps(dict(pairs), separators=(",", ":"), ensure_ascii=False)
    current = [doc.pop(f"current_address{i}v6") for i in range(1, 5)]
    assert doc == expected_document(net, link)
    live = live_v6(net, link)[:4]
    assert sorted(current) == sorted(live + ["::"] * (4 - len(live)))
    assert current[len(live):] == ["::"] * (4 - len(live))
    assert all(":" in a and "%" not in a for a in current)


@pytest.mark.parametrize("link", ["eth0", "eth1", "eth0.vlan1"])
def test_identification_by_unicast_ipv4_and_ipv6(net, link):
    mine4, mine6, _, _ = LINKS[link]
    for v6, own in ((False, mine4), (True, mine6)):
        source, answer = net.ask(link, b"IDREQ\0", v6=v6)
        # Answered from port 20034 of the receiving interface's own address.
        assert source == (own, PORT)
        check_document(net, link, answer)
    # Bytes after the keyword are ignored; the network prefix works too.
    for request in (b"IDREQ\0trailing bytes", b"BURNR\0IDREQ\0"):
        _, answer = net.ask(link, request)
        check_document(net, link, answer)


def test_identification_by_multicast_reaches_only_that_link(net):
    got = net.probe("eth0", GROUP, [b"IDREQ\0"], wait=3, count=2)
    assert len(got) == 1
    _, source, answer = got[0]
    assert source[1] == PORT and source[0] in live_v6(net, "eth0")
    check_document(net, "eth0", answer)


def netbr_expected_text():
    u = os.uname()
    return (b"KV2_TOUCH\0" + f"{u.nodename}, 718235.100, no app found, Nov 19 2024, OS:kv-image-3.2.1 "
            f"{u.sysname}-{u.release}".encode() + b"\0")


def v4(text):
    return socket.inet_aton(text)


@pytest.mark.parametrize("link,static", [("eth0", True), ("eth1", False)])
def test_network_record(net, link, static):
    _, data = net.ask(link, b"BURNR\0")
    text = netbr_expected_text()
    assert len(data) == 153 + len(text)
    assert data[:5] == b"NETBR" and data[5:9] == (148).to_bytes(4, "big")
    mac = bytes.fromhex(mac_of(net, link).replace(":", ""))
    block = v4(LINKS[link][0]) + v4("255.255.255.0") + (v4("10.77.0.1") if link == "eth0" else bytes(4))
    dns = v4("10.77.0.1")
    zero12 = bytes(12)
    assert data[9:21] == (block if static else zero12)
    assert data[21:112] == bytes(91)
    assert data[112:118] == mac and data[123:129] == mac
    assert data[118] == 0 and data[129:131] == bytes(2)
    assert data[119:123] == (dns if static else bytes(4))
    assert data[131:143] == (zero12 if static else block)
    assert data[143:147] == (bytes(4) if static else dns)
    assert data[147] == 0x02 | 0x08  # sftp enabled, PCOMM port free, no write backup
    assert data[148:153] == bytes([0xFF, 0x01, 0x00, 0x34, 0x12])
    assert data[153:] == text


def test_network_record_takes_routes_of_its_own_interface_only(net):
    # eth0.vlan1 holds eth0's name inside its own, and has a netmask and a
    # gateway of its own: they are its record's, never eth0's.
    net.d.ns("ip", "addr", "add", "10.200.0.2/28", "dev", "eth0.vlan1")
    net.d.ns("ip", "route", "add", "10.201.0.0/16", "via", "10.79.0.1", "dev", "eth0.vlan1")
    _, data = net.ask("eth0", b"BURNR\0")
    assert data[9:21] == v4("10.77.0.2") + v4("255.255.255.0") + v4("10.77.0.1")
    _, data = net.ask("eth0.vlan1", b"BURNR\0")
    assert data[9:13] == v4("10.79.0.2") and data[17:21] == v4("10.79.0.1")


def test_network_record_follows_system_files(net):
    """sshd_config, resolv.conf and the network file are read again for every answer."""
    cases = [
        # (sshd_config, resolv.conf, eth0 network file, flags, nameserver, static)
        ("#Subsystem\tsftp\tinternal-sftp\n", "nameserver fd00::1\nnameserver fd00::2\n", None, 0x08, bytes(4), True),
        ("Subsystem sftp internal-sftp\n", "search x\nnameserver 10.1.2.3\nnameserver 10.9.9.9\n",
         "[Network]\nDHCP=ipv4\n", 0x0A, v4("10.1.2.3"), False),
        ("", "", "[Network]\nDHCP=no\n", 0x0A, bytes(4), True),
    ]
    for sshd, resolv, network, flags, dns, static in cases:
        with open(net.sb.dev("/etc/ssh/sshd_config"), "w") as f:
            f.write(sshd)
        with open(net.sb.dev("/etc/resolv.conf"), "w") as f:
            f.write(resolv)
        if network is not None:
            with open(net.sb.dev("/etc/systemd/network/eth0.network"), "w") as f:
                f.write(network)
        _, data = net.ask("eth0", b"BURNR\0")
        assert data[147] == flags
        assert data[119:123] == (dns if static else bytes(4))
        assert data[143:147] == (bytes(4) if static else dns)
        assert (data[9:13] == v4("10.77.0.2")) == static
    # No network file at all counts as static.
    os.remove(net.sb.dev("/etc/systemd/network/eth0.network"))
    _, data = net.ask("eth0", b"BURNR\0")
    assert data[9:13] == v4("10.77.0.2") and data[131:135] == bytes(4)


def test_unrecognised_requests_are_closed_once_per_quiet_spell(net):
    rng = random.Random(20034)
    noise = [bytes(rng.randrange(256) for _ in range(rng.randrange(1, 200))) for _ in range(5)]
    # (Datagrams that are themselves answers get none: test_idprot_hostile.)
    requests = [b"IDREQ", b"IDUPDATESTATUSx", b"IDUPDATESTATUS ", b"", b"idreq\0", b"BURNR", b"CLOSE",
                b"X" * 3000] + [n for n in noise
                                if not n.startswith((b"IDREQ\0", b"BURNR\0", b"IDRSP", b"NETBR", b"CLOSED", b"{",
                                                     b"IDCKE"))]
    # The first gets "CLOSED"; the rest, from the same source within ten
    # seconds, nothing: a service that answers whatever it gets (and would
    # answer "CLOSED" again) gets one answer, never a loop.
    got = net.probe("eth1", LINKS["eth1"][0], requests, wait=0.5)
    assert [(i, a) for i, _, a in got] == [(0, b"CLOSED")]
    # Another source is answered: the silence is the sender's own.
    got = net.probe("eth1", LINKS["eth1"][1], [b"X" * 3000], wait=3)
    assert [a for _, _, a in got] == [b"CLOSED"]
    # "IDUPDATESTATUS" ends at the first NUL: what follows it does not count.
    _, answer = net.ask("eth1", b"IDUPDATESTATUS\0junk")
    assert answer.startswith(b"{\n\t\"totalProgress\":")


STATUS = re.compile(
    r'^\{\n\t"totalProgress":\t0,\n\t"bundleFilename":\t"",\n\t"componentProgress":\t0,\n'
    r'\t"currentActionDescription":\t"Idle",\n\t"currentActionCode":\t0,\n\t"elapsedTimeSecs":\t0,\n'
    r'\t"timestamp":\t(\d+),\n\t"timedate":\t"([^"]*)",\n\t"currentErrorDescription":\t"No Error",\n'
    r'\t"currentErrorNumber":\t0,\n\t"serverName":\t"([^"]*)",\n\t"serverRevision":\t"3.8",\n'
    r'\t"msgSeqNumber":\t(\d+)\n\}$')


def test_status_document(net):
    seen = []
    for link in ("eth0", "eth1", "eth0"):
        source, answer = net.ask(link, b"IDUPDATESTATUS")
        assert source == (LINKS[link][0], PORT)
        m = STATUS.match(answer.decode())
        assert m, answer
        stamp, timedate, server, seq = m.groups()
        assert time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(int(stamp))) == timedate
        assert abs(int(stamp) - time.time()) < 60
        assert server == net.d.daemon
        seen.append(int(seq))
    # One count over all interfaces.
    assert seen == [0, 1, 2]


def test_over_long_document_is_shortened_at_the_limit(net):
    """The document fills the datagram exactly: it goes out whole. One
    character more: the longest text value is cut, the document stays valid
    JSON with every member, and the datagram stays within 2,048 bytes."""
    fields = {k: k[0].upper() * 99 for k in ("platformname", "productname", "swrevision", "builddate",
                                             "swbuildnumber")}
    with open(net.sb.dev("/opt/kv2/etc/appname.config"), "w") as f:
        f.write("[appconfig]\n" + "".join(f"{k} = {v}\n" for k, v in fields.items()))

    def answer_with(version):
        with open(net.sb.dev("/image_info"), "w") as f:
            f.write(f"image_machine=kv2t-imx6dl\nimage_version={version}\n")
        return net.ask("eth0", b"IDREQ\0")[1]

    base = answer_with("v")
    room = 2048 - 5 - 1  # behind "IDRSP", one byte kept for the terminator
    version = "v" * (1 + room - (len(base) - 5))
    assert len(version) < 1000
    exact = answer_with(version)
    assert len(exact) == 5 + room
    assert dict(identification(exact))["image_version"] == version

    over = answer_with(version + "w")
    assert len(over) <= 5 + room
    pairs = identification(over)  # valid JSON
    assert [k for k, _ in pairs] == KEYS
    # The longest value loses the one character too many: the very document
    # that fitted.
    assert over == exact
    # Far over (the image version is 300 characters too long): the same.
    assert answer_with(version + "w" * 300) == exact
