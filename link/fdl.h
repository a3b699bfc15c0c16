/* PROFIBUS FDL frames on the PPI line to an S7-200. */
#ifndef S7SERIAL_FDL_H
#define S7SERIAL_FDL_H

#include "s7types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define FDL_SD1 0x10
#define FDL_SD2 0x68
#define FDL_SD3 0xA2
#define FDL_SD4 0xDC
#define FDL_SC 0xE5
#define FDL_ED 0x16

/* Sum of Len bytes modulo 256 (0 when Len <= 0). */
BYTE GetFCS(LPBYTE Buf, int Len);
/* Sends an SD2 frame (Len > 0) or an SD1 frame; FALSE when a byte arrived
 * while the data unit was being sent and the frame was abandoned. */
BOOL TxProfiBlock(int Com, int Dst, int Src, int FC, LPBYTE Buffer, int Len);
/* Receives and checks one raw frame into Buffer (room for 261 bytes): its
 * total length, 0 (nothing usable started) or -1 (damaged frame). */
int _RxProfiBlock(int Com, LPBYTE Buffer);
/* Receives an answer from Src to Dst: 1 for a short acknowledgement (0xE5 in
 * Buffer[0]), DU length + 6 for an SD2 frame (DU copied to Buffer, at most
 * 252 bytes), else 0. */
int RxProfiBlock(int Com, int Dst, int Src, int FC, LPBYTE Buffer);

#ifdef __cplusplus
}
#endif

#endif
