// A small S7 Ethernet client (TPKT, COTP class 0, S7 jobs) and s7gate as a
// child process on a given serial device, for the gateway's tests and soak.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace gt {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes &b, unsigned v) { b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)}); }
inline unsigned be16(const Bytes &b, size_t at) { return unsigned(b.at(at) << 8 | b.at(at + 1)); }

// s7gate on `device` with extra arguments, listening on a free loopback port.
class Gate {
 public:
  Gate(const std::string &device, std::vector<std::string> args) {
    char log[] = "/tmp/s7gatelogXXXXXX";
    const int log_fd = mkstemp(log);
    log_ = log;
    int out[2];
    if (log_fd < 0 || pipe(out) != 0) return;
    args.insert(args.begin(), {S7GATE_PATH, "--device", device, "--listen", "127.0.0.1:0"});
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(log_fd, 2);
      std::vector<char *> argv;
      for (auto &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    close(log_fd);
    pollfd p{out[0], POLLIN, 0};
    char line[128] = {};
    if (poll(&p, 1, 10000) == 1 && read(out[0], line, sizeof line - 1) > 0)
      if (const char *c = strrchr(line, ':')) port = atoi(c + 1);
    close(out[0]);
  }
  ~Gate() {
    stop();
    unlink(log_.c_str());
  }
  // SIGTERM; the exit status, or -1 when it had to be killed.
  int stop() {
    if (pid_ <= 0) return status_;
    kill(pid_, SIGTERM);
    int st = 0;
    rusage ru{};
    for (int i = 0; i < 300 && wait4(pid_, &st, WNOHANG, &ru) == 0; ++i) usleep(100000);
    if (wait4(pid_, &st, WNOHANG, &ru) == 0) kill(pid_, SIGKILL), wait4(pid_, &st, 0, &ru);
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    cpu_s = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
            double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    pid_ = 0;
    return status_;
  }
  std::string log() const {
    std::ifstream f(log_);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  pid_t pid() const { return pid_; }
  int port = 0;
  double cpu_s = 0;  // the gateway's user and system time, once stopped

 private:
  pid_t pid_ = 0;
  int status_ = -1;
  std::string log_;
};

class Client {
 public:
  // Connects and, unless slot < 0, sends the connection request for rack 0 and that slot.
  explicit Client(int port, int slot = 2) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    if (slot < 0 || !connected) return;
    raw(tpkt({17, 0xE0, 0, 0, 0, 1, 0, 0xC0, 1, 0x0A, 0xC1, 2, 1, 0, 0xC2, 2, 1, uint8_t(slot)}));
    const auto cc = unit();
    connected = cc && cc->size() >= 2 && (*cc)[1] == 0xD0;
  }
  ~Client() { close(fd_); }
  static Bytes tpkt(const Bytes &cotp) {
    Bytes b{3, 0};
    put16(b, unsigned(cotp.size() + 4));
    b.insert(b.end(), cotp.begin(), cotp.end());
    return b;
  }
  void raw(const Bytes &b) { send(fd_, b.data(), b.size(), MSG_NOSIGNAL); }
  void send_pdu(const Bytes &pdu) {
    Bytes d{2, 0xF0, 0x80};
    d.insert(d.end(), pdu.begin(), pdu.end());
    raw(tpkt(d));
  }
  // One TPKT's COTP unit; nullopt on time-out or end of connection.
  std::optional<Bytes> unit(int ms = 30000) {
    Bytes h = take(4, ms);
    if (h.size() < 4) return std::nullopt;
    Bytes b = take(be16(h, 2) - 4, ms);
    return b.size() + 4 == be16(h, 2) ? std::optional(b) : std::nullopt;
  }
  // The next S7 PDU, reassembled from its data units.
  std::optional<Bytes> pdu(int ms = 30000) {
    Bytes out;
    for (;;) {
      auto u = unit(ms);
      if (!u || u->size() < 3 || (*u)[1] != 0xF0) return std::nullopt;
      out.insert(out.end(), u->begin() + 3, u->end());
      if ((*u)[2] & 0x80) return out;
    }
  }
  std::optional<Bytes> job(const Bytes &p, int ms = 30000) {
    send_pdu(p);
    return pdu(ms);
  }
  int setup(unsigned size, uint16_t ref = 0x100) {
    Bytes p{0x32, 1, 0, 0};
    put16(p, ref);
    p.insert(p.end(), {0, 8, 0, 0, 0xF0, 0, 0, 1, 0, 1});
    put16(p, size);
    const auto a = job(p);
    return a && a->size() == 20 && be16(*a, 4) == ref ? int(be16(*a, 18)) : -1;
  }
  // True when the gateway ends the connection within ms.
  bool closed(int ms = 5000) {
    Bytes rest = take(1 << 16, ms);
    return eof_;
  }

 private:
  Bytes take(size_t n, int ms) {
    Bytes b(n);
    size_t got = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got < n && !eof_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, int(left.count())) != 1) break;
      const ssize_t r = recv(fd_, b.data() + got, n - got, 0);
      if (r <= 0) eof_ = true;
      got += r > 0 ? size_t(r) : 0;
    }
    b.resize(got);
    return b;
  }
  int fd_;
  bool eof_ = false;

 public:
  bool connected = false;
};

// S7 jobs. An item: transport size, count, DB, area, bit address.
struct Item {
  uint8_t ts;
  uint16_t count, db;
  uint8_t area;
  uint32_t addr;
  Bytes data;  // for a write
};

inline Bytes job_head(uint16_t ref, size_t par, size_t dat) {
  Bytes p{0x32, 1, 0, 0};
  put16(p, ref), put16(p, unsigned(par)), put16(p, unsigned(dat));
  return p;
}

inline Bytes rw_job(bool write, uint16_t ref, const std::vector<Item> &items) {
  Bytes par{uint8_t(write ? 5 : 4), uint8_t(items.size())}, dat;
  for (size_t i = 0; i < items.size(); ++i) {
    const Item &it = items[i];
    par.insert(par.end(), {0x12, 0x0A, 0x10, it.ts});
    put16(par, it.count), put16(par, it.db);
    par.insert(par.end(),
               {it.area, uint8_t(it.addr >> 16), uint8_t(it.addr >> 8), uint8_t(it.addr)});
    if (!write) continue;
    const bool octets = it.ts == 0x1C || it.ts == 0x1D, bit = it.ts == 1;
    dat.insert(dat.end(), {0, uint8_t(bit ? 3 : octets ? 9 : 4)});
    put16(dat, unsigned(bit ? 1 : octets ? it.data.size() : it.data.size() * 8));
    dat.insert(dat.end(), it.data.begin(), it.data.end());
    if (it.data.size() % 2 && i + 1 < items.size()) dat.push_back(0);
  }
  Bytes p = job_head(ref, par.size(), dat.size());
  p.insert(p.end(), par.begin(), par.end());
  p.insert(p.end(), dat.begin(), dat.end());
  return p;
}

// A read or write answer split into its items: return code and data.
inline std::vector<std::pair<uint8_t, Bytes>> items_of(const Bytes &a, bool write) {
  std::vector<std::pair<uint8_t, Bytes>> out;
  if (a.size() < 14 || a[1] != 3 || a.size() != 12 + be16(a, 6) + be16(a, 8)) return out;
  size_t at = 12 + be16(a, 6);
  for (int i = 0; i < a[13] && at < a.size(); ++i) {
    if (write) {
      out.push_back({a[at++], {}});
      continue;
    }
    const uint8_t rc = a[at], ts = a[at + 1];
    const size_t n = rc != 0xFF ? 0 : ts == 3 || ts == 9 ? be16(a, at + 2) : be16(a, at + 2) / 8;
    if (at + 4 + n > a.size()) break;
    out.push_back({rc, Bytes(a.begin() + long(at + 4), a.begin() + long(at + 4 + n))});
    at += 4 + n + (n % 2);
  }
  return out;
}

}  // namespace gt
