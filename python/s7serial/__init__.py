"""Read and write the memory of S7 PLCs over a serial line.

A thin layer over the C library libs7serial.so.1 (through ctypes): a PLC
behind an MPI adapter, or an S7-200 reached directly over PPI::

    import s7serial
    with s7serial.connect("/dev/ttyUSB0", plc=2, own=0, baud=19200) as plc:
        raw = plc.read_bytes("DB", 10, start=0, count=8)
        plc.write_words("DB", 10, start=4, values=[1, 2, 3])

Areas are named as the library names them, in either case: "DB" (or "D")
data block, "M" or "F" flags, "E" or "I" inputs, "A" or "O" outputs, "T"
timers, "Z" or "C" counters. Addresses and units are those of the C calls:
byte, double-word and real calls take byte addresses, word calls take word
numbers (word n is bytes 2n and 2n+1), timer and counter calls the number
of the first timer or counter. Not every call takes every area: inputs are
written only as reals and bits, "F" is refused by the real and bit calls,
timers go through their own calls only, counters too.

Every failure raises Error (or one of its subclasses PLCError,
CommunicationError, ArgumentError) with the library's code and text.

While the logger "s7serial" is enabled for DEBUG, the library's trace of
the line goes to it, one record per line.

Threads: the library serializes calls on connections that share a serial
port and runs calls on different ports in parallel; one Connection may be
used from several threads, and its close waits for a call running on it.
"""

import ctypes
import os
import threading

from ._library import DWORD, LONG, err_text, lib, sync_trace

__all__ = [
    "connect",
    "Connection",
    "Error",
    "PLCError",
    "CommunicationError",
    "ArgumentError",
]


class Error(Exception):
    """A call failed. ``code`` is the library's result code (None when the
    package refused an argument before calling the library), ``text`` its
    text, ``call`` what was asked."""

    def __init__(self, code, text, call=""):
        self.code = code
        self.text = text
        self.call = call
        super().__init__("%s: %s%s" % (call, text, "" if code is None else " (%d)" % code))


class PLCError(Error):
    """The PLC refused the job, e.g. a data block that does not exist (code 2)."""


class CommunicationError(Error):
    """No answer, a wrong answer, no connection, or the port cannot be used."""


class ArgumentError(Error, ValueError):
    """An argument the library or the package does not accept."""


_CLASSES = {2: PLCError, -1: CommunicationError, -4: CommunicationError, -5: CommunicationError}
for _c in (-2, -3, -9, -10, -99):
    _CLASSES[_c] = ArgumentError


def _raise(code, call):
    raise _CLASSES.get(code, Error)(code, err_text(code), call)


def _check(code, call):
    if code != 0:
        _raise(code, call)


def _bad(what, call, code=None):
    raise ArgumentError(code, what, call)


def _u(value, bits, name, call):
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < 1 << bits:
        _bad("%s must be a whole number from 0 to %d, not %r" % (name, (1 << bits) - 1, value), call)
    return value


# Serial ports of the library (0..15) by device name, with their users.
_ports = {}
_ports_lock = threading.Lock()


def _take_port(device, call):
    with _ports_lock:
        if device in _ports:
            _ports[device][1] += 1
            return _ports[device][0]
        used = {com for com, _ in _ports.values()}
        com = next((n for n in range(16) if n not in used), None)
        if com is None:
            _raise(-4, call)
        if lib.KS7SetDevName(com, device.encode()) != 0:
            _bad("device name %r not accepted" % device, call, -4)
        _ports[device] = [com, 1]
        return com


def _give_port(device):
    with _ports_lock:
        _ports[device][1] -= 1
        if _ports[device][1] == 0:
            del _ports[device]


_AREAS = {"DB": "D"}


def connect(device, plc=2, own=0, baud=None, ppi=False, bus_speed=None):
    """Open a connection to one PLC and return it as a Connection.

    device: the serial device, e.g. "/dev/ttyUSB0". plc: the PLC's station
    address (MPI address, or PPI address of an S7-200). own: the PC's own
    station address. baud: the serial rate (default 19200 for the MPI
    adapter, 9600 for PPI; PPI takes 9600 or 19200). ppi: True for an S7-200
    over PPI. bus_speed: the MPI adapter's bus-speed selector, as the library
    takes it (default: the library's own choice for the rate).

    Nothing is sent when opening: the first data call brings the adapter up
    and connects, and a failed exchange makes the next call reconnect.
    Connections to several stations on one device share the port.
    """
    return Connection(device, plc, own, baud, ppi, bus_speed)


class Connection:
    """One open PLC connection (a reference of the library's handle table).

    Use it as a context manager, or call close(). The run calls take an
    area, a data-block number ``db`` (used with "DB" only), a ``start`` in
    the unit of their width and a ``count`` or ``values``. A count of 0
    reads nothing and gives an empty result; no values write nothing.
    """

    def __init__(self, device, plc=2, own=0, baud=None, ppi=False, bus_speed=None):
        call = "connect"
        device = os.fspath(device)
        if baud is None:
            baud = 9600 if ppi else 19200
        for name, v in (("plc", plc), ("own", own)):
            _u(v, 16, name, call)
        _u(baud, 32, "baud", call)
        self.device, self.plc, self.own, self.baud, self.ppi = device, plc, own, baud, bool(ppi)
        self._lock = threading.RLock()
        self._ref = None
        com = _take_port(device, call)
        sync_trace()
        typ = 200 if ppi else 300
        if bus_speed is None:
            ref = lib.KS7Open(com, plc, own, baud, typ)
        else:
            ref = lib.KS7OpenEx(com, plc, own, baud, typ, _u(bus_speed, 32, "bus_speed", call))
        if ref < 0:
            _give_port(device)
            if ref == -1:
                raise Error(-1, "all 32 connections of the library are open", call)
            _raise(ref, call)
        self._ref = ref

    def __repr__(self):
        state = "closed" if self._ref is None else "reference %d" % self._ref
        return "<s7serial.Connection %s %s %d, %s>" % (
            self.device, "PPI" if self.ppi else "MPI", self.plc, state)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def closed(self):
        return self._ref is None

    def close(self):
        """Close the connection (on MPI the adapter is told); closing again
        does nothing."""
        with self._lock:
            if self._ref is None:
                return
            sync_trace()
            _check(lib.KS7Close(self._ref), "close")
            self._ref = None
            _give_port(self.device)

    # ---- plumbing ----

    def _call(self, call, fn, *args):
        with self._lock:
            if self._ref is None:
                raise ArgumentError(-99, "the connection is closed", call)
            sync_trace()
            _check(fn(self._ref, *args), call)

    @staticmethod
    def _area(area, call):
        if not isinstance(area, str) or not area:
            _bad("area must be a letter such as \"DB\" or \"M\", not %r" % (area,), call, -10)
        letter = _AREAS.get(area.upper(), area)
        if len(letter) != 1:
            _raise(-10, call)
        return ord(letter)

    def _read(self, call, fn, ctype, area, db, start, count):
        typ = self._area(area, call)
        for name, v in (("db", db), ("start", start), ("count", count)):
            _u(v, 16, name, call)
        buf = (ctype * count)()
        if count:
            self._call(call, fn, typ, db, start, count, buf)
        return buf

    def _write(self, call, fn, ctype, bits, area, db, start, values, code=None):
        typ = self._area(area, call)
        _u(db, 16, "db", call)
        _u(start, 16, "start", call)
        values = list(values)
        _u(len(values), 16, "number of values", call)
        if bits:
            for v in values:
                if isinstance(v, bool) or not isinstance(v, int) or not 0 <= v < 1 << bits:
                    _bad("value %r does not fit %d bits" % (v, bits), call, code)
        if values:
            self._call(call, fn, typ, db, start, len(values), (ctype * len(values))(*values))

    # ---- bytes, words, double words, reals ----

    def read_bytes(self, area, db=0, start=0, count=1):
        """Read ``count`` bytes from byte address ``start``; returns bytes."""
        return bytes(self._read("read_bytes", lib.KS7RdB, ctypes.c_uint8, area, db, start, count))

    def write_bytes(self, area, db=0, start=0, values=b""):
        """Write bytes (a bytes-like object or numbers 0..255) from byte address ``start``."""
        self._write("write_bytes", lib.KS7WrB, ctypes.c_uint8, 8, area, db, start, values)

    def read_words(self, area, db=0, start=0, count=1):
        """Read ``count`` 16-bit words from word number ``start`` (bytes 2*start
        and up, high byte first on the PLC); returns a list of numbers 0..65535."""
        return list(self._read("read_words", lib.KS7RdW, ctypes.c_uint16, area, db, start, count))

    def write_words(self, area, db=0, start=0, values=()):
        """Write 16-bit words (0..65535) from word number ``start``."""
        self._write("write_words", lib.KS7WrW, ctypes.c_uint16, 16, area, db, start, values)

    def read_dwords(self, area, db=0, start=0, count=1):
        """Read ``count`` 32-bit double words from byte address ``start``;
        returns a list of numbers 0..2**32-1."""
        return list(self._read("read_dwords", lib.KS7RdDW, ctypes.c_uint32, area, db, start, count))

    def write_dwords(self, area, db=0, start=0, values=()):
        """Write 32-bit double words (0..2**32-1) from byte address ``start``."""
        self._write("write_dwords", lib.KS7WrDW, ctypes.c_uint32, 32, area, db, start, values)

    def read_reals(self, area, db=0, start=0, count=1):
        """Read ``count`` 4-byte reals from byte address ``start``; returns floats."""
        return list(self._read("read_reals", lib.KS7RdReal, ctypes.c_double, area, db, start, count))

    def write_reals(self, area, db=0, start=0, values=()):
        """Write floats as 4-byte reals (the nearest one) from byte address ``start``."""
        values = [float(v) for v in values]
        self._write("write_reals", lib.KS7WrReal, ctypes.c_double, 0, area, db, start, values)

    # ---- timers and counters ----

    def read_timers(self, start=0, count=1):
        """Read ``count`` timers from timer number ``start``; values in milliseconds."""
        return list(self._read("read_timers", lib.KS7RdDW, ctypes.c_uint32, "T", 0, start, count))

    def write_timers(self, start=0, values=()):
        """Write timers in milliseconds (up to 9,990,000; stored with the
        coarsest needed time base, so 9,991 ms becomes 10,000 ms)."""
        self._write("write_timers", lib.KS7WrDW, ctypes.c_uint32, 32, "T", 0, start, values, -9)

    def read_counters(self, start=0, count=1):
        """Read ``count`` counters (0..999) from counter number ``start``."""
        return list(self._read("read_counters", lib.KS7RdW, ctypes.c_uint16, "Z", 0, start, count))

    def write_counters(self, start=0, values=()):
        """Write counters (0..999) from counter number ``start``."""
        self._write("write_counters", lib.KS7WrW, ctypes.c_uint16, 16, "Z", 0, start, values, -9)

    # ---- bits ----

    def _bit(self, call, area, byte, bit, db):
        _u(byte, 16, "byte", call)
        _u(bit, 3, "bit", call)
        _u(db, 16, "db", call)
        return self._area(area, call)

    def read_bit(self, area, byte, bit, db=0):
        """Read bit ``bit`` (0..7) of byte address ``byte``; returns True or False."""
        typ = self._bit("read_bit", area, byte, bit, db)
        value = ctypes.c_uint8()
        self._call("read_bit", lib.KS7RdBit, typ, db, byte, bit, ctypes.byref(value))
        return bool(value.value)

    def write_bit(self, area, byte, bit, value, db=0):
        """Set (value true) or reset bit ``bit`` (0..7) of byte address ``byte``."""
        typ = self._bit("write_bit", area, byte, bit, db)
        self._call("write_bit", lib.KS7WrBit, typ, db, byte, bit, 1 if value else 0)

    def set_bit(self, area, byte, bit, db=0):
        """Set bit ``bit`` of byte address ``byte`` to 1."""
        self.write_bit(area, byte, bit, True, db)

    def reset_bit(self, area, byte, bit, db=0):
        """Reset bit ``bit`` of byte address ``byte`` to 0."""
        self.write_bit(area, byte, bit, False, db)

    # ---- information ----

    def members(self):
        """Station addresses present on the MPI bus (the PC's own included),
        as the adapter reports them; ascending."""
        teiln = (ctypes.c_uint16 * 127)()
        self._call("members", lib.KS7GetMPIMembers, teiln)
        return [addr for addr, status in enumerate(teiln) if status]

    def db_length(self, db):
        """Length in bytes of data block ``db``. On PPI only DB 1 has one,
        derived from the CPU identification."""
        _u(db, 16, "db", "db_length")
        length = LONG()
        self._call("db_length", lib.KS7GetDBLen, DWORD(db), ctypes.byref(length))
        return length.value

    def cpu_info(self):
        """Identification text of an S7-200 (up to 16 characters)."""
        text = ctypes.create_string_buffer(17)
        self._call("cpu_info", lib.KS7GetCPUInfo, text)
        return text.value.decode("latin-1")


# ---- tags: PLC variables by their usual addresses, many per call (_tags.py) ----
from ._tags import Tag, TagError, install as _install_tags, parse_tag  # noqa: E402

_install_tags(Connection)
__all__ += ["parse_tag", "Tag", "TagError"]
