// A library port wired to a simulated MPI adapter (one PLC at MPI address 2)
// or a simulated S7-200 (PPI address 2), and the job kinds the fault matrix
// and the soak run through it. Every job checks what it hands over or writes
// against the simulated PLC's memory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "mpi_adapter.hpp"
#include "plc.hpp"
#include "ppi_station.hpp"
#include "pty.hpp"
#include "s7conn.h"

namespace robust {

inline constexpr int kCom = 5, kPlcAdr = 2, kDb = 10, kDbSize = 1024;

// Packets: bytes in three packets; the matrix aims its faults at the second.
enum class Kind {
  Bytes,
  Words,
  DWords,
  Reals,
  Bits,
  Timers,
  Counters,
  DBLen,
  CPUInfo,
  Members,
  Packets
};
inline constexpr int kKinds = 11;
const char *Name(Kind k);
bool HasWrite(Kind k);  // DB length, CPU text and the member list are reads only

struct Outcome {
  int result = 0;
  bool success = false;   // the call reported success
  LONG err = 0;           // record Err afterwards
  BOOL status = FALSE;    // record Status afterwards
  WORD port = 0;          // CStat[kCom].Status afterwards
  bool untouched = true;  // the caller's buffer as before the call (Packets read: past packet 1)
  bool first_packet = false;  // Packets read: packet 1 holds the PLC's data
  std::string wrong;          // data handed over or written that differ from the PLC's
};

class Rig {
 public:
  explicit Rig(bool ppi);  // new pty, PLC and simulator; the record opened (nothing sent yet)
  ~Rig();
  Outcome Run(Kind k, bool write, uint32_t seed);  // `seed` picks addresses, counts, values
  void Scramble(uint32_t seed);                    // new PLC memory where the jobs look
  uint64_t Chars() const;                          // characters on the line so far
  bool ppi;
  s7sim::Pty pty;
  s7sim::Plc plc;
  std::unique_ptr<s7sim::MpiAdapter> adapter;
  std::unique_ptr<s7sim::PpiStation> station;
  S7I s7{};
};

}  // namespace robust
