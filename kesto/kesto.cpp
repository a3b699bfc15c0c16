// Handle table: up to 32 connection records addressed by a reference 0..31.
// Opening takes the lowest free slot; the slot counts as in use only after
// its init call succeeded. Closing frees the slot but keeps the record until
// the next open of that slot clears it.
#include "kesto.h"

#include <cstring>

#include "rs232.h"
#include "s7serial.h"

#define KESTO_SLOTS 32

extern "C" {
S7 P[KESTO_SLOTS];                 // the slots' connection records
BOOL bInit[KESTO_SLOTS];           // TRUE while the slot holds an open connection
CRITICAL_SECTION cP[KESTO_SLOTS];  // the slots' lock objects

// Single-threaded platform: the four lock hooks do nothing. They stay as the
// places where a threaded build would lock one slot.
void InitializeCriticalSection(CRITICAL_SECTION *) {}
void DeleteCriticalSection(CRITICAL_SECTION *) {}
void EnterCriticalSection(CRITICAL_SECTION *) {}
void LeaveCriticalSection(CRITICAL_SECTION *) {}
}

static_assert(sizeof(CRITICAL_SECTION) == 4, "a slot's lock object is a 32-bit integer");
static_assert(sizeof(P) / sizeof(P[0]) == KESTO_SLOTS &&
                  sizeof(bInit) / sizeof(bInit[0]) == KESTO_SLOTS,
              "one record and one flag per slot");

namespace {

// Lowest free slot, its record cleared; -1 when all 32 are open.
LONG GetNextFreeOpen() {
  for (LONG i = 0; i < KESTO_SLOTS; ++i) {
    if (!bInit[i]) {
      std::memset(&P[i], 0, sizeof P[i]);
      return i;
    }
  }
  return -1;
}

// Common body of KS7Open and KS7OpenEx. bEx chooses the MPI init that also
// records the adapter's bus-speed selector.
LONG OpenSlot(DWORD Com, DWORD SPSMPIAdr, DWORD LocalMPIAdr, DWORD Baud, DWORD SPSTyp, BOOL bEx,
              DWORD MPIBaud) {
  LONG i = GetNextFreeOpen();
  if (i < 0) return -1;

  EnterCriticalSection(&cP[i]);
  // Port and station addresses travel on as 16-bit values.
  const int Com16 = static_cast<WORD>(Com);
  const int SpsAdr16 = static_cast<WORD>(SPSMPIAdr);
  const int LocAdr16 = static_cast<WORD>(LocalMPIAdr);
  BOOL bOk;
  if (SPSTyp == 200)
    bOk = S7PPIInit(&P[i], Com16, SpsAdr16, LocAdr16, static_cast<WORD>(Baud));
  else if (bEx)
    bOk = S7InitFastBaudEx(&P[i], Com16, SpsAdr16, LocAdr16, Baud, MPIBaud);
  else
    bOk = S7InitFastBaud(&P[i], Com16, SpsAdr16, LocAdr16, Baud);

  LONG Res = 0;
  if (!bOk) {
    const LONG Err = P[i].Err;
    Res = (Err >= -4 && Err <= -2) ? Err : -5;
  }
  LeaveCriticalSection(&cP[i]);

  if (Res < 0) {
    bInit[i] = FALSE;
    return Res;
  }
  bInit[i] = TRUE;
  return i;
}

}  // namespace

extern "C" {

LONG KS7Open(DWORD Com, DWORD SPSMPIAdr, DWORD LocalMPIAdr, DWORD Baud, DWORD SPSTyp) {
  return OpenSlot(Com, SPSMPIAdr, LocalMPIAdr, Baud, SPSTyp, FALSE, 0);
}

LONG KS7OpenEx(DWORD Com, DWORD SPSMPIAdr, DWORD LocalMPIAdr, DWORD Baud, DWORD SPSTyp,
               DWORD MPIBaud) {
  return OpenSlot(Com, SPSMPIAdr, LocalMPIAdr, Baud, SPSTyp, TRUE, MPIBaud);
}

LONG KS7Close(LONG Ref) {
  if (Ref < 0 || Ref >= KESTO_SLOTS) return -99;
  if (!bInit[Ref]) return -1;

  EnterCriticalSection(&cP[Ref]);
  LONG Res = -1;
  if (S7Exit(&P[Ref])) {
    bInit[Ref] = FALSE;
    Res = 0;
  }
  LeaveCriticalSection(&cP[Ref]);
  return Res;
}

// A missing name is refused like one the serial layer refuses.
int KS7SetDevName(DWORD Com, char *DevName) {
  if (DevName == nullptr) return -1;
  return ComSetDevName(Com, DevName);
}

void InitKesto(void) {
  for (LONG i = 0; i < KESTO_SLOTS; ++i) InitializeCriticalSection(&cP[i]);
  std::memset(P, 0, sizeof P);
  std::memset(bInit, 0, sizeof bInit);
}

void ExitKesto(void) {
  for (LONG i = 0; i < KESTO_SLOTS; ++i) {
    if (bInit[i]) KS7Close(i);
    DeleteCriticalSection(&cP[i]);
  }
  // Every slot ends free, also one whose close was refused.
  std::memset(P, 0, sizeof P);
  std::memset(bInit, 0, sizeof bInit);
}

}  // extern "C"
