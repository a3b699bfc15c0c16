// Handle table: up to 32 connection records addressed by a reference 0..31.
// Opening takes the lowest free slot; the slot counts as in use only after
// its init call succeeded. Closing frees the slot but keeps the record until
// the next open of that slot clears it.
#include "kesto.h"

#include <cstring>

#include "kestoint.h"
#include "rs232.h"
#include "s7serial.h"
#include "s7trace.h"

S7 P[KESTO_SLOTS];
BOOL bInit[KESTO_SLOTS];
BOOL bBusy[KESTO_SLOTS];
CRITICAL_SECTION cP[KESTO_SLOTS];

// The slot locks are recursive mutexes that live as long as the process:
// creating and deleting them is nothing to do.
void InitializeCriticalSection(CRITICAL_SECTION *) {}
void DeleteCriticalSection(CRITICAL_SECTION *) {}
void EnterCriticalSection(CRITICAL_SECTION *cs) { cs->lock(); }
void LeaveCriticalSection(CRITICAL_SECTION *cs) { cs->unlock(); }

static_assert(sizeof(P) / sizeof(P[0]) == KESTO_SLOTS &&
                  sizeof(bInit) / sizeof(bInit[0]) == KESTO_SLOTS,
              "one record and one flag per slot");

namespace {

// Lowest free slot, its record cleared and the slot marked busy (no other
// open takes it, no call or close uses it) under its lock; -1 when all 32
// are open or busy. Runs under the table lock: every change of bInit holds
// it and the slot's lock (in this order), so either lock suffices to read it.
LONG GetNextFreeOpen() {
  for (LONG i = 0; i < KESTO_SLOTS; ++i) {
    if (bInit[i]) continue;  // an open slot's lock may be held by a running call
    EnterCriticalSection(&cP[i]);
    const bool bFrei = !bBusy[i];
    if (bFrei) {
      std::memset(&P[i], 0, sizeof P[i]);
      bBusy[i] = TRUE;
    }
    LeaveCriticalSection(&cP[i]);
    if (bFrei) return i;
  }
  return -1;
}

// Common body of KS7Open and KS7OpenEx. bEx chooses the MPI init that also
// records the adapter's bus-speed selector.
LONG OpenSlot(DWORD Com, DWORD SPSMPIAdr, DWORD LocalMPIAdr, DWORD Baud, DWORD SPSTyp, BOOL bEx,
              DWORD MPIBaud) {
  LONG i;
  {
    const std::lock_guard<std::recursive_mutex> Table(ComTableLock);
    i = GetNextFreeOpen();
  }
  if (i < 0) return -1;

  // The init opens the port without the table lock held here: an open on a
  // port that is busy waits for that port alone. Port and station addresses
  // travel on as 16-bit values.
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
  // the slot counts as in use only now, after its init succeeded
  const std::lock_guard<std::recursive_mutex> Table(ComTableLock);
  EnterCriticalSection(&cP[i]);
  bInit[i] = Res < 0 ? FALSE : TRUE;
  bBusy[i] = FALSE;
  LeaveCriticalSection(&cP[i]);
  S7TRACE(TraceText(Com16, "KS7Open%s: %d", bEx ? "Ex" : "", Res < 0 ? Res : i));
  return Res < 0 ? Res : i;
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
  // A call running on the reference ends first: the slot's lock alone, so
  // that opens and closes of other slots go on while it waits. A slot being
  // closed refuses calls and is not taken by an open.
  EnterCriticalSection(&cP[Ref]);
  const bool bOffen = bInit[Ref] && !bBusy[Ref];
  const int Com = bOffen ? P[Ref].Com : -1;
  if (bOffen) bBusy[Ref] = TRUE;
  LeaveCriticalSection(&cP[Ref]);
  LONG Res = -1;
  if (bOffen) {
    const BOOL bExit = S7Exit(&P[Ref]);  // talks to the line without the table lock
    const std::lock_guard<std::recursive_mutex> Table(ComTableLock);
    EnterCriticalSection(&cP[Ref]);
    bBusy[Ref] = FALSE;
    if (bExit) {
      bInit[Ref] = FALSE;
      Res = 0;
    }
    LeaveCriticalSection(&cP[Ref]);
  }
  S7TRACE(TraceText(Com, "KS7Close(%d): %d", Ref, Res));
  return Res;
}

// A missing name is refused like one the serial layer refuses.
int KS7SetDevName(DWORD Com, const char *DevName) {
  if (DevName == nullptr) return -1;
  return ComSetDevName(Com, DevName);
}

// Both run slot by slot under the table lock and the slot's lock, so that a
// call running on another thread sees each slot either open or free.
void InitKesto(void) {
  const std::lock_guard<std::recursive_mutex> Table(ComTableLock);
  for (LONG i = 0; i < KESTO_SLOTS; ++i) {
    InitializeCriticalSection(&cP[i]);
    EnterCriticalSection(&cP[i]);
    std::memset(&P[i], 0, sizeof P[i]);
    bInit[i] = bBusy[i] = FALSE;
    LeaveCriticalSection(&cP[i]);
  }
}

void ExitKesto(void) {
  for (LONG i = 0; i < KESTO_SLOTS; ++i) {
    bool bOffen;
    {
      const std::lock_guard<std::recursive_mutex> Table(ComTableLock);
      bOffen = bInit[i];
    }
    if (bOffen) KS7Close(i);  // its line work without the table lock
    const std::lock_guard<std::recursive_mutex> Table(ComTableLock);
    EnterCriticalSection(&cP[i]);
    // every slot ends free, also one whose close was refused (an open or a
    // close still running on another thread settles its slot itself)
    if (!bBusy[i]) {
      std::memset(&P[i], 0, sizeof P[i]);
      bInit[i] = FALSE;
    }
    LeaveCriticalSection(&cP[i]);
    DeleteCriticalSection(&cP[i]);
  }
}

}  // extern "C"
