// s7soak: a long run of jobs through the simulated adapter and the simulated
// S7-200, with a random fault in about 1% of them. Between jobs the PLC's
// memory is changed now and then, so every accepted read is compared with
// fresh contents and every accepted write is looked up in the PLC. Reports the
// jobs, the faults by kind, the failures seen, wrong data (must be 0) and the
// resident memory at start and end.
//
//   s7soak [JOBS] [SEED]       default 100000 jobs, seed 1; exit 1 on wrong data
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "rig.hpp"

namespace {

using namespace robust;
using s7sim::Fault;
using s7sim::PpiFault;
using s7sim::PpiFaultOn;

struct FaultChoice {
  const char *name;
  bool ppi;
  Fault fault;
  int arg;
  PpiFault pfault;
  PpiFaultOn pon;
  int weight;  // faults that cost a time-out are rare
};

const FaultChoice kFaults[] = {
    {"MPI NAK", false, Fault::NakBlock, -1, PpiFault::None, PpiFaultOn::Request, 10},
    {"MPI collision", false, Fault::Collision, -1, PpiFault::None, PpiFaultOn::Request, 10},
    {"MPI wrong BCC", false, Fault::CorruptBcc, -1, PpiFault::None, PpiFaultOn::Request, 10},
    {"MPI byte dropped", false, Fault::DropByte, 2, PpiFault::None, PpiFaultOn::Request, 10},
    {"MPI garbage", false, Fault::GarbageBeforeStx, 3, PpiFault::None, PpiFaultOn::Request, 10},
    {"MPI wrong ack nr", false, Fault::WrongAckNumber, -1, PpiFault::None, PpiFaultOn::Request, 10},
    {"MPI wrong ack refs", false, Fault::WrongAckRefs, -1, PpiFault::None, PpiFaultOn::Request, 10},
    {"MPI long answer", false, Fault::LongAnswer, 317, PpiFault::None, PpiFaultOn::Request, 10},
    {"MPI wrong length", false, Fault::LongAnswer, 200, PpiFault::None, PpiFaultOn::Request, 10},
    {"MPI STX ignored", false, Fault::IgnoreStx, -1, PpiFault::None, PpiFaultOn::Request, 1},
    {"MPI no reply", false, Fault::NoReply, -1, PpiFault::None, PpiFaultOn::Request, 1},
    {"PPI bad FCS", true, Fault::NakBlock, -1, PpiFault::BadFcs, PpiFaultOn::Request, 10},
    {"PPI bad ED", true, Fault::NakBlock, -1, PpiFault::BadEd, PpiFaultOn::Poll, 10},
    {"PPI LE/LEr", true, Fault::NakBlock, -1, PpiFault::LeMismatch, PpiFaultOn::Poll, 10},
    {"PPI SD1", true, Fault::NakBlock, -1, PpiFault::Sd1Frame, PpiFaultOn::Request, 10},
    {"PPI SD3", true, Fault::NakBlock, -1, PpiFault::Sd3Frame, PpiFaultOn::Poll, 10},
    {"PPI other station", true, Fault::NakBlock, -1, PpiFault::OtherAddress, PpiFaultOn::Poll, 10},
    {"PPI ack forever", true, Fault::NakBlock, -1, PpiFault::AckForever, PpiFaultOn::Request, 10},
    {"PPI byte while sending", true, Fault::NakBlock, -1, PpiFault::ByteWhileSending,
     PpiFaultOn::Request, 10},
    {"PPI silence", true, Fault::NakBlock, -1, PpiFault::Silence, PpiFaultOn::Request, 3},
};

}  // namespace

int main(int argc, char **argv) {
  const long jobs = argc > 1 ? std::atol(argv[1]) : 100000;
  const unsigned seed = argc > 2 ? static_cast<unsigned>(std::atol(argv[2])) : 1u;
  std::mt19937 rng(seed);
  const auto t0 = std::chrono::steady_clock::now();
  const long rss_start = RssKb();

  // Half the jobs on each path. The simulators keep a record of every block
  // and job they saw, so the line is set up afresh (record closed, new pty,
  // new simulator, record opened) every kJobsPerLine jobs: what stays is the
  // library's own memory.
  constexpr long kJobsPerLine = 5000;
  std::map<std::string, long> faults, failures;
  long wrong = 0, failed = 0, done = 0, recovered_late = 0;

  long rss_after_warmup = 0;
  for (int path = 0; path < 2; ++path) {
    const bool ppi = path == 1;
    int total_weight = 0;
    for (const auto &f : kFaults)
      if (f.ppi == ppi) total_weight += f.weight;
    auto line = std::make_unique<Rig>(ppi);
    const long n = jobs / 2 + (ppi ? jobs % 2 : 0);
    bool last_failed = false;
    for (long i = 0; i < n; ++i) {
      if (i > 0 && i % kJobsPerLine == 0) {
        line.reset();
        line = std::make_unique<Rig>(ppi);
      }
      Rig &rig = *line;
      const Kind k = kAllKinds[rng() % (ppi ? 9 : 10)];
      const bool write = HasWrite(k) && (rng() & 1);
      if (rng() % 50 == 0) rig.Scramble(static_cast<uint32_t>(rng()));
      const FaultChoice *fault = nullptr;
      if (rng() % 100 == 0) {
        int w = static_cast<int>(rng() % static_cast<unsigned>(total_weight));
        for (const auto &f : kFaults) {
          if (f.ppi != ppi) continue;
          if (w < f.weight) {
            fault = &f;
            break;
          }
          w -= f.weight;
        }
      }
      if (fault) {
        ++faults[fault->name];
        if (ppi) {
          rig.station()->inject({fault->pfault, fault->pon, 0, 1});
          if (fault->pfault == PpiFault::ByteWhileSending)
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        } else {
          // aimed at every event of the kind from now on, for this one job
          rig.adapter()->inject(fault->fault, 1, 0, fault->arg);
        }
      }
      const Outcome o = rig.Run(k, write, static_cast<uint32_t>(rng()));
      if (fault) {
        if (ppi)
          rig.station()->inject({});
        else
          rig.adapter()->clear_faults();
      }
      ++done;
      if (!o.wrong.empty()) {
        ++wrong;
        std::printf("WRONG job %ld (%s %s%s): %s\n", done, Name(k), write ? "write" : "read",
                    fault ? (std::string(", ") + fault->name).c_str() : "", o.wrong.c_str());
      }
      if (!o.success) {
        ++failed;
        ++failures[fault ? fault->name : "(no fault)"];
        if (!o.untouched) {
          ++wrong;
          std::printf("WRONG job %ld: failed call wrote the caller's buffer\n", done);
        }
      }
      if (!fault && !o.success && last_failed) ++recovered_late;
      last_failed = !o.success;
      if (done == 1000) rss_after_warmup = RssKb();
      if (done % 10000 == 0) {
        std::printf("%ld jobs, %ld failed, %ld wrong, RSS %ld kB\n", done, failed, wrong, RssKb());
        std::fflush(stdout);
      }
    }
  }

  const long rss_end = RssKb();
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("\njobs %ld (seed %u), wall time %.0f s\n", done, seed, secs);
  long nfaults = 0;
  for (const auto &[name, count] : faults) {
    std::printf("  fault %-24s %6ld   failed jobs %ld\n", name.c_str(), count,
                failures.count(name) ? failures[name] : 0);
    nfaults += count;
  }
  std::printf(
      "faults %ld, failed jobs %ld (without a fault: %ld), failed again after a failure: "
      "%ld\n",
      nfaults, failed, failures.count("(no fault)") ? failures["(no fault)"] : 0, recovered_late);
  std::printf("wrong data %ld\n", wrong);
  std::printf("RSS start %ld kB, after 1000 jobs %ld kB, end %ld kB\n", rss_start, rss_after_warmup,
              rss_end);
  return wrong ? 1 : 0;
}
