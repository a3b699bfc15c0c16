// Support shared by the fuzz harnesses and the corpus recorder.
//
// The library reads the line through its own serial layer on a real pty.
// Every harness is linked with --wrap=read: when the library reads its port
// and nothing is waiting, the next segment of the fuzz input is written to
// the pty master first, so each read attempt of the library takes exactly one
// segment (an empty segment is one silent read). The port's read time-out is
// 0, so silence costs nothing. What the library writes is drained and thrown
// away on the master side. The harnesses are also linked with
// --wrap=nanosleep: while fed from the input, the library's short pauses
// (token, poll, between packets) return at once.
//
// Input layout: a fixed header (its length depends on the harness), then
// segments, each one length byte followed by that many bytes.
//
// In record mode the wrapper reads the line for real (a simulator is at the
// master side) and keeps what every read of the library returned as
// segments; the recorder writes header and segments as a corpus file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "s7conn.h"

namespace fz {

inline constexpr int kCom = 3;  // the library's port used by every harness

// ---- input ----
struct Input {
  std::vector<uint8_t> head;  // padded with zeros to the asked length
  std::vector<std::vector<uint8_t>> segments;
};
Input Split(const uint8_t *data, size_t size, size_t head_len);
std::vector<uint8_t> Join(std::span<const uint8_t> head,
                          const std::vector<std::vector<uint8_t>> &segments);

// ---- the line ----
// Opens the pty once per process and names its slave as the device of kCom.
// Returns the master descriptor.
int Line();
const std::string &LineName();
// After the port has been opened: read time-out 0, so each wait is one read.
void FastPort();
// The next reads of the library's port take these segments.
void Feed(const Input &in);
// Ends a run: no more segments, the master side drained, the port's buffers
// and the pty's queues emptied.
void EndRun();

// ---- record mode ----
void StartRecord(int fd);  // the library's descriptor whose reads are kept
std::vector<std::vector<uint8_t>> StopRecord();

// ---- checks ----
// Aborts with a message (libFuzzer reports the input).
[[noreturn]] void Fail(const char *what, long a = 0, long b = 0);
inline void Check(bool ok, const char *what, long a = 0, long b = 0) {
  if (!ok) Fail(what, a, b);
}

// A caller buffer with guard areas on both sides; the payload is 16-byte
// aligned so it may be used as WORD, DWORD or float array.
class Guarded {
 public:
  explicit Guarded(size_t bytes, uint8_t fill = 0xA5);
  uint8_t *data() { return buf_.data() + kGuard; }
  size_t size() const { return size_; }
  // Aborts when a guard byte was written.
  void CheckGuards(const char *who) const;
  // Index of the first and one past the last payload byte that differ from
  // `before` (first == last when nothing changed).
  std::pair<size_t, size_t> Changed(std::span<const uint8_t> before) const;
  std::vector<uint8_t> Snapshot() const {
    return {buf_.begin() + kGuard, buf_.begin() + static_cast<long>(kGuard + size_)};
  }

 private:
  static constexpr size_t kGuard = 64;
  size_t size_;
  uint8_t fill_;
  std::vector<uint8_t> buf_;
};

// ---- the S7 jobs of both paths ----
enum class Job : uint8_t {
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
  RdDirect,  // one S7Rd of words, data compared with the answer
  WrDirect,  // one S7Wr of bytes
  Members,   // MPI only
  Count,
};

// Header of the job harnesses (fuzz_mpi_jobs, fuzz_ppi) and of their corpus.
struct JobHead {
  uint8_t job;     // Job, modulo Job::Count
  uint8_t anz_lo;  // element count (capped per job)
  uint8_t anz_hi;
  uint8_t start;     // start address
  uint8_t partner;   // MPI: partner reference P in the record's header
  uint8_t block_nr;  // MPI: block number of the next job
  uint8_t flags;     // kFromScratch: bring-up and connect first
  uint8_t db;        // DB number (low byte)
};
inline constexpr uint8_t kFromScratch = 0x01;
static_assert(sizeof(JobHead) == 8);
JobHead ReadJobHead(std::span<const uint8_t> head);

// The connection record with a guard behind it.
struct GuardedS7 {
  S7I S7;
  uint8_t guard[64];
};

inline constexpr int kPlcAdr = 2;  // PLC station address in every harness
inline constexpr int kPcAdr = 0;   // the PC's own address

// Puts the record into the state the header asks for: connected with the
// given references and block number, or (kFromScratch) port and record down.
void PrepareRecord(GuardedS7 &g, const JobHead &h);
// Runs one job with every check of the harnesses; used by the recorder too.
void RunJob(GuardedS7 &g, const JobHead &h);
// Checks that the record's fields behind Rx are what they were made.
void CheckRecord(const GuardedS7 &g, const char *who);

// Element limits per packet of the typed calls.
int PacketLimit(Job j, bool ppi);

}  // namespace fz
