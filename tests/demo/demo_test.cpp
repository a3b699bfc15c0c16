// The console program, run as its own process against the simulated MPI
// adapter (or S7-200) at the master side of a pty: exact input texts in, the
// whole output compared with the exact texts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <optional>

#include "demo_run.hpp"
#include "mpi_adapter.hpp"
#include "plc.hpp"
#include "ppi_station.hpp"
#include "pty.hpp"

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
  for (uint8_t c; (s.empty() || s.back() != until) && s7sim::read_byte(fd, c, quiet_ms);)
    s += char(c);
  return s;
}

int Wait(pid_t pid) {
  int st = 0;
  for (int i = 0; i < 500; ++i) {
    if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    usleep(10000);
  }
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
const std::string kNoNumber = "Keine Zahl, Eingabe verworfen / not a number, input discarded\n";
// The banner and the address prompts (showing 2 and 1), with what follows each.
std::string Head(int com = 1, long baud = 19200, const std::string &a = "",
                 const std::string &b = "") {
  return Fmt(
      "VALDENO Demo Version 1.01  COM%d, Baudrate: %ld\nwollen Sie andere COM dann rufen sie : "
      "'TORVAX COMx' \nif you want other COM please start: 'MELVOTH COMx' \nSPS-MPI-Adr / "
      "PLC-MPI-Addr 2: \n%sPC-MPI-Addr 1: \n%sCOM%d wird goeffnet / is opened.........\n",
      com, baud, a.c_str(), b.c_str(), com);
}
const std::string kMenu =
    "\n****************\n1 = lese Merker                 | read Flags\n2 = lese Eingang            "
    "    | "
    "read input\n3 = schreibe Ausgang            | write output\n4 = lese DB                     | "
    "read DB\n5 = schreibe DB                 | write DB\n6 = erreichbare Teilnehmer      | "
    "available "
    "MPI-members\n7 = lese Timer                  | read Timer\n8 = schreibe Timer              | "
    "write "
    "Timer\n9 = lese Zaehler                | read Counter\nA = schreibe Zaehler            | "
    "write "
    "counter\nB = lese Merker Bit             | read bit of flag\nC = setze Merker Bit            "
    "| set "
    "bit of flag\nD = ruecksetze Merker Bit       | reset bit of flag\nE = lese Floatingpointwerte "
    "    "
    "| reading floating poinz values\nF = schreibe Floatingpointwerte | writing floating point "
    "values\nG = lese Doppelworte            | reading double words\nH = schreibe Doppelworte      "
    "  | "
    "writing double words\n0 = Ende                        | exit\n    Bitte waehlen .....         "
    "| "
    "please select\n\n";
const std::string kM2 = kMenu + kMenu;  // the line end after the PC address is a key as well
const std::string kGoOn = "Weiter mit EINGABE-Taste / to continue press ENTER key\r";
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
const std::string kRdDB =
    "Lese / reading DB\nLese /reading DB-Nummer: / DB-No:\nStart ab Wort: / start "
    "from word:\nAnzahl der Worte: / count of words:";
const std::string kWrAB =
    "\nSchreibe Ausgangsbyte: / writting output bytes\nStart byte: Schreibwert: / "
    "value for writting: Anzahl: ";
const std::string kWrF =
    "Schreibe floating Point in DB / writing floating \n\nSchreibe in DB mit Nummer: "
    "/ writing to DB with no.: \nStartbyte: / start byte: \nAnzahl der Werte: / "
    "count of values: \nSchreibwert: / value to be written: ";
const std::string kRdBit =
    "Lese Merker Bit / reading bit of flag\n ByteNr: / Byte no.:BitNr: / Bit no: ";
const std::string kBitRange =
    "BitNr muss zwischen 0 und 7 liegen. / Bit must be between 0 and 7.BitNr: / Bit no: ";
const std::string kSetBit =
    "Setze Merker Bit / Set bit of flag\nByteNr: BitNr: Bit gesetzt. / bit is set." + kGoOn;
const std::string kWrCnt =
    "Schreibe Zaehler / write counter\nStartNr: / start no. of counter:\nAnzahl der "
    "Zaehler: / count of counter: \nSchreibwert: / write value: ";
const std::string kWrT =
    "Schreibe Timer ab / write Timer\nStartNr / start no. of timer: \nAnzahl der Timer: / "
    "count of Timer:  \nSchreibwert: / write value:";
const std::string kTooMany = "Anzahl zu gross, hoechstens 1024 / count too big, at most 1024\n";
const char kUnknown[] = "Unerwarteter Fehler / unknown error";
std::string Written(int start, int n) {
  return Fmt("ab/from AB/OB %d , %d Bytes geschrieben/written\n", start, n);
}
std::string DWs(unsigned n) {  // DW lines of the preset DB1, from word 0
  std::vector<std::string> l;
  for (unsigned i = 0; i < n; ++i)
    l.push_back(Fmt("DW %03u = %04x               \n", 2 * i, 0x1011 + 0x202 * i));
  return List(l);
}

struct Row {
  const char *what;
  std::vector<std::string> args;  // "DEV": the pty's slave
  std::string in;                 // at '|' the device vanishes
  std::string want;
  Area area = Area::DB;  // afterwards, from byte `at` on
  int at = 0;
  std::string mem = "";
};

TEST(Demo, ConsoleRunsAsScripted) {
  const std::string ppiRead = kRdDB + List({"DW 000 = 1011               \n"}) + kMenu;
  const Row rows[] = {
      {"plain", {"DEV"}, "2\n1\n0\n", Head() + kM2},
      {"com2 38", {"com2", "38", "DEV"}, "2\n1\n0\n", Head(2, 38400) + kM2},
      {"later word wins", {"Com2", "COM1", "57", "DEV"}, "2\n1\n0\n", Head(1, 57600) + kM2},
      {"unknown words", {"COM3", "DEV", "x"}, "2\n1\n0\n", Head() + kM2},
      {"200 at 38400",
       {"200", "38", "DEV"},
       "2\n1\n0\n",
       Head(1, 38400) + "Fehler / error 'KS7Open:' -2\n"},
      {"no device", {"/dev/no-such-serial-device"}, "", Head() + "Fehler / error 'KS7Open:' -4\n"},
      {"long name",
       {"/" + std::string(70, 'x')},
       "",
       Head() + "Fehler / error 'KS7SetDevName:' -1\n"},
      {"addresses not numbers",
       {"DEV"},
       "x0\nabc\n0\n",
       Head(1, 19200, kNoNumber, kNoNumber) + kMenu},
      {"end of input", {"DEV"}, "", Head() + kMenu},
      {"numbers on one line",
       {"DEV"},
       "2\n0\n4 1 0 12\n\n0\n",
       Head() + kM2 + kRdDB + DWs(12) + kMenu},
      {"-1 at %u",
       {"DEV"},
       "2 0 3 0 -1 2\n0\n",
       Head() + kM2 + kWrAB + Written(0, 2) + kM2,
       Area::Outputs,
       0,
       "FF FF 00"},
      {"letters",
       {"DEV"},
       "2\n0\n4 abc1\n0\n",
       Head() + kM2 + "Lese / reading DB\nLese /reading DB-Nummer: / DB-No:" + kNoNumber + kMenu},
      {"vanished",
       {"DEV"},
       "2\n0\n|4 1 0 1\n0\n",
       Head() + kM2 + kRdDB + Box(-1, "Zeitueberlauf / Timeout") + kMenu},
      {"reals",
       {"DEV"},
       "2\n0\nF 1 0 1 1e400\nF 1 4 1 -1e-50\nf 1 8 1 1e-400\n0\n",
       Head() + kM2 + kWrF + List({"Float an Byte / float at byte 0 = inf\n"}) + kMenu + kWrF +
           List({"Float an Byte / float at byte 4 = -0.000000\n"}) + kMenu + kWrF +
           List({"Float an Byte / float at byte 8 = 0.000000\n"}) + kMenu,
       Area::DB,
       0,
       "7F 80 00 00 80 00 00 00 00 00 00 00 1C"},
      {"1024 outputs",
       {"DEV"},
       "2\n0\n3 0 7 1024\n3 0 7 1025\n0\n",
       Head() + kM2 + kWrAB + Written(0, 1024) + kM2 + kWrAB + kTooMany + kM2,
       Area::Outputs,
       1022,
       "07 07"},
      {"writes",
       {"DEV"},
       "2\n0\n5 1 2 4660\n8 0 3 100\na 7 2 5\nF 1 8 2 1.5\nh 1 16 1 -2\n0\n",
       Head() + kM2 +
           "Schreibe/writting  DB ab/from DW 0\n\nSchreibe/writting DB-Nummer/DB-No.:\nAnzahl der "
           "Worte: / Count of words:\nSchreibwert: / value to write: " +
           List({"DW 000 = 1234               \n", "DW 002 = 1234               \n"}) + kMenu +
           kWrT +
           List({"T 000 = 110               \n", "T 001 = 120               \n",
                 "T 002 = 130               \n"}) +
           kMenu + kWrCnt + List({"Z 007 = 15\n", "Z 008 = 25\n"}) + kMenu + kWrF +
           List({"Float an Byte / float at byte 8 = 1.500000\n",
                 "Float an Byte / float at byte 12 = 1.500000\n"}) +
           kMenu +
           "Schreibe Doppelwort in DB writing double words of DB\n\nSchreibe in DB mit Nummer: / "
           "writing "
           "to DB of no.:\nStartbyte: / start byte: \nAnzahl der Werte: / count of value: "
           "\nSchreibwert: / "
           "value to be written: " +
           List({"DWord an Byte / dword at byte16 = fffffffe (hex) = -2 (dec)\n"}) + kMenu,
       Area::DB,
       0,
       "12 34 12 34 14 15 16 17 3F C0 00 00 3F C0 00 00 FF FF FF FE 24"},
      {"errors",
       {"DEV"},
       "2\n0\n1 0 0\n4 99 0 1\nA 0 1 995\nA 0 1 65530\n8 0 2 4294967290\n4 1 0 1025\ni\n0\n",
       Head() + kM2 +
           "Lese Merker Byte / reading flag bytes\n Start byte: Anzahl der Bytes / count of bytes "
           "to read: " +
           Box(-5, "allgemeiner Fehler / general error") + kMenu + kRdDB +
           Box(2, "DB oder Datenbereich exisitiert nicht / data area in PLC not available") +
           kMenu + kWrCnt + Box(-9, kUnknown) + kMenu + kWrCnt + Box(-9, kUnknown) + kMenu + kWrT +
           Box(-9, kUnknown) + kMenu + kRdDB + kTooMany + kM2 + kM2,
       Area::DB,
       0,
       "10 11"},
      {"ends in the bit loop", {"DEV"}, "2\n0\nB 3 9", Head() + kM2 + kRdBit + kBitRange + kMenu},
      {"S7-200",
       {"200", "DEV"},
       "2\n0\n4 1 0 1\nC 3 6\n0\n",
       Head(1, 9600) + kM2 + ppiRead + kSetBit + kMenu,
       Area::Flags,
       3,
       "40"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    auto pty = std::make_unique<s7sim::Pty>();
    s7sim::Plc plc, other;
    plc.add_db(1, 64);
    for (int i = 0; i < 24; ++i) plc.write_bytes(Area::DB, 1, i, Bytes{uint8_t(0x10 + i)});
    std::optional<s7sim::MpiAdapter> adapter;
    std::optional<s7sim::PpiStation> station;
    if (r.args[0] == "200")
      station.emplace(pty->master(), 2, plc), station->start();
    else
      adapter.emplace(pty->master()), adapter->add_station(2, plc), adapter->add_station(5, other),
          adapter->start();
    std::vector<std::string> args = r.args;
    for (std::string &a : args) a = a == "DEV" ? pty->slave_name() : a;
    Child c = Spawn(S7DEMO_PATH, args);
    const size_t cut = r.in.find('|');
    Put(c.in, r.in.substr(0, cut));
    std::string out;
    if (cut != std::string::npos) {
      out = Read(c.out, 300, 0);
      adapter->stop();
      pty.reset();  // the device vanishes
    }
    Put(c.in, cut == std::string::npos ? "" : r.in.substr(cut + 1));
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
