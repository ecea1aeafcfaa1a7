"""The library from Python: boards, sends, and the boards' messages as Python calls and queues.

The C library is one per process: its state is global and its two threads run until the process
ends. So one Library object may be open at a time; every call into the C library goes through
that object's lock, which also keeps "select this board, then act on the active board" in one
piece when several Python threads share the library.
"""

import atexit
import builtins
import collections
import ctypes
import logging
import os
import sys
import threading
import time

from . import _native
from ._native import CorvaneError

log = logging.getLogger("corvane")

DRIVER_PATH = "a path to a D2XX driver"

SETTINGS = {
    # keyword: (environment variable, allowed values or None for a number of milliseconds;
    # DRIVER_PATH among them: also a path, as the library tells one)
    "profile": ("CORVANE_PROFILE", ("fast", "default")),
    "rx": ("CORVANE_RX", ("batched", "default")),
    "idle": ("CORVANE_IDLE", ("wait", "spin")),
    "latency_ms": ("CORVANE_LATENCY_MS", None),
    "driver": (_native.DRIVER_VARIABLE, ("vendor", "open", DRIVER_PATH)),
}

TRIGGER, BYTE, BLOCK = "trigger", "byte", "block"
CHANNELS = range(8)
ADDRESSES = range(8)
MAX_BLOCK = 0xFFFFFFFF


class ArgumentError(CorvaneError, ValueError):
    """An argument the library must not be given; raised before anything reaches it."""


class BoardClosedError(CorvaneError):
    """The board (or the library it belongs to) is closed."""


class Message:
    """One message of a board. `data` is a copy, yours to keep; `value` is the trigger value of a
    trigger, the byte of a single byte, None for a block."""

    __slots__ = ("board", "channel", "kind", "command", "data", "value")

    def __init__(self, board, channel, kind, command, data, value):
        self.board, self.channel, self.kind = board, channel, kind
        self.command, self.data, self.value = command, data, value

    def __repr__(self):
        shown = "value=0x%02X" % self.value if self.kind == TRIGGER else "data=%s" % self.data.hex(" ")
        return "Message(board=%d, channel=%d, %s 0x%02X, %s)" % (
            self.board.index if self.board is not None else -1, self.channel, self.kind, self.command, shown)


def kind_of(command):
    """The kind of a board's command byte, tested in the library's order."""
    if command & 0x08:
        return TRIGGER
    if command & 0x10:
        return BYTE
    if command & 0x20:
        return BLOCK
    return None


# Boards by device index, as the library's threads name them. The trampoline below is made once
# and never freed: the library may call a registered callback at any moment, even while a
# registration is replaced, so a ctypes callback object given to it must outlive every call. It
# serves the general and the channel registrations alike: which Python callable gets a message
# is decided in Board._dispatch by the library's own rule.
_receivers = {}


def _trampoline(index, channel, command, length, data, data_length):
    try:
        receiver = _receivers.get(index)
        if receiver is None:
            return 0
        kind = kind_of(command)
        if kind == TRIGGER:
            payload, value = b"", length
        else:
            payload = ctypes.string_at(data, data_length) if data_length and data else b""
            value = payload[0] if kind == BYTE and payload else None
        receiver._dispatch(Message(receiver, channel, kind, command, payload, value))
    except BaseException:  # nothing may cross into the library's thread
        pass
    return 0


_TRAMPOLINE = _native.READ_CALLBACK(_trampoline)

_open_library = None
_open_guard = threading.Lock()


@atexit.register
def _close_at_exit():
    # The library's threads outlive the interpreter: close the boards while Python can still
    # take their last messages, so that no callback is due once it is gone.
    library = _open_library
    if library is not None:
        library.close()


def _validated_settings(settings):
    values = {}
    for key, value in settings.items():
        if key not in SETTINGS:
            raise ArgumentError("unknown setting %r (known: %s)" % (key, ", ".join(SETTINGS)))
        if value is None:
            continue
        variable, allowed = SETTINGS[key]
        if allowed is None:
            if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= 255:
                raise ArgumentError("%s must be a whole number of milliseconds from 1 to 255, not %r" % (key, value))
            value = str(value)
        elif value not in allowed and not (DRIVER_PATH in allowed and isinstance(value, (str, os.PathLike)) and
                                           _native.is_driver_path(os.fspath(value))):
            raise ArgumentError("%s must be one of %s, not %r" % (key, ", ".join(allowed), value))
        value = os.fspath(value) if isinstance(value, os.PathLike) else value
        values[variable] = value
    return values


def _set_environment(values):
    """Sets the variables for the library's open and returns what to restore afterwards."""
    previous = {name: os.environ.get(name) for name in values}
    for name, value in values.items():
        os.environ[name] = value
        if _native.is_windows():
            # The DLL reads its environment through the system C runtime, which keeps a copy of
            # its own; Python's os.environ does not reach that copy.
            ctypes.cdll.msvcrt._putenv(("%s=%s" % (name, value)).encode())
    return previous


def _restore_environment(previous):
    for name, value in previous.items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value
        if _native.is_windows():
            ctypes.cdll.msvcrt._putenv(("%s=%s" % (name, value or "")).encode())


def open(profile=None, rx=None, idle=None, latency_ms=None, debug=False, driver=None,  # noqa: A001
         _simulator=None):
    """Opens the library and lists the boards. `profile="fast"` (or `rx`, `idle`, `latency_ms`
    one by one) chooses the receive settings, which the library reads once when it opens.
    `driver` chooses the D2XX driver it binds: "vendor" (the default), "open" (Corvane's own
    driver, Linux) or the path of a driver file."""
    global _open_library
    values = _validated_settings({"profile": profile, "rx": rx, "idle": idle, "latency_ms": latency_ms,
                                  "driver": driver})
    with _open_guard:
        if _open_library is not None:
            raise CorvaneError("the library is already open in this process; close it first")
        module, path = _native.load_library()
        choice = values.get(_native.DRIVER_VARIABLE, os.environ.get(_native.DRIVER_VARIABLE))
        driver = _native.check_driver(choice=choice)
        previous = _set_environment(values)
        try:
            module.NRV_CV_Open(0, 0, 0)
        finally:
            _restore_environment(previous)
        library = Library(module, path, driver, _simulator)
        _open_library = library
    if debug:
        module.NRV_CV_SetDebugMode(1)
    library.refresh()
    return library


def _text(value):
    return value.decode("latin-1") if value is not None else ""


class BoardInfo(collections.namedtuple("BoardInfo", "index serial name")):
    """A board as the library lists it."""


class Library:
    """The open library. Use as a context manager; closing closes the boards it opened."""

    def __init__(self, module, path, driver, simulator):
        self._c = module
        self.path = path
        self._driver = driver
        self.sim = simulator
        self._lock = threading.RLock()
        self._boards = []
        self._list = []
        self._open = True

    # -- identification
    @property
    def name(self):
        return _text(self._c.NRV_CV_GetName())

    @property
    def version(self):
        return _text(self._c.NRV_CV_GetVersionString())

    @property
    def version_numbers(self):
        parts = [ctypes.c_uint16() for _ in range(4)]
        self._c.NRV_CV_GetVersionControl(*[ctypes.byref(p) for p in parts])
        return tuple(p.value for p in parts)

    @property
    def interface_version(self):
        return _text(self._c.NRV_CV_GetInterfaceVersion())

    @property
    def last_error(self):
        return _text(self._c.NRV_CV_GetLastError()).rstrip("\r\n")

    def set_debug(self, on=True):
        """Debug mode: the library writes every step to Corvane.log in the current folder."""
        self._call("NRV_CV_SetDebugMode", 1 if on else 0)

    # -- lifecycle
    @property
    def closed(self):
        return not self._open

    def close(self):
        global _open_library
        with self._lock:
            if not self._open:
                return
            for board in list(self._boards):
                try:
                    board.close()
                except CorvaneError as error:  # the library closes all the same
                    log.warning("board %d (%s) did not close: %s", board.index, board.serial, error)
            for index in list(_receivers):
                _receivers.pop(index, None)
            self._open = False
            self._c.NRV_CV_Close()
        with _open_guard:
            if _open_library is self:
                _open_library = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _check(self):
        if not self._open:
            raise BoardClosedError("the library is closed")

    def _call(self, name, *arguments):
        """One library call that reports failure by a 0 result."""
        with self._lock:
            self._check()
            if not getattr(self._c, name)(*arguments):
                raise CorvaneError(self.last_error)

    # -- boards
    def refresh(self):
        """Lists the boards again. The library closes every open board and forgets every callback
        registration when it lists, so the Board objects of this library are closed too."""
        with self._lock:
            self._check()
            for board in list(self._boards):
                board._forget()
            _receivers.clear()
            count = _quietly(self._c.NRV_CV_QueryDevices)
            self._list = [BoardInfo(i, _text(self._c.NRV_CV_GetDeviceSerial(i)), _text(self._c.NRV_CV_GetDeviceName(i)))
                          for i in range(count)]
            if count == 0 and self.last_error != "No error found!":
                log.debug("no boards listed: %s", self.last_error)
        return list(self._list)

    def boards(self):
        """The boards of the last listing (index, serial, name)."""
        return list(self._list)

    def _resolve(self, index_or_serial):
        if isinstance(index_or_serial, bool) or not isinstance(index_or_serial, (int, str)):
            raise ArgumentError("a board is named by its index or its serial number, not %r" % (index_or_serial,))
        for info in self._list:
            if info.index == index_or_serial or info.serial == index_or_serial:
                return info
        raise ArgumentError("no board %r among the %d listed (%s)" % (
            index_or_serial, len(self._list), ", ".join(i.serial for i in self._list) or "none"))

    def board(self, index_or_serial=0, open=True):  # noqa: A002
        """The board with that index or serial number, opened unless open=False."""
        with self._lock:
            self._check()
            info = self._resolve(index_or_serial)
            board = next((b for b in self._boards if b.index == info.index), None)
            if board is None:
                board = Board(self, info)
            if open:
                board.open()
            return board


def _quietly(function):
    """Calls a library function that prints to the process's standard output (the listing prints
    a line per board) with that output kept back, where the platform lets us."""
    if _native.is_windows():
        return function()
    libc = ctypes.CDLL(None)
    sys.stdout.flush()
    libc.fflush(None)  # what the library printed before is not kept back
    try:
        saved = os.dup(1)
    except OSError:  # no standard output to keep back
        return function()
    try:
        with builtins.open(os.devnull, "w") as sink:
            os.dup2(sink.fileno(), 1)
            try:
                return function()
            finally:
                libc.fflush(None)
                os.dup2(saved, 1)
    finally:
        os.close(saved)


class Board:
    """One board of the library. Every operation first makes it the library's active board, under
    the library's lock, so boards can be used side by side from several threads."""

    def __init__(self, library, info):
        self.library = library
        self.index, self.serial, self.name = info
        self._is_open = False
        self._general = None
        self._channels = {}
        self._streams = []
        self._registered = set()  # "general" and the channels registered with the library
        self._reported = []       # callbacks whose exception has been logged (kept, so no id is reused)
        self._errors_lock = threading.Lock()
        self.callback_errors = 0
        self._show = None

    def __repr__(self):
        return "<Board %d %s %r%s>" % (self.index, self.serial, self.name, "" if self._is_open else " closed")

    # -- open and close
    @property
    def is_open(self):
        return self._is_open

    def open(self):
        lib = self.library
        with lib._lock:
            if self._is_open:
                return self
            lib._call("NRV_CV_OpenDeviceByIndex", self.index)
            self._is_open = True
            if self not in lib._boards:
                lib._boards.append(self)
            _receivers[self.index] = self
        return self

    def close(self):
        lib = self.library
        with lib._lock:
            if not self._is_open:
                return
            self._is_open = False
            try:
                if lib._open:
                    lib._call("NRV_CV_CloseDeviceByIndex", self.index)
            finally:
                if self in lib._boards:
                    lib._boards.remove(self)
                self._show = None

    def _forget(self):
        """The library has closed this board and dropped its registrations (a new listing)."""
        self._is_open = False
        self._registered.clear()
        self._show = None
        if self in self.library._boards:
            self.library._boards.remove(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def sim(self):
        """The simulated board behind this board (a library opened by corvane.sim only)."""
        if self.library.sim is None:
            raise CorvaneError("board %d (%s) is not a simulated board" % (self.index, self.serial))
        return self.library.sim.device(self.serial)

    def select(self):
        """Makes this board the library's active board (every operation here does it anyway)."""
        with self.library._lock:
            self._select()

    def _select(self):
        if not self._is_open:
            raise BoardClosedError("board %d (%s) is closed" % (self.index, self.serial))
        self.library._call("NRV_CV_SelectActiveDeviceByIndex", self.index)

    def _on_active(self, name, *arguments):
        with self.library._lock:
            self._select()
            self.library._call(name, *arguments)

    # -- sending
    def send_trigger(self, value):
        self._check_byte("trigger value", value)
        self._on_active("NRV_CV_SendTrigger", value)

    def send_byte(self, address, value):
        self._check_address(address)
        self._check_byte("byte", value)
        self._on_active("NRV_CV_SendByte", address, value)

    def send_block(self, address, data):
        """Sends a bytes-like object of any length (over 255 bytes it goes as consecutive blocks)."""
        self._check_address(address)
        try:
            raw = memoryview(data).tobytes()
        except TypeError:
            raise ArgumentError("a block is a bytes-like object, not %s" % type(data).__name__) from None
        if len(raw) > MAX_BLOCK:
            raise ArgumentError("a block of %d bytes is longer than the library takes" % len(raw))
        buffer = (ctypes.c_uint8 * max(len(raw), 1)).from_buffer_copy(raw.ljust(1, b"\0"))
        self._on_active("NRV_CV_SendBlock", address, buffer, len(raw))

    def send_control(self, address, value):
        """The five-message control sequence. The library does not report its writes' failures."""
        self._check_address(address)
        self._check_byte("control value", value)
        self._on_active("NRV_CV_SendTransferControlByte", address, value)

    # -- demonstrations
    def blink(self, steps, delay_ms=100, repeats=1):
        """Starts a light show (it plays on the library's thread; the call returns at once).
        Steps 1 to 4 light one LED each, 0 sends the control pair, 5 to 255 a random LED."""
        steps = list(steps)
        for step in steps:
            self._check_byte("step", step)
        if isinstance(delay_ms, bool) or not isinstance(delay_ms, int) or not 0 <= delay_ms <= 0xFFFFFFFF:
            raise ArgumentError("delay_ms must be a whole number of milliseconds, not %r" % (delay_ms,))
        if isinstance(repeats, bool) or not isinstance(repeats, int) or not 0 <= repeats <= 0x7FFFFFFF:
            raise ArgumentError("repeats must be a whole number from 0, not %r" % (repeats,))
        # The show reads its steps while it plays: the buffer lives on the board until the next
        # show or the close, both of which stop a running show before they return.
        sequence = (ctypes.c_uint8 * max(len(steps), 1))(*steps)
        with self.library._lock:
            self._on_active("NRV_CV_LEDBlinky", delay_ms, repeats, sequence, len(steps))
            self._show = sequence

    def self_test(self):
        """The library's self test (100000 cycles; it blocks until they are done)."""
        self._on_active("NRV_CV_PerformSelfTest")

    # -- receiving
    def on_message(self, callback, channel=None):
        """Calls `callback(message)` for each message of the board (channel None: every message
        not taken by a channel's callback, and every trigger), on the library's threads. An
        exception in it is logged once and counted in `callback_errors`. None removes it. A board
        that is listed but not yet open takes it too: register before open() to see the board's
        very first message."""
        if callback is not None and not callable(callback):
            raise ArgumentError("the callback must be callable")
        if channel is not None:
            self._check_channel(channel)
        with self.library._lock:
            if channel is None:
                self._general = callback
            elif callback is None:
                self._channels.pop(channel, None)
            else:
                self._channels[channel] = callback
            if callback is not None:
                self._register("general")
                if channel is not None:
                    self._register(channel)

    def messages(self, timeout=None, channel=None, maxsize=10000):
        """A queue of the board's messages from now on, to iterate: iteration ends when no
        message came for `timeout` seconds (None: waits for ever). Bounded: once `maxsize` wait,
        new ones are dropped and counted in its `dropped`."""
        if channel is not None:
            self._check_channel(channel)
        if isinstance(maxsize, bool) or not isinstance(maxsize, int) or maxsize < 1:
            raise ArgumentError("maxsize must be a whole number from 1, not %r" % (maxsize,))
        stream = MessageStream(self, timeout, channel, maxsize)
        with self.library._lock:
            self._streams = self._streams + [stream]
            self._register("general")
        return stream

    def _register(self, which):
        # A listed board takes its registrations while still closed, so that a callback can be in
        # place before its first message: board(..., open=False), on_message, then open().
        if which in self._registered:
            return
        with self.library._lock:
            self.library._call("NRV_CV_SelectActiveDeviceByIndex", self.index)
            if which == "general":
                self.library._call("NRV_CV_RegisterReadCallback", _TRAMPOLINE)
            else:
                self.library._call("NRV_CV_RegisterReadCallbackForChannel", _TRAMPOLINE, which)
        self._registered.add(which)

    def _remove_stream(self, stream):
        with self.library._lock:
            self._streams = [s for s in self._streams if s is not stream]

    def _dispatch(self, message):
        # Runs on the library's write thread (the read thread for triggers). The handler fields are
        # read without the library lock: a thread holding it may be inside a library call, and
        # this thread must never wait for one. The locks taken here are never held across a call.
        handler = self._channels.get(message.channel) if message.kind != TRIGGER else None
        if handler is None:
            handler = self._general
        if handler is not None:
            try:
                handler(message)
            except BaseException:
                # Triggers (read thread) and data (write thread) may fail at the same time.
                with self._errors_lock:
                    self.callback_errors += 1
                    first = handler not in self._reported
                    if first:
                        self._reported.append(handler)
                if first:
                    log.exception("a message callback of board %d (%s) raised; it goes on being called, "
                                  "further exceptions of it are counted in callback_errors, not logged",
                                  self.index, self.serial)
        for stream in self._streams:
            stream._offer(message)

    # -- argument checks
    @staticmethod
    def _check_address(address):
        if isinstance(address, bool) or not isinstance(address, int) or address not in ADDRESSES:
            raise ArgumentError("address %r is outside 0 to 7" % (address,))

    @staticmethod
    def _check_channel(channel):
        if isinstance(channel, bool) or not isinstance(channel, int) or channel not in CHANNELS:
            raise ArgumentError("channel %r is outside 0 to 7" % (channel,))

    @staticmethod
    def _check_byte(what, value):
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 255:
            raise ArgumentError("%s %r is outside 0 to 255" % (what, value))


class MessageStream:
    """Messages of one board queued by the library's threads, read by iterating."""

    def __init__(self, board, timeout, channel, maxsize):
        self.board, self.timeout, self.channel, self.maxsize = board, timeout, channel, maxsize
        self._queue = collections.deque()
        self._ready = threading.Condition(threading.Lock())
        self.dropped = 0
        self.received = 0
        self._closed = False

    def _offer(self, message):
        if self.channel is not None and message.channel != self.channel:
            return
        with self._ready:
            if len(self._queue) >= self.maxsize:
                self.dropped += 1
                return
            self._queue.append(message)
            self.received += 1
            self._ready.notify()

    def __len__(self):
        return len(self._queue)

    def get(self, timeout=None):
        """The next message, or None after `timeout` seconds without one."""
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._ready:
            while not self._queue:
                if self._closed:
                    return None
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    return None
                self._ready.wait(left)
            return self._queue.popleft()

    def __iter__(self):
        return self

    def __next__(self):
        message = self.get(self.timeout)
        if message is None:
            raise StopIteration
        return message

    def close(self):
        """Stops queueing; messages already queued can still be read."""
        self.board._remove_stream(self)
        with self._ready:
            self._closed = True
            self._ready.notify_all()
        if self.dropped:
            log.warning("board %d (%s): %d messages dropped, the queue of %d was full",
                        self.board.index, self.board.serial, self.dropped, self.maxsize)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
