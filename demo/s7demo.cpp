// s7demo: opens one PLC connection from its command line and two prompts and
// offers a menu of reads and writes. Every text is bilingual, German first.
#include "s7demo.h"

#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "s7serial.h"  // S7SetTrace

DWORD EigeneMPIAdr = 1;  // the PC's own station address, left out of the bus list

namespace {

// One typed line, without its line end. Long enough for any number; a longer
// line is read to its end and refused.
constexpr int ZEILE = 128;

enum class Zeile { Ok, ZuLang, Ende };

// Reads the next line that holds more than blanks into Buf.
Zeile LiesZeile(char (&Buf)[ZEILE]) {
  std::fflush(stdout);
  for (;;) {
    if (std::fgets(Buf, ZEILE, stdin) == nullptr) return Zeile::Ende;
    size_t Len = std::strlen(Buf);
    if (Len > 0 && Buf[Len - 1] == '\n') {
      Buf[--Len] = '\0';
    } else if (!std::feof(stdin)) {
      // No line end within the buffer: drop the rest of the line.
      int c;
      do c = std::getchar();
      while (c != '\n' && c != EOF);
      return Zeile::ZuLang;
    }
    for (size_t i = 0; i < Len; ++i)
      if (!std::strchr(" \t\r\v\f", Buf[i])) return Zeile::Ok;
  }
}

// Nothing but blanks from p to the end.
bool NurLeer(const char *p) {
  while (*p != '\0' && std::strchr(" \t\r\v\f", *p)) ++p;
  return *p == '\0';
}

const char *OhneLeer(const char *p) {
  while (*p != '\0' && std::strchr(" \t\r\v\f", *p)) ++p;
  return p;
}

}  // namespace

BOOL LiesDWord(DWORD &Wert) {
  char Buf[ZEILE];
  if (LiesZeile(Buf) != Zeile::Ok) return FALSE;
  const char *p = OhneLeer(Buf);
  if (*p == '+') ++p;
  if (*p < '0' || *p > '9') return FALSE;  // no sign, no empty number
  char *End = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(p, &End, 10);
  if (errno != 0 || v > UINT32_MAX || !NurLeer(End)) return FALSE;
  Wert = static_cast<DWORD>(v);
  return TRUE;
}

BOOL LiesLong(LONG &Wert) {
  char Buf[ZEILE];
  if (LiesZeile(Buf) != Zeile::Ok) return FALSE;
  const char *p = OhneLeer(Buf);
  const char *Ziffern = (*p == '+' || *p == '-') ? p + 1 : p;
  if (*Ziffern < '0' || *Ziffern > '9') return FALSE;
  char *End = nullptr;
  errno = 0;
  const long long v = std::strtoll(p, &End, 10);
  if (errno != 0 || v < INT32_MIN || v > INT32_MAX || !NurLeer(End)) return FALSE;
  Wert = static_cast<LONG>(v);
  return TRUE;
}

BOOL LiesDouble(double &Wert) {
  char Buf[ZEILE];
  if (LiesZeile(Buf) != Zeile::Ok) return FALSE;
  const char *p = OhneLeer(Buf);
  char *End = nullptr;
  errno = 0;
  const double v = std::strtod(p, &End);
  if (End == p || !NurLeer(End)) return FALSE;
  if (errno == ERANGE && (v == HUGE_VAL || v == -HUGE_VAL)) return FALSE;
  Wert = v;
  return TRUE;
}

int GetKey() {
  std::fflush(stdout);
  return std::getchar();
}

void GoOn() {
  std::printf("Weiter mit EINGABE-Taste / to continue press ENTER key\r");
  GetKey();
}

void DoErr(long code) {
  // The box names the five codes it has always known; every other one is
  // "unknown error" (INT32_MIN has no text of its own).
  const bool Bekannt = code == 2 || code == -99 || code == -10 || code == -5 || code == -1;
  const char *Text = KS7ErrText(Bekannt ? static_cast<LONG>(code) : INT32_MIN);
  std::printf(
      "\n*************************\n\aFehler / error  %ld\n %s\n\n**************************\n",
      code, Text);
  GoOn();
}

namespace {

const char Menue[] =
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

// Runs the action of one menu key; FALSE for the end key.
bool Auswahl(int Key, LONG Ref) {
  switch (Key) {
    case '0':
      return false;
    case '1':
      RdMB(Ref);
      break;
    case '2':
      RdEB(Ref);
      break;
    case '3':
      WrAB(Ref);
      break;
    case '4':
      RdDB(Ref);
      break;
    case '5':
      WrDB(Ref);
      break;
    case '6':
      ShowTeiln(Ref);
      break;
    case '7':
      RdTimer(Ref);
      break;
    case '8':
      WrTimer(Ref);
      break;
    case '9':
      RdCounter(Ref);
      break;
    case 'A':
    case 'a':
      WrCounter(Ref);
      break;
    case 'B':
    case 'b':
      RdMBit(Ref);
      break;
    case 'C':
    case 'c':
      SetMBit(Ref, 1);
      break;
    case 'D':
    case 'd':
      SetMBit(Ref, 0);
      break;
    case 'E':
    case 'e':
      RdFloat(Ref);
      break;
    case 'F':
    case 'f':
      WrFloat(Ref);
      break;
    case 'G':
    case 'g':
      RdDWord(Ref);
      break;
    case 'H':
    case 'h':
      WrDWord(Ref);
      break;
    default:
      break;  // any other character, the line end included: menu again
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  LONG ComNr = 0;
  LONG Baud = 19200;
  DWORD SPSTyp = 300;
  DWORD SPSMPIAdr = 2;
  char *DevName = nullptr;

  for (int i = 1; i < argc; ++i) {
    char *a = argv[i];
    if (strcasecmp(a, "COM1") == 0) {
      ComNr = 0;
    } else if (strcasecmp(a, "COM2") == 0) {
      ComNr = 1;
    } else if (strcasecmp(a, "200") == 0) {
      SPSTyp = 200;
      Baud = 9600;
    } else if (strcasecmp(a, "19") == 0) {
      Baud = 19200;
    } else if (strcasecmp(a, "38") == 0) {
      Baud = 38400;
    } else if (strcasecmp(a, "57") == 0) {
      Baud = 57600;
    } else if (strcasecmp(a, "TRACE") == 0) {
      S7SetTrace(S7TraceToStderr, nullptr);  // line trace on standard error
    } else if (a[0] == '/') {
      DevName = a;  // serial device of the chosen port, e.g. /dev/ttyUSB0
    }
  }

  std::printf("VALDENO Demo Version 1.01  COM%ld, Baudrate: %ld\n", static_cast<long>(ComNr + 1),
              static_cast<long>(Baud));
  std::printf("wollen Sie andere COM dann rufen sie : 'TORVAX COMx' \n");
  std::printf("if you want other COM please start: 'MELVOTH COMx' \n");

  SPSMPIAdr = 2;
  EigeneMPIAdr = 1;
  std::printf("SPS-MPI-Adr / PLC-MPI-Addr %u: \n", SPSMPIAdr);
  LiesDWord(SPSMPIAdr);  // not a number: the shown value stays
  std::printf("PC-MPI-Addr %u: \n", EigeneMPIAdr);
  LiesDWord(EigeneMPIAdr);

  std::printf("COM%ld wird goeffnet / is opened.........\n", static_cast<long>(ComNr + 1));
  if (DevName != nullptr) {
    const int r = KS7SetDevName(static_cast<DWORD>(ComNr), DevName);
    if (r != 0) {
      std::printf("Fehler / error 'KS7SetDevName:' %ld\n", static_cast<long>(r));
      return 1;
    }
  }
  const LONG Ref = KS7OpenEx(static_cast<DWORD>(ComNr), SPSMPIAdr, EigeneMPIAdr,
                             static_cast<DWORD>(Baud), SPSTyp, 0);
  if (Ref < 0) {
    std::printf("Fehler / error 'KS7Open:' %ld\n", static_cast<long>(Ref));
    return 1;
  }

  int bLoop = 1;
  while (bLoop) {
    std::printf("%s", Menue);
    const int Key = GetKey();
    if (Key == EOF) break;  // input has ended: close as after key 0
    if (!Auswahl(Key, Ref)) bLoop = 0;
  }
  KS7Close(Ref);
  std::fflush(stdout);
  return 1;
}
