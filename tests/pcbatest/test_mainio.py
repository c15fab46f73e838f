"""Main-card I/O on the simulated board: LEDs, CON500 pins, backlight,
buzzer, DIP switch and keypad."""
import pytest

from simboard import EVIOCGABS_X, INPUT_EVENT, KEY_DOWN, KEY_ENTER, KEY_UP  # noqa: F401

WRONG_COMMAND = "Wrong test command specified -> \n"
IO_FAILURE = "Unable to open, read or write to file -> \n"
OLD_IMAGE = "evdev open - KV R Image 2.0.g or later required: No such file or directory\n"


def led_file(name):
    return "/sys/class/leds/%s/brightness" % name


BACKLIGHT = "/sys/class/backlight/backlight/brightness"


@pytest.mark.parametrize("args, path, written, out", [
    (("LED", "red", "1"), led_file("red-led"), "1", "LED red 1\n"),
    (("LED", "red", "10"), led_file("red-led"), "1", "LED red 10\n"),
    (("LED", "yellow", "0"), led_file("yellow-led"), "0", "LED yellow 0\n"),
    (("LED", "green", "1"), led_file("green-led"), "1", "LED green 1\n"),
    (("CON500", "p8", "1"), led_file("CON500p8"), "1", "CON500 p8 1\n"),
    (("CON500", "p13", "0"), led_file("CON500p13"), "0", "CON500 p13 0\n"),
    (("CON500", "p19", "10"), led_file("CON500p19"), "1", "CON500 p19 10\n"),
    (("BL", "activate", "5"), BACKLIGHT, "5", "BL activate 5\n"),
    (("BL", "activate", "8"), BACKLIGHT, "8", "BL activate 8\n"),
    (("BL", "activate", "10"), BACKLIGHT, "10", "BL activate 10\n"),   # the whole level goes to the driver
    (("BL", "deactivate"), BACKLIGHT, "0", "BL deactivate \n"),
    (("BL", "deactivate", "7"), BACKLIGHT, "0", "BL deactivate 7\n"),
])
def test_sysfs_steps_write_exactly_their_value(board, args, path, written, out):
    assert board.run(*args) == (0, out, "")
    assert board.read_sys(path) == written


@pytest.mark.parametrize("args", [
    ("LED", "blue", "1"),
    ("LED", "Red", "1"),
    ("CON500", "p7", "1"),
    ("CON500", "p20", "1"),
    ("CON500", "P8", "1"),
    ("BL", "on", "5"),
])
def test_unknown_step_item_writes_nothing(board, args):
    assert board.run(*args) == (0, WRONG_COMMAND + " ".join(args) + "\n", "")
    touched = [led for led in ("red-led", "yellow-led", "green-led", "CON500p8") if board.read_sys(led_file(led))]
    assert touched == [] and board.read_sys(BACKLIGHT) == ""


@pytest.mark.parametrize("args", [("BL", "activate"), ("BL", "activate", "")])
def test_backlight_without_a_level_is_refused(board, args):
    assert board.run(*args) == (0, "Wrong test data specified -> \nBL activate \n", "")
    assert board.read_sys(BACKLIGHT) == ""


def test_refused_backlight_level_reports_the_failed_write(board):
    board.fail_writes(BACKLIGHT)
    assert board.run("BL", "activate", "9") == (0, IO_FAILURE + "BL activate 9\n", "")


@pytest.mark.parametrize("args, path", [
    (("LED", "red", "1"), led_file("red-led")),
    (("CON500", "p8", "1"), led_file("CON500p8")),
    (("BL", "activate", "3"), BACKLIGHT),
])
def test_missing_attribute_file_reports_io_failure(board, args, path):
    board.remove_sys(path)
    assert board.run(*args) == (0, IO_FAILURE + " ".join(args) + "\n", "")


def test_overlong_argument_is_cut_to_the_response_line(board):
    status, out, _ = board.run("LED", "red", "1" * 400)
    assert status == 0
    assert out == ("LED red " + "1" * 400)[:255] + "\n"
    assert board.read_sys(led_file("red-led")) == "1"


@pytest.mark.parametrize("args, value, out", [
    (("BUZZER", "activate", "3500"), 3500, "BUZZER activate 3500\n"),
    (("BUZZER", "activate", "0"), 0, "BUZZER activate 0\n"),
    (("BUZZER", "activate", "20000"), 20000, "BUZZER activate 20000\n"),
    (("BUZZER", "deactivate"), 0, "BUZZER deactivate \n"),
    (("BUZZER", "deactivate", "3500"), 0, "BUZZER deactivate \n"),
])
def test_buzzer_writes_one_tone_event(board, args, value, out):
    assert board.run(*args) == (0, out, "")
    writes = [data for node, data in board.writes if node == "/dev/input/buzzer0"]
    assert [len(data) for data in writes] == [INPUT_EVENT.size]
    (event,) = board.input_events()
    assert (event.type, event.code, event.value) == (0x12, 0x02, value)


def test_buzzer_unknown_step_item_sends_nothing(board):
    assert board.run("BUZZER", "beep", "100") == (0, WRONG_COMMAND + "BUZZER beep \n", "")
    assert board.writes == []


def test_missing_buzzer_reports_the_failed_write(make_board):
    board = make_board(input_devices=("dipswitch0", "keyboard0"))
    assert board.run("BUZZER", "activate", "3500") == (0, IO_FAILURE + "BUZZER activate 3500\n", "")


@pytest.mark.parametrize("step, value", [("getValue", 0), ("getValue", 5), ("getValue", 255), ("anything", 9)])
def test_dip_reports_the_switch_setting(board, step, value):
    board.dip_value = value
    assert board.run("DIP", step) == (0, "DIP %s %d\n" % (step, value), "")


@pytest.mark.parametrize("keys, value", [
    (set(), 0),
    ({KEY_DOWN}, 1),
    ({KEY_UP}, 2),
    ({KEY_ENTER}, 3),
    ({KEY_ENTER, KEY_UP}, 3),
    ({KEY_UP, KEY_DOWN}, 2),
    ({KEY_ENTER, KEY_DOWN}, 3),
    ({29}, 3),      # another key of Enter's byte of the bitmap
    ({96}, 2),      # another key of Up's byte
    ({111}, 1),     # another key of Down's byte
    ({1, 57}, 0),   # keys outside those bytes
])
def test_keypad_maps_the_key_bitmap(board, keys, value):
    board.keys_down = keys
    assert board.run("KEYPAD", "getValue") == (0, "KEYPAD getValue %d\n" % value, "")


@pytest.mark.parametrize("test, present", [("DIP", ("buzzer0", "keyboard0")), ("KEYPAD", ("buzzer0", "dipswitch0"))])
def test_missing_input_device_ends_with_status_1(make_board, test, present):
    board = make_board(input_devices=present)
    assert board.run(test, "getValue") == (1, "", OLD_IMAGE)


# ---- generated worst-case commands ------------------------------------------

import os  # noqa: E402
import random  # noqa: E402

from conftest import unchanged_by_refusal  # noqa: E402

REFUSALS = ("Wrong test data specified -> ", "Wrong test command specified -> ")
# Steps of every test (USB is left out: its good answer carries a line end by
# design), and arguments as their worst sender would write them.
STEPS = {
    "LED": ["red", "green", "blue"], "CON500": ["p8", "p19", "p20"], "BL": ["activate", "deactivate"],
    "BUZZER": ["activate", "deactivate"], "DIP": ["getValue"], "KEYPAD": ["getValue"],
    "RTC": ["setTime", "calibrate", "getTime"], "LCD": ["readCal", "reCal"],
    "PDATA": ["getMAC0", "getSN", "setMAC0", "setMAC1", "setPN", "setVN", "setSN"],
    "COMPORT": ["RS232toRS232", "RS232toRS485"], "CAN": ["CAN1", "CAN2toCAN1"],
    "INPUT": ["readRaw", "readValue", "readCalib"], "OUTPUT": ["set", "get"], "CARDINFO": ["get", "set"],
}
WORST = ["", "0", "1", "3", "-1", "+1", " 1", "1 ", "12", "13", "99", "200", "256", "257", "1001", "65536",
         "4294967297", "18446744073709551616", "1x", "0x10", "1\n", "a\nb", "\r", "\x7f", "\x1b[2J", "%s%n",
         "$(date)", ";date", "'2018-13-19 17:08:00'", "'2018-12-19 99:08:00'", "'2018-12-19 17:08:00'",
         "02a0c1c12345", "318400.520", "1.2", "01234567898", "x" * 300, "main", "sense", "io", "SN", "PD",
         "DS", "SW", "RTC", "system"]


def generated_command(rng):
    test = rng.choice(sorted(STEPS))
    step = rng.choice(STEPS[test] + [rng.choice(WORST)])
    return (test, step) + tuple(rng.choice(WORST) for _ in range(rng.randrange(0, 6)))


def test_generated_worst_case_commands_keep_the_invariants(board):
    # One response line per command; a refused command changes nothing on the
    # board. KV_PCBA_SEED replays a failure.
    seed = int(os.environ.get("KV_PCBA_SEED", random.randrange(1 << 32)))
    rng = random.Random(seed)
    for number in range(60):
        args = generated_command(rng)
        why = "seed %d, command %d: %r" % (seed, number, args)
        before = board.state()
        status, out, _ = board.run(*args)
        lines = out.split("\n")
        assert status == 0 and lines[-1] == "", why
        lines = lines[:-1]
        error = lines[0] if len(lines) == 2 and lines[0].endswith("-> ") else None
        assert len(lines) == (2 if error else 1), why
        assert not any(ord(c) < 0x20 or c == "\x7f" for c in lines[-1]), why
        after = board.state()
        if error in REFUSALS:
            assert unchanged_by_refusal(before, after), why
        # A failure that is not reported as a partly written board left the
        # fuses and /etc as they were (a failed reCal puts the old calibration
        # back), and no step leaves a temporary or kept-aside file in /etc.
        if error == "Unable to open, read or write to file -> ":
            assert (before["fuses"], before["etc"]) == (after["fuses"], after["etc"]), why
        assert not [n for n in os.listdir(os.path.join(board.sim, "etc")) if n.endswith((".new", ".old"))], why
