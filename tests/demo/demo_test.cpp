// The console program, run as its own process with a scripted standard input
// against the simulated MPI adapter and PLC (on a thread of this process, at
// the master side of a pty whose slave s7demo opens). Its whole output is
// compared with the exact texts.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mpi_adapter.hpp"
#include "plc.hpp"
#include "ppi_station.hpp"
#include "pty.hpp"

namespace {

using s7sim::Area;
using Bytes = std::vector<uint8_t>;

struct DemoRun {
  std::string out;
  int status = -1;  // exit status, -1 when it did not exit normally
};

// Runs s7demo with args (the shell sees them quoted) and the given standard
// input, taken from a file; its standard output until it ends (the test's
// own time limit guards against a program that never does).
DemoRun RunDemo(const std::vector<std::string> &args, const std::string &input) {
  char in[] = "/tmp/s7demo-input-XXXXXX";
  const int fd = mkstemp(in);
  if (fd < 0 || write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
    return {};
  close(fd);
  std::string cmd = S7DEMO_PATH;
  for (const std::string &a : args) cmd += " '" + a + "'";
  FILE *p = popen((cmd + " < " + in).c_str(), "r");
  DemoRun r;
  char buf[4096];
  for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int st = p ? pclose(p) : -1;
  unlink(in);
  r.status = st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// ------------------------------------------------------------ the texts

// The prompts always show the start values, PLC 2 and PC 1.
std::string Head(int com = 1, long baud = 19200) {
  char b[512];
  std::snprintf(b, sizeof b,
                "VALDENO Demo Version 1.01  COM%d, Baudrate: %ld\n"
                "wollen Sie andere COM dann rufen sie : 'TORVAX COMx' \n"
                "if you want other COM please start: 'MELVOTH COMx' \n"
                "SPS-MPI-Adr / PLC-MPI-Addr 2: \n"
                "PC-MPI-Addr 1: \n"
                "COM%d wird goeffnet / is opened.........\n",
                com, baud, com);
  return b;
}

const std::string kMenu =
    "\n****************\n"
    "1 = lese Merker                 | read Flags\n"
    "2 = lese Eingang                | read input\n"
    "3 = schreibe Ausgang            | write output\n"
    "4 = lese DB                     | read DB\n"
    "5 = schreibe DB                 | write DB\n"
    "6 = erreichbare Teilnehmer      | available MPI-members\n"
    "7 = lese Timer                  | read Timer\n"
    "8 = schreibe Timer              | write Timer\n"
    "9 = lese Zaehler                | read Counter\n"
    "A = schreibe Zaehler            | write counter\n"
    "B = lese Merker Bit             | read bit of flag\n"
    "C = setze Merker Bit            | set bit of flag\n"
    "D = ruecksetze Merker Bit       | reset bit of flag\n"
    "E = lese Floatingpointwerte     | reading floating poinz values\n"
    "F = schreibe Floatingpointwerte | writing floating point values\n"
    "G = lese Doppelworte            | reading double words\n"
    "H = schreibe Doppelworte        | writing double words\n"
    "0 = Ende                        | exit\n"
    "    Bitte waehlen .....         | please select\n\n";

const std::string kGoOn = "Weiter mit EINGABE-Taste / to continue press ENTER key\r";

std::string ErrBox(long code, const char *text) {
  return "\n*************************\n\aFehler / error  " + std::to_string(code) + "\n " + text +
         "\n\n**************************\n" + kGoOn;
}

const char kNoData[] = "DB oder Datenbereich exisitiert nicht / data area in PLC not available";
const char kUnknown[] = "Unerwarteter Fehler / unknown error";
const char kGeneral[] = "allgemeiner Fehler / general error";
const std::string kTooMany = "Anzahl zu gross, hoechstens 1024 / count too big, at most 1024\n";

// The prompts of the actions, up to the last one asked.
const std::string kReadDB =
    "Lese / reading DB\nLese /reading DB-Nummer: / DB-No:\nStart ab Wort: / start from word:"
    "\nAnzahl der Worte: / count of words:";
const std::string kReadFlags =
    "Lese Merker Byte / reading flag bytes\n Start byte: Anzahl der Bytes / count of bytes to "
    "read: ";
const std::string kReadBit =
    "Lese Merker Bit / reading bit of flag\n ByteNr: / Byte no.:BitNr: / Bit no: ";
const std::string kBitRange =
    "BitNr muss zwischen 0 und 7 liegen. / Bit must be between 0 and 7.BitNr: / Bit no: ";
const std::string kSetBit =
    "Setze Merker Bit / Set bit of flag\nByteNr: BitNr: Bit gesetzt. / bit is set." + kGoOn;
const std::string kWriteOutput =
    "\nSchreibe Ausgangsbyte: / writting output bytes\nStart byte: Schreibwert: / value for "
    "writting: Anzahl: ";
const std::string kWriteDB =
    "Schreibe/writting  DB ab/from DW 0\n\nSchreibe/writting DB-Nummer/DB-No.:\nAnzahl der "
    "Worte: / Count of words:";
const std::string kWriteTimer =
    "Schreibe Timer ab / write Timer\nStartNr / start no. of timer: \nAnzahl der Timer: / "
    "count of Timer:  \nSchreibwert: / write value:";
const std::string kWriteCounter =
    "Schreibe Zaehler / write counter\nStartNr: / start no. of counter:\nAnzahl der Zaehler: / "
    "count of counter: \nSchreibwert: / write value: ";
const std::string kReadDW =
    "Lese Doppelwort von DB / reading double word from DB\n\nLese von DB mit Nummer:\nStartbyte: "
    "/ start byte: \nAnzahl der Werte: / count of values: ";

// Lines with the pause rule: a pause after every 11th line and after the last.
std::string Listing(const std::vector<std::string> &lines) {
  std::string s;
  for (size_t i = 0; i < lines.size(); ++i) {
    s += lines[i];
    if (i % 11 == 10) s += kGoOn;
  }
  return s + kGoOn;
}

std::string Fmt(const char *f, auto... v) {
  char b[256];
  std::snprintf(b, sizeof b, f, v...);
  return b;
}

Bytes BigEndian(float f) {
  const uint32_t v = std::bit_cast<uint32_t>(f);
  return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

// ------------------------------------------------------------ fixtures

// The simulated adapter with PLC stations at MPI addresses 2 and 5; the
// station at 2 has DB1 of 64 bytes.
class DemoWithPlc : public ::testing::Test {
 protected:
  void SetUp() override {
    plc.add_db(1, 64);
    adapter.add_station(2, plc);
    adapter.add_station(5, other);
    adapter.start();
  }
  void TearDown() override {
    adapter.stop();
    EXPECT_TRUE(adapter.violations().empty()) << adapter.violations().front();
  }
  // Runs s7demo on the pty: the PLC at 2, the PC at 0, then the menu `keys`.
  DemoRun Demo(const std::string &keys) { return RunDemo({pty.slave_name()}, "2\n0\n" + keys); }

  s7sim::Pty pty;
  s7sim::Plc plc, other;
  s7sim::MpiAdapter adapter{pty.master()};
};

// ------------------------------------------------------------ command line

TEST(DemoQuiet, CommandLineAndAddressPrompts) {
  // a pty with nothing at its master side: nothing is sent by an open and
  // close without a data call
  s7sim::Pty pty;
  const std::string dev = pty.slave_name(), keys = "2\n1\n0\n";
  const struct {
    std::vector<std::string> args;
    std::string input, out;
  } cases[] = {
      {{dev}, keys, Head(1, 19200) + kMenu},
      {{"com2", "38", dev}, keys, Head(2, 38400) + kMenu},
      {{"Com2", "COM1", "57", dev}, keys, Head(1, 57600) + kMenu},  // a later word wins
      {{"COM3", dev, "unknown"}, keys, Head(1, 19200) + kMenu},     // words it does not know
      {{"38", "200", dev}, keys, Head(1, 9600) + kMenu},            // 200: an S7-200 at 9600
      {{"200", "19", dev}, keys, Head(1, 19200) + kMenu},
      // 200 then 38: PPI at 38400, which the PPI open refuses
      {{"200", "38", dev}, keys, Head(1, 38400) + "Fehler / error 'KS7Open:' -2\n"},
      {{"/dev/no-such-serial-device"}, keys, Head() + "Fehler / error 'KS7Open:' -4\n"},
      // a device name longer than the serial layer keeps: refused before the open
      {{"/" + std::string(70, 'x')}, keys, Head() + "Fehler / error 'KS7SetDevName:' -1\n"},
      // neither address converts: the shown values stay and the rest of each
      // line is dropped, so "0x" is not taken as the end key
      {{dev}, "x0\n-1\ni0\n", Head() + kMenu + kMenu},
      // end of input at the prompts and at the menu: the program ends
      {{dev}, "", Head() + kMenu},
  };
  for (const auto &c : cases) {
    const DemoRun r = RunDemo(c.args, c.input);
    EXPECT_EQ(r.out, c.out) << c.args[0];
    EXPECT_EQ(r.status, 1) << "the program always ends with 1";
  }
  EXPECT_TRUE(s7sim::read_until_quiet(pty.master(), 50).empty()) << "nothing was sent";
}

// ------------------------------------------------------------ actions

TEST_F(DemoWithPlc, ReadActionsListTheirValuesWithPauses) {
  Bytes db(24);
  for (size_t i = 0; i < db.size(); ++i) db[i] = static_cast<uint8_t>(0x10 + i);
  plc.write_bytes(Area::DB, 1, 0, db);
  plc.write_bytes(Area::Flags, 0, 3, Bytes{0xAB, 0x01});
  plc.write_bytes(Area::Flags, 0, 10, Bytes{0x08});
  plc.write_bytes(Area::Inputs, 0, 5, Bytes{0x5A, 0xFF});
  plc.set_timer(3, 0x2127);
  plc.set_timer(4, 0x0999);
  plc.set_counter(0, 0x0042);
  plc.write_bytes(Area::DB, 1, 40, BigEndian(1.5f));
  plc.write_bytes(Area::DB, 1, 44, BigEndian(-0.25f));
  plc.write_bytes(Area::DB, 1, 48, Bytes{0xFF, 0xFF, 0xFF, 0xFE, 0x00, 0x01, 0x00, 0x00});

  const DemoRun r = Demo(
      "4\n1\n0\n12\n\n\n"  // DB1 from word 0, twelve words
      "1\n3\n2\n\n"        // flag bytes 3 and 4
      "2\n5\n2\n\n"        // input bytes 5 and 6
      "7\n3\n2\n\n"        // timers 3 and 4
      "9\n0\n1\n\n"        // counter 0
      "E\n1\n40\n2\n\n"    // reals at DB1 bytes 40 and 44
      "g\n1\n48\n2\n\n"    // double words at DB1 bytes 48 and 52
      "B\n10\n9\n3\n\n"    // a bit number above 7 is asked again
      "c\n11\n5\n\n"       // set M11.5
      "D\n10\n3\n\n"       // reset M10.3
      "b\n10\n3\n\n"
      "6\n"  // its pause takes the line end of the key
      "0\n");

  std::vector<std::string> dw;
  for (unsigned i = 0; i < 12; ++i)
    dw.push_back(Fmt("DW %03u = %04x               \n", 2 * i, (db[2 * i] << 8) | db[2 * i + 1]));
  std::string want = Head() + kMenu + kReadDB + Listing(dw) + kMenu;
  want += kReadFlags + Listing({"MB 000 = 00ab \n", "MB 001 = 0001 \n"}) + kMenu;
  want +=
      "Lese Eingangsbyte / reading input bytes\n Start byte:Anzahl der Bytes / count of bytes "
      "to read\n" +
      Listing({"EB 000 = 005a \n", "EB 001 = 00ff \n"}) + kMenu;
  want +=
      "Lese Timer / read Timer\n Start Timer Nr: / start number of timer: Anzahl der Timer / "
      "count of timer\n" +
      Listing({"T   3 = 127000 \n", "T   4 = 9990 \n"}) + kMenu;
  want +=
      "Lese Zaehler / read counter\n Start Zaehler Nr: / start number of counter:Anzahl der "
      "Zaehler / count of counter\n" +
      Listing({"Z   0 = 42 \n"}) + kMenu;
  want +=
      "Lese floating point von DB / reading floating point from DB\n\nLese von DB mit Nummer: / "
      "reading from DB with no.: \nStartbyte: / start byte: \nAnzahl der Werte: / count of "
      "values: " +
      Listing({"Float an Byte float at byte 40 = 1.500000\n",
               "Float an Byte float at byte 44 = -0.250000\n"}) +
      kMenu;
  want += kReadDW +
          Listing({"DWord an Byte / dword at byte 48 = fffffffe (hex) = -2 (dec)\n",
                   "DWord an Byte / dword at byte 52 = 00010000 (hex) = 65536 (dec)\n"}) +
          kMenu;
  want += kReadBit + kBitRange + "MB 10.3 = 1 \n" + kGoOn + kMenu;
  want += kSetBit + kMenu;
  want +=
      "Ruecksetze Merker Bit / Reset bit of flag\nByteNr: BitNr: Bit zurueckgesetzt. / bit "
      "reseted " +
      kGoOn + kMenu;
  want += kReadBit + "MB 10.3 = 0 \n" + kGoOn + kMenu;
  // stations 2 and 5 and the PC itself at 0, which is left out
  want += "Erreichbare Teilnehmer: / available MPI-members:\n2, 5, " + kGoOn + "\n" + kMenu;
  EXPECT_EQ(r.out, want);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 10, 2), (Bytes{0x00, 0x20}));
}

TEST_F(DemoWithPlc, WriteActionsWriteAndListWhatTheyWrote) {
  const DemoRun r = Demo(
      "3\n4\n300\n3\n"       // output bytes 4..6 with 300's low byte
      "5\n1\n2\n4660\n\n"    // DB1 words 0 and 1 with 0x1234
      "8\n0\n3\n100\n\n"     // timers 0..2: 110, 120, 130 ms
      "a\n7\n2\n5\n\n"       // counters 7 and 8: 15, 25
      "F\n1\n8\n2\n1.5\n\n"  // reals at DB1 bytes 8 and 12, read back
      "h\n1\n16\n1\n-2\n\n"  // double word at DB1 byte 16, read back
      "0\n");
  std::string want = Head() + kMenu;
  want += kWriteOutput + "ab/from AB/OB 4 , 3 Bytes geschrieben/written\n" + kMenu;
  want += kWriteDB + "\nSchreibwert: / value to write: " +
          Listing({"DW 000 = 1234               \n", "DW 002 = 1234               \n"}) + kMenu;
  want += kWriteTimer +
          Listing({"T 000 = 110               \n", "T 001 = 120               \n",
                   "T 002 = 130               \n"}) +
          kMenu;
  want += kWriteCounter + Listing({"Z 007 = 15\n", "Z 008 = 25\n"}) + kMenu;
  want +=
      "Schreibe floating Point in DB / writing floating \n\nSchreibe in DB mit Nummer: / writing "
      "to DB with no.: \nStartbyte: / start byte: \nAnzahl der Werte: / count of values: "
      "\nSchreibwert: / value to be written: " +
      Listing({"Float an Byte / float at byte 8 = 1.500000\n",
               "Float an Byte / float at byte 12 = 1.500000\n"}) +
      kMenu;
  want +=
      "Schreibe Doppelwort in DB writing double words of DB\n\nSchreibe in DB mit Nummer: / "
      "writing to DB of no.:\nStartbyte: / start byte: \nAnzahl der Werte: / count of value: "
      "\nSchreibwert: / value to be written: " +
      Listing({"DWord an Byte / dword at byte16 = fffffffe (hex) = -2 (dec)\n"}) + kMenu;
  EXPECT_EQ(r.out, want);

  EXPECT_EQ(plc.read_bytes(Area::Outputs, 0, 3, 5), (Bytes{0x00, 0x2C, 0x2C, 0x2C, 0x00}));
  EXPECT_EQ(plc.read_bytes(Area::DB, 1, 0, 4), (Bytes{0x12, 0x34, 0x12, 0x34}));
  EXPECT_EQ(plc.timer(0), 0x0011);
  EXPECT_EQ(plc.timer(2), 0x0013);
  EXPECT_EQ(plc.counter(7), 0x0015);
  EXPECT_EQ(plc.counter(8), 0x0025);
  Bytes reals = BigEndian(1.5f);
  reals.insert(reals.end(), reals.begin(), reals.end());
  EXPECT_EQ(plc.read_bytes(Area::DB, 1, 8, 8), reals);
  EXPECT_EQ(plc.read_bytes(Area::DB, 1, 16, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
}

// ------------------------------------------------------------ errors and input

TEST_F(DemoWithPlc, ErrorsAndBadInputEndTheActionWithoutAWrite) {
  const DemoRun r = Demo(
      "1\n0\n0\n\n"              // a count of 0, Err still 0
      "4\n99\n0\n1\n\n"          // a data block the PLC does not have
      "A\n0\n1\n995\n\n"         // counter 1005: refused by the counter write
      "A\n0\n1\n65530\n\n"       // would wrap round to 4 in 16 bits: refused instead
      "8\n0\n2\n4294967290\n\n"  // would wrap round in 32 bits: refused instead
      "4\n1\n0\n1025\n"          // more than the buffers hold
      "3\n0\n7\n5000\n"          // the same for a write: nothing is written
      "4\nabc1\n"                // not a number: the action ends, "1" is not a key
      "5\n1\n2x\n"               // trailing characters: not a number
      "G\n1\n0\n-1\n"            // a negative count is not a number
      "i"                        // no key
      "\n0\n");
  std::string want = Head() + kMenu;
  want += kReadFlags + ErrBox(-5, kGeneral) + kMenu;
  want += kReadDB + ErrBox(2, kNoData) + kMenu;
  want += kWriteCounter + ErrBox(-9, kUnknown) + kMenu;
  want += kWriteCounter + ErrBox(-9, kUnknown) + kMenu;
  want += kWriteTimer + ErrBox(-9, kUnknown) + kMenu;
  want += kReadDB + kTooMany + kMenu;
  want += kWriteOutput + kTooMany + kMenu;
  want += "Lese / reading DB\nLese /reading DB-Nummer: / DB-No:" + kMenu;
  want += kWriteDB + kMenu;
  want += kReadDW + kMenu;
  want += kMenu + kMenu;  // "i" and its line end
  EXPECT_EQ(r.out, want);
  EXPECT_EQ(plc.counter(0), 0) << "nothing was written";
  EXPECT_EQ(plc.timer(0), 0);
  for (const s7sim::JobRecord &j : plc.jobs()) EXPECT_FALSE(j.write) << "no write reached the PLC";
}

TEST_F(DemoWithPlc, OutOfRangeAddressAndEndOfInput) {
  // 2^32 + 7 does not fit: the PLC address stays 2 (cut to 32 bits it would
  // be 7, where no station answers); "abc" keeps the PC address 1. Input
  // then ends inside the bit-number loop.
  const DemoRun r = RunDemo({pty.slave_name()}, "4294967303\nabc\n4\n1\n0\n1\n\nB\n3\n9\n");
  EXPECT_EQ(r.out, Head() + kMenu + kReadDB + Listing({"DW 000 = 0000               \n"}) + kMenu +
                       kReadBit + kBitRange + kMenu);
  EXPECT_EQ(r.status, 1);
  // the connection was closed as after key 0: disconnect, then adapter shut-down
  const auto blocks = adapter.blocks_from_pc();
  ASSERT_GE(blocks.size(), 2u);
  EXPECT_EQ(blocks.back(), (Bytes{0x01, 0x04, 0x02})) << "adapter shut-down";
  const Bytes &disc = blocks[blocks.size() - 2];
  ASSERT_GE(disc.size(), 5u);
  EXPECT_EQ(disc[4], 0x80) << "disconnect";
}

// ------------------------------------------------------------ S7-200

TEST(DemoPpi, TheS7200ModeReadsAndWritesOverPpi) {
  s7sim::Pty pty;
  s7sim::Plc plc;
  plc.add_db(1, 64);
  plc.write_bytes(Area::DB, 1, 0, Bytes{0xBE, 0xEF});
  s7sim::PpiStation station(pty.master(), 2, plc);
  station.start();
  const DemoRun r = RunDemo({"200", pty.slave_name()}, "2\n0\n4\n1\n0\n1\n\nC\n3\n6\n\n0\n");
  station.stop();
  EXPECT_EQ(r.out, Head(1, 9600) + kMenu + kReadDB + Listing({"DW 000 = beef               \n"}) +
                       kMenu + kSetBit + kMenu);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 3, 1), Bytes{0x40});
  EXPECT_TRUE(station.violations().empty()) << station.violations().front();
}

}  // namespace
