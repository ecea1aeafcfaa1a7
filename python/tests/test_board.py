# A board through the package and the library, against the simulated driver's echoing board.
import array
import logging
import threading
import time

import pytest

import corvane
from corvane import ArgumentError, BoardClosedError, CorvaneError


def wait_until(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.002)
    return True


BLOCK_300 = bytes(range(256)) + bytes(range(44))
SENDS = [
    (lambda b: b.send_trigger(0x08), [0x81, 0x08]),
    (lambda b: b.send_byte(3, 0x41), [0x93, 0x41]),
    (lambda b: b.send_byte(7, 0xFF), [0x97, 0xFF]),
    (lambda b: b.send_block(2, b"Hi!"), [0xA2, 3] + list(b"Hi!")),
    (lambda b: b.send_block(1, bytearray(b"\x00\xff")), [0xA1, 2, 0x00, 0xFF]),
    (lambda b: b.send_block(0, array.array("H", [0x0102])), [0xA0, 2, 0x02, 0x01]),
    (lambda b: b.send_block(5, b""), [0xA5, 0]),
    (lambda b: b.send_block(1, BLOCK_300), [0xA1, 0xFF] + list(BLOCK_300[:255]) + [0xA1, 45] + list(BLOCK_300[255:])),
    (lambda b: b.send_control(3, 0x7E), [0x9A, 0x5A, 0x9A, 0xC3, 0x9A, 0x7E, 0x9A, 0x7E, 0x9A, 0x00]),
]


def test_sends_put_exact_bytes_on_the_wire(sim_board):
    device = sim_board.sim
    for send, wire in SENDS:
        device.clear_written()
        send(sim_board)
        assert device.written() == bytes(wire)


BAD_ARGUMENTS = [
    lambda b: b.send_byte(8, 1), lambda b: b.send_byte(-1, 1), lambda b: b.send_byte(0, 256),
    lambda b: b.send_byte(0, -1), lambda b: b.send_byte(1.0, 1), lambda b: b.send_byte(True, 1),
    lambda b: b.send_trigger(256), lambda b: b.send_block(8, b"x"), lambda b: b.send_block(0, "text"),
    lambda b: b.send_block(0, 5), lambda b: b.send_control(8, 0), lambda b: b.send_control(0, 300),
    lambda b: b.blink([1, 256]), lambda b: b.blink([1], delay_ms=-1), lambda b: b.blink([1], repeats=-1),
    lambda b: b.on_message(print, channel=8), lambda b: b.on_message(42), lambda b: b.messages(channel=-1),
    lambda b: b.messages(maxsize=0),
]
CLOSED_BOARD = [
    lambda b: b.send_trigger(1), lambda b: b.send_byte(0, 1), lambda b: b.send_block(0, b"x"),
    lambda b: b.send_control(0, 1), lambda b: b.blink([1]), lambda b: b.self_test(), lambda b: b.select(),
]


def test_bad_arguments_and_a_closed_board_raise_before_the_library_is_called(sim_board):
    library, device = sim_board.library, sim_board.sim
    for call in BAD_ARGUMENTS:
        with pytest.raises(ArgumentError):
            call(sim_board)
    sim_board.close()
    for call in CLOSED_BOARD:
        with pytest.raises(BoardClosedError):
            call(sim_board)
    assert device.written() == b""
    assert library.last_error == "No error found!"
    for wrong in (2, "CV999", 1.5):
        with pytest.raises(ArgumentError):
            library.board(wrong)


@pytest.mark.parametrize("send, text", [
    (lambda b: b.send_trigger(1), "Failed to write tigger"),
    (lambda b: b.send_byte(2, 1), "Failed to write single byte"),
    (lambda b: b.send_block(2, b"abc"), "SendBlock: Cannot write message preamble"),
])
def test_a_failing_send_raises_with_the_library_text(sim_board, send, text):
    sim_board.library.sim.fail_next("FT_Write", 1)
    with pytest.raises(CorvaneError) as error:
        send(sim_board)
    assert str(error.value) == text
    send(sim_board)  # the fault was for one call


def test_messages_reach_the_channel_callback_else_the_general_one(sim_board):
    general, channel3 = [], []
    sim_board.on_message(general.append)
    sim_board.on_message(channel3.append, channel=3)
    sim_board.on_message(channel3.append, channel=0)  # triggers still go to the general callback
    sim_board.send_byte(3, 0x41)
    sim_board.send_block(2, b"Hello")
    sim_board.send_trigger(0x05)
    assert wait_until(lambda: len(general) == 2 and len(channel3) == 1)
    got = [(m.board, m.channel, m.kind, m.command, m.data, m.value) for m in channel3 + general]
    assert sorted(got, key=lambda g: g[3]) == sorted([
        (sim_board, 3, "byte", 0xD3, b"\x41", 0x41),
        (sim_board, 2, "block", 0xE2, b"Hello", None),
        (sim_board, 0, "trigger", 0xC8, b"", 0x05),
    ], key=lambda g: g[3])
    sim_board.on_message(None, channel=3)  # removed: channel 3 falls back to the general callback
    sim_board.send_byte(3, 0x42)
    assert wait_until(lambda: len(general) == 3)
    assert (general[2].channel, general[2].data) == (3, b"\x42") and len(channel3) == 1


def test_an_exception_in_a_callback_is_logged_once_and_delivery_goes_on(sim_board, caplog):
    def broken(message):
        raise RuntimeError("callback fault %d" % message.value)
    sim_board.on_message(broken)
    with sim_board.messages(timeout=5) as received, caplog.at_level(logging.ERROR, logger="corvane"):
        for value in (1, 2, 3):
            sim_board.send_byte(1, value)
        assert [m.value for _, m in zip(range(3), received)] == [1, 2, 3]
        assert wait_until(lambda: sim_board.callback_errors == 3)
    records = [r for r in caplog.records if r.name == "corvane"]
    assert len(records) == 1
    assert "callback fault 1" in records[0].exc_text and "board 0 (CV000101B)" in records[0].getMessage()


def test_a_full_queue_drops_new_messages_and_counts_them(sim_board):
    with sim_board.messages(maxsize=2) as small, sim_board.messages(timeout=5) as everything:
        for value in range(5):
            sim_board.send_byte(4, value)
        assert [m.value for _, m in zip(range(5), everything)] == [0, 1, 2, 3, 4]
        assert (small.dropped, small.received, len(small)) == (3, 2, 2)
        assert [small.get(0).value, small.get(0).value, small.get(0)] == [0, 1, None]
    with sim_board.messages(timeout=0.05, channel=6) as other:
        sim_board.send_byte(5, 1)
        assert list(other) == []


def test_the_board_model_shows_what_the_library_sent(sim_board):
    device = sim_board.sim
    sim_board.send_byte(5, 0x33)
    sim_board.send_block(6, b"\x01\x02\x03")
    sim_board.send_control(1, 0x44)
    assert device.register(5) == b"\x33" and device.register(6) == b"\x01\x02\x03"
    assert device.control_value(1) == 0x44 and device.control_value(7) is None
    sim_board.blink([1, 2, 3, 4], delay_ms=1, repeats=1)
    assert wait_until(lambda: device.counts["triggers"] == 4)
    assert device.leds == 0x8


def test_a_fresh_board_gets_nothing_the_last_one_left_queued(sim_library):
    # Board 1 streams numbered messages (2000 a second, channels 0 to 3). Its callback holds the
    # library's write thread when the boards are reset, with messages queued behind it; none of
    # them may reach the callback of the next test's board.
    from corvane import sim
    sim.reset(sim_library)
    holding = threading.Event()
    old = sim_library.board(1)
    old.on_message(lambda m: holding.is_set() or (holding.set(), time.sleep(0.5)))
    assert holding.wait(10)
    sim.reset(sim_library)
    numbers = []
    lock = threading.Lock()

    def number(message):
        with lock:
            numbers.append(message.data[0] if message.kind == "byte" else int.from_bytes(message.data[:4], "little"))
    # Registered before the open starts the board's stream, so message 0 has its callback.
    # An unpaced stream sends only as the library reads, so nothing is made between the driver's
    # open and the library's purge of what the board had queued.
    fresh = sim_library.board(1, open=False)
    fresh.sim.stream(byte_channels=(0, 1), block_channels=(2, 3), block_length=32)
    fresh.on_message(number)
    fresh.open()
    assert wait_until(lambda: len(numbers) >= 100)
    with lock:
        assert numbers[:100] == list(range(100))
    sim.reset(sim_library)


def test_library_identification_and_a_second_open(sim_library):
    assert sim_library.name == "NRV Corvane Library"
    assert sim_library.version.startswith("1.0.0.7 - ")
    assert sim_library.interface_version == "1.0"
    assert [tuple(b) for b in sim_library.boards()] == [
        (0, "CV000101B", "Corvane Eval Board B"), (1, "CV000102B", "Corvane Stream Board B")]
    with pytest.raises(CorvaneError, match="already open"):
        corvane.open()


def test_two_threads_driving_two_boards_each_reach_their_own(sim_boards):
    # Every operation selects its board first; without one lock around both steps the other
    # thread's select could come in between and send a byte to the wrong board.
    boards = [sim_boards.board(0), sim_boards.board(1)]
    for board in boards:
        board.sim.behaviour = "silent"
        board.sim.stop_stream()
        board.sim.clear_written()

    def drive(board, address):
        for value in range(200):
            board.send_byte(address, value)
    threads = [threading.Thread(target=drive, args=(board, 1 + i)) for i, board in enumerate(boards)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    for i, board in enumerate(boards):
        assert board.sim.written() == b"".join(bytes([0x91 + i, v]) for v in range(200))


def test_a_callback_may_send_and_close_its_own_board(sim_board):
    answers = []

    def reply(message):
        if message.channel == 3:
            sim_board.send_byte(4, message.value + 1)
        else:
            answers.append(message.value)
            sim_board.close()
    sim_board.on_message(reply)
    sim_board.send_byte(3, 0x10)
    assert wait_until(lambda: answers == [0x11] and not sim_board.is_open)
    assert not sim_board.sim.is_open
