"""The cross-built production test tool under the emulator: the buzzer step
writes one input event of the board's 32-bit layout (16 bytes: seconds and
microseconds of 32 bits each, type, code, value)."""
import os
import struct
import subprocess
import time

import pytest

from conftest import BUILD_DIR, EMULATOR

PRIVATE_DEV = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "harness", "private-dev")
TOOL = os.path.join(BUILD_DIR, "pcbatest", "KV2TPCBATest")
EV_SND, SND_TONE = 0x12, 0x02


def buzzer(*args):
    """Runs the tool in a private /dev whose /dev/input/buzzer0 is a plain file;
    returns (standard output, the bytes written to the node)."""
    script = ('mkdir /dev/input && : > /dev/input/buzzer0 && "$@" >/dev/shm/out && '
              'cat /dev/shm/out && printf "\\n--\\n" && od -An -v -tx1 /dev/input/buzzer0')
    r = subprocess.run([PRIVATE_DEV, "sh", "-c", script, "buzzer", EMULATOR, TOOL, "BUZZER", *args],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    out, _, dump = r.stdout.rpartition("\n--\n")
    return out, bytes.fromhex("".join(dump.split()))


@pytest.mark.parametrize("args,value", [(("activate", "3500"), 3500), (("deactivate", ""), 0)])
def test_buzzer_writes_one_16_byte_event(args, value):
    before = int(time.time())
    out, event = buzzer(*args)
    assert out.startswith("BUZZER " + args[0])
    assert len(event) == 16
    seconds, micros, kind, code, written = struct.unpack("<IIHHi", event)
    assert (kind, code, written) == (EV_SND, SND_TONE, value)
    # The stamp is the clock's epoch seconds, whole in 32 bits until 2038.
    assert before - 5 <= seconds <= int(time.time()) + 5
    assert micros < 1_000_000
