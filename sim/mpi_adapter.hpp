// Simulated MPI PC adapter: the far end of a pty that speaks 3964R as the
// adapter does, brings itself up on the initialisation record, opens
// connections to the PLC stations behind it and carries their S7 jobs.
// Runs on its own thread; shares no state with the library.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plc.hpp"

namespace s7sim {

class MpiAdapter {
 public:
  explicit MpiAdapter(int fd);  // fd: the master side of the pty
  ~MpiAdapter();                // stops the thread
  MpiAdapter(const MpiAdapter &) = delete;
  MpiAdapter &operator=(const MpiAdapter &) = delete;

  void add_station(int mpi_addr, Plc &plc);  // before start()
  void start();
  void stop();

  // Every protocol violation of the PC seen so far, as readable text.
  std::vector<std::string> violations() const;

 private:
  // (the implementation adds its own members)
  int fd_;
};

}  // namespace s7sim
