// Byte I/O of a simulated device on the master side of a pty, and the
// 3964R framing the simulated MPI adapter puts on the line.
//
// Every character the device takes from or puts on the line passes through
// Line, which counts them in both directions and, in the paced mode, holds
// them to the timing of a real line (LineTiming below).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace s7sim {

// Timing of a real serial line, for the paced mode of the simulated devices.
struct Pace {
  int baud = 0;  // characters at this rate, 11 bits each; 0 or less: as fast as the pty goes
  std::chrono::microseconds turnaround{0};  // the device's delay before each answer
  // Characters to the PC handed over together, like a receive FIFO that
  // raises its interrupt every `fifo` characters: each group when its last
  // character has left the wire, the rest of an answer when its last has.
  int fifo = 1;
  // How late the timer that releases a character may fire: 0 on time, more
  // lets the kernel serve the timers of many simulated lines with one wake-up
  // (a character never leaves earlier than on a real line).
  std::chrono::microseconds slack{0};
};

// Bits of one character: start bit, 8 data bits, parity bit, stop bit.
inline constexpr int kBitsPerChar = 11;

// The clock of both wires of one paced line. A pty hands over whatever is
// written at once; this says when a character would have arrived or left on
// a real line:
// - a character from the PC has arrived one character time after the later
//   of the moment it was found in the pty and the arrival of the character
//   before it (the PC's characters queue on their wire);
// - the first character the device sends after characters came in (an
//   answer) starts the turnaround after the last of them arrived; any other
//   starts when the device hands it over; either starts only once the
//   character before it has left, and has left one character time later.
// The device takes characters as soon as they are in the pty and releases
// its own when they have left the wire. Its answers thus reach the PC no
// sooner than on a real line, and a job takes the time of its characters on
// the wire plus the turnarounds: the times are kept as a real line's, not as
// the moments the device's thread happened to wake up.
class LineTiming {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LineTiming(Pace pace = {}) : pace_(pace) {}
  const Pace &pace() const { return pace_; }
  bool paced() const { return pace_.baud > 0; }
  // Time one character takes on the wire (zero when not paced).
  Clock::duration char_time() const;

  // When a character from the PC, found in the pty at `seen`, has arrived.
  Clock::time_point arrival(Clock::time_point seen);
  // The moment characters the device sends at `now` count as handed over:
  // for an answer the turnaround after the last arrival, else `now`.
  Clock::time_point hand_over(Clock::time_point now);
  // When the next character to the PC, handed over at `handed`, has left.
  Clock::time_point departure(Clock::time_point handed);

 private:
  Pace pace_;
  Clock::time_point rx_free_{}, tx_free_{}, last_in_{};
  bool answering_ = false;  // characters came in since the device last sent
};

// Sleeps until `t` (at most `slack` later), in short slices so that `stop`
// is noticed; false when stopped first.
bool sleep_until(LineTiming::Clock::time_point t, const std::atomic<bool> &stop,
                 std::chrono::microseconds slack = {});

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

  // Paced mode (before the device's thread starts): characters are taken
  // and sent at the rate of `pace.baud`, answers after the turnaround.
  void set_pace(Pace pace) { timing_ = LineTiming(pace); }
  const Pace &pace() const { return timing_.pace(); }

  // One character from the PC, waiting at most timeout_ms; false on silence
  // or when stopping.
  bool get(uint8_t &b, int timeout_ms);
  // Characters to the PC; false when stopping or the line is gone. Paced:
  // each is released when it would have left the wire.
  bool put(std::span<const uint8_t> bytes);
  bool put(uint8_t b) { return put(std::span<const uint8_t>(&b, 1)); }

  uint64_t chars_in() const { return chars_in_.load(); }
  uint64_t chars_out() const { return chars_out_.load(); }

 private:
  bool write_through(std::span<const uint8_t> bytes);  // the pty write, unpaced

  int fd_;
  int saved_flags_;
  const std::atomic<bool> &stop_;
  uint8_t buf_[256] = {};
  size_t pos_ = 0, len_ = 0;
  LineTiming timing_;
  LineTiming::Clock::time_point seen_{};  // when the characters in buf_ were read
  std::atomic<uint64_t> chars_in_{0}, chars_out_{0};
};

// XOR of the bytes as they travel (doubled DLEs included), DLE ETX included.
uint8_t bcc_3964r(std::span<const uint8_t> data);

// The characters that follow the partner's DLE: data with every DLE doubled,
// DLE, ETX and the block check character.
std::vector<uint8_t> frame_3964r(std::span<const uint8_t> data);

}  // namespace s7sim
