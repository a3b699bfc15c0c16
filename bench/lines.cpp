// s7bench --lines: N simulated lines at once, each its own pty with a paced
// MPI adapter behind it, each driven by its own thread through the handle
// API. Reports per line jobs per second and, over all lines, the CPU of the
// threads that make the library calls as a share of one core.
#include "lines.hpp"

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kesto.h"
#include "mpi_adapter.hpp"
#include "plc.hpp"
#include "pty.hpp"

namespace s7bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPlcAddr = 2;
constexpr int kDb = 1;
constexpr int kBytes = 222;  // one full packet per job

double thread_cpu_s() {
  struct timespec ts {};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double process_cpu_s() {
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

// One simulated line: the pty, the PLC and the paced adapter in front of it.
struct SimLine {
  s7sim::Pty pty;
  s7sim::Plc plc;
  std::unique_ptr<s7sim::MpiAdapter> adapter;
  std::vector<uint8_t> want;
  // results of the measured window
  int jobs = 0;
  double wall_s = 0, cpu_s = 0;
  uint64_t chars = 0;
  std::string error;
};

}  // namespace

LinesResult run_lines(int n, const LinesOptions &o) {
  if (n < 1 || n > 16) throw std::runtime_error("--lines needs 1..16 lines (the port table's size)");
  std::vector<std::unique_ptr<SimLine>> lines;
  for (int i = 0; i < n; ++i) {
    auto l = std::make_unique<SimLine>();
    l->plc.add_db(kDb, 1024);
    std::vector<uint8_t> fill(1024);
    for (size_t k = 0; k < fill.size(); ++k) fill[k] = static_cast<uint8_t>(k * 7 + i);
    l->plc.write_bytes(s7sim::Area::DB, kDb, 0, fill);
    l->want = l->plc.read_bytes(s7sim::Area::DB, kDb, 0, kBytes);
    l->adapter = std::make_unique<s7sim::MpiAdapter>(l->pty.master());
    l->adapter->add_station(kPlcAddr, l->plc);
    s7sim::Pace pace;
    pace.baud = o.baud;
    pace.turnaround = std::chrono::microseconds(o.turnaround_us);
    pace.fifo = o.fifo;
    pace.slack = std::chrono::microseconds(o.slack_us);
    l->adapter->set_pace(pace);
    l->adapter->start();
    if (KS7SetDevName(static_cast<DWORD>(i), l->pty.slave_name().c_str()) != 0)
      throw std::runtime_error("device name refused: " + l->pty.slave_name());
    lines.push_back(std::move(l));
  }

  // Every thread opens its line and makes a first (checked) job, then all
  // start the measured window together.
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  Clock::time_point start, stop;
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      SimLine &l = *lines[static_cast<size_t>(i)];
      std::vector<uint8_t> buf(kBytes);
      const LONG ref = KS7Open(static_cast<DWORD>(i), kPlcAddr, 0, static_cast<DWORD>(o.baud), 300);
      const auto job = [&] {
        return ref >= 0 && KS7RdB(ref, 'D', kDb, 0, kBytes, buf.data()) == 0;
      };
      if (!job() || buf != l.want) l.error = "line " + std::to_string(i) + ": first read failed";
      ++ready;
      while (!go.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (l.error.empty()) {
        const uint64_t c0 = l.adapter->chars_from_pc() + l.adapter->chars_to_pc();
        const double cpu0 = thread_cpu_s();
        const auto t0 = Clock::now();
        auto t1 = t0;
        while (t1 < stop) {
          if (!job()) {
            l.error = "line " + std::to_string(i) + ": job failed";
            break;
          }
          ++l.jobs;
          t1 = Clock::now();
        }
        l.cpu_s = thread_cpu_s() - cpu0;
        l.wall_s = std::chrono::duration<double>(t1 - t0).count();
        l.chars = l.adapter->chars_from_pc() + l.adapter->chars_to_pc() - c0;
      }
      if (ref >= 0) KS7Close(ref);
    });
  }
  while (ready.load() < n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const double proc0 = process_cpu_s();
  start = Clock::now();
  stop = start + std::chrono::milliseconds(o.millis);
  go = true;
  for (auto &t : threads) t.join();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double proc = process_cpu_s() - proc0;

  LinesResult r;
  r.lines = n;
  for (auto &l : lines) {
    l->adapter->stop();
    if (!l->error.empty()) throw std::runtime_error(l->error);
    const auto v = l->adapter->violations();
    if (!v.empty()) throw std::runtime_error("the simulated adapter saw a protocol violation: " + v.front());
    const double jps = l->wall_s > 0 ? l->jobs / l->wall_s : 0;
    r.jobs_per_s.push_back(jps);
    r.chars_per_s.push_back(l->wall_s > 0 ? static_cast<double>(l->chars) / l->wall_s : 0);
    r.line_cpu_s += l->cpu_s;
    r.wall_s = std::max(r.wall_s, l->wall_s);
  }
  r.process_cpu_s = proc;
  r.process_wall_s = wall;
  return r;
}

}  // namespace s7bench
