// The fault matrix and the soak over the rig. Matrix: every fault the
// simulators can put on the line against the job kinds; each cell brings a
// fresh line up with one good job, aims the fault at the next job and checks
// that the fault did its damage: a failed call with the result, Err, record and port Status the
// rules give and the caller's buffer untouched, or, where the 3964R procedure repeats on its own, a
// success that took more characters. The calls after must recover and hand over the PLC's current
// memory. Soak: random jobs with a random fault in about 1 % of them; no wrong data may be
// accepted.
//
//   S7_MATRIX=full test_robust --gtest_filter='*Matrix*'     every row and kind
//   S7_SOAK="100000 1" test_robust --gtest_filter='*Soak*'   jobs, seed
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "device.hpp"
#include "jobs.hpp"
#include "pty.hpp"
#include "rs232.h"

namespace {

using namespace fz;
using s7sim::Fault;
using s7sim::PpiFault;
using On = s7sim::PpiFaultOn;
using Bytes = std::vector<uint8_t>;
constexpr int kCom = 5, kDb = 10;

enum class Expect {
  Ok,        // the 3964R procedure repeats or yields and the job goes through
  Line,      // failed exchange: Err -1, record and port down
  NoAnswer,  // no usable answer: reads as Line, writes Err 2 with the connection kept
  Any,       // any outcome, but a failed call leaves the caller's buffer as it was
};

// A library port wired to a simulated MPI adapter (one PLC at MPI address 2)
// or a simulated S7-200 (PPI address 2); every job checks what it hands over
// or writes against the PLC's memory.
struct Rig {
  explicit Rig(bool p) : ppi(p) {
    plc.add_db(kDb, 1024);
    plc.add_db(1, 1024);
    plc.set_cpu_text("CPU 224 6ES7 214");
    Scramble(1);
    EXPECT_EQ(ComSetDevName(kCom, pty.slave_name().c_str()), 0);
    dev.start(pty.master());
    EXPECT_TRUE(ppi ? S7PPIInit(&s7, kCom, 2, 0, 19200) : S7InitFastBaud(&s7, kCom, 2, 0, 38400));
  }
  ~Rig() { S7Exit(&s7); }
  uint64_t Chars() const {  // characters on the line so far
    return ppi ? dev.station()->counts().rx_chars + dev.station()->counts().tx_chars
               : dev.adapter()->chars_from_pc() + dev.adapter()->chars_to_pc();
  }
  void Scramble(uint32_t seed);  // new PLC memory where the jobs look
  // One job, `seed` picking addresses, counts and values; empty when its outcome is what `ex`
  // asks and what it handed over or wrote is the PLC's.
  std::string Run(Job j, uint32_t seed, Expect ex, bool *success = nullptr);
  bool ppi;
  s7sim::Pty pty;
  s7sim::Plc plc;
  s7sim::Device dev{ppi, {{2, &plc}}};
  S7I s7{};
};

void Rig::Scramble(uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(1024);
  for (int db : {kDb, 1, 0}) {
    for (auto &x : b) x = static_cast<uint8_t>(rng());
    plc.write_bytes(db ? s7sim::Area::DB : s7sim::Area::Flags, db, 0, b);
  }
  for (int i = 0; i < 256; ++i) {  // valid BCD, any time base
    const uint16_t w = static_cast<uint16_t>(rng() % 10 << 8 | rng() % 10 << 4 | rng() % 10);
    plc.set_timer(i, static_cast<uint16_t>((rng() % 4) << 12 | w));
    plc.set_counter(i, w);
  }
}

std::string Rig::Run(Job j, uint32_t seed, Expect ex, bool *success) {
  std::mt19937 rng(seed);
  Bytes store(640, 0xA5);  // the caller's buffer with 32 guard bytes before and behind
  uint8_t *p = store.data() + 32;
  const JobDef &d = kJobDefs[j];
  const int limit = ppi ? d.ppi : d.mpi;
  const size_t unit = d.elem > 4 ? 1 : d.elem;
  const int anz = limit ? 1 + static_cast<int>(rng() % ((ppi ? 40 : 100) / unit)) : 1;
  const int start = static_cast<int>(rng() % 200);
  const int db = j == RdBit || j == WrBit ? start % 8 : ppi ? 1 : kDb;
  const size_t n = d.elem > 4 ? d.elem : anz * unit;
  if (IsWrite(j)) Fill(j, p, anz, static_cast<uint32_t>(rng()));
  const Bytes before(p, p + n);
  const int r = CallJob(j, &s7, db, start, anz, p);
  const bool ok = Succeeded(j, r), untouched = std::memcmp(before.data(), p, n) == 0;
  if (success) *success = ok;
  // what the PLC holds, as the caller's buffer shows it
  Bytes plc_view;
  const auto to_host = [&](Bytes b) {  // big-endian values of `unit` bytes
    for (size_t i = 0; i + unit <= b.size(); i += unit)
      std::reverse(b.begin() + i, b.begin() + i + unit);
    return b;
  };
  const int kind = j < DBLen ? j & ~1 : j;  // a write's kind: the read of the same data
  const bool flags = kind == RdBit || kind == RdDWords;
  for (int i = 0; i < anz && (kind == RdTimers || kind == RdCounters); ++i) {
    const DWORD v = j < RdCounters ? TimerMs(plc.timer(start + i)) : Bcd(plc.counter(start + i));
    plc_view.insert(plc_view.end(), reinterpret_cast<const uint8_t *>(&v),
                    reinterpret_cast<const uint8_t *>(&v) + unit);
  }
  if (kind < RdTimers)
    plc_view = to_host(plc.read_bytes(flags ? s7sim::Area::Flags : s7sim::Area::DB, flags ? 0 : db,
                                      start * (kind == RdWords ? 2 : 1), n));
  if (kind == RdBit) plc_view[0] = plc_view[0] >> db & 1;
  if (ok && !plc_view.empty() && std::memcmp(plc_view.data(), p, n) != 0)
    return "data differ from the PLC's";
  if (IsWrite(j) && !untouched) return "a write changed the caller's buffer";
  if (ok && j == DBLen && r != (ppi ? 4096 : 1024)) return "wrong DB length";  // "CPU 224": 4 KB
  if (ok && j == CPUInfo && std::strcmp(reinterpret_cast<char *>(p), "CPU 224 6ES7 214"))
    return "wrong CPU text";
  if (ok && j == Members && (p[4] == 0 || p[6] != 0)) return "member list wrong";
  for (size_t i = 0; i < 32; ++i)
    if (store[i] != 0xA5 || store[store.size() - 1 - i] != 0xA5) return "buffer guard written";
  const LONG err = s7.Err;
  const bool up = s7.Status && CStat[kCom].Status == 1, down = !s7.Status && !CStat[kCom].Status;
  const std::string state = " (result " + std::to_string(r) + ", Err " + std::to_string(err) +
                            ", Status " + std::to_string(s7.Status) + ")";
  if (ex == Expect::Any) return ok || untouched ? "" : "failed call wrote the caller's buffer";
  if (ex == Expect::Ok)  // the member list sets Err only when it fails
    return ok && (err == 0 || j == Members) && up ? "" : "not through" + state;
  if (ok) return "reported success" + state;
  if (!untouched) return "failed call wrote the caller's buffer";
  if (r != (j == RdBit || j == WrBit || j == CPUInfo ? -1 : 0))
    return "wrong failure result" + state;
  if (j == Members)  // asked of the adapter itself: the connection stays
    return err == -1 && up ? "" : "member failure" + state;
  if (ex == Expect::Line || !IsWrite(j)) return err == -1 && down ? "" : "not marked down" + state;
  return err == 2 && up ? "" : "not a kept refusal" + state;
}

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
// short run: bytes, bits, timers, DB length, CPU text, members; bytes; a bytes read (every
// fault that costs no time-out does its damage in the short run too)
constexpr int S = 0x4CF03, B = 0x3, R = 0x1;
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

// Arms the row's fault for the next job; MPI with `every`: for every event until cleared.
void Aim(Rig &rig, const Row &row, bool every = false) {
  if (row.ppi) {
    rig.dev.station()->inject({row.pfault, row.on, 0, 1});
    if (row.pfault == PpiFault::ByteWhileSending)  // the stray byte goes out while the line is idle
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return;
  }
  // events so far, counted from the blocks the adapter took and sent; one job
  // is two STX and blocks from the PC, two blocks to it, one job block
  const auto from = rig.dev.adapter()->blocks_from_pc();
  uint64_t acks = 0, jobs = 0, nth = rig.dev.adapter()->blocks_to_pc().size();
  for (const auto &b : from) {
    acks += b.size() == 7 && b[1] == 0x0C && b[4] == 0xB0;
    jobs += b.size() >= 5 && b[1] == 0x0C && b[4] == 0xF1;
  }
  if (row.fault <= Fault::Collision) nth = from.size();
  if (row.fault == Fault::NoReply) nth = from.size() - acks;
  if (JobFault(row.fault)) nth = jobs;
  rig.dev.adapter()->inject(row.fault, every ? 1 : static_cast<int>(nth + 1), every ? 0 : 1,
                            row.arg);
}

void Clear(Rig &rig) {
  if (rig.ppi)
    rig.dev.station()->inject({});
  else
    rig.dev.adapter()->clear_faults();
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

// Kinds of the matrix: the jobs up to the member list (no direct jobs).
TEST(Robust, FaultMatrix) {
  const char *env = std::getenv("S7_MATRIX");
  const bool full = env && std::string(env) == "full";
  for (const Row &row : kRows)
    for (int kind = 0; kind < kJobs; ++kind) {
      const Job j = Job(kind);
      if ((!full && !(row.in_short >> kind & 1)) || j == RdDirect || j == WrDirect ||
          (j == Members && (row.ppi || JobFault(row.fault))))
        continue;
      SCOPED_TRACE(std::string(row.name) + " x job " + std::to_string(kind));
      Rig rig(row.ppi);
      const uint32_t seed = static_cast<uint32_t>(j) * 100;
      ASSERT_EQ(rig.Run(RdBytes, 99, Expect::Ok), "");  // line up, connected
      const uint64_t c0 = Settled(rig);
      Aim(rig, row);
      EXPECT_EQ(rig.Run(j, seed, row.expect), "");
      const uint64_t c1 = Settled(rig);
      Clear(rig);
      if (row.expect == Expect::Ok) {  // the same job again, without the fault: fewer characters
        EXPECT_EQ(rig.Run(j, seed, Expect::Ok), "");
        EXPECT_LT(Settled(rig) - c1, c1 - c0) << "the fault did nothing";
        continue;
      }
      rig.Scramble(seed + 1);  // the recovered job must see the new memory
      std::string w = "no recovery";
      for (int i = 0; i < row.recovery && !w.empty(); ++i) w = rig.Run(j, seed + 2, Expect::Ok);
      EXPECT_EQ(w, "");
    }
}

TEST(Robust, Soak) {
  long jobs = 2000, seed = 7;
  if (const char *env = std::getenv("S7_SOAK")) std::sscanf(env, "%ld %ld", &jobs, &seed);
  std::mt19937 rng(static_cast<unsigned>(seed));
  const auto t0 = std::chrono::steady_clock::now();
  long faults = 0, failed = 0, wrong = 0;
  for (bool ppi : {false, true}) {
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
      if (f) ++faults, Aim(*rig, *f, true);
      bool ok = false;
      const std::string w = rig->Run(j, static_cast<uint32_t>(rng()), Expect::Any, &ok);
      if (f) Clear(*rig);
      failed += !ok;
      wrong += !w.empty();
      EXPECT_EQ(w, "") << "job " << i << " kind " << j << (f ? f->name : "");
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
