// The console program, run as its own process against the simulator program
// (an MPI adapter with PLCs at 2 and 5, or an S7-200 at 2) on its pty: exact
// input texts in, the whole output compared with the exact texts.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

// s7demo with args on the input, through the shell; its output and then its
// exit status.
std::string Demo(const std::string &args, const std::string &in) {
  FILE *p =
      popen(("printf '" + in + "' | " S7DEMO_PATH " " + args + "; echo \" $?\"").c_str(), "r");
  std::string s;
  for (int c; (c = fgetc(p)) != EOF;) s += static_cast<char>(c);
  pclose(p);
  return s;
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
  const std::string t =
      "1lese Merker|read Flags;2lese Eingang|read input;3schreibe Ausgang|write output;4lese DB|rea"
      "d DB;5schreibe DB|write DB;6erreichbare Teilnehmer|available MPI-members;7lese Timer|read Ti"
      "mer;8schreibe Timer|write Timer;9lese Zaehler|read Counter;Aschreibe Zaehler|write counter;B"
      "lese Merker Bit|read bit of flag;Csetze Merker Bit|set bit of flag;Druecksetze Merker Bit|re"
      "set bit of flag;Elese Floatingpointwerte|reading floating poinz values;Fschreibe Floatingpoi"
      "ntwerte|writing floating point values;Glese Doppelworte|reading double words;Hschreibe Doppe"
      "lworte|writing double words;0Ende|exit; Bitte waehlen .....|please select;";
  std::string s = "\n****************\n";
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
  return "\n*************************\n\aFehler / error  " + std::to_string(code) + "\n " + text +
         "\n\n**************************\n" + kGoOn;
}
// Lines with the pause rule: a pause after every 11th line and after the last.
std::string List(const std::string &lines) {
  std::string s;
  for (size_t i = 0, e, n = 0; (e = lines.find('\n', i)) != std::string::npos; i = e + 1)
    s += lines.substr(i, e + 1 - i) + (n++ % 11 == 10 ? kGoOn : "");
  return s + kGoOn;
}
// Header and prompts of each action after its key; '~' stands for the pause,
// '^' for the start and count prompts of the real and double-word actions.
const std::map<char, std::string> kAsk = [] {
  const std::string t =
      "1Lese Merker Byte / reading flag bytes\n Start byte: Anzahl der Bytes / count of bytes to re"
      "ad: |2Lese Eingangsbyte / reading input bytes\n Start byte:Anzahl der Bytes / count of byte"
      "s to read\n|3\nSchreibe Ausgangsbyte: / writting output bytes\nStart byte: Schreibwert: / v"
      "alue for writting: Anzahl: |4Lese / reading DB\nLese /reading DB-Nummer: / DB-No:\nStart ab"
      " Wort: / start from word:\nAnzahl der Worte: / count of words:|5Schreibe/writting  DB ab/fr"
      "om DW 0\n\nSchreibe/writting DB-Nummer/DB-No.:\nAnzahl der Worte: / Count of words:\nSchrei"
      "bwert: / value to write: |7Lese Timer / read Timer\n Start Timer Nr: / start number of time"
      "r: Anzahl der Timer / count of timer\n|8Schreibe Timer ab / write Timer\nStartNr / start no"
      ". of timer: \nAnzahl der Timer: / count of Timer:  \nSchreibwert: / write value:|9Lese Zaeh"
      "ler / read counter\n Start Zaehler Nr: / start number of counter:Anzahl der Zaehler / count "
      "of counter\n|ASchreibe Zaehler / write counter\nStartNr: / start no. of counter:\nAnzahl de"
      "r Zaehler: / count of counter: \nSchreibwert: / write value: |BLese Merker Bit / reading bi"
      "t of flag\n ByteNr: / Byte no.:BitNr: / Bit no: |CSetze Merker Bit / Set bit of flag\nByte"
      "Nr: BitNr: Bit gesetzt. / bit is set.~|DRuecksetze Merker Bit / Reset bit of flag\nByteNr: "
      "BitNr: Bit zurueckgesetzt. / bit reseted ~|ELese floating point von DB / reading floating p"
      "oint from DB\n\nLese von DB mit Nummer: / reading from DB with no.: ^s: |FSchreibe floating"
      " Point in DB / writing floating \n\nSchreibe in DB mit Nummer: / writing to DB with no.: ^s"
      ": \nSchreibwert: / value to be written: |GLese Doppelwort von DB / reading double word from"
      " DB\n\nLese von DB mit Nummer:^s: |HSchreibe Doppelwort in DB writing double words of DB\n"
      "\nSchreibe in DB mit Nummer: / writing to DB of no.:^: \nSchreibwert: / value to be writte"
      "n: |";
  std::map<char, std::string> m;
  for (size_t i = 0, e; (e = t.find('|', i)) != std::string::npos; i = e + 1)
    for (char c : t.substr(i + 1, e - i - 1))
      m[t[i]] += c == '~'   ? kGoOn
                 : c == '^' ? "\nStartbyte: / start byte: \nAnzahl der Werte: / count of value"
                            : std::string(1, c);
  return m;
}();
std::string P(char k) { return kAsk.at(k); }
// An action that lists: prompts, lines, menu.
std::string A(char k, const std::string &lines) { return P(k) + List(lines) + kMenu; }
std::string Real(int at, const char *v) {
  return A('F', Fmt("Float an Byte / float at byte %d = %s\n", at, v));
}
std::string DWs(unsigned n) {  // DW lines of the preset DB1, from word 0
  std::string l;
  for (unsigned i = 0; i < n; ++i)
    l += Fmt("DW %03u = %04x               \n", 2 * i, 0x1011 + 0x202 * i);
  return List(l);
}

struct Row {
  std::string args, in, want;  // args: '@' stands for the pty's slave
};

// The simulator's memory: DB1 bytes 0..23 hold 0x10..0x27, reals and double
// words from byte 40 on, and a few flags and a timer.
const std::string kPresets =
    " --db 1:64 --set DB1.DBD0=0x10111213 --set DB1.DBD4=0x14151617 --set DB1.DBD8=0x18191A1B"
    " --set DB1.DBD12=0x1C1D1E1F --set DB1.DBD16=0x20212223 --set DB1.DBD20=0x24252627 --set "
    "DB1.DBD40=1.5 --set DB1.DBD44=-0.25 --set DB1.DBD52=0x10000 --set "
    "MW3=0xAB01 --set MB10=8 --set T3=0x2127";

// s7demo run as Demo() does against the simulator program (its device in place of '@'), with
// the presets above; an S7-200 when args begin with 200.
std::string WithSim(std::string args, const std::string &in) {
  const std::string ppi = args[0] == '2' ? " --ppi --station 2" : " --station 5 --station 2";
  FILE *sim = popen(("echo $$; exec " S7SIM_PATH + ppi + kPresets).c_str(), "r");
  char pid[16] = "", dev[64] = "";
  EXPECT_TRUE(fgets(pid, sizeof pid, sim) && fgets(dev, sizeof dev, sim));
  if (const size_t at = args.find('@'); at != std::string::npos)
    args.replace(at, 1, dev, std::strlen(dev) - 1);
  const std::string out = Demo(args, in);
  kill(std::atoi(pid), SIGTERM);
  EXPECT_EQ(pclose(sim), 0) << "a clean end on SIGTERM";
  return out;
}

TEST(Demo, ConsoleRunsAsScripted) {
  const std::string kBox9 = Box(-9, "Unerwarteter Fehler / unknown error") + kMenu;
  const Row rows[] = {
      {"com2 38 @", "2\n1\n0\n", Head(2, 38400) + kM2},
      {"COM3 Com2 com1 57 @ x", "2\n1\n0\n", Head(1, 57600) + kM2},
      {"200 38 @", "2\n1\n0\n", Head(1, 38400) + "Fehler / error 'KS7Open:' -2\n"},
      {"/dev/no-such-serial-device", "", Head() + "Fehler / error 'KS7Open:' -4\n"},
      {"/" + std::string(70, 'x'), "", Head() + "Fehler / error 'KS7SetDevName:' -1\n"},
      {"@", "x0\nabc\n0\n", Head(1, 19200, kNoNum.c_str(), kNoNum.c_str()) + kMenu},
      {"@", "2\n0\n4 1 0 12\n\n0\n", Head() + kM2 + P('4') + DWs(12) + kMenu},
      {"@", "2 0 5 1 1 -1\n0\n", Head() + kM2 + A('5', "DW 000 = ffff               \n")},
      {"@", "2\n0\n4 abc1\n0\n", Head() + kM2 + P('4').substr(0, 51) + kNoNum + kMenu},
      {"@", "7\n0\n4 1 0 1\n0\n",
       Head() + kM2 + P('4') + Box(-1, "Zeitueberlauf / Timeout") + kMenu},
      {"@", "2\n0\nF 1 0 1 1e400\nF 1 4 1 -1e-50\nf 1 8 1 1e-400\n0\n",
       Head() + kM2 + Real(0, "inf") + Real(4, "-0.000000") + Real(8, "0.000000")},
      {"@", "2\n0\n3 0 7 1024\n3 0 7 1025\n0\n",
       Head() + kM2 + P('3') + "ab/from AB/OB 0 , 1024 Bytes geschrieben/written\n" + kM2 + P('3') +
           kTooMany + kM2},
      {"@",
       "2\n0\n1 3 2\n2 5 2\n7 3 2\n9 0 1\nE 1 40 2\ng 1 52 1\nB 10 9 3\nc 11 5\nD 10 3\nb 10 "
       "3\n6\n0\n",
       Head() + kM2 + A('1', "MB 000 = 00ab \nMB 001 = 0001 \n") +
           A('2', "EB 000 = 0000 \nEB 001 = 0000 \n") + A('7', "T   3 = 127000 \nT   4 = 0 \n") +
           A('9', "Z   0 = 0 \n") +
           A('E',
             "Float an Byte float at byte 40 = 1.500000\nFloat an Byte float at byte 44 = "
             "-0.250000\n") +
           A('G', "DWord an Byte / dword at byte 52 = 00010000 (hex) = 65536 (dec)\n") + P('B') +
           kBitRange + "MB 10.3 = 1 \n" + kGoOn + kMenu + P('C') + kMenu + P('D') + kMenu + P('B') +
           "MB 10.3 = 0 \n" + kGoOn + kMenu +
           "Erreichbare Teilnehmer: / available MPI-members:\n2, 5, " + kGoOn + "\n" + kMenu},
      {"@", "2\n0\n5 1 2 4660\n8 0 3 100\na 7 2 5\nF 1 8 2 1.5\nh 1 16 1 -2\n0\n",
       Head() + kM2 + A('5', "DW 000 = 1234               \nDW 002 = 1234               \n") +
           A('8',
             "T 000 = 110               \nT 001 = 120               \nT 002 = 130               "
             "\n") +
           A('A', "Z 007 = 15\nZ 008 = 25\n") +
           A('F',
             "Float an Byte / float at byte 8 = 1.500000\nFloat an Byte / float at byte 12 = "
             "1.500000\n") +
           A('H', "DWord an Byte / dword at byte16 = fffffffe (hex) = -2 (dec)\n")},
      {"@", "2\n0\n1 0 0\n4 99 0 1\nA 0 1 995\nA 0 1 65530\n8 0 2 4294967290\n4 1 0 1025\ni\n0\n",
       Head() + kM2 + P('1') + Box(-5, "allgemeiner Fehler / general error") + kMenu + P('4') +
           Box(2, "DB oder Datenbereich exisitiert nicht / data area in PLC not available") +
           kMenu + P('A') + kBox9 + P('A') + kBox9 + P('8') + kBox9 + P('4') + kTooMany + kM2 +
           kM2},
      {"200 @", "2\n0\n4 1 0 1\nC 2 6\nb 2 6\n0\n",
       Head(1, 9600) + kM2 + P('4') + DWs(1) + kMenu + P('C') + kMenu + P('B') + "MB 2.6 = 1 \n" +
           kGoOn + kMenu},
  };
  for (const Row &r : rows) EXPECT_EQ(WithSim(r.args, r.in), r.want + " 1\n") << r.in;
}

// Every action that lists values pauses after the 11th line and after the last (12 lines each;
// each pause takes a line end from the input).
TEST(Demo, EveryListingPausesAfterItsEleventhLine) {
  const char *in[] = {"1 0 12", "2 0 12",   "4 1 0 12", "5 1 12 7",     "7 0 12",   "8 0 12 100",
                      "9 0 12", "A 0 12 5", "E 1 0 12", "F 1 0 12 1.5", "G 1 0 12", "H 1 0 12 7"};
  std::string input = "2\n0\n";
  for (const char *line : in) input += line + std::string("\n\n");
  const std::string out = WithSim("@", input + "0\n");
  size_t at = Head().size() + kM2.size();
  ASSERT_EQ(out.compare(0, at, Head() + kM2), 0) << out;
  for (const char *line : in) {
    const char k = line[0];
    ASSERT_EQ(out.compare(at, P(k).size(), P(k)), 0) << k << ": " << out.substr(at, 200);
    const size_t p1 = out.find(kGoOn, at += P(k).size()), p2 = out.find(kGoOn, p1 + 1);
    ASSERT_TRUE(p1 != std::string::npos && p2 != std::string::npos) << k;
    EXPECT_EQ(std::count(&out[at], &out[p1], '\n') * 10 + std::count(&out[p1], &out[p2], '\n'), 111)
        << k << ": " << out.substr(at, p2 - at);
    at = p2 + kGoOn.size();
    ASSERT_EQ(out.compare(at, kMenu.size(), kMenu), 0) << k << ": " << out.substr(at, 200);
    at += kMenu.size();
  }
}

}  // namespace
