// Every S7 job kind with the answers taken from the fuzz input: only data
// that stand in the answer are handed over, a failed call writes no caller
// buffer (but for whole packets read before the failing one), and results,
// Err and the statuses stay within what the calls document.
#include <cstring>

#include "harness.hpp"
#include "rs232.h"

namespace fz {
namespace {

enum Job {
  RdBytes,
  WrBytes,
  RdWords,
  WrWords,
  RdDWords,
  WrDWords,
  RdReals,
  WrReals,
  RdBit,
  WrBit,
  RdTimers,
  WrTimers,
  RdCounters,
  WrCounters,
  DBLen,
  CPUInfo,
  RdDirect,
  WrDirect,
  Members,
  kJobs
};
struct Def {
  size_t elem;   // bytes per element in the caller's buffer
  int max;       // element counts tried: 0..max
  int mpi, ppi;  // elements per packet
};
constexpr Def kDefs[kJobs] = {
    {1, 600, 222, 90}, {1, 600, 212, 90}, {2, 300, 111, 45}, {2, 300, 106, 45}, {4, 130, 55, 22},
    {4, 130, 53, 22},  {4, 130, 55, 22},  {4, 130, 53, 22},  {1, 1, 0, 0},      {1, 1, 0, 0},
    {4, 300, 111, 45}, {4, 300, 106, 45}, {2, 300, 111, 45}, {2, 300, 106, 45}, {1, 1, 0, 0},
    {17, 1, 0, 0},     {2, 160, 0, 0},    {1, 300, 0, 0},    {254, 1, 0, 0}};
using Call = int (*)(S7I *, int db, int start, int anz, uint8_t *p);
template <class T>
T *As(uint8_t *p) {
  return reinterpret_cast<T *>(p);
}
constexpr Call kCalls[kJobs] = {
    [](S7I *s, int db, int st, int n, uint8_t *p) { return int{S7RdDBB(s, db, st, n, p)}; },
    [](S7I *s, int db, int st, int n, uint8_t *p) { return int{S7WrDBB(s, db, st, n, p)}; },
    [](S7I *s, int db, int st, int n, uint8_t *p) {
      return int{S7RdDB(s, db, st, n, As<WORD>(p))};
    },
    [](S7I *s, int db, int st, int n, uint8_t *p) {
      return int{S7WrDB(s, db, st, n, As<WORD>(p))};
    },
    [](S7I *s, int, int st, int n, uint8_t *p) { return int{S7RdMDW(s, st, n, As<DWORD>(p))}; },
    [](S7I *s, int, int st, int n, uint8_t *p) { return int{S7WrMDW(s, st, n, As<DWORD>(p))}; },
    [](S7I *s, int db, int st, int n, uint8_t *p) {
      return int{S7RdDBReal(s, db, st, n, As<float>(p))};
    },
    [](S7I *s, int db, int st, int n, uint8_t *p) {
      return int{S7WrDBReal(s, db, st, n, As<float>(p))};
    },
    [](S7I *s, int db, int st, int, uint8_t *p) {
      return int{S7Rd(s, 0, st, 1, p, S7_AREA_M, 1, 1, db & 7)};
    },
    [](S7I *s, int db, int st, int, uint8_t *p) {
      return int{S7Wr(s, 0, st, 1, p, S7_AREA_M, 1, 1, db & 7)};
    },
    [](S7I *s, int, int st, int n, uint8_t *p) { return int{S7RdTimer(s, st, n, As<DWORD>(p))}; },
    [](S7I *s, int, int st, int n, uint8_t *p) { return int{S7WrTimer(s, st, n, As<DWORD>(p))}; },
    [](S7I *s, int, int st, int n, uint8_t *p) { return int{S7RdCounter(s, st, n, As<WORD>(p))}; },
    [](S7I *s, int, int st, int n, uint8_t *p) { return int{S7WrCounter(s, st, n, As<WORD>(p))}; },
    [](S7I *s, int db, int, int, uint8_t *) {
      return int{S7GetDBLen(s, s->SPSTyp ? (db & 1) : db)};
    },
    [](S7I *s, int, int, int, uint8_t *p) { return int{S7GetCPUInfo(s, As<char>(p))}; },
    [](S7I *s, int db, int st, int n, uint8_t *p) {
      return int{S7Rd(s, db, st, n, p, S7_AREA_DB, 2, 2, 0)};
    },
    [](S7I *s, int, int st, int n, uint8_t *p) {
      return int{S7Wr(s, 0, st, n, p, S7_AREA_M, 1, 2, 0)};
    },
    [](S7I *s, int, int, int, uint8_t *p) { return int{S7GetMPIMembers(s, As<WORD>(p))}; },
};

CONTOMPI ExpectedConnect(const S7I &s7) {
  CONTOMPI c = _ConToMPI;
  if (!s7.SPSTyp)
    c.MPIAdr = static_cast<BYTE>(s7.MPIAdr), c.SrcTSAP = static_cast<BYTE>(s7.MPIAdr + 1);
  return c;
}

// The caller's data (host order) against the answer's bytes (big-endian, behind the data item
// head).
bool SameAsAnswer(const uint8_t *got, const S7I &s7, size_t n, size_t unit) {
  const BYTE *wire = s7.Rx.Buf + s7.Rx.B1.LenBl1 + 2 + 4;
  for (size_t i = 0; i < n; ++i)
    if (got[i] != wire[unit == 1 ? i : (i / unit) * unit + (unit - 1 - i % unit)]) return false;
  return true;
}

}  // namespace

void Prepare(Record &g, const std::vector<uint8_t> &h) {
  S7I &s7 = g.s7;
  std::memset(g.guard, 0x5A, sizeof g.guard);
  InitS7I(&s7);
  s7.ConToMPI = ExpectedConnect(s7);
  s7.Err = 0;
  const bool up = !(h[6] & 1);
  CStat[kCom].Status = up;
  s7.Status = up;
  LPBYTE tx = reinterpret_cast<LPBYTE>(&s7.Tx), rx = reinterpret_cast<LPBYTE>(&s7.Rx);
  if (up && s7.SPSTyp) tx[2] = rx[3] = kPlcAdr, tx[3] = rx[2] = 0;
  if (up && !s7.SPSTyp) tx[0] = 0x00, tx[1] = 0x0C, tx[2] = h[4], tx[3] = kPlcAdr + 1, tx[5] = h[5];
}

void CheckRecord(const Record &g) {
  const S7I &s = g.s7;
  for (uint8_t b : g.guard) Check(b == 0x5A, "record guard written");
  const CONTOMPI want = ExpectedConnect(s);
  Check(std::memcmp(&want, &s.ConToMPI, sizeof want) == 0 && std::memcmp(s.CmdRd, _CmdRd, 5) == 0 &&
            std::memcmp(s.CmdWr, _CmdWr, 5) == 0,
        "fields behind Rx written");
  Check(s.Err == 0 || s.Err == -1 || s.Err == 2 || s.Err == -9, "Err outside the documented codes",
        s.Err);
  Check((s.Status == TRUE || s.Status == FALSE) && CStat[kCom].Status <= 1, "status not 0/1",
        s.Status);
  Check(!s.Status || CStat[kCom].Status, "record connected on a port that is down");
}

void RunJob(Record &g, const std::vector<uint8_t> &h) {
  S7I &s7 = g.s7;
  const bool ppi = s7.SPSTyp != 0;
  Job j = static_cast<Job>(h[0] % kJobs);
  if (ppi && j == Members) j = CPUInfo;  // no adapter on PPI
  const Def &d = kDefs[j];
  const int anz = ((h[2] << 8) | h[1]) % (d.max + 1), start = h[3], limit = ppi ? d.ppi : d.mpi;
  const bool typed = limit > 0, read = (j < DBLen && j % 2 == 0) || j == RdDirect;
  const bool timer = j == RdTimers || j == WrTimers, counter = j == RdCounters || j == WrCounters;
  const size_t elem = d.elem > 4 ? 1 : d.elem,
               bytes = std::max<size_t>(1, d.elem > 4 ? d.elem : anz * elem);
  Guarded buf(bytes);
  uint8_t *p = buf.data();
  for (int i = 0; !read && i < anz; ++i) {  // valid values of the kind
    const DWORD t = (i * 7919u + start * 13u) % 9990001u;
    const WORD c = static_cast<WORD>((i * 37 + start) % 1000);
    if (timer) std::memcpy(p + 4 * i, &t, 4);
    if (counter) std::memcpy(p + 2 * i, &c, 2);
  }
  for (size_t i = 0; !read && !timer && !counter && i < bytes; ++i)
    p[i] = static_cast<uint8_t>(i * 31 + start);
  if (j == WrBit) p[0] &= 1;
  buf.Mark();
  const LONG err_before = s7.Err;
  const int r = kCalls[j](&s7, h[7], start, anz, p);
  const size_t last = buf.Changed("caller buffer guard written");
  CheckRecord(g);
  const LONG err = s7.Err;
  if (!read && j != CPUInfo && j != Members)
    Check(last == 0, "a write changed the caller's buffer", j);
  if (typed) {
    Check(r == 0 || r == 1, "packet call result not a BOOL", r);
    if (anz == 0)
      return Check(r == 0 && err == err_before && last == 0, "Anz 0 did something", r, err);
    if (r == 0) {
      Check(err == -1 || err == 2, "failure without an error code", err);
      Check(err != -1 || !s7.Status, "Err -1 with the record still connected");
      const size_t allowed = timer || counter ? 0 : (anz - 1) / limit * limit * elem;
      return Check(last <= allowed, "failed read wrote the failing packet's part",
                   static_cast<long>(last), j);
    }
    Check(err == 0, "success with Err set", err);
    for (int i = 0; read && (timer || counter) && i < anz; ++i) {
      DWORD v = 0;
      std::memcpy(&v, p + elem * i, elem);
      Check(v <= (timer ? 9990000u : 999u), "timer or counter value out of range",
            static_cast<long>(v));
    }
    const int rest = anz % limit == 0 ? limit : anz % limit;
    if (read && !timer && !counter)  // the last packet's data are the last answer's
      Check(SameAsAnswer(p + (anz - rest) * elem, s7, rest * elem, elem),
            "read data differ from the answer", j);
  } else if (j == DBLen) {
    Check(r == -99 || (r >= 0 && r <= 65535), "DB length out of range", r);
    Check(!ppi || r == -99 || r == 0 || r == 1024 || r == 4096 || r == 5120, "PPI DB length", r);
    Check(r <= 0 || err == 0, "DB length with Err set", err);
  } else if (j == Members) {
    Check(r == 0 || r == 1 || r == -99, "member list result", r);
    Check(r == 1 || last == 0, "failed member list wrote the buffer");
    Check(r != 0 || err == -1, "failed member list without Err -1", err);
    for (int i = 0; r == 1 && i < 127; ++i)
      Check(As<WORD>(p)[i] <= 0xFF && As<WORD>(p)[i] != 0x10, "member entry", i);
  } else {  // bits, direct reads and writes, CPU text
    const bool big = (j == RdDirect && anz * 2 > (ppi ? 234 : 292)) ||
                     (j == WrDirect && anz > (ppi ? 200 : 282));
    Check(r == 0 || r == 1 || r == -1 || r == -99, "job result outside 0/1/-1/-99", r);
    Check(r != 0 || err == 0, "success with Err set", err);
    Check(r != 1 || err == 2, "refusal without Err 2", err);
    Check(r != -99 || (!s7.Status && err == -1), "-99 with the record usable", err);
    Check(r != -1 || err == -1 || err == 2, "-1 without an error code", err);
    Check(r != -1 || err != -1 || big || (!s7.Status && CStat[kCom].Status == 0),
          "Err -1 with the port up", err);
    if (!read && j != CPUInfo) return;
    Check(r == 0 || last == 0, "failed read wrote the buffer", j, r);
    Check(r != -1 || big || (err == -1 && CStat[kCom].Status == 0),
          "failed read did not mark the port", err);
    if (r == 0 && j == CPUInfo)
      Check(std::memchr(p, 0, 17) != nullptr, "CPU text without its zero byte");
    if (r == 0 && j != CPUInfo)
      Check(SameAsAnswer(p, s7, j == RdBit ? 1 : anz * 2, j == RdBit ? 1 : 2),
            "read data differ from the answer", j);
  }
}

}  // namespace fz
