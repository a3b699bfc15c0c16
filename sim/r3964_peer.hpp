// Byte I/O of a simulated device on the master side of a pty, and the
// 3964R framing the simulated MPI adapter puts on the line.
//
// Every character the device takes from or puts on the line passes through
// Line, which counts them in both directions; a paced mode (characters at a
// chosen baud rate, a turnaround delay) belongs in get() and put().
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace s7sim {

inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr uint8_t kDle = 0x10;
inline constexpr uint8_t kNak = 0x15;

// A block carries fewer than this many data bytes.
inline constexpr size_t kMaxBlockData = 512;

class Line {
 public:
  // fd: the master side of the pty. Every wait ends early once `stop` is set.
  Line(int fd, const std::atomic<bool> &stop);
  ~Line();  // restores the fd's flags
  Line(const Line &) = delete;
  Line &operator=(const Line &) = delete;

  // One character from the PC, waiting at most timeout_ms; false on silence
  // or when stopping.
  bool get(uint8_t &b, int timeout_ms);
  // Characters to the PC; false when stopping or the line is gone.
  bool put(std::span<const uint8_t> bytes);
  bool put(uint8_t b) { return put(std::span<const uint8_t>(&b, 1)); }

  uint64_t chars_in() const { return chars_in_.load(); }
  uint64_t chars_out() const { return chars_out_.load(); }

 private:
  int fd_;
  int saved_flags_;
  const std::atomic<bool> &stop_;
  uint8_t buf_[256] = {};
  size_t pos_ = 0, len_ = 0;
  std::atomic<uint64_t> chars_in_{0}, chars_out_{0};
};

// XOR of the bytes as they travel (doubled DLEs included), DLE ETX included.
uint8_t bcc_3964r(std::span<const uint8_t> data);

// The characters that follow the partner's DLE: data with every DLE doubled,
// DLE, ETX and the block check character.
std::vector<uint8_t> frame_3964r(std::span<const uint8_t> data);

}  // namespace s7sim
