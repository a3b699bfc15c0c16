// The console program, run as its own process against the simulated MPI
// adapter (or S7-200) at the master side of a pty: exact input texts in, the
// whole output compared with the exact texts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <optional>

#include "demo_run.hpp"
#include "mpi_adapter.hpp"
#include "plc.hpp"
#include "ppi_station.hpp"

namespace demotest {

Child Spawn(const char *path, std::vector<std::string> args) {
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {};
  args.insert(args.begin(), path);
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    execv(path, argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  return {pid, in[1], out[0]};
}

std::string Read(int fd, int quiet_ms, char until) {
  std::string s;
  for (uint8_t c; (s.empty() || s.back() != until) && s7sim::read_byte(fd, c, quiet_ms);) s += c;
  return s;
}

int Wait(pid_t pid) {
  int st = 0;
  for (int i = 0; i < 500; ++i, usleep(10000))
    if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  kill(pid, SIGKILL);
  waitpid(pid, &st, 0);
  return -2;
}

void Put(int fd, const std::string &s) {
  s7sim::write_all(fd, {reinterpret_cast<const uint8_t *>(s.data()), s.size()});
}

}  // namespace demotest

namespace {

using namespace demotest;
using s7sim::Area;
using Bytes = std::vector<uint8_t>;

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

struct Row {
  std::vector<std::string> args;  // "D": the pty's slave
  std::string in;                 // at '|' the device vanishes
  std::string want;
  Area area = Area::DB;  // afterwards, from byte `at` on
  int at = 0;
  std::string mem = "";
};

TEST(Demo, ConsoleRunsAsScripted) {
  const std::string kBox9 = Box(-9, "Unerwarteter Fehler / unknown error") + kMenu;
  const Row rows[] = {
      {{"com2", "38", "D"}, "2\n1\n0\n", Head(2, 38400) + kM2},
      {{"COM3", "Com2", "com1", "57", "D", "x"}, "2\n1\n0\n", Head(1, 57600) + kM2},
      {{"200", "38", "D"}, "2\n1\n0\n", Head(1, 38400) + "Fehler / error 'KS7Open:' -2\n"},
      {{"/dev/no-such-serial-device"}, "", Head() + "Fehler / error 'KS7Open:' -4\n"},
      {{"/" + std::string(70, 'x')}, "", Head() + "Fehler / error 'KS7SetDevName:' -1\n"},
      {{"D"}, "x0\nabc\n0\n", Head(1, 19200, kNoNum.c_str(), kNoNum.c_str()) + kMenu},
      {{"D"}, "2\n0\n4 1 0 12\n\n0\n", Head() + kM2 + Ask['4'] + DWs(12) + kMenu},
      {{"D"},
       "2 0 3 0 -1 2\n0\n",
       Head() + kM2 + Ask['3'] + "ab/from AB/OB 0 , 2 Bytes geschrieben/written\n" + kM2,
       Area::Outputs,
       0,
       "FF FF 00"},
      {{"D"},
       "2\n0\n4 abc1\n0\n",
       Head() + kM2 + Ask['4'].substr(0, Ask['4'].find("\nStart")) + kNoNum + kMenu},
      {{"D"},
       "2\n0\n|4 1 0 1\n0\n",
       Head() + kM2 + Ask['4'] + Box(-1, "Zeitueberlauf / Timeout") + kMenu},
      {{"D"},
       "2\n0\nF 1 0 1 1e400\nF 1 4 1 -1e-50\nf 1 8 1 1e-400\n0\n",
       Head() + kM2 + Ask['F'] + Real(0, "inf") + Ask['F'] + Real(4, "-0.000000") + Ask['F'] +
           Real(8, "0.000000"),
       Area::DB,
       0,
       "7F 80 00 00 80 00 00 00 00 00 00 00 1C"},
      {{"D"},
       "2\n0\n3 0 7 1024\n3 0 7 1025\n0\n",
       Head() + kM2 + Ask['3'] + "ab/from AB/OB 0 , 1024 Bytes geschrieben/written\n" + kM2 +
           Ask['3'] + kTooMany + kM2,
       Area::Outputs,
       1022,
       "07 07"},
      {{"D"},
       "2\n0\n1 3 2\n2 5 2\n7 3 2\n9 0 1\nE 1 40 2\ng 1 48 2\nB 10 9 3\nc 11 5\nD 10 3\nb 10 "
       "3\n6\n0\n",
       Head() + kM2 + Ask['1'] + List({"MB 000 = 00ab \n", "MB 001 = 0001 \n"}) + kMenu + Ask['2'] +
           List({"EB 000 = 005a \n", "EB 001 = 00ff \n"}) + kMenu + Ask['7'] +
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
       Area::Flags,
       10,
       "00 20"},
      {{"D"},
       "2\n0\n5 1 2 4660\n8 0 3 100\na 7 2 5\nF 1 8 2 1.5\nh 1 16 1 -2\n0\n",
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
       Area::DB,
       0,
       "12 34 12 34 14 15 16 17 3F C0 00 00 3F C0 00 00 FF FF FF FE 24"},
      {{"D"},
       "2\n0\n1 0 0\n4 99 0 1\nA 0 1 995\nA 0 1 65530\n8 0 2 4294967290\n4 1 0 1025\ni\n0\n",
       Head() + kM2 + Ask['1'] + Box(-5, "allgemeiner Fehler / general error") + kMenu + Ask['4'] +
           Box(2, "DB oder Datenbereich exisitiert nicht / data area in PLC not available") +
           kMenu + Ask['A'] + kBox9 + Ask['A'] + kBox9 + Ask['8'] + kBox9 + Ask['4'] + kTooMany +
           kM2 + kM2},
      {{"D"}, "2\n0\nB 3 9", Head() + kM2 + Ask['B'] + kBitRange + kMenu},
      {{"200", "D"},
       "2\n0\n4 1 0 1\nC 2 6\n0\n",
       Head(1, 9600) + kM2 + Ask['4'] + DWs(1) + kMenu + Ask['C'] + kMenu,
       Area::Flags,
       2,
       "40"},
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
    if (r.args[0] == "200") {
      station.emplace(pty->master(), 2, plc).start();
    } else {
      adapter.emplace(pty->master()).add_station(2, plc);
      adapter->add_station(5, other);
      adapter->start();
    }
    std::vector<std::string> args = r.args;
    for (std::string &a : args) a = a == "D" ? pty->slave_name() : a;
    const Child c = Spawn(S7DEMO_PATH, args);
    const size_t cut = r.in.find('|');
    Put(c.in, r.in.substr(0, cut));
    std::string out;
    if (cut != std::string::npos) {
      out = Read(c.out, 300, 0);
      adapter->stop();
      pty.reset();  // the device vanishes
      Put(c.in, r.in.substr(cut + 1));
    }
    close(c.in);
    out += Read(c.out, 20000, 0);
    close(c.out);
    EXPECT_EQ(Wait(c.pid), 1);
    EXPECT_EQ(out, r.want);
    if (!r.mem.empty()) {
      EXPECT_EQ(s7test::hex(plc.read_bytes(r.area, 1, r.at, r.mem.size() / 3 + 1)), r.mem);
    }
    if (station) station->stop();
    if (adapter) adapter->stop();
    EXPECT_TRUE((adapter ? adapter->violations() : station->violations()).empty());
  }
}

}  // namespace
