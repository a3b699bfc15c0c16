// The S7 job kinds that the fuzz harnesses, the fault matrix and the soak run:
// how each is called and what write data it may carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>

#include "s7conn.h"

namespace fz {

// clang-format off
enum Job { RdBytes, WrBytes, RdWords, WrWords, RdDWords, WrDWords, RdReals, WrReals, RdBit, WrBit,
           RdTimers, WrTimers, RdCounters, WrCounters, DBLen, CPUInfo, RdDirect, WrDirect, Members, kJobs };
// clang-format on
struct JobDef {
  size_t elem;        // bytes per element in the caller's buffer (above 4: the buffer's size)
  int max, mpi, ppi;  // element counts the fuzzer tries (0..max); elements per packet
};
// clang-format off
inline constexpr JobDef kJobDefs[kJobs] = {
    {1, 600, 222, 90}, {1, 600, 212, 90}, {2, 300, 111, 45}, {2, 300, 106, 45}, {4, 130, 55, 22},
    {4, 130, 53, 22}, {4, 130, 55, 22}, {4, 130, 53, 22}, {1, 1, 0, 0}, {1, 1, 0, 0}, {4, 300, 111, 45},
    {4, 300, 106, 45}, {2, 300, 111, 45}, {2, 300, 106, 45}, {1, 1, 0, 0}, {17, 1, 0, 0}, {2, 160, 0, 0},
    {1, 300, 0, 0}, {254, 1, 0, 0}};
// clang-format on

inline bool IsWrite(Job j) { return (j < DBLen && j % 2) || j == WrDirect; }
inline bool Succeeded(Job j, int r) {
  return j == RdBit || j == WrBit || j == CPUInfo || j == RdDirect || j == WrDirect ? r == 0
         : j == DBLen                                                               ? r > 0
                                                                                    : r == 1;
}
inline DWORD Bcd(uint16_t w) { return ((w >> 8) & 0xF) * 100 + ((w >> 4) & 0xF) * 10 + (w & 0xF); }
inline constexpr DWORD kTimeBase[] = {10, 100, 1000, 10000};  // ms
inline DWORD TimerMs(uint16_t w) { return Bcd(w) * kTimeBase[w >> 12 & 3]; }

// Write data of the kind that survive the trip exactly (timers a time base can hold, counters
// up to 999, finite reals, bits 0 or 1).
inline void Fill(Job j, uint8_t *p, int anz, uint32_t seed) {
  std::mt19937 rng(seed);
  const size_t e = kJobDefs[j].elem;
  for (int i = 0; i < anz; ++i) {
    const uint32_t v = rng(), n = v / 4 % 1000, ms = n * kTimeBase[v % 4];
    const WORD c = static_cast<WORD>(n);
    const void *from[] = {&v, &ms, &c};
    std::memcpy(p + e * i, from[j == WrTimers ? 1 : j == WrCounters ? 2 : 0], e);
    if (j == WrReals) p[4 * i + 3] &= 0x3F;
  }
  if (j == WrBit) p[0] &= 1;
}

// The call; `db` & 7 is the bit of the bit jobs.
inline int CallJob(Job j, S7I *s, int db, int st, int n, uint8_t *p) {
  auto w = reinterpret_cast<LPWORD>(p);
  auto d = reinterpret_cast<LPDWORD>(p);
  auto f = reinterpret_cast<float *>(p);
  // clang-format off
  switch (j) {
    case RdBytes: return S7RdDBB(s, db, st, n, p);
    case WrBytes: return S7WrDBB(s, db, st, n, p);
    case RdWords: return S7RdDB(s, db, st, n, w);
    case WrWords: return S7WrDB(s, db, st, n, w);
    case RdDWords: return S7RdMDW(s, st, n, d);
    case WrDWords: return S7WrMDW(s, st, n, d);
    case RdReals: return S7RdDBReal(s, db, st, n, f);
    case WrReals: return S7WrDBReal(s, db, st, n, f);
    case RdBit: return S7Rd(s, 0, st, 1, p, S7_AREA_M, 1, 1, db & 7);
    case WrBit: return S7Wr(s, 0, st, 1, p, S7_AREA_M, 1, 1, db & 7);
    case RdTimers: return S7RdTimer(s, st, n, d);
    case WrTimers: return S7WrTimer(s, st, n, d);
    case RdCounters: return S7RdCounter(s, st, n, w);
    case WrCounters: return S7WrCounter(s, st, n, w);
    case DBLen: return S7GetDBLen(s, s->SPSTyp ? (db & 1) : db);
    case CPUInfo: return S7GetCPUInfo(s, reinterpret_cast<char *>(p));
    case RdDirect: return S7Rd(s, db, st, n, p, S7_AREA_DB, 2, 2, 0);
    case WrDirect: return S7Wr(s, 0, st, n, p, S7_AREA_M, 1, 2, 0);
    case Members: return S7GetMPIMembers(s, w);
    default: return -1000;
  }
  // clang-format on
}

}  // namespace fz
