// s7bench: what one job costs the PC next to the time its characters take on
// the line. Runs N jobs of each kind through the simulated MPI adapter and
// the simulated S7-200 on ptys and reports, per kind, jobs per second, the
// CPU time of the thread that makes the library calls, the library's system
// calls on the line and its sleeps, the characters on the line (counted by
// the simulator), and the ratio of that CPU time to the time the characters
// take at 115200 baud. With --baud the simulators run paced, as a real line
// of that rate, and the payload rate is set against the line's ideal.
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "s7client.hpp"
#include "tagsbench.hpp"
#include "linecalls.hpp"
#include "lines.hpp"
#include "mpi_adapter.hpp"
#include "plc.hpp"
#include "ppi_station.hpp"
#include "pty.hpp"
#include "rs232.h"
#include "kesto.h"
#include "s7serial.h"

namespace {

using s7bench::LineCalls;
using Clock = std::chrono::steady_clock;

constexpr int kMpiCom = 0;
constexpr int kPpiCom = 1;
constexpr int kPlcAddr = 2;
constexpr int kPcAddr = 0;
constexpr int kDb = 1;
constexpr double kRefBaud = 115200.0;  // the line the CPU time is set against

constexpr const char *kUsage = R"(usage: s7bench [options]

Runs N jobs of each kind through the simulated MPI adapter and the simulated
S7-200 (PPI) on pseudo-terminals and reports what each job costs the PC:

  mpi_read222   read 222 bytes of a data block (one full packet)
  mpi_write212  write 212 bytes (one full packet)
  mpi_read2     read 2 bytes
  mpi_timers4   read 4 timers
  ppi_read90    read 90 bytes over PPI (one full packet)
  ppi_write90   write 90 bytes over PPI
  mpi_connect, ppi_connect   open, first job (read 2 bytes), close
  gate_read222  mpi_read222 by an S7 Ethernet client through s7gate on the same
                line; CPU is the s7gate process's, against the direct kind's rate
  tags          one full read of a fixed set of 100 tags on a paced line (19200
                and 115200 baud, or --baud), per handle call, planned without
                and with merging, against the lower bound; runs only when
                named, alone

  --jobs N          jobs per kind (default 200; the connect kinds run N/10, 1..10)
  --rounds R        split them into R rounds (default 5); times and CPU are the
                    median of the rounds' per-job figures, counts are totals
  --baud B          paced simulators: a line of B baud (9600, 19200, 38400,
                    57600, 115200), 11 bits per character; default: unpaced,
                    characters as fast as the pty carries them
  --turnaround-us U the device's turnaround before each answer (paced only)
  --kinds LIST      comma-separated kinds, or mpi / ppi / gate (default: all)
  --json            a JSON list, one object per kind, instead of the table
  --lines LIST      instead of the job kinds: for each N of the comma-separated
                    list (1..16), N lines at once, each its own pty with a paced
                    MPI adapter (--baud, default 115200), driven by one thread per
                    line through the handle API with 222-byte reads; prints per
                    line jobs/s against a single line alone and the library
                    threads' CPU as a share of one core
  --seconds S       the measured window of each --lines run (default 3)
  --fifo K          paced lines hand the PC K characters together, each group
                    when its last character has left the wire, like a receive
                    FIFO (default 1: every character on its own)
  --slack-us U      paced simulators may release a character up to U us after
                    it has left the wire (timer slack; default 0: on time), so
                    that the kernel serves the timers of many lines together
  --help            this text
)";

struct Options {
  int jobs = 200;
  int rounds = 5;
  int baud = 0;
  int turnaround_us = 0;
  bool json = false;
  std::vector<std::string> kinds;  // empty: all
  std::vector<int> lines;          // --lines: the line counts to run
  int seconds = 3;
  int fifo = 1;
  int slack_us = 0;
};

struct Result {
  std::string kind;
  int jobs = 0;
  int payload = 0;  // data bytes per job
  // Time-based figures: the median over the rounds (the machine may be busy
  // with other work in some of them); counts: totals over all rounds.
  double job_s = 0, cpu_job_s = 0;
  double user_s = 0, sys_s = 0;  // totals, split by the kernel's tick sampling
  LineCalls calls;
  uint64_t pc_chars = 0, dev_chars = 0;  // characters on the line, each direction
  double exchange_us = 0;  // a bare exchange on a pty (bare_exchange_us), for the floor

  double per(double v) const { return jobs > 0 ? v / jobs : 0; }
  double line_chars() const { return per(static_cast<double>(pc_chars + dev_chars)); }
  double line_time_us(double baud) const { return line_chars() * 11.0 / baud * 1e6; }
  double cpu_us() const { return cpu_job_s * 1e6; }
  double cpu_line_ratio() const {
    const double t = line_time_us(kRefBaud);
    return t > 0 ? cpu_us() / t : 0;
  }
  // The job's time on the line: its characters, and the pauses the protocol
  // makes between them (PPI), during which the line is the job's too.
  double job_time_us() const {
    return line_time_us(kRefBaud) + per(static_cast<double>(calls.sleep_ns)) * 1e-3;
  }
  double cpu_job_ratio() const {
    const double t = job_time_us();
    return t > 0 ? cpu_us() / t : 0;
  }
  double syscalls() const { return per(static_cast<double>(calls.on_line())); }
  double per_pc_char() const {
    return pc_chars ? static_cast<double>(calls.on_line()) / static_cast<double>(pc_chars) : 0;
  }
  double per_line_char() const {
    const uint64_t all = pc_chars + dev_chars;
    return all ? static_cast<double>(calls.on_line()) / static_cast<double>(all) : 0;
  }
  double jobs_per_s() const { return job_s > 0 ? 1.0 / job_s : 0; }
  // What the job's reads cost if each were one bare exchange.
  double floor_us() const { return per(static_cast<double>(calls.reads)) * exchange_us; }
};

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

double thread_cpu_s() {
  struct timespec ts {};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void thread_user_sys(double &user, double &sys) {
  struct rusage ru {};
  getrusage(RUSAGE_THREAD, &ru);
  user = static_cast<double>(ru.ru_utime.tv_sec) + static_cast<double>(ru.ru_utime.tv_usec) * 1e-6;
  sys = static_cast<double>(ru.ru_stime.tv_sec) + static_cast<double>(ru.ru_stime.tv_usec) * 1e-6;
}

// Lets the simulator finish counting the characters of the last job.
void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

using Chars = std::function<std::pair<uint64_t, uint64_t>()>;  // from PC, to PC

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// Runs `job` n times, in up to `rounds` rounds, and takes the figures
// around each round's loop.
Result measure(const std::string &kind, int n, int rounds, int payload,
               const std::function<bool()> &job, const Chars &chars) {
  Result r;
  r.kind = kind;
  r.jobs = n;
  r.payload = payload;
  rounds = std::clamp(rounds, 1, n);
  std::vector<double> job_s, cpu_s;
  int done = 0;
  for (int round = 0; round < rounds; ++round) {
    const int m = (n - done) / (rounds - round);
    settle();
    const auto c0 = chars();
    double u0, s0, u1, s1;
    thread_user_sys(u0, s0);
    const LineCalls k0 = s7bench::line_calls();
    const double cpu0 = thread_cpu_s();
    const auto t0 = Clock::now();
    for (int i = 0; i < m; ++i)
      if (!job()) throw Failure(kind + ": job " + std::to_string(done + i + 1) + " failed");
    const auto t1 = Clock::now();
    const double cpu1 = thread_cpu_s();
    const LineCalls k1 = s7bench::line_calls();
    thread_user_sys(u1, s1);
    settle();
    const auto c1 = chars();
    done += m;
    job_s.push_back(std::chrono::duration<double>(t1 - t0).count() / m);
    cpu_s.push_back((cpu1 - cpu0) / m);
    r.user_s += u1 - u0;
    r.sys_s += s1 - s0;
    const LineCalls k = k1 - k0;
    r.calls.reads += k.reads;
    r.calls.writes += k.writes;
    r.calls.polls += k.polls;
    r.calls.termios += k.termios;
    r.calls.sleeps += k.sleeps;
    r.calls.sleep_ns += k.sleep_ns;
    r.calls.other_sleeps += k.other_sleeps;
    r.pc_chars += c1.first - c0.first;
    r.dev_chars += c1.second - c0.second;
  }
  r.job_s = median(job_s);
  r.cpu_job_s = median(cpu_s);
  return r;
}

// What the kernel alone charges a thread for one exchange on a pty: write a
// character, then block in a read (as the library reads: VMIN 0, VTIME 5)
// until the partner's answer has come, the partner a thread at the master
// side that answers at once. No receiver can wait for an answer for less;
// the median of five rounds of 400.
double bare_exchange_us() {
  s7sim::Pty pty;
  const int fd = open(pty.slave_name().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct termios t {};
  cfmakeraw(&t);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 5;
  tcsetattr(fd, TCSANOW, &t);
  constexpr int kRounds = 5, kEach = 400;
  std::thread partner([m = pty.master()] {
    uint8_t b[64];
    for (int left = kRounds * kEach; left > 0;) {
      const ssize_t n = read(m, b, sizeof b);
      for (ssize_t i = 0; i < n; ++i, --left) write(m, b, 1);
    }
  });
  std::vector<double> us;
  for (int round = 0; round < kRounds; ++round) {
    const double c0 = thread_cpu_s();
    for (int i = 0; i < kEach; ++i) {
      uint8_t c = 0x02;
      write(fd, &c, 1);
      while (read(fd, &c, 1) != 1) {
      }
    }
    us.push_back((thread_cpu_s() - c0) / kEach * 1e6);
  }
  partner.join();
  close(fd);
  return median(us);
}

bool wanted(const Options &o, const std::string &kind) {
  if (o.kinds.empty()) return true;
  for (const auto &k : o.kinds)
    if (k == kind || kind.rfind(k + "_", 0) == 0) return true;
  return false;
}

bool any_wanted(const Options &o, const char *prefix) {
  for (const char *k : {"read222", "write212", "read2", "timers4", "read90", "write90", "connect"})
    if (wanted(o, std::string(prefix) + "_" + k)) return true;
  return false;
}

s7sim::Pace pace_of(const Options &o) {
  s7sim::Pace p;
  p.baud = o.baud;
  p.turnaround = std::chrono::microseconds(o.turnaround_us);
  p.fifo = o.fifo;
  p.slack = std::chrono::microseconds(o.slack_us);
  return p;
}

int connect_runs(const Options &o) { return std::clamp(o.jobs / 10, 1, 10); }

std::vector<uint8_t> pattern(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed);
  return v;
}

void check_clean(const std::vector<std::string> &violations, const char *who) {
  if (violations.empty()) return;
  throw Failure(std::string(who) + " saw a protocol violation: " + violations.front());
}

// ---- MPI: the simulated adapter with one PLC station behind it ----

// ---- the gateway: the same 222-byte read by an S7 Ethernet client through s7gate ----

void run_gate(const Options &o, const s7sim::Plc &plc, const std::string &dev, const Chars &chars,
              std::vector<Result> &out) {
  gt::Gate gate(dev, {"--baud", std::to_string(o.baud > 0 ? o.baud : 19200)});
  gt::Client c(gate.port);
  if (!c.ok || c.setup(240) != 240) throw Failure("gate_read222: s7gate not reached");
  const gt::Bytes job = gt::rw_job(false, 1, {{2, 222, kDb, 0x84, 0, {}}});
  const std::vector<uint8_t> want = plc.read_bytes(s7sim::Area::DB, kDb, 0, 222);
  const auto read = [&] {
    const auto items = gt::items_of(c.job(job), false);
    return items.size() == 1 && items[0].second == want;
  };
  if (!read()) throw Failure("gate_read222: first read failed or read wrong data");
  Result r = measure("gate_read222", o.jobs, o.rounds, 222, read, chars);
  // CPU: the gateway process's own, over its whole life (start, bring-up and
  // stop included), per job; the client's is not counted.
  if (gate.stop() != 0) throw Failure("gate_read222: s7gate did not end cleanly");
  r.cpu_job_s = gate.cpu_s / (o.jobs + 1);
  r.user_s = r.sys_s = 0;
  out.push_back(r);
}

void run_mpi(const Options &o, std::vector<Result> &out) {
  if (!any_wanted(o, "mpi") && !wanted(o, "gate_read222")) return;
  s7sim::Pty pty;
  s7sim::Plc plc;
  plc.add_db(kDb, 1024);
  plc.write_bytes(s7sim::Area::DB, kDb, 0, pattern(1024, 3));
  for (int t = 0; t < 4; ++t) plc.set_timer(t, static_cast<uint16_t>(0x1000 | (0x123 + t)));
  s7sim::MpiAdapter adapter(pty.master());
  adapter.add_station(kPlcAddr, plc);
  adapter.set_pace(pace_of(o));
  adapter.start();
  const Chars chars = [&] { return std::pair{adapter.chars_from_pc(), adapter.chars_to_pc()}; };

  std::string dev = pty.slave_name();
  if (ComSetDevName(kMpiCom, dev.data()) != 0) throw Failure("device name refused: " + dev);
  const DWORD baud = static_cast<DWORD>(o.baud > 0 ? o.baud : 19200);
  s7bench::count_line_calls(kMpiCom);

  if (wanted(o, "mpi_connect")) {
    out.push_back(measure(
        "mpi_connect", connect_runs(o), o.rounds, 2,
        [&] {
          S7 s7{};
          BYTE b[2];
          const bool ok =
              S7InitFastBaud(&s7, kMpiCom, kPlcAddr, kPcAddr, baud) && S7RdDBB(&s7, kDb, 0, 2, b);
          S7Exit(&s7);
          return ok;
        },
        chars));
  }

  S7 s7{};
  if (!S7InitFastBaud(&s7, kMpiCom, kPlcAddr, kPcAddr, baud)) throw Failure("MPI open failed");
  // First job: brings the adapter up and connects; its answer is checked.
  std::vector<uint8_t> rd(222);
  if (!S7RdDBB(&s7, kDb, 0, 222, rd.data()) || rd != plc.read_bytes(s7sim::Area::DB, kDb, 0, 222))
    throw Failure("MPI first read failed or read wrong data");
  if (!s7bench::line_calls_seen())
    throw Failure("the library's calls on the line are not being counted (link wrappers)");

  const std::vector<uint8_t> wr = pattern(212, 11);
  std::vector<uint8_t> wr_buf = wr;
  DWORD timers[4];
  BYTE two[2];
  struct Kind {
    const char *name;
    int payload;
    std::function<bool()> job;
  };
  const Kind kinds[] = {
      {"mpi_read222", 222, [&] { return S7RdDBB(&s7, kDb, 0, 222, rd.data()) != FALSE; }},
      {"mpi_write212", 212, [&] { return S7WrDBB(&s7, kDb, 300, 212, wr_buf.data()) != FALSE; }},
      {"mpi_read2", 2, [&] { return S7RdDBB(&s7, kDb, 0, 2, two) != FALSE; }},
      {"mpi_timers4", 8, [&] { return S7RdTimer(&s7, 0, 4, timers) != FALSE; }},
  };
  for (const Kind &k : kinds)
    if (wanted(o, k.name))
      out.push_back(measure(k.name, o.jobs, o.rounds, k.payload, k.job, chars));
  if (wanted(o, "mpi_write212") && plc.read_bytes(s7sim::Area::DB, kDb, 300, 212) != wr)
    throw Failure("mpi_write212: the PLC does not hold the written data");
  S7Exit(&s7);
  if (wanted(o, "gate_read222")) run_gate(o, plc, dev, chars, out);
  adapter.stop();
  check_clean(adapter.violations(), "the simulated adapter");
}

// ---- PPI: the simulated S7-200 ----

void run_ppi(const Options &o, std::vector<Result> &out) {
  if (!any_wanted(o, "ppi")) return;
  s7sim::Pty pty;
  s7sim::Plc plc;
  plc.add_db(kDb, 1024);
  plc.write_bytes(s7sim::Area::DB, kDb, 0, pattern(1024, 5));
  s7sim::PpiStation station(pty.master(), kPlcAddr, plc);
  station.set_pace(pace_of(o));
  station.start();
  const Chars chars = [&] {
    const s7sim::PpiCounts c = station.counts();
    return std::pair{static_cast<uint64_t>(c.rx_chars), static_cast<uint64_t>(c.tx_chars)};
  };

  std::string dev = pty.slave_name();
  if (ComSetDevName(kPpiCom, dev.data()) != 0) throw Failure("device name refused: " + dev);
  // PPI runs at 9600 or 19200; a paced line of another rate still opens at 19200.
  const int baud = o.baud == 9600 ? 9600 : 19200;
  s7bench::count_line_calls(kPpiCom);

  if (wanted(o, "ppi_connect")) {
    out.push_back(measure(
        "ppi_connect", connect_runs(o), o.rounds, 2,
        [&] {
          S7 s7{};
          BYTE b[2];
          const bool ok =
              S7PPIInit(&s7, kPpiCom, kPlcAddr, kPcAddr, baud) && S7RdDBB(&s7, kDb, 0, 2, b);
          S7Exit(&s7);
          return ok;
        },
        chars));
  }

  S7 s7{};
  if (!S7PPIInit(&s7, kPpiCom, kPlcAddr, kPcAddr, baud)) throw Failure("PPI open failed");
  std::vector<uint8_t> rd(90);
  if (!S7RdDBB(&s7, kDb, 0, 90, rd.data()) || rd != plc.read_bytes(s7sim::Area::DB, kDb, 0, 90))
    throw Failure("PPI first read failed or read wrong data");
  if (!s7bench::line_calls_seen())
    throw Failure("the library's calls on the line are not being counted (link wrappers)");
  const std::vector<uint8_t> wr = pattern(90, 13);
  std::vector<uint8_t> wr_buf = wr;
  if (wanted(o, "ppi_read90"))
    out.push_back(measure(
        "ppi_read90", o.jobs, o.rounds, 90,
        [&] { return S7RdDBB(&s7, kDb, 0, 90, rd.data()) != FALSE; }, chars));
  if (wanted(o, "ppi_write90")) {
    out.push_back(measure(
        "ppi_write90", o.jobs, o.rounds, 90,
        [&] { return S7WrDBB(&s7, kDb, 200, 90, wr_buf.data()) != FALSE; }, chars));
    if (plc.read_bytes(s7sim::Area::DB, kDb, 200, 90) != wr)
      throw Failure("ppi_write90: the PLC does not hold the written data");
  }
  S7Exit(&s7);
  station.stop();
  check_clean(station.violations(), "the simulated S7-200");
}

// ---- output ----

double ideal_bytes_per_s(const Result &r, int baud) {
  const double chars = r.line_chars();
  return chars > 0 ? r.payload / chars * (baud / 11.0) : 0;
}

void print_table(const Options &o, const std::vector<Result> &rs) {
  std::printf("s7bench: %d jobs per kind (connect kinds: %d) in %d rounds; line: %s", o.jobs,
              connect_runs(o), o.rounds,
              o.baud > 0 ? "paced" : "unpaced (as fast as the pty carries characters)");
  if (o.baud > 0) std::printf(" at %d baud, turnaround %d us", o.baud, o.turnaround_us);
  std::printf("\n\n");
  std::printf("%-13s %9s %9s %9s %11s %9s %8s %8s %8s %8s %7s %9s", "kind", "jobs/s", "CPU us",
              "chars", "CPU/line", "CPU/job", "calls", "calls/", "calls/", "sleeps", "sleep",
              "PC chars");
  if (o.baud > 0) std::printf(" %9s %9s %6s", "payload", "ideal", "ratio");
  std::printf("\n%-13s %9s %9s %9s %11s %9s %8s %8s %8s %8s %7s %9s", "", "", "per job", "per job",
              "chars", "time", "per job", "PC char", "line ch", "per job", "ms/job", "per job");
  if (o.baud > 0) std::printf(" %9s %9s %6s", "B/s", "B/s", "");
  std::printf("\n");
  for (const Result &r : rs) {
    std::printf("%-13s %9.1f %9.1f %9.1f %10.3f%% %8.3f%% %8.1f %8.2f %8.2f %8.2f %7.2f %9.1f",
                r.kind.c_str(), r.jobs_per_s(), r.cpu_us(), r.line_chars(),
                r.cpu_line_ratio() * 100, r.cpu_job_ratio() * 100, r.syscalls(), r.per_pc_char(), r.per_line_char(),
                r.per(static_cast<double>(r.calls.sleeps)),
                r.per(static_cast<double>(r.calls.sleep_ns)) * 1e-6,
                r.per(static_cast<double>(r.pc_chars)));
    if (o.baud > 0) {
      const double ideal = ideal_bytes_per_s(r, o.baud);
      const double got = r.payload * r.jobs_per_s();
      std::printf(" %9.1f %9.1f %6.3f", got, ideal, ideal > 0 ? got / ideal : 0);
    }
    std::printf("\n");
  }

  std::printf("\ncalls per job by kind:\n");
  for (const Result &r : rs) {
    std::printf(
        "  %-13s read %.1f  write %.1f  poll %.1f  termios/ioctl %.2f   CPU user %.1f us"
        " + system %.1f us",
        r.kind.c_str(), r.per(static_cast<double>(r.calls.reads)),
        r.per(static_cast<double>(r.calls.writes)), r.per(static_cast<double>(r.calls.polls)),
        r.per(static_cast<double>(r.calls.termios)), r.per(r.user_s) * 1e6, r.per(r.sys_s) * 1e6);
    if (o.baud > 0) {
      const double t = r.line_time_us(o.baud);
      std::printf("   CPU/line at %d: %.3f%%", o.baud, t > 0 ? r.cpu_us() / t * 100 : 0);
    }
    if (r.exchange_us > 0 && r.kind.rfind("gate", 0) != 0)
      std::printf("\n  %-13s waits: %.1f us = %.3f%% of the job's time", "", r.floor_us(),
                  r.job_time_us() > 0 ? r.floor_us() / r.job_time_us() * 100 : 0);
    std::printf("\n");
  }

  std::printf(
      "\njobs/s and CPU us per job: the median of the rounds' figures.\n"
      "CPU us per job: user + system time of the thread that makes the library calls\n"
      "  (CLOCK_THREAD_CPUTIME_ID); the simulator runs on its own thread and is not counted.\n"
      "  The user/system split above is the kernel's tick sampling, summed over the rounds.\n"
      "CPU/line chars: that CPU time against the time the job's characters (both directions,\n"
      "  11 bits each) take on a 115200-baud line. CPU/job time: against the job's time on\n"
      "  that line, its characters and the protocol's pauses between them (the sleeps below).\n"
      "  Target: CPU/job time at most 1%% for every kind.\n"
      "calls: the library's system calls on the line's descriptor RsIo[com].hCom (read, write,\n"
      "  poll, termios and ioctl calls), counted by wrappers the linker puts around the C\n"
      "  library (-Wl,--wrap). calls/PC char = calls / characters the PC transmitted;\n"
      "  calls/line ch = calls / all characters on the line. Target: at most 0.5 for every\n"
      "  kind.\n"
      "waits: the job's reads, each priced as one bare exchange on a pty (write a character,\n"
      "  block in a read until the partner's answer comes: %.1f us of CPU on this machine now):\n"
      "  about what the kernel charges for the job's waits alone, whatever the receiver does\n"
      "  (a read that finds its characters already there costs less).\n"
      "sleeps: sleep calls of the library thread and the time they ask for. The protocol's\n"
      "  pauses only: PPI 12 ms at connect (twice per open), 5 ms before each poll,\n"
      "  15 ms between packets of one call; none on MPI. (The receiver's wait for the rest of\n"
      "  a block of known length is a poll on the line, counted with the polls.)\n",
      rs.empty() ? 0.0 : rs.front().exchange_us);
  if (o.baud > 0)
    std::printf(
        "payload B/s: data bytes moved per second; ideal: payload / characters on the line x\n"
        "  characters per second (%d / 11); ratio = payload / ideal, target >= 0.97 for full\n"
        "  packets on MPI at 19200 and 38400 baud.\n",
        o.baud);

  // Targets in one place.
  std::printf("\ntargets:\n");
  for (const Result &r : rs) {
    if (r.kind.rfind("gate", 0) == 0) continue;  // the gateway's calls are another process's
    std::printf(
        "  %-13s CPU/job time %.3f%% %s (<= 1%%; characters alone %.3f%%), calls/line char %.2f "
        "%s (<= 0.5)\n",
        r.kind.c_str(), r.cpu_job_ratio() * 100, r.cpu_job_ratio() <= 0.01 ? "met" : "NOT met",
        r.cpu_line_ratio() * 100, r.per_line_char(), r.per_line_char() <= 0.5 ? "met" : "NOT met");
  }
  if (o.baud == 19200 || o.baud == 38400)
    for (const Result &r : rs)
      if (r.kind == "mpi_read222" || r.kind == "mpi_write212") {
        const double ideal = ideal_bytes_per_s(r, o.baud);
        const double ratio = ideal > 0 ? r.payload * r.jobs_per_s() / ideal : 0;
        std::printf("  %-13s %.3f of the ideal at %d baud %s (>= 0.97)\n", r.kind.c_str(), ratio,
                    o.baud, ratio >= 0.97 ? "met" : "NOT met");
      }
  const Result *direct = nullptr, *gate = nullptr;
  for (const Result &r : rs) {
    if (r.kind == "mpi_read222") direct = &r;
    if (r.kind == "gate_read222") gate = &r;
  }
  if (direct && gate) {
    const double ratio = gate->jobs_per_s() / direct->jobs_per_s();
    std::printf("  gate_read222  %.3f of the direct jobs per second %s (>= 0.9)\n", ratio,
                ratio >= 0.9 ? "met" : "NOT met");
  }
  if (gate)
    std::printf("  gate_read222  s7gate CPU/line %.3f%% %s (<= 1%%)\n",
                gate->cpu_line_ratio() * 100, gate->cpu_line_ratio() <= 0.01 ? "met" : "NOT met");
  uint64_t odd = 0;
  for (const Result &r : rs)  // MPI has no pauses at all
    odd += r.kind.rfind("mpi", 0) == 0 ? r.calls.sleeps : r.calls.other_sleeps;
  std::printf("  sleeps other than the protocol's pauses: %llu %s\n",
              static_cast<unsigned long long>(odd), odd == 0 ? "met" : "NOT met");
}

void print_json(const Options &o, const std::vector<Result> &rs) {
  std::printf("[\n");
  for (size_t i = 0; i < rs.size(); ++i) {
    const Result &r = rs[i];
    const auto per = [&](uint64_t v) { return r.per(static_cast<double>(v)); };
    std::printf(
        "  {\"kind\": \"%s\", \"jobs\": %d, \"baud\": %d, \"turnaround_us\": %d, "
        "\"payload_bytes\": %d,\n"
        "   \"jobs_per_s\": %.3f, \"cpu_us_per_job\": %.3f, \"cpu_user_us_per_job\": %.3f, "
        "\"cpu_sys_us_per_job\": %.3f,\n"
        "   \"syscalls_per_job\": %.3f, \"reads_per_job\": %.3f, \"writes_per_job\": %.3f, "
        "\"polls_per_job\": %.3f, \"termios_per_job\": %.3f,\n"
        "   \"line_chars_per_job\": %.3f, \"pc_chars_per_job\": %.3f, "
        "\"device_chars_per_job\": %.3f,\n"
        "   \"line_time_us_at_115200\": %.3f, \"cpu_line_ratio\": %.6f,\n"
        "   \"job_time_us_at_115200\": %.3f, \"cpu_job_ratio\": %.6f,\n"
        "   \"syscalls_per_tx_char\": %.4f, \"syscalls_per_line_char\": %.4f,\n"
        "   \"bare_exchange_us\": %.3f, \"floor_us_per_job\": %.3f,\n"
        "   \"sleeps_per_job\": %.3f, \"sleep_ms_per_job\": %.3f, \"other_sleeps\": %llu",
        r.kind.c_str(), r.jobs, o.baud, o.turnaround_us, r.payload, r.jobs_per_s(), r.cpu_us(),
        r.per(r.user_s) * 1e6, r.per(r.sys_s) * 1e6, r.syscalls(), per(r.calls.reads),
        per(r.calls.writes), per(r.calls.polls), per(r.calls.termios), r.line_chars(),
        per(r.pc_chars), per(r.dev_chars), r.line_time_us(kRefBaud), r.cpu_line_ratio(),
        r.job_time_us(), r.cpu_job_ratio(),
        r.per_pc_char(), r.per_line_char(), r.exchange_us, r.floor_us(), per(r.calls.sleeps),
        per(r.calls.sleep_ns) * 1e-6,
        static_cast<unsigned long long>(r.calls.other_sleeps));
    if (o.baud > 0) {
      const double ideal = ideal_bytes_per_s(r, o.baud);
      const double got = r.payload * r.jobs_per_s();
      std::printf(
          ",\n   \"payload_bytes_per_s\": %.3f, \"ideal_bytes_per_s\": %.3f, \"ideal_ratio\": "
          "%.4f, \"cpu_paced_line_ratio\": %.6f",
          got, ideal, ideal > 0 ? got / ideal : 0,
          r.line_time_us(o.baud) > 0 ? r.cpu_us() / r.line_time_us(o.baud) : 0);
    }
    std::printf("}%s\n", i + 1 < rs.size() ? "," : "");
  }
  std::printf("]\n");
}

bool parse_int(const char *s, int lo, int hi, int &v) {
  char *end = nullptr;
  const long x = std::strtol(s, &end, 10);
  if (!s[0] || *end || x < lo || x > hi) return false;
  v = static_cast<int>(x);
  return true;
}

// The items of a comma-separated list, empty ones included.
std::vector<std::string> split_list(const std::string &list) {
  std::vector<std::string> items;
  for (size_t at = 0; at <= list.size();) {
    const size_t comma = std::min(list.find(',', at), list.size());
    items.push_back(list.substr(at, comma - at));
    at = comma + 1;
  }
  return items;
}

// 0: go on; otherwise the exit status.
int parse(int argc, char **argv, Options &o) {
  // the options that take one number within a range
  const struct {
    const char *name;
    int lo, hi;
    int *to;
  } numbers[] = {{"--jobs", 1, 1000000, &o.jobs},          {"--rounds", 1, 1000, &o.rounds},
                 {"--turnaround-us", 0, 1000000, &o.turnaround_us},
                 {"--seconds", 1, 3600, &o.seconds},       {"--fifo", 1, 64, &o.fifo},
                 {"--slack-us", 0, 1000, &o.slack_us}};
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
    auto bad = [&](const char *what) {
      std::fprintf(stderr, "s7bench: %s\n%s", what, kUsage);
      return 2;
    };
    const auto number = std::find_if(std::begin(numbers), std::end(numbers),
                                     [&](const auto &n) { return a == n.name; });
    if (number != std::end(numbers)) {
      if (!next || !parse_int(next, number->lo, number->hi, *number->to))
        return bad((std::string(number->name) + " needs " + std::to_string(number->lo) + ".." +
                    std::to_string(number->hi))
                       .c_str());
      ++i;
    } else if (a == "--help" || a == "-h") {
      std::printf("%s", kUsage);
      return -1;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--baud") {
      if (!next || !parse_int(next, 1, 115200, o.baud) ||
          (o.baud != 9600 && o.baud != 19200 && o.baud != 38400 && o.baud != 57600 &&
           o.baud != 115200))
        return bad("--baud needs 9600, 19200, 38400, 57600 or 115200");
      ++i;
    } else if (a == "--lines") {
      if (!next) return bad("--lines needs a list of 1..16");
      ++i;
      for (const std::string &item : split_list(next)) {
        int n = 0;
        if (!parse_int(item.c_str(), 1, 16, n)) return bad("--lines needs a list of 1..16");
        o.lines.push_back(n);
      }
    } else if (a == "--kinds") {
      if (!next) return bad("--kinds needs a list");
      ++i;
      for (const std::string &item : split_list(next))
        if (!item.empty()) o.kinds.push_back(item);
      if (o.kinds.empty()) return bad("--kinds needs a list");
    } else {
      return bad(("unknown option " + std::string(a)).c_str());
    }
  }
  if ((o.fifo > 1 || o.slack_us > 0) && o.baud == 0 && o.lines.empty()) {
    std::fprintf(stderr, "s7bench: --fifo and --slack-us need --baud\n");
    return 2;
  }
  if (o.turnaround_us > 0 && o.baud == 0 && o.lines.empty()) {
    std::fprintf(stderr, "s7bench: --turnaround-us needs --baud\n");
    return 2;
  }
  return 0;
}

// --lines: the runs of the list, a single line first as the reference.
int run_lines_table(const Options &o) {
  s7bench::LinesOptions lo;
  lo.baud = o.baud > 0 ? o.baud : 115200;
  lo.turnaround_us = o.turnaround_us;
  lo.fifo = o.fifo;
  lo.slack_us = o.slack_us;
  lo.millis = o.seconds * 1000;
  std::vector<int> runs = o.lines;
  if (std::find(runs.begin(), runs.end(), 1) == runs.end()) runs.insert(runs.begin(), 1);
  std::vector<s7bench::LinesResult> rs;
  InitKesto();
  try {
    std::stable_sort(runs.begin(), runs.end(), [](int a, int b) { return a == 1 && b != 1; });
    for (int n : runs) rs.push_back(s7bench::run_lines(n, lo));
  } catch (const std::exception &e) {
    ExitKesto();
    std::fprintf(stderr, "s7bench: %s\n", e.what());
    return 1;
  }
  ExitKesto();
  const double cps = lo.baud / 11.0;
  for (const auto &r : rs)
    for (double c : r.chars_per_s)
      if (c > cps * 1.01) {
        std::fprintf(stderr, "s7bench: %d lines: a line carried %.0f characters/s, faster than %d baud allows\n",
                     r.lines, c, lo.baud);
        return 3;
      }
  const double single = median(rs.front().jobs_per_s);
  if (o.json) {
    std::printf("[\n");
    for (size_t i = 0; i < rs.size(); ++i) {
      const auto &r = rs[i];
      std::printf("  {\"lines\": %d, \"baud\": %d, \"fifo\": %d, \"slack_us\": %d, \"seconds\": %.3f, "
                  "\"jobs_per_s\": [",
                  r.lines, lo.baud, lo.fifo, lo.slack_us, r.wall_s);
      for (size_t k = 0; k < r.jobs_per_s.size(); ++k)
        std::printf("%s%.3f", k ? ", " : "", r.jobs_per_s[k]);
      const double lo_jps = *std::min_element(r.jobs_per_s.begin(), r.jobs_per_s.end());
      std::printf("],\n   \"least_to_single\": %.4f, \"line_cpu_share\": %.5f, \"process_cpu_share\": %.5f}%s\n",
                  single > 0 ? lo_jps / single : 0, r.wall_s > 0 ? r.line_cpu_s / r.wall_s : 0,
                  r.process_wall_s > 0 ? r.process_cpu_s / r.process_wall_s : 0,
                  i + 1 < rs.size() ? "," : "");
    }
    std::printf("]\n");
    return 0;
  }
  std::printf("s7bench --lines: 222-byte reads through the handle API, one thread per line; each line a\n"
              "pty with a simulated MPI adapter paced at %d baud (11 bits a character), turnaround %d us,\n"
              "characters to the PC handed over %d at a time, released at most %d us late; %d s per run\n\n",
              lo.baud, lo.turnaround_us, lo.fifo, lo.slack_us, o.seconds);
  std::printf("%5s %10s %10s %10s %9s %12s %12s %10s\n", "lines", "jobs/s", "jobs/s", "jobs/s", "least /",
              "library CPU", "process CPU", "line use");
  std::printf("%5s %10s %10s %10s %9s %12s %12s %10s\n", "", "least", "median", "most", "single",
              "of one core", "of one core", "median");
  for (const auto &r : rs) {
    const double lo_jps = *std::min_element(r.jobs_per_s.begin(), r.jobs_per_s.end());
    const double hi_jps = *std::max_element(r.jobs_per_s.begin(), r.jobs_per_s.end());
    std::printf("%5d %10.2f %10.2f %10.2f %9.3f %11.2f%% %11.2f%% %9.1f%%\n", r.lines, lo_jps,
                median(r.jobs_per_s), hi_jps, single > 0 ? lo_jps / single : 0,
                r.wall_s > 0 ? r.line_cpu_s / r.wall_s * 100 : 0,
                r.process_wall_s > 0 ? r.process_cpu_s / r.process_wall_s * 100 : 0,
                median(r.chars_per_s) / cps * 100);
  }
  std::printf("\njobs/s per line:\n");
  for (const auto &r : rs) {
    std::printf("  %2d:", r.lines);
    for (double j : r.jobs_per_s) std::printf(" %.1f", j);
    std::printf("\n");
  }
  std::printf(
      "\nleast / single: the slowest line's jobs/s against a single line alone (target >= 0.95).\n"
      "library CPU: CPU time of the threads that make the library calls, summed over the lines,\n"
      "  against the run's time (target at 16 lines, 115200 baud: under 16%% of one core).\n"
      "process CPU: the whole process, the simulated adapters' threads and their pacing included.\n"
      "line use: characters on the line (both directions) against what the baud rate carries.\n");
  if (lo.baud == 115200)
    for (const auto &r : rs)
      if (r.lines == 16) {
        const double lo_jps = *std::min_element(r.jobs_per_s.begin(), r.jobs_per_s.end());
        const double cpu = r.wall_s > 0 ? r.line_cpu_s / r.wall_s : 0;
        std::printf("\ntargets at 16 lines:\n  least / single %.3f %s (>= 0.95)\n"
                    "  library CPU %.2f%% of one core %s (< 16%%)\n",
                    single > 0 ? lo_jps / single : 0,
                    single > 0 && lo_jps / single >= 0.95 ? "met" : "NOT met", cpu * 100,
                    cpu < 0.16 ? "met" : "NOT met");
      }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (const int rc = parse(argc, argv, o); rc != 0) return rc < 0 ? 0 : rc;
  if (!o.lines.empty()) return run_lines_table(o);
  if (std::find(o.kinds.begin(), o.kinds.end(), "tags") != o.kinds.end()) {
    if (o.kinds.size() > 1) {
      std::fprintf(stderr, "s7bench: the kind tags runs alone\n");
      return 2;
    }
    try {
      return s7bench::RunTags(o.baud ? std::vector<int>{o.baud} : std::vector<int>{19200, 115200},
                              o.turnaround_us, o.json);
    } catch (const std::exception &e) {
      S7ExitAll();
      std::fprintf(stderr, "s7bench: %s\n", e.what());
      return 1;
    }
  }
  std::vector<Result> results;
  try {
    run_mpi(o, results);
    run_ppi(o, results);
  } catch (const std::exception &e) {
    S7ExitAll();
    std::fprintf(stderr, "s7bench: %s\n", e.what());
    return 1;
  }
  S7ExitAll();
  const double exchange = bare_exchange_us();
  for (Result &r : results) r.exchange_us = exchange;
  if (results.empty()) {
    std::fprintf(stderr, "s7bench: no job kind matches --kinds\n");
    return 2;
  }
  // A paced run that moves more than the line can carry measured nothing real:
  // the simulated line released its characters early.
  for (const Result &r : results)
    if (o.baud > 0 && r.payload * r.jobs_per_s() > ideal_bytes_per_s(r, o.baud) * 1.01) {
      std::fprintf(stderr, "s7bench: %s faster than %d baud allows\n", r.kind.c_str(), o.baud);
      return 3;
    }
  if (o.json)
    print_json(o, results);
  else
    print_table(o, results);
  return 0;
}
