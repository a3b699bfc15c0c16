// A library port wired to a simulated MPI adapter (with one PLC at MPI
// address 2) or a simulated S7-200 (PPI address 2), and the job kinds the
// fault matrix and the soak run through it. Every job checks what it hands
// over against the simulated PLC's memory.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "mpi_adapter.hpp"
#include "plc.hpp"
#include "ppi_station.hpp"
#include "pty.hpp"
#include "s7conn.h"

namespace robust {

inline constexpr int kCom = 5;
inline constexpr int kPlcAdr = 2;
inline constexpr int kPcAdr = 0;
inline constexpr int kDb = 10;
inline constexpr int kDbSize = 1024;
inline constexpr const char *kCpuText = "CPU 224 6ES7 214";

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
  Packets,  // bytes in three packets; the matrix aims its faults at the second
};
inline constexpr Kind kAllKinds[] = {Kind::Bytes,   Kind::Words,  Kind::DWords,   Kind::Reals,
                                     Kind::Bits,    Kind::Timers, Kind::Counters, Kind::DBLen,
                                     Kind::CPUInfo, Kind::Members};
const char *Name(Kind k);
bool HasWrite(Kind k);  // DB length, CPU text and the member list are reads only

// What one job did.
struct Outcome {
  int result = 0;
  bool success = false;       // the call reported success
  LONG err = 0;               // record Err afterwards
  BOOL status = FALSE;        // record Status afterwards
  WORD port = 0;              // CStat[kCom].Status afterwards
  bool untouched = true;      // the caller's buffer is as before the call
  std::string wrong;          // data handed over or written that differ from the PLC's memory
  bool first_packet = false;  // Packets, failed read: the first packet's data were handed over
};

class Rig {
 public:
  explicit Rig(bool ppi);  // new pty, PLC, simulator; the record opened (nothing sent yet)
  ~Rig();
  Rig(const Rig &) = delete;
  Rig &operator=(const Rig &) = delete;

  bool ppi() const { return ppi_; }
  S7I &rec() { return s7_; }
  s7sim::Plc &plc() { return plc_; }
  s7sim::MpiAdapter *adapter() { return adapter_.get(); }
  s7sim::PpiStation *station() { return station_.get(); }

  // One job of the kind; `seed` picks addresses, counts and values.
  Outcome Run(Kind k, bool write, uint32_t seed);
  // Changes the PLC's memory in the places the jobs read (between jobs).
  void Scramble(uint32_t seed);

  // Adapter event counts so far, worked out from the blocks the adapter took
  // and sent (exact while no fault has been injected on this rig).
  struct Events {
    uint64_t stx = 0, rx_frames = 0, tx_frames = 0, rx_blocks = 0, jobs = 0;
  };
  Events AdapterEvents() const;

 private:
  bool ppi_;
  s7sim::Pty pty_;
  s7sim::Plc plc_;
  std::unique_ptr<s7sim::MpiAdapter> adapter_;
  std::unique_ptr<s7sim::PpiStation> station_;
  S7I s7_{};
  bool open_ = false;
};

// Resident set size of this process in kB (from /proc/self/status).
long RssKb();

}  // namespace robust
