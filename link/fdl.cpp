// PROFIBUS FDL frames on the PPI line to an S7-200: building and sending
// SD1/SD2 frames, receiving and checking SD1, SD2, SD3 and the short
// acknowledgement. Uses only the serial layer and keeps no state. Once a
// frame's length is known, the rest of it is received as a counted block,
// which lets it collect in the driver and takes it in few reads.
#include "fdl.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "rs232.h"
#include "s7trace.h"

namespace {

// Waits in ticks of 55 ms: the first byte of a frame, and every further byte.
constexpr LONG kFirstByteWait = 18;
constexpr LONG kNextByteWait = 9;

// The length byte counts DA, SA and FC as well as the data unit.
constexpr int kFdlHeadLen = 3;
constexpr int kMaxDataUnit = 255 - kFdlHeadLen;  // 252
// Raw frame: 68 LE LEr 68, LE bytes, FCS, ED.
constexpr int kMaxRawFrame = 255 + 6;  // 261
// SD2 frame without its data unit: 68 LE LEr 68 DA SA FC ... FCS ED.
constexpr int kSd2Overhead = 9;
// The answer's length counts a 6-byte block header before the data, as on
// the MPI path.
constexpr int kBlockHeadLen = 6;
constexpr int kFrameBufSize = 280;
static_assert(kFrameBufSize >= kMaxRawFrame, "frame buffer holds the longest raw frame");

BYTE Sum(const BYTE *Buf, int Len) {
  unsigned Fcs = 0;
  for (int i = 0; i < Len; ++i) Fcs += Buf[i];
  return static_cast<BYTE>(Fcs & 0xFF);
}

}  // namespace

BYTE GetFCS(LPBYTE Buf, int Len) {
  if (Buf == nullptr || Len <= 0) return 0;
  return Sum(Buf, Len);
}

BOOL TxProfiBlock(int Com, int Dst, int Src, int FC, LPBYTE Buffer, int Len) {
  // A data unit the length byte cannot describe, or data announced without a
  // buffer, would put a malformed frame on the line: refuse before sending.
  if (Len > kMaxDataUnit) return FALSE;
  if (Len > 0 && Buffer == nullptr) return FALSE;

  // The whole frame is handed to the line in one call.
  std::array<BYTE, kFrameBufSize> Out;
  int n = 0;
  if (Len > 0) {
    const BYTE Le = static_cast<BYTE>(Len + kFdlHeadLen);
    Out[n++] = FDL_SD2;
    Out[n++] = Le;
    Out[n++] = Le;
    Out[n++] = FDL_SD2;
  } else {
    Out[n++] = FDL_SD1;
  }
  const BYTE Da = static_cast<BYTE>(Dst);
  const BYTE Sa = static_cast<BYTE>(Src);
  const BYTE Fc = static_cast<BYTE>(FC);
  Out[n++] = Da;
  Out[n++] = Sa;
  Out[n++] = Fc;

  // The station talks as the data unit starts: send up to its first byte,
  // give up the frame and leave the station's byte for the next receive.
  if (Len > 0 && ComCInQ(Com)) {
    Out[n++] = Buffer[0];
    ComTxBuf(Com, Out.data(), n);
    S7TRACE(TraceFdlTx(Com, Dst, Src, FC, Buffer, 1, "abandoned, the station talks"));
    return FALSE;
  }
  unsigned Fcs = Da + Sa + Fc;
  for (int i = 0; i < Len; ++i) {
    Out[n++] = Buffer[i];
    Fcs += Buffer[i];
  }
  Out[n++] = static_cast<BYTE>(Fcs & 0xFF);
  Out[n++] = FDL_ED;
  ComTxBuf(Com, Out.data(), n);
  S7TRACE(TraceFdlTx(Com, Dst, Src, FC, Buffer, Len, nullptr));
  return TRUE;
}

static int RxFrame(int Com, LPBYTE Buffer) {
  if (!ComWaitC(Com, &Buffer[0], kFirstByteWait)) return 0;

  switch (Buffer[0]) {
    case FDL_SD1: {
      // 10 DA SA FC FCS ED
      if (ComRxBlock(Com, &Buffer[1], 5) < 5) return -1;
      if (Sum(&Buffer[1], 3) != Buffer[4] || Buffer[5] != FDL_ED) return -1;
      return 6;
    }
    case FDL_SD2: {
      // 68 LE LEr 68 DA SA FC DU FCS ED
      if (!ComWaitC(Com, &Buffer[1], kNextByteWait)) return -1;
      if (!ComWaitC(Com, &Buffer[2], kNextByteWait)) return -1;
      if (Buffer[1] != Buffer[2]) return -1;
      const int Le = Buffer[1];
      // Buffer[3 .. Le + 5]: at most index 260 of the 261 bytes.
      if (ComRxBlock(Com, &Buffer[3], Le + 3) < Le + 3) return -1;
      // LE counts DA, SA and FC at least: a smaller one is a damaged frame,
      // judged once the frame has been read, so nothing of it is left over.
      if (Le < kFdlHeadLen) return -1;
      if (Buffer[3] != FDL_SD2) return -1;
      if (Sum(&Buffer[4], Le) != Buffer[Le + 4] || Buffer[Le + 5] != FDL_ED) return -1;
      return Le + 6;
    }
    case FDL_SD3: {
      // A2 DA SA FC DU(8) FCS ED
      if (ComRxBlock(Com, &Buffer[1], 13) < 13) return -1;
      if (Sum(&Buffer[1], 11) != Buffer[12] || Buffer[13] != FDL_ED) return -1;
      return 14;
    }
    case FDL_SC:
      return 1;
    default:
      // Not the start of a frame we know (the token too): dropped.
      return 0;
  }
}

int _RxProfiBlock(int Com, LPBYTE Buffer) {
  if (Buffer == nullptr) return 0;
  const int n = RxFrame(Com, Buffer);
  S7TRACE(TraceFrame(Com, TRACE_RX, Buffer, n, nullptr));
  return n;
}

int RxProfiBlock(int Com, int Dst, int Src, int /*FC*/, LPBYTE Buffer) {
  std::array<BYTE, kFrameBufSize> Frame{};
  const int n = _RxProfiBlock(Com, Frame.data());

  if (n > kSd2Overhead) {
    if (Frame[0] != FDL_SD2 || Frame[4] != static_cast<BYTE>(Dst) ||
        Frame[5] != static_cast<BYTE>(Src) || Buffer == nullptr)
      return 0;
    // The receiver has judged LE; the copy is bounded all the same.
    const int DuLen = std::min(n - kSd2Overhead, kMaxDataUnit);
    std::memcpy(Buffer, &Frame[7], static_cast<size_t>(DuLen));
    return DuLen + kBlockHeadLen;
  }
  if (n == 1) {
    if (Buffer != nullptr) Buffer[0] = FDL_SC;
    return 1;
  }
  return 0;
}
