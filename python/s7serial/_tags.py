"""Tags: PLC variables by their usual addresses, many in one call.

    plc.read_tags(["DB10.DBW4", "DB10.DBD12:REAL", "M20.3", "T3"])
    plc.write_tags({"DB10.DBW4": 7, "M20.3": True})

The library plans all tags of a call into as few jobs on the line as the path
allows. Values: int (BYTE, WORD, INT, DWORD, DINT; timers in milliseconds,
counters 0..999), float (REAL, read back as the shortest decimal of the same
real: 0.1), bool (BOOL), str (CHAR, STRING[n]; Latin-1);
a tag with an element count [n] has a list of n values.
"""

import collections
import ctypes
import math
import struct

from . import ArgumentError, Error, PLCError, _raise
from ._library import LONG, err_text, lib, sync_trace


class S7TAGADDR(ctypes.Structure):
    """Where a tag lies (the library's S7TAGADDR)."""
    _fields_ = [("Area", ctypes.c_uint8), ("Type", ctypes.c_uint8), ("Bit", ctypes.c_uint8),
                ("StrLen", ctypes.c_uint8), ("DBNr", ctypes.c_uint16), ("Count", ctypes.c_uint16),
                ("Start", ctypes.c_uint32)]


class S7TAG(ctypes.Structure):
    """One tag of a read or write call (the library's S7TAG)."""
    _fields_ = [("Addr", S7TAGADDR), ("Value", ctypes.c_void_p), ("Result", ctypes.c_int32),
                ("Spare", ctypes.c_int32)]


_PTR = ctypes.sizeof(ctypes.c_void_p)
if ctypes.sizeof(S7TAGADDR) != 12 or ctypes.sizeof(S7TAG) != -(-12 // _PTR) * _PTR + _PTR + 8:
    raise ImportError("s7serial: the tag records do not have the library's layout")

_CALLS = {
    "S7ParseTag": ([ctypes.c_char_p, ctypes.POINTER(S7TAGADDR), ctypes.c_char_p, ctypes.c_int],
                   ctypes.c_int),
    "S7TagValueSize": ([ctypes.POINTER(S7TAGADDR)], ctypes.c_int),
    "KS7ReadTags": ([LONG, ctypes.POINTER(S7TAG), LONG], LONG),
    "KS7WriteTags": ([LONG, ctypes.POINTER(S7TAG), LONG], LONG),
}
for _name, (_args, _res) in _CALLS.items():
    _f = getattr(lib, _name, None)
    if _f is not None:
        _f.argtypes, _f.restype = _args, _res


def _fn(name, call):
    f = getattr(lib, name, None)
    if f is None:
        raise Error(None, "this build of the library has no tag calls", call)
    return f


_AREAS = {0x81: "E", 0x82: "A", 0x83: "M", 0x84: "DB", 0x1C: "Z", 0x1D: "T"}
_TYPES = [None, "BOOL", "BYTE", "CHAR", "WORD", "INT", "DWORD", "DINT", "REAL", "STRING",
          "TIMER", "COUNTER"]
# type: (ctypes element, lowest, highest) for the whole-number types
_INTS = {"BYTE": (ctypes.c_uint8, 0, 255), "WORD": (ctypes.c_uint16, 0, 65535),
         "INT": (ctypes.c_int16, -32768, 32767), "DWORD": (ctypes.c_uint32, 0, 2**32 - 1),
         "DINT": (ctypes.c_int32, -2**31, 2**31 - 1), "TIMER": (ctypes.c_uint32, 0, 9990000),
         "COUNTER": (ctypes.c_uint16, 0, 999)}

Tag = collections.namedtuple("Tag", "text area db start bit type strlen count")
Tag.__doc__ = """A parsed tag: area "DB", "M", "E", "A", "T" or "Z"; db the data
block (V memory: 1); start the byte address (timers, counters: the number);
bit of a BOOL; type "BOOL", "INT", "STRING", ...; strlen n of STRING[n];
count the elements ([n], else 1)."""


class TagError(PLCError):
    """The PLC refused some of the tags. ``values`` holds every value in the
    order of the call (None where refused); ``errors`` maps each refused tag
    to (code, text)."""

    def __init__(self, code, text, call, values, errors):
        super().__init__(code, text, call)
        self.values = values
        self.errors = errors


def _parse(text, call):
    if not isinstance(text, str):
        raise ArgumentError(None, "a tag is a text such as \"DB10.DBW4\", not %r" % (text,), call)
    addr = S7TAGADDR()
    msg = ctypes.create_string_buffer(160)
    at = _fn("S7ParseTag", call)(text.encode("latin-1", "replace"), ctypes.byref(addr), msg, 160)
    if at != 0:
        raise ArgumentError(None, "tag %r, character %d: %s" % (text, at, msg.value.decode(
            "latin-1")), call)
    return addr


def parse_tag(text):
    """Parse a tag such as "DB10.DBW4", "M20.3:BOOL" or "DB10.DBB20:STRING[16]"
    into a Tag; a text that is no tag raises ArgumentError naming the place."""
    a = _parse(text, "parse_tag")
    return Tag(text, _AREAS.get(a.Area, a.Area), a.DBNr, a.Start, a.Bit, _TYPES[a.Type],
               a.StrLen, a.Count)


def _element(addr):
    name = _TYPES[addr.Type]
    if name in _INTS:
        return _INTS[name][0]
    return {"BOOL": ctypes.c_uint8, "CHAR": ctypes.c_char, "REAL": ctypes.c_float,
            "STRING": ctypes.c_char * (addr.StrLen + 1)}[name]


def _shortest(v):
    """The float with the fewest digits that is the same 4-byte real as v
    (0.1, not 0.10000000149011612)."""
    for digits in range(1, 10):
        near = float("%.*g" % (digits, v))
        if struct.pack("f", near) == struct.pack("f", v):
            return near
    return v


def _decode(addr, buf):
    name = _TYPES[addr.Type]
    raw = (_element(addr) * addr.Count).from_buffer(buf)
    if name == "BOOL":
        out = [bool(v) for v in raw]
    elif name == "REAL":
        out = [_shortest(v) for v in raw]
    elif name in ("CHAR", "STRING"):
        out = [bytes(v).split(b"\0", 1)[0].decode("latin-1") for v in raw]
    else:
        out = list(raw)
    return out[0] if addr.Count == 1 else out


def _encode_one(name, addr, v, tag, call):
    def bad(why):
        raise ArgumentError(None, "%s: %r %s" % (tag, v, why), call)
    if name == "BOOL":
        if v not in (True, False) or not isinstance(v, (bool, int)):
            bad("is not a BOOL (True, False, 1 or 0)")
        return int(v)
    if name in _INTS:
        _, lo, hi = _INTS[name]
        if isinstance(v, bool) or not isinstance(v, int):
            bad("is not a whole number")
        if not lo <= v <= hi:
            bad("is out of range for %s (%d to %d)" % (name, lo, hi))
        return v
    if name == "REAL":
        if isinstance(v, bool) or not isinstance(v, (int, float)):
            bad("is not a number")
        try:
            near = struct.unpack("f", struct.pack("f", v))[0]
        except OverflowError:
            near = math.inf
        if math.isfinite(v) and math.isinf(near):
            bad("is out of range for REAL")
        return near
    try:
        raw = v.encode("latin-1") if isinstance(v, str) else None
    except UnicodeEncodeError:
        bad("has characters beyond Latin-1")
    if name == "CHAR" and raw == b"":
        raw = b"\0"
    if raw is None or (b"\0" in raw and name != "CHAR"):
        bad("is not a text (without zero characters)")
    size = 1 if name == "CHAR" else addr.StrLen
    if len(raw) > size:
        bad("is longer than %s" % ("CHAR" if name == "CHAR" else "STRING[%d]" % size))
    return raw


def _encode(addr, value, tag, call):
    """A buffer holding ``value`` for the tag, every range checked first."""
    name = _TYPES[addr.Type] if addr.Type < len(_TYPES) else None
    values = [value]
    if addr.Count != 1:
        values = list(value) if isinstance(value, (list, tuple)) else None
        if values is None or len(values) != addr.Count:
            raise ArgumentError(None, "%s takes a list of %d values" % (tag, addr.Count), call)
    elements = [_encode_one(name, addr, v, tag, call) for v in values]
    array = _element(addr) * addr.Count
    if name == "STRING":
        return array.from_buffer_copy(b"".join(e.ljust(addr.StrLen + 1, b"\0") for e in elements))
    return array(*elements)


def _run(conn, call, fn, texts, addrs, bufs):
    recs = (S7TAG * len(addrs))()
    for rec, addr, buf in zip(recs, addrs, bufs):
        rec.Addr, rec.Value = addr, ctypes.cast(buf, ctypes.c_void_p)
    with conn._lock:
        if conn._ref is None:
            raise ArgumentError(-99, "the connection is closed", call)
        sync_trace()
        rc = _fn(fn, call)(conn._ref, recs, len(recs))
    if rc not in (0, 1, 2):
        _raise(rc, call)
    return [rec.Result for rec in recs]


def _refused(call, texts, results, values):
    errors = {t: (r, err_text(r)) for t, r in zip(texts, results) if r != 0}
    if errors:
        values = [None if r != 0 else v for v, r in zip(values, results)]
        text = "%d of %d tags refused: %s" % (len(errors), len(texts), "; ".join(
            "%s: %s" % (t, e[1]) for t, e in errors.items()))
        raise TagError(2, text, call, values, errors)


def read_tags(self, tags):
    """Read every tag in one go (as few jobs as the path allows) and return
    their values in order. Tags the PLC refused raise TagError, which holds
    the other values."""
    call = "read_tags"
    if isinstance(tags, str):
        raise ArgumentError(None, "read_tags takes a list of tags (read_tag takes one)", call)
    texts = list(tags)
    addrs = [_parse(t, call) for t in texts]
    bufs = [ctypes.create_string_buffer(max(1, _fn("S7TagValueSize", call)(ctypes.byref(a))))
            for a in addrs]
    if not texts:
        return []
    results = _run(self, call, "KS7ReadTags", texts, addrs, bufs)
    values = [_decode(a, b) if r == 0 else None for a, b, r in zip(addrs, bufs, results)]
    _refused(call, texts, results, values)
    return values


def read_tag(self, tag):
    """Read one tag; returns its value."""
    return read_tags(self, [tag])[0]


def write_tags(self, values):
    """Write tags from a mapping (or pairs) tag -> value. Every value is
    checked against its type before anything is sent (ArgumentError); tags
    the PLC refused raise TagError."""
    call = "write_tags"
    pairs = list(values.items() if hasattr(values, "items") else values)
    texts = [t for t, _ in pairs]
    addrs = [_parse(t, call) for t in texts]
    bufs = [_encode(a, v, t, call) for a, (t, v) in zip(addrs, pairs)]
    if not pairs:
        return
    results = _run(self, call, "KS7WriteTags", texts, addrs, bufs)
    _refused(call, texts, results, [v for _, v in pairs])


def write_tag(self, tag, value):
    """Write one tag."""
    write_tags(self, [(tag, value)])


def install(connection_class):
    """Gives the connection class its tag calls."""
    for f in (read_tags, read_tag, write_tags, write_tag):
        setattr(connection_class, f.__name__, f)
