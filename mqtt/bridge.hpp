// s7mqtt's I/O: the serial line through the library's handle calls (this
// thread alone makes them) and the broker through libmosquitto, whose
// network thread connects, reconnects with back-off and hands incoming
// messages over to this thread.
#pragma once

#include "config.hpp"

namespace s7mqtt {

struct RunOptions {
  bool trace = false;
  std::string password;  // read from the password file by the caller
};

// Runs until SIGINT or SIGTERM (blocked by the caller before any thread
// starts); returns the program's exit status.
int Run(const Config &cfg, const RunOptions &opt);

}  // namespace s7mqtt
