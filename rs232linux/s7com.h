/* s7serial serial layer: the port calls an application may use next to the
 * connection-record API, above all ComSetDevName to name the device of a
 * port before it is first opened. Ports are numbered 0..15; waits are in
 * ticks of 55 ms. Compiles as C and as C++. */
#ifndef S7SERIAL_S7COM_H
#define S7SERIAL_S7COM_H

#include "s7types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 0 stored, -1 refused (port above 15, no name, name of 64 bytes or more). */
S7SERIAL_API int ComSetDevName(DWORD Com, const char *DevName);
S7SERIAL_API BOOL ComOpen(int Com, int Baudrate, int Datenbits, int Parity, int Stopbits);
S7SERIAL_API BOOL ComClose(int Com);
S7SERIAL_API void ComCloseAll(void);
S7SERIAL_API BOOL ComIsInit(int Com);
S7SERIAL_API int ComSetTimeOut(int Com, int TimeOut);
S7SERIAL_API void ComClr(int Com);
S7SERIAL_API BOOL ComTxC(int Com, int Zeichen);
S7SERIAL_API BOOL ComRxC(int Com, PBYTE pByte);
S7SERIAL_API BOOL ComWaitC(int Com, PBYTE pByte, LONG Time);
S7SERIAL_API int ComRxBlock(int Com, LPBYTE Buf, int Len);
S7SERIAL_API BOOL ComCInQ(int Com);
S7SERIAL_API void ComTxBreak(int Com, LONG NTicks);
S7SERIAL_API void ComBreak5MS(int Com, int PGNr);
S7SERIAL_API void ComDelay(LONG NTicks);
/* Why the last open of port Com failed: the errno (0 when its last open
 * succeeded or none was tried) and, in Text (TextMax bytes, zero-terminated;
 * may be NULL), the reason as a short line, e.g. "No such file or directory",
 * "not a serial device", "in use by another program (PID 1234)". */
S7SERIAL_API int ComOpenError(int Com, char *Text, int TextMax);

#ifdef __cplusplus
}
#endif

#endif
