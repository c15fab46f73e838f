"""RTC, USB and LCD on the simulated board: the command lines the stand-ins
see, and the response lines."""
import os
import signal
import time

import pytest

WRONG_DATA = "Wrong test data specified -> \n"
WRONG_COMMAND = "Wrong test command specified -> \n"
IO_FAILURE = "Unable to open, read or write to file -> \n"
PARTIAL = "Board partly written, step not finished -> \n"
DATE = "'2018-12-19 17:08:00'"


def commands(board):
    """The last run's stand-in calls, with the PATH-resolved date shortened to
    its name."""
    return [[os.path.basename(argv[0]) if argv[0].endswith("/date") else argv[0], *argv[1:]]
            for argv in board.last_journal()]


@pytest.mark.parametrize("step, expected", [
    ("setTime", [["date", "-s", "2018-12-19 17:08:00"], ["/sbin/hwclock", "-w"]]),
    ("calibrate", [["date", "-s", "2018-12-19 17:08:00"], ["/sbin/hwclock", "--systohc", "--update-drift"],
                   ["/sbin/hwclock", "--adjust"]]),
])
def test_setting_the_clock_runs_date_and_hwclock(board, step, expected):
    # The stand-in date prints the new time like the real one: it must go to
    # /dev/null, not onto the response.
    assert board.run("RTC", step, DATE) == (0, 'RTC %s  "%s"\n' % (step, DATE), "")
    assert commands(board) == expected


SET = ["date", "-s", "2018-12-19 17:08:00"]
SYSTOHC = ["/sbin/hwclock", "--systohc", "--update-drift"]


@pytest.mark.parametrize("step, fault, which, error, expected", [
    # a system clock that was not set stops the step before the RTC is written
    ("setTime", "fail-date", "", IO_FAILURE, [SET]),
    ("calibrate", "fail-date", "", IO_FAILURE, [SET]),
    # once it was set, a failing hwclock leaves the board partly written
    ("setTime", "fail-hwclock", "", PARTIAL, [SET, ["/sbin/hwclock", "-w"]]),
    ("calibrate", "fail-hwclock", "--systohc", PARTIAL, [SET, SYSTOHC]),
    ("calibrate", "fail-hwclock", "--adjust", PARTIAL, [SET, SYSTOHC, ["/sbin/hwclock", "--adjust"]]),
])
def test_failing_clock_command_stops_the_step(board, step, fault, which, error, expected):
    board.write_file("answers/" + fault, which)
    assert board.run("RTC", step, DATE)[:2] == (0, error + "RTC %s \n" % step)
    assert commands(board) == expected


def test_hanging_clock_command_is_stopped_at_its_deadline(board):
    # The tool ends by itself (the run's own timeout is well beyond the
    # command's deadline) and the command's process group goes with it.
    board.write_file("answers/hang-date", "")
    assert board.run("RTC", "getTime", "system", timeout=90)[:2] == (0, IO_FAILURE + "RTC getTime system \n")
    with open(os.path.join(board.sim, "date.pid")) as f:
        assert process_gone(int(f.read()))


@pytest.mark.parametrize("step, data", [
    ("setTime", "2018-12-19 17:08:00"),          # 19 characters, no quotes
    ("calibrate", "2018-12-19 17:08:00"),
    ("setTime", "'2018-12-19 17:08:0x'"),
    ("setTime", "'2018-12-19;reboot;0'"),         # 21 characters, not a date
    ("setTime", "\"2018-12-19 17:08:00\""),
    ("setTime", ""),
    ("setDate", DATE),
])
def test_wrong_date_or_step_runs_nothing(board, step, data):
    assert board.run("RTC", step, data) == (0, WRONG_DATA + "RTC %s \n" % step, "")
    assert board.last_journal() == []


@pytest.mark.parametrize("data, answer, out", [
    ("RTC", "2026-03-04 05:06:07.251722+00:00\n", "RTC getTime RTC 2026-03-04 05:06:07\n"),
    ("RTC", "1999-12-31 23:59:59\n", "RTC getTime RTC 1999-12-31 23:59:59\n"),
    ("system", "2026-03-04:05:06:07\n", "RTC getTime system 2026-03-04 05:06:07\n"),
])
def test_get_time_formats_nineteen_characters(board, data, answer, out):
    board.write_file("answers/hwclock" if data == "RTC" else "answers/date", answer)
    assert board.run("RTC", "getTime", data) == (0, out, "")
    expected = ["/sbin/hwclock"] if data == "RTC" else ["date", "+%Y-%m-%d:%H:%M:%S"]
    assert commands(board) == [expected]


@pytest.mark.parametrize("data", ["rtc", "System", ""])
def test_get_time_of_unknown_clock_is_a_wrong_command(board, data):
    assert board.run("RTC", "getTime", data) == (0, WRONG_COMMAND + "RTC getTime \n", "")
    assert board.last_journal() == []


@pytest.mark.parametrize("path, name, out", [
    ("/dev/", "sda1", "USB /dev/ sda1 sda1\n\n"),
    ("/dev/", "sda", "USB /dev/ sda sda\n\n"),      # the first matching line only
    ("/dev", "sdb", "USB /dev sdb \n"),              # nothing matches, nothing appended
])
def test_usb_appends_the_first_matching_node(board, path, name, out):
    board.plug_usb("sda", "sda1")
    assert board.run("USB", path, name) == (0, out, "")


@pytest.mark.parametrize("path, name", [
    ("/dev/" + "a" * 19, "sda12"),                   # 29 characters together
    ("/dev/", "sda1;date"),
    ("/dev/;date", "sda1"),
    ("/dev/", "$(date)"),
    ("/dev/", "sda1 /etc"),
    ("/dev/", "-r"),
    ("-la", "sda1"),
    ("/dev/", ""),
])
def test_usb_refuses_long_or_hostile_arguments(board, path, name):
    board.plug_usb("sda1")
    assert board.run("USB", path, name) == (0, WRONG_DATA + "USB %s %s \n" % (path, name), "")
    assert board.last_journal() == []


def test_usb_accepts_exactly_28_characters(board):
    path = "/dev/" + "x" * 18 + "/"
    board.plug_usb("sda1")
    status, out, _ = board.run("USB", path, "sda1")
    assert (status, out) == (0, "USB %s sda1 \n" % path)


CAL = "xinput set-float-prop 'ADS7846 Touchscreen' 'Coordinate Transformation Matrix' 1.1 0 -0.05 0 1.07 -0.03 0 0 1"


@pytest.mark.parametrize("content, out", [
    (CAL + "\nsecond line\n", 'LCD readCal "%s"\n' % CAL),
    ("no line end", 'LCD readCal "no line end"\n'),
])
def test_read_cal_quotes_the_first_line(board, content, out):
    board.write_file("etc/pointercal.xinput", content)
    assert board.run("LCD", "readCal")[:2] == (0, out)


def test_read_cal_without_a_calibration_gives_a_single_quote(board):
    board.remove_file("etc/pointercal.xinput")
    assert board.run("LCD", "readCal")[:2] == (0, 'LCD readCal "\n')


def test_re_cal_removes_the_calibration_and_runs_the_script(board):
    board.write_file("answers/calibration", CAL + "\n")
    assert board.run("LCD", "reCal") == (0, 'LCD reCal "%s"\n' % CAL, "")
    assert commands(board) == [["/usr/bin/xinput_calibrator_once.sh"]]
    assert board.calibrator() == {"display": ":0.0", "old_calibration": False}
    assert board.read_file("etc/pointercal.xinput") == CAL + "\n"


OLD_CAL = "xinput set-float-prop 'ADS7846 Touchscreen' 'Coordinate Transformation Matrix' 1.07 0.0 -0.03 0.0 1.1 -0.05 0 0 1\n"


@pytest.mark.parametrize("old, answers, new", [
    # the script fails after writing, or writes nothing: the old calibration
    # (or none, as before) is back
    (OLD_CAL, {"calibration": CAL + "\n", "fail-calibration": ""}, OLD_CAL),
    (OLD_CAL, {}, OLD_CAL),
    (None, {"calibration": CAL + "\n", "fail-calibration": ""}, None),
])
def test_re_cal_without_a_new_calibration_puts_the_old_one_back(board, old, answers, new):
    if old is None:
        board.remove_file("etc/pointercal.xinput")
    for name, text in answers.items():
        board.write_file("answers/" + name, text)
    assert board.run("LCD", "reCal")[:2] == (0, IO_FAILURE + "LCD reCal \n")
    assert board.calibrator()["old_calibration"] is False
    assert board.read_file("etc/pointercal.xinput") == new
    assert board.read_file("etc/pointercal.xinput.old") is None


def test_stopped_re_cal_kills_the_script_and_puts_the_old_calibration_back(board):
    board.write_file("answers/hang-calibration", "")
    pid_file = os.path.join(board.sim, "calibrator.pid")
    sent = []

    def stop_once_the_script_runs(proc):
        if not sent and os.path.exists(pid_file):
            proc.send_signal(signal.SIGTERM)
            sent.append(True)

    assert board.run("LCD", "reCal", during=stop_once_the_script_runs)[:2] == (0, IO_FAILURE + "LCD reCal \n")
    assert board.read_file("etc/pointercal.xinput") == OLD_CAL
    assert board.read_file("etc/pointercal.xinput.old") is None
    with open(pid_file) as f:
        script = int(f.read())
    assert process_gone(script)


def process_gone(pid, timeout=10):
    """True once pid has ended (a zombie waiting for its parent counts)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open("/proc/%d/stat" % pid) as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.05)
    return False


def test_calibration_kept_aside_by_a_cut_off_re_cal_comes_back(board):
    board.remove_file("etc/pointercal.xinput")
    board.write_file("etc/pointercal.xinput.old", CAL + "\n")
    assert board.run("LCD", "readCal")[:2] == (0, 'LCD readCal "%s"\n' % CAL)
    assert board.read_file("etc/pointercal.xinput") == CAL + "\n"
    assert board.read_file("etc/pointercal.xinput.old") is None


@pytest.mark.parametrize("step", ["calibrate", "ReadCal", ""])
def test_lcd_unknown_step_is_wrong_data(board, step):
    assert board.run("LCD", step) == (0, WRONG_DATA + "LCD %s \n" % step, "")
    assert board.last_journal() == []
    assert board.read_file("etc/pointercal.xinput") is not None
