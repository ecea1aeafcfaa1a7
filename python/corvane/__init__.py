"""Corvane from Python: FPGA boards behind an FTDI USB bridge chip, through the Corvane library.

    import corvane
    with corvane.open() as library:
        with library.board(0) as board:
            board.on_message(print)
            board.send_byte(3, 0x41)

corvane.sim opens the library on simulated boards; the pytest plugin corvane.pytest_plugin
gives tests a fresh simulated board (the fixture sim_board).
"""

from ._native import CorvaneError
from ._version import __version__
from .library import (BLOCK, BYTE, TRIGGER, ArgumentError, Board, BoardClosedError, BoardInfo, Library, Message,
                      MessageStream, open)

__all__ = ["open", "Library", "Board", "BoardInfo", "Message", "MessageStream", "CorvaneError", "ArgumentError",
           "BoardClosedError", "TRIGGER", "BYTE", "BLOCK"]
