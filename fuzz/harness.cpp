#include "harness.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "jobs.hpp"
#include "pty.hpp"
#include "rs232.h"

extern "C" ssize_t __real_read(int fd, void *buf, size_t n);
extern "C" int __real_nanosleep(const struct timespec *req, struct timespec *rem);

namespace fz {
namespace {

std::unique_ptr<s7sim::Pty> g_pty;
bool g_feeding = false;
std::vector<std::vector<uint8_t>> g_segments;
size_t g_next = 0;

int Queued(int fd) {
  int q = 0;
  return ioctl(fd, FIONREAD, &q) == 0 ? q : -1;
}

void Drain() {
  uint8_t b[512];
  for (int i = 0; i < 64 && __real_read(g_pty->master(), b, sizeof b) > 0;) ++i;
}

}  // namespace

void Start(bool (*open)()) {
  g_pty = std::make_unique<s7sim::Pty>();
  if (ComSetDevName(kCom, g_pty->slave_name().c_str()) != 0 || !open()) Fail("port not opened");
  ComSetTimeOut(kCom, 0);
  fcntl(g_pty->master(), F_SETFL, fcntl(g_pty->master(), F_GETFL) | O_NONBLOCK);
}

std::vector<uint8_t> Feed(const uint8_t *data, size_t size, size_t head_len) {
  std::vector<uint8_t> head(data, data + std::min(size, head_len));
  head.resize(head_len);
  g_segments.clear();
  for (size_t pos = head_len, len; pos < size; pos += len) {
    len = std::min<size_t>(data[pos], size - pos - 1);
    g_segments.emplace_back(data + pos + 1, data + pos + 1 + len);
    ++pos;
  }
  g_next = 0;
  g_feeding = true;
  return head;
}

void EndRun() {
  g_feeding = false;
  Drain();
  ComClr(kCom);
  Drain();
}

void Fail(const char *what, long a, long b) {
  std::fprintf(stderr, "fuzz check failed: %s (%ld, %ld)\n", what, a, b);
  std::abort();
}

size_t Guarded::Changed(const char *who) const {
  for (size_t i = 0; i < 64; ++i)
    if (buf[i] != 0xA5 || buf[buf.size() - 1 - i] != 0xA5) Fail(who, static_cast<long>(i));
  size_t last = before.size();
  while (last > 0 && buf[64 + last - 1] == before[last - 1]) --last;
  return last;
}

static CONTOMPI ExpectedConnect(const S7I &s7) {
  CONTOMPI c = _ConToMPI;
  if (!s7.SPSTyp)
    c.MPIAdr = static_cast<BYTE>(s7.MPIAdr), c.SrcTSAP = static_cast<BYTE>(s7.MPIAdr + 1);
  return c;
}

void Prepare(S7I &s7, const std::vector<uint8_t> &h) {
  InitS7I(&s7);
  s7.ConToMPI = ExpectedConnect(s7);
  s7.Err = 0;
  const bool up = !(h[6] & 1);
  CStat[kCom].Status = s7.Status = up;
  LPBYTE tx = reinterpret_cast<LPBYTE>(&s7.Tx), rx = reinterpret_cast<LPBYTE>(&s7.Rx);
  if (up && s7.SPSTyp) tx[2] = rx[3] = kPlcAdr, tx[3] = rx[2] = 0;
  if (up && !s7.SPSTyp) tx[0] = 0x00, tx[1] = 0x0C, tx[2] = h[4], tx[3] = kPlcAdr + 1, tx[5] = h[5];
}

void CheckRecord(const S7I &s) {
  const CONTOMPI want = ExpectedConnect(s);
  Check(std::memcmp(&want, &s.ConToMPI, sizeof want) == 0 && std::memcmp(s.CmdRd, _CmdRd, 5) == 0 &&
            std::memcmp(s.CmdWr, _CmdWr, 5) == 0,
        "fields behind Rx written");
  Check(s.Err == 0 || s.Err == -1 || s.Err == 2 || s.Err == -9, "Err undocumented", s.Err);
  Check(static_cast<DWORD>(s.Status) <= CStat[kCom].Status && CStat[kCom].Status <= 1,
        "statuses not 0/1, or connected on a port that is down", s.Status);
}

void RunJob(S7I &s7, const std::vector<uint8_t> &h) {
  Job j = static_cast<Job>(h[0] % kJobs);
  if (s7.SPSTyp && j == Members) j = CPUInfo;  // no adapter on PPI
  const JobDef &d = kJobDefs[j];
  const int anz = ((h[2] << 8) | h[1]) % (d.max + 1), limit = s7.SPSTyp ? d.ppi : d.mpi;
  const size_t elem = d.elem > 4 ? 1 : d.elem;
  Guarded buf(std::max<size_t>(1, d.elem > 4 ? d.elem : anz * elem));
  uint8_t *p = buf.data();
  if (IsWrite(j)) Fill(j, p, anz, h[3]);
  buf.Mark();
  const int r = CallJob(j, &s7, h[7], h[3], anz, p);
  const size_t last = buf.Changed("caller buffer guard written");
  CheckRecord(s7);
  const LONG err = s7.Err;  // 0 before the call
  Check(!IsWrite(j) || last == 0, "a write changed the caller's buffer", j);
  if (j == DBLen)
    return Check(r == -99 || (r >= 0 && r <= 65535 && (r == 0 || err == 0)), "DB length", r, err);
  if (j == Members)
    return Check(r == 1 || (last == 0 && (r == -99 || (r == 0 && err == -1))), "member list", r,
                 err);
  if (limit && anz == 0)
    return Check(r == 0 && err == 0 && last == 0, "Anz 0 did something", r, err);
  const bool ok = Succeeded(j, r);
  Check(limit ? r == 0 || r == 1 : r == 0 || r == 1 || r == -1 || r == -99, "job result", r);
  Check(ok ? err == 0 : err == -1 || err == 2, "Err does not match the result", r, err);
  const bool parts = limit && j != RdTimers && j != RdCounters;  // earlier packets are handed over
  Check(ok || last <= (parts ? (anz - 1) / limit * limit * elem : 0),
        "failed read wrote the buffer", static_cast<long>(last), j);
  Check(!ok || j != CPUInfo || std::memchr(p, 0, 17), "CPU text without its zero byte");
}

}  // namespace fz

// A read of the library's port with nothing waiting gets the next segment first.
extern "C" ssize_t __wrap_read(int fd, void *buf, size_t n) {
  using namespace fz;
  if (g_feeding && RsIo[kCom].ComRefCnt > 0 && fd == RsIo[kCom].hCom && Queued(fd) == 0 &&
      g_next < g_segments.size()) {
    Drain();
    const auto &seg = g_segments[g_next++];
    if (!seg.empty() && !s7sim::write_all(g_pty->master(), seg)) Fail("segment not written");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (Queued(fd) < static_cast<int>(seg.size()))
      if (std::chrono::steady_clock::now() > until)
        Fail("segment did not reach the port");
      else
        sched_yield();
  }
  return __real_read(fd, buf, n);
}

extern "C" int __wrap_nanosleep(const struct timespec *req, struct timespec *rem) {
  return fz::g_feeding ? 0 : __real_nanosleep(req, rem);
}

#ifdef S7FUZZ_REPLAY
// Without libFuzzer: every file in the directories given, e.g. the committed
// corpus replayed with all the harness's checks in the sanitizer build.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  int n = 0;
  for (int i = 1; i < argc; ++i)
    for (const auto &e : std::filesystem::directory_iterator(argv[i])) {
      std::ifstream f(e.path(), std::ios::binary);
      const std::vector<uint8_t> d(std::istreambuf_iterator<char>(f), {});
      LLVMFuzzerTestOneInput(d.data(), d.size()), ++n;
    }
  std::printf("%d inputs replayed\n", n);
  return n > 0 ? 0 : 1;
}
#endif
