// s7gate's server: one event loop (epoll) for every client socket and one
// worker thread for the serial line, which alone makes the library's blocking
// calls. Jobs wait in one queue per client and are taken round-robin; a client
// with its maximum queued is not read until one is answered. Answers come back
// to the loop through an eventfd and are dropped when their client has gone.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "allow.hpp"

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
  int pdu = 0;             // the PDU size offered; 0: what the path carries and the PLC agrees to
  int setup_timeout = 10;  // seconds for the connection request and setup job; 0: none
  int idle_timeout = 0;    // seconds without a job before a client is closed; 0: never
  int timeout = 0;         // ticks; 0: the library's default
  bool trace = false;
  WriteAllow allow;  // what clients may write; empty: nothing (a read-only gateway)
};

// The largest S7 PDU the serial path carries in one job.
inline int PathPdu(bool ppi) { return ppi ? 252 : 310; }

// Runs until SIGINT or SIGTERM (blocked by the caller before any thread
// starts); returns the program's exit status.
int Run(const Config &cfg);

}  // namespace s7gate
