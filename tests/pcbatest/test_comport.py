"""COMPORT on the simulated board: the loop-back plug in every wiring, a
short read, missing ports and the terminal settings the tool applies."""
import termios

import pytest

from buses import FULL_PLUG

WRONG_COMMAND = "Wrong test command specified -> \n"
IO_FAILURE = "Unable to open, read or write to file -> \n"
TEXT20 = "ABCDEFGHIJ0123456789"


@pytest.mark.parametrize("step, text, plug, limit, sent_on, received", [
    ("RS232toRS485", "Test string", FULL_PLUG, None, "ttymxc0", "Test string"),
    ("RS485toRS232", "Test string", FULL_PLUG, None, "ttymxc4", "Test string"),
    ("RS232toRS232", "loop", {"ttymxc0": ("ttymxc0",)}, None, "ttymxc0", "loop"),
    ("RS232toRS232", "no plug", {}, None, "ttymxc0", ""),
    # wired the wrong way round: what the RS-485 port sends never comes back
    ("RS232toRS485", "one way", {"ttymxc4": ("ttymxc0",)}, None, "ttymxc0", ""),
    ("RS232toRS485", TEXT20, FULL_PLUG, 12, "ttymxc0", TEXT20[:12]),
])
def test_loop_back_returns_what_arrived(board, step, text, plug, limit, sent_on, received):
    board.serial.plug = plug
    board.serial.limit = limit
    assert board.run("COMPORT", step, text) == (0, "COMPORT %s %s\n" % (step, received), "")
    other = "ttymxc4" if sent_on == "ttymxc0" else "ttymxc0"
    assert board.serial.sent == {sent_on: text.encode(), other: b""}
    # both ports set up as the device sees them: 115200 8N1, raw, VTIME 5 / VMIN 0
    for port in ("ttymxc0", "ttymxc4"):
        iflag, oflag, cflag, lflag, ispeed, ospeed, cc = board.serial.settings[port]
        assert (iflag, oflag, lflag) == (0, 0, 0), port
        assert cflag & ~termios.CBAUD == termios.CS8 | termios.CREAD | termios.CLOCAL, port
        assert (cflag & termios.CBAUD, ispeed, ospeed) == (termios.B115200,) * 3, port
        assert (cc[termios.VTIME], cc[termios.VMIN]) == (5, 0), port
        assert all(c in (0, b"\0") for i, c in enumerate(cc) if i not in (termios.VTIME, termios.VMIN)), port


@pytest.mark.parametrize("step, out", [
    # a port that cannot be opened fails the step before anything is sent,
    # the receiving one as well as the sending one
    ("RS232toRS485", IO_FAILURE + "COMPORT RS232toRS485 \n"),
    ("RS485toRS232", IO_FAILURE + "COMPORT RS485toRS232 \n"),
])
def test_missing_port(make_board, step, out):
    board = make_board(serial_ports=("ttymxc0",))
    assert board.run("COMPORT", step, "hello") == (0, out, "")
    assert board.serial.sent == {"ttymxc0": b""}


def test_unknown_step_item_sends_nothing(board):
    assert board.run("COMPORT", "RS232toRS422", "hello") == (0, WRONG_COMMAND + "COMPORT RS232toRS422 \n", "")
    assert board.serial.sent == {"ttymxc0": b"", "ttymxc4": b""}


def test_long_text_is_cut_to_fit_buffer_and_line(board):
    text = "".join(chr(ord("a") + i % 26) for i in range(300))
    status, out, _ = board.run("COMPORT", "RS232toRS232", text)
    assert board.serial.sent["ttymxc0"] == text[:255].encode()
    prefix = "COMPORT RS232toRS232 "
    assert (status, out) == (0, (prefix + text)[:255] + "\n")
