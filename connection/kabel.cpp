/* MPI adapter bring-up and shut-down: the 23-byte initialisation record, the
 * adapter's three-byte command blocks and the shut-down block. Every block
 * travels as one 3964R block. */
#include <cstddef>
#include <initializer_list>
#include <mutex>

#include "r3964.h"
#include "rs232.h"
#include "s7conn.h"

static_assert(sizeof(INIT_KABEL) == 23, "the initialisation record is 23 bytes on the line");
static_assert(offsetof(INIT_KABEL, MPIBaud) == 15);
static_assert(offsetof(INIT_KABEL, LocalMPIAdr) == 16);
static_assert(offsetof(INIT_KABEL, MaxMPIAdr) == 17);
static_assert(offsetof(INIT_KABEL, Ubk2) == 18);
static_assert(offsetof(INIT_KABEL, MasterId) == 22);

const INIT_KABEL _InitKabelData = {
    {0x01, 0x03, 0x02, 0x27, 0x00, 0x9F, 0x01, 0x3C, 0x00, 0x90, 0x01, 0x14, 0x00, 0x00, 0x14},
    0x02,
    0x00,
    0x00,
    {0x05, 0x01, 0x01, 0x03},
    0x80,
};
INIT_KABEL InitKabelData[COM_PORTS];
BOOL bInitKabelData = FALSE;

const BYTE TS1[3] = {0x01, 0x08, 0x02};
const BYTE TS2[3] = {0x01, 0x04, 0x02};
const BYTE TS3[3] = {0x01, 0x0C, 0x02};
const BYTE TS4[3] = {0x01, 0x08, 0x02};

namespace {

constexpr BYTE kMaxMPIAdr = 0x7E;  // highest station address on the bus

/* Answer buffers of the bring-up and of the command blocks (room for a whole
 * 3964R block each). */
thread_local BYTE KabelRxBuf[512];
thread_local BYTE TsRxBuf[512];

std::mutex InitKabelDataLock;  // the first bring-up on any port fills the table

/* Adapter speed code for the port's bus-speed selector. */
constexpr BYTE SpeedCode(DWORD MPIBaud) {
  switch (MPIBaud) {
    case 1:
      return 0x01;
    case 2:
      return 0x04;
    default:
      return 0x02;
  }
}
static_assert(SpeedCode(0) == 0x02 && SpeedCode(1) == 0x01 && SpeedCode(2) == 0x04 &&
              SpeedCode(3) == 0x02);

}  // namespace

BOOL TxTS(int Com, LPBYTE lpTs, int Len) {
  if (!Tx3964RBlock(Com, lpTs, Len)) return FALSE;
  return Rx3964RBlock(Com, TsRxBuf, AnswerWait) > 0 ? TRUE : FALSE;
}

BOOL InitKabel(int Com, int LocalMPIAdr) {
  if (!ValidPort(Com)) return FALSE;
  {
    const std::lock_guard<std::mutex> Guard(InitKabelDataLock);
    if (!bInitKabelData) {
      for (INIT_KABEL &Rec : InitKabelData) Rec = _InitKabelData;
      bInitKabelData = TRUE;
    }
  }
  INIT_KABEL &Rec = InitKabelData[Com];
  Rec.LocalMPIAdr = static_cast<BYTE>(LocalMPIAdr);
  Rec.MaxMPIAdr = kMaxMPIAdr;
  Rec.MPIBaud = SpeedCode(CStat[Com].MPIBaud);

  if (!Tx3964RBlock(Com, reinterpret_cast<LPBYTE>(&Rec), sizeof(INIT_KABEL))) return FALSE;
  const int n = Rx3964RBlock(Com, KabelRxBuf, AnswerWait);
  if (n <= 0) return FALSE;

  if (KabelRxBuf[0] == 0x00) {
    // this kind of adapter sends a second block; its contents do not matter
    return Rx3964RBlock(Com, KabelRxBuf, AnswerWait) > 0 ? TRUE : FALSE;
  }
  // Only an answer that really has a fourth byte is looked at there; a
  // shorter one counts as an answer without 'E' (the buffer may still hold a
  // byte of an earlier answer).
  if (n >= 4 && (KabelRxBuf[3] == 'E' || KabelRxBuf[3] == 'e')) {
    for (const BYTE *Ts : {TS1, TS2, TS3, TS4}) {
      if (!TxTS(Com, const_cast<LPBYTE>(Ts), 3)) return FALSE;
    }
  }
  return TRUE;
}

BOOL ExitKabel(int Com) {
  if (!ValidPort(Com)) return FALSE;
  const ComGuard Guard(Com);
  if (CStat[Com].Status == 0) return TRUE;
  return TxTS(Com, const_cast<LPBYTE>(TS2), 3);
}
