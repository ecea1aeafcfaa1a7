"""Simulated boards: the library pointed at the simulated D2XX driver, and what its boards know.

The simulated driver is a D2XX driver of its own (libftd2xx.so, ftd2xx32.dll or ftd2xx64.dll)
with a control API. Loaded here by its path before the library opens, it is the module the
library then gets when it loads its driver by name. Never install it where a real driver is
looked for.
"""

import ctypes
import os

from . import _native, library as _library
from ._native import CorvaneError

SIM_DRIVER_VARIABLE = "CORVANE_SIM_DRIVER"
SILENT, ECHO, REGISTERS = 0, 1, 2
BEHAVIOURS = {"silent": SILENT, "echo": ECHO, "registers": REGISTERS}


class _Stream(ctypes.Structure):
    _fields_ = [("singleByteChannels", ctypes.c_uint32), ("blockChannels", ctypes.c_uint32),
                ("blockLength", ctypes.c_uint32), ("messagesPerSecond", ctypes.c_uint32),
                ("count", ctypes.c_uint64)]


class _Counts(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint64) for name in
                ("triggers", "singleBytes", "blocks", "controlSequences", "controlDiscarded")]


_i, _u32, _u64, _p = ctypes.c_int, ctypes.c_uint32, ctypes.c_uint64, ctypes.c_void_p
_PROTOTYPES = {
    "sim_reset": (None, []),
    "sim_load_boards": (_i, [ctypes.c_char_p, ctypes.c_char_p, _u32]),
    "sim_device_count": (_i, []),
    "sim_find_device": (_i, [ctypes.c_char_p]),
    "sim_queue_rx": (None, [_i, _p, _u32]),
    "sim_rx_pending": (_u32, [_i]),
    "sim_written_size": (_u32, [_i]),
    "sim_copy_written": (_u32, [_i, _p, _u32]),
    "sim_clear_written": (None, [_i]),
    "sim_set_behaviour": (None, [_i, _i]),
    "sim_behaviour": (_i, [_i]),
    "sim_register": (_u32, [_i, _u32, _p, _u32]),
    "sim_leds": (_u32, [_i]),
    "sim_control_value": (_i, [_i, _u32]),
    "sim_board_counts": (None, [_i, ctypes.POINTER(_Counts)]),
    "sim_unplug": (None, [_i]),
    "sim_replug": (None, [_i]),
    "sim_cut_blocks": (None, [_i, _i, _u32]),
    "sim_is_open": (_i, [_i]),
    "sim_set_stream": (None, [_i, ctypes.POINTER(_Stream)]),
    "sim_stream_sent": (_u64, [_i]),
    "sim_fail_next": (None, [ctypes.c_char_p, _i, _u32]),
    "sim_short_writes": (None, [_i, _u32]),
    "sim_latency_timer": (_u32, [_i]),
}


def driver_candidates(library_path=None, environ=None, package_dir=None):
    """Where the simulated driver is looked for, in order: the variable, beside the package, the
    corvane/sim folder beside an installed library, beside the library (the Windows build folder),
    and the build tree's sim folder."""
    environ = os.environ if environ is None else environ
    package_dir = package_dir or os.path.dirname(os.path.abspath(__file__))
    names = _native.driver_names()
    found = []
    if environ.get(SIM_DRIVER_VARIABLE):
        found.append(environ[SIM_DRIVER_VARIABLE])
    found += [os.path.join(package_dir, "sim", name) for name in names]
    if library_path and os.path.dirname(library_path):
        folder = os.path.dirname(os.path.abspath(library_path))
        found += [os.path.join(folder, "corvane", "sim", name) for name in names]
        found += [os.path.join(folder, name) for name in names]
        found += [os.path.join(folder, "..", "..", "sim", name) for name in names]
    return found


class Simulator:
    """The loaded simulated driver."""

    def __init__(self, path):
        self.path = path
        if _native.is_windows():
            self._c = ctypes.CDLL(path, winmode=0)
        else:
            self._c = ctypes.CDLL(path)
        if not hasattr(self._c, "sim_load_boards"):
            raise CorvaneError("%s is not the simulated driver" % path)
        for name, (result, arguments) in _PROTOTYPES.items():
            function = getattr(self._c, name)
            function.restype, function.argtypes = result, arguments

    @classmethod
    def find(cls, library_path=None):
        tried = []
        for path in driver_candidates(library_path):
            if os.path.exists(path):
                return cls(os.path.normpath(path))
            tried.append(path)
        raise CorvaneError("the simulated driver was not found; tried: %s (set %s)" % (
            "; ".join(tried), SIM_DRIVER_VARIABLE))

    def load(self, board_file=None):
        """Replaces every device with those of a board file (JSON), or the default set."""
        reason = ctypes.create_string_buffer(512)
        path = None if board_file is None else os.fsencode(board_file)
        count = self._c.sim_load_boards(path, reason, len(reason))
        if count < 0:
            raise CorvaneError(reason.value.decode("latin-1"))
        return count

    def device_count(self):
        return self._c.sim_device_count()

    def device(self, serial):
        """The simulated board with that serial number."""
        number = self._c.sim_find_device(serial.encode("latin-1"))
        if number < 0:
            raise CorvaneError("no simulated device has the serial number %s" % serial)
        return SimBoard(self, number)

    def fail_next(self, entry_point, count=1, status=4):
        """The next `count` calls of a driver entry point fail with `status` (4: FT_IO_ERROR);
        a negative count fails every call until cleared with 0."""
        self._c.sim_fail_next(entry_point.encode(), count, status)

    def short_writes(self, count, written):
        """The next `count` writes take only `written` bytes (a board that stopped taking data)."""
        self._c.sim_short_writes(count, written)


class SimBoard:
    """What one simulated board knows, and the knobs it has."""

    def __init__(self, simulator, number):
        self._sim, self._c, self.number = simulator, simulator._c, number

    def register(self, address):
        """The bytes register `address` (0 to 15) holds: the last single byte or block sent to it."""
        size = self._c.sim_register(self.number, address, None, 0)
        buffer = ctypes.create_string_buffer(max(size, 1))
        self._c.sim_register(self.number, address, buffer, size)
        return buffer.raw[:size]

    @property
    def leds(self):
        """The four LEDs as a bit mask (bit i: LED i lit)."""
        return self._c.sim_leds(self.number)

    def control_value(self, address):
        """The value of the last complete control sequence to `address`, or None."""
        value = self._c.sim_control_value(self.number, address)
        return None if value < 0 else value

    @property
    def counts(self):
        counts = _Counts()
        self._c.sim_board_counts(self.number, ctypes.byref(counts))
        return {name: getattr(counts, name) for name, _ in _Counts._fields_}

    @property
    def behaviour(self):
        value = self._c.sim_behaviour(self.number)
        return {v: k for k, v in BEHAVIOURS.items()}.get(value, value)

    @behaviour.setter
    def behaviour(self, name):
        if name not in BEHAVIOURS:
            raise _library.ArgumentError("behaviour must be one of %s" % ", ".join(BEHAVIOURS))
        self._c.sim_set_behaviour(self.number, BEHAVIOURS[name])

    def written(self):
        """Every byte the library wrote to the board, in order."""
        size = self._c.sim_written_size(self.number)
        buffer = ctypes.create_string_buffer(max(size, 1))
        got = self._c.sim_copy_written(self.number, buffer, size)
        return buffer.raw[:got]

    def clear_written(self):
        self._c.sim_clear_written(self.number)

    def queue(self, data):
        """Bytes the board sends to the host, as they are (headers included)."""
        raw = bytes(data)
        self._c.sim_queue_rx(self.number, raw, len(raw))

    @property
    def pending(self):
        return self._c.sim_rx_pending(self.number)

    def stream(self, byte_channels=(), block_channels=(), block_length=16, rate=0, count=0):
        """Starts numbered messages from the board (see the driver's stream mode); call it after
        the board is opened, since opening purges what the board has queued."""
        settings = _Stream(sum(1 << c for c in byte_channels), sum(1 << c for c in block_channels),
                       block_length, rate, count)
        self._c.sim_set_stream(self.number, ctypes.byref(settings))

    def stop_stream(self):
        self._c.sim_set_stream(self.number, None)

    @property
    def stream_sent(self):
        return self._c.sim_stream_sent(self.number)

    def unplug(self):
        self._c.sim_unplug(self.number)

    def replug(self):
        self._c.sim_replug(self.number)

    def cut_blocks(self, count, keep):
        self._c.sim_cut_blocks(self.number, count, keep)

    @property
    def is_open(self):
        return bool(self._c.sim_is_open(self.number))

    @property
    def latency_timer(self):
        """The chip's latency timer as the library left it (16 after an open unless set)."""
        return self._c.sim_latency_timer(self.number)


def open(board_file=None, **settings):  # noqa: A001
    """Opens the library on simulated boards: those of a board file, or the default set (board 0
    an echoing board, board 1 a streaming one). Settings as for corvane.open; the simulated
    driver is bound whatever `driver` says."""
    module, path = _native.load_library()
    simulator = Simulator.find(path)
    simulator.load(board_file)
    # The simulated driver wins over a `driver` setting and CORVANE_DRIVER: the library binds it.
    _library._validated_settings(settings)
    settings["driver"] = simulator.path
    return _library.open(_simulator=simulator, **settings)


def reset(library, board_file=None):
    """Gives an open simulated library a fresh set of boards without a new process (the library
    cannot be opened afresh: its threads live as long as the process). Closes every board, loads
    the boards again and lists them. Listing renews every board record in the library: a message
    still queued for an old board is consumed without a callback, so the new boards' callbacks
    get only their own messages, and the old boards' callbacks get nothing more."""
    simulator = library.sim
    if simulator is None:
        raise CorvaneError("not a simulated library")
    with library._lock:
        for board in list(library._boards):
            board.close()
        simulator.load(board_file)
        return library.refresh()
