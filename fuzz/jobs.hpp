// The S7 job kinds that the fuzz harnesses, the fault matrix and the soak run:
// how each is called and what write data it may carry.
#pragma once

#include <cstddef>
#include <cstdint>

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
extern const JobDef kJobDefs[kJobs];

inline bool IsWrite(Job j) { return (j < DBLen && j % 2) || j == WrDirect; }
inline bool Succeeded(Job j, int r) {
  return j == RdBit || j == WrBit || j == CPUInfo || j == RdDirect || j == WrDirect ? r == 0
         : j == DBLen                                                               ? r > 0
                                                                                    : r == 1;
}
inline DWORD Bcd(uint16_t w) { return ((w >> 8) & 0xF) * 100 + ((w >> 4) & 0xF) * 10 + (w & 0xF); }
inline DWORD TimerMs(uint16_t w) {
  return Bcd(w) * (w >> 12 == 0 ? 10 : w >> 12 == 1 ? 100 : w >> 12 == 2 ? 1000 : 10000);
}

// Write data of the kind that survive the trip exactly (timers a time base can hold, counters
// up to 999, finite reals, bits 0 or 1).
void Fill(Job j, uint8_t *p, int anz, uint32_t seed);
// The call; `db` & 7 is the bit of the bit jobs.
int CallJob(Job j, S7I *s, int db, int start, int anz, uint8_t *p);

}  // namespace fz
