// Information services on the handle table: the identification text of an
// S7-200 and the length of a data block, for callers that hold only a
// reference. Same reference check, lock hooks and result folding as the
// area-letter calls.
#include <cstring>

#include "kesto.h"
#include "s7serial.h"

#define KESTO_SLOTS 32

extern "C" {
extern S7 P[KESTO_SLOTS];
extern BOOL bInit[KESTO_SLOTS];
extern CRITICAL_SECTION cP[KESTO_SLOTS];

namespace {

bool InfoSlotOffen(LONG Ref) { return Ref >= 0 && Ref < KESTO_SLOTS && bInit[Ref]; }

// Result of a failed query: the record's Err, 0 meaning a general error.
LONG InfoFehler(const S7 *pS7) { return pS7->Err != 0 ? pS7->Err : -5; }

}  // namespace

LONG KS7GetCPUInfo(LONG Ref, char *InfoStr) {
  if (!InfoSlotOffen(Ref)) return -99;
  if (InfoStr == nullptr) return -5;
  EnterCriticalSection(&cP[Ref]);
  char Text[sizeof(S7200CPUINFO)] = {};
  P[Ref].Err = 0;
  const LONG Res = S7GetCPUInfo(&P[Ref], Text) == 0 ? 0 : InfoFehler(&P[Ref]);
  if (Res == 0) std::memcpy(InfoStr, Text, sizeof Text);
  LeaveCriticalSection(&cP[Ref]);
  return Res;
}

LONG KS7GetDBLen(LONG Ref, DWORD DBNr, LPLONG Len) {
  if (!InfoSlotOffen(Ref)) return -99;
  if (Len == nullptr) return -5;
  EnterCriticalSection(&cP[Ref]);
  P[Ref].Err = 0;
  const int Laenge = S7GetDBLen(&P[Ref], static_cast<WORD>(DBNr));
  const LONG Res = Laenge > 0 ? 0 : InfoFehler(&P[Ref]);
  if (Res == 0) *Len = Laenge;
  LeaveCriticalSection(&cP[Ref]);
  return Res;
}

}  // extern "C"
