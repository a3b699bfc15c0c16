// Read and write jobs: one S7 read-variable or write-variable job with one
// item per call, built in the record's transmit block, and the byte-order
// routines between host order and the big-endian order of PLC data.
#include <bit>
#include <cstring>

#include "s7int.h"

// Caller buffers hold host order; the swaps below turn big-endian PLC data
// into it by exchanging bytes, which is right on little-endian hosts only.
static_assert(std::endian::native == std::endian::little, "host order is little-endian");

extern "C" {

const MPIB1 S7RWB1 = {0x32, 0x01, {0x00, 0x00, 0x02, 0x00}, 0x0000, 0x0000};
const BYTE _CmdRd[14] = {0x04, 0x01, 0x12, 0x0A, 0x10, 0x02, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const BYTE _CmdWr[14] = {0x05, 0x01, 0x12, 0x0A, 0x10, 0x02, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

}  // extern "C"

namespace {

constexpr BYTE TypCounter = 0x1C;
constexpr BYTE TypTimer = 0x1D;

// Data transport sizes of a write job's data item.
constexpr BYTE DataBit = 0x03;
constexpr BYTE DataBits = 0x04;    // bytes and words, length in bits
constexpr BYTE DataOctets = 0x09;  // timers and counters, length in bytes

bool IsTimerCounter(BYTE Typ) { return Typ == TypCounter || Typ == TypTimer; }

// Byte-wise: the buffers may be any byte position of a block or a caller's
// float array, so no 16- or 32-bit loads are made.
void SwapBytes16(BYTE *p, DWORD Cnt) {
  for (DWORD i = 0; i < Cnt; ++i, p += 2) {
    const BYTE b = p[0];
    p[0] = p[1];
    p[1] = b;
  }
}

void SwapHalves32(BYTE *p, DWORD Cnt) {
  for (DWORD i = 0; i < Cnt; ++i, p += 4) {
    BYTE h[2];
    std::memcpy(h, p, 2);
    std::memmove(p, p + 2, 2);
    std::memcpy(p + 2, h, 2);
  }
}

// Puts bytes 5 to 13 of a read or write item: transport size, item count,
// DB number, area and the 24-bit address.
void FillItem(BYTE *Cmd, BYTE Typ, BYTE DataType, WORD Count, WORD BstNr, WORD AbWort, WORD Unit,
              BYTE BitNr) {
  BYTE TSize;
  DWORD Adr;  // 32 bits; the low 24 travel
  switch (DataType) {
    case 0x01:
      TSize = 0x01;
      Adr = static_cast<DWORD>(AbWort) * Unit * 8u + BitNr;
      break;
    case 0x06:
    case 0x08:
      TSize = 0x02;
      Adr = static_cast<DWORD>(AbWort) * 8u;
      break;
    case TypCounter:
    case TypTimer:
      TSize = DataType;
      Adr = AbWort;
      break;
    default:
      TSize = 0x02;
      Adr = static_cast<DWORD>(AbWort) * Unit * 8u;
      break;
  }
  Cmd[5] = TSize;
  PutBE16(Cmd + 6, Count);
  PutBE16(Cmd + 8, BstNr);
  Cmd[10] = Typ;
  Cmd[11] = static_cast<BYTE>(Adr >> 16);
  Cmd[12] = static_cast<BYTE>(Adr >> 8);
  Cmd[13] = static_cast<BYTE>(Adr);
}

DWORD MaxWrBytes(const S7I *pS7) { return pS7->SPSTyp ? s7job::MaxWrPPI : s7job::MaxWrMPI; }
DWORD MaxRdBytes(const S7I *pS7) { return pS7->SPSTyp ? s7job::MaxRdPPI : s7job::MaxRdMPI; }

}  // namespace

extern "C" {

void SwapData(LPWORD Buf, int Cnt) {
  if (Cnt <= 0) return;
  SwapBytes16(reinterpret_cast<BYTE *>(Buf), static_cast<DWORD>(Cnt));
}

void SwapDWord(LPVOID _Buf, int Cnt) {
  if (Cnt <= 0) return;
  SwapHalves32(static_cast<BYTE *>(_Buf), static_cast<DWORD>(Cnt));
}

int S7Wr(LPS7 pS7, int BstNr, int AbWort, int Anz, LPVOID pData, int Typ, int Unit, int DataType,
         int BitNr) {
  if (pData == nullptr && static_cast<WORD>(Anz) > 0) return NoBuffer(pS7, -1);  // nothing sent
  const WORD wBstNr = static_cast<WORD>(BstNr);
  const WORD wAb = static_cast<WORD>(AbWort);
  const WORD wUnit = static_cast<WORD>(Unit);
  const BYTE bTyp = static_cast<BYTE>(Typ);
  const BYTE bDataType = static_cast<BYTE>(DataType);
  WORD wAnz = static_cast<WORD>(Anz);

  // Counted in 32 bits: 32768 words of 2 bytes must not wrap to 0. A job
  // that cannot carry the data is refused before the connection is touched.
  const DWORD DataBytes = static_cast<DWORD>(wAnz) * wUnit;
  if (DataBytes > MaxWrBytes(pS7)) {
    pS7->Err = 2;
    return -1;
  }

  if (!CheckStatus(pS7)) return -99;

  if (!IsTimerCounter(bTyp)) wAnz = static_cast<WORD>(wAnz * wUnit);

  MPIBLOCK &Tx = pS7->Tx;
  s7job::StartJob(Tx, DataBytes + s7job::DataHeadLen);
  FillItem(pS7->CmdWr, bTyp, bDataType, wAnz, wBstNr, wAb, wUnit, static_cast<BYTE>(BitNr));
  std::memcpy(Tx.Buf, pS7->CmdWr, s7job::ItemLen);

  BYTE *Data = Tx.Buf + s7job::ItemLen;
  Data[0] = 0x00;
  switch (bDataType) {
    case 0x01:
      Data[1] = DataBit;
      PutBE16(Data + 2, wAnz);
      break;
    case TypCounter:
    case TypTimer:
      Data[1] = DataOctets;
      PutBE16(Data + 2, DataBytes);
      break;
    default:
      Data[1] = DataBits;
      PutBE16(Data + 2, static_cast<WORD>(wAnz * 8u));
      break;
  }

  BYTE *Payload = Data + s7job::DataHeadLen;
  if (DataBytes > 0) std::memcpy(Payload, pData, DataBytes);
  if (wUnit > 1) SwapBytes16(Payload, DataBytes / 2);
  if (wUnit > 3) SwapHalves32(Payload, DataBytes / 4);

  return DoWrMPIComu(pS7, static_cast<int>(DataBytes) + 34);
}

int S7Rd(LPS7 pS7, int BstNr, int AbWort, int Anz, LPVOID pData, int Typ, int Unit, int DataType,
         int BitNr) {
  if (pData == nullptr && static_cast<WORD>(Anz) > 0) return NoBuffer(pS7, -1);  // nothing sent
  const WORD wBstNr = static_cast<WORD>(BstNr);
  const WORD wAb = static_cast<WORD>(AbWort);
  const WORD wUnit = static_cast<WORD>(Unit);
  const BYTE bTyp = static_cast<BYTE>(Typ);
  const BYTE bDataType = static_cast<BYTE>(DataType);
  WORD wAnz = static_cast<WORD>(Anz);

  // Expected data bytes, in 32 bits: timers and counters are 2 bytes each,
  // everything else Anz elements of Unit bytes. An answer that could not fit
  // the receive block is not asked for.
  const DWORD Expected =
      IsTimerCounter(bTyp) ? static_cast<DWORD>(wAnz) * 2u : static_cast<DWORD>(wAnz) * wUnit;
  if (Expected > MaxRdBytes(pS7)) {
    pS7->Err = 2;
    return -1;
  }

  if (!CheckStatus(pS7)) return -99;

  if (!IsTimerCounter(bTyp)) wAnz = static_cast<WORD>(wAnz * wUnit);

  MPIBLOCK &Tx = pS7->Tx;
  s7job::StartJob(Tx, 0);
  FillItem(pS7->CmdRd, bTyp, bDataType, wAnz, wBstNr, wAb, wUnit, static_cast<BYTE>(BitNr));
  std::memcpy(Tx.Buf, pS7->CmdRd, s7job::ItemLen);

  const int r = DoRdMPIComu(pS7, 30, static_cast<int>(Expected), static_cast<LPBYTE>(pData));
  if (r == 0) {
    BYTE *p = static_cast<BYTE *>(pData);
    if (wUnit > 1) SwapBytes16(p, Expected / 2);
    if (wUnit > 3) SwapHalves32(p, Expected / 4);
  }
  return r;
}

}  // extern "C"
