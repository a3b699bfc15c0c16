// The simulated side of s7gate's network, as the simulated adapter and PLCs
// are the library's line: a small S7 Ethernet client (TPKT, COTP class 0, S7
// jobs) and s7gate as a child process, for the benchmark and the gateway's
// tests and soak.
#pragma once

#include <arpa/inet.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace gt {

using Bytes = std::vector<uint8_t>;
inline void put16(Bytes &b, unsigned v) { b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)}); }
inline unsigned be16(const Bytes &b, size_t at) { return unsigned(b.at(at) << 8 | b.at(at + 1)); }

// s7gate on `device` and a free loopback port, with more arguments; its log goes to a file.
struct Gate {
  Gate(const std::string &device, std::vector<std::string> args) {
    args.insert(args.begin(), {S7GATE_PATH, "--device", device, "--listen", "127.0.0.1:0"});
    int out[2];
    if (pipe(out) != 0 || (pid = fork()) != 0) {
      close(out[1]);
      FILE *f = fdopen(out[0], "r");
      char line[128] = {};
      if (pid > 0 && fgets(line, sizeof line, f) && strrchr(line, ':'))
        port = atoi(strrchr(line, ':') + 1);
      fclose(f);
      return;
    }
    dup2(out[1], 1);
    if (!freopen(log_path.c_str(), "w", stderr)) _exit(126);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  ~Gate() { stop(), unlink(log_path.c_str()); }  // and its log
  int stop() {  // SIGTERM; the exit status, -1 when it did not exit by itself
    if (pid <= 0) return -1;
    int st = 0;
    rusage ru{};
    kill(pid, SIGTERM), wait4(pid, &st, 0, &ru), pid = 0;
    cpu_s = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
            double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  std::string log() const { return (std::stringstream() << std::ifstream(log_path).rdbuf()).str(); }
  std::string log_path = "/tmp/s7gate" + std::to_string(getpid()) + "_" +
                         std::to_string(reinterpret_cast<uintptr_t>(this)) + ".log";
  pid_t pid = -1;
  int port = 0;
  double cpu_s = 0;  // user and system time of s7gate, once stopped
};

struct Client {
  // Connects; unless slot < 0, sends the connection request for rack 0 and that slot.
  explicit Client(int port, int slot = 2) {
    const sockaddr_in a{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    const timeval tv{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ok = connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
    if (slot < 0 || !ok) return;
    raw(tpkt({17, 0xE0, 0, 0, 0, 1, 0, 0xC0, 1, 0x0A, 0xC1, 2, 1, 0, 0xC2, 2, 1, uint8_t(slot)}));
    // a class 0 confirmation of our reference 1, agreeing to 1024-byte units and echoing the
    // TSAPs asked for
    const Bytes cc = unit(), size = {0xC0, 1, 0x0A}, called = {0xC2, 2, 1, uint8_t(slot)};
    const auto has = [&cc](const Bytes &p) {
      return std::search(cc.begin(), cc.end(), p.begin(), p.end()) != cc.end();
    };
    ok = cc.size() > 6 && cc[1] == 0xD0 && be16(cc, 2) == 1 && cc[6] == 0 && has(size) &&
         has(called);
    if (!ok) shutdown(fd, SHUT_RDWR);  // not a connection to use
  }
  ~Client() { close(fd); }
  static Bytes tpkt(Bytes b) {
    b.insert(b.begin(), {3, 0, uint8_t((b.size() + 4) >> 8), uint8_t(b.size() + 4)});
    return b;
  }
  void raw(const Bytes &b) { send(fd, b.data(), b.size(), MSG_NOSIGNAL); }
  void send_pdu(Bytes p) { p.insert(p.begin(), {2, 0xF0, 0x80}), raw(tpkt(p)); }
  Bytes take(size_t n) {  // n bytes, or fewer at the end of the connection or after 30 s
    Bytes b(n);
    return b.resize(std::max<ssize_t>(n ? recv(fd, b.data(), n, MSG_WAITALL) : 0, 0)), b;
  }
  Bytes unit() {  // one TPKT's COTP unit
    const Bytes h = take(4);
    return h.size() == 4 && be16(h, 2) > 4 ? take(be16(h, 2) - 4) : Bytes{};
  }
  Bytes pdu() {  // the next S7 PDU, from its data units; empty when none came
    Bytes out;
    for (Bytes u = unit(); u.size() >= 3 && u[1] == 0xF0; u = unit())
      if (out.insert(out.end(), u.begin() + 3, u.end()); u[2] & 0x80) return out;
    return {};
  }
  Bytes job(const Bytes &p) { return send_pdu(p), pdu(); }
  int setup(unsigned size, uint16_t ref = 0x100) {
    Bytes p{0x32, 1, 0, 0, uint8_t(ref >> 8), uint8_t(ref), 0, 8, 0, 0, 0xF0, 0, 0, 1, 0, 1};
    put16(p, size);
    const Bytes a = job(p);
    return a.size() == 20 && be16(a, 4) == ref ? int(be16(a, 18)) : -1;
  }
  bool closed() {  // the gateway has ended the connection
    char c;
    return take(1 << 16).size() < (1 << 16) && recv(fd, &c, 1, 0) == 0;
  }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  bool ok = false;
};

// A read or write item: transport size, count, DB, area, bit address; data to write.
struct Item {
  uint8_t ts;
  uint16_t count, db;
  uint8_t area;
  uint32_t addr;
  Bytes data;
};

inline Bytes rw_job(bool write, uint16_t ref, const std::vector<Item> &items) {
  Bytes par{uint8_t(write ? 5 : 4), uint8_t(items.size())}, dat, p{0x32, 1, 0, 0};
  for (size_t i = 0; i < items.size(); ++i) {
    const Item &it = items[i];
    const bool bit = it.ts == 1, octets = it.ts == 0x1C || it.ts == 0x1D;
    par.insert(par.end(), {0x12, 0x0A, 0x10, it.ts, uint8_t(it.count >> 8), uint8_t(it.count),
                           uint8_t(it.db >> 8), uint8_t(it.db), it.area, uint8_t(it.addr >> 16),
                           uint8_t(it.addr >> 8), uint8_t(it.addr)});
    if (!write) continue;
    dat.insert(dat.end(), {0, uint8_t(bit ? 3 : octets ? 9 : 4)});
    put16(dat, unsigned(bit ? 1 : octets ? it.data.size() : it.data.size() * 8));
    dat.insert(dat.end(), it.data.begin(), it.data.end());
    if (it.data.size() % 2 && i + 1 < items.size()) dat.push_back(0);
  }
  put16(p, ref), put16(p, unsigned(par.size())), put16(p, unsigned(dat.size()));
  p.insert(p.end(), par.begin(), par.end());
  p.insert(p.end(), dat.begin(), dat.end());
  return p;
}

// A read or write answer's items: return code and data.
inline std::vector<std::pair<uint8_t, Bytes>> items_of(const Bytes &a, bool write) {
  std::vector<std::pair<uint8_t, Bytes>> out;
  if (a.size() < 14 || a[1] != 3 || a.size() != 12 + be16(a, 6) + be16(a, 8)) return out;
  for (size_t i = 0, at = 12 + be16(a, 6); i < a[13] && at < a.size(); ++i) {
    const size_t head = write ? 1 : 4;
    const size_t n = write || a[at] != 0xFF ? 0 : be16(a, at + 2) / (a.at(at + 1) % 3 ? 8 : 1);
    if (at + head + n > a.size()) break;
    out.push_back({a[at], Bytes(a.begin() + long(at + head), a.begin() + long(at + head + n))});
    at += head + n + n % 2;
  }
  return out;
}

}  // namespace gt
