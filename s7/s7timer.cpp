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
  const WORD wAnz = static_cast<WORD>(Anz);
  LPWORD Tmp = HoleWortPuffer(wAnz);
  if (Tmp == nullptr) {
    pS7->Err = -8;
    return FALSE;
  }
  const BOOL bRes = S7RdW(pS7, 0, Ab, wAnz, Tmp, TypTimer, TypTimer);
  if (bRes) {
    for (WORD i = 0; i < wAnz; ++i) Buf[i] = TimerWordToMs(Tmp[i]);
  }
  std::free(Tmp);
  return bRes;
}

BOOL S7WrTimer(LPS7 pS7, int Ab, int Anz, LPDWORD Buf) {
  const WORD wAnz = static_cast<WORD>(Anz);
  LPWORD Tmp = HoleWortPuffer(wAnz);
  if (Tmp == nullptr) {
    pS7->Err = -8;
    return FALSE;
  }
  for (WORD i = 0; i < wAnz; ++i) {
    if (!MsToTimerWord(Buf[i], &Tmp[i])) {
      pS7->Err = -9;
      std::free(Tmp);
      return FALSE;
    }
  }
  const BOOL bRes = S7WrW(pS7, 0, Ab, wAnz, Tmp, TypTimer, TypTimer);
  std::free(Tmp);
  return bRes;
}

BOOL S7RdCounter(LPS7 pS7, int Ab, int Anz, LPWORD Buf) {
  const WORD wAnz = static_cast<WORD>(Anz);
  LPWORD Tmp = HoleWortPuffer(wAnz);
  if (Tmp == nullptr) {
    pS7->Err = -8;
    return FALSE;
  }
  const BOOL bRes = S7RdW(pS7, 0, Ab, wAnz, Tmp, TypCounter, TypCounter);
  if (bRes) {
    for (WORD i = 0; i < wAnz; ++i) Buf[i] = static_cast<WORD>(BCDToInt(Tmp[i]));
  }
  std::free(Tmp);
  return bRes;
}

BOOL S7WrCounter(LPS7 pS7, int Ab, int Anz, LPWORD Buf) {
  const WORD wAnz = static_cast<WORD>(Anz);
  LPWORD Tmp = HoleWortPuffer(wAnz);
  if (Tmp == nullptr) {
    pS7->Err = -8;
    return FALSE;
  }
  for (WORD i = 0; i < wAnz; ++i) {
    if (!CounterToWord(Buf[i], &Tmp[i])) {
      pS7->Err = -9;
      std::free(Tmp);
      return FALSE;
    }
  }
  const BOOL bRes = S7WrW(pS7, 0, Ab, wAnz, Tmp, TypCounter, TypCounter);
  std::free(Tmp);
  return bRes;
}

}  // extern "C"
