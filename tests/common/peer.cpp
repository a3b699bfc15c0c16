#include "peer.hpp"

#include <cstdio>

#include "pty.hpp"
#include "testutil.hpp"

namespace s7test {

Bytes framed_with_bcc(const Bytes &data, uint8_t bcc) {
  Bytes out;
  for (uint8_t b : data) {
    out.push_back(b);
    if (b == kDLE) out.push_back(b);
  }
  out.push_back(kDLE);
  out.push_back(kETX);
  out.push_back(bcc);
  return out;
}

Bytes framed(const Bytes &data) {
  uint8_t bcc = 0;
  for (uint8_t b : data)
    if (b != kDLE) bcc ^= b;  // a doubled DLE adds nothing
  return framed_with_bcc(data, static_cast<uint8_t>(bcc ^ kDLE ^ kETX));
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::optional<uint8_t> Peer::get(int ms) {
  uint8_t b = 0;
  if (!s7sim::read_byte(fd_, b, ms)) return std::nullopt;
  seen.push_back(b);
  return b;
}

bool Peer::expect(uint8_t want, int ms) {
  auto b = get(ms);
  if (b && *b == want) return true;
  char text[80];
  if (b)
    std::snprintf(text, sizeof text, "expected %02X, got %02X", want, *b);
  else
    std::snprintf(text, sizeof text, "expected %02X, got silence", want);
  problem(text);
  return false;
}

Bytes Peer::quiet(int ms) {
  Bytes out;
  while (auto b = get(ms)) out.push_back(*b);
  return out;
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
    if (!b) {
      problem("silence inside a block after " + hex(data));
      return std::nullopt;
    }
    bcc ^= *b;
    if (*b != kDLE) {
      data.push_back(*b);
      continue;
    }
    auto c = get(1000);
    if (!c) {
      problem("silence after DLE inside a block");
      return std::nullopt;
    }
    bcc ^= *c;
    if (*c == kDLE) {
      data.push_back(kDLE);
    } else if (*c == kETX) {
      auto got = get(1000);
      if (!got) {
        problem("no BCC");
        return std::nullopt;
      }
      if (*got != bcc) {
        problem("wrong BCC after " + hex(data));
        if (answer) put({kNAK});
        return std::nullopt;
      }
      if (answer) put({answer});
      return data;
    } else {
      problem("lone DLE inside a block");
      return std::nullopt;
    }
  }
  problem("block without end");
  return std::nullopt;
}

uint8_t Peer::tx(const Bytes &data, int ms) {
  put({kSTX});
  if (!expect(kDLE, ms)) return 0;
  put(framed(data));
  auto b = get(ms);
  return b ? *b : 0;
}

bool Peer::tx_expect_ok(const Bytes &data, int ms) {
  uint8_t a = tx(data, ms);
  if (a == kDLE) return true;
  problem("block " + hex(data) + " not taken");
  return false;
}

PeerThread::PeerThread(int fd, std::function<void(Peer &)> script)
    : peer(fd), thread_([this, s = std::move(script)] { s(peer); }) {}

PeerThread::~PeerThread() {
  if (thread_.joinable()) thread_.join();
}

Peer &PeerThread::join() {
  if (thread_.joinable()) thread_.join();
  return peer;
}

std::string joined(const std::vector<std::string> &problems) {
  std::string s;
  for (const auto &p : problems) s += p + "; ";
  return s;
}

}  // namespace s7test
