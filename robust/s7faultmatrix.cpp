// s7faultmatrix: every fault the simulated adapter and the simulated S7-200
// can put on the line, against every job kind. For each cell a fresh line is
// brought up with one good job, the fault is aimed at the next job, and then
//  - the call must fail (or, where the 3964R procedure repeats on its own,
//    succeed) with the result, Err, record Status and port Status the rules
//    give: a failed exchange marks record and port down (Err -1); a malformed
//    or missing answer to a job that returns a code (a write) keeps the
//    connection with Err 2, one that returns data (a read) marks it down;
//  - the caller's buffer must be untouched by a failed call;
//  - the next call must succeed and hand over the PLC's data.
// Reads and writes of a kind are two runs of one cell.
//
//   s7faultmatrix [--short]     exit status 1 on any wrong cell
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "rig.hpp"

namespace {

using namespace robust;
using s7sim::Fault;
using s7sim::PpiFault;
using s7sim::PpiFaultOn;

// What the faulty call must come to.
enum class Expect {
  Ok,        // the 3964R procedure repeats or yields and the job goes through
  Line,      // failed exchange: Err -1, record and port down
  NoAnswer,  // no usable answer: reads as Line, writes Err 2 with the connection kept
};

struct Row {
  std::string name;
  bool ppi;
  bool slow;  // costs time-outs of seconds
  Expect expect;
  // MPI
  Fault fault = Fault::NakBlock;
  int arg = -1;
  // PPI
  PpiFault pfault = PpiFault::None;
  PpiFaultOn pon = PpiFaultOn::Request;
  // Calls the recovery may take. A PPI request broken off when the station
  // talks leaves the station inside that frame: it takes the next status
  // request for the frame's rest, so the call after it is the one that gets
  // through (the library sends what it must and cannot tell the difference).
  int recovery_calls = 1;
};

bool JobFault(Fault f) {
  return f == Fault::AckOnly || f == Fault::WrongAckNumber || f == Fault::WrongAckRefs ||
         f == Fault::LongAnswer;
}

// Aims the row's fault at the next job, or with `second` at the job after it
// (the second packet of a run).
void Aim(Rig &rig, const Row &row, bool second) {
  if (row.ppi) {
    rig.station()->inject({row.pfault, row.pon, second ? 1 : 0, 1});
    // the stray byte goes out while the line is idle, before the next request
    if (row.pfault == PpiFault::ByteWhileSending)
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return;
  }
  const Rig::Events e = rig.AdapterEvents();
  uint64_t nth = 0;
  switch (row.fault) {
    case Fault::IgnoreStx:
    case Fault::Collision:
      nth = e.stx + 1;
      break;
    case Fault::NakBlock:
      nth = e.rx_frames + 1;
      break;
    case Fault::CorruptBcc:
    case Fault::DropByte:
    case Fault::GarbageBeforeStx:
      nth = e.tx_frames + 1;
      break;
    case Fault::NoReply:
      nth = e.rx_blocks + 1;
      break;
    default:
      nth = e.jobs + 1;
      break;
  }
  // One job that goes through: its block and the PC's acknowledgement of the
  // answer from the PC (two STX, two frames), acknowledgement and answer to
  // the PC (two frames), one block that is not an acknowledgement, one job.
  if (second) {
    switch (row.fault) {
      case Fault::IgnoreStx:
      case Fault::Collision:
      case Fault::NakBlock:
      case Fault::CorruptBcc:
      case Fault::DropByte:
      case Fault::GarbageBeforeStx:
        nth += 2;
        break;
      default:
        nth += 1;
        break;
    }
  }
  rig.adapter()->inject(row.fault, static_cast<int>(nth), 1, row.arg);
}

void Clear(Rig &rig) {
  if (rig.adapter()) rig.adapter()->clear_faults();
  if (rig.station()) rig.station()->inject({});
}

// The result a failed call of the kind returns.
int FailResult(Kind k) {
  switch (k) {
    case Kind::Bits:
    case Kind::CPUInfo:
      return -1;
    default:
      return 0;
  }
}

// Checks one outcome against the expectation; empty when right.
std::string Judge(const Outcome &o, Kind k, bool write, Expect ex) {
  char b[200];
  auto state = [&] {
    std::snprintf(b, sizeof b, "result %d Err %ld Status %d port %u", o.result,
                  static_cast<long>(o.err), o.status, o.port);
    return std::string(b);
  };
  if (!o.wrong.empty()) return o.wrong;
  if (ex == Expect::Ok) {
    // the member list sets Err only when it fails: a success leaves it as it was
    const bool err_ok = o.err == 0 || k == Kind::Members;
    if (!o.success || !err_ok || !o.status || o.port != 1) return "not through: " + state();
    return "";
  }
  if (o.success) return "reported success: " + state();
  if (!o.untouched) return "failed call wrote the caller's buffer";
  if (o.result != FailResult(k)) return "wrong failure result: " + state();
  if (k == Kind::Packets && !write && !o.first_packet)
    return "the first packet's data are missing (fault not in the second packet?)";
  bool line = ex == Expect::Line || !write;
  if (k == Kind::Members) {
    // asked of the adapter itself: only Err tells, the connection stays
    if (o.err != -1 || !o.status || o.port != 1) return "member failure: " + state();
    return "";
  }
  if (line) {
    if (o.err != -1 || o.status || o.port != 0) return "not marked down: " + state();
  } else {
    if (o.err != 2 || !o.status || o.port != 1) return "not a kept refusal: " + state();
  }
  return "";
}

struct Cell {
  bool applies = true;
  std::string wrong;  // empty: ok
};

Cell RunCell(const Row &row, Kind k) {
  Cell c;
  if (row.ppi && k == Kind::Members) return Cell{false, ""};
  if (!row.ppi && JobFault(row.fault) && k == Kind::Members) return Cell{false, ""};
  // a stray byte goes out between jobs, not between the packets of one call
  if (row.ppi && row.pfault == PpiFault::ByteWhileSending && k == Kind::Packets)
    return Cell{false, ""};
  for (bool write : {false, true}) {
    if (write && !HasWrite(k)) continue;
    Rig rig(row.ppi);
    const uint32_t seed = static_cast<uint32_t>(k) * 100 + (write ? 7 : 3);
    // a good job brings the line up and connects
    const Outcome warm = rig.Run(Kind::Bytes, false, 99);
    if (!warm.success || !warm.wrong.empty()) return Cell{true, "warm-up job failed"};
    Aim(rig, row, k == Kind::Packets);
    const Outcome o = rig.Run(k, write, seed);
    Clear(rig);
    std::string w = Judge(o, k, write, row.expect);
    if (w.empty()) {
      rig.Scramble(seed + 1);  // the recovered job must see the new memory
      for (int i = 0; i < row.recovery_calls; ++i) {
        const Outcome next = rig.Run(k, write, seed + 2);
        w = Judge(next, k, write, Expect::Ok);
        if (w.empty()) break;
      }
      if (!w.empty()) w = "no recovery: " + w;
    }
    if (!w.empty()) return Cell{true, std::string(write ? "write: " : "read: ") + w};
  }
  return c;
}

std::vector<Row> Rows(bool short_run) {
  std::vector<Row> r;
  auto mpi = [&](const char *n, Fault f, Expect e, bool slow, int arg = -1) {
    Row x{n, false, slow, e};
    x.fault = f;
    x.arg = arg;
    r.push_back(x);
  };
  auto ppi = [&](const char *n, PpiFault f, PpiFaultOn on, Expect e, bool slow) {
    Row x{n, true, slow, e};
    x.pfault = f;
    x.pon = on;
    r.push_back(x);
  };
  mpi("MPI NAK to the job block", Fault::NakBlock, Expect::Ok, false);
  mpi("MPI STX ignored once", Fault::IgnoreStx, Expect::Ok, true);
  mpi("MPI collision on STX", Fault::Collision, Expect::Ok, false);
  mpi("MPI wrong BCC to the PC", Fault::CorruptBcc, Expect::Line, false);
  mpi("MPI byte dropped", Fault::DropByte, Expect::Line, false, 2);
  mpi("MPI garbage before STX", Fault::GarbageBeforeStx, Expect::Line, false, 3);
  // The adapter's block behind the garbage is still coming when the next call
  // starts: the sender's clearing step takes one waiting byte, the next one
  // answers its STX, and the flush that follows drops the adapter's STX too.
  r.back().recovery_calls = 2;
  mpi("MPI block taken, no reply", Fault::NoReply, Expect::Line, true);
  mpi("MPI ack only, no answer", Fault::AckOnly, Expect::Line, true);
  mpi("MPI ack with wrong number", Fault::WrongAckNumber, Expect::Line, false);
  mpi("MPI ack with wrong refs", Fault::WrongAckRefs, Expect::Line, false);
  mpi("MPI answer over 316 bytes", Fault::LongAnswer, Expect::Line, false, 317);
  mpi("MPI answer of wrong length", Fault::LongAnswer, Expect::NoAnswer, false, 200);
  ppi("PPI silence to request", PpiFault::Silence, PpiFaultOn::Request, Expect::NoAnswer, true);
  ppi("PPI silence to poll", PpiFault::Silence, PpiFaultOn::Poll, Expect::NoAnswer, true);
  for (auto on : {PpiFaultOn::Request, PpiFaultOn::Poll}) {
    const bool req = on == PpiFaultOn::Request;
    ppi(req ? "PPI bad FCS to request" : "PPI bad FCS to poll", PpiFault::BadFcs, on,
        Expect::NoAnswer, false);
    ppi(req ? "PPI bad ED to request" : "PPI bad ED to poll", PpiFault::BadEd, on, Expect::NoAnswer,
        false);
    ppi(req ? "PPI LE/LEr differ (req)" : "PPI LE/LEr differ (poll)", PpiFault::LeMismatch, on,
        Expect::NoAnswer, false);
    // The receiver gives such a frame up after its two length bytes; the rest
    // stays on the line. After a read the status request flushes it. After a
    // write the connection stands: the next request is abandoned on those
    // bytes (a line failure), the station takes the status request of the
    // call after that for the rest of the broken-off request, and the third
    // call gets through.
    r.back().recovery_calls = 3;
    ppi(req ? "PPI SD1 to request" : "PPI SD1 to poll", PpiFault::Sd1Frame, on, Expect::NoAnswer,
        false);
    ppi(req ? "PPI SD3 to request" : "PPI SD3 to poll", PpiFault::Sd3Frame, on, Expect::NoAnswer,
        false);
    ppi(req ? "PPI other station (req)" : "PPI other station (poll)", PpiFault::OtherAddress, on,
        Expect::NoAnswer, false);
  }
  ppi("PPI acknowledges forever", PpiFault::AckForever, PpiFaultOn::Request, Expect::NoAnswer,
      false);
  // The last poll's answer stays on the line: the next request is abandoned
  // on it, and the status request after that may be taken for the rest of
  // the broken-off request, as above.
  r.back().recovery_calls = 3;
  ppi("PPI byte while sending", PpiFault::ByteWhileSending, PpiFaultOn::Request, Expect::Line,
      false);
  r.back().recovery_calls = 2;
  if (short_run) {
    std::vector<Row> s;
    for (const Row &x : r) {
      const bool keep =
          x.name == "MPI NAK to the job block" || x.name == "MPI collision on STX" ||
          x.name == "MPI wrong BCC to the PC" || x.name == "MPI garbage before STX" ||
          x.name == "MPI ack with wrong number" || x.name == "MPI answer over 316 bytes" ||
          x.name == "MPI answer of wrong length" || x.name == "PPI bad FCS to request" ||
          x.name == "PPI SD1 to poll" || x.name == "PPI other station (req)" ||
          x.name == "PPI acknowledges forever" || x.name == "PPI byte while sending";
      if (keep) s.push_back(x);
    }
    return s;
  }
  return r;
}

}  // namespace

int main(int argc, char **argv) {
  const bool short_run = argc > 1 && std::strcmp(argv[1], "--short") == 0;
  if (argc > 1 && !short_run) {
    std::fprintf(stderr, "usage: s7faultmatrix [--short]\n");
    return 2;
  }
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<Kind> kinds(std::begin(kAllKinds), std::end(kAllKinds));
  kinds.push_back(Kind::Packets);
  if (short_run)
    kinds = {Kind::Bytes,   Kind::Bits,    Kind::Timers, Kind::DBLen,
             Kind::CPUInfo, Kind::Members, Kind::Packets};

  std::printf("%-28s", "fault \\ job");
  for (Kind k : kinds) std::printf(" %-8s", Name(k));
  std::printf("\n");
  int wrong = 0, ok = 0;
  std::vector<std::string> reasons;
  for (const Row &row : Rows(short_run)) {
    std::printf("%-28s", row.name.c_str());
    std::fflush(stdout);
    for (Kind k : kinds) {
      const Cell c = RunCell(row, k);
      if (!c.applies) {
        std::printf(" %-8s", "-");
      } else if (c.wrong.empty()) {
        std::printf(" %-8s", "ok");
        ++ok;
      } else {
        std::printf(" %-8s", "WRONG");
        ++wrong;
        reasons.push_back(row.name + " x " + Name(k) + ": " + c.wrong);
      }
      std::fflush(stdout);
    }
    std::printf("\n");
  }
  for (const std::string &r : reasons) std::printf("WRONG %s\n", r.c_str());
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%d cells ok, %d wrong, %.1f s\n", ok, wrong, secs);
  return wrong ? 1 : 0;
}
