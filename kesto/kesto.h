/* s7serial handle API: up to 32 open PLC connections addressed by a
 * reference 0..31, memory areas named by a letter:
 *   A/O outputs, E/I inputs, M/F flags, D data block, Z/C counters, T timers
 * (either case). Results: 0 (or the reference) on success, a negative code or
 * 2 on failure; KS7ErrText gives the text of each. A NULL buffer for a count
 * above 0 gives -5 before anything is sent.
 *
 * Threads: every call is thread-safe. Calls on references of one port run one
 * after the other, each for its whole exchange; calls on different ports run
 * in parallel; KS7Close waits for a call running on its reference. InitKesto
 * and ExitKesto belong to the start and the end of the program. The library
 * calls back only through the trace procedure (S7SetTrace, s7serial.h).
 * Compiles as C and as C++. */
#ifndef S7SERIAL_KESTO_H
#define S7SERIAL_KESTO_H

#include "s7types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* SPSTyp 200: S7-200 over PPI; any other value: PLC behind an MPI adapter. */
S7SERIAL_API LONG KS7Open(DWORD Com, DWORD SPSMPIAdr, DWORD LocalMPIAdr, DWORD Baud, DWORD SPSTyp);
S7SERIAL_API LONG KS7OpenEx(DWORD Com, DWORD SPSMPIAdr, DWORD LocalMPIAdr, DWORD Baud, DWORD SPSTyp,
                            DWORD MPIBaud);
S7SERIAL_API LONG KS7Close(LONG Ref);
S7SERIAL_API int KS7SetDevName(DWORD Com, const char *DevName);
S7SERIAL_API void InitKesto(void);
S7SERIAL_API void ExitKesto(void);

S7SERIAL_API LONG KS7RdB(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPBYTE Buffer);
S7SERIAL_API LONG KS7WrB(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPBYTE Buffer);
/* The word calls count in words (Ab n is bytes 2n and 2n+1); tags (s7tags.h) count in bytes. */
S7SERIAL_API LONG KS7RdW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPWORD Buffer);
S7SERIAL_API LONG KS7WrW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPWORD Buffer);
S7SERIAL_API LONG KS7RdDW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPDWORD Buffer);
S7SERIAL_API LONG KS7WrDW(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, LPDWORD Buffer);
S7SERIAL_API LONG KS7RdReal(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, double *Buffer);
S7SERIAL_API LONG KS7WrReal(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Ab, DWORD Anz, double *Buffer);
S7SERIAL_API LONG KS7RdBit(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Byte, DWORD Bit, LPBYTE Buffer);
S7SERIAL_API LONG KS7WrBit(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Byte, DWORD Bit, DWORD Wert);
S7SERIAL_API LONG KS7SetBit(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Byte, DWORD Bit);
S7SERIAL_API LONG KS7ResetBit(LONG Ref, DWORD Typ, DWORD DBNr, DWORD Byte, DWORD Bit);
S7SERIAL_API LONG KS7GetMPIMembers(LONG Ref, LPWORD Teiln); /* Teiln: 127 entries */

/* Text for a result of the handle calls or an Err value of a record: one
 * bilingual line, German first. Unknown codes give the "unknown error" text.
 * Never NULL; the strings are static. */
S7SERIAL_API const char *KS7ErrText(LONG code);

/* Identification text of an S7-200 (InfoStr: 17 bytes, written on success). */
S7SERIAL_API LONG KS7GetCPUInfo(LONG Ref, char *InfoStr);
/* Length in bytes of data block DBNr into *Len (written on success); a block
 * whose length cannot be had gives the record's Err (2 refused, -1 line) or -5. */
S7SERIAL_API LONG KS7GetDBLen(LONG Ref, DWORD DBNr, LPLONG Len);

#ifdef __cplusplus
}
#endif

#endif
