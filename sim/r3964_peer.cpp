#include "r3964_peer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace s7sim {

namespace {

using Clock = std::chrono::steady_clock;

// Longest single wait, so that stopping is noticed promptly.
constexpr int kSliceMs = 20;

void nap() { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

}  // namespace

// ---------------------------------------------------------------------------
// timing of a paced line

LineTiming::Clock::duration LineTiming::char_time() const {
  if (!paced()) return Clock::duration::zero();
  return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
      (static_cast<long long>(kBitsPerChar) * 1000000000LL + pace_.baud / 2) / pace_.baud));
}

LineTiming::Clock::time_point LineTiming::arrival(Clock::time_point seen) {
  if (!paced()) return seen;
  rx_free_ = std::max(seen, rx_free_) + char_time();
  last_in_ = rx_free_;
  answering_ = true;
  return rx_free_;
}

LineTiming::Clock::time_point LineTiming::hand_over(Clock::time_point now) {
  if (!paced() || !answering_) return now;
  // An answer starts the turnaround after what it answers has arrived,
  // however long the device's thread took to get to it.
  answering_ = false;
  return last_in_ + pace_.turnaround;
}

LineTiming::Clock::time_point LineTiming::departure(Clock::time_point handed) {
  if (!paced()) return handed;
  tx_free_ = std::max(handed, tx_free_) + char_time();
  return tx_free_;
}

bool sleep_until(LineTiming::Clock::time_point t, const std::atomic<bool> &stop,
                 std::chrono::microseconds slack) {
  using namespace std::chrono;
  // Wake up on time (or as late as asked) rather than up to the default
  // 50 us late: at 115200 baud a character takes 95 us.
  static thread_local long long slack_set = -1;
  const long long ns = std::max<long long>(duration_cast<nanoseconds>(slack).count(), 1);
  if (slack_set != ns) {
    prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(ns), 0UL, 0UL, 0UL);
    slack_set = ns;
  }
  for (;;) {
    if (stop.load()) return false;
    const auto now = LineTiming::Clock::now();
    if (now >= t) return true;
    std::this_thread::sleep_for(
        std::min<LineTiming::Clock::duration>(t - now, milliseconds(kSliceMs)));
  }
}

// ---------------------------------------------------------------------------
// the device's side of the pty

Line::Line(int fd, const std::atomic<bool> &stop) : fd_(fd), stop_(stop) {
  saved_flags_ = fcntl(fd_, F_GETFL);
  // Non-blocking, so that neither a full nor an empty pty can hold the
  // device's thread once it is asked to stop.
  if (saved_flags_ >= 0) fcntl(fd_, F_SETFL, saved_flags_ | O_NONBLOCK);
}

Line::~Line() {
  if (saved_flags_ >= 0) fcntl(fd_, F_SETFL, saved_flags_);
}

bool Line::get(uint8_t &b, int timeout_ms) {
  if (pos_ < len_) {
    b = buf_[pos_++];
    // Paced: the characters read in one go queue on the wire behind each
    // other; the device's answer waits for the last one (hand_over()).
    timing_.arrival(seen_);
    return true;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  for (;;) {
    if (stop_.load()) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const int slice = static_cast<int>(std::clamp<long long>(left.count(), 0, kSliceMs));
    struct pollfd p {
      fd_, POLLIN, 0
    };
    const int r = poll(&p, 1, slice);
    if (r > 0 && (p.revents & POLLIN)) {
      const ssize_t n = read(fd_, buf_, sizeof buf_);
      if (n > 0) {
        seen_ = Clock::now();
        chars_in_ += static_cast<uint64_t>(n);
        len_ = static_cast<size_t>(n);
        pos_ = 1;
        b = buf_[0];
        timing_.arrival(seen_);
        return true;
      }
      // EIO: no slave side open at the moment; EAGAIN/EINTR: try again.
      if (n < 0 && errno != EAGAIN && errno != EINTR) nap();
    } else if (r > 0) {
      nap();  // hang-up without data: nobody holds the slave side
    } else if (r < 0 && errno != EINTR) {
      nap();
    }
    if (Clock::now() >= deadline) return false;
  }
}

bool Line::put(std::span<const uint8_t> bytes) {
  if (!timing_.paced()) return write_through(bytes);
  // One character at a time (or a group of `fifo`), each when it has left
  // the wire: the PC sees them arrive one character time apart, as from a
  // real line.
  // All of them are handed over at once: a late wake-up for one character
  // does not push the ones after it back.
  const auto handed = timing_.hand_over(Clock::now());
  const size_t group = static_cast<size_t>(std::max(timing_.pace().fifo, 1));
  for (size_t i = 0; i < bytes.size();) {
    const size_t k = std::min(group, bytes.size() - i);
    Clock::time_point left = handed;
    for (size_t j = 0; j < k; ++j) left = timing_.departure(handed);
    if (!sleep_until(left, stop_, timing_.pace().slack)) return false;
    if (!write_through(bytes.subspan(i, k))) return false;
    i += k;
  }
  return true;
}

bool Line::write_through(std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    if (stop_.load()) return false;
    const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      chars_out_ += static_cast<uint64_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      struct pollfd p {
        fd_, POLLOUT, 0
      };
      poll(&p, 1, kSliceMs);
      continue;
    }
    if (n < 0 && errno == EIO) {
      nap();
      continue;
    }
    return false;
  }
  return true;
}

uint8_t bcc_3964r(std::span<const uint8_t> data) {
  uint8_t bcc = 0;
  // A doubled DLE adds nothing; DLE ETX adds 0x13.
  for (uint8_t b : data)
    if (b != kDle) bcc ^= b;
  return static_cast<uint8_t>(bcc ^ kDle ^ kEtx);
}

std::vector<uint8_t> frame_3964r(std::span<const uint8_t> data) {
  std::vector<uint8_t> out;
  out.reserve(data.size() * 2 + 3);
  for (uint8_t b : data) {
    out.push_back(b);
    if (b == kDle) out.push_back(kDle);
  }
  out.push_back(kDle);
  out.push_back(kEtx);
  out.push_back(bcc_3964r(data));
  return out;
}

}  // namespace s7sim
