// System calls the library makes on its serial line, counted by wrappers
// that the linker puts around the C library's calls (-Wl,--wrap=read, ...).
//
// Only calls made on the thread that called count_line_calls() are counted:
// calls on the descriptor of the counted port (RsIo[com].hCom), and every
// sleep of that thread. The simulated device runs on its own thread, on the
// pty's master side, and is never counted.
#pragma once

#include <cstdint>

namespace s7bench {

struct LineCalls {
  uint64_t reads = 0;
  uint64_t writes = 0;
  uint64_t polls = 0;
  uint64_t termios = 0;   // tcgetattr, tcsetattr, tcflush, tcdrain, tcsendbreak, ioctl
  uint64_t sleeps = 0;    // nanosleep, clock_nanosleep, usleep
  uint64_t sleep_ns = 0;  // the time asked for by those sleeps
  // Sleeps of another length than the protocol's pauses (PPI: 5 ms before a
  // poll, 12 ms after the token, 15 ms between packets).
  uint64_t other_sleeps = 0;

  uint64_t on_line() const { return reads + writes + polls + termios; }
  LineCalls operator-(const LineCalls &o) const {
    return {reads - o.reads,
            writes - o.writes,
            polls - o.polls,
            termios - o.termios,
            sleeps - o.sleeps,
            sleep_ns - o.sleep_ns,
            other_sleeps - o.other_sleeps};
  }
};

// Counts from now on the calling thread's calls on port `com`'s descriptor.
void count_line_calls(int com);
// The counts so far (read on the counting thread).
LineCalls line_calls();
// True when the wrappers are linked in (a call on the port was seen).
bool line_calls_seen();

}  // namespace s7bench
