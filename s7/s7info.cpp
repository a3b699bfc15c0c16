// Information services: the stations on the MPI bus (asked of the adapter),
// the length of a data block and the identification text of an S7-200.
#include <cstring>

#include "r3964.h"
#include "rs232.h"
#include "s7int.h"

extern "C" {

const BYTE CmdGetS7200Info[14] = {0x04, 0x01, 0x12, 0x0A, 0x10, 0x02, 0x00,
                                  0x10, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
// Its lengths (8 and 12) are overwritten high byte first before sending.
const MPIB1 S7BstInfoB1 = {0x32, 0x07, {0x00, 0x00, 0x02, 0x00}, 0x0008, 0x000C};
const BYTE CmdBstInfo[20] = {0x00, 0x01, 0x12, 0x04, 0x11, 0x43, 0x03, 0x00, 0xFF, 0x09,
                             0x00, 0x08, 0x30, 0x41, 0x30, 0x30, 0x30, 0x30, 0x30, 0x42};

}  // extern "C"

namespace {

thread_local char _Str[32];    // text of the last IToA call on this thread
thread_local BYTE RxBuf[512];  // answer of the adapter to the bus-member request

constexpr int BstInfoParamLen = 8;
constexpr int BstInfoDataLen = 12;
constexpr int BstInfoDBNrPos = 14;  // five ASCII digits in the request's Buf

constexpr BYTE MembersRequest[3] = {0x01, 0x07, 0x02};
constexpr int MembersAnswerLen = 133;  // 6 bytes not looked at, 127 station bytes
constexpr int MembersFirst = 6;
constexpr int MembersCount = 127;
constexpr BYTE NoStation = 0x10;

// The decimal text of Wert (taken as 16 bits) into Out (6 bytes), with at
// least Stellen digits.
void ZahlText(int Wert, int Stellen, char *Out) {
  const unsigned w = static_cast<WORD>(Wert);
  static constexpr unsigned Teiler[5] = {10000, 1000, 100, 10, 1};
  int Pos = 0;
  bool bGeschrieben = false;
  for (int i = 0; i < 5; ++i) {
    const unsigned Ziffer = (w / Teiler[i]) % 10;
    // Digit i stands for 10^(4-i); it is written when it is not 0, when a
    // digit came before it, when Stellen asks for it, or when it is the last.
    if (Ziffer != 0 || bGeschrieben || Stellen > 4 - i || i == 4) {
      Out[Pos++] = static_cast<char>('0' + Ziffer);
      bGeschrieben = true;
    }
  }
  Out[Pos] = '\0';
}

}  // namespace

extern "C" {

char *IToA(int Wert, int Stellen) {
  ZahlText(Wert, Stellen, _Str);
  return _Str;
}

int S7GetCPUInfo(LPS7 lpS7, char *InfoStr) {
  if (InfoStr == nullptr) return NoBuffer(lpS7, -1);
  S7200CPUINFO Info;
  std::memset(&Info, 0, sizeof Info);

  if (!CheckStatus(lpS7)) return -99;

  LockCom(lpS7->Com);
  MPIBLOCK &Tx = lpS7->Tx;
  s7job::StartJob(Tx, 0);
  std::memcpy(Tx.Buf, CmdGetS7200Info, sizeof CmdGetS7200Info);
  const int r = DoRdMPIComu(lpS7, 30, 16, reinterpret_cast<LPBYTE>(Info.CPUText));
  UnlockCom(lpS7->Com);

  if (r == 0) {
    // At most 16 characters and the zero byte, whatever the CPU sent.
    Info.CPUText[sizeof Info.CPUText - 1] = '\0';
    std::memcpy(InfoStr, Info.CPUText, std::strlen(Info.CPUText) + 1);
  }
  return r;
}

int S7GetDBLen(LPS7 lpS7, int DBNr) {
  if (!CheckStatus(lpS7)) return -99;

  if (lpS7->SPSTyp) {
    // An S7-200 has one data block; its size follows from the CPU kind,
    // the seventh character of the identification text.
    if (DBNr != 1) return 0;
    char Text[32] = {};
    if (S7GetCPUInfo(lpS7, Text) != 0) return 0;
    if (std::strlen(Text) < 7) return 1024;
    switch (Text[6]) {
      case '4':
        return 4096;
      case '5':
      case '6':
        return 5120;
      default:
        return 1024;
    }
  }

  LockCom(lpS7->Com);
  MPIBLOCK &Tx = lpS7->Tx;
  Tx.H.BlockKennung = 0xF1;
  Tx.B1 = S7BstInfoB1;
  PutBE16(reinterpret_cast<BYTE *>(&Tx.B1.LenBl1), BstInfoParamLen);
  PutBE16(reinterpret_cast<BYTE *>(&Tx.B1.LenBl2), BstInfoDataLen);
  std::memcpy(Tx.Buf, CmdBstInfo, sizeof CmdBstInfo);
  char Nr[6];  // this call's own text: another port's call may format at the same time
  ZahlText(DBNr, 5, Nr);
  std::memcpy(Tx.Buf + BstInfoDBNrPos, Nr, 5);
  S7BSTHEAD Head;
  std::memset(&Head, 0, sizeof Head);
  const int r = DoRdMPIComu(lpS7, 36, sizeof Head, reinterpret_cast<LPBYTE>(&Head));
  UnlockCom(lpS7->Com);

  if (r != 0) return 0;
  return GetBE16(Head.MCLen);
}

int S7GetMPIMembers(LPS7 lpS7, LPWORD pTeiln) {
  if (pTeiln == nullptr) return NoBuffer(lpS7, 0);
  const int Com = lpS7->Com;
  // A record whose init failed has no port to ask, and a PPI record has no
  // adapter: the request would only disturb the bus and wait out its time.
  if (!ValidPort(Com) || lpS7->SPSTyp) {
    lpS7->Err = -1;
    return 0;
  }
  // the port's lock for the whole call: its status is read and the request
  // and its answer travel as one step, whatever other records of the port do
  const ComGuard Guard(Com);
  if ((CStat[Com].Status == 0 || ComLost(Com)) && !CheckStatus(lpS7)) return -99;

  BYTE Anfrage[sizeof MembersRequest];
  std::memcpy(Anfrage, MembersRequest, sizeof Anfrage);
  const BOOL bTx = Tx3964RBlock(Com, Anfrage, sizeof Anfrage);
  const int n = Rx3964RBlock(Com, RxBuf, AnswerWait);
  if (bTx && n == MembersAnswerLen) {
    for (int i = 0; i < MembersCount; ++i) {
      const BYTE b = RxBuf[MembersFirst + i];
      pTeiln[i] = b == NoStation ? 0 : b;
    }
    return 1;
  }
  lpS7->Err = -1;
  return 0;
}

}  // extern "C"
