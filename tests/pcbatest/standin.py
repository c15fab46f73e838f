#!/usr/bin/python3
"""Stand-in for date, hwclock and the touch calibration script on the
simulated board. Appends its argv as one JSON array per line to
$KV_SIM_DIR/journal and answers from files of the board instead of touching
the clock or the display:
  date +FORMAT      prints $KV_SIM_DIR/answers/date
  hwclock           prints $KV_SIM_DIR/answers/hwclock
  xinput_calibrator_once.sh
                    notes in $KV_SIM_DIR/calibrator.json whether the old
                    calibration was still there and which DISPLAY it got, then
                    writes $KV_SIM_DIR/answers/calibration (if any) as the new
                    /etc/pointercal.xinput
  date -s DATE      prints DATE, as the real one prints the new time
Every other call (hwclock -w, ...) is only journalled.
Faults the board can play:
  answers/fail-date   date -s fails (status 1, a message on standard error)
  answers/fail-hwclock
                      hwclock fails the same way: every call, or only the
                      calls with the argument the file holds (e.g. --adjust)
  answers/fail-calibration
                      the calibration script writes its calibration, then
                      fails
  answers/hang-date, answers/hang-hwclock, answers/hang-calibration
                      date, hwclock or the calibration script notes its
                      process id in $KV_SIM_DIR/date.pid, hwclock.pid or
                      calibrator.pid and never ends"""
import json
import os
import sys
import time

sim = os.environ["KV_SIM_DIR"]
name = os.path.basename(sys.argv[0])
with open(os.path.join(sim, "journal"), "a") as journal:
    journal.write(json.dumps(sys.argv) + "\n")


def board_file(*parts):
    try:
        with open(os.path.join(sim, *parts)) as f:
            return f.read()
    except FileNotFoundError:
        return None


def fail(message):
    sys.stderr.write("%s: %s\n" % (name, message))
    sys.exit(1)


def hang(what, pid_name):
    if board_file("answers", "hang-" + what) is None:
        return
    with open(os.path.join(sim, pid_name + ".new"), "w") as f:
        f.write(str(os.getpid()))
    os.rename(os.path.join(sim, pid_name + ".new"), os.path.join(sim, pid_name))
    while True:
        time.sleep(60)


if name == "xinput_calibrator_once.sh":
    with open(os.path.join(sim, "calibrator.json"), "w") as f:
        json.dump({"display": os.environ.get("DISPLAY"),
                   "old_calibration": os.path.exists("/etc/pointercal.xinput")}, f)
    hang("calibration", "calibrator.pid")
else:
    hang(name, name + ".pid")
fail_hwclock = board_file("answers", "fail-hwclock")
if name == "date" and len(sys.argv) > 2 and sys.argv[1] == "-s":
    if board_file("answers", "fail-date") is not None:
        fail("cannot set date: Operation not permitted")
    sys.stdout.write(sys.argv[2] + "\n")
elif name == "hwclock" and fail_hwclock is not None and (not fail_hwclock.strip() or
                                                         fail_hwclock.strip() in sys.argv[1:]):
    fail("ioctl(RTC_SET_TIME) to /dev/rtc0 to set the time failed: Invalid argument")
elif name == "date" and len(sys.argv) > 1 and sys.argv[1].startswith("+"):
    sys.stdout.write(board_file("answers", "date") or "")
elif name == "hwclock" and len(sys.argv) == 1:
    sys.stdout.write(board_file("answers", "hwclock") or "")
elif name == "xinput_calibrator_once.sh":
    new = board_file("answers", "calibration")
    if new is not None:
        with open("/etc/pointercal.xinput", "w") as f:
            f.write(new)
    if board_file("answers", "fail-calibration") is not None:
        fail("calibration failed")
