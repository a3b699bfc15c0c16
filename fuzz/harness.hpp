// The feeding mechanism of the fuzz harnesses. The library reads the line
// through its own serial layer on a real pty; every harness is linked with
// --wrap=read and --wrap=nanosleep. Input: a fixed head (its length depends on
// the harness), then segments, each a length byte and that many bytes. When
// the library reads its port and nothing is waiting, the next segment is
// written to the pty first, so each read takes one segment (an empty one is
// one silent read; the port's read time-out is 0). What the library writes is
// thrown away, and its pauses return at once while it is fed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "s7conn.h"

namespace fz {

inline constexpr int kCom = 3, kPlcAdr = 2;

// Once per process: the pty named as port kCom, `open` (which opens the
// port), then read time-out 0. Fails when `open` does.
void Start(bool (*open)());
// Starts feeding the segments behind the head; returns the head, padded with zeros.
std::vector<uint8_t> Feed(const uint8_t *data, size_t size, size_t head_len);
// No more segments; the line and the port's buffers emptied.
void EndRun();

[[noreturn]] void Fail(const char *what, long a = 0,
                       long b = 0);  // aborts: libFuzzer keeps the input
inline void Check(bool ok, const char *what, long a = 0, long b = 0) {
  if (!ok) Fail(what, a, b);
}

// A caller buffer (16-byte aligned) with 64 guard bytes on each side.
struct Guarded {
  explicit Guarded(size_t n) : buf(n + 128, 0xA5), before(n) {}
  uint8_t *data() { return buf.data() + 64; }
  void Mark() { before.assign(buf.begin() + 64, buf.end() - 64); }  // the contents before the call
  // Checks the guards; one past the last byte changed since Mark (0: none).
  size_t Changed(const char *who) const;
  std::vector<uint8_t> buf;
  std::vector<uint8_t> before;
};

// The job harnesses: head {job, anz lo, anz hi, start, partner reference,
// block number, flags (1: from scratch), DB}; the record prepared as the head
// asks (connected, or port and record down), one job of any kind run and
// every check made on its results, Err, statuses and the caller's buffer.
inline constexpr size_t kJobHead = 8;
void Prepare(S7I &s7, const std::vector<uint8_t> &head);
void CheckRecord(const S7I &s7);  // the fields behind Rx, Err and statuses
void RunJob(S7I &s7, const std::vector<uint8_t> &head);

}  // namespace fz
