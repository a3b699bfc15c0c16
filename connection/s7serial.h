/* s7serial: read and write the memory of S7 PLCs over a serial line,
 * through an MPI PC adapter (3964R) or directly to an S7-200 over PPI.
 *
 * The caller owns each connection record (S7), opens it with one of the
 * init calls, passes it to every data call and closes it with S7Exit.
 *
 * Threads: opening and closing hold the table lock and each exchange its
 * port's lock, so records on different ports may be used from different
 * threads at once. The caller uses the records of one port from one thread
 * at a time (the handle API of kesto.h does this itself), never one record
 * from two threads at once, and copies IToA's text (one buffer per thread)
 * before its next IToA call. A data call given a NULL buffer for a count
 * above 0 fails (FALSE, S7Rd/S7Wr/S7GetCPUInfo -1, S7GetMPIMembers 0) with
 * Err -1 before anything is sent. The library calls back only through the trace procedure.
 * Compiles as C and as C++. */
#ifndef S7SERIAL_S7SERIAL_H
#define S7SERIAL_S7SERIAL_H

#include "s7com.h"
#include "s7types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Header of one MPI block, as on the line. Kennung is stored low byte first
 * (0x0C00 travels as 00 0C). */
typedef struct {
  WORD Kennung;
  BYTE Dst;          /* partner's connection reference (PPI: station address) */
  BYTE Src;          /* own connection reference (PPI: station address) */
  BYTE BlockKennung; /* 0xF1 job, 0x05 connect confirmation, 0x80 disconnect, 0xB0 ack */
  BYTE BlockNr;
} MPIHEAD;

/* S7 job header. LenBl1/LenBl2 travel high byte first. */
typedef struct {
  BYTE Ubk1; /* 0x32 */
  BYTE Code; /* 0x01 job, 0x03 answer to a job, 0x07 user data */
  BYTE Ub2[4];
  WORD LenBl1; /* parameter length */
  WORD LenBl2; /* data length */
} MPIB1;

/* One MPI block: header, job header and 300 bytes of parameters and data. */
typedef struct {
  MPIHEAD H;
  MPIB1 B1;
  BYTE Buf[300];
} MPIBLOCK;

/* Connect request to one station behind the adapter (20 bytes). */
typedef struct {
  BYTE Ubk1[3];
  BYTE SrcTSAP; /* own connection reference: MPI address + 1 */
  BYTE Ubk2[13];
  BYTE MPIAdr;
  BYTE Ubk3[2];
} CONTOMPI;

/* The connection record. */
typedef struct {
  WORD Com;    /* serial port 0..15 */
  BOOL bInit;  /* set by a successful init call */
  LONG Err;    /* result code of the last operation */
  LONG SPSTyp; /* 0: through the MPI adapter, non-zero: S7-200 over PPI */
  WORD MPIAdr; /* the PLC's station address */
  BOOL Status; /* TRUE while connected to the PLC */
  MPIBLOCK Tx;
  MPIBLOCK Rx;
  CONTOMPI ConToMPI;
  BYTE CmdRd[14];
  BYTE CmdWr[14];
} S7I;

typedef S7I S7;
typedef S7I *LPS7;
typedef S7I *LPS7I;

/* Identification text of an S7-200 CPU: 16 characters and a zero byte. */
typedef struct {
  char CPUText[17];
} S7200CPUINFO;

/* Area codes for S7Rd/S7Wr and the core calls. */
#define S7_AREA_E 0x81  /* process inputs */
#define S7_AREA_A 0x82  /* process outputs */
#define S7_AREA_M 0x83  /* flags */
#define S7_AREA_DB 0x84 /* data block */
#define S7_AREA_Z 0x1C  /* counters */
#define S7_AREA_T 0x1D  /* timers */

/* ---- open and close ---- */
S7SERIAL_API BOOL S7Init(LPS7 lpS7, int Com, int SPSMPIAdr, int LocalMPIAdr, int Baud);
S7SERIAL_API BOOL S7InitFastBaud(LPS7 lpS7, int Com, int SPSMPIAdr, int LocalMPIAdr, DWORD Baud);
S7SERIAL_API BOOL S7InitFastBaudEx(LPS7 lpS7, int Com, int SPSMPIAdr, int LocalMPIAdr, DWORD Baud,
                                   DWORD MPIBaud);
S7SERIAL_API BOOL S7PPIInit(LPS7 lpS7, int Com, int SPSMPIAdr, int LocalMPIAdr, int Baud);
S7SERIAL_API BOOL S7Exit(LPS7 lpS7);
S7SERIAL_API void S7ExitAll(void);
S7SERIAL_API LONG S7SetTimeout(LONG NewTimeOut);

/* ---- read and write jobs ---- */
S7SERIAL_API int S7Rd(LPS7 pS7, int BstNr, int AbWort, int Anz, LPVOID pData, int Typ, int Unit,
                      int DataType, int BitNr);
S7SERIAL_API int S7Wr(LPS7 pS7, int BstNr, int AbWort, int Anz, LPVOID pData, int Typ, int Unit,
                      int DataType, int BitNr);
S7SERIAL_API void SwapData(LPWORD Buf, int Cnt);
S7SERIAL_API void SwapDWord(LPVOID _Buf, int Cnt);

/* ---- typed access in packets ---- */
S7SERIAL_API BOOL S7RdB(LPS7 pS7, int BstNr, int AbByte, int Anz, LPBYTE pData, int Typ,
                        int DatenType);
S7SERIAL_API BOOL S7WrB(LPS7 pS7, int BstNr, int AbWort, int Anz, LPBYTE pData, int Typ,
                        int DatenType);
/* The word calls count in words (AbWort n is bytes 2n and 2n+1); tags (s7tags.h) count in bytes. */
S7SERIAL_API BOOL S7RdW(LPS7 pS7, int BstNr, int AbWort, int Anz, LPWORD pData, int Typ,
                        int DataType);
S7SERIAL_API BOOL S7WrW(LPS7 pS7, int BstNr, int AbWort, int Anz, LPWORD pData, int Typ,
                        int DataType);
S7SERIAL_API BOOL S7RdDW(LPS7 pS7, int BstNr, int AbWort, int Anz, LPDWORD pData, int Typ,
                         int DataType);
S7SERIAL_API BOOL S7WrDW(LPS7 pS7, int BstNr, int AbWort, int Anz, LPDWORD pData, int Typ,
                         int DataType);

S7SERIAL_API BOOL S7RdDB(LPS7 pS7, int BstNr, int AbWort, int Anz, LPWORD pData);
S7SERIAL_API BOOL S7WrDB(LPS7 pS7, int BstNr, int AbWort, int Anz, LPWORD pData);
S7SERIAL_API BOOL S7RdMW(LPS7 pS7, int Ab, int Anz, LPWORD Buf);
S7SERIAL_API BOOL S7WrMW(LPS7 pS7, int Ab, int Anz, LPWORD Buf);
S7SERIAL_API BOOL S7RdAW(LPS7 pS7, int Ab, int Anz, LPWORD Buf);
S7SERIAL_API BOOL S7WrAW(LPS7 pS7, int Ab, int Anz, LPWORD Buf);
S7SERIAL_API BOOL S7RdEW(LPS7 pS7, int Ab, int Anz, LPWORD Buf);
S7SERIAL_API BOOL S7WrEW(LPS7 pS7, int Ab, int Anz, LPWORD Buf);
S7SERIAL_API BOOL S7RdDBB(LPS7 pS7, int BstNr, int Ab, int Anz, LPBYTE Buf);
S7SERIAL_API BOOL S7WrDBB(LPS7 pS7, int BstNr, int Ab, int Anz, LPBYTE Buf);
S7SERIAL_API BOOL S7RdMB(LPS7 pS7, int Ab, int Anz, LPBYTE Buf);
S7SERIAL_API BOOL S7WrMB(LPS7 pS7, int Ab, int Anz, LPBYTE Buf);
S7SERIAL_API BOOL S7RdAB(LPS7 pS7, int Ab, int Anz, LPBYTE Buf);
S7SERIAL_API BOOL S7WrAB(LPS7 pS7, int Ab, int Anz, LPBYTE Buf);
S7SERIAL_API BOOL S7RdEB(LPS7 pS7, int Ab, int Anz, LPBYTE Buf);
S7SERIAL_API BOOL S7WrEB(LPS7 pS7, int Ab, int Anz, LPBYTE Buf);
S7SERIAL_API BOOL S7RdDBDW(LPS7 pS7, int BstNr, int AbWort, int Anz, LPDWORD pData);
S7SERIAL_API BOOL S7WrDBDW(LPS7 pS7, int BstNr, int AbWort, int Anz, LPDWORD pData);
S7SERIAL_API BOOL S7RdMDW(LPS7 pS7, int Ab, int Anz, LPDWORD Buf);
S7SERIAL_API BOOL S7WrMDW(LPS7 pS7, int Ab, int Anz, LPDWORD Buf);
S7SERIAL_API BOOL S7RdADW(LPS7 pS7, int Ab, int Anz, LPDWORD Buf);
S7SERIAL_API BOOL S7WrADW(LPS7 pS7, int Ab, int Anz, LPDWORD Buf);
S7SERIAL_API BOOL S7RdEDW(LPS7 pS7, int Ab, int Anz, LPDWORD Buf);
S7SERIAL_API BOOL S7WrEDW(LPS7 pS7, int Ab, int Anz, LPDWORD Buf);
S7SERIAL_API BOOL S7RdDBReal(LPS7 pS7, int BstNr, int AbWort, int Anz, float *pData);
S7SERIAL_API BOOL S7WrDBReal(LPS7 pS7, int BstNr, int AbWort, int Anz, float *pData);
S7SERIAL_API BOOL S7RdMReal(LPS7 pS7, int Ab, int Anz, float *Buf);
S7SERIAL_API BOOL S7WrMReal(LPS7 pS7, int Ab, int Anz, float *Buf);
S7SERIAL_API BOOL S7RdAReal(LPS7 pS7, int Ab, int Anz, float *Buf);
S7SERIAL_API BOOL S7WrAReal(LPS7 pS7, int Ab, int Anz, float *Buf);
S7SERIAL_API BOOL S7RdEReal(LPS7 pS7, int Ab, int Anz, float *Buf);
S7SERIAL_API BOOL S7WrEReal(LPS7 pS7, int Ab, int Anz, float *Buf);

/* ---- timers and counters ---- */
S7SERIAL_API int BCDInt(int Bcd);
S7SERIAL_API DWORD BCDToInt(DWORD bcdWert);
S7SERIAL_API BOOL S7RdTimer(LPS7 pS7, int Ab, int Anz, LPDWORD Buf);  /* milliseconds */
S7SERIAL_API BOOL S7WrTimer(LPS7 pS7, int Ab, int Anz, LPDWORD Buf);  /* milliseconds */
S7SERIAL_API BOOL S7RdCounter(LPS7 pS7, int Ab, int Anz, LPWORD Buf); /* 0..999 */
S7SERIAL_API BOOL S7WrCounter(LPS7 pS7, int Ab, int Anz, LPWORD Buf); /* 0..999 */

/* ---- line trace ----
 * While a procedure is set, the library hands it one line (without a line
 * end) per unit on the line and per call outcome: milliseconds since the
 * trace was switched on, the port, the direction, the kind and the bytes in
 * hex, with a short decoding of S7 jobs and answers. The line is valid only
 * during the call. NULL switches the trace off. The procedure is called on
 * the thread that makes the library call, never while a call is not running;
 * it must not call the library itself. Once S7SetTrace returns, the procedure
 * set before is never called again (it waits for calls of it still running
 * on other threads), so its context may be freed at once. */
typedef void (*S7TRACEPROC)(const char *line, void *ctx);
S7SERIAL_API void S7SetTrace(S7TRACEPROC proc, void *ctx);
/* A ready procedure: writes the line and a line end to standard error. */
S7SERIAL_API void S7TraceToStderr(const char *line, void *ctx);

/* ---- information services ---- */
S7SERIAL_API char *IToA(int Wert, int Stellen);
S7SERIAL_API int S7GetCPUInfo(LPS7 lpS7, char *InfoStr); /* InfoStr: 17 bytes */
S7SERIAL_API int S7GetDBLen(LPS7 lpS7, int DBNr);
S7SERIAL_API int S7GetMPIMembers(LPS7 lpS7, LPWORD pTeiln); /* pTeiln: 127 entries */

/* ---- raw S7 jobs ---- */
/* Carries one S7 job as it stands (ReqLen bytes from its 0x32 header byte on)
 * over the record's connection, MPI or PPI, and puts the PLC's answer (from
 * its 0x32 byte on) into Ans. Returns the answer's length, or -1 with Err
 * set: a job longer than the path carries (MPI 310 bytes, PPI 252) or shorter
 * than its 10-byte header is refused with nothing sent (Err -1); a failed
 * exchange or an answer whose lengths do not add up marks the connection down
 * (Err -1, the next call reconnects); an answer longer than AnsMax is not
 * copied (Err -1, connection kept). A PLC's refusal inside a whole answer is
 * an answer: the caller reads its error bytes and return codes. */
S7SERIAL_API int S7Exchange(LPS7 pS7, const BYTE *Req, int ReqLen, BYTE *Ans, int AnsMax);

#ifdef __cplusplus
}
#endif

#endif
