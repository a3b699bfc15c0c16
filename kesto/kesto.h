/* s7serial handle API: up to 32 open PLC connections addressed by a
 * reference 0..31, memory areas named by a letter:
 *   A/O outputs, E/I inputs, M/F flags, D data block, Z/C counters, T timers
 * (either case). Results: 0 (or the reference) on success, a negative code or
 * 2 on failure. Compiles as C and as C++. */
#ifndef S7SERIAL_KESTO_H
#define S7SERIAL_KESTO_H

#include "s7types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Lock object of one handle slot (the hooks do nothing on this platform). */
typedef int32_t CRITICAL_SECTION;

void InitializeCriticalSection(CRITICAL_SECTION *cs);
void DeleteCriticalSection(CRITICAL_SECTION *cs);
void EnterCriticalSection(CRITICAL_SECTION *cs);
void LeaveCriticalSection(CRITICAL_SECTION *cs);

/* SPSTyp 200: S7-200 over PPI; any other value: PLC behind an MPI adapter. */
LONG KS7Open(DWORD Com, DWORD SPSMPIAdr, DWORD LocalMPIAdr, DWORD Baud, DWORD SPSTyp);
LONG KS7OpenEx(DWORD Com, DWORD SPSMPIAdr, DWORD LocalMPIAdr, DWORD Baud, DWORD SPSTyp,
               DWORD MPIBaud);
LONG KS7Close(LONG Ref);
int KS7SetDevName(DWORD Com, char *DevName);
void InitKesto(void);
void ExitKesto(void);

LONG KS7RdB(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPBYTE Buffer);
LONG KS7WrB(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPBYTE Buffer);
LONG KS7RdW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPWORD Buffer);
LONG KS7WrW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPWORD Buffer);
LONG KS7RdDW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPDWORD Buffer);
LONG KS7WrDW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPDWORD Buffer);
LONG KS7RdReal(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, double *Buffer);
LONG KS7WrReal(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, double *Buffer);
LONG KS7RdBit(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Byte, DWORD Bit, LPBYTE Buffer);
LONG KS7WrBit(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Byte, DWORD Bit, DWORD Wert);
LONG KS7SetBit(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Byte, DWORD Bit);
LONG KS7ResetBit(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Byte, DWORD Bit);
LONG KS7GetMPIMembers(LONG Ref, LPWORD Teiln); /* Teiln: 127 entries */

/* Text for a result of the handle calls or an Err value of a record: one
 * bilingual line, German first. Unknown codes give the "unknown error" text.
 * Never NULL; the strings are static. */
const char *KS7ErrText(LONG code);

#ifdef __cplusplus
}
#endif

#endif
