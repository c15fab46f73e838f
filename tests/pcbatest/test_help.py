"""Help texts and the choice of test: banner, warning block, overview, one
help per test, and what an unknown test gets. Help needs no hardware, so the
tool runs directly."""
import subprocess

import pytest

from conftest import tool_binary

WIDE, NARROW = 97, 95
RULE = " " + "-" * 96
STARS = "*" * 97
BLANK = " " * WIDE


def run(*args):
    proc = subprocess.run([tool_binary(), *args], capture_output=True, timeout=30)
    return proc.returncode, proc.stdout.decode("latin-1")


def place(*cells):
    """A line with each (column, text) cell at its column, padded by the
    layout rule: 95 columns when it holds a pair of double quotes, else 97."""
    line = ""
    for column, text in cells:
        line = line.ljust(column) + text
    return line.ljust(NARROW if line.count('"') >= 2 else WIDE)


WARNING = ["", STARS,
           "* STOP KORVEL APPLICATION BEFORE USING TEST COMMANDS USING:".ljust(WIDE),
           "*                    systemctl stop app".ljust(WIDE),
           STARS, ""]

OVERVIEW = [
    ("LED", "test main card LED's", "LED"),
    ("COMPORT", "test RS232 and RS485", "COMPORT"),
    ("BUZZER", "test main card buzzer", "BUZZER"),
    ("BL", "test main card backlight", "BL"),
    ("CAN", "test CAN bus connection", "CAN"),
    ("CON500", "test extension connector KV2T", "CON500"),
    ("RTC", "set time and date on RTC", "RTC"),
    ("USB", "test USB host port", "USB"),
    ("LCD", "re-calibrates the screen on KV2T", "LCD"),
    ("PDATA", "used to set module production data", "PDATA"),
    ("DIP", "read DIP switch setting", "DIP"),
    ("KEYPAD", "read keypad value", "KEYPAD"),
    ("EEPROM", "eeprom operations", "EEPROM"),
    ("INPUT", "read analog inputs", "INPUT"),
    ("OUTPUT", "set digital outputs", "OUPUT"),
    ("CARDINFO", "read prod. data and sw version", "CARDINFO"),
]
TESTS = [row[0] for row in OVERVIEW]

COMMON_HEADER = [(1, "Test Step"), (12, "Step Item"), (40, "Data"), (56, "Comments")]
HEADERS = {
    "LED": [(1, "Test Step"), (17, "Step Item"), (40, "Data"), (56, "Comments")],
    "USB": [(1, "Test Step"), (21, "Path"), (44, "Device name"), (72, "Comments")],
    "EEPROM": [(1, "Test Step"), (12, "Step Item"), (40, "Card"), (56, "Path")],
    "INPUT": [(1, "Test Step"), (12, "Step Item"), (40, "Card"), (56, "Channel")],
    "OUTPUT": [(1, "Test Step"), (12, "Step Item"), (30, "Card"), (42, "Channel"), (57, "Activation"),
               (76, "Time (ms)")],
    "CARDINFO": [(1, "Test Step"), (12, "Step Item"), (30, "Card"), (51, "Data Element"), (71, "Comment")],
}

EXAMPLES = {
    "LED": ("KV2TPCBATest LED red 1", "LED red 1"),
    "COMPORT": ('KV2TPCBATest COMPORT RS232toRS485 "Test string"', 'COMPORT RS232toRS485 "Test string"'),
    "BUZZER": ("KV2TPCBATest BUZZER activate 3500", "BUZZER activate 3500"),
    "BL": ("KV2TPCBATest BL activate 5", "BL activate 5"),
    "CAN": ("KV2TPCBATest CAN CAN1toCAN2 test", "CAN CAN1toCAN2 test"),
    "CON500": ("KV2TPCBATest CON500 p8 1", "CON500 p8 1"),
    "RTC": ("KV2TPCBATest RTC setTime \"'2018-12-19 17:08:00'\"", "RTC setTime  \"'2018-12-19 17:08:00'\""),
    "USB": ("KV2TPCBATest USB /dev/ sda1", "USB /dev/ sda1 sda1"),
    "LCD": ("KV2TPCBATest LCD reCal", "LCD reCal"),
    "PDATA": ("KV2TPCBATest PDATA setMAC0 02a0c1c12345", "PDATA setMAC0 02a0c1c12345"),
    "DIP": ("KV2TPCBATest DIP getValue", "DIP getValue 0"),
    "KEYPAD": ("KV2TPCBATest KEYPAD getValue", "KEYPAD getValue 0"),
    "EEPROM": ("KV2TPCBATest EEPROM read sense /home/root/sense.bin", "EEPROM export sense /home/root/sense.bin"),
    "INPUT": ("KV2TPCBATest INPUT readCalib sense 1", "readCalib sense 1 7500 59778 0 0"),
    "OUTPUT": ("KV2TPCBATest OUTPUT set io 1 1 0", "OUTPUT set io 1 1 0"),
    "CARDINFO": ("KV2TPCBATest CARDINFO get sense SW", "OUTPUT CARDINFO get sense SW 1"),
}

# Cells that must stand in the rows: (column, text). The test name is on the
# first row only.
ROW_CELLS = {
    "LED": [(17, "red"), (17, "yellow"), (17, "green"), (40, "0 or 1"),
            (56, "Does not work while KV2 application runs")],
    "COMPORT": [(12, "RS232toRS485"), (12, "RS485toRS232"), (12, "RS232toRS232"), (40, "string of data"),
                (56, "Fixed 115200 baud")],
    "BUZZER": [(12, "activate"), (12, "deactivate"), (40, "frequency"), (56, "In hertz")],
    "BL": [(12, "activate"), (12, "deactivate"), (40, "level"), (56, "0 to 8")],
    "CAN": [(12, "CAN1toCAN2"), (12, "CAN2toCAN1"), (12, "CAN1"), (12, "CAN2"), (40, "string of data"),
            (56, "Max 8 bytes of data and ID = 0x01020304")],
    "CON500": [(12, "p8 - p19"), (40, "0/1"), (56, "Test extension connector on KV2T")],
    "RTC": [(12, "setTime"), (12, "getTime"), (12, "calibrate"), (40, "date string"), (40, "RTC/system"),
            (56, "format = \"'2017-06-22 10:50:00'\"")],
    "USB": [(21, "/path/to/device/"), (44, "device_name_to_search_for")],
    "LCD": [(12, "readCal"), (12, "reCal"), (56, "Returns calibration string"), (56, "Start re-calibration process")],
    "PDATA": [(1, "************** THESE DATA CAN ONLY BE PROGRAMMED ONCE - STORED IN OTP MEMORY ******************"),
              (12, "setMAC0/getMAC0"), (12, "setMAC1/getMAC1"), (12, "setSN/getSN"), (12, "setPN/getPN"),
              (12, "getVN/setVN"), (56, "format = 0123456789ab"), (56, "format = 01234567898"),
              (56, "format = 318400.520"), (56, "format = 1.2")],
    "DIP": [(12, "getValue"), (40, "data")],
    "KEYPAD": [(12, "getValue"), (56, "1 = key down"), (56, "2 = key up"), (56, "3 = key enter")],
    "EEPROM": [(12, "read"), (12, "erase"), (12, "write"), (40, "sense"), (40, "io"), (56, "/path/to/file.bin"),
               (56, "Erase eeprom except prod data")],
    "INPUT": [(12, "readRaw"), (12, "readValue"), (12, "readCalib"), (40, "sense"), (40, "io"),
              (56, "returns raw value from AD converter"), (56, "returns calibrated value"),
              (56, "returns hi and low calibration point")],
    "OUTPUT": [(77, "time in ms  (0=NA"), (12, "set"), (30, "main"), (30, "sense"), (30, "io"),
               (42, "1 = red LED"), (42, "2 = yellow LED"), (42, "3 = red LED"), (42, "1 = LVD1"),
               (42, "4 = Alarm relay 2"), (42, "4 = Prog output 4"), (57, "0 = off"), (57, "3 = latched off")],
    "CARDINFO": [(12, "get"), (12, "set"), (30, "sense"), (30, "io"), (51, "SW"), (71, "Software version"),
                 (71, "Description  (use 'text')"), (51, "PD"), (71, "Production date")],
}

SENSE_CHANNELS = ["Voltage", "Current", "Temperature (AD590)", "Battery fuse", "Load fuse", "Symmetry 1",
                  "Symmetry 2", "Symmetry 3", "Symmetry 4", "Prog input 1", "Prog input 2"]
IO_CHANNELS = ["Prog input 3", "Prog input 4", "Prog input 5", "Prog input 6"]


def lines_of(out):
    assert out.endswith("\n")
    return out[:-1].split("\n")


def has_cell(rows, column, text):
    return any(row[column:column + len(text)] == text and (column == 0 or row[column - 1] == " ") for row in rows)


def test_no_argument_prints_banner_warning_and_overview():
    status, out = run()
    assert status == 1
    banner = "\n ---------------------- QUORVAN Production test application version: 2.e -------------------------\n"
    assert out.startswith(banner)
    expected = WARNING + ["", place((1, "Test"), (13, "Comments")), RULE]
    expected += [place((1, test), (13, comment), (48, 'TYPE: "KV2TPCBATest %s" for more help' % hint))
                 for test, comment, hint in OVERVIEW]
    expected += [BLANK] * 3
    assert lines_of(out[len(banner):]) == expected


@pytest.mark.parametrize("test", TESTS)
def test_help_of_each_test_follows_the_layout(test):
    status, out = run(test)
    assert status == 1
    lines = lines_of(out)
    assert lines[:len(WARNING)] == WARNING
    help_lines = lines[len(WARNING):]

    assert help_lines[0] == ""
    assert help_lines[1] == place(*HEADERS.get(test, COMMON_HEADER))
    assert help_lines[2] == RULE

    command, response = EXAMPLES[test]
    command_line = "              command  : " + command
    assert help_lines[-4] == "    example:".ljust(WIDE)
    width = NARROW if test == "EEPROM" or command.count('"') >= 2 else WIDE
    assert help_lines[-3] == command_line.ljust(width)
    assert help_lines[-2] == place((0, "              response : " + response))
    assert help_lines[-1] == BLANK
    assert help_lines[-5] == BLANK

    body = help_lines[3:-4]
    while body and body[-1] == BLANK:
        body.pop()
    assert body, "a help text needs rows"
    for row in body:
        assert len(row) == (NARROW if row.count('"') >= 2 else WIDE), repr(row)
        assert "\t" not in row

    name_column = 0 if test == "COMPORT" else 1
    named = [row for row in body if has_cell([row], name_column, test + " ")]
    assert len(named) == 1
    for column, text in ROW_CELLS[test]:
        assert has_cell(body, column, text), (column, text)


def test_input_channel_lists_align_on_the_equals_sign():
    _, out = run("INPUT")
    rows = lines_of(out)
    for number, name in list(enumerate(SENSE_CHANNELS, 1)) + list(enumerate(IO_CHANNELS, 1)):
        text = "%d = %s" % (number, name)
        hits = [row for row in rows if row[58 - len(str(number)) - 1:].startswith(text)]
        assert len(hits) >= 3, text  # once for each of readRaw, readValue, readCalib
        assert all(row[58] == "=" for row in hits)


@pytest.mark.parametrize("args", [
    ("FOO", "x"),
    ("OUPUT",),
    ("OUPUT", "set", "io", "1", "1", "0"),
    ("led", "red", "1"),
    ("LED1", "red", "1"),
    ("", "red"),
])
def test_unknown_test_is_refused_with_an_empty_line(args):
    assert run(*args) == (0, "Wrong test specified -> \n\n")
