/* Connection layer internals: the port status table, the MPI adapter
 * bring-up, the MPI connection and block exchange and the PPI exchange. */
#ifndef S7SERIAL_S7CONN_H
#define S7SERIAL_S7CONN_H

#include "s7serial.h"

#ifdef __cplusplus
extern "C" {
#endif

#define COM_PORTS 16

/* What belongs to a port and not to one PLC. */
typedef struct {
  BYTE LocalMPIAdr; /* the PC's own station address behind this port */
  WORD Status;      /* 1: adapter brought up (PPI: PLC answered); 0: bring it up first */
  DWORD Baud;       /* baud rate the port was opened with; 0 while unused */
  DWORD MPIBaud;    /* bus-speed selector */
  LONG InitCnt;     /* open records on this port */
} COMSTA;

extern COMSTA CStat[COM_PORTS];
/* Wait for the partner's answer to STX, in ticks of 55 ms. */
extern LONG S7TimeOutwert;

void SetErr(LPS7I pS7, BOOL bSetComStat);
/* Per-port recursive locks: one exchange (or a run of them) on a port at a
 * time; ports outside 0..15 are not locked. */
void LockCom(int Com);
void UnlockCom(int Com);

/* ---- MPI adapter bring-up and shut-down ---- */
typedef struct {
  BYTE Ubk1[15];
  BYTE MPIBaud;     /* bus speed code */
  BYTE LocalMPIAdr; /* the PC's own station address */
  BYTE MaxMPIAdr;   /* highest station address, 0x7E when sent */
  BYTE Ubk2[4];
  BYTE MasterId;
} INIT_KABEL;

extern const INIT_KABEL _InitKabelData;
extern INIT_KABEL InitKabelData[COM_PORTS];
extern BOOL bInitKabelData;
extern const BYTE TS1[3];
extern const BYTE TS2[3];
extern const BYTE TS3[3];
extern const BYTE TS4[3];

BOOL InitKabel(int Com, int LocalMPIAdr);
BOOL ExitKabel(int Com);
BOOL TxTS(int Com, LPBYTE lpTs, int Len);

/* ---- MPI connection and block exchange ---- */
/* Acknowledgement block, 7 bytes, the same shape in both directions. */
typedef struct {
  BYTE Kennung[2];
  BYTE Dst;
  BYTE Src;
  BYTE BlockKennung; /* 0xB0 */
  BYTE Nr1;          /* 0x01 */
  BYTE BlockNr;
} QUITTBL;

extern const CONTOMPI _ConToMPI;
extern const MPIB1 S7ResetBlNr;
extern const BYTE CmdResetBlNr[8];

BOOL CheckStatus(LPS7I pS7);
BOOL ConnectToMPIAdr(LPS7I pS7);
void InitS7I(LPS7I pS7);
BOOL ResetBlockNr(LPS7I pS7);
int DoMPIComu(LPS7I pS7, int TxLen);
int DoWrMPIComu(LPS7I pS7, int TxLen);
int DoRdMPIComu(LPS7I pS7, int TxLen, int Anz, LPBYTE Buf);
/* Length the answer block in Rx must have to be whole: 16 + LenBl1 + LenBl2
 * (read high byte first), plus the 2 error-class bytes unless the job sent
 * was user data. */
int AnswerBlockLen(LPS7I pS7);
BOOL DisconnectMPIAdr(LPS7I pS7);

/* ---- PPI connection and request exchange ---- */
/* Longest TxLen on PPI: the 6-byte header that stays home and a data unit of
 * 252 bytes (one length byte, less DA, SA and FC). */
#define PPI_MAX_TXLEN (6 + 252)
BOOL ConnectToPPIAdr(LPS7I pS7);
int DoPPIComu(LPS7I pS7, int TxLen);

/* ---- S7 job templates (owned by the S7 data services) ---- */
extern const MPIB1 S7RWB1;
extern const BYTE _CmdRd[14];
extern const BYTE _CmdWr[14];

#ifdef __cplusplus
}

/* Ticks until the partner's answer block starts (adapter answers, MPI
 * blocks, the bus-member list). */
inline constexpr int AnswerWait = 140;

/* 16-bit fields on the line, high byte first. */
inline WORD GetBE16(const BYTE *p) { return static_cast<WORD>((p[0] << 8) | p[1]); }
inline void PutBE16(BYTE *p, DWORD v) {
  p[0] = static_cast<BYTE>(v >> 8);
  p[1] = static_cast<BYTE>(v);
}

/* The S7 job of a block, from its job header (B1) on: the 6-byte header
 * stays home. */
inline LPBYTE JobPart(MPIBLOCK &Block) {
  return reinterpret_cast<LPBYTE>(&Block) + sizeof(MPIHEAD);
}

/* Holds a port's lock for a scope. */
class ComGuard {
 public:
  explicit ComGuard(int Com) : m_Com(Com) { LockCom(Com); }
  ~ComGuard() { UnlockCom(m_Com); }
  ComGuard(const ComGuard &) = delete;
  ComGuard &operator=(const ComGuard &) = delete;

 private:
  int m_Com;
};

/* A data call given no buffer for a count above 0 is refused before anything
 * is sent: Err -1, the statuses untouched; gives back Res. */
inline int NoBuffer(LPS7I pS7, int Res) {
  pS7->Err = -1;
  return Res;
}
#endif

#endif
