#include "peer.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <sstream>

#include "rs232.h"

namespace s7test {

PtyPort::PtyPort(int c) : com(c) {
  std::string name = pty.slave_name();
  ComSetDevName(static_cast<DWORD>(com), name.data());
}

std::string hex(const std::vector<uint8_t> &bytes) {
  static const char digit[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) s += (s.empty() ? "" : " ") + std::string{digit[b >> 4], digit[b & 15]};
  return s;
}

double Since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool Silent(int fd, int ms) { return s7sim::read_until_quiet(fd, ms).empty(); }

Bytes framed(const Bytes &data, int bcc) {
  Bytes out;
  uint8_t sum = kDLE ^ kETX;
  for (uint8_t b : data) {
    out.insert(out.end(), b == kDLE ? 2 : 1, b);
    sum ^= b == kDLE ? 0 : b;  // a doubled DLE adds nothing
  }
  return concat({out, {kDLE, kETX, uint8_t(bcc < 0 ? sum : bcc)}});
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes sd1(uint8_t da, uint8_t sa, uint8_t fc) {
  return {0x10, da, sa, fc, static_cast<uint8_t>(da + sa + fc), 0x16};
}

Bytes sd2(uint8_t da, uint8_t sa, uint8_t fc, const Bytes &du) {
  const auto le = static_cast<uint8_t>(du.size() + 3);
  Bytes f = concat({{0x68, le, le, 0x68, da, sa, fc}, du});
  return concat({f, {static_cast<uint8_t>(std::accumulate(f.begin() + 4, f.end(), 0u)), 0x16}});
}

std::optional<uint8_t> Peer::get(int ms) {
  uint8_t b = 0;
  if (!s7sim::read_byte(fd_, b, ms)) return std::nullopt;
  seen.push_back(b);
  at.push_back(std::chrono::steady_clock::now());
  return b;
}

bool Peer::expect(uint8_t want, int ms) {
  auto b = get(ms);
  if (b != want) problem("expected " + hex({want}) + ", got " + (b ? hex({*b}) : "silence"));
  return b == want;
}

Bytes Peer::quiet(int ms) {
  Bytes out;
  while (auto b = get(ms)) out.push_back(*b);
  return out;
}

Bytes Peer::take(size_t n, int ms) {
  Bytes out;
  for (std::optional<uint8_t> b; out.size() < n && (b = get(ms));) out.push_back(*b);
  return out;
}

void Peer::silence(int ms) {
  Bytes rest = quiet(ms);
  if (!rest.empty()) problem("unexpected bytes " + hex(rest));
}

void Peer::put(const Bytes &bytes) { s7sim::write_all(fd_, bytes); }

std::optional<Bytes> Peer::rx(uint8_t answer, int stx_ms) {
  if (!expect(kSTX, stx_ms)) return std::nullopt;
  put({kDLE});
  Bytes data;
  uint8_t bcc = 0;
  // a block of the library is never longer than this; the bound keeps a
  // misbehaving sender from holding the script forever
  for (int n = 0; n < 2048; ++n) {
    auto b = get(1000);
    auto c = b == kDLE ? get(1000) : b;
    if (!b || !c) break;
    bcc ^= *b ^ (b == kDLE ? *c : 0);
    if (*b != kDLE || *c == kDLE) {
      data.push_back(*c);
      continue;
    }
    const bool good = *c == kETX && get(1000) == bcc;
    if (answer && *c == kETX) put({good ? answer : kNAK});
    if (good) return data;
    break;
  }
  problem("no good block after " + hex(data));
  return std::nullopt;
}

bool Peer::tx(const Bytes &data, int ms) {
  put({kSTX});
  if (!expect(kDLE, ms)) return false;
  put(framed(data));
  if (get(ms) == kDLE) return true;
  problem("block " + hex(data) + " not taken");
  return false;
}

Peer exchange(int fd, Script script, const std::function<void()> &call) {
  Peer p(fd);
  std::thread t([&] { script(p); });
  call();
  t.join();
  EXPECT_TRUE(p.problems.empty()) << joined(p.problems);
  return p;
}

Bytes unhex(const std::string &text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size(); ++i)
    if (text[i] != ' ')
      out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i++, 2), nullptr, 16)));
  return out;
}

std::string plain(const Bytes &bytes) {
  std::string s = hex(bytes);
  std::erase(s, ' ');
  return s;
}

Script play(const std::string &steps) {
  return [steps](Peer &p) {
    std::istringstream in(steps);
    for (std::string s; in >> s && p.problems.empty();) {
      const size_t eq = s.find('=');
      const std::string arg = s.substr(1, eq == std::string::npos ? std::string::npos : eq - 1);
      const Bytes data = eq == std::string::npos ? Bytes{} : unhex(s.substr(eq + 1));
      const char op = s[0];
      const int n =
          arg.empty() || op == '>' ? 0 : std::stoi(arg, nullptr, op == 'r' || op == '<' ? 16 : 10);
      if (op == 'r') {
        auto got = p.rx(arg.empty() ? kDLE : uint8_t(n));
        if (eq != std::string::npos && got.value_or(Bytes{0xEE}) != data)
          p.problem("block is not " + hex(data));
      }
      if (op == '<') p.expect(uint8_t(n));
      if (op == '>') p.put(unhex(arg));
      if (op == 't') p.tx(data);
      if (op == 'f') p.put(framed(data));
      if (op == 's') p.silence(n);
      if (op == 'q') p.quiet(n);
      if (op == 'g') p.take(size_t(n));
      if (op == 'w') std::this_thread::sleep_for(std::chrono::milliseconds(n));
      if (std::string("<>rtfsqwg").find(op) == std::string::npos) p.problem("no step " + s);
    }
  };
}

std::vector<std::vector<std::string>> table(const std::vector<std::string> &rows) {
  std::vector<std::vector<std::string>> out;
  for (const auto &row : rows) {
    out.push_back({""});
    for (char c : row) {
      if (c == '|')
        out.back().push_back("");
      else
        out.back().back() += c;
    }
  }
  return out;
}

std::string joined(const std::vector<std::string> &problems) {
  std::string s;
  for (const auto &p : problems) s += p + "; ";
  return s;
}

}  // namespace s7test
