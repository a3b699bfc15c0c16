// A library port wired to a simulated MPI adapter (one PLC at MPI address 2)
// or a simulated S7-200 (PPI address 2), for the fault matrix and the soak:
// every job checks what it hands over or writes against the PLC's memory.
#pragma once

#include <memory>
#include <string>

#include "jobs.hpp"
#include "mpi_adapter.hpp"
#include "ppi_station.hpp"
#include "pty.hpp"

namespace robust {

inline constexpr int kCom = 5, kDb = 10;

struct Outcome {
  int result = 0;
  bool success = false;       // the call reported success
  LONG err = 0;               // record Err afterwards
  BOOL status = FALSE;        // record Status afterwards
  WORD port = 0;              // CStat[kCom].Status afterwards
  bool untouched = true;      // the caller's buffer as before (three packets read: past the first)
  bool first_packet = false;  // three packets read: the first one holds the PLC's data
  std::string wrong;          // data handed over or written that differ from the PLC's
};

struct Rig {
  explicit Rig(bool ppi);  // new pty, PLC and simulator; the record opened (nothing sent yet)
  ~Rig();
  // One job; `seed` picks addresses, counts and values. `packets`: bytes in three packets.
  Outcome Run(fz::Job j, uint32_t seed, bool packets = false);
  void Scramble(uint32_t seed);  // new PLC memory where the jobs look
  uint64_t Chars() const;        // characters on the line so far
  bool ppi;
  s7sim::Pty pty;
  s7sim::Plc plc;
  std::unique_ptr<s7sim::MpiAdapter> adapter;
  std::unique_ptr<s7sim::PpiStation> station;
  S7I s7{};
};

}  // namespace robust
