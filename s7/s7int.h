/* S7 data services internals: job templates, the block-information answer,
 * the size limits of one job and the header of a read or write job. */
#ifndef S7SERIAL_S7INT_H
#define S7SERIAL_S7INT_H

#include "s7conn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The 78 data bytes of a block-information answer, as on the wire. Every
 * multi-byte field is big-endian and kept as bytes, so the record has no
 * alignment needs and is read byte-wise. */
typedef struct {
  BYTE Ub0[2];
  BYTE InfoLen[2];
  BYTE Flag[2];
  BYTE Sync[2];
  BYTE Ub2[3];
  BYTE BstArt; /* block kind */
  BYTE BstNr[2];
  BYTE Ub3[2];
  BYTE BstLen[2];
  BYTE Ub4[4];
  BYTE ErstDatum[6]; /* creation date */
  BYTE AendDatum[6]; /* date of last change */
  BYTE InfoLen2[2];
  BYTE Ub5[2];
  BYTE ParamLen[2];
  BYTE MCLen[2]; /* for a data block: its length in bytes */
  char Author[8];
  char Family[8];
  char Name[8];
  BYTE Version;
  BYTE Ub6[11];
} S7BSTHEAD;

/* Read item for the 16-byte identification text of an S7-200. */
extern const BYTE CmdGetS7200Info[14];
/* Job header of the block-information request (user data). */
extern const MPIB1 S7BstInfoB1;
/* Parameter (8 bytes) and data (12 bytes) of the block-information request. */
extern const BYTE CmdBstInfo[20];

/* Timer word (time base in bits 12-15, three BCD digits) to milliseconds. */
DWORD TimerWordToMs(WORD Wert);
/* Milliseconds to a timer word with the smallest fitting time base; FALSE
 * (and *pWort untouched) when Ms is above 9,990,000. */
BOOL MsToTimerWord(DWORD Ms, LPWORD pWort);
/* Counter value 0..999 to its BCD word; FALSE (and *pWort untouched) above 999. */
BOOL CounterToWord(DWORD Wert, LPWORD pWort);

#ifdef __cplusplus
}

#include <cstddef>

static_assert(sizeof(S7BSTHEAD) == 78, "block-information answer is 78 bytes");
static_assert(offsetof(S7BSTHEAD, BstNr) == 12 && offsetof(S7BSTHEAD, InfoLen2) == 34,
              "block-information field positions");
static_assert(offsetof(S7BSTHEAD, MCLen) == 40 && offsetof(S7BSTHEAD, Version) == 66,
              "block-information field positions");
static_assert(sizeof(S7200CPUINFO) == 17, "identification text and its zero byte");

namespace s7job {

/* Sizes of one read or write job. */
inline constexpr int ItemLen = 14;       /* read/write item in the parameter part */
inline constexpr int DataHeadLen = 4;    /* return code, transport size, 2-byte length */
inline constexpr int AnswerErrLen = 2;   /* error class and code in a job answer */
inline constexpr int AnswerParamLen = 2; /* function code and item count */
inline constexpr int PpiDataUnit = 252;  /* job bytes one PPI frame carries */
inline constexpr int BufLen = static_cast<int>(sizeof(MPIBLOCK::Buf));

/* Most data bytes one write job carries: on MPI the transmit block's Buf,
 * on PPI one frame's data unit (job header included). */
inline constexpr int MaxWrMPI = BufLen - ItemLen - DataHeadLen;
inline constexpr int MaxWrPPI =
    PpiDataUnit - static_cast<int>(sizeof(MPIB1)) - ItemLen - DataHeadLen;
/* Most data bytes one read answer can bring: on MPI what fits behind the
 * answer's error bytes, parameters and data head in the receive block's Buf,
 * on PPI in one frame's data unit. */
inline constexpr int MaxRdMPI = BufLen - AnswerErrLen - AnswerParamLen - DataHeadLen;
inline constexpr int MaxRdPPI =
    PpiDataUnit - static_cast<int>(sizeof(MPIB1)) - AnswerErrLen - AnswerParamLen - DataHeadLen;
static_assert(MaxWrMPI == 282 && MaxWrPPI == 224 && MaxRdMPI == 292 && MaxRdPPI == 234);

/* Stores a 16-bit length into a job header field, high byte first. */
inline void PutLenBE(WORD &Feld, DWORD v) { PutBE16(reinterpret_cast<BYTE *>(&Feld), v); }

/* Block and job header of a read or write job: one 14-byte item as the
 * parameter part and DataLen bytes of data (0 for a read). */
inline void StartJob(MPIBLOCK &Tx, DWORD DataLen) {
  Tx.H.BlockKennung = 0xF1;
  Tx.B1 = S7RWB1;
  PutLenBE(Tx.B1.LenBl1, ItemLen);
  PutLenBE(Tx.B1.LenBl2, DataLen);
}

}  // namespace s7job

#endif

#endif
