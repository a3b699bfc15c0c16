// The simulated device at the far end of a line, as one piece: an MPI adapter
// with PLC stations behind it, or one S7-200 on PPI. start() makes it afresh
// on a pty master, as a real device powers up anew when it is plugged in;
// the PLCs' memory lives outside and is kept. Pluggable serves it under a
// fixed path that can be unplugged and plugged back (LinkedPty).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mpi_adapter.hpp"
#include "plc.hpp"
#include "ppi_station.hpp"
#include "pty.hpp"

namespace s7sim {

struct SimStation {
  int addr;
  Plc *plc;
};

class Device {
 public:
  // ppi: one S7-200 (the first station); else an MPI adapter with them all.
  Device(bool ppi, std::vector<SimStation> stations, Pace pace = {},
         std::function<void(const std::string &)> trace = {});
  ~Device() { stop(); }
  Device(const Device &) = delete;
  Device &operator=(const Device &) = delete;

  void start(int fd);                                     // a new adapter or S7-200 on fd, running
  void stop();                                            // ended; its violations are kept
  MpiAdapter *adapter() const { return adapter_.get(); }  // while running (MPI)
  PpiStation *station() const { return station_.get(); }  // while running (PPI)
  // Every protocol violation of the PC seen so far, in every run.
  std::vector<std::string> violations() const;

 private:
  bool ppi_;
  std::vector<SimStation> stations_;
  Pace pace_;
  std::function<void(const std::string &)> trace_;
  std::unique_ptr<MpiAdapter> adapter_;
  std::unique_ptr<PpiStation> station_;
  std::vector<std::string> past_;  // violations of the runs that have ended
};

// A device served under the path `link`, running from the start.
class Pluggable {
 public:
  Pluggable(std::string link, bool ppi, std::vector<SimStation> stations, Pace pace = {},
            std::function<void(const std::string &)> trace = {});
  ~Pluggable() { device_.stop(); }
  const std::string &link() const { return pty_.link(); }
  bool plugged() const { return pty_.plugged(); }
  void unplug();  // the device ends, the pty closes, the path goes
  void plug();    // a new pty under the path, the device started afresh on it
  Device &device() { return device_; }

 private:
  LinkedPty pty_;
  Device device_;
};

}  // namespace s7sim
