"""pytest fixtures for tests against simulated boards.

    def test_echo(sim_board):
        with sim_board.messages(timeout=5) as received:
            sim_board.send_byte(3, 0x41)
            assert next(received).data == b"\\x41"

The library is opened once per test process (its threads live as long as the process, so it
cannot be opened afresh for each test). Each test gets fresh simulated boards instead: after a
test its boards are closed, every message the library still held is delivered to nobody, and
the boards are loaded again. Mark a test `@pytest.mark.corvane_boards("boards.json", board=1)`
for the boards of a board file, or another board of the set.
"""

import pytest

from . import sim


def pytest_configure(config):
    config.addinivalue_line("markers", "corvane_boards(board_file=None, board=0): the simulated boards of a test")


@pytest.fixture(scope="session")
def sim_library():
    """The library, open on simulated boards, for the whole test run."""
    library = sim.open()
    yield library
    library.close()


@pytest.fixture
def sim_boards(request, sim_library):
    """The library with a fresh set of simulated boards (the default set, or the marker's file)."""
    marker = request.node.get_closest_marker("corvane_boards")
    board_file = (marker.args[0] if marker and marker.args else None) or (marker.kwargs.get("board_file") if marker else None)
    sim.reset(sim_library, board_file)
    yield sim_library
    for board in list(sim_library._boards):
        board.close()


@pytest.fixture
def sim_board(request, sim_boards):
    """A fresh simulated board, open: board 0 of the default set (an echoing board) unless the
    marker names another."""
    marker = request.node.get_closest_marker("corvane_boards")
    which = marker.kwargs.get("board", 0) if marker else 0
    board = sim_boards.board(which)
    yield board
    board.close()
