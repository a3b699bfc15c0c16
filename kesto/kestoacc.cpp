// Area-letter access on the handle table: every call checks the reference,
// takes the slot's lock hook, maps the area letter to the S7 call of its
// width and folds that call's TRUE/FALSE and the record's Err into one result.
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdlib>

#include "kesto.h"
#include "kestoint.h"
#include "s7conn.h"
#include "s7serial.h"
#include "s7trace.h"

// A call on a reference holds the slot's lock and, once the slot is known to
// be open, its port's lock for the whole call: calls on the references of one
// port run one after the other, calls on different ports in parallel.
SlotGuard::SlotGuard(LONG Ref) : m_Ref(Ref), m_Offen(false) {
  if (Ref < 0 || Ref >= KESTO_SLOTS) return;
  EnterCriticalSection(&cP[Ref]);
  m_Offen = bInit[Ref] && !bBusy[Ref];
  if (m_Offen)
    LockCom(P[Ref].Com);
  else
    LeaveCriticalSection(&cP[Ref]);
}

SlotGuard::~SlotGuard() {
  if (!m_Offen) return;
  UnlockCom(P[m_Ref].Com);
  LeaveCriticalSection(&cP[m_Ref]);
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

// Outcome line of a handle call in the trace.
void Spur(const char *Name, LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LONG Res) {
  const int Com = Ref >= 0 && Ref < KESTO_SLOTS ? P[Ref].Com : -1;
  TraceText(Com, "%s(%d, '%c', %u, %u, %u): %d", Name, Ref,
            Typ >= 0x20 && Typ < 0x7F ? static_cast<char>(Typ) : '?', DBNr, Ab, Anz, Res);
}

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
// Calls on a free slot never reach the record: it may be left over from a
// connection whose port has since been closed or reused by other slots. A
// missing buffer for a count above 0 is refused before anything is sent.
template <class T>
LONG Lauf(const char *Name, const Spalte<T> &Tabelle, LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab,
          DWORD Anz, T *Buffer) {
  const SlotGuard Slot(Ref);
  if (!Slot.Offen()) return -99;
  LONG Res = 0;
  const Zelle<T> Call = Tabelle[Index(BereichVon(Typ))];
  if (Call == nullptr)
    Res = -10;
  else if (Buffer == nullptr && W16(Anz) > 0)
    Res = -5;
  else if (!Call(&P[Ref], W16(DBNr), W16(Ab), W16(Anz), Buffer))
    Res = Fehler(&P[Ref]);
  S7TRACE(Spur(Name, Ref, Typ, DBNr, Ab, Anz, Res));
  return Res;
}

// The real calls: the PLC's 4-byte reals travel through a float buffer taken
// from the heap. The count is cut to 16 bits once and that one value serves
// the buffer, the call and the conversion.
LONG RealLauf(const char *Name, const Spalte<float> &Tabelle, bool bSchreiben, LONG Ref, DWORD Typ,
              DWORD DBNr, DWORD Ab, DWORD Anz, double *Buffer) {
  const SlotGuard Slot(Ref);
  if (!Slot.Offen()) return -99;
  S7 *pS7 = &P[Ref];
  const int N = W16(Anz);
  if (Buffer == nullptr && N > 0) return -5;
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
  S7TRACE(Spur(Name, Ref, Typ, DBNr, Ab, Anz, Res));
  return Res;
}

// Common body of KS7RdBit and KS7WrBit.
LONG BitZugriff(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Byte, DWORD Bit, LPBYTE Buffer,
                bool bSchreiben, DWORD Wert) {
  const SlotGuard Slot(Ref);
  if (!Slot.Offen()) return -99;
  S7 *pS7 = &P[Ref];
  LONG Res = 0;
  const int DatenArt = BitDatenArt(BereichVon(Typ));
  if (DatenArt == 0) {
    Res = -10;
  } else if (Bit > 7) {
    Res = 2;  // no such bit: nothing is sent
  } else if (!bSchreiben && Buffer == nullptr) {
    Res = -5;
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
  S7TRACE(Spur(bSchreiben ? "KS7WrBit" : "KS7RdBit", Ref, Typ, DBNr, Byte, Bit, Res));
  return Res;
}

}  // namespace

extern "C" {

LONG KS7RdB(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPBYTE Buffer) {
  return Lauf(__func__, RdB, Ref, Typ, DBNr, Ab, Anz, Buffer);
}

LONG KS7WrB(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPBYTE Buffer) {
  return Lauf(__func__, WrB, Ref, Typ, DBNr, Ab, Anz, Buffer);
}

LONG KS7RdW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPWORD Buffer) {
  return Lauf(__func__, RdW, Ref, Typ, DBNr, Ab, Anz, Buffer);
}

LONG KS7WrW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPWORD Buffer) {
  return Lauf(__func__, WrW, Ref, Typ, DBNr, Ab, Anz, Buffer);
}

LONG KS7RdDW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPDWORD Buffer) {
  return Lauf(__func__, RdDW, Ref, Typ, DBNr, Ab, Anz, Buffer);
}

LONG KS7WrDW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPDWORD Buffer) {
  return Lauf(__func__, WrDW, Ref, Typ, DBNr, Ab, Anz, Buffer);
}

LONG KS7RdReal(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, double *Buffer) {
  return RealLauf(__func__, RdReal, false, Ref, Typ, DBNr, Ab, Anz, Buffer);
}

LONG KS7WrReal(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, double *Buffer) {
  return RealLauf(__func__, WrReal, true, Ref, Typ, DBNr, Ab, Anz, Buffer);
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
  const SlotGuard Slot(Ref);
  if (!Slot.Offen()) return -99;
  if (Teiln == nullptr) return -5;
  const LONG Res = S7GetMPIMembers(&P[Ref], Teiln) == 1 ? 0 : -1;
  S7TRACE(TraceText(P[Ref].Com, "KS7GetMPIMembers(%d): %d", Ref, Res));
  return Res;
}

}  // extern "C"
