// A bench for s7mqtt (used by its tests and its benchmark): the Debian
// mosquitto broker on a free local port, a subscribing client that keeps
// every message it sees, the simulated PLC on a pty, and s7mqtt itself as a
// child process with a generated configuration.
#pragma once

#include <mosquitto.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mpi_adapter.hpp"
#include "plc.hpp"
#include "ppi_station.hpp"
#include "pty.hpp"

namespace s7mqtt::bed {

using Clock = std::chrono::steady_clock;

// A private directory for the generated files, removed at the end.
struct TempDir {
  TempDir();
  ~TempDir();
  std::string file(const std::string &name, const std::string &text) const;  // writes it, returns its path
  std::string path;
};

// A child process: its stderr (and stdout) into a log file.
struct Child {
  Child(std::vector<std::string> argv, const std::string &log);
  ~Child() { stop(); }
  int stop(int sig = SIGTERM);  // signal, wait; the exit status, 128+N for a signal, -1 none
  pid_t pid = -1;
  rusage usage{};  // the child's CPU, once stopped
};

// mosquitto on 127.0.0.1 at a free port; restarted on the same port.
class Broker {
 public:
  explicit Broker(const TempDir &dir);
  void start();
  void stop() { proc_.reset(); }
  int port() const { return port_; }

 private:
  const TempDir &dir_;
  int port_ = 0;
  std::unique_ptr<Child> proc_;
};

struct Msg {
  std::string topic, payload;
  bool retained = false;
  Clock::time_point at;
};

// A client subscribed to everything; reconnects when the broker comes back.
class Subscriber {
 public:
  explicit Subscriber(int port, const std::string &id = "bed");
  ~Subscriber();
  void publish(const std::string &topic, const std::string &payload, bool retain = false);
  // Waits for a message on `topic` (after the `from`th message seen) that
  // `ok` accepts; its payload, or nullopt after `secs`.
  std::optional<std::string> wait(const std::string &topic, const std::function<bool(const Msg &)> &ok,
                                  double secs = 5, size_t from = 0);
  std::optional<std::string> wait(const std::string &topic, double secs = 5, size_t from = 0) {
    return wait(topic, [](const Msg &) { return true; }, secs, from);
  }
  size_t seen() const;                // messages seen so far
  std::vector<Msg> messages() const;  // all of them
  bool connected() const;

 private:
  mosquitto *m_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Msg> msgs_;
  bool connected_ = false;
};

// The simulated PLC at station 2 behind the MPI adapter, or an S7-200 on PPI.
struct SimLine {
  explicit SimLine(bool ppi, int baud = 0);
  void silent(bool on);  // the line's partner stops (and starts again) answering
  uint64_t chars() const;  // characters on the line so far, both directions
  s7sim::Pty pty;
  s7sim::Plc plc;
  std::unique_ptr<s7sim::MpiAdapter> mpi;
  std::unique_ptr<s7sim::PpiStation> ppi;
};

// s7mqtt with `yaml` as its configuration (and --trace when asked).
std::unique_ptr<Child> StartBridge(const std::string &program, const std::string &config_path,
                                   const std::string &log, bool trace = false);

// The log file's text.
std::string ReadLog(const std::string &path);

}  // namespace s7mqtt::bed
