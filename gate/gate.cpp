#include "gate.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "front.hpp"
#include "kesto.h"
#include "s7com.h"
#include "s7serial.h"

namespace s7gate {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCom = 0;                     // the one serial port of this process
constexpr size_t kMaxPending = 8;           // jobs of one client waiting or on the line
constexpr size_t kPauseOutput = 16 * 1024;  // unread answers that stop reading a client
constexpr size_t kMaxOutput = 256 * 1024;   // unread answers before a client is dropped
constexpr size_t kReadChunk = 4096;
constexpr auto kAcceptPause = std::chrono::milliseconds(200);      // out of descriptors
constexpr int kKeepIdle = 60, kKeepInterval = 10, kKeepCount = 5;  // TCP keepalive, seconds

// One line on standard error, written at once: the library's trace (on the
// worker thread) may write there too.
void Log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void Log(const char *fmt, ...) {
  char line[512];
  const int n = std::snprintf(line, sizeof line, "s7gate: ");
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line + n, sizeof line - static_cast<size_t>(n), fmt, ap);
  va_end(ap);
  std::fprintf(stderr, "%s\n", line);
}

struct Job {
  uint64_t client;
  size_t station;
  uint16_t ref;
  Bytes pdu;
};

struct Done {
  uint64_t client;
  uint16_t ref;
  Bytes answer;  // empty: failed
  std::string why;
};

// The serial line: its records (one per station), the clients' queues and its thread.
class Line {
 public:
  Line(const Config &cfg, std::vector<int> stations, int done_fd)
      : cfg_(cfg),
        addrs_(std::move(stations)),
        done_fd_(done_fd),
        recs_(addrs_.size()),
        agreed_(addrs_.size()),
        asked_again_(addrs_.size()) {}

  // Opens the records and asks every station for its PDU size.
  bool open() {
    const int baud = cfg_.baud ? cfg_.baud : cfg_.ppi ? 9600 : 19200;
    for (size_t i = 0; i < addrs_.size(); ++i) {
      const BOOL ok =
          cfg_.ppi ? S7PPIInit(&recs_[i], kCom, addrs_[i], cfg_.own, baud)
                   : S7InitFastBaud(&recs_[i], kCom, addrs_[i], cfg_.own, static_cast<DWORD>(baud));
      if (!ok) {
        char why[128] = "";
        if (ComOpenError(kCom, why, sizeof why) == 0)
          std::snprintf(why, sizeof why, "refused by the library (code %ld)",
                        static_cast<long>(recs_[i].Err));
        Log("cannot open %s for station %d: %s", cfg_.device.c_str(), addrs_[i], why);
        close();
        return false;
      }
      ++opened_;
    }
    for (size_t i = 0; i < addrs_.size(); ++i) learn(i);
    thread_ = std::thread([this] { work(); });
    return true;
  }

  // The PDU size station i agreed to; 0 while it has not told.
  int agreed(size_t i) const { return agreed_[i].load(); }

  void push(Job j) {
    {
      std::lock_guard l(mu_);
      auto &q = queues_[j.client];
      if (q.empty()) ring_.push_back(j.client);
      q.push_back(std::move(j));
    }
    cv_.notify_one();
  }

  // The client has gone: its jobs not yet on the line never reach it.
  void forget(uint64_t client) {
    std::lock_guard l(mu_);
    if (queues_.erase(client)) std::erase(ring_, client);
  }

  std::vector<Done> take_done() {
    std::lock_guard l(mu_);
    std::vector<Done> d;
    d.swap(done_);
    return d;
  }

  // Lets the job on the line finish, then closes the records as S7Exit does.
  void stop() {
    {
      std::lock_guard l(mu_);
      stop_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
    close();
  }

 private:
  void close() {
    for (size_t i = 0; i < opened_; ++i)
      if (!S7Exit(&recs_[i])) Log("station %d: the line did not take the disconnect", addrs_[i]);
    opened_ = 0;
  }

  // A setup job of our own: the station's answer names the PDU size it takes.
  void learn(size_t i) {
    const int path = PathPdu(cfg_.ppi);
    const uint8_t job[] = {0x32,
                           0x01,
                           0,
                           0,
                           0,
                           0,
                           0,
                           8,
                           0,
                           0,
                           0xF0,
                           0,
                           0,
                           1,
                           0,
                           1,
                           static_cast<uint8_t>(path >> 8),
                           static_cast<uint8_t>(path)};
    uint8_t a[32];
    const int n = S7Exchange(&recs_[i], job, sizeof job, a, sizeof a);
    const int size = n == 20 && a[1] == 0x03 && a[10] == 0 && a[11] == 0 && a[12] == 0xF0
                         ? a[18] << 8 | a[19]
                         : 0;
    if (size >= 64) {
      agreed_[i] = std::min(size, path);
      Log("station %d takes PDUs of %d bytes", addrs_[i], size);
    } else {
      Log("station %d did not tell its PDU size (code %ld); offering %d until it does", addrs_[i],
          static_cast<long>(recs_[i].Err), cfg_.pdu ? cfg_.pdu : path);
    }
  }

  void post(Done d) {
    {
      std::lock_guard l(mu_);
      done_.push_back(std::move(d));
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(done_fd_, &one, sizeof one);
  }

  // The next job, one client after the other.
  bool next(Job &j) {
    std::unique_lock l(mu_);
    cv_.wait(l, [this] { return stop_ || !ring_.empty(); });
    if (stop_) return false;
    const uint64_t id = ring_.front();
    ring_.pop_front();
    auto &q = queues_[id];
    j = std::move(q.front());
    q.pop_front();
    if (q.empty())
      queues_.erase(id);
    else
      ring_.push_back(id);
    return true;
  }

  void work() {
    std::vector<uint8_t> ans(static_cast<size_t>(PathPdu(false)));
    for (Job j; next(j);) {
      S7 &rec = recs_[j.station];
      const int n = S7Exchange(&rec, j.pdu.data(), static_cast<int>(j.pdu.size()), ans.data(),
                               static_cast<int>(ans.size()));
      if (n > 0) {
        post({j.client, j.ref, Bytes(ans.begin(), ans.begin() + n), {}});
        if (!agreed(j.station) && !asked_again_[j.station])
          asked_again_[j.station] = true, learn(j.station);
        continue;
      }
      char why[256], gone[128] = "";
      if (ComOpenError(kCom, gone, sizeof gone) != 0)  // the device has vanished
        std::snprintf(why, sizeof why, "station %d: cannot open %s: %s", addrs_[j.station],
                      cfg_.device.c_str(), gone);
      else
        std::snprintf(why, sizeof why, "station %d: no answer on the line (code %ld)",
                      addrs_[j.station], static_cast<long>(rec.Err));
      // The jobs for that station that came meanwhile fail with it, at once:
      // the next job that arrives tries the line again.
      {
        std::lock_guard l(mu_);
        for (auto &[id, q] : queues_)
          std::erase_if(q, [&](const Job &k) {
            if (k.station != j.station) return false;
            done_.push_back({k.client, k.ref, {}, why});
            return true;
          });
        std::erase_if(ring_, [this](uint64_t id) { return queues_[id].empty(); });
        std::erase_if(queues_, [](const auto &e) { return e.second.empty(); });
      }
      post({j.client, j.ref, {}, why});
    }
  }

  const Config &cfg_;
  std::vector<int> addrs_;
  int done_fd_;
  std::vector<S7> recs_;
  std::vector<std::atomic<int>> agreed_;
  std::vector<bool> asked_again_;  // a station that did not tell, asked once more
  size_t opened_ = 0;
  std::thread thread_;
  std::mutex mu_;  // guards what follows
  std::condition_variable cv_;
  std::unordered_map<uint64_t, std::deque<Job>> queues_;  // by client, none empty
  std::deque<uint64_t> ring_;                             // clients with jobs, next first
  std::vector<Done> done_;
  bool stop_ = false;
};

struct Client {
  uint64_t id;
  int fd;
  std::string peer;
  Front front;
  Clock::time_point since, last;  // accepted; last job or answer
  Bytes out;
  std::deque<Job> held;  // beyond kMaxPending: kept until one is answered
  size_t pending = 0;
  size_t station = 0;
  bool routed = false;
  uint32_t events = 0;  // as watched now
};

class Server {
 public:
  Server(const Config &cfg) : cfg_(cfg) {
    stations_.push_back(cfg.plc);
    for (const auto &[slot, addr] : cfg.routes)
      if (std::find(stations_.begin(), stations_.end(), addr) == stations_.end())
        stations_.push_back(addr);
    pdu_max_ = cfg.pdu ? std::min(cfg.pdu, PathPdu(cfg.ppi)) : PathPdu(cfg.ppi);
  }

  int run() {
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    done_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    sig_fd_ = signalfd(-1, &sigs, SFD_NONBLOCK | SFD_CLOEXEC);
    if (ep_ < 0 || done_fd_ < 0 || sig_fd_ < 0) {
      Log("cannot set up the event loop: %s", std::strerror(errno));
      return 1;
    }
    if (!listen_on()) return 1;
    line_ = std::make_unique<Line>(cfg_, stations_, done_fd_);
    if (!line_->open()) return 1;
    watch(sig_fd_, EPOLLIN);
    watch(done_fd_, EPOLLIN);
    watch(listen_fd_, EPOLLIN);
    std::printf("s7gate: listening on %s:%d\n", cfg_.host.c_str(), port_);
    std::fflush(stdout);

    bool running = true;
    epoll_event ev[64];
    while (running) {
      const int n = epoll_wait(ep_, ev, 64, timers());
      if (n < 0 && errno != EINTR) {
        Log("epoll_wait: %s", std::strerror(errno));
        break;
      }
      for (int i = 0; i < n; ++i) {
        const int fd = ev[i].data.fd;
        if (fd == sig_fd_) {
          running = false;
        } else if (fd == done_fd_) {
          answers();
        } else if (fd == listen_fd_) {
          accept_all();
        } else {
          if (auto it = by_fd_.find(fd); it != by_fd_.end() && (ev[i].events & ~EPOLLOUT))
            readable(*it->second);
          if (auto it = by_fd_.find(fd); it != by_fd_.end() && (ev[i].events & EPOLLOUT))
            flush(*it->second);
        }
      }
    }
    Log("stopping");
    while (!by_fd_.empty()) drop(*by_fd_.begin()->second, nullptr);
    ::close(listen_fd_);
    line_->stop();
    return 0;
  }

 private:
  void watch(int fd, uint32_t events, int op = EPOLL_CTL_ADD) {
    epoll_event e{};
    e.events = events;
    e.data.fd = fd;
    if (epoll_ctl(ep_, op, fd, &e) != 0) Log("epoll_ctl on %d: %s", fd, std::strerror(errno));
  }

  // Closes the clients whose time is up, takes the listening socket back
  // after a pause; returns the milliseconds until the next deadline (-1: none).
  int timers() {
    const auto now = Clock::now();
    auto next = Clock::time_point::max();
    if (accept_paused_) {
      if (now >= accept_again_) {
        accept_paused_ = false;
        watch(listen_fd_, EPOLLIN);
      } else {
        next = accept_again_;
      }
    }
    std::vector<std::pair<Client *, const char *>> late;
    for (const auto &[fd, c] : by_fd_) {
      auto at = Clock::time_point::max();
      const char *why = nullptr;
      if (!c->front.set_up() && cfg_.setup_timeout) {
        at = c->since + std::chrono::seconds(cfg_.setup_timeout);
        why = "no connection request and setup job in time";
      } else if (cfg_.idle_timeout && !c->pending && c->out.empty()) {
        at = c->last + std::chrono::seconds(cfg_.idle_timeout);
        why = "idle";
      }
      if (at <= now)
        late.emplace_back(c.get(), why);
      else
        next = std::min(next, at);
    }
    for (const auto &[c, why] : late) drop(*c, why);
    if (next == Clock::time_point::max()) return -1;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::clamp<long long>(ms, 1, 60 * 60 * 1000));
  }

  bool listen_on() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(cfg_.port));
    if (inet_pton(AF_INET, cfg_.host.c_str(), &a.sin_addr) != 1) {
      Log("cannot listen on \"%s\": not an IPv4 address", cfg_.host.c_str());
      return false;
    }
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    socklen_t len = sizeof a;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(listen_fd_, 64) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
      Log("cannot listen on %s:%d: %s", cfg_.host.c_str(), cfg_.port, std::strerror(errno));
      return false;
    }
    port_ = ntohs(a.sin_port);
    return true;
  }

  void accept_all() {
    for (;;) {
      sockaddr_in a{};
      socklen_t len = sizeof a;
      const int fd =
          accept4(listen_fd_, reinterpret_cast<sockaddr *>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
      if (fd < 0 && errno == EAGAIN) return;
      if (fd < 0) {  // out of descriptors or memory: waking at once would spin
        if (!accept_paused_logged_)
          Log("cannot accept a client: %s; trying again every %lld ms", std::strerror(errno),
              static_cast<long long>(kAcceptPause.count()));
        accept_paused_logged_ = accept_paused_ = true;
        accept_again_ = Clock::now() + kAcceptPause;
        watch(listen_fd_, 0, EPOLL_CTL_DEL);
        return;
      }
      accept_paused_logged_ = false;
      char host[INET_ADDRSTRLEN] = "?";
      inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
      const std::string peer = std::string(host) + ":" + std::to_string(ntohs(a.sin_port));
      if (by_fd_.size() >= static_cast<size_t>(cfg_.max_clients)) {
        Log("refused %s: already %d clients", peer.c_str(), cfg_.max_clients);
        ::close(fd);
        continue;
      }
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdle, sizeof kKeepIdle);
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepInterval, sizeof kKeepInterval);
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
      const auto now = Clock::now();
      auto c = std::make_unique<Client>(
          Client{++last_id_,
                 fd,
                 peer,
                 Front(
                     pdu_max_, [this](int slot) { return limit(slot); }, &cfg_.allow),
                 now,
                 now,
                 {},
                 {}});
      Log("client %llu (%s) connected", static_cast<unsigned long long>(c->id), peer.c_str());
      by_id_[c->id] = c.get();
      c->events = EPOLLIN;
      watch(fd, EPOLLIN);
      by_fd_[fd] = std::move(c);
    }
  }

  size_t station_of(int slot) const {
    const auto r = cfg_.routes.find(slot);
    const int addr = r == cfg_.routes.end() ? cfg_.plc : r->second;
    return static_cast<size_t>(std::find(stations_.begin(), stations_.end(), addr) -
                               stations_.begin());
  }
  int limit(int slot) const { return line_->agreed(station_of(slot)); }

  // why: nullptr for an orderly end by the client, else the reason for the log.
  void drop(Client &c, const char *why) {
    const auto id = static_cast<unsigned long long>(c.id);
    if (why)
      Log("client %llu closed: %s", id, why);
    else
      Log("client %llu disconnected", id);
    line_->forget(c.id);
    ::close(c.fd);
    by_id_.erase(c.id);
    by_fd_.erase(c.fd);
  }

  void readable(Client &c) {
    uint8_t buf[kReadChunk];
    const ssize_t n = read(c.fd, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return drop(c, n < 0 ? std::strerror(errno) : nullptr);
    c.last = Clock::now();
    std::vector<Action> acts;
    c.front.feed(std::span<const uint8_t>(buf, static_cast<size_t>(n)), acts);
    for (Action &a : acts) {
      if (!c.routed && c.front.connected()) c.routed = true, c.station = station_of(c.front.slot());
      switch (a.kind) {
        case Action::Reply:
          if (!a.why.empty())
            Log("client %llu (%s): %s", static_cast<unsigned long long>(c.id), c.peer.c_str(),
                a.why.c_str());
          c.out.insert(c.out.end(), a.bytes.begin(), a.bytes.end());
          break;
        case Action::Forward:
          c.held.push_back({c.id, c.station, a.ref, std::move(a.bytes)});
          break;
        case Action::Close:
          if (!flush(c)) return;
          return drop(c, a.why == "disconnect request" ? nullptr : a.why.c_str());
      }
    }
    forward(c);
    flush(c);
  }

  // Hands the client's held jobs to the line while it has room for them.
  void forward(Client &c) {
    for (; !c.held.empty() && c.pending < kMaxPending; c.held.pop_front(), ++c.pending)
      line_->push(std::move(c.held.front()));
  }

  // false when the client had to be dropped
  bool flush(Client &c) {
    size_t at = 0;
    while (at < c.out.size()) {
      const ssize_t n = send(c.fd, c.out.data() + at, c.out.size() - at, MSG_NOSIGNAL);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    c.out.erase(c.out.begin(), c.out.begin() + static_cast<long>(at));
    if (c.out.size() > kMaxOutput) {
      drop(c, "does not read its answers");
      return false;
    }
    // Back-pressure: a client with its jobs all queued, or with answers it
    // does not take, is not read until that changes.
    const bool read_on = c.pending < kMaxPending && c.out.size() < kPauseOutput;
    const uint32_t events = (read_on ? EPOLLIN : 0u) | (c.out.empty() ? 0u : EPOLLOUT);
    if (events != c.events) watch(c.fd, c.events = events, EPOLL_CTL_MOD);
    return true;
  }

  void answers() {
    uint64_t n;
    [[maybe_unused]] const ssize_t r = read(done_fd_, &n, sizeof n);
    for (Done &d : line_->take_done()) {
      const auto it = by_id_.find(d.client);
      if (it == by_id_.end()) continue;  // the client has gone: so has its answer
      Client &c = *it->second;
      --c.pending;
      c.last = Clock::now();
      Bytes out;
      if (d.answer.empty()) {
        Log("client %llu: job failed: %s", static_cast<unsigned long long>(c.id), d.why.c_str());
        out = c.front.refusal(d.ref, kErrLine);
      } else {
        out = c.front.answer(d.answer, d.ref);
      }
      c.out.insert(c.out.end(), out.begin(), out.end());
      forward(c);
      flush(c);
    }
  }

  const Config &cfg_;
  std::vector<int> stations_;  // [0] is --plc
  int pdu_max_;
  int ep_ = -1, done_fd_ = -1, sig_fd_ = -1, listen_fd_ = -1, port_ = 0;
  bool accept_paused_ = false, accept_paused_logged_ = false;
  Clock::time_point accept_again_;
  std::unique_ptr<Line> line_;
  uint64_t last_id_ = 0;
  std::unordered_map<int, std::unique_ptr<Client>> by_fd_;
  std::unordered_map<uint64_t, Client *> by_id_;
};

}  // namespace

int Run(const Config &cfg) { return Server(cfg).run(); }

}  // namespace s7gate
