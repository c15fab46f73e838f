"""Production data in the simulated fuse words: what each set step burns,
what the get steps read back, and that programmed, unreadable or locked words
and wrong data never let two values mix in one field."""
import itertools
import os

import pytest

WRONG_DATA = "Wrong test data specified -> \n"
IO_FAILURE = "Unable to open, read or write to file -> \n"
PARTIAL = "Board partly written, step not finished -> \n"
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


@pytest.mark.parametrize("word, bits, step, data", [
    ("MAC0", 0x80, "setMAC0", "02a0c1c12345"),
    ("MAC1", 0x80, "setMAC0", "02a0c1c12345"),          # its half of the shared word
    ("MAC2", 0x80, "setMAC1", "0a1b2c3d4e5f"),
    ("MAC1", 0x800000, "setMAC1", "0a1b2c3d4e5f"),
    ("SW_GP2", 0x80, "setPN", "318400.520"),
    ("SW_GP3", 0x80, "setPN", "318400.520"),
    ("SW_GP4", 0x80, "setVN", "1.2"),
    ("SW_GP0", 0x80, "setSN", "01234567898"),
    ("SW_GP1", 0x80, "setSN", "01234567898"),
])
def test_programmed_word_refuses_and_changes_nothing(board, word, bits, step, data):
    board.program_fuse(word, bits)
    before = dict(board.fuses)
    assert board.run("PDATA", step, data) == (0, IO_FAILURE + "PDATA %s \n" % step, "")
    assert board.fuse_writes == [] and board.fuses == before
    # A refused serial number leaves host name, access point and serial file
    # matching the fuses.
    assert etc_files(board) == FRESH_ETC


def burns(board, step, data):
    """Runs a set step: True when it burnt its value, False when it was
    refused, and then nothing at all changed."""
    before = dict(board.fuses)
    status, out, _ = board.run("PDATA", step, data)
    assert status == 0
    if out == "PDATA %s %s\n" % (step, data):
        return True
    assert out == IO_FAILURE + "PDATA %s \n" % step
    assert board.fuse_writes == [] and board.fuses == before
    return False


# Per item, three values (data, read back) whose bits lie in different words
# of the field: the first word only, the second only, both.
FIELD_VALUES = [
    ("setMAC0", "getMAC0", [("000012345678",) * 2, ("02a000000000",) * 2, ("02a0c1c12345",) * 2]),
    ("setMAC1", "getMAC1", [("0a1b2c3d0000",) * 2, ("000000004e5f",) * 2, ("0a1b2c3d4e5f",) * 2]),
    ("setSN", "getSN", [("00000000001", "1"), ("04294967296", "4294967296"),
                        ("18446744073709551615",) * 2]),
    ("setPN", "getPN", [("318400.0", "318400"), ("4294967296.0", "4294967296"),
                        ("4295285696.520",) * 2]),
    ("setVN", "getVN", [("1.0",) * 2, ("0.2",) * 2, ("1.2",) * 2]),
]


@pytest.mark.parametrize("set_step, get_step, values", FIELD_VALUES)
def test_no_second_value_mixes_into_a_field(board, set_step, get_step, values):
    # Each ordered pair on fresh fuses: the first value burns, the second is
    # refused whichever words it would write, and the field reads the first.
    for (first, read_back), (second, _) in itertools.permutations(values, 2):
        board.reset_fuses()
        assert burns(board, set_step, first)
        assert not burns(board, set_step, second)
        assert board.run("PDATA", get_step)[1] == "PDATA %s %s\n" % (get_step, read_back)


@pytest.mark.parametrize("steps, read_back", [
    # the two addresses own one half of MAC1 each, in either order, and
    # neither can then be set again
    ([("setMAC1", "0a1b2c3d4e5f", True), ("setMAC0", "02a0c1c12345", True),
      ("setMAC0", "ffff00000000", False), ("setMAC1", "00000000ffff", False)],
     {"getMAC0": "02a0c1c12345", "getMAC1": "0a1b2c3d4e5f"}),
    ([("setMAC0", "02a000000000", True), ("setMAC1", "000000004e5f", True),
      ("setMAC1", "0a1b2c3d0000", False), ("setMAC0", "0000c1c12345", False)],
     {"getMAC0": "02a000000000", "getMAC1": "000000004e5f"}),
    # a value of zeros burns no bit and leaves the field to the next step
    ([("setMAC0", "000000000000", True), ("setMAC0", "02a0c1c12345", True)], {"getMAC0": "02a0c1c12345"}),
    ([("setVN", "0.0", True), ("setVN", "1.2", True), ("setVN", "0.0", False)], {"getVN": "1.2"}),
])
def test_set_sequences_burn_each_field_once(board, steps, read_back):
    assert [burns(board, step, data) for step, data, _ in steps] == [ok for _, _, ok in steps]
    for step, value in read_back.items():
        assert board.run("PDATA", step)[1] == "PDATA %s %s\n" % (step, value)


@pytest.mark.parametrize("locked, unreadable, step, data, burnt, error", [
    # a word that cannot be read counts as programmed: nothing is burnt
    (None, ("MAC1", ""), "setMAC0", "02a0c1c12345", [], IO_FAILURE),
    (None, ("MAC1", None), "setMAC1", "0a1b2c3d4e5f", [], IO_FAILURE),
    (None, ("SW_GP3", "garbage\n"), "setPN", "318400.520", [], IO_FAILURE),
    (None, ("SW_GP1", "0x\n"), "setSN", "01234567898", [], IO_FAILURE),
    (None, ("SW_GP4", None), "setVN", "1.2", [], IO_FAILURE),
    # a write that does not land fails the step, even when it would have
    # burnt no bit, and the host name stays as it was; once an earlier word
    # was burnt, the board is partly written
    ("SW_GP2", None, "setPN", "318400.520", [], IO_FAILURE),
    ("MAC0", None, "setMAC0", "02a000000000", [], IO_FAILURE),
    ("MAC1", None, "setMAC0", "02a0c1c12345", [("MAC0", "0xc1c12345")], PARTIAL),
    ("MAC1", None, "setMAC0", "000000000000", [("MAC0", "0x00000000")], IO_FAILURE),
    ("SW_GP1", None, "setSN", "01234567898", [("SW_GP0", "0x499602da")], PARTIAL),
])
def test_unreadable_or_locked_word_fails_the_step(board, locked, unreadable, step, data, burnt, error):
    if locked:
        board.lock_fuse(locked)
    if unreadable:
        board.spoil_fuse(*unreadable)
    status, out, _ = board.run("PDATA", step, data)
    assert (status, out) == (0, error + "PDATA %s \n" % step)
    assert board.fuse_writes == burnt
    assert etc_files(board) == FRESH_ETC


def etc_leftovers(board):
    return [name for name in os.listdir(os.path.join(board.sim, "etc")) if name.endswith((".new", ".old"))]


def test_set_sn_names_the_host_after_the_serial(board):
    # The access point's other lines and its mode stay; a name that straddles
    # two reads of the file is renamed too.
    head = "# " + "x" * (4096 - 2 - 1 - len("ssid=kv_de")) + "\nssid=kv_default\n"
    board.write_file("etc/hostapd.conf", head + "bridge=kv_defaultkv_default\nchannel=6\n")
    os.chmod(os.path.join(board.sim, "etc/hostapd.conf"), 0o640)
    assert board.run("PDATA", "setSN", "01234567898")[:2] == (0, "PDATA setSN 01234567898\n")
    assert etc_files(board) == {
        "etc/hostname": "kv_67898\n",
        "etc/hostapd.conf": head.replace("kv_default", "kv_67898") + "bridge=kv_67898kv_67898\nchannel=6\n",
        "etc/sno": "01234567898\n",
    }
    assert os.stat(os.path.join(board.sim, "etc/hostapd.conf")).st_mode & 0o7777 == 0o640
    assert etc_leftovers(board) == []


def test_set_sn_cut_off_before_its_files_is_finished_by_running_it_again(board):
    named = {"etc/hostname": "kv_67898\n", "etc/hostapd.conf": "interface=wlan0\nssid=kv_67898\nchannel=6\n",
             "etc/sno": "01234567898\n"}
    board.etc_readonly = True
    assert board.run("PDATA", "setSN", "01234567898")[:2] == (0, PARTIAL + "PDATA setSN \n")
    assert board.fuses["SW_GP0"] == 0x499602da and etc_files(board) == FRESH_ETC
    board.etc_readonly = False
    # the same serial burns nothing and writes the files, as often as asked;
    # another serial is still refused and changes nothing
    for data, out in [("01234567898", "PDATA setSN 01234567898\n"), ("01234567899", IO_FAILURE + "PDATA setSN \n"),
                      ("01234567898", "PDATA setSN 01234567898\n")]:
        assert board.run("PDATA", "setSN", data)[:2] == (0, out)
        assert board.fuse_writes == [] and etc_files(board) == named
    assert etc_leftovers(board) == []


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
