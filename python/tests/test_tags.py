"""Tag calls of s7serial against the simulator program, both paths."""
import time, pytest
import s7serial
from s7serial._library import err_text
from test_s7serial import simulator

ROWS = {"DB10.DBW4": 0xBEEF, "DB10.DBW6:INT": -2, "DB10.DBD8": 0xDEADBEEF, "DB10.DBD12:DINT": -70000,
        "DB10.DBD16:REAL": 0.1, "DB10.DBX20.3": True, "DB10.DBB21:CHAR": "x", "DB10.DBB22:STRING[8]": "hi there",
        "DB10.DBW32[3]": [1, 2, 65535], "MB5": 200, "QW2": 7, "T3": 9990, "C4": 999, "MW50": 1}
PPI_ROWS = {"VW4": 0x1234, "VD8:REAL": -1.5, "V20.3": True, "VB22:STRING[4]": "ppi", "MB5": 9}

@pytest.fixture(scope="module", params=["mpi", "ppi"])
def plc(request):
    args = ["--db", "10:64"] if request.param == "mpi" else ["--ppi", "--db", "1:64"]
    with simulator(*args) as (dev, lines):
        with s7serial.connect(dev, plc=2, ppi=request.param == "ppi") as conn:
            conn.lines = lines
            yield conn

def test_round_trip_keeps_bit_neighbours(plc):
    rows, db = (PPI_ROWS, 1) if plc.ppi else (ROWS, 10)
    plc.write_bytes("DB", db, 20, [0x81])
    plc.write_tags(rows)
    got = plc.read_tags(list(rows))
    assert got == list(rows.values())
    assert plc.read_bytes("DB", db, 20, 1) == b"\x89" and plc.read_tag(list(rows)[0]) == list(rows.values())[0]

def test_refused_tag_leaves_the_others(plc):
    plc.write_tag("MW0", 4711)
    with pytest.raises(s7serial.TagError) as e:
        plc.read_tags(["MW0", "DB99.DBW0", "MB1"])
    assert e.value.values == [4711, None, 4711 & 0xFF] and isinstance(e.value, s7serial.PLCError)
    assert e.value.errors == {"DB99.DBW0": (0x0A, err_text(0x0A))}

@pytest.mark.parametrize("tag,value", [
    ("DB10.DBB0", 256), ("DB10.DBW0:INT", 40000), ("DB10.DBW0:INT", -32769), ("DB10.DBD0", -1),
    ("C0", 1000), ("T0", 9990001), ("M0.0", 2), ("DB10.DBB0:STRING[2]", "abc"), ("DB10.DBW0[2]", [1]),
    ("DB10.DBD0:REAL", 1e39), ("DB10.DBB0:CHAR", "xy"), ("DB10.DBW0", "7"), ("DB10.DBQ4", 1)])
def test_bad_values_send_nothing(plc, tag, value):
    before = settled(plc.lines)
    with pytest.raises(s7serial.ArgumentError):
        plc.write_tags({"MW0": 1, tag: value})
    assert settled(plc.lines) == before

def settled(lines):
    """The number of trace lines once the simulator's log has caught up."""
    n = -1
    while n != len(lines):
        n = len(lines)
        time.sleep(0.1)
    return n

def test_parse_tag():
    assert tuple(s7serial.parse_tag("db10.dbx4.3"))[1:] == ("DB", 10, 4, 3, "BOOL", 0, 1)
    assert s7serial.parse_tag("VW100")[1:4] == ("DB", 1, 100)
    with pytest.raises(s7serial.ArgumentError, match="character 8"):
        s7serial.parse_tag("DB10.DBQ4")
