// The console program, run as its own process against the simulated MPI
// adapter (or S7-200) at the master side of a pty: exact input texts in, the
// whole output compared with the exact texts. Also the simulator program
// as the try-it script runs it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "mpi_adapter.hpp"
#include "plc.hpp"
#include "ppi_station.hpp"
#include "testutil.hpp"

namespace {

using s7sim::Area;
using Bytes = std::vector<uint8_t>;

// The output of a shell command, and its exit status as the last line.
std::string Shell(const std::string &cmd, size_t cut = 0, const std::function<void()> &at = {}) {
  FILE *p = popen((cmd + "; echo \" $?\"").c_str(), "r");
  std::string s;
  for (int c; (c = fgetc(p)) != EOF;)
    if (s += static_cast<char>(c); s.size() == cut) at();
  pclose(p);
  return s;
}
// s7demo with args on the input; at a '|' the input pauses for a second, and
// `at` runs when the output has grown to `cut` characters.
std::string Demo(const std::string &args, const std::string &in, size_t cut = 0,
                 const std::function<void()> &at = {}) {
  const size_t bar = in.find('|');
  const std::string rest =
      bar == std::string::npos ? "" : "; sleep 1; printf '" + in.substr(bar + 1) + "'";
  return Shell("(printf '" + in.substr(0, bar) + "'" + rest + ") | " S7DEMO_PATH " " + args, cut,
               at);
}
std::string Fmt(const char *f, auto... v) {
  char b[512];
  std::snprintf(b, sizeof b, f, v...);
  return b;
}
const std::string kGoOn = "Weiter mit EINGABE-Taste / to continue press ENTER key\r";
const std::string kNoNum = "Keine Zahl, Eingabe verworfen / not a number, input discarded\n";
const std::string kTooMany = "Anzahl zu gross, hoechstens 1024 / count too big, at most 1024\n";
const std::string kBitRange =
    "BitNr muss zwischen 0 und 7 liegen. / Bit must be between 0 and 7.BitNr: / Bit no: ";
// The banner and the address prompts (showing 2 and 1), with what follows each.
std::string Head(int com = 1, long baud = 19200, const char *a = "", const char *b = "") {
  return Fmt(
      "VALDENO Demo Version 1.01  COM%d, Baudrate: %ld\nwollen Sie andere COM dann rufen "
      "sie : 'TORVAX COMx' \nif you want other COM please start: 'MELVOTH COMx' \nSPS-MPI-"
      "Adr / PLC-MPI-Addr 2: \n%sPC-MPI-Addr 1: \n%sCOM%d wird goeffnet / is opened.........\n",
      com, baud, a, b, com);
}
// The menu: key, German text in 28 columns, English text.
const std::string kMenu = [] {
  std::string s = "\n****************\n",
              t = "1lese Merker|read Flags;2lese Eingang|read input;3schreibe Ausgang|write "
                  "output;4lese DB|rea"
                  "d DB;5schreibe DB|write DB;6erreichbare Teilnehmer|available MPI-members;7lese "
                  "Timer|read Ti"
                  "mer;8schreibe Timer|write Timer;9lese Zaehler|read Counter;Aschreibe "
                  "Zaehler|write counter;B"
                  "lese Merker Bit|read bit of flag;Csetze Merker Bit|set bit of flag;Druecksetze "
                  "Merker Bit|re"
                  "set bit of flag;Elese Floatingpointwerte|reading floating poinz "
                  "values;Fschreibe Floatingpoi"
                  "ntwerte|writing floating point values;Glese Doppelworte|reading double "
                  "words;Hschreibe Doppe"
                  "lworte|writing double words;0Ende|exit; Bitte waehlen .....|please select;";
  for (size_t i = 0, bar, e; (e = t.find(';', i)) != std::string::npos; i = e + 1) {
    bar = t.find('|', i);
    s += (t[i] == ' ' ? "    " : t.substr(i, 1) + " = ") +
         Fmt("%-28s| %s\n", t.substr(i + 1, bar - i - 1).c_str(),
             t.substr(bar + 1, e - bar - 1).c_str());
  }
  return s + "\n";
}();
const std::string kM2 = kMenu + kMenu;  // the line end after a number is a key as well
std::string Box(long code, const char *text) {
  return Fmt("\n*************************\n\aFehler / error  %ld\n "
             "%s\n\n**************************\n",
             code, text) +
         kGoOn;
}
// Lines with the pause rule: a pause after every 11th line and after the last.
std::string List(const std::vector<std::string> &lines) {
  std::string s;
  for (size_t i = 0; i < lines.size(); ++i) s += lines[i] + (i % 11 == 10 ? kGoOn : "");
  return s + kGoOn;
}
// Header and prompts of each action.
const std::string kSB = "\nStartbyte: / start byte: \nAnzahl der Werte: / count of value";
std::map<char, std::string> Ask = {
    {'1',
     "Lese Merker Byte / reading flag bytes\n Start byte: Anzahl der Bytes / count of bytes to "
     "read: "},
    {'2',
     "Lese Eingangsbyte / reading input bytes\n Start byte:Anzahl der Bytes / count of bytes to "
     "read\n"},
    {'3',
     "\nSchreibe Ausgangsbyte: / writting output bytes\nStart byte: Schreibwert: / value for "
     "writting: Anzahl: "},
    {'4',
     "Lese / reading DB\nLese /reading DB-Nummer: / DB-No:\nStart ab Wort: / start from word:"
     "\nAnzahl der Worte: / count of words:"},
    {'5',
     "Schreibe/writting  DB ab/from DW 0\n\nSchreibe/writting DB-Nummer/DB-No.:\nAnzahl der "
     "Worte: / Count of words:\nSchreibwert: / value to write: "},
    {'7',
     "Lese Timer / read Timer\n Start Timer Nr: / start number of timer: Anzahl der Timer / "
     "count of timer\n"},
    {'8',
     "Schreibe Timer ab / write Timer\nStartNr / start no. of timer: \nAnzahl der Timer: / "
     "count of Timer:  \nSchreibwert: / write value:"},
    {'9',
     "Lese Zaehler / read counter\n Start Zaehler Nr: / start number of counter:Anzahl der "
     "Zaehler / count of counter\n"},
    {'A',
     "Schreibe Zaehler / write counter\nStartNr: / start no. of counter:\nAnzahl der Zaehler: "
     "/ count of counter: \nSchreibwert: / write value: "},
    {'B', "Lese Merker Bit / reading bit of flag\n ByteNr: / Byte no.:BitNr: / Bit no: "},
    {'C', "Setze Merker Bit / Set bit of flag\nByteNr: BitNr: Bit gesetzt. / bit is set." + kGoOn},
    {'D',
     "Ruecksetze Merker Bit / Reset bit of flag\nByteNr: BitNr: Bit zurueckgesetzt. / bit "
     "reseted " +
         kGoOn},
    {'E',
     "Lese floating point von DB / reading floating point from DB\n\nLese von DB mit Nummer: / "
     "reading from DB with no.: " +
         kSB + "s: "},
    {'F',
     "Schreibe floating Point in DB / writing floating \n\nSchreibe in DB mit Nummer: / writing "
     "to DB with no.: " +
         kSB + "s: \nSchreibwert: / value to be written: "},
    {'G', "Lese Doppelwort von DB / reading double word from DB\n\nLese von DB mit Nummer:" + kSB +
              "s: "},
    {'H',
     "Schreibe Doppelwort in DB writing double words of DB\n\nSchreibe in DB mit Nummer: / "
     "writing to DB of no.:" +
         kSB + ": \nSchreibwert: / value to be written: "}};
std::string Real(int at, const char *v) {
  return List({Fmt("Float an Byte / float at byte %d = %s\n", at, v)}) + kMenu;
}
std::string DWs(unsigned n) {  // DW lines of the preset DB1, from word 0
  std::vector<std::string> l;
  for (unsigned i = 0; i < n; ++i)
    l.push_back(Fmt("DW %03u = %04x               \n", 2 * i, 0x1011 + 0x202 * i));
  return List(l);
}
std::string Wrote(int n) { return Fmt("ab/from AB/OB 0 , %d Bytes geschrieben/written\n", n); }

struct Row {
  std::string args, in, want;  // args: '@' stands for the pty's slave
  Area area;                   // then the bytes from `at` on, as hex
  int at;
  std::string mem;
};
Row R(std::string args, std::string in, std::string want, Area area = Area::DB, int at = 0,
      std::string mem = "") {
  return {args, in, want, area, at, mem};
}

TEST(Demo, ConsoleRunsAsScripted) {
  const std::string kBox9 = Box(-9, "Unerwarteter Fehler / unknown error") + kMenu;
  const Row rows[] = {
      R("com2 38 @", "2\n1\n0\n", Head(2, 38400) + kM2),
      R("COM3 Com2 com1 57 @ x", "2\n1\n0\n", Head(1, 57600) + kM2),
      R("200 38 @", "2\n1\n0\n", Head(1, 38400) + "Fehler / error 'KS7Open:' -2\n"),
      R("/dev/no-such-serial-device", "", Head() + "Fehler / error 'KS7Open:' -4\n"),
      R("/" + std::string(70, 'x'), "", Head() + "Fehler / error 'KS7SetDevName:' -1\n"),
      R("@", "x0\nabc\n0\n", Head(1, 19200, kNoNum.c_str(), kNoNum.c_str()) + kMenu),
      R("@", "2\n0\n4 1 0 12\n\n0\n", Head() + kM2 + Ask['4'] + DWs(12) + kMenu),
      R("@", "2 0 3 0 -1 2\n0\n", Head() + kM2 + Ask['3'] + Wrote(2) + kM2, Area::Outputs, 0,
        "FF FF 00"),
      R("@", "2\n0\n4 abc1\n0\n",
        Head() + kM2 + Ask['4'].substr(0, Ask['4'].find("\nStart")) + kNoNum + kMenu),
      R("@", "2\n0\n|4 1 0 1\n0\n",
        Head() + kM2 + Ask['4'] + Box(-1, "Zeitueberlauf / Timeout") + kMenu),
      R("@", "2\n0\nF 1 0 1 1e400\nF 1 4 1 -1e-50\nf 1 8 1 1e-400\n0\n",
        Head() + kM2 + Ask['F'] + Real(0, "inf") + Ask['F'] + Real(4, "-0.000000") + Ask['F'] +
            Real(8, "0.000000"),
        Area::DB, 0, "7F 80 00 00 80 00 00 00 00 00 00 00 1C"),
      R("@", "2\n0\n3 0 7 1024\n3 0 7 1025\n0\n",
        Head() + kM2 + Ask['3'] + Wrote(1024) + kM2 + Ask['3'] + kTooMany + kM2, Area::Outputs,
        1022, "07 07"),
      R("@",
        "2\n0\n1 3 2\n2 5 2\n7 3 2\n9 0 1\nE 1 40 2\ng 1 48 2\nB 10 9 3\nc 11 5\nD 10 3\nb 10 "
        "3\n6\n0\n",
        Head() + kM2 + Ask['1'] + List({"MB 000 = 00ab \n", "MB 001 = 0001 \n"}) + kMenu +
            Ask['2'] + List({"EB 000 = 005a \n", "EB 001 = 00ff \n"}) + kMenu + Ask['7'] +
            List({"T   3 = 127000 \n", "T   4 = 9990 \n"}) + kMenu + Ask['9'] +
            List({"Z   0 = 42 \n"}) + kMenu + Ask['E'] +
            List({"Float an Byte float at byte 40 = 1.500000\n",
                  "Float an Byte float at byte 44 = -0.250000\n"}) +
            kMenu + Ask['G'] +
            List({"DWord an Byte / dword at byte 48 = fffffffe (hex) = -2 (dec)\n",
                  "DWord an Byte / dword at byte 52 = 00010000 (hex) = 65536 (dec)\n"}) +
            kMenu + Ask['B'] + kBitRange + "MB 10.3 = 1 \n" + kGoOn + kMenu + Ask['C'] + kMenu +
            Ask['D'] + kMenu + Ask['B'] + "MB 10.3 = 0 \n" + kGoOn + kMenu +
            "Erreichbare Teilnehmer: / available MPI-members:\n2, 5, " + kGoOn + "\n" + kMenu,
        Area::Flags, 10, "00 20"),
      R("@", "2\n0\n5 1 2 4660\n8 0 3 100\na 7 2 5\nF 1 8 2 1.5\nh 1 16 1 -2\n0\n",
        Head() + kM2 + Ask['5'] +
            List({"DW 000 = 1234               \n", "DW 002 = 1234               \n"}) + kMenu +
            Ask['8'] +
            List({"T 000 = 110               \n", "T 001 = 120               \n",
                  "T 002 = 130               \n"}) +
            kMenu + Ask['A'] + List({"Z 007 = 15\n", "Z 008 = 25\n"}) + kMenu + Ask['F'] +
            List({"Float an Byte / float at byte 8 = 1.500000\n",
                  "Float an Byte / float at byte 12 = 1.500000\n"}) +
            kMenu + Ask['H'] +
            List({"DWord an Byte / dword at byte16 = fffffffe (hex) = -2 (dec)\n"}) + kMenu,
        Area::DB, 0, "12 34 12 34 14 15 16 17 3F C0 00 00 3F C0 00 00 FF FF FF FE 24"),
      R("@", "2\n0\n1 0 0\n4 99 0 1\nA 0 1 995\nA 0 1 65530\n8 0 2 4294967290\n4 1 0 1025\ni\n0\n",
        Head() + kM2 + Ask['1'] + Box(-5, "allgemeiner Fehler / general error") + kMenu + Ask['4'] +
            Box(2, "DB oder Datenbereich exisitiert nicht / data area in PLC not available") +
            kMenu + Ask['A'] + kBox9 + Ask['A'] + kBox9 + Ask['8'] + kBox9 + Ask['4'] + kTooMany +
            kM2 + kM2),
      R("@", "2\n0\nB 3 9", Head() + kM2 + Ask['B'] + kBitRange + kMenu),
      R("200 @", "2\n0\n4 1 0 1\nC 2 6\n0\n",
        Head(1, 9600) + kM2 + Ask['4'] + DWs(1) + kMenu + Ask['C'] + kMenu, Area::Flags, 2, "40"),
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.in);
    auto pty = std::make_unique<s7sim::Pty>();
    s7sim::Plc plc, other;
    plc.add_db(1, 64);
    Bytes db(24);
    for (int i = 0; i < 24; ++i) db[i] = 0x10 + i;
    plc.write_bytes(Area::DB, 1, 0, db);
    plc.write_bytes(Area::DB, 1, 40,
                    Bytes{0x3F, 0xC0, 0, 0, 0xBE, 0x80, 0, 0, 0xFF, 0xFF, 0xFF, 0xFE, 0, 1, 0, 0});
    plc.write_bytes(Area::Flags, 0, 3, Bytes{0xAB, 0x01, 0, 0, 0, 0, 0, 0x08});
    plc.write_bytes(Area::Inputs, 0, 5, Bytes{0x5A, 0xFF});
    plc.set_timer(3, 0x2127);
    plc.set_timer(4, 0x0999);
    plc.set_counter(0, 0x0042);
    std::optional<s7sim::MpiAdapter> adapter;
    std::optional<s7sim::PpiStation> station;
    if (r.args[0] == '2') {
      station.emplace(pty->master(), 2, plc).start();
    } else {
      adapter.emplace(pty->master()).add_station(2, plc);
      adapter->add_station(5, other);
      adapter->start();
    }
    std::string args = r.args;
    if (const size_t at = args.find('@'); at != std::string::npos)
      args.replace(at, 1, pty->slave_name());
    const std::string out = Demo(args, r.in, (Head() + kM2).size(), [&] {
      if (r.in.find('|') == std::string::npos) return;
      adapter->stop();
      pty.reset();  // the device vanishes
    });
    EXPECT_EQ(out, r.want + " 1\n");
    if (!r.mem.empty()) {
      EXPECT_EQ(s7test::hex(plc.read_bytes(r.area, 1, r.at, r.mem.size() / 3 + 1)), r.mem);
    }
    if (station) station->stop();
    if (adapter) adapter->stop();
    EXPECT_TRUE((adapter ? adapter->violations() : station->violations()).empty());
  }
}

TEST(Demo, SimulatorProgramServesItsPresetsAndEndsOnSigterm) {
  FILE *sim = popen(S7SIM_PATH
                    " --station 2 --db 3:32 --set DB3.DBW2=0x1234 --set MB10=7 --set "
                    "Z4=0x0123 --station 6 & echo $!; wait $!; echo $?",
                    "r");
  char a[64] = "", b[64] = "";
  ASSERT_TRUE(fgets(a, sizeof a, sim) && fgets(b, sizeof b, sim));
  std::string dev = a[0] == '/' ? a : b, pid = a[0] == '/' ? b : a;
  dev.pop_back();
  const std::string out = Demo(dev, "2 0 4 3 1 1\n1 10 1\n9 4 1\n6\n0\n");
  for (const char *line : {"DW 001 = 1234               \n", "MB 000 = 0007 \n", "Z   4 = 123 \n",
                           "available MPI-members:\n2, 6, ", "\n 1\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << out;
  kill(std::stoi(pid), SIGTERM);
  EXPECT_TRUE(fgets(a, sizeof a, sim) && std::string(a) == "0\n") << "a clean end on SIGTERM";
  pclose(sim);
  for (const char *bad :
       {"--bogus", "--station 127", "--db 1", "--set MB2000=1", "--set MB1=256", "--set XB1=1",
        "--ppi --station 2 --station 3", "--station 2 --station 2"})
    EXPECT_EQ(Shell(S7SIM_PATH " " + std::string(bad) + " 2>/dev/null"), " 2\n") << bad;
  EXPECT_EQ(Shell(S7SIM_PATH " --help").rfind("usage: s7sim", 0), 0u);
}

}  // namespace
