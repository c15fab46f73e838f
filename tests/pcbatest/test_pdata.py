"""Production data in the simulated fuse words: what each set step burns,
what the get steps read back, and that a programmed guard word or wrong data
burns nothing."""
import pytest

WRONG_DATA = "Wrong test data specified -> \n"
IO_FAILURE = "Unable to open, read or write to file -> \n"
FRESH_ETC = {
    "etc/hostname": "kv_default\n",
    "etc/hostapd.conf": "interface=wlan0\nssid=kv_default\nchannel=6\n",
    "etc/sno": "",
}


def etc_files(board):
    return {name: board.read_file(name) for name in FRESH_ETC}


@pytest.mark.parametrize("step, data, burnt, get_step, read_back", [
    ("setMAC0", "02a0c1c12345", [("MAC0", "0xc1c12345"), ("MAC1", "0x02a0")], "getMAC0", "02a0c1c12345"),
    ("setMAC0", "02A0C1C1234F", [("MAC0", "0xC1C1234F"), ("MAC1", "0x02A0")], "getMAC0", "02a0c1c1234f"),
    ("setMAC1", "0a1b2c3d4e5f", [("MAC1", "0x4e5f0000"), ("MAC2", "0x0a1b2c3d")], "getMAC1", "0a1b2c3d4e5f"),
    ("setPN", "318400.520", [("SW_GP2", "0x4dbc0"), ("SW_GP3", "0x02080000")], "getPN", "318400.520"),
    ("setPN", "318400.051", [("SW_GP2", "0x4dbc0"), ("SW_GP3", "0x00330000")], "getPN", "318400.51"),
    ("setPN", "318400.0", [("SW_GP2", "0x4dbc0"), ("SW_GP3", "0x00000000")], "getPN", "318400"),
    ("setPN", "281474976710655.65535", [("SW_GP2", "0xffffffff"), ("SW_GP3", "0xffffffff")], "getPN",
     "281474976710655.65535"),
    ("setVN", "1.2", [("SW_GP4", "0x10002")], "getVN", "1.2"),
    ("setVN", "65535.65535", [("SW_GP4", "0xffffffff")], "getVN", "65535.65535"),
    ("setSN", "01234567898", [("SW_GP0", "0x499602da"), ("SW_GP1", "0x0")], "getSN", "1234567898"),
    ("setSN", "18446744073709551615", [("SW_GP0", "0xffffffff"), ("SW_GP1", "0xffffffff")], "getSN",
     "18446744073709551615"),
])
def test_set_step_burns_its_words_and_reads_back(board, step, data, burnt, get_step, read_back):
    assert board.run("PDATA", step, data) == (0, "PDATA %s %s\n" % (step, data), "")
    assert board.fuse_writes == burnt
    assert board.run("PDATA", get_step) == (0, "PDATA %s %s\n" % (get_step, read_back), "")
    assert board.fuse_writes == []


@pytest.mark.parametrize("step, value", [
    ("getMAC0", "000000000000"), ("getMAC1", "000000000000"), ("getPN", "0"), ("getVN", "0.0"), ("getSN", "0"),
])
def test_get_steps_on_fresh_fuses(board, step, value):
    assert board.run("PDATA", step) == (0, "PDATA %s %s\n" % (step, value), "")


@pytest.mark.parametrize("fuses, step, value", [
    ({"MAC1": 0x4e5f02a0, "MAC0": 0xc1c12345, "MAC2": 0x0a1b2c3d}, "getMAC0", "02a0c1c12345"),
    ({"MAC1": 0x4e5f02a0, "MAC0": 0xc1c12345, "MAC2": 0x0a1b2c3d}, "getMAC1", "0a1b2c3d4e5f"),
    ({"SW_GP2": 0x4dbc0, "SW_GP3": 0x0208ffff}, "getPN", "281470682061760.520"),
    ({"SW_GP4": 0x00030000}, "getVN", "3.0"),
    ({"SW_GP0": 0x00000001, "SW_GP1": 0x00000001}, "getSN", "4294967297"),
])
def test_get_steps_decode_programmed_words(board, fuses, step, value):
    for word, bits in fuses.items():
        board.program_fuse(word, bits)
    assert board.run("PDATA", step) == (0, "PDATA %s %s\n" % (step, value), "")


@pytest.mark.parametrize("guard, step, data", [
    ("MAC0", "setMAC0", "02a0c1c12345"),
    ("MAC2", "setMAC1", "0a1b2c3d4e5f"),
    ("SW_GP2", "setPN", "318400.520"),
    ("SW_GP4", "setVN", "1.2"),
    ("SW_GP0", "setSN", "01234567898"),
])
def test_programmed_guard_word_refuses_and_changes_nothing(board, guard, step, data):
    board.program_fuse(guard, 0x80)
    before = dict(board.fuses)
    assert board.run("PDATA", step, data) == (0, IO_FAILURE + "PDATA %s \n" % step, "")
    assert board.fuse_writes == [] and board.fuses == before
    # A refused serial number leaves host name, access point and serial file
    # matching the fuses.
    assert etc_files(board) == FRESH_ETC


def test_set_sn_names_the_host_after_the_serial(board):
    assert board.run("PDATA", "setSN", "01234567898")[:2] == (0, "PDATA setSN 01234567898\n")
    assert etc_files(board) == {
        "etc/hostname": "kv_67898\n",
        "etc/hostapd.conf": "interface=wlan0\nssid=kv_67898\nchannel=6\n",
        "etc/sno": "01234567898\n",
    }


@pytest.mark.parametrize("first, second", [
    (("setMAC0", "02a0c1c12345"), ("setMAC1", "0a1b2c3d4e5f")),
    (("setMAC1", "0a1b2c3d4e5f"), ("setMAC0", "02a0c1c12345")),
])
def test_both_mac_addresses_share_their_word(board, first, second):
    assert board.run("PDATA", *first)[0] == 0
    assert board.run("PDATA", *second)[0] == 0
    assert board.fuses["MAC1"] == 0x4e5f02a0
    assert board.run("PDATA", "getMAC0")[1] == "PDATA getMAC0 02a0c1c12345\n"
    assert board.run("PDATA", "getMAC1")[1] == "PDATA getMAC1 0a1b2c3d4e5f\n"


@pytest.mark.parametrize("step, data", [
    ("setMAC0", "02a0c1c1234"),
    ("setMAC0", "02a0c1c123456"),
    ("setMAC0", "02a0c1c1234g"),
    ("setMAC1", "02a0c1;12345"),
    ("setMAC1", ""),
    ("setPN", "3184."),
    ("setPN", "318400520"),
    ("setPN", "318400.65536"),
    ("setPN", "281474976710656.1"),
    ("setPN", "318400.5.2"),
    ("setPN", "318400.-1"),
    ("setPN", ".318400"),
    ("setPN", "318400.520;date"),
    ("setVN", ""),
    ("setVN", "1"),
    ("setVN", "1.65536"),
    ("setVN", "65536.0"),
    ("setVN", "1.2.3"),
    ("setVN", "1.2 > x"),
    ("setSN", "1234567898"),
    ("setSN", "1234567898a"),
    ("setSN", "18446744073709551616"),
    ("setSN", "01234567898;date"),
    ("getMAC2", ""),
    ("setmac0", "02a0c1c12345"),
    ("", ""),
])
def test_wrong_data_or_step_burns_nothing(board, step, data):
    assert board.run("PDATA", step, data) == (0, WRONG_DATA + "PDATA %s \n" % step, "")
    assert board.fuse_writes == []
    assert etc_files(board) == FRESH_ETC
    assert board.last_journal() == []
