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
import time  # noqa: E402

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


# Commands a station sends to a good board, so that the generator reaches the
# steps' writes and not only their refusals.
GOOD = [
    ("LED", "red", "1"), ("CON500", "p8", "0"), ("BL", "activate", "5"),
    ("PDATA", "setMAC0", "02a0c1c12345"), ("PDATA", "setMAC1", "02a0c1c12346"), ("PDATA", "setPN", "318400.520"),
    ("PDATA", "setVN", "1.2"), ("PDATA", "setSN", "01234567898"),
    ("RTC", "setTime", "'2018-12-19 17:08:00'"), ("RTC", "calibrate", "'2018-12-19 17:08:00'"),
    ("RTC", "getTime", "RTC"), ("LCD", "reCal"), ("LCD", "readCal"),
    ("EEPROM", "write", "sense", "{image}"), ("EEPROM", "read", "io", "{dump}"), ("EEPROM", "erase", "io"),
    ("CARDINFO", "set", "sense", "DS", "Board 7"), ("CARDINFO", "set", "io", "SN", "123456789012"),
    ("CARDINFO", "set", "sense", "PD", "2024", "2", "29"), ("CARDINFO", "get", "io", "PN"),
    ("OUTPUT", "set", "io", "2", "1", "0"), ("OUTPUT", "set", "sense", "3", "2", "5"), ("INPUT", "readRaw", "io", "1"),
]
FUSE_WORDS = ("MAC0", "MAC1", "MAC2", "SW_GP0", "SW_GP1", "SW_GP2", "SW_GP3", "SW_GP4")
PARTIAL = "Board partly written, step not finished -> "
IO_ERROR = "Unable to open, read or write to file -> "

# The longest time of each step (docs/pcbatest.md), in seconds; everything
# else ends at once. The run's timeout adds room for starting the tool on a
# loaded machine: a step past it never ended by itself.
BOUNDS = {("RTC", "setTime"): 30, ("RTC", "calibrate"): 50, ("RTC", "getTime"): 20, ("LCD", "reCal"): 120,
          ("PDATA", None): 60, ("EEPROM", "read"): 8, ("EEPROM", "write"): 30, ("EEPROM", "erase"): 30,
          ("CARDINFO", "get"): 2, ("CARDINFO", "set"): 4, ("INPUT", None): 2, ("OUTPUT", None): 5,
          ("COMPORT", None): 2, ("CAN", None): 2}
START_ROOM = 30


def bound(args):
    return BOUNDS.get(tuple(args[:2]), BOUNDS.get((args[0], None), 1))


def generated_command(rng, files):
    if rng.random() < 0.6:
        return tuple(a.format(**files) for a in rng.choice(GOOD))
    test = rng.choice(sorted(STEPS))
    step = rng.choice(STEPS[test] + [rng.choice(WORST)])
    return (test, step) + tuple(rng.choice(WORST) for _ in range(rng.randrange(0, 6)))


CARD_FAULTS = ["write-protect", "drop-off", "slow"]
FAULTS_FOR = {"PDATA": ["lock", "spoil", "etc-ro"], "RTC": ["fail-date", "fail-hwclock"],
              "LCD": ["fail-calibration", "etc-ro"], "EEPROM": CARD_FAULTS, "CARDINFO": CARD_FAULTS,
              "OUTPUT": CARD_FAULTS, "INPUT": CARD_FAULTS}
ALL_FAULTS = [None, None] + sorted({f for faults in FAULTS_FOR.values() for f in faults})


def play_fault(board, rng, test):
    """One fault of a bad board for the next command (or none); returns its
    name. undo_faults() takes it away again."""
    gateway = board.gateway
    fault = rng.choice(FAULTS_FOR.get(test) if rng.random() < 0.5 and test in FAULTS_FOR else ALL_FAULTS)
    if fault == "lock":
        board.lock_fuse(rng.choice(FUSE_WORDS))
    elif fault == "spoil":
        board.spoil_fuse(rng.choice(FUSE_WORDS), rng.choice([None, "", "garbage\n"]))
    elif fault == "etc-ro":
        board.etc_readonly = True
    elif fault in ("fail-date", "fail-hwclock", "fail-calibration"):
        board.write_file("answers/" + fault, "")
    elif fault == "write-protect":
        gateway.write_protect = rng.choice([0, 0x14, 0x4B, 0x60, 0x300])
    elif fault == "drop-off":
        gateway.fail_after = gateway.taken + rng.randrange(0, 400)
    elif fault == "slow":
        # Slow enough to use up a short budget, never the long ones.
        gateway.slow_after, gateway.slow_polls = gateway.taken + rng.randrange(0, 20), 30
    return fault


def undo_faults(board):
    board.locked_fuses.clear()
    board.etc_readonly = False
    for name in ("fail-date", "fail-hwclock", "fail-calibration"):
        path = os.path.join(board.sim, "answers", name)
        if os.path.exists(path):
            os.unlink(path)
    gateway = board.gateway
    gateway.write_protect = gateway.fail_after = gateway.slow_after = None
    gateway.absent = False


def fuse_promise(step, data):
    """The fuse bits a PDATA set step promises: {word: (mask, value)}."""
    if step == "setMAC0":
        return {"MAC0": (0xFFFFFFFF, int(data[4:], 16)), "MAC1": (0xFFFF, int(data[:4], 16))}
    if step == "setMAC1":
        return {"MAC2": (0xFFFFFFFF, int(data[:8], 16)), "MAC1": (0xFFFF0000, int(data[8:], 16) << 16)}
    whole, _, fraction = data.partition(".")
    if step == "setPN":
        return {"SW_GP2": (0xFFFFFFFF, int(whole) & 0xFFFFFFFF),
                "SW_GP3": (0xFFFFFFFF, int(fraction) << 16 | int(whole) >> 32)}
    if step == "setVN":
        return {"SW_GP4": (0xFFFFFFFF, int(whole) << 16 | int(fraction))}
    value = int(data)
    return {"SW_GP0": (0xFFFFFFFF, value & 0xFFFFFFFF), "SW_GP1": (0xFFFFFFFF, value >> 32)}


def broken_promise(board, args, after, files):
    """What a step that answered success did not do, or None. Only the steps
    of GOOD are judged; the others answer success without writing."""
    test, step, data = (tuple(args) + ("", ""))[:3]
    eeprom = after["cards"][0]
    if test in ("LED", "CON500") and args in [g for g in GOOD if g[0] == test]:
        name = {"red": "red-led"}.get(step, "CON500" + step)
        return None if after["sysfs"][name] == data[:1] else "%s holds %r" % (name, after["sysfs"][name])
    if test == "PDATA" and step.startswith("set"):
        for word, (mask, value) in fuse_promise(step, data).items():
            if after["fuses"][word] & mask != value:
                return "fuse %s holds 0x%08x" % (word, after["fuses"][word])
        if step == "setSN" and (after["etc"]["etc/sno"], after["etc"]["etc/hostname"]) != (
                data + "\n", "kv_%05d\n" % (int(data) % 100000)):
            return "/etc/sno and /etc/hostname hold %r" % ((after["etc"]["etc/sno"], after["etc"]["etc/hostname"]),)
    if test == "RTC" and step in ("setTime", "calibrate"):
        ran = board.last_journal()
        wanted = [["date", "-s", data.strip("'")]] + ([["hwclock", "-w"]] if step == "setTime" else
                                           [["hwclock", "--systohc", "--update-drift"], ["hwclock", "--adjust"]])
        if [[os.path.basename(a[0])] + a[1:] for a in ran] != wanted:
            return "the clock commands were %r" % ran
    if test == "LCD" and step == "reCal" and after["etc"]["etc/pointercal.xinput"] != board.read_file(
            "answers/calibration"):
        return "the calibration is %r" % after["etc"]["etc/pointercal.xinput"]
    if test == "EEPROM" and step == "write" and eeprom["sense"][:1024] != open(files["image"], "rb").read()[:1024]:
        return "the sense card does not hold the image"
    if test == "EEPROM" and step == "read" and open(files["dump"], "rb").read() != eeprom["io"][:1024]:
        return "the dump is not the io card's image"
    if test == "EEPROM" and step == "erase" and eeprom["io"][0x4B:0x4B + 1024] != b"\xff" * 1024:
        return "the io card is not erased"
    if test == "CARDINFO" and step == "set":
        field = {"DS": (0x14, b"Board 7" + bytes(20)), "SN": (0x14 + 39, bytes.fromhex("123456789012")),
                 "PD": (0x14 + 51, bytes([2024 & 0xFF, 2024 >> 8, 2, 29]))}[args[3]]
        at, value = field
        if eeprom[data][at:at + len(value)] != value:
            return "the %s card holds %s" % (data, eeprom[data][at:at + len(value)].hex())
    if test == "OUTPUT" and args == ("OUTPUT", "set", "io", "2", "1", "0") and after["cards"][1].get(24) != 1:
        return "register 24 holds %r" % after["cards"][1].get(24)
    return None


def test_generated_station_scripts_on_bad_boards_keep_the_invariants(board, tmp_path):
    # Commands from each step's grammar and its worst values, each on a board
    # with a random fault. After each: the tool ended within its step's
    # bound, answered one response line, printed success only when the board
    # holds what the step promised, changed nothing when it refused, left
    # fuses, /etc and the cards as they were when it reported a plain I/O
    # failure, and said "partly written" only when the board did change.
    # KV_PCBA_SEED replays a failure; KV_PCBA_GENERATOR_SECONDS bounds the
    # run (at least 10 commands, at most 70: an EEPROM step takes seconds).
    seed = int(os.environ.get("KV_PCBA_SEED", random.randrange(1 << 32)))
    budget = float(os.environ.get("KV_PCBA_GENERATOR_SECONDS", "45"))
    started = time.monotonic()
    rng = random.Random(seed)
    images = tmp_path / "images"
    images.mkdir()
    files = {"image": str(images / "image.bin"), "dump": str(images / "dump.bin")}
    with open(files["image"], "wb") as f:
        f.write(rng.randbytes(1024))
    for number in range(70):
        if number >= 10 and time.monotonic() - started > budget:
            break
        args = generated_command(rng, files)
        if rng.random() < 0.5:
            board.write_file("answers/calibration", "xinput set-prop %d\n" % number)
        elif board.read_file("answers/calibration") is not None:
            os.unlink(os.path.join(board.sim, "answers", "calibration"))
        fault = play_fault(board, rng, args[0])
        why = "seed %d, command %d: %r on a board with fault %s" % (seed, number, args, fault)
        before = board.state()
        try:
            status, out, _ = board.run(*args, timeout=bound(args) + START_ROOM)
        except TimeoutError:
            pytest.fail("did not end within its bound: " + why)
        after = board.state()
        undo_faults(board)
        lines = out.split("\n")
        assert status == 0 and lines[-1] == "", why
        lines = lines[:-1]
        error = lines[0] if len(lines) == 2 and lines[0].endswith("-> ") else None
        assert len(lines) == (2 if error else 1), why
        assert not any(ord(c) < 0x20 or c == "\x7f" for c in lines[-1]), why
        if error is None:
            broken = broken_promise(board, args, after, files)
            assert broken is None, "success printed, but %s: %s" % (broken, why)
        elif error in REFUSALS:
            assert unchanged_by_refusal(before, after), why
        elif error == IO_ERROR:
            # A failed reCal puts the old calibration back.
            assert (before["fuses"], before["etc"], before["cards"][0]) == \
                (after["fuses"], after["etc"], after["cards"][0]), why
        elif error == PARTIAL:
            # ... or it was a setSN run again over fuses that already hold
            # its serial, whose files failed again: still partly written.
            changed = {key for key in before if key != "sent" and before[key] != after[key]}
            retried = args[:2] == ("PDATA", "setSN") and all(
                before["fuses"][w] & m == v for w, (m, v) in fuse_promise("setSN", args[2]).items())
            assert changed or retried, "partly written, but nothing changed: " + why
        assert not [n for n in os.listdir(os.path.join(board.sim, "etc")) if n.endswith((".new", ".old"))], why
        assert sorted(os.listdir(images)) in (["image.bin"], ["dump.bin", "image.bin"]), why
