/* 3964R block procedure between the PC and the MPI adapter.
 *
 * A block on the line: STX from the sender, DLE from the receiver, the data
 * with every 0x10 doubled, DLE ETX, the BCC (XOR of everything from the first
 * data byte up to and including ETX, sent once), then DLE (taken) or NAK
 * (refused) from the receiver. The PC always yields: when the adapter starts
 * a block at the same moment, the PC takes the adapter's block first (and
 * throws it away), then tries its own again. */
#include "r3964.h"

#include <termios.h>

#include "rs232.h"
#include "s7conn.h"
#include "s7trace.h"

thread_local BYTE DummyBuf[512];

namespace {

constexpr int kRxRoom = 512;        // room a receive destination must have
constexpr LONG kBlockAnswer = 40;   // wait for DLE/NAK after the trailer
constexpr LONG kCharWait = 9;       // wait for each byte inside a block
constexpr LONG kBccWaitDummy = 18;  // wait for the BCC in the collision receiver
constexpr LONG kClearWait = 140;    // wait for a block found waiting before sending
constexpr int kSetupTries = 3;      // STX attempts per transmission
constexpr int kTransmissions = 3;   // transmissions of one block (NAK answers)

static_assert(sizeof(DummyBuf) == kRxRoom, "the discard buffer takes a whole block");

/* Outcome of the data part of a received block. */
enum class BodyEnd {
  Complete,  // DLE ETX and a matching BCC
  BadBcc,    // DLE ETX and a wrong BCC
  NoBcc,     // DLE ETX, then no BCC within the wait
  CharTime,  // silence inside the block
  TooLong,   // 512 data bytes stored without DLE ETX
};

/* How many data bytes the block being received has at least, judged from
 * its first Count stored bytes (Count or less: nothing more is known). Every
 * block the adapter sends while a connection runs is at least its 7-byte
 * acknowledgement; one that carries an S7 PDU (kind 0xF1, then 0x32) names
 * its length in the PDU's header: 6 bytes of adapter header, 10 bytes of PDU
 * header (12 for an answer), the parameter and data lengths. Only a hint for
 * how long the receiver lets the rest collect: a block is judged by DLE ETX
 * and the BCC alone, and a wrong hint costs at most a short wait. */
constexpr int kLeastBlock = 7;
constexpr int kPduHead = 16;
int LeastLength(const BYTE *Data, int Count) {
  if (Count < 1) return 0;  // the first byte comes after the partner's turnaround
  if (Count < kLeastBlock) return kLeastBlock;
  if (Data[4] != 0xF1 || Data[6] != 0x32) return Count;
  if (Count < kPduHead) return kPduHead;
  const int Head = (Data[7] == 0x02 || Data[7] == 0x03) ? 12 : 10;
  return 6 + Head + GetBE16(&Data[12]) + GetBE16(&Data[14]);
}

/* The data part of a block, after the DLE that answered the sender's STX:
 * stores the data bytes into Data (room for 512) and counts them in Count.
 * Every pass reads one byte or gives up, and every pass either stores a byte
 * or counts a DLE; since two DLEs store one byte, at most 2 x 512 bytes are
 * read before the block is refused. */
BodyEnd RxBody(int Com, LPBYTE Data, LONG BccWait, int &Count) {
  int i = 0;
  int DLEAnz = 0;
  BYTE BCC = 0;
  BYTE c = 0;
  while (i >= 0 && i < kRxRoom) {
    // what is known to follow, DLE ETX BCC included, collects in the driver
    const int Least = LeastLength(Data, i);
    if (Least > i) ComGather(Com, Least - i + 3);
    if (!ComWaitC(Com, &c, kCharWait)) {
      Count = i;
      return BodyEnd::CharTime;
    }
    BCC ^= c;
    if (c == DLE) {
      // of a doubled DLE exactly one 0x10 is stored
      if (DLEAnz & 1) Data[i++] = DLE;
      ++DLEAnz;
    } else if (c == ETX && (DLEAnz & 1)) {
      Count = i;
      BYTE Bcc = 0;
      if (!ComWaitC(Com, &Bcc, BccWait)) return BodyEnd::NoBcc;
      return Bcc == BCC ? BodyEnd::Complete : BodyEnd::BadBcc;
    } else {
      // also a byte after a lone DLE: stored as data, DLEAnz stays odd
      Data[i++] = c;
    }
  }
  Count = i;
  return BodyEnd::TooLong;
}

/* After the collision receiver has answered the adapter's block: the answer
 * must reach the line before anything is thrown away, so wait until the
 * output has gone and then drop only what came in (buffered input and the
 * look-ahead). Dropping unsent output here would swallow the acknowledgement
 * and make the adapter repeat its block. */
void FlushAfterCollision(int Com) {
  RS232 &Port = RsIo[Com];
  if (ComIsInit(Com) && Port.hCom >= 0) {
    tcdrain(Port.hCom);
    tcflush(Port.hCom, TCIFLUSH);
  }
  Port.bUnget = FALSE;
  Port.RxIn = 0;
  Port.RxOut = 0;
}

/* The data part of a block once the partner has accepted the start: the
 * data with every DLE doubled, DLE ETX and the BCC, handed to the line in one
 * call (in pieces of the staging buffer for a longer block). */
void SendBlockBody(int Com, const BYTE *Buffer, int Len) {
  BYTE Out[2 * kRxRoom + 3];
  int n = 0;
  BYTE BCC = 0;
  for (int i = 0; i < Len; ++i) {
    const BYTE c = Buffer[i];
    Out[n++] = c;
    BCC ^= c;
    if (c == DLE) {
      Out[n++] = c;
      BCC ^= c;
    }
    if (n >= 2 * kRxRoom) {
      ComTxBuf(Com, Out, n);
      n = 0;
    }
  }
  Out[n++] = DLE;
  Out[n++] = ETX;
  Out[n++] = BCC ^ DLE ^ ETX;
  ComTxBuf(Com, Out, n);
}

/* Connection set-up: STX until the partner answers DLE, at most 3 tries. */
bool Connect(int Com) {
  for (int Versuche = 0; Versuche < kSetupTries; ++Versuche) {
    ComTxC(Com, STX);
    S7TRACE(TraceCtl(Com, TRACE_TX, STX));
    BYTE c = 0;
    const LONG Wait = __atomic_load_n(&S7TimeOutwert, __ATOMIC_RELAXED);  // afresh every time
    if (!ComWaitC(Com, &c, Wait)) {
      S7TRACE(TraceText(Com, "3964R no answer to STX"));
      continue;
    }
    S7TRACE(TraceCtl(Com, TRACE_RX, c));
    if (c == DLE) return true;
    bool Collision = false;
    if (c == NAK) {
      // whatever comes next is judged; silence leaves the NAK in hand
      BYTE Next = 0;
      if (ComWaitC(Com, &Next, Wait)) c = Next;
    }
    if (c == STX) {
      Rx3964RBlockDummy(Com, DummyBuf);
      Collision = true;
    }
    if (Collision)
      FlushAfterCollision(Com);
    else
      ComClr(Com);
  }
  return false;
}

}  // namespace

BOOL Tx3964RBlock(int Com, LPBYTE Buffer, int Len) {
  if (!ValidPort(Com) || Len < 0 || (Len > 0 && Buffer == nullptr)) return FALSE;

  // a block found waiting is taken and thrown away (a stray byte ends it)
  if (ComCInQ(Com)) Rx3964RBlock(Com, DummyBuf, kClearWait);

  for (int RepeatCnt = 0; RepeatCnt < kTransmissions; ++RepeatCnt) {
    if (!Connect(Com)) return FALSE;

    if (Len > 0 && ComCInQ(Com)) {
      // the partner talks while we send: abandon the block after its first
      // character (and that character's double), then NAK
      const bool Twice = Buffer[0] == DLE;
      const BYTE Head[] = {Buffer[0], static_cast<BYTE>(Twice ? DLE : NAK), NAK};
      ComTxBuf(Com, Head, Twice ? 3 : 2);
      S7TRACE(TraceBlock(Com, TRACE_TX, Buffer, 1, "abandoned, the partner talks: NAK"));
      return FALSE;
    }
    SendBlockBody(Com, Buffer, Len);
    S7TRACE(TraceBlock(Com, TRACE_TX, Buffer, Len, nullptr));

    BYTE c = 0;
    if (!ComWaitC(Com, &c, kBlockAnswer)) {
      S7TRACE(TraceText(Com, "3964R no answer to the block"));
      return FALSE;
    }
    S7TRACE(TraceCtl(Com, TRACE_RX, c));
    if (c == DLE) return TRUE;
    if (c != NAK) return FALSE;
  }
  ComTxC(Com, NAK);
  S7TRACE(TraceText(Com, "3964R block refused %d times, NAK", kTransmissions));
  return FALSE;
}

int Rx3964RBlock(int Com, LPBYTE Data, int WaitTime) {
  if (!ValidPort(Com) || Data == nullptr) return -3;
  BYTE c = 0;
  if (!ComWaitC(Com, &c, static_cast<WORD>(WaitTime)) || c != STX) {
    S7TRACE(TraceText(Com, "3964R no block received"));
    return -3;
  }
  ComTxC(Com, DLE);
  S7TRACE(TraceCtl(Com, TRACE_RX, STX));

  int Count = 0;
  switch (RxBody(Com, Data, kCharWait, Count)) {
    case BodyEnd::Complete:
      ComTxC(Com, DLE);
      S7TRACE(TraceBlock(Com, TRACE_RX, Data, Count, nullptr));
      return Count;
    case BodyEnd::BadBcc:
    case BodyEnd::NoBcc:
      ComTxC(Com, NAK);
      S7TRACE(TraceBlock(Com, TRACE_RX, Data, Count, "BCC wrong or missing, NAK"));
      return -3;
    case BodyEnd::CharTime:
      S7TRACE(TraceBlock(Com, TRACE_RX, Data, Count, "broken off, silence inside the block"));
      return -1;
    case BodyEnd::TooLong:
      break;
  }
  S7TRACE(TraceBlock(Com, TRACE_RX, Data, Count, "too long, refused"));
  return -2;
}

int Rx3964RBlockDummy(int Com, LPBYTE Data) {
  if (!ValidPort(Com) || Data == nullptr) return -3;
  // the partner's STX has already been read
  ComTxC(Com, DLE);

  int Count = 0;
  switch (RxBody(Com, Data, kBccWaitDummy, Count)) {
    case BodyEnd::Complete:
      ComTxC(Com, DLE);
      S7TRACE(TraceBlock(Com, TRACE_RX, Data, Count, "collision, the partner's block dropped"));
      return Count;
    case BodyEnd::BadBcc:
      ComTxC(Com, NAK);
      return Count;
    case BodyEnd::NoBcc:
      return -3;
    case BodyEnd::CharTime:
      return -1;
    case BodyEnd::TooLong:
      break;
  }
  return -2;
}
