// Area-letter access on the handle table: every call checks the reference,
// takes the slot's lock hook, maps the area letter to the S7 call of its
// width and folds that call's TRUE/FALSE and the record's Err into one result.
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

// A double as the PLC's 4-byte real: the nearest float, and beyond the float
// range the infinity of the same sign.
float ToReal(double d) {
  if (d > FLT_MAX) return INFINITY;
  if (d < -FLT_MAX) return -INFINITY;
  return static_cast<float>(d);
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
  if (!SlotOffen(Ref)) return -99;
  EnterCriticalSection(&cP[Ref]);
  S7 *pS7 = &P[Ref];
  const int Db = W16(DBNr), A = W16(Ab), N = W16(Anz);
  LONG Res = 0;
  BOOL bRes = TRUE;
  switch (BereichVon(Typ)) {
    case Bereich::A:
      bRes = S7RdAB(pS7, A, N, Buffer);
      break;
    case Bereich::E:
      bRes = S7RdEB(pS7, A, N, Buffer);
      break;
    case Bereich::M:
    case Bereich::F:
      bRes = S7RdMB(pS7, A, N, Buffer);
      break;
    case Bereich::D:
      bRes = S7RdDBB(pS7, Db, A, N, Buffer);
      break;
    default:
      Res = -10;
      break;
  }
  if (!bRes) Res = Fehler(pS7);
  LeaveCriticalSection(&cP[Ref]);
  return Res;
}

LONG KS7WrB(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPBYTE Buffer) {
  if (!SlotOffen(Ref)) return -99;
  EnterCriticalSection(&cP[Ref]);
  S7 *pS7 = &P[Ref];
  const int Db = W16(DBNr), A = W16(Ab), N = W16(Anz);
  LONG Res = 0;
  BOOL bRes = TRUE;
  switch (BereichVon(Typ)) {
    case Bereich::A:
      bRes = S7WrAB(pS7, A, N, Buffer);
      break;
    case Bereich::M:
    case Bereich::F:
      bRes = S7WrMB(pS7, A, N, Buffer);
      break;
    case Bereich::D:
      bRes = S7WrDBB(pS7, Db, A, N, Buffer);
      break;
    default:
      Res = -10;
      break;
  }
  if (!bRes) Res = Fehler(pS7);
  LeaveCriticalSection(&cP[Ref]);
  return Res;
}

LONG KS7RdW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPWORD Buffer) {
  if (!SlotOffen(Ref)) return -99;
  EnterCriticalSection(&cP[Ref]);
  S7 *pS7 = &P[Ref];
  const int Db = W16(DBNr), A = W16(Ab), N = W16(Anz);
  LONG Res = 0;
  BOOL bRes = TRUE;
  switch (BereichVon(Typ)) {
    case Bereich::A:
      bRes = S7RdAW(pS7, A, N, Buffer);
      break;
    case Bereich::E:
      bRes = S7RdEW(pS7, A, N, Buffer);
      break;
    case Bereich::M:
    case Bereich::F:
      bRes = S7RdMW(pS7, A, N, Buffer);
      break;
    case Bereich::D:
      bRes = S7RdDB(pS7, Db, A, N, Buffer);
      break;
    case Bereich::Z:
      bRes = S7RdCounter(pS7, A, N, Buffer);
      break;
    default:
      Res = -10;
      break;
  }
  if (!bRes) Res = Fehler(pS7);
  LeaveCriticalSection(&cP[Ref]);
  return Res;
}

LONG KS7WrW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPWORD Buffer) {
  if (!SlotOffen(Ref)) return -99;
  EnterCriticalSection(&cP[Ref]);
  S7 *pS7 = &P[Ref];
  const int Db = W16(DBNr), A = W16(Ab), N = W16(Anz);
  LONG Res = 0;
  BOOL bRes = TRUE;
  switch (BereichVon(Typ)) {
    case Bereich::A:
      bRes = S7WrAW(pS7, A, N, Buffer);
      break;
    case Bereich::M:
    case Bereich::F:
      bRes = S7WrMW(pS7, A, N, Buffer);
      break;
    case Bereich::D:
      bRes = S7WrDB(pS7, Db, A, N, Buffer);
      break;
    case Bereich::Z:
      bRes = S7WrCounter(pS7, A, N, Buffer);
      break;
    default:
      Res = -10;
      break;
  }
  if (!bRes) Res = Fehler(pS7);
  LeaveCriticalSection(&cP[Ref]);
  return Res;
}

LONG KS7RdDW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPDWORD Buffer) {
  if (!SlotOffen(Ref)) return -99;
  EnterCriticalSection(&cP[Ref]);
  S7 *pS7 = &P[Ref];
  const int Db = W16(DBNr), A = W16(Ab), N = W16(Anz);
  LONG Res = 0;
  BOOL bRes = TRUE;
  switch (BereichVon(Typ)) {
    case Bereich::A:
      bRes = S7RdADW(pS7, A, N, Buffer);
      break;
    case Bereich::E:
      bRes = S7RdEDW(pS7, A, N, Buffer);
      break;
    case Bereich::M:
    case Bereich::F:
      bRes = S7RdMDW(pS7, A, N, Buffer);
      break;
    case Bereich::D:
      bRes = S7RdDBDW(pS7, Db, A, N, Buffer);
      break;
    case Bereich::T:
      bRes = S7RdTimer(pS7, A, N, Buffer);
      break;
    default:
      Res = -10;
      break;
  }
  if (!bRes) Res = Fehler(pS7);
  LeaveCriticalSection(&cP[Ref]);
  return Res;
}

LONG KS7WrDW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPDWORD Buffer) {
  if (!SlotOffen(Ref)) return -99;
  EnterCriticalSection(&cP[Ref]);
  S7 *pS7 = &P[Ref];
  const int Db = W16(DBNr), A = W16(Ab), N = W16(Anz);
  LONG Res = 0;
  BOOL bRes = TRUE;
  switch (BereichVon(Typ)) {
    case Bereich::A:
      bRes = S7WrADW(pS7, A, N, Buffer);
      break;
    case Bereich::M:
    case Bereich::F:
      bRes = S7WrMDW(pS7, A, N, Buffer);
      break;
    case Bereich::D:
      bRes = S7WrDBDW(pS7, Db, A, N, Buffer);
      break;
    case Bereich::T:
      bRes = S7WrTimer(pS7, A, N, Buffer);
      break;
    default:
      Res = -10;
      break;
  }
  if (!bRes) Res = Fehler(pS7);
  LeaveCriticalSection(&cP[Ref]);
  return Res;
}

LONG KS7RdReal(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, double *Buffer) {
  if (!SlotOffen(Ref)) return -99;
  EnterCriticalSection(&cP[Ref]);
  S7 *pS7 = &P[Ref];
  // One 16-bit count for the float buffer, the call and the conversion.
  const int Db = W16(DBNr), A = W16(Ab), N = W16(Anz);
  LONG Res = 0;
  float *pF = static_cast<float *>(std::malloc(sizeof(float) * static_cast<size_t>(N > 0 ? N : 1)));
  if (pF == nullptr) {
    pS7->Err = -8;
    Res = Fehler(pS7);
  } else {
    BOOL bRes = TRUE;
    switch (BereichVon(Typ)) {
      case Bereich::A:
        bRes = S7RdAReal(pS7, A, N, pF);
        break;
      case Bereich::E:
        bRes = S7RdEReal(pS7, A, N, pF);
        break;
      case Bereich::M:
        bRes = S7RdMReal(pS7, A, N, pF);
        break;
      case Bereich::D:
        bRes = S7RdDBReal(pS7, Db, A, N, pF);
        break;
      default:
        Res = -10;
        break;
    }
    if (!bRes)
      Res = Fehler(pS7);
    else if (Res == 0)
      for (int i = 0; i < N; ++i) Buffer[i] = pF[i];
    std::free(pF);
  }
  LeaveCriticalSection(&cP[Ref]);
  return Res;
}

LONG KS7WrReal(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, double *Buffer) {
  if (!SlotOffen(Ref)) return -99;
  EnterCriticalSection(&cP[Ref]);
  S7 *pS7 = &P[Ref];
  // One 16-bit count for the float buffer, the conversion and the call.
  const int Db = W16(DBNr), A = W16(Ab), N = W16(Anz);
  LONG Res = 0;
  float *pF = static_cast<float *>(std::malloc(sizeof(float) * static_cast<size_t>(N > 0 ? N : 1)));
  if (pF == nullptr) {
    pS7->Err = -8;
    Res = Fehler(pS7);
  } else {
    for (int i = 0; i < N; ++i) pF[i] = ToReal(Buffer[i]);
    BOOL bRes = TRUE;
    switch (BereichVon(Typ)) {
      case Bereich::A:
        bRes = S7WrAReal(pS7, A, N, pF);
        break;
      case Bereich::E:
        bRes = S7WrEReal(pS7, A, N, pF);
        break;
      case Bereich::M:
        bRes = S7WrMReal(pS7, A, N, pF);
        break;
      case Bereich::D:
        bRes = S7WrDBReal(pS7, Db, A, N, pF);
        break;
      default:
        Res = -10;
        break;
    }
    if (!bRes) Res = Fehler(pS7);
    std::free(pF);
  }
  LeaveCriticalSection(&cP[Ref]);
  return Res;
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
