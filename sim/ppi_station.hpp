// Simulated S7-200 on a PPI line: the far end of a pty at one station
// address, speaking PROFIBUS FDL frames. Runs on its own thread.
#pragma once

#include <string>
#include <vector>

#include "plc.hpp"

namespace s7sim {

class PpiStation {
 public:
  PpiStation(int fd, int station_addr, Plc &plc);  // fd: the master side of the pty
  ~PpiStation();
  PpiStation(const PpiStation &) = delete;
  PpiStation &operator=(const PpiStation &) = delete;

  void start();
  void stop();
  std::vector<std::string> violations() const;

 private:
  int fd_;
};

}  // namespace s7sim
