// The fault matrix and the soak over the rig. Matrix: every fault the
// simulators can put on the line against the job kinds; each cell brings a
// fresh line up with one good job, aims the fault at the next job (for the
// three-packet run: at its second packet) and checks that the fault did its
// damage: a failed call with the result, Err, record and port Status the rules
// give and the caller's buffer untouched, or, where the 3964R procedure
// repeats on its own, a success that took more characters. The calls after
// must recover and hand over the PLC's current memory. Soak: random jobs with
// a random fault in about 1 % of them; no wrong data may be accepted.
//
//   S7_MATRIX=full test_robust --gtest_filter='*Matrix*'     every row and kind
//   S7_SOAK="100000 1" test_robust --gtest_filter='*Soak*'   jobs, seed
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

#include "rig.hpp"

namespace {

using namespace robust;
using namespace fz;
using s7sim::Fault;
using s7sim::PpiFault;
using On = s7sim::PpiFaultOn;

enum class Expect {
  Ok,        // the 3964R procedure repeats or yields and the job goes through
  Line,      // failed exchange: Err -1, record and port down
  NoAnswer,  // no usable answer: reads as Line, writes Err 2 with the connection kept
};

// in_short: kinds of the short run (bits by kind, see FaultMatrix), none for faults that cost
// time-outs of seconds; recovery: calls the recovery may take.
struct Row {
  const char *name;
  bool ppi;
  int in_short;
  Expect expect;
  Fault fault;
  int arg;
  PpiFault pfault;
  On on;
  int recovery;
};

constexpr Fault N = Fault::NakBlock;
constexpr PpiFault P0 = PpiFault::None;
constexpr On Rq = On::Request, Po = On::Poll;
// short run: bytes, bits, timers, DB length, CPU text, members, packets; bytes and packets; a
// bytes read (every fault that costs no time-out does its damage in the short run too)
constexpr int S = 0x1CCF03, B = 0x180003, R = 0x1;
constexpr Expect Ok = Expect::Ok, Ln = Expect::Line, NA = Expect::NoAnswer;
const Row kRows[] = {
    {"MPI NAK to the job block", false, S, Ok, Fault::NakBlock, -1, P0, Rq, 1},
    {"MPI STX ignored once", false, 0, Ok, Fault::IgnoreStx, -1, P0, Rq, 1},
    {"MPI collision on STX", false, S, Ok, Fault::Collision, -1, P0, Rq, 1},
    {"MPI wrong BCC to the PC", false, S, Ln, Fault::CorruptBcc, -1, P0, Rq, 1},
    {"MPI byte dropped", false, R, Ln, Fault::DropByte, 2, P0, Rq, 1},
    // the adapter's block behind the garbage still comes in during the next call
    {"MPI garbage before STX", false, B, Ln, Fault::GarbageBeforeStx, 3, P0, Rq, 2},
    {"MPI block taken, no reply", false, 0, Ln, Fault::NoReply, -1, P0, Rq, 1},
    {"MPI ack only, no answer", false, 0, Ln, Fault::AckOnly, -1, P0, Rq, 1},
    {"MPI ack with wrong number", false, S, Ln, Fault::WrongAckNumber, -1, P0, Rq, 1},
    {"MPI ack with wrong refs", false, R, Ln, Fault::WrongAckRefs, -1, P0, Rq, 1},
    {"MPI answer over 316 bytes", false, S, Ln, Fault::LongAnswer, 317, P0, Rq, 1},
    {"MPI answer of wrong length", false, S, NA, Fault::LongAnswer, 200, P0, Rq, 1},
    {"PPI silence to request", true, 0, NA, N, -1, PpiFault::Silence, Rq, 1},
    {"PPI silence to poll", true, 0, NA, N, -1, PpiFault::Silence, Po, 1},
    {"PPI bad FCS to request", true, S, NA, N, -1, PpiFault::BadFcs, Rq, 1},
    {"PPI bad FCS to poll", true, R, NA, N, -1, PpiFault::BadFcs, Po, 1},
    {"PPI bad ED to request", true, R, NA, N, -1, PpiFault::BadEd, Rq, 1},
    {"PPI bad ED to poll", true, R, NA, N, -1, PpiFault::BadEd, Po, 1},
    // the rest of such a frame stays on the line; after a write the station
    // takes the next status request for the rest of a broken-off request
    {"PPI LE/LEr differ (req)", true, R, NA, N, -1, PpiFault::LeMismatch, Rq, 3},
    {"PPI LE/LEr differ (poll)", true, R, NA, N, -1, PpiFault::LeMismatch, Po, 3},
    {"PPI SD1 to request", true, R, NA, N, -1, PpiFault::Sd1Frame, Rq, 1},
    {"PPI SD1 to poll", true, S, NA, N, -1, PpiFault::Sd1Frame, Po, 1},
    {"PPI SD3 to request", true, R, NA, N, -1, PpiFault::Sd3Frame, Rq, 1},
    {"PPI SD3 to poll", true, R, NA, N, -1, PpiFault::Sd3Frame, Po, 1},
    {"PPI other station (req)", true, S, NA, N, -1, PpiFault::OtherAddress, Rq, 1},
    {"PPI other station (poll)", true, R, NA, N, -1, PpiFault::OtherAddress, Po, 1},
    // the last poll's answer stays on the line: the next request is abandoned
    // on it, and the status request after that may be taken for its rest
    {"PPI acknowledges forever", true, S, NA, N, -1, PpiFault::AckForever, Rq, 3},
    {"PPI byte while sending", true, B, Ln, N, -1, PpiFault::ByteWhileSending, Rq, 2},
};

bool JobFault(Fault f) { return f >= Fault::AckOnly; }

// Arms the row's fault for the next job, or for the job's `count` events
// from now on (count 0: every one), or with `second` for the second packet.
void Aim(Rig &rig, const Row &row, bool second, int count = 1) {
  if (row.ppi) {
    rig.station->inject({row.pfault, row.on, second ? 1 : 0, count ? count : 1});
    if (row.pfault == PpiFault::ByteWhileSending)  // the stray byte goes out while the line is idle
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return;
  }
  // events so far, counted from the blocks the adapter took and sent; one job
  // is two STX and blocks from the PC, two blocks to it, one job block
  const auto from = rig.adapter->blocks_from_pc();
  uint64_t acks = 0, jobs = 0, nth = rig.adapter->blocks_to_pc().size();
  for (const auto &b : from) {
    acks += b.size() == 7 && b[1] == 0x0C && b[4] == 0xB0;
    jobs += b.size() >= 5 && b[1] == 0x0C && b[4] == 0xF1;
  }
  int step = 2;
  if (row.fault <= Fault::Collision) nth = from.size();
  if (row.fault == Fault::NoReply) nth = from.size() - acks, step = 1;
  if (JobFault(row.fault)) nth = jobs, step = 1;
  rig.adapter->inject(row.fault, count ? static_cast<int>(nth + 1 + (second ? step : 0)) : 1, count,
                      row.arg);
}

void Clear(Rig &rig) {
  if (rig.adapter) rig.adapter->clear_faults();
  if (rig.station) rig.station->inject({});
}

// Empty when the outcome is what `ex` asks.
std::string Judge(const Outcome &o, Job j, bool packets, Expect ex) {
  const std::string state = " (result " + std::to_string(o.result) + ", Err " +
                            std::to_string(o.err) + ", Status " + std::to_string(o.status) +
                            ", port " + std::to_string(o.port) + ")";
  if (!o.wrong.empty()) return o.wrong;
  if (ex == Expect::Ok)  // the member list sets Err only when it fails
    return o.success && (o.err == 0 || j == Members) && o.status && o.port == 1
               ? ""
               : "not through" + state;
  if (o.success) return "reported success" + state;
  if (!o.untouched) return "failed call wrote the caller's buffer";
  if (o.result != (j == RdBit || j == WrBit || j == CPUInfo ? -1 : 0))
    return "wrong failure result" + state;
  if (packets && !IsWrite(j) && !o.first_packet) return "the first packet's data are missing";
  if (j == Members)  // asked of the adapter itself: the connection stays
    return o.err == -1 && o.status && o.port == 1 ? "" : "member failure" + state;
  if (ex == Expect::Line || !IsWrite(j))
    return o.err == -1 && !o.status && o.port == 0 ? "" : "not marked down" + state;
  return o.err == 2 && o.status && o.port == 1 ? "" : "not a kept refusal" + state;
}

// Waits until the line has been quiet for a moment: the simulator counts the
// last characters of a call after the library has returned.
uint64_t Settled(Rig &rig) {
  uint64_t n = rig.Chars();
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (rig.Chars() == n) break;
    n = rig.Chars();
  }
  return n;
}

std::string RunCell(const Row &row, Job j, bool packets) {
  Rig rig(row.ppi);
  const uint32_t seed = static_cast<uint32_t>(j) * 100 + packets;
  const Outcome warm = rig.Run(RdBytes, 99);  // brings the line up and connects
  if (!warm.success || !warm.wrong.empty()) return "warm-up job failed";
  const uint64_t c0 = Settled(rig);
  Aim(rig, row, packets);
  std::string w = Judge(rig.Run(j, seed, packets), j, packets, row.expect);
  const uint64_t c1 = Settled(rig);
  Clear(rig);
  if (!w.empty()) return w;
  if (row.expect == Expect::Ok) {  // the same job again, without the fault: fewer characters
    w = Judge(rig.Run(j, seed, packets), j, packets, Expect::Ok);
    return w.empty() && Settled(rig) - c1 >= c1 - c0 ? "the fault did nothing" : w;
  }
  rig.Scramble(seed + 1);  // the recovered job must see the new memory
  for (int i = 0; i < row.recovery; ++i)
    if ((w = Judge(rig.Run(j, seed + 2, packets), j, packets, Expect::Ok)).empty()) return "";
  return "no recovery: " + w;
}

// Kinds of the matrix: the jobs up to the member list (no direct jobs), then
// bytes in three packets, read and write.
TEST(Robust, FaultMatrix) {
  const char *env = std::getenv("S7_MATRIX");
  const bool full = env && std::string(env) == "full";
  for (const Row &row : kRows) {
    for (int kind = 0; kind < kJobs + 2; ++kind) {
      const bool packets = kind >= kJobs;
      const Job j = packets ? Job(kind - kJobs) : Job(kind);
      if ((!full && !(row.in_short >> kind & 1)) || j == RdDirect || j == WrDirect) continue;
      if ((j == Members && (row.ppi || JobFault(row.fault))) ||
          (row.pfault == PpiFault::ByteWhileSending && packets))
        continue;
      EXPECT_EQ(RunCell(row, j, packets), "") << row.name << " x job " << kind;
    }
  }
}

TEST(Robust, Soak) {
  long jobs = 2000, seed = 7;
  if (const char *env = std::getenv("S7_SOAK")) std::sscanf(env, "%ld %ld", &jobs, &seed);
  std::mt19937 rng(static_cast<unsigned>(seed));
  const auto t0 = std::chrono::steady_clock::now();
  long faults = 0, failed = 0, wrong = 0;
  for (int path = 0; path < 2; ++path) {
    const bool ppi = path == 1;
    std::vector<const Row *> rows;  // faults that cost a time-out are rare
    for (const Row &r : kRows)
      for (int i = 0; r.ppi == ppi && i < (r.in_short ? 10 : 1); ++i) rows.push_back(&r);
    std::unique_ptr<Rig> rig;
    for (long i = 0; i < jobs / 2; ++i) {
      if (i % 5000 == 0)
        rig.reset(), rig = std::make_unique<Rig>(ppi);  // the simulators' records grow
      Job j = static_cast<Job>(rng() % (ppi ? 16 : 17));
      if (j == RdDirect) j = Members;
      if (rng() % 50 == 0) rig->Scramble(static_cast<uint32_t>(rng()));
      const Row *f = rng() % 100 == 0 ? rows[rng() % rows.size()] : nullptr;
      if (f) ++faults, Aim(*rig, *f, false, 0);
      const Outcome o = rig->Run(j, static_cast<uint32_t>(rng()));
      if (f) Clear(*rig);
      failed += !o.success;
      if (!o.wrong.empty() || (!o.success && !o.untouched)) {
        ++wrong;
        ADD_FAILURE() << "job " << i << " kind " << j << (f ? f->name : "") << ": "
                      << (o.wrong.empty() ? "failed call wrote the caller's buffer" : o.wrong);
      }
    }
  }
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  std::printf(
      "jobs %ld (seed %ld): faults %ld, failed %ld, wrong data %ld; peak RSS %ld kB; %.0f s\n",
      jobs, seed, faults, failed, wrong, use.ru_maxrss,
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}

}  // namespace
