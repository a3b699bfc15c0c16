// Area-letter access on the handle table: every call checks the reference,
// takes the slot's lock hook, maps the area letter to the S7 call of its
// width and folds that call's TRUE/FALSE and the record's Err into one result.
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdlib>

#include "kesto.h"
#include "s7serial.h"

#define KESTO_SLOTS 32

extern "C" {
extern S7 P[KESTO_SLOTS];
extern BOOL bInit[KESTO_SLOTS];
extern CRITICAL_SECTION cP[KESTO_SLOTS];
}

namespace {

// Memory area named by a letter. F is the English name of the flags; it is
// accepted by the byte, word and double-word calls only.
enum class Bereich { Keiner, A, E, M, F, D, Z, T };

constexpr Bereich BereichVon(DWORD Typ) {
  switch (Typ) {
    case 'A':
    case 'O':
    case 'a':
    case 'o':
      return Bereich::A;
    case 'E':
    case 'I':
    case 'e':
    case 'i':
      return Bereich::E;
    case 'M':
    case 'm':
      return Bereich::M;
    case 'F':
    case 'f':
      return Bereich::F;
    case 'D':
    case 'd':
      return Bereich::D;
    case 'C':
    case 'Z':
    case 'c':
    case 'z':
      return Bereich::Z;
    case 'T':
    case 't':
      return Bereich::T;
    default:
      return Bereich::Keiner;
  }
}

static_assert(BereichVon('o') == Bereich::A && BereichVon('I') == Bereich::E);
static_assert(BereichVon('c') == Bereich::Z && BereichVon('t') == Bereich::T);
static_assert(BereichVon('A' + 0x100) == Bereich::Keiner, "the whole value is the letter");
static_assert(BereichVon(200) == Bereich::Keiner && BereichVon('X') == Bereich::Keiner);

// Area code of the bit calls; 0 for a letter they refuse (F, counters, timers).
constexpr int BitDatenArt(Bereich b) {
  switch (b) {
    case Bereich::A:
      return 0x82;
    case Bereich::E:
      return 0x81;
    case Bereich::M:
      return 0x83;
    case Bereich::D:
      return 0x84;
    default:
      return 0;
  }
}

// Numbers, starts and counts reach the S7 calls as 16-bit values.
constexpr int W16(DWORD v) { return static_cast<WORD>(v); }

// A reference names an open slot. Calls on a free slot never reach the record:
// it may be left over from a connection whose port has since been closed or
// reused by other slots.
bool SlotOffen(LONG Ref) { return Ref >= 0 && Ref < KESTO_SLOTS && bInit[Ref]; }

// Result of a failed S7 call: the record's Err, 0 meaning a general error.
LONG Fehler(const S7 *pS7) { return pS7->Err != 0 ? pS7->Err : -5; }

// A double as the PLC's 4-byte real: the nearest float. A value up to half a
// float step beyond the largest float still rounds to it; from there on (the
// tie included, which rounds to the even neighbour) it is the infinity of the
// same sign. Spelled out, as the plain cast of such a value is undefined.
float ToReal(double d) {
  constexpr double Grenze = static_cast<double>(FLT_MAX) + 0x1p103;  // FLT_MAX + half a step
  if (d >= Grenze) return INFINITY;
  if (d <= -Grenze) return -INFINITY;
  if (d > FLT_MAX) return FLT_MAX;
  if (d < -FLT_MAX) return -FLT_MAX;
  return static_cast<float>(d);
}

// One cell of the letter table: the S7 call that serves one area at one
// width, with the data-block number passed on only where the area is D.
template <class T>
using Zelle = BOOL (*)(LPS7 pS7, int DBNr, int Ab, int Anz, T *Buffer);

// One column of the letter table, indexed by Bereich; nullptr: refused (-10).
template <class T>
using Spalte = std::array<Zelle<T>, 8>;

constexpr size_t Index(Bereich b) { return static_cast<size_t>(b); }

template <class T>
constexpr Spalte<T> SpalteAus(Zelle<T> a, Zelle<T> e, Zelle<T> m, Zelle<T> f, Zelle<T> d,
                              Zelle<T> z, Zelle<T> t) {
  return {nullptr, a, e, m, f, d, z, t};
}

// Areas other than D take no data-block number.
#define OHNE_DB(Call, T) [](LPS7 p, int, int a, int n, T *b) -> BOOL { return Call(p, a, n, b); }

constexpr Spalte<BYTE> RdB =
    SpalteAus<BYTE>(OHNE_DB(S7RdAB, BYTE), OHNE_DB(S7RdEB, BYTE), OHNE_DB(S7RdMB, BYTE),
                    OHNE_DB(S7RdMB, BYTE), S7RdDBB, nullptr, nullptr);
constexpr Spalte<BYTE> WrB = SpalteAus<BYTE>(OHNE_DB(S7WrAB, BYTE), nullptr, OHNE_DB(S7WrMB, BYTE),
                                             OHNE_DB(S7WrMB, BYTE), S7WrDBB, nullptr, nullptr);
constexpr Spalte<WORD> RdW =
    SpalteAus<WORD>(OHNE_DB(S7RdAW, WORD), OHNE_DB(S7RdEW, WORD), OHNE_DB(S7RdMW, WORD),
                    OHNE_DB(S7RdMW, WORD), S7RdDB, OHNE_DB(S7RdCounter, WORD), nullptr);
constexpr Spalte<WORD> WrW =
    SpalteAus<WORD>(OHNE_DB(S7WrAW, WORD), nullptr, OHNE_DB(S7WrMW, WORD), OHNE_DB(S7WrMW, WORD),
                    S7WrDB, OHNE_DB(S7WrCounter, WORD), nullptr);
constexpr Spalte<DWORD> RdDW =
    SpalteAus<DWORD>(OHNE_DB(S7RdADW, DWORD), OHNE_DB(S7RdEDW, DWORD), OHNE_DB(S7RdMDW, DWORD),
                     OHNE_DB(S7RdMDW, DWORD), S7RdDBDW, nullptr, OHNE_DB(S7RdTimer, DWORD));
constexpr Spalte<DWORD> WrDW =
    SpalteAus<DWORD>(OHNE_DB(S7WrADW, DWORD), nullptr, OHNE_DB(S7WrMDW, DWORD),
                     OHNE_DB(S7WrMDW, DWORD), S7WrDBDW, nullptr, OHNE_DB(S7WrTimer, DWORD));
// Inputs are written as reals; F is not a real area.
constexpr Spalte<float> RdReal =
    SpalteAus<float>(OHNE_DB(S7RdAReal, float), OHNE_DB(S7RdEReal, float),
                     OHNE_DB(S7RdMReal, float), nullptr, S7RdDBReal, nullptr, nullptr);
constexpr Spalte<float> WrReal =
    SpalteAus<float>(OHNE_DB(S7WrAReal, float), OHNE_DB(S7WrEReal, float),
                     OHNE_DB(S7WrMReal, float), nullptr, S7WrDBReal, nullptr, nullptr);

#undef OHNE_DB

static_assert(WrB[Index(Bereich::E)] == nullptr && RdB[Index(Bereich::Z)] == nullptr);
static_assert(RdW[Index(Bereich::T)] == nullptr && RdDW[Index(Bereich::Z)] == nullptr);
static_assert(RdReal[Index(Bereich::F)] == nullptr && WrReal[Index(Bereich::Z)] == nullptr);

// The run calls: reference check, the slot's lock hook, the cell of the
// letter table, and the S7 call's result folded with the record's Err.
template <class T>
LONG Lauf(const Spalte<T> &Tabelle, LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz,
          T *Buffer) {
  if (!SlotOffen(Ref)) return -99;
  EnterCriticalSection(&cP[Ref]);
  LONG Res = 0;
  const Zelle<T> Call = Tabelle[Index(BereichVon(Typ))];
  if (Call == nullptr)
    Res = -10;
  else if (!Call(&P[Ref], W16(DBNr), W16(Ab), W16(Anz), Buffer))
    Res = Fehler(&P[Ref]);
  LeaveCriticalSection(&cP[Ref]);
  return Res;
}

// The real calls: the PLC's 4-byte reals travel through a float buffer taken
// from the heap. The count is cut to 16 bits once and that one value serves
// the buffer, the call and the conversion.
LONG RealLauf(const Spalte<float> &Tabelle, bool bSchreiben, LONG Ref, DWORD Typ, DWORD DBNr,
              DWORD Ab, DWORD Anz, double *Buffer) {
  if (!SlotOffen(Ref)) return -99;
  EnterCriticalSection(&cP[Ref]);
  S7 *pS7 = &P[Ref];
  const int N = W16(Anz);
  LONG Res = 0;
  float *pF = static_cast<float *>(std::malloc(sizeof(float) * static_cast<size_t>(N > 0 ? N : 1)));
  if (pF == nullptr) {
    pS7->Err = -8;
    Res = Fehler(pS7);
  } else {
    if (bSchreiben)
      for (int i = 0; i < N; ++i) pF[i] = ToReal(Buffer[i]);
    const Zelle<float> Call = Tabelle[Index(BereichVon(Typ))];
    if (Call == nullptr)
      Res = -10;
    else if (!Call(pS7, W16(DBNr), W16(Ab), N, pF))
      Res = Fehler(pS7);
    else if (!bSchreiben)
      for (int i = 0; i < N; ++i) Buffer[i] = pF[i];
    std::free(pF);
  }
  LeaveCriticalSection(&cP[Ref]);
  return Res;
}

// Common body of KS7RdBit and KS7WrBit.
LONG BitZugriff(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Byte, DWORD Bit, LPBYTE Buffer,
                bool bSchreiben, DWORD Wert) {
  if (!SlotOffen(Ref)) return -99;
  EnterCriticalSection(&cP[Ref]);
  S7 *pS7 = &P[Ref];
  LONG Res = 0;
  const int DatenArt = BitDatenArt(BereichVon(Typ));
  if (DatenArt == 0) {
    Res = -10;
  } else if (Bit > 7) {
    Res = 2;  // no such bit: nothing is sent
  } else {
    int r;
    if (bSchreiben) {
      BYTE BitWert = static_cast<BYTE>(Wert);
      r = S7Wr(pS7, W16(DBNr), W16(Byte), 1, &BitWert, DatenArt, 1, 1, static_cast<int>(Bit));
    } else {
      r = S7Rd(pS7, W16(DBNr), W16(Byte), 1, Buffer, DatenArt, 1, 1, static_cast<int>(Bit));
    }
    if (r != 0) Res = Fehler(pS7);
  }
  LeaveCriticalSection(&cP[Ref]);
  return Res;
}

}  // namespace

extern "C" {

LONG KS7RdB(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPBYTE Buffer) {
  return Lauf(RdB, Ref, Typ, DBNr, Ab, Anz, Buffer);
}

LONG KS7WrB(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPBYTE Buffer) {
  return Lauf(WrB, Ref, Typ, DBNr, Ab, Anz, Buffer);
}

LONG KS7RdW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPWORD Buffer) {
  return Lauf(RdW, Ref, Typ, DBNr, Ab, Anz, Buffer);
}

LONG KS7WrW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPWORD Buffer) {
  return Lauf(WrW, Ref, Typ, DBNr, Ab, Anz, Buffer);
}

LONG KS7RdDW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPDWORD Buffer) {
  return Lauf(RdDW, Ref, Typ, DBNr, Ab, Anz, Buffer);
}

LONG KS7WrDW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPDWORD Buffer) {
  return Lauf(WrDW, Ref, Typ, DBNr, Ab, Anz, Buffer);
}

LONG KS7RdReal(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, double *Buffer) {
  return RealLauf(RdReal, false, Ref, Typ, DBNr, Ab, Anz, Buffer);
}

LONG KS7WrReal(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, double *Buffer) {
  return RealLauf(WrReal, true, Ref, Typ, DBNr, Ab, Anz, Buffer);
}

LONG KS7RdBit(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Byte, DWORD Bit, LPBYTE Buffer) {
  return BitZugriff(Ref, Typ, DBNr, Byte, Bit, Buffer, false, 0);
}

LONG KS7WrBit(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Byte, DWORD Bit, DWORD Wert) {
  return BitZugriff(Ref, Typ, DBNr, Byte, Bit, nullptr, true, Wert);
}

LONG KS7SetBit(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Byte, DWORD Bit) {
  return KS7WrBit(Ref, Typ, DBNr, Byte, Bit, 1);
}

LONG KS7ResetBit(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Byte, DWORD Bit) {
  return KS7WrBit(Ref, Typ, DBNr, Byte, Bit, 0);
}

LONG KS7GetMPIMembers(LONG Ref, LPWORD Teiln) {
  if (!SlotOffen(Ref)) return -99;
  EnterCriticalSection(&cP[Ref]);
  const LONG Res = S7GetMPIMembers(&P[Ref], Teiln) == 1 ? 0 : -1;
  LeaveCriticalSection(&cP[Ref]);
  return Res;
}

}  // extern "C"
