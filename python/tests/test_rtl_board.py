# The package's echo round trips against a board whose logic is the example gateware, simulated
# cycle by cycle behind the bridge chip's pins (docs/boards.rtl.json). Skipped where the build has
# no gateware simulation (no Verilator, a Windows or sanitizer build).
import os

import pytest

from corvane import CorvaneError, sim

RTL_BOARDS = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                          "docs", "boards.rtl.json")


@pytest.fixture
def rtl_board(sim_library):
    try:
        sim.reset(sim_library, RTL_BOARDS)
    except CorvaneError as error:
        if "without the gateware" in str(error):
            pytest.skip(str(error))
        raise
    board = sim_library.board("RTL0001B")
    yield board
    board.close()


ECHOES = [
    (lambda b: b.send_byte(3, 0x41), [(3, "byte", 0xD3, b"\x41", 0x41)]),
    (lambda b: b.send_byte(7, 0x00), [(7, "byte", 0xD7, b"\x00", 0x00)]),
    (lambda b: b.send_block(2, b"Hello, gateware"), [(2, "block", 0xE2, b"Hello, gateware", None)]),
    (lambda b: b.send_block(6, bytes(range(255))), [(6, "block", 0xE6, bytes(range(255)), None)]),
    (lambda b: b.send_trigger(0x0A), [(0, "trigger", 0xC8, b"", 0x0A)]),
    (lambda b: b.send_control(1, 0x99), [(1, "byte", 0xD1, bytes([v]), v) for v in (0x5A, 0xC3, 0x7E, 0x99, 0x00)]),
]


@pytest.mark.parametrize("send, echoed", ECHOES)
def test_the_gateware_echoes_each_kind_of_message(rtl_board, send, echoed):
    with rtl_board.messages(timeout=10) as received:
        send(rtl_board)
        got = [(m.channel, m.kind, m.command, m.data, m.value) for _, m in zip(echoed, received)]
    assert got == echoed


def test_the_gateware_keeps_what_the_host_sent(rtl_board):
    with rtl_board.messages(timeout=10) as received:
        rtl_board.send_trigger(0x05)
        rtl_board.send_byte(5, 0x77)
        rtl_board.send_control(6, 0x42)
        assert len([m for _, m in zip(range(7), received)]) == 7
    device = rtl_board.sim
    assert (device.leds, device.register(5), device.control_value(6)) == (0x05, b"\x77", 0x42)
    assert device.counts["controlSequences"] == 1
