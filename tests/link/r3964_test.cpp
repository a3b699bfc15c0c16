// 3964R block procedure over a real pty: the library on one side, a scripted
// adapter on the master side checking and answering byte by byte.
#include "r3964.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "peer.hpp"
#include "rs232.h"
#include "s7conn.h"
#include "testutil.hpp"

using namespace s7test;

namespace {

constexpr int kCom = 0;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The adapter takes a block and checks its data.
Script Takes(Bytes want) {
  return [want](Peer &p) {
    if (p.rx() != want) p.problem("block is not " + hex(want));
  };
}

// STX and a framed block, as the PC sends it.
Bytes Sent(const Bytes &data) { return concat({{kSTX}, framed(data)}); }

class R3964 : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ComOpen(kCom, 19200, 8, 'o', 1)); }
  void TearDown() override { ComCloseAll(); }

  // Sends `data` against the adapter's `script`: the result must be `ok` and
  // the PC's bytes on the line `line` (when given). Returns the seconds taken.
  double Send(const char *what, Bytes data, bool ok, const Bytes &line, Script script) {
    SCOPED_TRACE(what);
    double took = 0;
    Peer p = exchange(port.master(), std::move(script), [&] {
      const auto t0 = Clock::now();
      EXPECT_EQ(Tx3964RBlock(kCom, data.data(), static_cast<int>(data.size())) != 0, ok);
      took = SecondsSince(t0);
    });
    if (!line.empty()) {
      EXPECT_EQ(hex(p.seen), hex(line));
    }
    return took;
  }
  // The adapter answers the PC's STX with `opening` (ending in its own STX),
  // sends `theirs`, then takes the PC's block: the PC yields and tries again.
  void Collision(const char *what, Bytes opening, Bytes theirs) {
    const Bytes ours = {0x01, 0x02, 0x03};
    Send(what, ours, true, concat({{kSTX, kDLE, kDLE}, Sent(ours)}), [=](Peer &p) {
      if (!p.expect(kSTX)) return;
      p.put(opening);
      if (!p.expect(kDLE)) return;
      p.put(framed(theirs));
      usleep(100000);  // the PC goes on meanwhile: its DLE must still arrive
      p.expect(kDLE);
      Takes(ours)(p);
      p.silence(200);
    });
    EXPECT_EQ(hex(Bytes(DummyBuf, DummyBuf + theirs.size())), hex(theirs)) << what;
  }

  // Drops what earlier cases left, puts bytes on the line and waits until
  // the library's port has them.
  void Waiting(const Bytes &b) {
    ComClr(kCom);
    s7sim::write_all(port.master(), b);
    for (int i = 0; i < 300 && !ComCInQ(kCom); ++i) usleep(10000);
  }

  PtyPort port{kCom};
};

// ---------------------------------------------------------------- sender

TEST_F(R3964, SenderOnTheLine) {
  // the worked examples, a block of 0 bytes, data DLEs, a BCC of 0x10 sent once
  Send("empty", {}, true, {0x02, 0x10, 0x03, 0x13}, Takes({}));
  Send("12 34", {0x12, 0x34}, true, {0x02, 0x12, 0x34, 0x10, 0x03, 0x35}, Takes({0x12, 0x34}));
  Send("10", {0x10}, true, {0x02, 0x10, 0x10, 0x10, 0x03, 0x13}, Takes({0x10}));
  Send("BCC 10", {0x03}, true, {0x02, 0x03, 0x10, 0x03, 0x10}, Takes({0x03}));
  Send("10 10 55", {0x10, 0x10, 0x55}, true, {0x02, 0x10, 0x10, 0x10, 0x10, 0x55, 0x10, 0x03, 0x46},
       Takes({0x10, 0x10, 0x55}));

  Collision("STX answered with STX", {kSTX}, {0x00, 0x0C, 0x10, 0x44});
  Collision("NAK then STX", {kNAK, kSTX}, {0x77});
  // NAK then DLE is a failed attempt all the same: flushed, STX again
  Send("NAK then DLE", {0x02}, true, concat({{kSTX}, Sent({0x02})}), [](Peer &p) {
    if (!p.expect(kSTX)) return;
    p.put({kNAK, kDLE});
    Takes({0x02})(p);
  });

  // a refused block goes out whole again, three times at most, then NAK
  const Bytes one = Sent({0x10, 0x20});
  Send("NAK NAK DLE", {0x10, 0x20}, true, concat({one, one, one}), [](Peer &p) {
    for (uint8_t a : {kNAK, kNAK, kDLE}) p.rx(a);
  });
  Send("NAK NAK NAK", {0x10, 0x20}, false, concat({one, one, one, {kNAK}}), [](Peer &p) {
    for (int i = 0; i < 3; ++i) p.rx(kNAK);
    p.expect(kNAK);
    p.silence(200);
  });
  Send("answer neither DLE nor NAK", {0x01}, false, Sent({0x01}), [](Peer &p) {
    p.rx(0x55);
    p.silence(300);
  });
  Send("byte while sending", Bytes(200, 0x41), false, {}, [](Peer &p) {
    if (!p.expect(kSTX)) return;
    p.put({kDLE, 0x55});  // the partner talks into the data
    const Bytes rest = p.quiet(300);
    if (rest.size() < 1 || rest.size() >= 200 ||
        rest != concat({Bytes(rest.size() - 1, 0x41), {kNAK}}))
      p.problem("not abandoned with NAK: " + hex(rest));
  });

  // waiting input is cleared first: a stray byte is consumed, a whole block
  // taken (DLE, DLE) before the PC's own STX
  Waiting({0x55});
  Send("stray byte", {0x01}, true, Sent({0x01}), Takes({0x01}));
  Waiting({kSTX});
  Send("block waiting", {0x02}, true, concat({{kDLE, kDLE}, Sent({0x02})}), [](Peer &p) {
    if (!p.expect(kDLE)) return;
    p.put(framed({0x66, 0x67}));
    if (p.expect(kDLE)) Takes({0x02})(p);
  });
  EXPECT_EQ(DummyBuf[0], 0x66);
  EXPECT_EQ(DummyBuf[1], 0x67);
}

TEST_F(R3964, SenderWaits) {
  // one read attempt per STX with a wait of 1 tick: NAK then silence, a stray
  // byte, silence; three attempts gone and nothing more sent
  S7SetTimeout(1);
  double s = Send("three failed set-ups", {0x01}, false, {kSTX, kSTX, kSTX}, [](Peer &p) {
    if (!p.expect(kSTX)) return;
    p.put({kNAK});
    if (!p.expect(kSTX)) return;
    p.put({0x55});
    p.expect(kSTX);
    p.silence(800);
  });
  EXPECT_GT(s, 0.9);
  EXPECT_LT(s, 2.5);

  // the wait for DLE is read afresh: 54 ticks are five read attempts
  S7SetTimeout(54);
  s = Send("late DLE", {0x09}, true, Sent({0x09}), [](Peer &p) {
    if (!p.expect(kSTX)) return;
    usleep(1500000);
    p.put({kDLE});
    for (uint8_t b : framed({0x09})) p.expect(b);
    p.put({kDLE});
  });
  EXPECT_GT(s, 1.4);

  // no answer to the block: 40 ticks, then FALSE and nothing more sent
  s = Send("block unanswered", {0x02}, false, Sent({0x02}), [](Peer &p) {
    p.rx(0);
    p.silence(2500);
  });
  EXPECT_GT(s, 1.7);
  EXPECT_LT(s, 3.0);
}

// ---------------------------------------------------------------- receiver

struct RxCase {
  const char *what;
  bool collision;  // Rx3964RBlockDummy, called after the STX was read
  Bytes in;        // what the adapter sends after STX (none at all: it sends 0x55 instead of STX)
  int result;
  Bytes out;          // every byte the PC sends
  Bytes stored = {};  // the start of the data area
};

TEST_F(R3964, Receivers) {
  const Bytes block = {0x01, 0x10, 0x02, 0x10, 0x10, 0x03};
  const Bytes odd = {kDLE, 0x41, kDLE, kDLE, kETX};  // a lone DLE, then data
  uint8_t odd_bcc = 0;
  for (uint8_t b : odd) odd_bcc ^= b;
  Bytes full(511);
  for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i * 7);
  Bytes over(512, 0x5A);
  over[511] = 0xA5;
  const std::vector<RxCase> cases = {
      {"block", false, framed(block), 6, {kDLE, kDLE}, block},
      // a byte after a lone DLE is data; the DLE count stays odd, so the next
      // DLE is data and the DLE ETX after it ends the block
      {"lone DLE", false, concat({odd, {odd_bcc}}), 2, {kDLE, kDLE}, {0x41, 0x10}},
      {"511 bytes", false, framed(full), 511, {kDLE, kDLE}, full},
      {"511 DLEs", false, framed(Bytes(511, kDLE)), 511, {kDLE, kDLE}, Bytes(511, kDLE)},
      // the 512th data byte ends the block at once, without DLE ETX or answer
      {"512 bytes", false, over, -2, {kDLE}, over},
      {"wrong BCC", false, framed_with_bcc({0x01, 0x02}, 0x99), -3, {kDLE, kNAK}},
      {"BCC missing", false, {0x01, kDLE, kETX}, -3, {kDLE, kNAK}},
      {"silence inside", false, {0x01, 0x02}, -1, {kDLE}},
      {"first byte not STX", false, {}, -3, {}},
      {"collision block", true, framed({0x31, 0x10, 0x32}), 3, {kDLE, kDLE}, {0x31, 0x10, 0x32}},
      // a wrong BCC is refused, but the count is returned
      {"collision wrong BCC", true, framed_with_bcc({0x31, 0x32}, 0x00), 2, {kDLE, kNAK}},
      {"collision BCC missing", true, {0x31, kDLE, kETX}, -3, {kDLE}},
      {"collision too long", true, framed(Bytes(600, 0x01)), -2, {kDLE}},
  };
  for (const RxCase &c : cases) {
    SCOPED_TRACE(c.what);
    ComClr(kCom);  // drops what an overlong block left behind
    // exactly 512 bytes on the heap, so a write past them is caught
    std::unique_ptr<BYTE[]> data(new BYTE[512]());
    const Bytes in = c.collision ? c.in : concat({{c.in.empty() ? uint8_t{0x55} : kSTX}, c.in});
    s7sim::write_all(port.master(), in);
    const auto t0 = Clock::now();
    const int n =
        c.collision ? Rx3964RBlockDummy(kCom, data.get()) : Rx3964RBlock(kCom, data.get(), 140);
    EXPECT_EQ(n, c.result);
    EXPECT_LT(SecondsSince(t0), 0.9);  // one read attempt at most
    EXPECT_EQ(hex(s7sim::read_until_quiet(port.master(), 50)), hex(c.out));
    EXPECT_EQ(Bytes(data.get(), data.get() + c.stored.size()), c.stored);
  }
}

}  // namespace
