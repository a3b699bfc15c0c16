// Support shared by the fuzz harnesses and the corpus recorder: the pty, the
// read wrapper that hands the library one input segment per read, the checks
// and the S7 jobs of both paths.
#include "harness.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "pty.hpp"
#include "rs232.h"

extern "C" ssize_t __real_read(int fd, void *buf, size_t n);
extern "C" ssize_t __wrap_read(int fd, void *buf, size_t n);
extern "C" int __real_nanosleep(const struct timespec *req, struct timespec *rem);
extern "C" int __wrap_nanosleep(const struct timespec *req, struct timespec *rem);

namespace fz {
namespace {

std::unique_ptr<s7sim::Pty> g_pty;
int g_master = -1;

bool g_feeding = false;
std::vector<std::vector<uint8_t>> g_segments;
size_t g_next = 0;

bool g_recording = false;
int g_record_fd = -1;
std::vector<std::vector<uint8_t>> g_recorded;

int LibraryFd() { return RsIo[kCom].ComRefCnt > 0 ? RsIo[kCom].hCom : -1; }

int Queued(int fd) {
  int q = 0;
  if (ioctl(fd, FIONREAD, &q) != 0) return -1;
  return q;
}

void DrainMaster() {
  uint8_t b[512];
  for (int i = 0; i < 64; ++i) {  // bounded: the library never writes more than a few KB
    const ssize_t n = __real_read(g_master, b, sizeof b);
    if (n <= 0) break;
  }
}

// Writes a segment to the master and waits until the slave has all of it.
void Deliver(int fd, const std::vector<uint8_t> &seg) {
  DrainMaster();
  if (seg.empty()) return;
  if (!s7sim::write_all(g_master, seg)) Fail("segment could not be written to the pty");
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (Queued(fd) < static_cast<int>(seg.size())) {
    if (std::chrono::steady_clock::now() > until) Fail("segment did not reach the port");
    sched_yield();
  }
}

}  // namespace

Input Split(const uint8_t *data, size_t size, size_t head_len) {
  Input in;
  in.head.assign(head_len, 0);
  const size_t h = std::min(size, head_len);
  if (h) std::memcpy(in.head.data(), data, h);
  size_t pos = h;
  while (pos < size) {
    const size_t len = data[pos++];
    const size_t take = std::min(len, size - pos);
    in.segments.emplace_back(data + pos, data + pos + take);
    pos += take;
  }
  return in;
}

std::vector<uint8_t> Join(std::span<const uint8_t> head,
                          const std::vector<std::vector<uint8_t>> &segments) {
  std::vector<uint8_t> out(head.begin(), head.end());
  for (const auto &s : segments) {
    // a segment longer than one length byte travels as several
    size_t pos = 0;
    do {
      const size_t take = std::min<size_t>(255, s.size() - pos);
      out.push_back(static_cast<uint8_t>(take));
      out.insert(out.end(), s.begin() + static_cast<long>(pos),
                 s.begin() + static_cast<long>(pos + take));
      pos += take;
    } while (pos < s.size());
  }
  return out;
}

int Line() {
  if (!g_pty) {
    g_pty = std::make_unique<s7sim::Pty>();
    g_master = g_pty->master();
    std::string name = g_pty->slave_name();
    if (ComSetDevName(kCom, name.data()) != 0) Fail("device name refused");
  }
  return g_master;
}

const std::string &LineName() {
  Line();
  return g_pty->slave_name();
}

void FastPort() {
  ComSetTimeOut(kCom, 0);
  const int fl = fcntl(g_master, F_GETFL);
  fcntl(g_master, F_SETFL, fl | O_NONBLOCK);
}

void Feed(const Input &in) {
  g_segments = in.segments;
  g_next = 0;
  g_feeding = true;
}

void EndRun() {
  g_feeding = false;
  g_segments.clear();
  g_next = 0;
  DrainMaster();
  ComClr(kCom);
  DrainMaster();
}

void StartRecord(int fd) {
  g_recorded.clear();
  g_record_fd = fd;
  g_recording = true;
}

std::vector<std::vector<uint8_t>> StopRecord() {
  g_recording = false;
  g_record_fd = -1;
  return std::move(g_recorded);
}

void Fail(const char *what, long a, long b) {
  std::fprintf(stderr, "fuzz check failed: %s (%ld, %ld)\n", what, a, b);
  std::fflush(stderr);
  std::abort();
}

// ---- guarded buffers ----

Guarded::Guarded(size_t bytes, uint8_t fill)
    : size_(bytes), fill_(fill), buf_(bytes + 2 * kGuard, fill) {}

void Guarded::CheckGuards(const char *who) const {
  for (size_t i = 0; i < kGuard; ++i) {
    if (buf_[i] != fill_) Fail(who, -static_cast<long>(kGuard - i), buf_[i]);
    if (buf_[kGuard + size_ + i] != fill_) Fail(who, static_cast<long>(size_ + i), buf_[i]);
  }
}

std::pair<size_t, size_t> Guarded::Changed(std::span<const uint8_t> before) const {
  size_t first = size_, last = 0;
  for (size_t i = 0; i < size_; ++i) {
    if (buf_[kGuard + i] != before[i]) {
      first = std::min(first, i);
      last = i + 1;
    }
  }
  if (last == 0) first = 0;
  return {first, last};
}

// ---- jobs ----

JobHead ReadJobHead(std::span<const uint8_t> head) {
  JobHead h{};
  std::memcpy(&h, head.data(), std::min(head.size(), sizeof h));
  return h;
}

namespace {

CONTOMPI ExpectedConnect(const S7I &s7) {
  CONTOMPI c = _ConToMPI;
  if (!s7.SPSTyp) {
    c.MPIAdr = static_cast<BYTE>(s7.MPIAdr);
    c.SrcTSAP = static_cast<BYTE>(s7.MPIAdr + 1);
  }
  return c;
}

bool IsRead(Job j) {
  switch (j) {
    case Job::RdBytes:
    case Job::RdWords:
    case Job::RdDWords:
    case Job::RdReals:
    case Job::RdBit:
    case Job::RdTimers:
    case Job::RdCounters:
    case Job::RdDirect:
      return true;
    default:
      return false;
  }
}

// Bytes per element in the caller's buffer.
size_t ElemSize(Job j) {
  switch (j) {
    case Job::RdWords:
    case Job::WrWords:
    case Job::RdCounters:
    case Job::WrCounters:
    case Job::RdDirect:
      return 2;
    case Job::RdDWords:
    case Job::WrDWords:
    case Job::RdReals:
    case Job::WrReals:
    case Job::RdTimers:
    case Job::WrTimers:
      return 4;
    default:
      return 1;
  }
}

int MaxAnz(Job j) {
  switch (j) {
    case Job::RdBytes:
    case Job::WrBytes:
      return 600;
    case Job::RdWords:
    case Job::WrWords:
    case Job::RdTimers:
    case Job::WrTimers:
    case Job::RdCounters:
    case Job::WrCounters:
      return 300;
    case Job::RdDWords:
    case Job::WrDWords:
    case Job::RdReals:
    case Job::WrReals:
      return 130;
    case Job::RdDirect:
      return 160;  // above 146 words the job is refused before sending
    case Job::WrDirect:
      return 300;  // above 282 bytes likewise
    default:
      return 1;
  }
}

// The data bytes of the answer now in Rx (after the answer check).
const BYTE *AnswerData(const S7I &s7) {
  return s7.Rx.Buf + s7.Rx.B1.LenBl1 + 2 + 4;  // error bytes, data item head
}

// Compares caller data (host order) with the answer's bytes (big-endian).
bool SameAsAnswer(const uint8_t *got, const BYTE *wire, size_t n, size_t unit) {
  for (size_t i = 0; i < n; ++i) {
    const size_t k = unit == 1 ? i : (i / unit) * unit + (unit - 1 - i % unit);
    if (got[i] != wire[k]) return false;
  }
  return true;
}

bool ErrKnown(long e) { return e == 0 || e == -1 || e == 2; }

}  // namespace

int PacketLimit(Job j, bool ppi) {
  switch (j) {
    case Job::RdBytes:
      return ppi ? 90 : 222;
    case Job::WrBytes:
      return ppi ? 90 : 212;
    case Job::RdWords:
    case Job::RdTimers:
    case Job::RdCounters:
      return ppi ? 45 : 111;
    case Job::WrWords:
    case Job::WrTimers:
    case Job::WrCounters:
      return ppi ? 45 : 106;
    case Job::RdDWords:
    case Job::RdReals:
      return ppi ? 22 : 55;
    case Job::WrDWords:
    case Job::WrReals:
      return ppi ? 22 : 53;
    default:
      return 0x7FFF;
  }
}

void PrepareRecord(GuardedS7 &g, const JobHead &h) {
  S7I &s7 = g.S7;
  std::memset(g.guard, 0x5A, sizeof g.guard);
  InitS7I(&s7);
  s7.ConToMPI = ExpectedConnect(s7);
  s7.Err = 0;
  if (h.flags & kFromScratch) {
    CStat[kCom].Status = 0;
    s7.Status = FALSE;
    return;
  }
  CStat[kCom].Status = 1;
  s7.Status = TRUE;
  LPBYTE tx = reinterpret_cast<LPBYTE>(&s7.Tx);
  LPBYTE rx = reinterpret_cast<LPBYTE>(&s7.Rx);
  if (s7.SPSTyp) {
    tx[2] = kPlcAdr;
    tx[3] = kPcAdr;
    rx[2] = kPcAdr;
    rx[3] = kPlcAdr;
  } else {
    tx[0] = 0x00;
    tx[1] = 0x0C;
    tx[2] = h.partner;
    tx[3] = static_cast<BYTE>(kPlcAdr + 1);
    tx[5] = h.block_nr;
  }
}

void CheckRecord(const GuardedS7 &g, const char *who) {
  for (uint8_t b : g.guard)
    if (b != 0x5A) Fail(who);
  const CONTOMPI want = ExpectedConnect(g.S7);
  if (std::memcmp(&want, &g.S7.ConToMPI, sizeof want) != 0) Fail("fields behind Rx written");
  if (std::memcmp(g.S7.CmdRd, _CmdRd, 5) != 0 || std::memcmp(g.S7.CmdWr, _CmdWr, 5) != 0)
    Fail("item templates behind Rx written");
  if (!ErrKnown(g.S7.Err) && g.S7.Err != -9) Fail("Err outside the documented codes", g.S7.Err);
  if (g.S7.Status != TRUE && g.S7.Status != FALSE) Fail("record Status not a BOOL", g.S7.Status);
  if (CStat[kCom].Status > 1) Fail("port Status not 0/1", CStat[kCom].Status);
  if (g.S7.Status && CStat[kCom].Status == 0) Fail("record connected on a port that is down");
}

void RunJob(GuardedS7 &g, const JobHead &h) {
  S7I *s7 = &g.S7;
  const bool ppi = s7->SPSTyp != 0;
  Job j = static_cast<Job>(h.job % static_cast<uint8_t>(Job::Count));
  if (ppi && j == Job::Members) j = Job::CPUInfo;  // no adapter on PPI
  const int anz = ((h.anz_hi << 8) | h.anz_lo) % (MaxAnz(j) + 1);
  const int start = h.start;
  const int db = h.db;
  const size_t elem = ElemSize(j);
  size_t bytes = static_cast<size_t>(anz) * elem;
  if (j == Job::CPUInfo) bytes = 17;
  if (j == Job::Members) bytes = 127 * 2;
  if (bytes == 0) bytes = 1;
  Guarded buf(bytes);
  // write data: valid values of the kind
  uint8_t *p = buf.data();
  if (j == Job::WrTimers) {
    for (int i = 0; i < anz; ++i) {
      const DWORD v = static_cast<DWORD>((i * 7919u + start * 13u) % 9990001u);
      std::memcpy(p + 4 * i, &v, 4);
    }
  } else if (j == Job::WrCounters) {
    for (int i = 0; i < anz; ++i) {
      const WORD v = static_cast<WORD>((i * 37 + start) % 1000);
      std::memcpy(p + 2 * i, &v, 2);
    }
  } else if (!IsRead(j)) {
    for (size_t i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(i * 31 + start);
  }
  if (j == Job::WrBit) p[0] &= 1;
  const std::vector<uint8_t> before = buf.Snapshot();
  const LONG err_before = s7->Err;

  int r = 0;
  switch (j) {
    case Job::RdBytes:
      r = S7RdDBB(s7, db, start, anz, p);
      break;
    case Job::WrBytes:
      r = S7WrDBB(s7, db, start, anz, p);
      break;
    case Job::RdWords:
      r = S7RdDB(s7, db, start, anz, reinterpret_cast<LPWORD>(p));
      break;
    case Job::WrWords:
      r = S7WrDB(s7, db, start, anz, reinterpret_cast<LPWORD>(p));
      break;
    case Job::RdDWords:
      r = S7RdMDW(s7, start, anz, reinterpret_cast<LPDWORD>(p));
      break;
    case Job::WrDWords:
      r = S7WrMDW(s7, start, anz, reinterpret_cast<LPDWORD>(p));
      break;
    case Job::RdReals:
      r = S7RdDBReal(s7, db, start, anz, reinterpret_cast<float *>(p));
      break;
    case Job::WrReals:
      r = S7WrDBReal(s7, db, start, anz, reinterpret_cast<float *>(p));
      break;
    case Job::RdBit:
      r = S7Rd(s7, 0, start, 1, p, S7_AREA_M, 1, 1, h.db & 7);
      break;
    case Job::WrBit:
      r = S7Wr(s7, 0, start, 1, p, S7_AREA_M, 1, 1, h.db & 7);
      break;
    case Job::RdTimers:
      r = S7RdTimer(s7, start, anz, reinterpret_cast<LPDWORD>(p));
      break;
    case Job::WrTimers:
      r = S7WrTimer(s7, start, anz, reinterpret_cast<LPDWORD>(p));
      break;
    case Job::RdCounters:
      r = S7RdCounter(s7, start, anz, reinterpret_cast<LPWORD>(p));
      break;
    case Job::WrCounters:
      r = S7WrCounter(s7, start, anz, reinterpret_cast<LPWORD>(p));
      break;
    case Job::DBLen:
      r = S7GetDBLen(s7, ppi ? (db & 1) : db);
      break;
    case Job::CPUInfo:
      r = S7GetCPUInfo(s7, reinterpret_cast<char *>(p));
      break;
    case Job::RdDirect:
      r = S7Rd(s7, db, start, anz, p, S7_AREA_DB, 2, 2, 0);
      break;
    case Job::WrDirect:
      r = S7Wr(s7, 0, start, anz, p, S7_AREA_M, 1, 2, 0);
      break;
    case Job::Members:
      r = S7GetMPIMembers(s7, reinterpret_cast<LPWORD>(p));
      break;
    case Job::Count:
      break;
  }

  buf.CheckGuards("caller buffer guard written");
  CheckRecord(g, "record guard written");
  const LONG err = s7->Err;
  const auto [first, last] = buf.Changed(before);
  const bool changed = last > first;

  if (!IsRead(j) && j != Job::CPUInfo && j != Job::Members && changed)
    Fail("a write changed the caller's buffer", static_cast<long>(j), static_cast<long>(first));

  switch (j) {
    case Job::RdBytes:
    case Job::WrBytes:
    case Job::RdWords:
    case Job::WrWords:
    case Job::RdDWords:
    case Job::WrDWords:
    case Job::RdReals:
    case Job::WrReals:
    case Job::RdTimers:
    case Job::WrTimers:
    case Job::RdCounters:
    case Job::WrCounters: {
      Check(r == 0 || r == 1, "packet call result not a BOOL", r);
      if (anz == 0) {
        Check(r == 0 && err == err_before && !changed, "Anz 0 did something", r, err);
        break;
      }
      if (r == 1) {
        Check(err == 0, "success with Err set", err);
        if (j == Job::RdTimers) {
          for (int i = 0; i < anz; ++i) {
            DWORD v;
            std::memcpy(&v, p + 4 * i, 4);
            Check(v <= 9990000u, "timer value out of range", static_cast<long>(v));
          }
        } else if (j == Job::RdCounters) {
          for (int i = 0; i < anz; ++i) {
            WORD v;
            std::memcpy(&v, p + 2 * i, 2);
            Check(v <= 999, "counter value out of range", v);
          }
        } else if (IsRead(j)) {
          // the last packet's data are the last answer's, in host order
          const int limit = PacketLimit(j, ppi);
          const int rest = anz % limit == 0 ? limit : anz % limit;
          const size_t off = static_cast<size_t>(anz - rest) * elem;
          if (!SameAsAnswer(p + off, AnswerData(*s7), static_cast<size_t>(rest) * elem, elem))
            Fail("read data differ from the answer", static_cast<long>(j), anz);
        }
      } else {
        Check(err == -1 || err == 2, "failure without an error code", err);
        if (err == -1) Check(!s7->Status, "Err -1 with the record still connected");
        if (j == Job::RdTimers || j == Job::RdCounters) {
          Check(!changed, "failed timer/counter read wrote the buffer", static_cast<long>(j));
        } else if (IsRead(j) && changed) {
          // only whole packets before the failing one may have arrived
          const int limit = PacketLimit(j, ppi);
          const int pkts = (anz + limit - 1) / limit;
          const size_t allowed = static_cast<size_t>(pkts - 1) * limit * elem;
          Check(last <= allowed, "failed read wrote the failing packet's part",
                static_cast<long>(last), static_cast<long>(allowed));
        }
      }
      break;
    }
    case Job::RdBit:
    case Job::WrBit:
    case Job::RdDirect:
    case Job::WrDirect:
    case Job::CPUInfo: {
      Check(r == 0 || r == 1 || r == -1 || r == -99, "job result outside 0/1/-1/-99", r);
      if (r == 0) Check(err == 0, "success with Err set", err);
      if (r == 1) Check(err == 2, "refusal without Err 2", err);
      if (r == -99) Check(!s7->Status && err == -1, "-99 with the record usable", err);
      if (r == -1) {
        Check(err == -1 || err == 2, "-1 without an error code", err);
        if (err == -1) Check(!s7->Status, "Err -1 with the record still connected");
      }
      if (IsRead(j) || j == Job::CPUInfo) {
        if (r != 0) {
          Check(!changed, "failed read wrote the buffer", static_cast<long>(j), r);
          if (r == -1 && !(j == Job::RdDirect && anz * 2 > (ppi ? 234 : 292)))
            Check(err == -1 && CStat[kCom].Status == 0, "failed read did not mark the port", err);
        } else if (j == Job::CPUInfo) {
          Check(std::memchr(p, 0, 17) != nullptr, "CPU text without its zero byte");
        } else {
          const size_t n = j == Job::RdBit ? 1 : static_cast<size_t>(anz) * 2;
          if (n && !SameAsAnswer(p, AnswerData(*s7), n, j == Job::RdBit ? 1 : 2))
            Fail("read data differ from the answer", static_cast<long>(j), anz);
        }
      }
      break;
    }
    case Job::DBLen:
      Check(r == -99 || (r >= 0 && r <= 65535), "DB length out of range", r);
      if (ppi) Check(r == -99 || r == 0 || r == 1024 || r == 4096 || r == 5120, "PPI DB length", r);
      if (r > 0) Check(err == 0, "DB length with Err set", err);
      break;
    case Job::Members:
      Check(r == 0 || r == 1 || r == -99, "member list result", r);
      if (r != 1) Check(!changed, "failed member list wrote the buffer");
      if (r == 0) Check(err == -1, "failed member list without Err -1", err);
      if (r == 1) {
        for (int i = 0; i < 127; ++i) {
          WORD v;
          std::memcpy(&v, p + 2 * i, 2);
          Check(v <= 0xFF && v != 0x10, "member entry", i, v);
        }
      }
      break;
    case Job::Count:
      break;
  }
}

}  // namespace fz

extern "C" ssize_t __wrap_read(int fd, void *buf, size_t n) {
  using namespace fz;
  if (g_feeding && fd >= 0 && fd == LibraryFd()) {
    if (Queued(fd) == 0 && g_next < g_segments.size()) Deliver(fd, g_segments[g_next++]);
    return __real_read(fd, buf, n);
  }
  const ssize_t r = __real_read(fd, buf, n);
  if (g_recording && fd == g_record_fd && r >= 0) {
    const auto *b = static_cast<const uint8_t *>(buf);
    if (r == 0) g_recorded.emplace_back();
    for (ssize_t pos = 0; pos < r; pos += 255) {
      const ssize_t take = std::min<ssize_t>(255, r - pos);
      g_recorded.emplace_back(b + pos, b + pos + take);
    }
  }
  return r;
}

// The library's short pauses (token, poll, between packets) need not pass
// while fed from the input: nobody is listening to the timing.
extern "C" int __wrap_nanosleep(const struct timespec *req, struct timespec *rem) {
  if (fz::g_feeding) return 0;
  return __real_nanosleep(req, rem);
}
