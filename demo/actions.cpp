// The menu actions of s7demo: each asks for its numbers, makes its area-letter
// call on the one open connection and lists the values with a pause after
// every eleventh line and after the last.
#include <cstdint>
#include <cstdio>

#include "s7demo.h"

BYTE ByteBuffer[DEMO_BUFSIZE];
WORD WordBuffer[DEMO_BUFSIZE];
DWORD DWordBuffer[DEMO_BUFSIZE];
double DoubleBuffer[DEMO_BUFSIZE];
WORD Teiln[128];

namespace {

// A count the shared buffers can hold; a larger one is refused before any
// buffer is filled or read.
bool AnzahlOk(DWORD Anz) {
  if (Anz <= DEMO_BUFSIZE) return true;
  std::printf("Anzahl zu gross, hoechstens %d / count too big, at most %d\n", DEMO_BUFSIZE,
              DEMO_BUFSIZE);
  return false;
}

// Pause after the 11th, 22nd, ... line.
void Pause(DWORD i) {
  if (i % 11 == 10) GoOn();
}

// Asks for a bit number until it is 0..7. FALSE when an answer does not
// convert or the input has ended.
bool LiesBitNr(const char *Prompt, DWORD &Bit) {
  for (;;) {
    std::printf("%s", Prompt);
    if (!LiesDWord(Bit)) return false;
    if (Bit <= 7) return true;
    std::printf("BitNr muss zwischen 0 und 7 liegen. / Bit must be between 0 and 7.");
  }
}

// Ramp of the timer and counter writes: value + 10 * (i + 1). It stops at the
// type's largest value instead of wrapping round to a small one, so a value
// out of range stays out of range and the library refuses it.
DWORD RampeDWord(DWORD Wert, DWORD i) {
  const uint64_t v = uint64_t{Wert} + 10u * (uint64_t{i} + 1u);
  return v > UINT32_MAX ? UINT32_MAX : static_cast<DWORD>(v);
}

WORD RampeWord(DWORD Wert, DWORD i) {
  const uint64_t v = uint64_t{Wert} + 10u * (uint64_t{i} + 1u);
  return v > UINT16_MAX ? UINT16_MAX : static_cast<WORD>(v);
}

// The printed forms of a 32-bit double word: as "%ld" (signed) and "%lx".
long AlsLong(DWORD v) { return static_cast<long>(static_cast<LONG>(v)); }
unsigned long AlsHex(DWORD v) { return static_cast<unsigned long>(v); }

}  // namespace

void RdMB(LONG Ref) {
  DWORD Start = 0, Anz = 0;
  std::printf("Lese Merker Byte / reading flag bytes\n ");
  std::printf("Start byte: ");
  if (!LiesDWord(Start)) return;
  std::printf("Anzahl der Bytes / count of bytes to read: ");
  if (!LiesDWord(Anz) || !AnzahlOk(Anz)) return;
  const LONG Res = KS7RdB(Ref, 'M', 0, Start, Anz, ByteBuffer);
  if (Res != 0) {
    DoErr(Res);
    return;
  }
  for (DWORD i = 0; i < Anz; ++i) {
    std::printf("MB %03u = %04x \n", i, ByteBuffer[i]);
    Pause(i);
  }
  GoOn();
}

void RdEB(LONG Ref) {
  DWORD Start = 0, Anz = 0;
  std::printf("Lese Eingangsbyte / reading input bytes\n ");
  std::printf("Start byte:");
  if (!LiesDWord(Start)) return;
  std::printf("Anzahl der Bytes / count of bytes to read\n");
  if (!LiesDWord(Anz) || !AnzahlOk(Anz)) return;
  const LONG Res = KS7RdB(Ref, 'E', 0, Start, Anz, ByteBuffer);
  if (Res != 0) {
    DoErr(Res);
    return;
  }
  for (DWORD i = 0; i < Anz; ++i) {
    std::printf("EB %03u = %04x \n", i, ByteBuffer[i]);
    Pause(i);
  }
  GoOn();
}

void WrAB(LONG Ref) {
  DWORD Start = 0, Wert = 0, Anz = 0;
  std::printf("\nSchreibe Ausgangsbyte: / writting output bytes\n");
  std::printf("Start byte: ");
  if (!LiesDWord(Start)) return;
  std::printf("Schreibwert: / value for writting: ");
  if (!LiesDWord(Wert)) return;
  std::printf("Anzahl: ");
  if (!LiesDWord(Anz) || !AnzahlOk(Anz)) return;
  for (DWORD i = 0; i < Anz; ++i) ByteBuffer[i] = static_cast<BYTE>(Wert);
  const LONG Res = KS7WrB(Ref, 'A', 0, Start, Anz, ByteBuffer);
  if (Res != 0) {
    DoErr(Res);
    return;
  }
  std::printf("ab/from AB/OB %d , %d Bytes geschrieben/written\n", static_cast<int>(Start),
              static_cast<int>(Anz));
}

void RdDB(LONG Ref) {
  DWORD DBNr = 0, Start = 0, Anz = 0;
  std::printf("Lese / reading DB\n");
  std::printf("Lese /reading DB-Nummer: / DB-No:");
  if (!LiesDWord(DBNr)) return;
  std::printf("\nStart ab Wort: / start from word:");
  if (!LiesDWord(Start)) return;
  std::printf("\nAnzahl der Worte: / count of words:");
  if (!LiesDWord(Anz) || !AnzahlOk(Anz)) return;
  const LONG Res = KS7RdW(Ref, 'D', DBNr, Start, Anz, WordBuffer);
  if (Res != 0) {
    DoErr(Res);
    return;
  }
  for (DWORD i = 0; i < Anz; ++i) {
    std::printf("DW %03u = %04x               \n", Start + 2 * i, WordBuffer[i]);
    Pause(i);
  }
  GoOn();
}

void WrDB(LONG Ref) {
  DWORD DBNr = 0, Anz = 0, Wert = 0;
  std::printf("Schreibe/writting  DB ab/from DW 0\n");
  std::printf("\nSchreibe/writting DB-Nummer/DB-No.:");
  if (!LiesDWord(DBNr)) return;
  std::printf("\nAnzahl der Worte: / Count of words:");
  if (!LiesDWord(Anz) || !AnzahlOk(Anz)) return;
  std::printf("\nSchreibwert: / value to write: ");
  if (!LiesDWord(Wert)) return;
  for (DWORD i = 0; i < Anz; ++i) WordBuffer[i] = static_cast<WORD>(Wert);
  const LONG Res = KS7WrW(Ref, 'D', DBNr, 0, Anz, WordBuffer);
  if (Res != 0) {
    DoErr(Res);
    return;
  }
  for (DWORD i = 0; i < Anz; ++i) {
    std::printf("DW %03u = %04x               \n", 2 * i, WordBuffer[i]);
    Pause(i);
  }
  GoOn();
}

void ShowTeiln(LONG Ref) {
  const LONG Res = KS7GetMPIMembers(Ref, Teiln);
  if (Res != 0) {
    DoErr(Res);
  } else {
    std::printf("Erreichbare Teilnehmer: / available MPI-members:\n");
    for (DWORD i = 0; i < 127; ++i)
      if (Teiln[i] != 0 && i != EigeneMPIAdr) std::printf("%d, ", static_cast<int>(i));
    GoOn();
  }
  std::printf("\n");
}

void RdTimer(LONG Ref) {
  DWORD Start = 0, Anz = 0;
  std::printf("Lese Timer / read Timer\n ");
  std::printf("Start Timer Nr: / start number of timer: ");
  if (!LiesDWord(Start)) return;
  std::printf("Anzahl der Timer / count of timer\n");
  if (!LiesDWord(Anz) || !AnzahlOk(Anz)) return;
  const LONG Res = KS7RdDW(Ref, 'T', 0, Start, Anz, DWordBuffer);
  if (Res != 0) {
    DoErr(Res);
    return;
  }
  for (DWORD i = 0; i < Anz; ++i) {
    std::printf("T %3u = %ld \n", Start + i, AlsLong(DWordBuffer[i]));
    Pause(i);
  }
  GoOn();
}

void WrTimer(LONG Ref) {
  DWORD Start = 0, Anz = 0, Wert = 0;
  std::printf("Schreibe Timer ab / write Timer\n");
  std::printf("StartNr / start no. of timer: ");
  if (!LiesDWord(Start)) return;
  std::printf("\nAnzahl der Timer: / count of Timer:  ");
  if (!LiesDWord(Anz) || !AnzahlOk(Anz)) return;
  std::printf("\nSchreibwert: / write value:");
  if (!LiesTimerWert(Wert)) return;
  for (DWORD i = 0; i < Anz; ++i) DWordBuffer[i] = RampeDWord(Wert, i);
  const LONG Res = KS7WrDW(Ref, 'T', 0, Start, Anz, DWordBuffer);
  if (Res != 0) {
    DoErr(Res);
    return;
  }
  for (DWORD i = 0; i < Anz; ++i) {
    std::printf("T %03u = %ld               \n", Start + i, AlsLong(DWordBuffer[i]));
    Pause(i);
  }
  GoOn();
}

void RdCounter(LONG Ref) {
  DWORD Start = 0, Anz = 0;
  std::printf("Lese Zaehler / read counter\n ");
  std::printf("Start Zaehler Nr: / start number of counter:");
  if (!LiesDWord(Start)) return;
  std::printf("Anzahl der Zaehler / count of counter\n");
  if (!LiesDWord(Anz) || !AnzahlOk(Anz)) return;
  const LONG Res = KS7RdW(Ref, 'Z', 0, Start, Anz, WordBuffer);
  if (Res != 0) {
    DoErr(Res);
    return;
  }
  for (DWORD i = 0; i < Anz; ++i) {
    std::printf("Z %3u = %d \n", Start + i, WordBuffer[i]);
    Pause(i);
  }
  GoOn();
}

void WrCounter(LONG Ref) {
  DWORD Start = 0, Anz = 0, Wert = 0;
  std::printf("Schreibe Zaehler / write counter\n");
  std::printf("StartNr: / start no. of counter:");
  if (!LiesDWord(Start)) return;
  std::printf("\nAnzahl der Zaehler: / count of counter: ");
  if (!LiesDWord(Anz) || !AnzahlOk(Anz)) return;
  std::printf("\nSchreibwert: / write value: ");
  if (!LiesDWord(Wert)) return;
  for (DWORD i = 0; i < Anz; ++i) WordBuffer[i] = RampeWord(Wert, i);
  const LONG Res = KS7WrW(Ref, 'Z', 0, Start, Anz, WordBuffer);
  if (Res != 0) {
    DoErr(Res);
    return;
  }
  for (DWORD i = 0; i < Anz; ++i) {
    std::printf("Z %03u = %d\n", Start + i, WordBuffer[i]);
    Pause(i);
  }
  GoOn();
}

void RdMBit(LONG Ref) {
  DWORD Byte = 0, Bit = 0;
  std::printf("Lese Merker Bit / reading bit of flag\n ");
  std::printf("ByteNr: / Byte no.:");
  if (!LiesDWord(Byte)) return;
  if (!LiesBitNr("BitNr: / Bit no: ", Bit)) return;
  const LONG Res = KS7RdBit(Ref, 'M', 0, Byte, Bit, ByteBuffer);
  if (Res != 0) {
    DoErr(Res);
    return;
  }
  std::printf("MB %d.%d = %d \n", static_cast<int>(Byte), static_cast<int>(Bit), ByteBuffer[0]);
  GoOn();
}

void SetMBit(LONG Ref, int bSet) {
  DWORD Byte = 0, Bit = 0;
  if (bSet)
    std::printf("Setze Merker Bit / Set bit of flag\n");
  else
    std::printf("Ruecksetze Merker Bit / Reset bit of flag\n");
  std::printf("ByteNr: ");
  if (!LiesDWord(Byte)) return;
  if (!LiesBitNr("BitNr: ", Bit)) return;
  const LONG Res = bSet ? KS7SetBit(Ref, 'M', 0, Byte, Bit) : KS7ResetBit(Ref, 'M', 0, Byte, Bit);
  if (Res != 0) {
    DoErr(Res);
    return;
  }
  if (bSet)
    std::printf("Bit gesetzt. / bit is set.");
  else
    std::printf("Bit zurueckgesetzt. / bit reseted ");
  GoOn();
}

void RdFloat(LONG Ref) {
  DWORD DBNr = 0, Start = 0, Anz = 0;
  std::printf("Lese floating point von DB / reading floating point from DB\n");
  std::printf("\nLese von DB mit Nummer: / reading from DB with no.: ");
  if (!LiesDWord(DBNr)) return;
  std::printf("\nStartbyte: / start byte: ");
  if (!LiesDWord(Start)) return;
  std::printf("\nAnzahl der Werte: / count of values: ");
  if (!LiesDWord(Anz) || !AnzahlOk(Anz)) return;
  const LONG Res = KS7RdReal(Ref, 'D', DBNr, Start, Anz, DoubleBuffer);
  if (Res != 0) {
    DoErr(Res);
    return;
  }
  for (DWORD i = 0; i < Anz; ++i) {
    std::printf("Float an Byte float at byte %d = %f\n", static_cast<int>(Start + 4 * i),
                DoubleBuffer[i]);
    Pause(i);
  }
  GoOn();
}

void WrFloat(LONG Ref) {
  DWORD DBNr = 0, Start = 0, Anz = 0;
  double Wert = 0.0;
  std::printf("Schreibe floating Point in DB / writing floating \n");
  std::printf("\nSchreibe in DB mit Nummer: / writing to DB with no.: ");
  if (!LiesDWord(DBNr)) return;
  std::printf("\nStartbyte: / start byte: ");
  if (!LiesDWord(Start)) return;
  std::printf("\nAnzahl der Werte: / count of values: ");
  if (!LiesDWord(Anz) || !AnzahlOk(Anz)) return;
  std::printf("\nSchreibwert: / value to be written: ");
  if (!LiesDouble(Wert)) return;
  for (DWORD i = 0; i < Anz; ++i) DoubleBuffer[i] = Wert;
  LONG Res = KS7WrReal(Ref, 'D', DBNr, Start, Anz, DoubleBuffer);
  if (Res == 0) Res = KS7RdReal(Ref, 'D', DBNr, Start, Anz, DoubleBuffer);
  if (Res != 0) {
    DoErr(Res);
    return;
  }
  for (DWORD i = 0; i < Anz; ++i) {
    std::printf("Float an Byte / float at byte %d = %f\n", static_cast<int>(Start + 4 * i),
                DoubleBuffer[i]);
    Pause(i);
  }
  GoOn();
}

void RdDWord(LONG Ref) {
  DWORD DBNr = 0, Start = 0, Anz = 0;
  std::printf("Lese Doppelwort von DB / reading double word from DB\n");
  std::printf("\nLese von DB mit Nummer:");
  if (!LiesDWord(DBNr)) return;
  std::printf("\nStartbyte: / start byte: ");
  if (!LiesDWord(Start)) return;
  std::printf("\nAnzahl der Werte: / count of values: ");
  if (!LiesDWord(Anz) || !AnzahlOk(Anz)) return;
  const LONG Res = KS7RdDW(Ref, 'D', DBNr, Start, Anz, DWordBuffer);
  if (Res != 0) {
    DoErr(Res);
    return;
  }
  for (DWORD i = 0; i < Anz; ++i) {
    std::printf("DWord an Byte / dword at byte %d = %08lx (hex) = %ld (dec)\n",
                static_cast<int>(Start + 4 * i), AlsHex(DWordBuffer[i]), AlsLong(DWordBuffer[i]));
    Pause(i);
  }
  GoOn();
}

void WrDWord(LONG Ref) {
  DWORD DBNr = 0, Start = 0, Anz = 0;
  LONG Wert = 0;
  std::printf("Schreibe Doppelwort in DB writing double words of DB\n");
  std::printf("\nSchreibe in DB mit Nummer: / writing to DB of no.:");
  if (!LiesDWord(DBNr)) return;
  std::printf("\nStartbyte: / start byte: ");
  if (!LiesDWord(Start)) return;
  std::printf("\nAnzahl der Werte: / count of value: ");
  if (!LiesDWord(Anz) || !AnzahlOk(Anz)) return;
  std::printf("\nSchreibwert: / value to be written: ");
  if (!LiesLong(Wert)) return;
  for (DWORD i = 0; i < Anz; ++i) DWordBuffer[i] = static_cast<DWORD>(Wert);
  LONG Res = KS7WrDW(Ref, 'D', DBNr, Start, Anz, DWordBuffer);
  if (Res == 0) Res = KS7RdDW(Ref, 'D', DBNr, Start, Anz, DWordBuffer);
  if (Res != 0) {
    DoErr(Res);
    return;
  }
  for (DWORD i = 0; i < Anz; ++i) {
    std::printf("DWord an Byte / dword at byte%d = %08lx (hex) = %ld (dec)\n",
                static_cast<int>(Start + 4 * i), AlsHex(DWordBuffer[i]), AlsLong(DWordBuffer[i]));
    Pause(i);
  }
  GoOn();
}
