// 3964R block procedure over a real pty: the library on one side, a scripted
// adapter on the master side checking and answering byte by byte.
#include "r3964.h"

#include <gtest/gtest.h>

#include <memory>

#include "peer.hpp"
#include "rs232.h"
#include "s7conn.h"

using namespace s7test;

namespace {

Script Takes(Bytes want) {
  return [want](Peer &p) {
    if (p.rx() != want) p.problem("block is not " + hex(want));
  };
}
Bytes Sent(const Bytes &data) { return concat({{kSTX}, framed(data)}); }

// The adapter answers the PC's STX with `opening` (ending in its own STX) and
// sends a block of its own; the PC takes it, then sends its block again.
Script Collides(Bytes opening, Bytes theirs) {
  return [=](Peer &p) {
    if (!p.expect(kSTX)) return;
    p.put(opening);
    if (!p.expect(kDLE)) return;
    p.put(framed(theirs));
    usleep(100000);
    p.expect(kDLE);
    Takes({1, 2, 3})(p);
    p.silence(200);
  };
}

class R3964 : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ComOpen(0, 19200, 8, 'o', 1)); }
  PtyPort port{0};
};

TEST_F(R3964, Sender) {
  const Bytes one = Sent({0x10, 0x20}), c = {kSTX, kDLE, kDLE};
  const struct {
    Bytes waiting;  // on the line before the call
    Bytes data;
    bool ok;
    Bytes line;  // every byte the PC sends (empty: not checked)
    Script adapter;
    double seconds = 0;  // the least time the call takes
    LONG timeout = 54;
  } rows[] = {
      {{}, {}, true, {0x02, 0x10, 0x03, 0x13}, Takes({})},
      {{}, {0x12, 0x34}, true, {0x02, 0x12, 0x34, 0x10, 0x03, 0x35}, Takes({0x12, 0x34})},
      {{}, {0x10}, true, {0x02, 0x10, 0x10, 0x10, 0x03, 0x13}, Takes({0x10})},
      {{}, {0x03}, true, {0x02, 0x03, 0x10, 0x03, 0x10}, Takes({0x03})},  // BCC 10 sent once
      {{}, {1, 2, 3}, true, concat({c, Sent({1, 2, 3})}), Collides({kSTX}, {0x00, 0x10, 0x44})},
      {{}, {1, 2, 3}, true, concat({c, Sent({1, 2, 3})}), Collides({kNAK, kSTX}, {0x77})},
      {{},
       {0x02},
       true,
       concat({{kSTX}, Sent({0x02})}),
       [](Peer &p) {  // NAK then DLE: a failed attempt all the same
         p.expect(kSTX);
         p.put({kNAK, kDLE});
         Takes({0x02})(p);
       }},
      // a refused block goes out whole again, three times at most, then NAK
      {{},
       {0x10, 0x20},
       true,
       concat({one, one, one}),
       [](Peer &p) {
         for (uint8_t a : {kNAK, kNAK, kDLE}) p.rx(a);
       }},
      {{},
       {0x10, 0x20},
       false,
       concat({one, one, one, {kNAK}}),
       [](Peer &p) {
         for (int i = 0; i < 3; ++i) p.rx(kNAK);
         p.expect(kNAK);
         p.silence(200);
       }},
      {{},
       {0x01},
       false,
       Sent({0x01}),
       [](Peer &p) {
         p.rx(0x55);
         p.silence(300);
       }},
      {{},
       Bytes(200, 0x41),
       false,
       {},
       [](Peer &p) {  // talked into: abandoned with NAK
         p.expect(kSTX);
         p.put({kDLE, 0x55});
         const Bytes rest = p.quiet(300);
         if (rest.empty() || rest.size() >= 200 ||
             rest != concat({Bytes(rest.size() - 1, 0x41), {kNAK}}))
           p.problem("not abandoned with NAK: " + hex(rest));
       }},
      // waiting input is cleared first: a stray byte dropped, a block taken
      {{0x55}, {0x01}, true, Sent({0x01}), Takes({0x01})},
      {{kSTX},
       {0x02},
       true,
       concat({{kDLE, kDLE}, Sent({0x02})}),
       [](Peer &p) {
         p.expect(kDLE);
         p.put(framed({0x66, 0x67}));
         if (p.expect(kDLE)) Takes({0x02})(p);
       }},
      // one read attempt per STX at 1 tick: NAK, a stray byte, silence
      {{},
       {0x01},
       false,
       {kSTX, kSTX, kSTX},
       [](Peer &p) {
         p.expect(kSTX);
         p.put({kNAK});
         p.expect(kSTX);
         p.put({0x55});
         p.expect(kSTX);
         p.silence(800);
       },
       0.9,
       1},
      // the wait for DLE is read afresh: 54 ticks are five read attempts
      {{},
       {0x09},
       true,
       Sent({0x09}),
       [](Peer &p) {
         p.expect(kSTX);
         usleep(1500000);
         p.put({kDLE});
         for (uint8_t b : framed({0x09})) p.expect(b);
         p.put({kDLE});
       },
       1.4,
       54},
      {{},
       {0x02},
       false,
       Sent({0x02}),
       [](Peer &p) {  // unanswered: 40 ticks
         p.rx(0);
         p.silence(2500);
       },
       1.7},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(hex(r.line));
    S7SetTimeout(r.timeout);
    ComClr(0);
    s7sim::write_all(port.master(), r.waiting);
    for (int i = 0; i < 300 && !r.waiting.empty() && !ComCInQ(0); ++i) usleep(10000);
    Bytes data = r.data;
    double took = 0;
    Peer p = exchange(port.master(), r.adapter, [&] {
      const auto t0 = Clock::now();
      EXPECT_EQ(Tx3964RBlock(0, data.data(), static_cast<int>(data.size())) != 0, r.ok);
      took = Since(t0);
    });
    EXPECT_EQ(hex(p.seen), hex(r.line.empty() ? p.seen : r.line));
    EXPECT_GE(took, r.seconds);
    EXPECT_LT(took, r.seconds + 1.6);
  }
  EXPECT_EQ(hex(Bytes(DummyBuf, DummyBuf + 2)), "66 67");
}

TEST_F(R3964, Receivers) {
  const Bytes block = {0x01, 0x10, 0x02, 0x10, 0x10, 0x03};
  const Bytes odd = {kDLE, 0x41, kDLE, kDLE, kETX, kDLE ^ 0x41 ^ kETX};  // a lone DLE, then data
  Bytes full(511), over(512, 0x5A);
  for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i * 7);
  over[511] = 0xA5;
  const struct {
    bool collision;  // Rx3964RBlockDummy, called after the STX was read
    Bytes in;        // after STX (empty: 0x55 instead of STX)
    int result;
    Bytes out;  // every byte the PC sends
    Bytes stored;
  } rows[] = {
      {false, framed(block), 6, {kDLE, kDLE}, block},
      // after a lone DLE the DLE count stays odd: the next DLE is data
      {false, odd, 2, {kDLE, kDLE}, {0x41, 0x10}},
      {false, framed(full), 511, {kDLE, kDLE}, full},
      {false, framed(Bytes(511, kDLE)), 511, {kDLE, kDLE}, Bytes(511, kDLE)},
      {false, over, -2, {kDLE}, over},  // the 512th byte ends it at once
      {false, framed_with_bcc({0x01, 0x02}, 0x99), -3, {kDLE, kNAK}, {}},
      {false, {0x01, kDLE, kETX}, -3, {kDLE, kNAK}, {}},
      {false, {0x01, 0x02}, -1, {kDLE}, {}},
      {false, {}, -3, {}, {}},
      {true, framed({0x31, 0x10, 0x32}), 3, {kDLE, kDLE}, {0x31, 0x10, 0x32}},
      {true, framed_with_bcc({0x31, 0x32}, 0x00), 2, {kDLE, kNAK}, {}},  // refused, counted
      {true, {0x31, kDLE, kETX}, -3, {kDLE}, {}},
      {true, framed(Bytes(600, 0x01)), -2, {kDLE}, {}},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(hex(r.in).substr(0, 30));
    ComClr(0);
    std::unique_ptr<BYTE[]> data(new BYTE[512]());  // a write past it is caught
    s7sim::write_all(port.master(),
                     r.collision ? r.in : concat({{r.in.empty() ? uint8_t{0x55} : kSTX}, r.in}));
    const auto t0 = Clock::now();
    EXPECT_EQ(r.collision ? Rx3964RBlockDummy(0, data.get()) : Rx3964RBlock(0, data.get(), 140),
              r.result);
    EXPECT_LT(Since(t0), 0.9);  // one read attempt at most
    EXPECT_EQ(hex(s7sim::read_until_quiet(port.master(), 50)), hex(r.out));
    EXPECT_EQ(Bytes(data.get(), data.get() + r.stored.size()), r.stored);
  }
}

}  // namespace
