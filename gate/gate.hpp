// s7gate's server: one event loop (epoll) for every client socket and one
// worker thread for the serial line, which alone makes the library's blocking
// calls. Jobs wait in one queue in arrival order; answers come back to the
// loop through an eventfd and are dropped when their client has gone.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace s7gate {

struct Config {
  std::string device;
  int baud = 0;  // 0: 19200 for the MPI adapter, 9600 for PPI
  bool ppi = false;
  int plc = 2;
  int own = 0;
  std::map<int, int> routes;  // slot -> station address
  std::string host = "0.0.0.0";
  int port = 102;
  int max_clients = 32;
  int pdu = 240;  // the PLC's PDU size; capped by what the serial path carries
  int timeout = 0;  // ticks; 0: the library's default
  bool trace = false;
};

// Runs until SIGINT or SIGTERM (blocked by the caller before any thread
// starts); returns the program's exit status.
int Run(const Config &cfg);

}  // namespace s7gate
