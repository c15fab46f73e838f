"""CAN on the simulated board's user-space bus: frames on the wire, the loop
between the buses, the receive filter and the single-bus steps."""
import pytest

from buses import CanFrame

WRONG_COMMAND = "Wrong test command specified -> \n"
IO_FAILURE = "Unable to open, read or write to file -> \n"
TOOL_ID = 0x81020304


def data8(text):
    return text.encode().ljust(8, b"\0")


@pytest.mark.parametrize("step, text, interface, dlc, echoed", [
    ("CAN1toCAN2", "test", "can0", 5, "test"),
    ("CAN2toCAN1", "abc", "can1", 4, "abc"),
    ("CAN1toCAN2", "0123456789", "can0", 8, "0123456"),
])
def test_frame_crosses_the_wired_buses(board, step, text, interface, dlc, echoed):
    assert board.run("CAN", step, text) == (0, "CAN %s %s\n" % (step, echoed), "")
    assert board.can.frames == [CanFrame(interface, TOOL_ID, dlc, data8(echoed))]


def test_nothing_received_is_an_io_failure(board):
    board.can.wired = False
    assert board.run("CAN", "CAN1toCAN2", "test") == (0, IO_FAILURE + "CAN CAN1toCAN2 \n", "")
    assert len(board.can.frames) == 1


@pytest.mark.parametrize("step, interfaces", [
    ("CAN1toCAN2", ("can0",)),      # no receiving interface: its socket would take the frame sent
    ("CAN2toCAN1", ("can1",)),
    ("CAN1toCAN2", ("can1",)),      # no sending interface
    ("CAN2toCAN1", ("can0",)),
])
def test_missing_interface_fails_the_two_bus_step(make_board, step, interfaces):
    board = make_board(can_interfaces=interfaces)
    assert board.run("CAN", step, "test") == (0, IO_FAILURE + "CAN %s \n" % step, "")
    assert board.can.frames == []


# Identifier words of other nodes' frames: only bits 0 to 27 are compared.
REJECTED = [0x81020305, 0x83020304, 0x80000304, 0x00000304, 0x01020303 | 0x80000000]


def test_filter_takes_a_frame_differing_only_in_bit_28(board):
    board.can.wired = False
    board.can.node_frames = [("can1", i, b"no\0") for i in REJECTED] + [("can1", 0x91020304, b"bit28\0")]
    assert board.run("CAN", "CAN1toCAN2", "test") == (0, "CAN CAN1toCAN2 bit28\n", "")


def test_filter_drops_every_other_identifier(board):
    board.can.wired = False
    board.can.node_frames = [("can1", i, b"no\0") for i in REJECTED]
    assert board.run("CAN", "CAN1toCAN2", "test") == (0, IO_FAILURE + "CAN CAN1toCAN2 \n", "")


@pytest.mark.parametrize("step, text, interfaces, out, frames", [
    ("CAN1", "test", ("can0", "can1"), "CAN CAN1 test\n", [CanFrame("can0", TOOL_ID, 5, data8("test"))]),
    ("CAN2", "0123456789", ("can0", "can1"), "CAN CAN2 0123456\n",
     [CanFrame("can1", TOOL_ID, 8, data8("0123456"))]),
    ("CAN1", "", ("can0", "can1"), "CAN CAN1 \n", [CanFrame("can0", TOOL_ID, 1, data8(""))]),
    ("CAN2", "test", ("can0",), IO_FAILURE + "CAN CAN2 test\n", []),
    ("CAN3", "test", ("can0", "can1"), WRONG_COMMAND + "CAN CAN3 \n", []),
    ("can1", "test", ("can0", "can1"), WRONG_COMMAND + "CAN can1 \n", []),
])
def test_single_bus_steps_report_the_write(make_board, step, text, interfaces, out, frames):
    board = make_board(can_interfaces=interfaces)
    assert board.run("CAN", step, text) == (0, out, "")
    assert board.can.frames == frames
