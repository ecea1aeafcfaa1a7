"""Finding and binding the Corvane library and checking its driver, with ctypes only."""

import ctypes
import ctypes.util
import os
import struct
import sys

LIBRARY_VARIABLE = "CORVANE_LIBRARY"

# Every export and the read callback are cdecl on every platform, so CDLL and CFUNCTYPE fit all.
READ_CALLBACK = ctypes.CFUNCTYPE(
    ctypes.c_int32, ctypes.c_int32, ctypes.c_int32, ctypes.c_uint32, ctypes.c_uint32,
    ctypes.POINTER(ctypes.c_uint8), ctypes.c_uint32)

_i32, _u32, _u8, _u16 = ctypes.c_int32, ctypes.c_uint32, ctypes.c_uint8, ctypes.c_uint16
_text = ctypes.c_char_p
_bytes = ctypes.c_void_p

# name: (result type, argument types)
PROTOTYPES = {
    "NRV_CV_Open": (_i32, [_i32, _i32, _i32]),
    "NRV_CV_Close": (_i32, []),
    "NRV_CV_Initialize": (ctypes.c_bool, []),
    "NRV_CV_Release": (None, []),
    "NRV_CV_CheckCompatibility": (_i32, []),
    "NRV_CV_GetName": (_text, []),
    "NRV_CV_GetVersionString": (_text, []),
    "NRV_CV_GetVersionControl": (None, [ctypes.POINTER(_u16)] * 4),
    "NRV_CV_GetInterfaceVersion": (_text, []),
    "NRV_CV_GetLastError": (_text, []),
    "NRV_CV_SetDebugMode": (_i32, [_i32]),
    "NRV_CV_QueryDevices": (_i32, []),
    "NRV_CV_GetDeviceName": (_text, [_i32]),
    "NRV_CV_GetDeviceSerial": (_text, [_i32]),
    "NRV_CV_SelectActiveDeviceByIndex": (_i32, [_i32]),
    "NRV_CV_SelectActiveDeviceByName": (_i32, [_text]),
    "NRV_CV_OpenDeviceByIndex": (_i32, [_i32]),
    "NRV_CV_OpenDeviceByName": (_i32, [_text]),
    "NRV_CV_CloseDeviceByIndex": (_i32, [_i32]),
    "NRV_CV_CloseDeviceByName": (_i32, [_text]),
    "NRV_CV_SendTrigger": (_i32, [_u8]),
    "NRV_CV_SendByte": (_i32, [_u32, _u8]),
    "NRV_CV_SendBlock": (_i32, [_u32, _bytes, _u32]),
    "NRV_CV_SendTransferControlByte": (_i32, [_u8, _u8]),
    "NRV_CV_RegisterReadCallback": (_i32, [READ_CALLBACK]),
    "NRV_CV_RegisterReadCallbackForChannel": (_i32, [READ_CALLBACK, _i32]),
    "NRV_CV_LEDBlinky": (_i32, [_u32, _i32, _bytes, _i32]),
    "NRV_CV_PerformSelfTest": (_i32, []),
}

# The driver entry points the library cannot do without: a driver lacking one of them, or none
# at all, ends the whole process inside NRV_CV_Open, so they are checked here first.
REQUIRED_DRIVER_FUNCTIONS = (
    "FT_Open", "FT_OpenEx", "FT_ListDevices", "FT_Close", "FT_Read", "FT_Write", "FT_IoCtl",
    "FT_SetBaudRate", "FT_SetDivisor", "FT_SetDataCharacteristics", "FT_SetFlowControl",
    "FT_ResetDevice", "FT_SetDtr", "FT_ClrDtr", "FT_SetRts", "FT_ClrRts", "FT_GetModemStatus",
    "FT_SetChars", "FT_Purge", "FT_SetTimeouts", "FT_GetQueueStatus", "FT_SetEventNotification",
    "FT_GetStatus", "FT_SetBreakOn", "FT_SetBreakOff", "FT_SetWaitMask", "FT_WaitOnMask",
    "FT_GetEventStatus", "FT_ReadEE", "FT_WriteEE", "FT_EraseEE", "FT_CreateDeviceInfoList",
    "FT_GetDeviceInfoList")


class CorvaneError(Exception):
    """A failure of the library (its last-error text) or of the package around it."""


def word_size():
    return struct.calcsize("P") * 8


def is_windows(platform=None):
    return (platform or sys.platform) == "win32"


def library_names(platform=None, bits=None):
    """The file names of the library for this interpreter, most specific first."""
    if is_windows(platform):
        return ["Corvane64.dll" if (bits or word_size()) == 64 else "Corvane32.dll"]
    if (platform or sys.platform) == "darwin":
        return ["libcorvane.1.dylib", "libcorvane.dylib"]
    return ["libcorvane.so.1", "libcorvane.so"]


def driver_names(platform=None, bits=None, choice=None):
    """The D2XX driver names the library itself loads, in its order, for a CORVANE_DRIVER choice:
    None or "vendor" the vendor's names, "open" Corvane's own driver (Linux), else the path."""
    if choice == "open" and not is_windows(platform):
        return [OPEN_DRIVER_NAME]
    if choice not in (None, "", "vendor", "open") and is_driver_path(choice):
        return [choice]
    if is_windows(platform):
        return ["ftd2xx64.dll", "ftd2xx.dll"] if (bits or word_size()) == 64 else ["ftd2xx32.dll"]
    return ["libftd2xx.so"]


OPEN_DRIVER_NAME = "libcorvane_d2xx.so"
DRIVER_VARIABLE = "CORVANE_DRIVER"


def is_driver_path(value):
    """Whether a CORVANE_DRIVER value names a driver file, as the library tells: a path separator,
    or a name ending in .so or .dll."""
    return "/" in value or "\\" in value or value.endswith(".so") or value.endswith(".dll")


def candidates(environ=None, platform=None, bits=None, package_dir=None):
    """Where the library is looked for, in order: (description, path or bare name)."""
    environ = os.environ if environ is None else environ
    package_dir = package_dir or os.path.dirname(os.path.abspath(__file__))
    names = library_names(platform, bits)
    found = []
    explicit = environ.get(LIBRARY_VARIABLE)
    if explicit:
        found.append(("%s=%s" % (LIBRARY_VARIABLE, explicit), explicit))
    for name in names:
        found.append(("beside the package", os.path.join(package_dir, name)))
    for name in names:
        found.append(("the system's library search", name))
    return found


def _load(path, platform=None):
    if is_windows(platform) and os.path.basename(path) == path:
        # winmode=0: the standard DLL search (program folder, system folders, PATH), as the
        # library itself uses for its driver; Python's own default leaves PATH out.
        return ctypes.CDLL(path, winmode=0)
    return ctypes.CDLL(path)


def load_library(environ=None, loader=None):
    """The library as a bound ctypes module, and the path it was found under."""
    loader = loader or _load
    tried = []
    for where, path in candidates(environ):
        bare = os.path.basename(path) == path
        if not bare and not os.path.exists(path):
            tried.append("%s (%s: no such file)" % (path, where))
            continue
        try:
            module = loader(path)
        except OSError as error:
            tried.append("%s (%s: %s)" % (path, where, error))
            continue
        bind(module)
        return module, (file_of(module) or path) if bare else path
    raise CorvaneError("the Corvane library was not found; tried: " + "; ".join(tried))


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


def file_of(module):
    """The file a library found by the system's search was loaded from, where the system says."""
    if is_windows():
        buffer = ctypes.create_unicode_buffer(1024)
        handle = getattr(module, "_handle", None)
        if handle and ctypes.windll.kernel32.GetModuleFileNameW(ctypes.c_void_p(handle), buffer, len(buffer)):
            return buffer.value
        return None
    try:
        dladdr = ctypes.CDLL(None).dladdr
    except (OSError, AttributeError):
        return None
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
    info = _DlInfo()
    try:
        address = ctypes.cast(module.NRV_CV_Open, ctypes.c_void_p)
    except (AttributeError, ctypes.ArgumentError):
        return None
    if dladdr(address, ctypes.byref(info)) and info.dli_fname:
        return os.fsdecode(info.dli_fname)
    return None


def bind(module):
    for name, (result, arguments) in PROTOTYPES.items():
        function = getattr(module, name)
        function.restype = result
        function.argtypes = arguments


def check_driver(loader=None, choice=None):
    """Loads the driver the library will load (`choice` as CORVANE_DRIVER says) and checks its
    entry points, so that a missing or incomplete driver becomes an exception instead of the end
    of the process."""
    loader = loader or _load
    problems = []
    for name in driver_names(choice=choice):
        try:
            driver = loader(name)
        except OSError as error:
            problems.append("%s: %s" % (name, error))
            continue
        missing = [f for f in REQUIRED_DRIVER_FUNCTIONS if not hasattr(driver, f)]
        if missing:
            raise CorvaneError("the D2XX driver %s lacks %s" % (name, ", ".join(missing)))
        return driver
    raise CorvaneError("the D2XX driver cannot be loaded (%s)" % "; ".join(problems))
