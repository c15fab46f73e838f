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
Every other call (hwclock -w, ...) is only journalled."""
import json
import os
import sys

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


if name == "date" and len(sys.argv) > 2 and sys.argv[1] == "-s":
    sys.stdout.write(sys.argv[2] + "\n")
elif name == "date" and len(sys.argv) > 1 and sys.argv[1].startswith("+"):
    sys.stdout.write(board_file("answers", "date") or "")
elif name == "hwclock" and len(sys.argv) == 1:
    sys.stdout.write(board_file("answers", "hwclock") or "")
elif name == "xinput_calibrator_once.sh":
    with open(os.path.join(sim, "calibrator.json"), "w") as f:
        json.dump({"display": os.environ.get("DISPLAY"),
                   "old_calibration": os.path.exists("/etc/pointercal.xinput")}, f)
    new = board_file("answers", "calibration")
    if new is not None:
        with open("/etc/pointercal.xinput", "w") as f:
            f.write(new)
