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
#include "s7serial.h"

namespace s7gate {

namespace {

constexpr int kCom = 0;                    // the one serial port of this process
constexpr int kMaxPduMPI = 310;            // job header and 300 bytes in one MPI block
constexpr int kMaxPduPPI = 252;            // one PPI frame's data unit
constexpr size_t kMaxPending = 8;          // jobs of one client waiting or on the line
constexpr size_t kMaxOutput = 256 * 1024;  // unread answers before a client is dropped
constexpr size_t kReadChunk = 4096;

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
  std::shared_ptr<std::atomic<bool>> alive;
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

// The serial line: its records (one per station), its queue and its thread.
class Line {
 public:
  Line(const Config &cfg, std::vector<int> stations, int done_fd)
      : cfg_(cfg), addrs_(std::move(stations)), done_fd_(done_fd), recs_(addrs_.size()) {}

  bool open() {
    KS7SetDevName(kCom, const_cast<char *>(cfg_.device.c_str()));
    const int baud = cfg_.baud ? cfg_.baud : cfg_.ppi ? 9600 : 19200;
    for (size_t i = 0; i < addrs_.size(); ++i) {
      const BOOL ok =
          cfg_.ppi ? S7PPIInit(&recs_[i], kCom, addrs_[i], cfg_.own, baud)
                   : S7InitFastBaud(&recs_[i], kCom, addrs_[i], cfg_.own, static_cast<DWORD>(baud));
      if (!ok) {
        Log("cannot open %s for station %d (code %ld)", cfg_.device.c_str(), addrs_[i],
            static_cast<long>(recs_[i].Err));
        close();
        return false;
      }
      ++opened_;
    }
    thread_ = std::thread([this] { work(); });
    return true;
  }

  void push(Job j) {
    {
      std::lock_guard l(mu_);
      queue_.push_back(std::move(j));
    }
    cv_.notify_one();
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
    for (size_t i = 0; i < opened_; ++i) S7Exit(&recs_[i]);
    opened_ = 0;
  }

  void post(Done d) {
    {
      std::lock_guard l(mu_);
      done_.push_back(std::move(d));
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(done_fd_, &one, sizeof one);
  }

  void work() {
    std::vector<uint8_t> ans(kMaxPduMPI);
    for (;;) {
      Job j;
      {
        std::unique_lock l(mu_);
        cv_.wait(l, [this] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        j = std::move(queue_.front());
        queue_.pop_front();
      }
      if (!j.alive->load()) continue;  // its client has gone: nothing goes on the line
      S7 &rec = recs_[j.station];
      const int n = S7Exchange(&rec, j.pdu.data(), static_cast<int>(j.pdu.size()), ans.data(),
                               static_cast<int>(ans.size()));
      if (n > 0) {
        post({j.client, j.ref, Bytes(ans.begin(), ans.begin() + n), {}});
        continue;
      }
      char why[96];
      std::snprintf(why, sizeof why, "station %d: no answer on the line (code %ld)",
                    addrs_[j.station], static_cast<long>(rec.Err));
      // The jobs for that station that came meanwhile fail with it, at once:
      // the next job that arrives tries the line again.
      {
        std::lock_guard l(mu_);
        for (auto it = queue_.begin(); it != queue_.end();) {
          if (it->station != j.station) {
            ++it;
            continue;
          }
          done_.push_back({it->client, it->ref, {}, why});
          it = queue_.erase(it);
        }
      }
      post({j.client, j.ref, {}, why});
    }
  }

  const Config &cfg_;
  std::vector<int> addrs_;
  int done_fd_;
  std::vector<S7> recs_;
  size_t opened_ = 0;
  std::thread thread_;
  std::mutex mu_;  // guards what follows
  std::condition_variable cv_;
  std::deque<Job> queue_;
  std::vector<Done> done_;
  bool stop_ = false;
};

struct Client {
  uint64_t id;
  int fd;
  std::string peer;
  Front front;
  Bytes out;
  size_t pending = 0;
  size_t station = 0;
  bool routed = false;
  std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
};

class Server {
 public:
  Server(const Config &cfg) : cfg_(cfg) {
    stations_.push_back(cfg.plc);
    for (const auto &[slot, addr] : cfg.routes)
      if (std::find(stations_.begin(), stations_.end(), addr) == stations_.end())
        stations_.push_back(addr);
    pdu_max_ = std::min(cfg.pdu, cfg.ppi ? kMaxPduPPI : kMaxPduMPI);
  }

  int run() {
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    done_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    sig_fd_ = signalfd(-1, &sigs, SFD_NONBLOCK | SFD_CLOEXEC);
    if (ep_ < 0 || done_fd_ < 0 || sig_fd_ < 0 || !listen_on()) return 1;
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
      const int n = epoll_wait(ep_, ev, 64, -1);
      if (n < 0 && errno != EINTR) break;
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
    epoll_ctl(ep_, op, fd, &e);
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
      if (fd < 0) return;
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
      auto c = std::make_unique<Client>(Client{++last_id_, fd, peer, Front(pdu_max_), {}});
      Log("client %llu (%s) connected", static_cast<unsigned long long>(c->id), peer.c_str());
      by_id_[c->id] = c.get();
      watch(fd, EPOLLIN);
      by_fd_[fd] = std::move(c);
    }
  }

  // why: nullptr for an orderly end by the client, else the reason for the log.
  void drop(Client &c, const char *why) {
    const auto id = static_cast<unsigned long long>(c.id);
    if (why)
      Log("client %llu closed: %s", id, why);
    else
      Log("client %llu disconnected", id);
    c.alive->store(false);
    ::close(c.fd);
    by_id_.erase(c.id);
    by_fd_.erase(c.fd);
  }

  void readable(Client &c) {
    uint8_t buf[kReadChunk];
    const ssize_t n = read(c.fd, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return drop(c, n < 0 ? std::strerror(errno) : nullptr);
    std::vector<Action> acts;
    c.front.feed(std::span<const uint8_t>(buf, static_cast<size_t>(n)), acts);
    for (Action &a : acts) {
      if (!c.routed && c.front.connected()) route(c);
      switch (a.kind) {
        case Action::Reply:
          c.out.insert(c.out.end(), a.bytes.begin(), a.bytes.end());
          break;
        case Action::Forward:
          if (++c.pending > kMaxPending) return drop(c, "too many jobs at once");
          line_->push({c.id, c.alive, c.station, a.ref, std::move(a.bytes)});
          break;
        case Action::Close:
          if (!flush(c)) return;
          return drop(c, a.why == "disconnect request" ? nullptr : a.why.c_str());
      }
    }
    flush(c);
  }

  void route(Client &c) {
    const auto r = cfg_.routes.find(c.front.slot());
    const int addr = r == cfg_.routes.end() ? cfg_.plc : r->second;
    c.routed = true;
    c.station = static_cast<size_t>(std::find(stations_.begin(), stations_.end(), addr) -
                                    stations_.begin());
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
    watch(c.fd, c.out.empty() ? EPOLLIN : EPOLLIN | EPOLLOUT, EPOLL_CTL_MOD);
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
      Bytes out;
      if (d.answer.empty()) {
        Log("client %llu: job failed: %s", static_cast<unsigned long long>(c.id), d.why.c_str());
        out = c.front.refusal(d.ref, kErrLine);
      } else {
        out = c.front.answer(d.answer, d.ref);
      }
      c.out.insert(c.out.end(), out.begin(), out.end());
      flush(c);
    }
  }

  const Config &cfg_;
  std::vector<int> stations_;  // [0] is --plc
  int pdu_max_;
  int ep_ = -1, done_fd_ = -1, sig_fd_ = -1, listen_fd_ = -1, port_ = 0;
  std::unique_ptr<Line> line_;
  uint64_t last_id_ = 0;
  std::unordered_map<int, std::unique_ptr<Client>> by_fd_;
  std::unordered_map<uint64_t, Client *> by_id_;
};

}  // namespace

int Run(const Config &cfg) { return Server(cfg).run(); }

}  // namespace s7gate
