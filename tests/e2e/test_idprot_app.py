"""Identification answers with the application stand-in on 127.0.0.1:4006:
the request it receives, the mapping of its settings into the answers, and
the exchange's deadline whatever the application does."""
import os

import pytest

from idprot_net import IdNet, identification

PATHS = {
    "backup": "6.1.ControlUnitPart_mainCard.2.Object_ipProtocol.TcpIpSetupId_write_backup:vBool",
    "ssl": "6.1.ControlUnitPart_mainCard.2.Object_ipProtocol.TcpIpSetupId_cfgOnlySSL:vBool",
    "ftps": "6.1.ControlUnitPart_mainCard.6.Object_ipProtocol.FtpSetupId_cfgEnableFtps:vBool",
    "remote": "6.1.ControlUnitPart_security.TOPLEVEL.Object_this.SecurityId_cfgRemoteService:vU8int2",
    "account": "6.1.ControlUnitPart_security.TOPLEVEL.Object_this.SecurityId_cfgAccountType:vBool",
}
ORDER = ["backup", "ssl", "ftps", "remote", "account"]


def result(**values):
    return [{"Path": PATHS[k], "Value": v} for k, v in values.items()]


@pytest.fixture
def net(make_sandbox, run_daemon):
    n = IdNet.start(make_sandbox, run_daemon, links=("eth0", "eth1"))
    yield n
    n.close()


def security(net):
    _, answer = net.ask("eth0", b"IDREQ\0", wait=6)
    doc = dict(identification(answer))
    return (doc["app_running"], doc["sftp_enable"], doc["force_ssl"], doc["digest_access"],
            doc.get("remote_authentication"))


def test_request_bytes_and_default_mapping(net):
    net.start_app(hold_pcomm=True)
    assert security(net) == (True, False, True, True, "Tacacs")
    body = ('{"jsonrpc":"2.0","method":"telvoRead","params":['
            + ",".join('{"Path":"%s"}' % PATHS[k] for k in ORDER) + '],"id":13}\n')
    header = ('{"ip":"127.0.0.1","clientip":"127.0.0.1","localip":"127.0.0.1","ssl":false,'
              '"filename":"/RPC/QUORVAN/NETSEC.JSON","logoff":false,"length":%d}\n' % len(body))
    assert net.app_requests() == [header + body]
    # The network record: write backup from the application, PCOMM port held
    # by it, sftp from sshd_config whatever the application says, software
    # revision instead of "no app found".
    _, data = net.ask("eth0", b"BURNR\0")
    assert data[147] == 0x40 | 0x02
    assert b", Rev: 2.4.1_1234, Nov 19 2024, OS:" in data[153:]
    # The application gone: defaults again.
    net.close()
    assert security(net) == (False, True, False, False, "None")


def test_mapping_of_values(net):
    net.start_app()
    cases = [
        # (result sent, (app_running, sftp, force_ssl, digest, remote))
        (result(backup=True, ssl=True, ftps=True, remote=1, account=True), (True, True, True, True, "Radius")),
        # Only the literal true counts for a Boolean.
        (result(ssl=1, ftps="true", account=0), (True, False, False, False, "Radius")),
        # Missing paths keep their earlier values.
        (result(remote=3), (True, False, False, False, "Ldap")),
        (result(ssl=True), (True, False, True, False, "Ldap")),
        # Remote authentication 4 or more leaves the member out; one byte is kept.
        (result(remote=4), (True, False, True, False, None)),
        (result(remote=258), (True, False, True, False, "Tacacs")),
        (result(remote=-1), (True, False, True, False, None)),
        (result(remote=0), (True, False, True, False, "None")),
        # Later elements overwrite earlier ones; a path only has to contain the name.
        ([{"Path": PATHS["ftps"], "Value": True}, {"Path": "x.FtpSetupId_cfgEnableFtps.y", "Value": False}],
         (True, False, True, False, "None")),
        ([{"Path": 5, "Value": True}, {"Value": True}, "not an object"], (True, False, True, False, "None")),
    ]
    for sent, expected in cases:
        net.set_app(result=sent)
        assert security(net) == expected, sent


MODES = [
    # (how the stand-in answers, whether its settings reach the answer)
    ("split", True), ("stall", False), ("close", False), ("no_newline", False), ("no_length", False),
    ("huge", False), ("not_json", False), ("no_result", False), ("garbage", False), ("silent", False),
    ("refuse", False),
]


def test_misbehaving_application_cannot_hold_the_answer(net):
    net.start_app()
    first = result(backup=True, ssl=True, ftps=True, remote=1, account=True)
    second = result(backup=False, ssl=False, ftps=False, remote=2, account=False)
    for mode, applied in MODES:
        net.set_app(result=first)
        before = (True, True, True, True, "Radius")
        assert security(net) == before, mode
        net.set_app(mode=mode, result=second)
        # The stand-in keeps the connection far longer than the probe waits:
        # an answer comes only because the exchange has its own deadline.
        after = security(net)
        assert after == ((True, False, False, False, "Tacacs") if applied else before), mode
        # The network record goes out as well, the write backup flag as it stands.
        _, data = net.ask("eth0", b"BURNR\0", wait=6)
        assert data[:5] == b"NETBR", mode
        assert bool(data[147] & 0x40) == (not applied), mode


NOBODY = 65534
DEFAULTS = (False, True, False, False, "None")
UNTRUSTED = "jsonClient_InitSocket, listener on port 4006 belongs to uid %d, not trusted\n"


def untrusted_lines(net):
    return [(p, t) for p, _, t in net.d.syslog if t.startswith("jsonClient_InitSocket, listener on port")]


def settle(net):
    """Waits until the daemon's lines of one more network record reached the
    log: every line of the requests before it is there too."""
    start = len(net.d.syslog)
    _, data = net.ask("eth0", b"BURNR\0", wait=6)
    net.d.wait_syslog(r"^IDPacket_createIDresponse, isStatic", start=start)
    return data


def test_listener_of_another_user_is_not_the_application(net):
    # Whoever holds port 4006 while the application is down: nobody's listener
    # reads as no application, its settings never reach an answer, and the
    # request is never sent to it.
    setting = net.sb.dev("/etc/kvupdaterd/app-user")
    net.start_app(uid=NOBODY)
    assert security(net) == DEFAULTS
    assert security(net) == DEFAULTS
    data = settle(net)
    assert data[147] & 0x40 == 0 and b"no app found" in data[153:]
    assert untrusted_lines(net) == [(3, UNTRUSTED % NOBODY)]
    assert set(net.app_requests()) == {""}

    # Named by the device setting, in a file of root's: the application.
    os.makedirs(os.path.dirname(setting), exist_ok=True)
    with open(setting, "w") as f:
        f.write("nobody\n")
    assert security(net) == (True, False, True, True, "Tacacs")
    assert net.app_requests()[-1].startswith('{"ip":"127.0.0.1"')

    # The same file of another user's, or a link to it, names nobody: not
    # trusted again, and logged again after the trusted exchange between.
    os.chown(setting, 54321, 54321)
    assert security(net) == DEFAULTS
    os.chown(setting, 0, 0)
    os.rename(setting, setting + ".real")
    os.symlink(setting + ".real", setting)
    assert security(net) == DEFAULTS
    settle(net)
    assert untrusted_lines(net) == [(3, UNTRUSTED % NOBODY)] * 2

    # Root's own listener is the application whatever the setting says.
    net.close()
    net.start_app()
    assert security(net) == (True, False, True, True, "Tacacs")


def test_listener_of_another_user_that_closes_at_once(net):
    # A listener that takes the connection and closes it before its owner can
    # be seen is judged by the listener's owner: nobody's is no application.
    net.start_app(uid=NOBODY, mode="refuse")
    assert security(net) == DEFAULTS
    settle(net)
    assert untrusted_lines(net) == [(3, UNTRUSTED % NOBODY)]
