// s7bench --lines: several paced lines at once, one thread per line.
#pragma once

#include <vector>

namespace s7bench {

struct LinesOptions {
  int baud = 115200;
  int turnaround_us = 0;
  int fifo = 1;       // characters the simulated line hands over together
  int slack_us = 0;   // how late the simulator's release of a character may be
  int millis = 3000;  // the measured window
};

struct LinesResult {
  int lines = 0;
  std::vector<double> jobs_per_s;   // per line
  std::vector<double> chars_per_s;  // per line, both directions
  double line_cpu_s = 0;            // CPU of the library threads, summed, in the window
  double wall_s = 0;                // the longest line's window
  double process_cpu_s = 0;         // the whole process (simulators included)
  double process_wall_s = 0;
};

// Runs n lines (1..16) of 222-byte reads for o.millis; throws
// std::runtime_error when a line fails.
LinesResult run_lines(int n, const LinesOptions &o);

}  // namespace s7bench
