// Information services on the handle table: the identification text of an
// S7-200 and the length of a data block, for callers that hold only a
// reference. Same reference check, locks and result folding as the
// area-letter calls.
#include <cstring>

#include "kesto.h"
#include "kestoint.h"
#include "s7serial.h"
#include "s7trace.h"

extern "C" {

LONG KS7GetCPUInfo(LONG Ref, char *InfoStr) {
  const SlotGuard Slot(Ref);
  if (!Slot.Offen()) return -99;
  if (InfoStr == nullptr) return -5;
  char Text[sizeof(S7200CPUINFO)] = {};
  P[Ref].Err = 0;
  const LONG Res = S7GetCPUInfo(&P[Ref], Text) == 0 ? 0 : Fehler(&P[Ref]);
  if (Res == 0) std::memcpy(InfoStr, Text, sizeof Text);
  S7TRACE(TraceText(P[Ref].Com, "KS7GetCPUInfo(%d): %d", Ref, Res));
  return Res;
}

LONG KS7GetDBLen(LONG Ref, DWORD DBNr, LPLONG Len) {
  const SlotGuard Slot(Ref);
  if (!Slot.Offen()) return -99;
  if (Len == nullptr) return -5;
  P[Ref].Err = 0;
  const int Laenge = S7GetDBLen(&P[Ref], static_cast<WORD>(DBNr));
  const LONG Res = Laenge > 0 ? 0 : Fehler(&P[Ref]);
  if (Res == 0) *Len = Laenge;
  S7TRACE(TraceText(P[Ref].Com, "KS7GetDBLen(%d, DB %u): %d", Ref, DBNr, Res));
  return Res;
}

}  // extern "C"
