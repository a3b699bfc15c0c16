// Typed access: runs of bytes, words, double words and reals of any length,
// split into packets that each fit one read or write job, and the area calls
// that fix the memory area and the element kind.
#include <algorithm>

#include "rs232.h"
#include "s7int.h"

namespace {

// Packet limits in elements. On MPI no read answer and no write request
// exceeds 240 bytes from the job header on; on PPI a job fits one frame.
struct PAKET {
  int MaxMPI;
  int MaxPPI;
  int Unit;      // element size in bytes
  int AbFaktor;  // start advance per element of a packet
  bool bLock;    // byte and word runs hold the port lock and pause on PPI
};

constexpr PAKET RdB = {222, 90, 1, 1, true};
constexpr PAKET WrB = {212, 90, 1, 1, true};
constexpr PAKET RdW = {111, 45, 2, 1, true};
constexpr PAKET WrW = {106, 45, 2, 1, true};
constexpr PAKET RdDW = {55, 22, 4, 4, false};
constexpr PAKET WrDW = {53, 22, 4, 4, false};

static_assert(RdB.MaxMPI * RdB.Unit + 18 == 240 && WrB.MaxMPI * WrB.Unit + 28 == 240);
static_assert(RdW.MaxMPI * RdW.Unit + 18 == 240 && WrW.MaxMPI * WrW.Unit + 28 == 240);
static_assert(RdDW.MaxMPI * RdDW.Unit + 18 <= 240 && WrDW.MaxMPI * WrDW.Unit + 28 <= 240);
static_assert(RdB.MaxPPI * RdB.Unit <= s7job::MaxRdPPI && WrB.MaxPPI * WrB.Unit <= s7job::MaxWrPPI);

constexpr int PPIPause = 15;  // ms between byte and word jobs on PPI

// One run: PktCnt packets of the limit, the last one Rest elements. Any
// failing packet ends the run; packets done before it stay done.
BOOL PaketLauf(const PAKET &P, bool bWrite, LPS7 pS7, int BstNr, int Ab, int Anz, BYTE *pData,
               int Typ, int DataType) {
  if (pData == nullptr && static_cast<WORD>(Anz) > 0) return NoBuffer(pS7, FALSE);  // nothing sent
  const int wAnz = static_cast<WORD>(Anz);
  const int Max = pS7->SPSTyp ? P.MaxPPI : P.MaxMPI;
  int PktCnt = wAnz / Max;
  int Rest = wAnz % Max;
  if (Rest != 0)
    ++PktCnt;
  else
    Rest = Max;
  int PktAnz = std::min(wAnz, Max);
  int AktAb = static_cast<WORD>(Ab);
  BOOL bRes = FALSE;

  if (P.bLock) LockCom(pS7->Com);
  for (int i = 0; i < PktCnt; ++i) {
    if (P.bLock && i > 0 && pS7->SPSTyp) DelayMS(PPIPause);
    if (i == PktCnt - 1) PktAnz = Rest;
    const int r = bWrite ? S7Wr(pS7, BstNr, AktAb, PktAnz, pData, Typ, P.Unit, DataType, 0)
                         : S7Rd(pS7, BstNr, AktAb, PktAnz, pData, Typ, P.Unit, DataType, 0);
    if (r != 0) {
      bRes = FALSE;
      break;
    }
    bRes = TRUE;
    AktAb += PktAnz * P.AbFaktor;
    pData += PktAnz * P.Unit;
  }
  if (P.bLock) UnlockCom(pS7->Com);
  return bRes;
}

constexpr int TypE = S7_AREA_E;
constexpr int TypA = S7_AREA_A;
constexpr int TypM = S7_AREA_M;
constexpr int TypDB = S7_AREA_DB;
constexpr int TsWort = 2;   // bytes and words
constexpr int TsDWort = 6;  // double words
constexpr int TsReal = 8;   // reals

LPDWORD AlsDW(float *p) { return reinterpret_cast<LPDWORD>(p); }

}  // namespace

extern "C" {

// ---- core calls ----

BOOL S7RdB(LPS7 pS7, int BstNr, int AbByte, int Anz, LPBYTE pData, int Typ, int /*DatenType*/) {
  return PaketLauf(RdB, false, pS7, BstNr, AbByte, Anz, pData, Typ, TsWort);
}

BOOL S7WrB(LPS7 pS7, int BstNr, int AbWort, int Anz, LPBYTE pData, int Typ, int /*DatenType*/) {
  return PaketLauf(WrB, true, pS7, BstNr, AbWort, Anz, pData, Typ, TsWort);
}

BOOL S7RdW(LPS7 pS7, int BstNr, int AbWort, int Anz, LPWORD pData, int Typ, int DataType) {
  return PaketLauf(RdW, false, pS7, BstNr, AbWort, Anz, reinterpret_cast<BYTE *>(pData), Typ,
                   DataType);
}

BOOL S7WrW(LPS7 pS7, int BstNr, int AbWort, int Anz, LPWORD pData, int Typ, int DataType) {
  return PaketLauf(WrW, true, pS7, BstNr, AbWort, Anz, reinterpret_cast<BYTE *>(pData), Typ,
                   DataType);
}

BOOL S7RdDW(LPS7 pS7, int BstNr, int AbWort, int Anz, LPDWORD pData, int Typ, int DataType) {
  return PaketLauf(RdDW, false, pS7, BstNr, AbWort, Anz, reinterpret_cast<BYTE *>(pData), Typ,
                   DataType);
}

BOOL S7WrDW(LPS7 pS7, int BstNr, int AbWort, int Anz, LPDWORD pData, int Typ, int DataType) {
  return PaketLauf(WrDW, true, pS7, BstNr, AbWort, Anz, reinterpret_cast<BYTE *>(pData), Typ,
                   DataType);
}

// ---- words: start is a word number ----

BOOL S7RdDB(LPS7 pS7, int BstNr, int AbWort, int Anz, LPWORD pData) {
  return S7RdW(pS7, BstNr, AbWort, Anz, pData, TypDB, TsWort);
}
BOOL S7WrDB(LPS7 pS7, int BstNr, int AbWort, int Anz, LPWORD pData) {
  return S7WrW(pS7, BstNr, AbWort, Anz, pData, TypDB, TsWort);
}
BOOL S7RdMW(LPS7 pS7, int Ab, int Anz, LPWORD Buf) {
  return S7RdW(pS7, 0, Ab, Anz, Buf, TypM, TsWort);
}
BOOL S7WrMW(LPS7 pS7, int Ab, int Anz, LPWORD Buf) {
  return S7WrW(pS7, 0, Ab, Anz, Buf, TypM, TsWort);
}
BOOL S7RdAW(LPS7 pS7, int Ab, int Anz, LPWORD Buf) {
  return S7RdW(pS7, 0, Ab, Anz, Buf, TypA, TsWort);
}
BOOL S7WrAW(LPS7 pS7, int Ab, int Anz, LPWORD Buf) {
  return S7WrW(pS7, 0, Ab, Anz, Buf, TypA, TsWort);
}
BOOL S7RdEW(LPS7 pS7, int Ab, int Anz, LPWORD Buf) {
  return S7RdW(pS7, 0, Ab, Anz, Buf, TypE, TsWort);
}
BOOL S7WrEW(LPS7 pS7, int Ab, int Anz, LPWORD Buf) {
  return S7WrW(pS7, 0, Ab, Anz, Buf, TypE, TsWort);
}

// ---- bytes: start is a byte address ----

BOOL S7RdDBB(LPS7 pS7, int BstNr, int Ab, int Anz, LPBYTE Buf) {
  return S7RdB(pS7, BstNr, Ab, Anz, Buf, TypDB, TsWort);
}
BOOL S7WrDBB(LPS7 pS7, int BstNr, int Ab, int Anz, LPBYTE Buf) {
  return S7WrB(pS7, BstNr, Ab, Anz, Buf, TypDB, TsWort);
}
BOOL S7RdMB(LPS7 pS7, int Ab, int Anz, LPBYTE Buf) {
  return S7RdB(pS7, 0, Ab, Anz, Buf, TypM, TsWort);
}
BOOL S7WrMB(LPS7 pS7, int Ab, int Anz, LPBYTE Buf) {
  return S7WrB(pS7, 0, Ab, Anz, Buf, TypM, TsWort);
}
BOOL S7RdAB(LPS7 pS7, int Ab, int Anz, LPBYTE Buf) {
  return S7RdB(pS7, 0, Ab, Anz, Buf, TypA, TsWort);
}
BOOL S7WrAB(LPS7 pS7, int Ab, int Anz, LPBYTE Buf) {
  return S7WrB(pS7, 0, Ab, Anz, Buf, TypA, TsWort);
}
BOOL S7RdEB(LPS7 pS7, int Ab, int Anz, LPBYTE Buf) {
  return S7RdB(pS7, 0, Ab, Anz, Buf, TypE, TsWort);
}
BOOL S7WrEB(LPS7 pS7, int Ab, int Anz, LPBYTE Buf) {
  return S7WrB(pS7, 0, Ab, Anz, Buf, TypE, TsWort);
}

// ---- double words: start is a byte address ----

BOOL S7RdDBDW(LPS7 pS7, int BstNr, int AbWort, int Anz, LPDWORD pData) {
  return S7RdDW(pS7, BstNr, AbWort, Anz, pData, TypDB, TsDWort);
}
BOOL S7WrDBDW(LPS7 pS7, int BstNr, int AbWort, int Anz, LPDWORD pData) {
  return S7WrDW(pS7, BstNr, AbWort, Anz, pData, TypDB, TsDWort);
}
BOOL S7RdMDW(LPS7 pS7, int Ab, int Anz, LPDWORD Buf) {
  return S7RdDW(pS7, 0, Ab, Anz, Buf, TypM, TsDWort);
}
BOOL S7WrMDW(LPS7 pS7, int Ab, int Anz, LPDWORD Buf) {
  return S7WrDW(pS7, 0, Ab, Anz, Buf, TypM, TsDWort);
}
BOOL S7RdADW(LPS7 pS7, int Ab, int Anz, LPDWORD Buf) {
  return S7RdDW(pS7, 0, Ab, Anz, Buf, TypA, TsDWort);
}
BOOL S7WrADW(LPS7 pS7, int Ab, int Anz, LPDWORD Buf) {
  return S7WrDW(pS7, 0, Ab, Anz, Buf, TypA, TsDWort);
}
BOOL S7RdEDW(LPS7 pS7, int Ab, int Anz, LPDWORD Buf) {
  return S7RdDW(pS7, 0, Ab, Anz, Buf, TypE, TsDWort);
}
BOOL S7WrEDW(LPS7 pS7, int Ab, int Anz, LPDWORD Buf) {
  return S7WrDW(pS7, 0, Ab, Anz, Buf, TypE, TsDWort);
}

// ---- reals: 4-byte floats in host order, start is a byte address ----

BOOL S7RdDBReal(LPS7 pS7, int BstNr, int AbWort, int Anz, float *pData) {
  return S7RdDW(pS7, BstNr, AbWort, Anz, AlsDW(pData), TypDB, TsReal);
}
BOOL S7WrDBReal(LPS7 pS7, int BstNr, int AbWort, int Anz, float *pData) {
  return S7WrDW(pS7, BstNr, AbWort, Anz, AlsDW(pData), TypDB, TsReal);
}
BOOL S7RdMReal(LPS7 pS7, int Ab, int Anz, float *Buf) {
  return S7RdDW(pS7, 0, Ab, Anz, AlsDW(Buf), TypM, TsReal);
}
BOOL S7WrMReal(LPS7 pS7, int Ab, int Anz, float *Buf) {
  return S7WrDW(pS7, 0, Ab, Anz, AlsDW(Buf), TypM, TsReal);
}
BOOL S7RdAReal(LPS7 pS7, int Ab, int Anz, float *Buf) {
  return S7RdDW(pS7, 0, Ab, Anz, AlsDW(Buf), TypA, TsReal);
}
BOOL S7WrAReal(LPS7 pS7, int Ab, int Anz, float *Buf) {
  return S7WrDW(pS7, 0, Ab, Anz, AlsDW(Buf), TypA, TsReal);
}
BOOL S7RdEReal(LPS7 pS7, int Ab, int Anz, float *Buf) {
  return S7RdDW(pS7, 0, Ab, Anz, AlsDW(Buf), TypE, TsReal);
}
BOOL S7WrEReal(LPS7 pS7, int Ab, int Anz, float *Buf) {
  return S7WrDW(pS7, 0, Ab, Anz, AlsDW(Buf), TypE, TsReal);
}

}  // extern "C"
