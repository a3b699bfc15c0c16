"""Loading libs7serial.so.1 and declaring the calls the package uses.

The library is looked for, in this order: at the path in the environment
variable S7SERIAL_LIBRARY; next to the installed package (in its own folder
or in one of the three folders above it, which is where ``cmake --install``
puts the library relative to the package); through the dynamic loader's
usual search for "libs7serial.so.1"; through ctypes.util.find_library.
"""

import ctypes
import ctypes.util
import logging
import os
import threading

SONAME = "libs7serial.so.1"

LONG = ctypes.c_int32
DWORD = ctypes.c_uint32


def _candidates():
    path = os.environ.get("S7SERIAL_LIBRARY")
    if path:
        yield path
        return
    here = os.path.dirname(os.path.abspath(__file__))
    for _ in range(4):
        yield os.path.join(here, SONAME)
        here = os.path.dirname(here)
    yield SONAME
    found = ctypes.util.find_library("s7serial")
    if found:
        yield found


def _load():
    reasons = []
    for candidate in _candidates():
        if os.sep in candidate and not os.path.exists(candidate):
            continue
        try:
            return ctypes.CDLL(candidate)
        except OSError as e:
            reasons.append(str(e))
    raise ImportError(
        "s7serial: cannot load %s (set S7SERIAL_LIBRARY to its path): %s"
        % (SONAME, "; ".join(reasons) or "not found")
    )


lib = _load()

_RUN = [LONG, DWORD, DWORD, DWORD, DWORD]
_PROTOTYPES = {
    "KS7Open": [DWORD, DWORD, DWORD, DWORD, DWORD],
    "KS7OpenEx": [DWORD, DWORD, DWORD, DWORD, DWORD, DWORD],
    "KS7Close": [LONG],
    "KS7SetDevName": [DWORD, ctypes.c_char_p],
    "KS7RdB": _RUN + [ctypes.POINTER(ctypes.c_uint8)],
    "KS7WrB": _RUN + [ctypes.POINTER(ctypes.c_uint8)],
    "KS7RdW": _RUN + [ctypes.POINTER(ctypes.c_uint16)],
    "KS7WrW": _RUN + [ctypes.POINTER(ctypes.c_uint16)],
    "KS7RdDW": _RUN + [ctypes.POINTER(ctypes.c_uint32)],
    "KS7WrDW": _RUN + [ctypes.POINTER(ctypes.c_uint32)],
    "KS7RdReal": _RUN + [ctypes.POINTER(ctypes.c_double)],
    "KS7WrReal": _RUN + [ctypes.POINTER(ctypes.c_double)],
    "KS7RdBit": _RUN + [ctypes.POINTER(ctypes.c_uint8)],
    "KS7WrBit": _RUN + [DWORD],
    "KS7GetMPIMembers": [LONG, ctypes.POINTER(ctypes.c_uint16)],
    "KS7GetCPUInfo": [LONG, ctypes.c_char_p],
    "KS7GetDBLen": [LONG, DWORD, ctypes.POINTER(LONG)],
}
for _name, _args in _PROTOTYPES.items():
    _f = getattr(lib, _name)
    _f.argtypes = _args
    _f.restype = ctypes.c_int if _name == "KS7SetDevName" else LONG

# Error texts and the line trace belong to newer builds of the library; an
# older one still works, with numbers for texts and without a trace.
_err_text = getattr(lib, "KS7ErrText", None)
if _err_text is not None:
    _err_text.argtypes = [LONG]
    _err_text.restype = ctypes.c_char_p

_open_error = getattr(lib, "ComOpenError", None)
if _open_error is not None:
    _open_error.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int]
    _open_error.restype = ctypes.c_int

TRACEPROC = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)
_set_trace = getattr(lib, "S7SetTrace", None)
if _set_trace is not None:
    _set_trace.argtypes = [TRACEPROC, ctypes.c_void_p]
    _set_trace.restype = None


def err_text(code):
    """The library's text for a result code (never empty)."""
    if _err_text is not None:
        text = _err_text(code)
        if text:
            return text.decode("utf-8", "replace")
    return "error %d" % code


def open_error(com):
    """Why the last open of serial port com failed (the OS's reason), or None."""
    if _open_error is None:
        return None
    text = ctypes.create_string_buffer(128)
    if _open_error(com, text, len(text)) == 0:
        return None
    return text.value.decode("utf-8", "replace") or None


log = logging.getLogger("s7serial")


@TRACEPROC
def _trace_to_logging(line, _ctx):
    if line:
        log.debug("%s", line.decode("latin-1").rstrip("\n"))


_trace_lock = threading.Lock()
_trace_on = False


def sync_trace():
    """Hand the library's line trace to the "s7serial" logger while that
    logger is enabled for DEBUG, and switch it off when it no longer is.
    Runs before every call into the library."""
    global _trace_on
    wanted = _set_trace is not None and log.isEnabledFor(logging.DEBUG)
    if wanted == _trace_on:
        return
    with _trace_lock:
        if wanted != _trace_on:
            _set_trace(_trace_to_logging if wanted else TRACEPROC(), None)
            _trace_on = wanted
