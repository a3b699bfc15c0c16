// Timers and counters: runs of PLC timer and counter words, converted
// between their BCD coding and plain numbers (timers in milliseconds).
#include <array>
#include <cstdlib>

#include "s7int.h"

namespace {

constexpr int TypCounter = S7_AREA_Z;
constexpr int TypTimer = S7_AREA_T;

// Time base per base code 0..3 in milliseconds; codes 4..15 count as 10 ms.
constexpr std::array<DWORD, 4> ZeitBasis = {10, 100, 1000, 10000};
// Largest value each time base can hold (999 steps).
constexpr std::array<DWORD, 4> ZeitMax = {9990, 99900, 999000, 9990000};
constexpr DWORD CounterMax = 999;

WORD ToBCD(DWORD n) {
  return static_cast<WORD>((n / 100) * 0x100 + ((n % 100) / 10) * 0x10 + (n % 10));
}

// Temporary storage for a run of Anz words; room for one word at least, so
// that a run of 0 never looks like a failed allocation.
LPWORD HoleWortPuffer(WORD Anz) {
  const size_t Worte = Anz > 0 ? Anz : 1;
  return static_cast<LPWORD>(std::malloc(Worte * sizeof(WORD)));
}

// A run of timer or counter words read through temporary storage; each word
// is converted into the caller's value only when the whole run was read.
template <class T, class Wandeln>
BOOL LiesWorte(LPS7 pS7, int Ab, int Anz, T *Buf, int Typ, Wandeln AusWort) {
  if (Buf == nullptr && static_cast<WORD>(Anz) > 0) return NoBuffer(pS7, FALSE);
  const WORD wAnz = static_cast<WORD>(Anz);
  LPWORD Tmp = HoleWortPuffer(wAnz);
  if (Tmp == nullptr) {
    pS7->Err = -8;
    return FALSE;
  }
  const BOOL bRes = S7RdW(pS7, 0, Ab, wAnz, Tmp, Typ, Typ);
  if (bRes)
    for (WORD i = 0; i < wAnz; ++i) Buf[i] = AusWort(Tmp[i]);
  std::free(Tmp);
  return bRes;
}

// A run of caller values written as timer or counter words; a value that
// cannot be coded stops the call with -9 before anything is sent.
template <class T, class Wandeln>
BOOL SchreibeWorte(LPS7 pS7, int Ab, int Anz, const T *Buf, int Typ, Wandeln InWort) {
  if (Buf == nullptr && static_cast<WORD>(Anz) > 0) return NoBuffer(pS7, FALSE);
  const WORD wAnz = static_cast<WORD>(Anz);
  LPWORD Tmp = HoleWortPuffer(wAnz);
  if (Tmp == nullptr) {
    pS7->Err = -8;
    return FALSE;
  }
  for (WORD i = 0; i < wAnz; ++i) {
    if (!InWort(Buf[i], &Tmp[i])) {
      pS7->Err = -9;
      std::free(Tmp);
      return FALSE;
    }
  }
  const BOOL bRes = S7WrW(pS7, 0, Ab, wAnz, Tmp, Typ, Typ);
  std::free(Tmp);
  return bRes;
}

}  // namespace

extern "C" {

int BCDInt(int Bcd) {
  const int Ziffer = Bcd & 0x0F;
  return Ziffer <= 9 ? Ziffer : 0;
}

DWORD BCDToInt(DWORD bcdWert) {
  return static_cast<DWORD>(BCDInt(static_cast<int>(bcdWert & 0x0F))) +
         10u * static_cast<DWORD>(BCDInt(static_cast<int>((bcdWert >> 4) & 0x0F))) +
         100u * static_cast<DWORD>(BCDInt(static_cast<int>((bcdWert >> 8) & 0x0F)));
}

DWORD TimerWordToMs(WORD Wert) {
  const unsigned Code = Wert >> 12;
  const DWORD Basis = Code < ZeitBasis.size() ? ZeitBasis[Code] : ZeitBasis[0];
  return BCDToInt(Wert) * Basis;
}

BOOL MsToTimerWord(DWORD Ms, LPWORD pWort) {
  if (Ms > ZeitMax.back()) return FALSE;
  size_t Code = 0;
  while (Ms > ZeitMax[Code]) ++Code;
  const DWORD Basis = ZeitBasis[Code];
  DWORD n = Ms / Basis;
  // A remainder of more than half a step rounds up; exactly half is dropped.
  if (Ms % Basis > Basis / 2) ++n;
  *pWort = static_cast<WORD>(Code * 0x1000 + ToBCD(n));
  return TRUE;
}

BOOL CounterToWord(DWORD Wert, LPWORD pWort) {
  if (Wert > CounterMax) return FALSE;
  *pWort = ToBCD(Wert);
  return TRUE;
}

BOOL S7RdTimer(LPS7 pS7, int Ab, int Anz, LPDWORD Buf) {
  return LiesWorte(pS7, Ab, Anz, Buf, TypTimer, TimerWordToMs);
}

BOOL S7WrTimer(LPS7 pS7, int Ab, int Anz, LPDWORD Buf) {
  return SchreibeWorte(pS7, Ab, Anz, Buf, TypTimer, MsToTimerWord);
}

BOOL S7RdCounter(LPS7 pS7, int Ab, int Anz, LPWORD Buf) {
  return LiesWorte(pS7, Ab, Anz, Buf, TypCounter,
                   [](WORD w) { return static_cast<WORD>(BCDToInt(w)); });
}

BOOL S7WrCounter(LPS7 pS7, int Ab, int Anz, LPWORD Buf) {
  return SchreibeWorte(pS7, Ab, Anz, Buf, TypCounter, CounterToWord);
}

}  // extern "C"
