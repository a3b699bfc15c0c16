/* MPI connection and block exchange: connecting a record to its PLC through
 * the adapter, numbered job blocks that the adapter acknowledges, answer
 * blocks that the PC acknowledges, the two ways an answer is judged, the
 * disconnect, and CheckStatus, which every data call runs first.
 * A PPI record takes the PPI exchange at the two points where the paths
 * differ (CheckStatus and DoMPIComu). */
#include <cstddef>
#include <cstring>

#include "r3964.h"
#include "rs232.h"
#include "s7conn.h"
#include "s7trace.h"

/* Byte images of the blocks on the line. */
static_assert(sizeof(MPIHEAD) == 6);
static_assert(offsetof(MPIHEAD, Kennung) == 0 && offsetof(MPIHEAD, Dst) == 2 &&
              offsetof(MPIHEAD, Src) == 3 && offsetof(MPIHEAD, BlockKennung) == 4 &&
              offsetof(MPIHEAD, BlockNr) == 5);
static_assert(sizeof(MPIB1) == 10);
static_assert(offsetof(MPIB1, Ubk1) == 0 && offsetof(MPIB1, Code) == 1 &&
              offsetof(MPIB1, Ub2) == 2 && offsetof(MPIB1, LenBl1) == 6 &&
              offsetof(MPIB1, LenBl2) == 8);
static_assert(sizeof(MPIBLOCK) == 316);
static_assert(offsetof(MPIBLOCK, H) == 0 && offsetof(MPIBLOCK, B1) == 6 &&
              offsetof(MPIBLOCK, Buf) == 16);
static_assert(sizeof(QUITTBL) == 7);
static_assert(offsetof(QUITTBL, Dst) == 2 && offsetof(QUITTBL, Src) == 3 &&
              offsetof(QUITTBL, BlockKennung) == 4 && offsetof(QUITTBL, Nr1) == 5 &&
              offsetof(QUITTBL, BlockNr) == 6);
static_assert(sizeof(CONTOMPI) == 20);
static_assert(offsetof(CONTOMPI, SrcTSAP) == 3 && offsetof(CONTOMPI, Ubk2) == 4 &&
              offsetof(CONTOMPI, MPIAdr) == 17 && offsetof(CONTOMPI, Ubk3) == 18);

const CONTOMPI _ConToMPI = {
    {0x00, 0x0D, 0x00},
    0x03,
    {0xE0, 0x04, 0x00, 0x80, 0x00, 0x02, 0x01, 0x06, 0x01, 0x00, 0x00, 0x01, 0x02},
    0x00,
    {0x01, 0x00},
};
/* LenBl1/LenBl2 are filled in byte-wise when the job is built. */
const MPIB1 S7ResetBlNr = {0x32, 0x01, {0x00, 0x00, 0x01, 0x00}, 0, 0};
const BYTE CmdResetBlNr[8] = {0xF0, 0x00, 0x00, 0x01, 0x00, 0x02, 0x01, 0xE0};

namespace {

constexpr BYTE kKennung0 = 0x00;  // Kennung 0x0C00 travels as 00 0C
constexpr BYTE kKennung1 = 0x0C;
constexpr BYTE kJob = 0xF1;
constexpr BYTE kConfirm = 0x05;
constexpr BYTE kDisconnect = 0x80;
constexpr BYTE kAck = 0xB0;
constexpr BYTE kUserData = 0x07;  // B1.Code of a user-data job (no error-class bytes)
constexpr int kResetLen = 24;     // header, job header, 8 parameter bytes

/* A received block goes first into an area with room for any 3964R block;
 * only a block that fits is copied into Rx. */
thread_local BYTE MPIRxArea[512];  // one per thread: ports run in parallel

LPBYTE Bytes(MPIBLOCK &B) { return reinterpret_cast<LPBYTE>(&B); }

void SetKennung(MPIBLOCK &B) {
  Bytes(B)[0] = kKennung0;
  Bytes(B)[1] = kKennung1;
}

/* Receives one block into the record's Rx: its length, or a negative value
 * when nothing usable came. A block longer than Rx counts as a failed
 * receive and is not copied. */
int RxMPIBlock(LPS7I pS7) {
  const int n = Rx3964RBlock(pS7->Com, MPIRxArea, AnswerWait);
  if (n > static_cast<int>(sizeof(MPIBLOCK))) return -2;
  if (n > 0) std::memcpy(&pS7->Rx, MPIRxArea, static_cast<size_t>(n));
  return n;
}

BYTE NextBlockNr(BYTE Nr) { return Nr >= 255 ? 1 : static_cast<BYTE>(Nr + 1); }

/* Two error-class bytes stand before the parameter part of an answer unless
 * the job sent was user data. Decided by the job sent, never by the answer. */
int AnswerExtra(const S7I &S7) { return S7.Tx.B1.Code == kUserData ? 0 : 2; }

}  // namespace

void InitS7I(LPS7I pS7) {
  std::memcpy(pS7->CmdRd, _CmdRd, sizeof(pS7->CmdRd));
  std::memcpy(pS7->CmdWr, _CmdWr, sizeof(pS7->CmdWr));
  pS7->ConToMPI = _ConToMPI;
}

BOOL CheckStatus(LPS7I pS7) {
  const int Com = pS7->Com;
  if (!ValidPort(Com)) {
    pS7->Err = -1;
    pS7->Status = FALSE;
    return FALSE;
  }
  const ComGuard Guard(Com);  // the port's status is read and changed as one step
  if (ComLost(Com)) {
    // the device went away: the adapter (or the PLC) behind it starts afresh
    CStat[Com].Status = 0;
    if (!ComReopen(Com)) {
      pS7->Err = -1;
      pS7->Status = FALSE;
      return FALSE;
    }
  }
  if (CStat[Com].Status == 0) {
    LockCom(Com);
    const BOOL Up = pS7->SPSTyp ? ConnectToPPIAdr(pS7) : InitKabel(Com, CStat[Com].LocalMPIAdr);
    CStat[Com].Status = Up ? 1 : 0;
    S7TRACE(TraceText(Com, "%s: %s", pS7->SPSTyp ? "PPI status request" : "adapter bring-up",
                      Up ? "ok" : "failed"));
    UnlockCom(Com);
    pS7->Status = FALSE;
    pS7->Err = -1;
  }
  if (!pS7->Status && CStat[Com].Status == 1) {
    LockCom(Com);
    const BOOL Up = pS7->SPSTyp ? ConnectToPPIAdr(pS7) : ConnectToMPIAdr(pS7);
    pS7->Status = Up ? TRUE : FALSE;
    S7TRACE(TraceText(Com, "connect to station %u: %s", pS7->MPIAdr, Up ? "ok" : "failed"));
    UnlockCom(Com);
  }
  return pS7->Status;
}

BOOL ConnectToMPIAdr(LPS7I pS7) {
  const int Com = pS7->Com;
  InitS7I(pS7);
  const BYTE Adr = static_cast<BYTE>(pS7->MPIAdr);
  const BYTE R = static_cast<BYTE>(Adr + 1);  // own connection reference
  pS7->ConToMPI.MPIAdr = Adr;
  pS7->ConToMPI.SrcTSAP = R;

  if (!Tx3964RBlock(Com, reinterpret_cast<LPBYTE>(&pS7->ConToMPI), sizeof(CONTOMPI))) {
    CStat[Com].Status = 0;
    SetErr(pS7, FALSE);
    return FALSE;
  }

  // answer: 00 0C R P ..., P being the partner's reference
  int n = RxMPIBlock(pS7);
  const BYTE *Rx = Bytes(pS7->Rx);
  if (n > 5 && Rx[0] == kKennung0 && Rx[1] == kKennung1 && Rx[2] == R) {
    SetKennung(pS7->Tx);
    pS7->Tx.H.Dst = Rx[3];
    pS7->Tx.H.Src = R;
    pS7->Tx.H.BlockKennung = kConfirm;
    pS7->Tx.H.BlockNr = 1;
    if (Tx3964RBlock(Com, Bytes(pS7->Tx), sizeof(MPIHEAD))) {
      n = RxMPIBlock(pS7);
      if (n == 6) {
        pS7->Tx.H.BlockNr = 0;
        return ResetBlockNr(pS7);
      }
    }
  }
  SetErr(pS7, FALSE);  // the adapter itself counts as still up
  return FALSE;
}

BOOL ResetBlockNr(LPS7I pS7) {
  pS7->Tx.H.BlockKennung = kJob;
  pS7->Tx.B1 = S7ResetBlNr;
  BYTE *B1 = reinterpret_cast<BYTE *>(&pS7->Tx.B1);
  PutBE16(B1 + offsetof(MPIB1, LenBl1), sizeof(CmdResetBlNr));
  PutBE16(B1 + offsetof(MPIB1, LenBl2), 0);
  std::memcpy(pS7->Tx.Buf, CmdResetBlNr, sizeof(CmdResetBlNr));
  return DoMPIComu(pS7, kResetLen) > 0 ? TRUE : FALSE;
}

int DoMPIComu(LPS7I pS7, int TxLen) {
  // A length the path cannot carry (beyond the transmit block; on PPI beyond
  // one length byte) is refused before anything is sent, on both paths
  // alike; the connection is not touched.
  const int MaxTxLen = pS7->SPSTyp ? PPI_MAX_TXLEN : static_cast<int>(sizeof(MPIBLOCK));
  if (TxLen < 0 || TxLen > MaxTxLen) {
    pS7->Err = -1;
    return -1;
  }
  const ComGuard Guard(pS7->Com);  // one exchange on the line at a time
  if (pS7->SPSTyp) return DoPPIComu(pS7, TxLen);

  const int Com = pS7->Com;
  MPIBLOCK &Tx = pS7->Tx;
  const BYTE *Sent = Bytes(Tx);
  if (Tx3964RBlock(Com, Bytes(Tx), TxLen)) {
    const int n = RxMPIBlock(pS7);
    if (n <= 6) {
      if (n == 5 && Tx.H.BlockKennung == kDisconnect) return 5;
    } else {
      const BYTE *Ack = Bytes(pS7->Rx);
      if (Ack[0] == Sent[0] && Ack[1] == Sent[1] && Ack[2] == Tx.H.Src && Ack[3] == Tx.H.Dst &&
          Ack[4] == kAck && Ack[5] == 0x01 && Ack[6] == Tx.H.BlockNr) {
        // the number stays advanced even if the answer does not come
        Tx.H.BlockNr = NextBlockNr(Tx.H.BlockNr);
        const int m = RxMPIBlock(pS7);
        if (m > 6) {
          const BYTE *Ans = Bytes(pS7->Rx);
          QUITTBL Quitt = {{Ans[0], Ans[1]}, Ans[3], Ans[2], kAck, 0x01, Ans[5]};
          if (Tx3964RBlock(Com, reinterpret_cast<LPBYTE>(&Quitt), sizeof(QUITTBL))) {
            pS7->Err = 0;
            return m;
          }
        }
      }
    }
  }
  SetErr(pS7, TRUE);
  return -1;
}

int AnswerBlockLen(LPS7I pS7) {
  const BYTE *B1 = reinterpret_cast<const BYTE *>(&pS7->Rx.B1);
  return 16 + GetBE16(B1 + offsetof(MPIB1, LenBl1)) + GetBE16(B1 + offsetof(MPIB1, LenBl2)) +
         AnswerExtra(*pS7);
}

int DoWrMPIComu(LPS7I pS7, int TxLen) {
  // Only a code set by this exchange may decide the result below, never one
  // left from an earlier call (the PPI exchange leaves Err alone when it gets
  // no usable answer).
  pS7->Err = 0;
  const int n = DoMPIComu(pS7, TxLen);
  if (n > 11) {
    const int Expected = AnswerBlockLen(pS7);
    // the lengths arrive high byte first; from here on Rx.B1 holds them in
    // host order
    const BYTE *B1 = reinterpret_cast<const BYTE *>(&pS7->Rx.B1);
    pS7->Rx.B1.LenBl1 = GetBE16(B1 + offsetof(MPIB1, LenBl1));
    pS7->Rx.B1.LenBl2 = GetBE16(B1 + offsetof(MPIB1, LenBl2));
    const int Extra = AnswerExtra(*pS7);
    const int LenBl1 = pS7->Rx.B1.LenBl1;
    const int LenBl2 = pS7->Rx.B1.LenBl2;
    // n is at most the size of Rx, so a matching answer's data part lies in Buf
    if (n == Expected && Expected <= static_cast<int>(sizeof(MPIBLOCK)) && LenBl2 != 0) {
      if (pS7->Rx.Buf[LenBl1 + Extra] == 0xFF) {
        pS7->Err = 0;
        return 0;
      }
      pS7->Err = 2;
      return 1;
    }
  }
  if (n < 0 && pS7->Err == 0)
    SetErr(pS7, TRUE);
  else if (pS7->Err == 0)
    pS7->Err = 2;
  return -1;
}

int DoRdMPIComu(LPS7I pS7, int TxLen, int Anz, LPBYTE Buf) {
  const int r = DoWrMPIComu(pS7, TxLen);
  if (r < 0) {
    SetErr(pS7, TRUE);
    return r;
  }
  if (r > 0) {
    pS7->Err = 2;
    return r;
  }
  const int Count = static_cast<WORD>(Anz);
  if (pS7->Rx.B1.LenBl2 == Count + 4) {
    // past the error-class bytes and the four bytes that open the data part;
    // DoWrMPIComu has checked that the whole data part lies inside Rx
    const int Ab = pS7->Rx.B1.LenBl1 + AnswerExtra(*pS7) + 4;
    if (Count > 0) std::memcpy(Buf, pS7->Rx.Buf + Ab, static_cast<size_t>(Count));
    pS7->Err = 0;
    return 0;
  }
  pS7->Err = 2;
  return 1;
}

BOOL DisconnectMPIAdr(LPS7I pS7) {
  const int Com = pS7->Com;
  if (!ValidPort(Com)) return FALSE;
  const ComGuard Guard(Com);
  if (CStat[Com].Status == 0) return TRUE;
  SetKennung(pS7->Tx);
  pS7->Tx.H.BlockKennung = kDisconnect;
  LockCom(Com);
  const int n = DoMPIComu(pS7, 5);
  UnlockCom(Com);
  return n > 0 ? TRUE : FALSE;
}
