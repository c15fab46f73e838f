"""INPUT, OUTPUT and CARDINFO on the simulated board's cards."""
import pytest

WRONG_COMMAND = "Wrong test command specified -> \n"
WRONG_DATA = "Wrong test data specified -> \n"
IO_FAILURE = "Unable to open, read or write to file -> \n"


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
    ("sense", "257", 0),                          # the channel's low 8 bits
])
def test_read_raw_reads_the_channel_register(board, card, channel, register):
    board.gateway.registers[register] = 40000 + register
    assert board.run("INPUT", "readRaw", card, channel) == (0, "INPUT readRaw %s %s %d\n" % (card, channel,
                                                                                          40000 + register), "")


@pytest.mark.parametrize("args, out", [
    (("INPUT", "readValue", "sense", "12"), IO_FAILURE + "INPUT readValue sense 12 0\n"),
    (("INPUT", "readRaw", "io", "5"), IO_FAILURE + "INPUT readRaw io 5 0\n"),
    (("INPUT", "readCalib", "io", "0"), IO_FAILURE + "INPUT readCalib io 0 0 0 0 0\n"),
    (("INPUT", "readValue", "main", "1"), WRONG_COMMAND + "INPUT readValue main 1 0\n"),
    (("INPUT", "readCalib", "card", "1"), WRONG_COMMAND + "INPUT readCalib card 1 0 0 0 0\n"),
    (("INPUT", "read", "sense", "1"), WRONG_COMMAND + "INPUT read sense 1 \n"),
])
def test_input_channels_and_cards_outside_the_table(board, args, out):
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
    ("3", "12", led("green"), "1"),         # the first digit of the activation
])
def test_main_outputs_are_the_leds(board, channel, activation, path, written):
    assert board.run("OUTPUT", "set", "main", channel, activation, "0") == \
        (0, "OUTPUT set main %s %s 0\n" % (channel, activation), "")
    assert board.read_sys(path) == written
    assert board.gateway.requests() == []


@pytest.mark.parametrize("args, out", [
    # channels and activations a card does not have: result 0, no error line
    (("OUTPUT", "set", "main", "4", "1", "0"), "OUTPUT set main 4 1 0\n"),
    (("OUTPUT", "set", "io", "5", "1", "0"), "OUTPUT set io 5 1 0\n"),
    (("OUTPUT", "set", "sense", "1", "4", "0"), "OUTPUT set sense 1 4 0\n"),
    (("OUTPUT", "set", "sense", "0", "1", "0"), "OUTPUT set sense 0 1 0\n"),
    (("OUTPUT", "set", "Main", "1", "1", "0"), WRONG_COMMAND + "OUTPUT set Main 1 1 0\n"),
    (("OUTPUT", "get", "io", "1", "1", "0"), WRONG_COMMAND + "OUTPUT get io 1 \n"),
])
def test_outputs_outside_the_table_write_nothing(board, args, out):
    assert board.run(*args) == (0, out, "")
    assert board.gateway.requests() == []
    assert [board.read_sys(led(n)) for n in ("red", "yellow", "green")] == ["", "", ""]


def test_output_activation_keeps_its_low_byte(board):
    assert board.run("OUTPUT", "set", "io", "1", "257", "-5") == (0, "OUTPUT set io 1 1 -5\n", "")
    assert [(reg, value) for _, reg, value in board.gateway.register_writes()] == [(23, 1)]


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


def test_text_is_cut_to_its_field(board):
    assert board.run("CARDINFO", "set", "sense", "VN", "1.2.345.6") == (0, "CARDINFO set sense VN 1.2.345.6 \n", "")
    assert bytes(board.gateway.eeprom["sense"][0x14 + 45:0x14 + 51]) == b"1.2.34"


@pytest.mark.parametrize("card, register_value, out", [
    ("sense", 0x0203, "CARDINFO get sense SW 515\n"),
    ("io", 0x0203, "CARDINFO get io SW 0\n"),
])
def test_software_version(board, card, register_value, out):
    board.gateway.registers[50] = register_value
    assert board.run("CARDINFO", "get", card, "SW") == (0, out, "")


@pytest.mark.parametrize("args, absent, out", [
    (("CARDINFO", "set", "io", "SN", "123456789012"), True, IO_FAILURE + "CARDINFO set io SN \n"),
    (("CARDINFO", "set", "sense", "SW", "7"), False, WRONG_COMMAND + "CARDINFO set sense SW \n"),
    (("CARDINFO", "set", "main", "DS", "x"), False, WRONG_COMMAND + "CARDINFO set main DS \n"),
    (("CARDINFO", "get", "main", "SN"), False, WRONG_COMMAND + "CARDINFO get main SN 000000000000\n"),
    (("CARDINFO", "get", "io", "XX"), False, "CARDINFO get io XX \n"),
    (("CARDINFO", "get", "io", "PD"), True, IO_FAILURE + "CARDINFO get io PD 0000 00 00\n"),
])
def test_cardinfo_refusals_write_nothing(board, args, absent, out):
    board.gateway.absent = absent
    assert board.run(*args) == (0, out, "")
    assert [r for r in board.gateway.requests() if r[4] == 1] == []
