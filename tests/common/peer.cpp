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
  if (!s7sim::read_byte(fd, b, ms)) return std::nullopt;
  seen.push_back(b);
  at.push_back(Clock::now());
  return b;
}

Peer exchange(int fd, Script script, const std::function<void()> &call) {
  Peer p{fd, {}, {}, {}};
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
    const auto put = [&](const Bytes &b) { s7sim::write_all(p.fd, b); };
    const auto expect = [&](uint8_t want) {
      const auto b = p.get();
      if (b != want) p.problem("expected " + hex({want}) + ", got " + (b ? hex({*b}) : "silence"));
      return b == want;
    };
    const auto quiet = [&](int ms) {
      Bytes out;
      while (auto b = p.get(ms)) out.push_back(*b);
      return out;
    };
    // a block taken: STX, DLE, the data up to DLE ETX and the BCC, then `answer`
    // (NAK when the BCC was wrong); the library never sends more than 2048 bytes
    const auto rx = [&](uint8_t answer) -> std::optional<Bytes> {
      if (!expect(kSTX)) return std::nullopt;
      put({kDLE});
      Bytes data;
      uint8_t bcc = 0;
      for (int n = 0; n < 2048; ++n) {
        auto b = p.get(1000);
        auto c = b == kDLE ? p.get(1000) : b;
        if (!b || !c) break;
        bcc ^= *b ^ (b == kDLE ? *c : 0);
        if (*b != kDLE || *c == kDLE) {
          data.push_back(*c);
          continue;
        }
        const bool good = *c == kETX && p.get(1000) == bcc;
        if (answer && *c == kETX) put({good ? answer : kNAK});
        if (good) return data;
        break;
      }
      p.problem("no good block after " + hex(data));
      return std::nullopt;
    };
    std::istringstream in(steps);
    for (std::string s; in >> s && p.problems.empty();) {
      const size_t eq = s.find('=');
      const std::string arg = s.substr(1, eq == std::string::npos ? std::string::npos : eq - 1);
      const Bytes data = eq == std::string::npos ? Bytes{} : unhex(s.substr(eq + 1));
      const char op = s[0];
      const int n =
          arg.empty() || op == '>' ? 0 : std::stoi(arg, nullptr, op == 'r' || op == '<' ? 16 : 10);
      if (op == 'r') {
        auto got = rx(arg.empty() ? kDLE : uint8_t(n));
        if (eq != std::string::npos && got.value_or(Bytes{0xEE}) != data)
          p.problem("block is not " + hex(data));
      }
      if (op == '<') expect(uint8_t(n));
      if (op == '>') put(unhex(arg));
      if (op == 't' && (put({kSTX}), expect(kDLE)) && (put(framed(data)), p.get() != kDLE))
        p.problem("block " + hex(data) + " not taken");
      if (op == 'f') put(framed(data));
      if (const Bytes rest = op == 's' ? quiet(n) : Bytes{}; !rest.empty())
        p.problem("unexpected bytes " + hex(rest));
      if (op == 'q') quiet(n);
      for (int i = 0; op == 'g' && i < n && p.get(2000); ++i) {
      }
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
