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
#include <memory>

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
  for (int i = 0; i < 64 && __real_read(g_pty->master(), b, sizeof b) > 0; ++i) {
  }
}

}  // namespace

void Start(bool (*open)()) {
  g_pty = std::make_unique<s7sim::Pty>();
  std::string name = g_pty->slave_name();
  if (ComSetDevName(kCom, name.data()) != 0 || !open()) Fail("port not opened");
  ComSetTimeOut(kCom, 0);
  fcntl(g_pty->master(), F_SETFL, fcntl(g_pty->master(), F_GETFL) | O_NONBLOCK);
}

std::vector<uint8_t> Feed(const uint8_t *data, size_t size, size_t head_len) {
  std::vector<uint8_t> head(data, data + std::min(size, head_len));
  head.resize(head_len);
  g_segments.clear();
  for (size_t pos = head_len; pos < size;) {
    const size_t len = std::min<size_t>(data[pos], size - pos - 1);
    ++pos;
    g_segments.emplace_back(data + pos, data + pos + len);
    pos += len;
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
