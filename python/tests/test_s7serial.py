"""s7serial against the simulator program on a pseudo-terminal."""
import contextlib, logging, os, subprocess, threading, time
import pytest
import s7serial
from s7serial._library import err_text

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
S7SIM = os.environ.get("S7SIM", os.path.join(ROOT, "build-py", "s7sim"))
PRESETS = ["--set", "EW10=0x1234", "--set", "ED20=0x01020304", "--set", "ED24=2.5",
           "--set", "T3=0x2127", "--set", "T4=0x0999", "--set", "Z7=0x0123"]


@contextlib.contextmanager
def simulator(*args):
    """Yields the device and the list of the simulator's trace lines so far."""
    sim = subprocess.Popen([S7SIM, "--trace", *args], stdout=subprocess.PIPE, text=True)
    try:
        device, lines = sim.stdout.readline().strip(), []
        reader = threading.Thread(target=lambda: lines.extend(sim.stdout), daemon=True)
        reader.start()
        yield device, lines
    finally:
        sim.terminate()
        sim.wait()
        reader.join(5)


@pytest.fixture(scope="module")
def mpi():
    with simulator("--station", "5", "--station", "2", "--db", "10:64", *PRESETS) as (dev, _):
        with s7serial.connect(dev, plc=2, own=0, baud=19200) as plc:
            yield plc


@pytest.mark.parametrize("width,area,db,start,values,at,hexbytes", [
    ("bytes", "DB", 10, 2, [1, 2, 255], 2, "0102ff"),
    ("words", "DB", 10, 4, [0x1234, 0xABCD], 8, "1234abcd"),  # word 4 = bytes 8, 9
    ("dwords", "db", 10, 20, [0xDEADBEEF], 20, "deadbeef"),
    ("reals", "D", 10, 30, [1.5, -0.1], 30, "3fc00000bdcccccd"),
    ("bytes", "M", 0, 40, b"\x07\x08", 40, "0708"),
    ("words", "F", 0, 3, [0x0102], 6, "0102"),
    ("dwords", "m", 0, 12, [0x01020304], 12, "01020304"),
    ("reals", "M", 0, 16, [-2.0], 16, "c0000000"),
    ("bytes", "A", 0, 30, [7], 30, "07"),
    ("words", "O", 0, 1, [0xFFFF], 2, "ffff"),
    ("dwords", "a", 0, 4, [0x80000000], 4, "80000000"),
    ("reals", "O", 0, 8, [100.25], 8, "42c88000"),
    ("reals", "I", 0, 40, [0.5], 40, "3f000000"),
])
def test_write_then_read(mpi, width, area, db, start, values, at, hexbytes):
    getattr(mpi, "write_" + width)(area, db, start=start, values=values)
    assert mpi.read_bytes(area, db, start=at, count=len(hexbytes) // 2).hex() == hexbytes
    got = getattr(mpi, "read_" + width)(area, db, start=start, count=len(values))
    assert list(got) == (pytest.approx(values, rel=1e-7) if width == "reals" else list(values))


@pytest.mark.parametrize("call,args,expected", [
    ("read_bytes", ("E", 0, 10, 3), b"\x12\x34\x00"),
    ("read_words", ("I", 0, 5, 1), [0x1234]),
    ("read_dwords", ("e", 0, 20, 1), [0x01020304]),
    ("read_reals", ("E", 0, 24, 1), [2.5]),
    ("read_timers", (3, 2), [127000, 9990]),
    ("read_counters", (7, 1), [123]),
    ("read_bit", ("E", 11, 2), True),   # 0x34 = 0011 0100
    ("read_bit", ("I", 11, 3), False),
])
def test_presets(mpi, call, args, expected):
    assert getattr(mpi, call)(*args) == expected


@pytest.mark.parametrize("kind,written,read", [
    ("timers", [15, 16, 9990, 9991, 99950, 1000000, 9990000], [10, 20, 9990, 10000, 100000, 1000000, 9990000]),
    ("counters", [0, 40, 999], [0, 40, 999]),
])
def test_timers_counters(mpi, kind, written, read):
    getattr(mpi, "write_" + kind)(start=10, values=written)
    assert getattr(mpi, "read_" + kind)(start=10, count=len(written)) == read


@pytest.mark.parametrize("area,db,byte,bit,mask", [
    ("M", 0, 50, 3, 0x08), ("DB", 10, 60, 7, 0x80), ("A", 0, 50, 0, 0x01), ("E", 0, 50, 6, 0x40)])
def test_bits(mpi, area, db, byte, bit, mask):
    mpi.set_bit(area, byte=byte, bit=bit, db=db)
    assert mpi.read_bit(area, byte, bit, db=db) and mpi.read_bytes(area, db, byte, 1)[0] == mask
    mpi.reset_bit(area, byte, bit, db=db)
    assert not mpi.read_bit(area, byte, bit, db=db) and mpi.read_bytes(area, db, byte, 1)[0] == 0


def test_members_and_db_length(mpi):
    assert mpi.members() == [0, 2, 5] and mpi.db_length(10) == 64


def test_ppi_cpu_info(caplog):
    caplog.set_level(logging.DEBUG, logger="s7serial")
    with simulator("--ppi", "--cpu", "CPU 224 REL 0201", "--db", "1:128") as (dev, _):
        with s7serial.connect(dev, plc=2, ppi=True) as s7_200:
            assert s7_200.cpu_info() == "CPU 224 REL 0201" and s7_200.db_length(1) == 4096
    assert "open PPI station 2 own 0 baud 9600: TRUE" in caplog.text


def read_from(device, **kw):
    with s7serial.connect(device, **kw) as plc:
        plc.read_bytes("M")


def connect_many(device, n):
    with contextlib.ExitStack() as stack:
        [stack.enter_context(s7serial.connect(device)) for _ in range(n)]


@pytest.mark.parametrize("action,cls,code,text", [
    (lambda p, d: p.read_bytes("DB", 99, 0, 1), s7serial.PLCError, 2, None),
    (lambda p, d: p.write_bytes("E", 0, 0, [1]), s7serial.ArgumentError, -10, None),
    (lambda p, d: p.read_words("XY", 0, 0, 1), s7serial.ArgumentError, -10, None),
    (lambda p, d: p.write_counters(0, [1000]), s7serial.ArgumentError, -9, None),
    (lambda p, d: p.write_timers(0, [9990001]), s7serial.ArgumentError, -9, None),
    (lambda p, d: read_from(d, plc=9), s7serial.CommunicationError, -1, None),
    (lambda p, d: read_from(d, ppi=True, baud=38400), s7serial.ArgumentError, -2, None),
    (lambda p, d: read_from("/dev/s7serial-none"), s7serial.CommunicationError, -4,
     "cannot open /dev/s7serial-none: No such file or directory"),
    (lambda p, d: connect_many(d, 33), s7serial.CommunicationError, -1,
     "all 32 connections of the library are open"),
])
def test_errors(mpi, action, cls, code, text):
    with pytest.raises(cls) as e:
        action(mpi, mpi.device)
    assert e.value.code == code and e.value.text == (text or err_text(code))
    assert err_text(code) != "error %d" % code and e.value.text in str(e.value)


def test_trace_reaches_logging(mpi, caplog):
    caplog.set_level(logging.DEBUG, logger="s7serial")
    mpi.read_bytes("M", 0, 0, 1)
    assert any("3964R block" in r.getMessage() and r.name == "s7serial" for r in caplog.records)


def test_context_manager_disconnects():
    with simulator() as (dev, lines):
        with s7serial.connect(dev) as plc:
            plc.read_bytes("M")
        assert plc.closed
        time.sleep(0.5)  # the simulator traces the disconnect before it ends
    assert any("PC>AD disconnect" in line for line in lines)
