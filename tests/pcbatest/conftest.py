"""Fixtures of the production test tool's tests: a fresh simulated board per
test and a runner for the tool on it."""
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from simboard import SimBoard  # noqa: E402


def tool_binary():
    build = os.environ.get("KV_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
    return os.path.join(build, "pcbatest", "KV2TPCBATest")


@pytest.fixture
def make_board(tmp_path):
    boards = []

    def make(**kw):
        board = SimBoard(tool_binary(), workdir=str(tmp_path / ("board%d" % len(boards))), **kw)
        boards.append(board)
        return board

    yield make
    for board in boards:
        board.close()


@pytest.fixture
def board(make_board):
    return make_board()


def unchanged_by_refusal(before, after):
    """True when a refused run left the board as it was (SimBoard.state()
    before and after) and sent nothing on a serial port or CAN bus."""
    def kept(state):
        return {key: value for key, value in state.items() if key != "sent"}
    return kept(before) == kept(after) and after["sent"] == (b"", 0)
