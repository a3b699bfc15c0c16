// The wrappers behind linecalls.hpp. The linker sends every reference to
// read, write, poll, ... in the objects of this program (the library's
// included) to __wrap_<name>; __real_<name> is the C library's call.
#include "linecalls.hpp"

#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>

#include "rs232.h"

namespace s7bench {
namespace {

thread_local bool t_counting = false;
int g_com = 0;
LineCalls g_calls;
bool g_seen = false;

// A call on the counted port's descriptor, from the counting thread.
bool on_port(int fd) {
  if (!t_counting) return false;
  // From the open of the device to its close: the layer sets hCom to the
  // descriptor at once and back to -1 after closing it.
  const RS232 &p = RsIo[g_com];
  const bool hit = p.hCom >= 0 && fd == p.hCom && (p.hCom > 0 || p.ComRefCnt > 0);
  g_seen = g_seen || hit;
  return hit;
}

void count_sleep(long long ns) {
  if (!t_counting) return;
  ++g_calls.sleeps;
  if (ns > 0) g_calls.sleep_ns += static_cast<uint64_t>(ns);
  constexpr long long kMs = 1000000;
  if (ns != 5 * kMs && ns != 12 * kMs && ns != 15 * kMs) ++g_calls.other_sleeps;
}

long long ns_of(const struct timespec *ts) {
  return ts ? static_cast<long long>(ts->tv_sec) * 1000000000LL + ts->tv_nsec : 0;
}

}  // namespace

void count_line_calls(int com) {
  g_com = com >= 0 && com < RS232_PORTS ? com : 0;
  t_counting = true;
}

LineCalls line_calls() { return g_calls; }

bool line_calls_seen() { return g_seen; }

}  // namespace s7bench

using s7bench::count_sleep;
using s7bench::g_calls;
using s7bench::ns_of;
using s7bench::on_port;

extern "C" {

ssize_t __real_read(int fd, void *buf, size_t n);
ssize_t __real_write(int fd, const void *buf, size_t n);
int __real_poll(struct pollfd *fds, nfds_t nfds, int timeout);
int __real_ppoll(struct pollfd *fds, nfds_t nfds, const struct timespec *ts, const sigset_t *mask);
int __real_ioctl(int fd, unsigned long request, ...);
int __real_tcgetattr(int fd, struct termios *t);
int __real_tcsetattr(int fd, int when, const struct termios *t);
int __real_tcflush(int fd, int queue);
int __real_tcdrain(int fd);
int __real_tcsendbreak(int fd, int duration);
int __real_nanosleep(const struct timespec *req, struct timespec *rem);
int __real_clock_nanosleep(clockid_t clock, int flags, const struct timespec *req,
                           struct timespec *rem);
int __real_usleep(useconds_t us);

ssize_t __wrap_read(int fd, void *buf, size_t n) {
  if (on_port(fd)) ++g_calls.reads;
  return __real_read(fd, buf, n);
}

ssize_t __wrap_write(int fd, const void *buf, size_t n) {
  if (on_port(fd)) ++g_calls.writes;
  return __real_write(fd, buf, n);
}

int __wrap_poll(struct pollfd *fds, nfds_t nfds, int timeout) {
  for (nfds_t i = 0; i < nfds && fds; ++i)
    if (on_port(fds[i].fd)) {
      ++g_calls.polls;
      break;
    }
  return __real_poll(fds, nfds, timeout);
}

int __wrap_ppoll(struct pollfd *fds, nfds_t nfds, const struct timespec *ts, const sigset_t *mask) {
  for (nfds_t i = 0; i < nfds && fds; ++i)
    if (on_port(fds[i].fd)) {
      ++g_calls.polls;
      break;
    }
  return __real_ppoll(fds, nfds, ts, mask);
}

int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (on_port(fd)) ++g_calls.termios;
  return __real_ioctl(fd, request, arg);
}

int __wrap_tcgetattr(int fd, struct termios *t) {
  if (on_port(fd)) ++g_calls.termios;
  return __real_tcgetattr(fd, t);
}

int __wrap_tcsetattr(int fd, int when, const struct termios *t) {
  if (on_port(fd)) ++g_calls.termios;
  return __real_tcsetattr(fd, when, t);
}

int __wrap_tcflush(int fd, int queue) {
  if (on_port(fd)) ++g_calls.termios;
  return __real_tcflush(fd, queue);
}

int __wrap_tcdrain(int fd) {
  if (on_port(fd)) ++g_calls.termios;
  return __real_tcdrain(fd);
}

int __wrap_tcsendbreak(int fd, int duration) {
  if (on_port(fd)) ++g_calls.termios;
  return __real_tcsendbreak(fd, duration);
}

int __wrap_nanosleep(const struct timespec *req, struct timespec *rem) {
  count_sleep(ns_of(req));
  return __real_nanosleep(req, rem);
}

int __wrap_clock_nanosleep(clockid_t clock, int flags, const struct timespec *req,
                           struct timespec *rem) {
  long long ns = ns_of(req);
  if (flags & TIMER_ABSTIME) {  // a point in time: count what is left of it
    struct timespec now {};
    clock_gettime(clock, &now);
    ns -= ns_of(&now);
  }
  count_sleep(ns);
  return __real_clock_nanosleep(clock, flags, req, rem);
}

int __wrap_usleep(useconds_t us) {
  count_sleep(static_cast<long long>(us) * 1000);
  return __real_usleep(us);
}

}  // extern "C"
