/* 3964R block procedure between the PC and the MPI adapter. */
#ifndef S7SERIAL_R3964_H
#define S7SERIAL_R3964_H

#include "s7types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define STX 0x02
#define ETX 0x03
#define DLE 0x10
#define NAK 0x15

/* Blocks the sender throws away (a block found waiting, a collision). */
#ifdef __cplusplus
extern thread_local BYTE DummyBuf[512]; /* one per thread: ports run in parallel */
#endif

/* TRUE when the block was sent and acknowledged with DLE. */
BOOL Tx3964RBlock(int Com, LPBYTE Buffer, int Len);
/* Receives one block into Data (room for 512 bytes): the number of data
 * bytes, or -1 (character time-out), -2 (512 or more data bytes), -3 (no STX,
 * BCC missing or wrong). */
int Rx3964RBlock(int Com, LPBYTE Data, int WaitTime);
/* Receives the partner's block after its STX has already been read. */
int Rx3964RBlockDummy(int Com, LPBYTE Data);

#ifdef __cplusplus
}
#endif

#endif
