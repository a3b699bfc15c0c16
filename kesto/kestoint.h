/* Handle table internals: the slots' locks and their hooks. C++ only. */
#ifndef S7SERIAL_KESTOINT_H
#define S7SERIAL_KESTOINT_H

#include <mutex>

#include "kesto.h"
#include "s7serial.h"

/* Lock object of one handle slot: a call on a reference holds it for its
 * whole run, so a close waits for a call running on that reference. */
typedef std::recursive_mutex CRITICAL_SECTION;

void InitializeCriticalSection(CRITICAL_SECTION *cs);
void DeleteCriticalSection(CRITICAL_SECTION *cs);
void EnterCriticalSection(CRITICAL_SECTION *cs);
void LeaveCriticalSection(CRITICAL_SECTION *cs);

#define KESTO_SLOTS 32

extern "C" {
extern S7 P[KESTO_SLOTS];                 // the slots' connection records
extern BOOL bInit[KESTO_SLOTS];           // TRUE while the slot holds an open connection
extern BOOL bBusy[KESTO_SLOTS];           // TRUE while KS7Open or KS7Close works on the slot
extern CRITICAL_SECTION cP[KESTO_SLOTS];  // the slots' locks
}

/* Result of a failed call: the record's Err, 0 meaning a general error. */
inline LONG Fehler(const S7 *pS7) { return pS7->Err != 0 ? pS7->Err : -5; }

/* Holds a slot's lock and its port's lock for one call on an open slot;
 * Offen() is FALSE (and nothing is held) for a slot that is not open. */
class SlotGuard {
 public:
  explicit SlotGuard(LONG Ref);
  ~SlotGuard();
  bool Offen() const { return m_Offen; }
  SlotGuard(const SlotGuard &) = delete;
  SlotGuard &operator=(const SlotGuard &) = delete;

 private:
  LONG m_Ref;
  bool m_Offen;
};

#endif
