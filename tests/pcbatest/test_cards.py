"""INPUT, OUTPUT and CARDINFO on the simulated board's cards."""
import pytest

WRONG_COMMAND = "Wrong test command specified -> \n"
WRONG_DATA = "Wrong test data specified -> \n"
IO_FAILURE = "Unable to open, read or write to file -> \n"
PARTIAL = "Board partly written, step not finished -> \n"


# ---- INPUT ------------------------------------------------------------------

def test_read_calib_gives_the_calibration_points(board):
    board.gateway.set_calibration("sense", 1, 7500, 59778, 0, 0)
    assert board.run("INPUT", "readCalib", "sense", "1") == (0, "INPUT readCalib sense 1 7500 59778 0 0\n", "")


@pytest.mark.parametrize("calibration, raw, value", [
    ((7500, 59778, 0, 0), 30000, 3763),          # 3763.92 truncated
    ((1000, 2000, 500, 1000), 1500, 750),
    ((-100, 1000, 0, 0), 333, -33),              # -33.3 truncated toward zero
    ((1000, 2000, 500, 1000), 0, 0),             # below the low point: 500 - 500
    ((400, 500, 250, 500), 900, 250),            # equal raw points: the low value
    # beyond 16 bits, over the whole raw range
    ((30000, 1, 0, 0), 3, 90000),
    ((30000, 30000, 0, 0), 60000, 60000),
    ((32767, 1, -32768, 0), 65535, 4294803456),  # single precision: 65535 * 65535 rounds to 4294836224
    ((-32768, 1, 32767, 0), 65535, -4294803456),
])
def test_read_value_computes_and_truncates(board, calibration, raw, value):
    board.gateway.set_calibration("sense", 7, *calibration)
    board.gateway.registers[6] = raw
    assert board.run("INPUT", "readValue", "sense", "7") == (0, "INPUT readValue sense 7 %d\n" % value, "")


@pytest.mark.parametrize("card, channel, register", [
    ("sense", "1", 0), ("sense", "11", 10), ("io", "1", 11), ("io", "4", 14),
])
def test_read_raw_reads_the_channel_register(board, card, channel, register):
    board.gateway.registers[register] = 40000 + register
    assert board.run("INPUT", "readRaw", card, channel) == (0, "INPUT readRaw %s %s %d\n" % (card, channel,
                                                                                          40000 + register), "")


@pytest.mark.parametrize("args, out", [
    (("INPUT", "readValue", "main", "1"), WRONG_COMMAND + "INPUT readValue main 1 \n"),
    (("INPUT", "readCalib", "card", "1"), WRONG_COMMAND + "INPUT readCalib card 1 \n"),
    (("INPUT", "read", "sense", "1"), WRONG_COMMAND + "INPUT read sense 1 \n"),
])
def test_input_cards_outside_the_table(board, args, out):
    assert board.run(*args) == (0, out, "")
    assert board.gateway.requests() == []


# ---- OUTPUT -----------------------------------------------------------------

# Register writes "reg=value"; "|" is the 2 ms settling wait, "T" the given time.
SENSE_SEQUENCES = {
    (1, 0): "20=0 19=0 15=0 16=0",
    (2, 0): "20=0 19=0 17=0 18=0",
    (3, 0): "21=0",
    (4, 0): "22=0",
    (1, 1): "20=0 19=1 15=0 16=1",
    (2, 1): "20=0 19=1 17=0 18=1",
    (3, 1): "21=1",
    (4, 1): "22=1",
    (1, 2): "19=0 20=1 | 16=0 15=1 T 19=0 20=0 | 16=0 15=0",
    (2, 2): "19=0 20=1 | 18=0 17=1 T 19=0 20=0 | 18=0 17=0",
    (3, 2): "21=0 | 19=0 20=1 T 21=0 | 19=0 20=0",
    (4, 2): "22=0 | 19=0 20=1 T 22=0 | 19=0 20=0",
    (1, 3): "20=0 19=1 | 15=0 16=1 T 20=0 19=0 | 15=0 16=0",
    (2, 3): "20=0 19=1 | 17=0 18=1 T 20=0 19=0 | 17=0 18=0",
    (3, 3): "21=1 | 20=0 19=1 T 20=0 19=0 | 21=0",
    (4, 3): "22=1 | 20=0 19=1 T 20=0 19=0 | 22=0",
}


def expected_sequence(text, time_ms):
    """[(register, value, least gap before this write in seconds)]"""
    out = []
    wait = 0.0
    for item in text.split():
        if item == "|":
            wait = 0.002
        elif item == "T":
            wait = time_ms / 1000.0
        else:
            reg, value = item.split("=")
            out.append((int(reg), int(value), wait))
            wait = 0.0
    return out


@pytest.mark.parametrize("channel, activation", sorted(SENSE_SEQUENCES))
def test_sense_outputs_write_their_register_sequence(board, channel, activation):
    time_ms = 500 if (channel, activation) == (3, 2) else 20
    args = ("OUTPUT", "set", "sense", str(channel), str(activation), str(time_ms))
    assert board.run(*args) == (0, " ".join(args[:5]) + " %d\n" % time_ms, "")
    writes = board.gateway.register_writes()
    expected = expected_sequence(SENSE_SEQUENCES[(channel, activation)], time_ms)
    assert [(reg, value) for _, reg, value in writes] == [(reg, value) for reg, value, _ in expected]
    for i, (_, _, wait) in enumerate(expected):
        if wait:
            assert writes[i][0] - writes[i - 1][0] >= wait


@pytest.mark.parametrize("channel, activation, register", [("1", "1", 23), ("2", "0", 24), ("4", "3", 26)])
def test_io_outputs_write_register_22_plus_channel(board, channel, activation, register):
    assert board.run("OUTPUT", "set", "io", channel, activation, "0") == \
        (0, "OUTPUT set io %s %s 0\n" % (channel, activation), "")
    assert [(reg, value) for _, reg, value in board.gateway.register_writes()] == [(register, int(activation))]


def led(name):
    return "/sys/class/leds/%s-led/brightness" % name


@pytest.mark.parametrize("channel, activation, path, written", [
    ("1", "1", led("red"), "1"),
    ("2", "0", led("yellow"), "0"),
    ("3", "1", led("green"), "1"),          # the help calls it red; it is the green LED
    ("3", "3", led("green"), "3"),          # the activation's digit; the LED is on
])
def test_main_outputs_are_the_leds(board, channel, activation, path, written):
    assert board.run("OUTPUT", "set", "main", channel, activation, "0") == \
        (0, "OUTPUT set main %s %s 0\n" % (channel, activation), "")
    assert board.read_sys(path) == written
    assert board.gateway.requests() == []


@pytest.mark.parametrize("args, out", [
    (("OUTPUT", "set", "Main", "1", "1", "0"), WRONG_COMMAND + "OUTPUT set Main 1 \n"),
    (("OUTPUT", "get", "io", "1", "1", "0"), WRONG_COMMAND + "OUTPUT get io 1 \n"),
])
def test_outputs_outside_the_table_write_nothing(board, args, out):
    assert board.run(*args) == (0, out, "")
    assert board.gateway.requests() == []
    assert [board.read_sys(led(n)) for n in ("red", "yellow", "green")] == ["", "", ""]


@pytest.mark.parametrize("args, requests", [
    (("OUTPUT", "set", "io", "3", "1", "0"), 1),
    (("OUTPUT", "set", "sense", "2", "0", "0"), 4),
    (("OUTPUT", "set", "sense", "4", "1", "0"), 1),
    # a latched pulse still tries to release its coils after a failed write
    (("OUTPUT", "set", "sense", "3", "2", "5"), 6),
    (("OUTPUT", "set", "sense", "1", "3", "5"), 8),
    (("OUTPUT", "set", "main", "1", "1", "0"), None),     # the LED file is missing
])
def test_output_reports_a_failed_write(board, args, requests):
    if requests is None:
        board.remove_sys(led("red"))
    else:
        board.gateway.absent = True
    assert board.run(*args) == (0, IO_FAILURE + " ".join(args) + "\n", "")
    assert len(board.gateway.requests()) == (requests or 0)


# The station's timeout ends the tool during a latched pulse: the pulse ends
# early, the coils are still released, and the step reports that the relay
# may have switched.
@pytest.mark.parametrize("signal, channel, activation, coil_on", [
    ("SIGTERM", 1, 2, (15, 1)),
    ("SIGINT", 2, 3, (18, 1)),
    ("SIGHUP", 3, 2, (20, 1)),
])
def test_a_stop_signal_during_a_pulse_still_releases_the_coils(board, signal, channel, activation, coil_on):
    import signal as signals

    def stop_after_coil_on(proc):
        if coil_on in [(reg, value) for _, reg, value in board.gateway.register_writes()] and not sent:
            proc.send_signal(getattr(signals, signal))
            sent.append(signal)
    sent = []
    args = ("OUTPUT", "set", "sense", str(channel), str(activation), "1000")
    assert board.run(*args, during=stop_after_coil_on) == (0, PARTIAL + " ".join(args) + "\n", "")
    assert sent
    expected = expected_sequence(SENSE_SEQUENCES[(channel, activation)], 1000)
    assert [(reg, value) for _, reg, value in board.gateway.register_writes()] == [(r, v) for r, v, _ in expected]
    assert {reg: board.gateway.registers[reg] for reg, _, _ in expected} == {reg: 0 for reg, _, _ in expected}


# ---- CARDINFO ---------------------------------------------------------------

FILLER = bytes(range(0x80, 0x80 + 55))


@pytest.mark.parametrize("element, values, echo, get, field", [
    ("DS", ["Sense card 48V"], "Sense card 48V ", "Sense card 48V", (0, b"Sense card 48V".ljust(27, b"\0"))),
    ("PN", ["318400.520"], "318400.520 ", "318400.520", (27, b"318400.520\0\0")),
    ("VN", ["1.2"], "1.2 ", "1.2", (45, b"1.2\0\0\0")),
    ("SN", ["123456789012"], "123456789012 ", "123456789012", (39, bytes.fromhex("123456789012"))),
    ("SN", ["12345"], "12345 ", "000000012345", (39, bytes.fromhex("000000012345"))),
    ("PD", ["2024", "5", "7"], "2024 5 7 ", "2024 05 07", (51, b"\xe8\x07\x05\x07")),
])
def test_set_then_get(board, element, values, echo, get, field):
    board.gateway.eeprom["io"][0x14:0x14 + 55] = FILLER
    assert board.run("CARDINFO", "set", "io", element, *values) == (0, "CARDINFO set io %s %s\n" % (element, echo), "")
    offset, stored = field
    block = bytes(board.gateway.eeprom["io"][0x14:0x14 + 55])
    assert block[offset:offset + len(stored)] == stored
    assert block[:offset] + block[offset + len(stored):] == FILLER[:offset] + FILLER[offset + len(stored):]
    assert board.run("CARDINFO", "get", "io", element) == (0, "CARDINFO get io %s %s\n" % (element, get), "")


@pytest.mark.parametrize("element, text", [
    ("DS", "Measurement card 48V 200A x"),    # 27 characters, no terminating zero
    ("PN", "318400.52099"),
    ("VN", "1.2.34"),
])
def test_full_text_field_prints_only_its_own_bytes(board, element, text):
    board.gateway.eeprom["io"][0x14:0x14 + 55] = FILLER      # the next fields hold no zero byte
    assert board.run("CARDINFO", "set", "io", element, text)[1] == "CARDINFO set io %s %s \n" % (element, text)
    assert board.run("CARDINFO", "get", "io", element) == (0, "CARDINFO get io %s %s\n" % (element, text), "")


@pytest.mark.parametrize("serial", ["12345678901a", "0x1234", "1234567890123", "", "12 34", "+1234"])
def test_serial_number_other_than_up_to_12_digits_is_refused(board, serial):
    board.gateway.eeprom["io"][0x14:0x14 + 55] = FILLER
    assert board.run("CARDINFO", "set", "io", "SN", serial) == (0, WRONG_DATA + "CARDINFO set io SN \n", "")
    assert board.gateway.requests() == []
    assert bytes(board.gateway.eeprom["io"][0x14:0x14 + 55]) == FILLER


@pytest.mark.parametrize("card, register_value, out", [
    ("sense", 0x0203, "CARDINFO get sense SW 515\n"),
    ("io", 0x0203, "CARDINFO get io SW 0\n"),
])
def test_software_version(board, card, register_value, out):
    board.gateway.registers[50] = register_value
    assert board.run("CARDINFO", "get", card, "SW") == (0, out, "")


# CARDINFO set reads the block back: a card that kept its bytes, or a gateway
# that dropped off before any byte went out, left the block as it was; one
# that kept only some of them, or dropped off after changing pairs went out,
# did not.
@pytest.mark.parametrize("fault, out, kept_from", [
    ({"write_protect": 0x14}, IO_FAILURE, 0),
    ({"write_protect": 0x18}, PARTIAL, 4),
    ({"fail_after": 8}, IO_FAILURE, 0),          # the block read, the first write refused
    ({"fail_after": 10}, PARTIAL, 4),
])
def test_cardinfo_set_is_read_back(board, fault, out, kept_from):
    board.gateway.eeprom["io"][0x14:0x14 + 55] = FILLER
    for key, value in fault.items():
        setattr(board.gateway, key, value)
    assert board.run("CARDINFO", "set", "io", "DS", "Sense card") == (0, out + "CARDINFO set io DS Sense card \n", "")
    new = b"Sense card".ljust(27, b"\0") + FILLER[27:]
    assert bytes(board.gateway.eeprom["io"][0x14:0x14 + 55]) == new[:kept_from] + FILLER[kept_from:]


@pytest.mark.parametrize("args, absent, out", [
    (("CARDINFO", "set", "io", "SN", "123456789012"), True, IO_FAILURE + "CARDINFO set io SN \n"),
    (("CARDINFO", "set", "sense", "SW", "7"), False, WRONG_COMMAND + "CARDINFO set sense SW \n"),
    (("CARDINFO", "set", "main", "DS", "x"), False, WRONG_COMMAND + "CARDINFO set main DS \n"),
    (("CARDINFO", "get", "main", "SN"), False, WRONG_COMMAND + "CARDINFO get main SN \n"),
])
def test_cardinfo_refusals_write_nothing(board, args, absent, out):
    board.gateway.absent = absent
    assert board.run(*args) == (0, out, "")
    assert [r for r in board.gateway.requests() if r[4] == 1] == []


# ---- invariants on the real binary ---------------------------------------------

from conftest import unchanged_by_refusal  # noqa: E402

# Every argument is parsed whole and within its step's range, or the step
# answers with the data error line and its echo and the board stays as it
# was: nothing written to a file, fuse, card register or EEPROM, no command
# run, nothing sent. A line feed in an argument never splits the line.
ARGUMENT_REFUSALS = [
    (("INPUT", "readRaw", "sense", "257"), "INPUT readRaw sense 257 \n"),      # no modulo 256: not channel 1
    (("INPUT", "readValue", "sense", "12"), "INPUT readValue sense 12 \n"),
    (("INPUT", "readRaw", "io", "5"), "INPUT readRaw io 5 \n"),
    (("INPUT", "readCalib", "io", "0"), "INPUT readCalib io 0 \n"),
    (("INPUT", "readRaw", "sense", "1x"), "INPUT readRaw sense 1x \n"),
    (("INPUT", "readRaw", "sense", " 1"), "INPUT readRaw sense  1 \n"),
    (("INPUT", "readRaw", "sense", "1\n"), "INPUT readRaw sense 1? \n"),
    (("INPUT", "readRaw", "sense"), "INPUT readRaw sense  \n"),
    (("OUTPUT", "set", "main", "257", "1", "0"), "OUTPUT set main 257 \n"),   # not the red LED
    (("OUTPUT", "set", "main", "4", "1", "0"), "OUTPUT set main 4 \n"),
    (("OUTPUT", "set", "io", "1", "200", "0"), "OUTPUT set io 1 \n"),        # 200 never reaches a register
    (("OUTPUT", "set", "io", "1", "257", "0"), "OUTPUT set io 1 \n"),
    (("OUTPUT", "set", "io", "5", "1", "0"), "OUTPUT set io 5 \n"),
    (("OUTPUT", "set", "io", "1", "+1", "0"), "OUTPUT set io 1 \n"),
    (("OUTPUT", "set", "io", "1", "1"), "OUTPUT set io 1 \n"),               # no time given
    (("OUTPUT", "set", "sense", "0", "1", "0"), "OUTPUT set sense 0 \n"),
    (("OUTPUT", "set", "sense", "1", "4", "0"), "OUTPUT set sense 1 \n"),
    (("OUTPUT", "set", "sense", "3", "2", "0"), "OUTPUT set sense 3 \n"),    # a latched pulse of no time
    (("OUTPUT", "set", "sense", "3", "2", "-5"), "OUTPUT set sense 3 \n"),
    (("OUTPUT", "set", "sense", "1", "3", "1001"), "OUTPUT set sense 1 \n"),  # beyond the coil-safe second
    (("OUTPUT", "set", "sense", "1", "3", "4294967297"), "OUTPUT set sense 1 \n"),
    (("CARDINFO", "set", "io", "PD", "2024", "13", "7"), "CARDINFO set io PD \n"),
    (("CARDINFO", "set", "io", "PD", "2023", "2", "29"), "CARDINFO set io PD \n"),
    (("CARDINFO", "set", "io", "PD", "2024", "4", "31"), "CARDINFO set io PD \n"),
    (("CARDINFO", "set", "io", "PD", "2024", "5"), "CARDINFO set io PD \n"),
    (("CARDINFO", "set", "io", "PD", "0", "5", "7"), "CARDINFO set io PD \n"),
    (("CARDINFO", "set", "io", "PD", "65537", "5", "7"), "CARDINFO set io PD \n"),
    (("CARDINFO", "set", "io", "PD", "2024", "5", "7x"), "CARDINFO set io PD \n"),
    (("CARDINFO", "set", "io", "PN", "318400.520123"), "CARDINFO set io PN \n"),  # 13 characters, 12 stored
    (("CARDINFO", "set", "io", "DS", "x" * 28), "CARDINFO set io DS \n"),
    (("CARDINFO", "set", "io", "VN", "1.2.345"), "CARDINFO set io VN \n"),
    (("CARDINFO", "set", "io", "VN", ""), "CARDINFO set io VN \n"),
    (("CARDINFO", "set", "io", "DS", "Sense\ncard"), "CARDINFO set io DS \n"),
    (("CARDINFO", "set", "io", "PN", "318400\t520"), "CARDINFO set io PN \n"),
    (("BUZZER", "activate", "loud"), "BUZZER activate \n"),                  # not a silent 0 Hz tone
    (("BUZZER", "activate", "440Hz"), "BUZZER activate \n"),
    (("BUZZER", "activate", "-1"), "BUZZER activate \n"),
    (("BUZZER", "activate", "20001"), "BUZZER activate \n"),
    (("BL", "activate", "5x"), "BL activate 5x\n"),
    (("BL", "activate", "-1"), "BL activate -1\n"),
    (("BL", "activate", "256"), "BL activate 256\n"),
    (("BL", "activate", "5\nBL activate 5"), "BL activate 5?BL activate 5\n"),
    (("RTC", "setTime", "'2018-13-19 17:08:00'"), "RTC setTime \n"),
    (("RTC", "setTime", "'2018-12-19 99:08:00'"), "RTC setTime \n"),
    (("RTC", "calibrate", "'2018-02-29 10:00:00'"), "RTC calibrate \n"),
    (("RTC", "setTime", "'2018-12-19 17:60:00'"), "RTC setTime \n"),
    (("COMPORT", "RS232toRS232", ""), "COMPORT RS232toRS232 \n"),
    (("PDATA", "setSN", "01234567898\n"), "PDATA setSN \n"),
    (("USB", "/dev/\n", "sda1"), "USB /dev/? sda1 \n"),
]


@pytest.mark.parametrize("args, out", ARGUMENT_REFUSALS)
def test_every_argument_is_whole_and_in_range_or_refused(board, args, out):
    before = board.state()
    assert board.run(*args) == (0, WRONG_DATA + out, "")
    assert unchanged_by_refusal(before, board.state())


# A read that failed never looks like a value: an unreadable fuse word, a
# card that does not answer, an evdev request that failed or a clock that
# printed no time give the I/O error line and the bare echo; an element the
# card does not have gives the command error line and reads nothing.
READ_FAILURES = [
    ("fuse MAC0 unreadable", ("PDATA", "getMAC0"), IO_FAILURE + "PDATA getMAC0 \n"),
    ("fuse MAC1 empty", ("PDATA", "getMAC1"), IO_FAILURE + "PDATA getMAC1 \n"),
    ("fuse SW_GP3 garbage", ("PDATA", "getPN"), IO_FAILURE + "PDATA getPN \n"),
    ("fuse SW_GP4 0x", ("PDATA", "getVN"), IO_FAILURE + "PDATA getVN \n"),
    ("fuse SW_GP1 unreadable", ("PDATA", "getSN"), IO_FAILURE + "PDATA getSN \n"),
    ("gateway absent", ("CARDINFO", "get", "io", "PD"), IO_FAILURE + "CARDINFO get io PD \n"),
    ("gateway absent", ("CARDINFO", "get", "sense", "SN"), IO_FAILURE + "CARDINFO get sense SN \n"),
    ("gateway absent", ("INPUT", "readCalib", "io", "1"), IO_FAILURE + "INPUT readCalib io 1 \n"),
    ("gateway absent", ("INPUT", "readValue", "sense", "11"), IO_FAILURE + "INPUT readValue sense 11 \n"),
    (None, ("CARDINFO", "get", "io", "XX"), WRONG_COMMAND + "CARDINFO get io XX \n"),
    (None, ("CARDINFO", "get", "sense", "sw"), WRONG_COMMAND + "CARDINFO get sense sw \n"),
    ("evdev fails", ("DIP", "getValue"), IO_FAILURE + "DIP getValue \n"),
    ("evdev fails", ("KEYPAD", "getValue"), IO_FAILURE + "KEYPAD getValue \n"),
    ("hwclock silent", ("RTC", "getTime", "RTC"), IO_FAILURE + "RTC getTime RTC \n"),
    ("date garbage", ("RTC", "getTime", "system"), IO_FAILURE + "RTC getTime system \n"),
    ("no ttymxc4", ("COMPORT", "RS232toRS485", "hello"), IO_FAILURE + "COMPORT RS232toRS485 \n"),
    ("no ttymxc4", ("COMPORT", "RS485toRS232", "hello"), IO_FAILURE + "COMPORT RS485toRS232 \n"),
]


def break_board(make_board, fault):
    board = make_board(serial_ports=("ttymxc0",)) if fault == "no ttymxc4" else make_board()
    if fault and fault.startswith("fuse "):
        _, word, how = fault.split(" ")
        board.spoil_fuse(word, {"unreadable": None, "empty": "", "garbage": "garbage\n", "0x": "0x\n"}[how])
    elif fault == "gateway absent":
        board.gateway.absent = True
    elif fault == "evdev fails":
        board.input_requests_fail = True
    elif fault == "hwclock silent":
        board.write_file("answers/hwclock", "")
    elif fault == "date garbage":
        board.write_file("answers/date", "date: cannot read clock\n")
    return board


@pytest.mark.parametrize("fault, args, out", READ_FAILURES)
def test_a_failed_read_never_looks_like_a_value(make_board, fault, args, out):
    board = break_board(make_board, fault)
    before = board.state()
    assert board.run(*args)[:2] == (0, out)       # (cat's complaint about the fuse file goes to stderr)
    if fault is None:
        assert board.gateway.requests() == []
    after = board.state()
    # A read may run the command that reads (hwclock, date); nothing else.
    before.pop("journal"), after.pop("journal")
    assert unchanged_by_refusal(before, after)
