// The PPI path to an S7-200: the status request that stands in for the
// adapter bring-up and the connect, and the exchange of one S7 job in FDL
// frames, polling while the PLC only acknowledges.
#include <array>
#include <cstddef>

#include "fdl.h"
#include "rs232.h"
#include "s7conn.h"
#include "s7trace.h"

namespace {

// Frame control bytes the PC sends.
constexpr BYTE kFcStatusRequest = 0x49;  // request FDL status
constexpr BYTE kFcRequest = 0x7C;        // send and request data, FCB 1, FCV 1
constexpr BYTE kFcPoll = 0x5C;           // send and request data, FCB 0, FCV 1

constexpr int kTokenPauseMs = 12;  // between the token and the status request
constexpr int kPollPauseMs = 5;    // between a short acknowledgement and the poll
constexpr int kMaxPasses = 20;

// The S7 job and its answer travel from B1 on; the 6-byte header stays home.
constexpr int kBlockHeadLen = static_cast<int>(offsetof(MPIBLOCK, B1));
constexpr int kMaxDataUnit = 252;   // one length byte, less DA, SA and FC
constexpr int kRawFrameSize = 261;  // LE 255 + 6

static_assert(kBlockHeadLen == 6, "the S7 job starts after the 6-byte header");
static_assert(PPI_MAX_TXLEN == kBlockHeadLen + kMaxDataUnit, "one limit for both checks");
static_assert(sizeof(MPIBLOCK) - offsetof(MPIBLOCK, B1) >= kMaxDataUnit,
              "B1 and Buf hold the largest data unit");

}  // namespace

BOOL ConnectToPPIAdr(LPS7I pS7) {
  if (!ValidPort(pS7->Com)) {
    SetErr(pS7, FALSE);
    return FALSE;
  }
  const int Com = pS7->Com;
  InitS7I(pS7);

  const BYTE PlcAdr = static_cast<BYTE>(pS7->MPIAdr);
  const BYTE PcAdr = CStat[Com].LocalMPIAdr;

  // The status answer is received into the same buffer; a raw frame may be
  // 261 bytes long, whatever the PLC (or noise on the line) announces.
  std::array<BYTE, kRawFrameSize> Buf{};
  Buf[0] = FDL_SD4;  // token DA 0, SA 0
  Buf[1] = 0x00;
  Buf[2] = 0x00;
  Buf[3] = FDL_SD1;
  Buf[4] = PlcAdr;
  Buf[5] = PcAdr;
  Buf[6] = kFcStatusRequest;
  Buf[7] = GetFCS(&Buf[4], 3);
  Buf[8] = FDL_ED;

  ComClr(Com);
  ComTxBuf(Com, Buf.data(), 3);
  S7TRACE(TraceFrame(Com, TRACE_TX, Buf.data(), 3, nullptr));
  DelayMS(kTokenPauseMs);
  ComTxBuf(Com, &Buf[3], 6);
  S7TRACE(TraceFrame(Com, TRACE_TX, &Buf[3], 6, nullptr));

  const int n = _RxProfiBlock(Com, Buf.data());
  // An SD1 frame from the PLC to us; its FC is not judged. The PLC's address
  // is compared as the record holds it, so an address above 255 never answers.
  if (n == 6 && Buf[0] == FDL_SD1 && Buf[1] == PcAdr && static_cast<WORD>(Buf[2]) == pS7->MPIAdr) {
    pS7->Tx.H.Dst = PlcAdr;
    pS7->Tx.H.Src = PcAdr;
    pS7->Rx.H.Dst = PcAdr;
    pS7->Rx.H.Src = PlcAdr;
    return TRUE;
  }
  SetErr(pS7, FALSE);
  return FALSE;
}

int DoPPIComu(LPS7I pS7, int TxLen) {
  if (!ValidPort(pS7->Com)) {
    SetErr(pS7, FALSE);
    return -1;
  }
  const int Com = pS7->Com;
  const int DuLen = TxLen - kBlockHeadLen;

  // A job the length byte cannot carry is refused before anything is sent;
  // the connection itself is not touched.
  if (DuLen > kMaxDataUnit) {
    pS7->Err = -1;
    return -1;
  }

  if (!TxProfiBlock(Com, pS7->Tx.H.Dst, pS7->Tx.H.Src, kFcRequest, JobPart(pS7->Tx), DuLen)) {
    // The PLC talked while we were sending: start over with the status
    // request, as port bring-up and as connect.
    SetErr(pS7, TRUE);
    return -1;
  }

  int r = 0;
  for (int Pass = 0; Pass < kMaxPasses; ++Pass) {
    r = RxProfiBlock(Com, pS7->Rx.H.Dst, pS7->Rx.H.Src, kFcRequest, JobPart(pS7->Rx));
    if (r != 1) break;
    // Only acknowledged: ask for the answer. The last pass polls as well;
    // that poll's answer is not read.
    DelayMS(kPollPauseMs);
    TxProfiBlock(Com, pS7->Tx.H.Dst, pS7->Tx.H.Src, kFcPoll, nullptr, 0);
  }

  if (r > kBlockHeadLen) pS7->Err = 0;
  return r;
}
