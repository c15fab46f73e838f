"""The card gateway protocol as the firmware model sees it (exact requests,
acknowledgement polling, pieces and pairs, time-outs) and the EEPROM steps."""
import os
import stat
import struct

import pytest

from gateway import IMAGE_SIZE, parse_request

WRONG_COMMAND = "Wrong test command specified -> \n"
WRONG_DATA = "Wrong test data specified -> \n"
IO_FAILURE = "Unable to open, read or write to file -> \n"
PARTIAL = "Board partly written, step not finished -> \n"


def req(address, op, length, data6=0, data7=0):
    return struct.pack("<IBBBB", address, op, length, data6, data7)


def gaps(times):
    return [b - a for a, b in zip(times, times[1:])]


@pytest.mark.parametrize("args, ack_polls, first_request, reply_size, min_gap", [
    # register write: value little-endian in bytes 6 and 7, polled every millisecond
    (("OUTPUT", "set", "io", "2", "1", "0"), 3, req(24, 1, 2, 1, 0), 1, 0.001),
    (("OUTPUT", "set", "io", "4", "3", "0"), 1, req(26, 1, 2, 3, 0), 1, 0.001),
    (("OUTPUT", "set", "sense", "1", "1", "0"), 2, req(20, 1, 2, 0, 0), 1, 0.001),
    # register read: length 2, three bytes a poll, every 10 ms; then the
    # calibration record in block reads, every 10 ms
    (("INPUT", "readRaw", "io", "1"), 3, req(11, 0, 2), 3, 0.010),
    (("CARDINFO", "get", "sense", "SW"), 2, req(0x200014, 0, 7), 8, 0.010),
    # block read, then block write, every 10 ms
    (("CARDINFO", "set", "io", "VN", "2.1"), 2, req(0x300014, 0, 7), 8, 0.010),
])
def test_request_bytes_and_polling(board, args, ack_polls, first_request, reply_size, min_gap):
    board.gateway.ack_polls = ack_polls
    board.run(*args)
    exchanges = board.gateway.exchanges()
    assert board.gateway.requests()[0] == first_request
    reads = [t for t in board.gateway.log if t.kind == "r"]
    assert {len(t.data) for t in reads[:ack_polls]} == {reply_size}
    # The firmware relies on the pace: not even the first poll comes sooner
    # than one interval after its request. Only lower bounds are checked, as
    # a loaded machine can always be slower.
    for exchange in exchanges:
        assert exchange.acked and len(exchange.polls) == ack_polls
        assert min(gaps([exchange.time] + exchange.polls)) >= min_gap


def test_block_read_in_pieces_of_seven(board):
    board.gateway.eeprom["io"][0x14:0x14 + 10] = b"I/O card\0\0"
    assert board.run("CARDINFO", "get", "io", "DS") == (0, "CARDINFO get io DS I/O card\n", "")
    requests = [parse_request(r) for r in board.gateway.requests()]
    assert [(r.address, r.op, r.length) for r in requests] == \
        [(0x300014 + 7 * i, 0, 7) for i in range(7)] + [(0x300014 + 49, 0, 6)]


def test_block_write_in_pairs_with_a_final_odd_byte(board):
    board.gateway.eeprom["sense"][0x14 + 54] = 0x77    # production day, the block's last byte
    assert board.run("CARDINFO", "set", "sense", "VN", "2.1") == (0, "CARDINFO set sense VN 2.1 \n", "")
    writes = [parse_request(r) for r in board.gateway.requests() if r[4] == 1]
    assert [(w.address, w.length) for w in writes] == [(0x200014 + 2 * i, 2) for i in range(27)] + [(0x200014 + 54, 1)]
    assert (writes[-1].data6, writes[-1].data7) == (0, 0x77)
    assert [(w.data6, w.data7) for w in writes[22:24]] == [(0, ord("2")), (ord(".")  , ord("1"))]


@pytest.mark.parametrize("args, polls, out", [
    (("OUTPUT", "set", "io", "1", "1", "0"), 100, IO_FAILURE + "OUTPUT set io 1 1 0\n"),
    (("INPUT", "readRaw", "sense", "1"), 100, IO_FAILURE + "INPUT readRaw sense 1 \n"),
])
def test_no_acknowledgement_within_the_polls_fails(board, args, polls, out):
    board.gateway.silent = True
    assert board.run(*args) == (0, out, "")
    assert [len(e.polls) for e in board.gateway.exchanges()] == [polls]


def test_request_refused_on_the_bus_fails_at_once(board):
    board.gateway.absent = True
    assert board.run("INPUT", "readRaw", "sense", "1") == (0, IO_FAILURE + "INPUT readRaw sense 1 \n", "")
    assert [t.kind for t in board.gateway.log] == ["w"]


@pytest.mark.parametrize("args, out", [
    (("CARDINFO", "get", "sense", "SW"), IO_FAILURE + "CARDINFO get sense SW \n"),
    (("EEPROM", "format", "sense"), IO_FAILURE + "EEPROM format sense \n"),
    (("OUTPUT", "set", "foo", "1", "1", "0"), IO_FAILURE + "OUTPUT set foo 1 \n"),
])
def test_missing_gateway_device(make_board, args, out):
    board = make_board(gateway=False)
    assert board.run(*args) == (0, out, "")


# ---- EEPROM ---------------------------------------------------------------

def files(folder):
    """The files a step left in a test's folder (the board keeps its own there)."""
    return sorted(name for name in os.listdir(folder) if not name.startswith("board"))


def pattern(seed):
    return bytes((i * 7 + seed) & 0xFF for i in range(2048))


def test_eeprom_read_dumps_the_image_to_a_new_private_file(board, tmp_path):
    board.gateway.eeprom["io"][:] = pattern(3)
    path = str(tmp_path / "io.bin")
    assert board.run("EEPROM", "read", "io", path) == (0, "EEPROM read io %s \n" % path, "")
    with open(path, "rb") as f:
        assert f.read() == pattern(3)[:IMAGE_SIZE]
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    assert files(tmp_path) == ["io.bin"]        # no temporary file left beside it
    lengths = [parse_request(r).length for r in board.gateway.requests()]
    assert lengths == [7] * 146 + [2]


def test_eeprom_read_replaces_a_longer_older_dump(board, tmp_path):
    board.gateway.eeprom["io"][:] = pattern(3)
    path = tmp_path / "io.bin"
    path.write_bytes(b"\xee" * 3000)
    assert board.run("EEPROM", "read", "io", str(path)) == (0, "EEPROM read io %s \n" % path, "")
    assert path.read_bytes() == pattern(3)[:IMAGE_SIZE]


@pytest.mark.parametrize("older", [None, b"\xee" * 3000], ids=["none", "older"])
def test_eeprom_read_failing_on_the_card_leaves_no_dump(board, tmp_path, older):
    path = tmp_path / "io.bin"
    if older is not None:
        path.write_bytes(older)
    board.gateway.absent = True
    assert board.run("EEPROM", "read", "io", str(path)) == (0, IO_FAILURE + "EEPROM read io %s \n" % path, "")
    assert (path.read_bytes() if path.exists() else None) == older
    assert files(tmp_path) == ([] if older is None else ["io.bin"])


# A target that is not a regular file (a FIFO would block the tool for
# ever, a device node would be written) is refused before the card is read.
@pytest.mark.parametrize("target, card_read", [
    ("/nonexistent-folder/sense.bin", True),
    ("/dev/full", False),
    ("{dir}/fifo", False),
    ("{dir}", False),
    ("", False),
])
def test_eeprom_read_into_a_file_that_cannot_be_written_fails(board, tmp_path, target, card_read):
    os.mkfifo(tmp_path / "fifo")
    path = target.format(dir=tmp_path)
    board.gateway.eeprom["sense"][:] = pattern(1)
    assert board.run("EEPROM", "read", "sense", path) == (0, IO_FAILURE + "EEPROM read sense %s \n" % path, "")
    assert bool(board.gateway.requests()) == card_read
    assert files(tmp_path) == ["fifo"]


def test_eeprom_erase_keeps_the_production_data(board):
    board.gateway.eeprom["sense"][:] = pattern(5)
    assert board.run("EEPROM", "erase", "sense") == (0, "EEPROM erase sense \n", "")
    memory = bytes(board.gateway.eeprom["sense"])
    assert memory[:0x4B] == pattern(5)[:0x4B]
    assert memory[0x4B:0x44B] == b"\xff" * 1024
    assert memory[0x44B:] == pattern(5)[0x44B:]
    assert bytes(board.gateway.eeprom["io"]) == bytes(2048)


@pytest.mark.parametrize("content, image", [
    (pattern(9)[:IMAGE_SIZE], pattern(9)[:IMAGE_SIZE]),
    (pattern(9)[:1500], pattern(9)[:IMAGE_SIZE]),                       # only the image is taken
], ids=["image", "longer"])
def test_eeprom_write_restores_the_image(board, tmp_path, content, image):
    path = str(tmp_path / "image.bin")
    with open(path, "wb") as f:
        f.write(content)
    board.gateway.eeprom["io"][:] = pattern(1)
    assert board.run("EEPROM", "write", "io", path) == (0, "EEPROM write io %s \n" % path, "")
    assert board.gateway.image("io") == image
    assert bytes(board.gateway.eeprom["io"][IMAGE_SIZE:]) == pattern(1)[IMAGE_SIZE:]
    # what the card held, the image in pairs, then the image read back
    ops = [(r[4], parse_request(r).address) for r in board.gateway.requests()]
    assert ops == [(0, 0x300000 + 7 * i) for i in range(147)] + [(1, 0x300000 + 2 * i) for i in range(512)] + \
        [(0, 0x300000 + 7 * i) for i in range(147)]


@pytest.mark.parametrize("content, error", [
    (None, IO_FAILURE),                         # cannot be opened
    (b"", WRONG_DATA),                          # zeros would wipe production data and calibration
    (pattern(9)[:10], WRONG_DATA),
    (pattern(9)[:IMAGE_SIZE - 1], WRONG_DATA),
    ("fifo", IO_FAILURE),                       # never blocks the tool
    ("folder", IO_FAILURE),
], ids=["missing", "empty", "10 bytes", "one short", "fifo", "folder"])
def test_eeprom_write_from_a_missing_or_short_file_leaves_the_card(board, tmp_path, content, error):
    board.gateway.eeprom["sense"][:] = pattern(2)
    path = tmp_path / "image.bin"
    if content == "fifo":
        os.mkfifo(path)
    elif content == "folder":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    assert board.run("EEPROM", "write", "sense", str(path)) == (0, error + "EEPROM write sense %s \n" % path, "")
    assert board.gateway.requests() == []
    assert bytes(board.gateway.eeprom["sense"]) == pattern(2)


@pytest.mark.parametrize("args, out", [
    (("EEPROM", "read", "main", "{dir}/x.bin"), WRONG_COMMAND + "EEPROM read main {dir}/x.bin \n"),
    (("EEPROM", "erase", "Sense"), WRONG_COMMAND + "EEPROM erase Sense \n"),
    (("EEPROM", "dump", "sense", "{dir}/x.bin"), WRONG_COMMAND + "EEPROM dump sense \n"),
])
def test_eeprom_unknown_card_or_step_touches_nothing(board, tmp_path, args, out):
    args = [a.format(dir=tmp_path) for a in args]
    assert board.run(*args) == (0, out.format(dir=tmp_path), "")
    assert board.gateway.requests() == []
    assert not os.path.exists(tmp_path / "x.bin")


# A write is judged by reading the card back: success only when it holds
# exactly what was asked; the I/O error line when it holds what it held
# before; the partial line when it holds neither, or when the read-back
# failed after a request that would change a byte went out. Rows: fault,
# step, card, first line, how many leading bytes of the region took the
# new value (None: all of them kept the old one).
OLD, NEW = pattern(1), pattern(9)[:IMAGE_SIZE]
WRITE_FAULTS = [
    ({"write_protect": 0}, "write", "io", IO_FAILURE, None),      # acknowledged, nothing kept
    ({"write_protect": 0x200}, "write", "io", PARTIAL, 0x200),
    ({"fail_after": 0}, "write", "io", IO_FAILURE, None),          # the card cannot even be read
    ({"fail_after": 147}, "write", "io", IO_FAILURE, None),        # read, then the first write refused
    ({"fail_after": 157}, "write", "io", PARTIAL, 20),             # ten pairs went to the card
    ({"write_protect": 0}, "erase", "sense", IO_FAILURE, None),
    ({"write_protect": 0x100}, "erase", "sense", PARTIAL, 0x100 - 0x4B),
    ({"fail_after": 157}, "erase", "sense", PARTIAL, 20),
]


@pytest.mark.parametrize("fault, step, card, error, changed", WRITE_FAULTS)
def test_eeprom_write_is_read_back(board, tmp_path, fault, step, card, error, changed):
    for key, value in fault.items():
        setattr(board.gateway, key, value)
    board.gateway.eeprom[card][:] = OLD
    (tmp_path / "image.bin").write_bytes(NEW)
    args = ("EEPROM", step, card) + ((str(tmp_path / "image.bin"),) if step == "write" else ())
    assert board.run(*args) == (0, error + " ".join(args) + " \n", "")
    start, new = (0, NEW) if step == "write" else (0x4B, b"\xff" * IMAGE_SIZE)
    expected = bytearray(OLD)
    expected[start:start + (changed or 0)] = new[:changed or 0]
    assert bytes(board.gateway.eeprom[card]) == bytes(expected)


# Each step ends at its deadline, however slowly the gateway answers: past it
# no request is sent and no poll read. Without it these would take 7 s
# (8 more block reads of a second) and 40 s.
@pytest.mark.parametrize("slow_after, args, error, requests", [
    (2, ("CARDINFO", "get", "io", "SN"), IO_FAILURE, 9),
    (12, ("CARDINFO", "set", "io", "DS", "Slow card"), PARTIAL, 45),   # pairs of the new text went out
])
def test_a_slow_gateway_ends_the_step_at_its_deadline(board, slow_after, args, error, requests):
    board.gateway.slow_after = slow_after
    assert board.run(*args) == (0, error + " ".join(args[:4]) + " " + "".join(a + " " for a in args[4:]) + "\n", "")
    assert slow_after < len(board.gateway.requests()) < requests
