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

using s7test::Bytes;
using s7test::concat;
using s7test::framed;
using s7test::framed_with_bcc;
using s7test::hex;
using s7test::joined;
using s7test::kDLE;
using s7test::kETX;
using s7test::kNAK;
using s7test::kSTX;
using s7test::Peer;
using s7test::PeerThread;

namespace {

constexpr int kCom = 0;

class R3964 : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ComOpen(kCom, 19200, 8, 'o', 1)); }
  void TearDown() override { ComCloseAll(); }

  BOOL Send(Bytes data) { return Tx3964RBlock(kCom, data.data(), static_cast<int>(data.size())); }

  s7test::PtyPort port{kCom};
};

double SecondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// ---------------------------------------------------------------- sender

TEST_F(R3964, SendFramesBlocksExactly) {
  // a 0-length block, the worked examples, a data DLE and a BCC of 0x10
  const std::vector<Bytes> blocks = {{}, {0x12, 0x34}, {0x10}, {0x03}, {0x10, 0x10, 0x55}};
  std::vector<Bytes> got;
  PeerThread t(port.master(), [&](Peer &p) {
    for (size_t i = 0; i < blocks.size(); ++i) got.push_back(p.rx().value_or(Bytes{0xEE}));
  });
  for (const Bytes &b : blocks) EXPECT_TRUE(Send(b)) << hex(b);
  Peer &p = t.join();
  EXPECT_TRUE(p.problems.empty()) << joined(p.problems);
  EXPECT_EQ(got, blocks);
  const Bytes line = concat({{0x02, 0x10, 0x03, 0x13},
                             {0x02, 0x12, 0x34, 0x10, 0x03, 0x35},
                             {0x02, 0x10, 0x10, 0x10, 0x03, 0x13},
                             {0x02, 0x03, 0x10, 0x03, 0x10},  // BCC 0x10 goes once
                             {0x02, 0x10, 0x10, 0x10, 0x10, 0x55, 0x10, 0x03, 0x46}});
  EXPECT_EQ(hex(p.seen), hex(line));
}

TEST_F(R3964, CollisionPcTakesAdapterBlockThenRetries) {
  const Bytes theirs = {0x00, 0x0C, 0x10, 0x44};
  const Bytes ours = {0x01, 0x02, 0x03};
  std::optional<Bytes> got;
  Bytes after;
  PeerThread t(port.master(), [&](Peer &p) {
    // STX answered by STX: the PC yields
    if (!p.expect(kSTX)) return;
    p.put({kSTX});
    if (!p.expect(kDLE)) return;
    p.put(framed(theirs));
    // let the PC go on before reading its answer: the DLE must still arrive
    usleep(100000);
    p.expect(kDLE);
    got = p.rx();
    after = p.quiet(200);
  });
  EXPECT_TRUE(Send(ours));
  Peer &p = t.join();
  EXPECT_TRUE(p.problems.empty()) << joined(p.problems);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, ours);
  EXPECT_TRUE(after.empty()) << hex(after);
  EXPECT_EQ(Bytes(DummyBuf, DummyBuf + theirs.size()), theirs);
  EXPECT_EQ(hex(p.seen), hex(concat({{kSTX, kDLE, kDLE, kSTX}, framed(ours)})));
}

TEST_F(R3964, NakThenStxIsACollision) {
  const Bytes theirs = {0x77};
  std::optional<Bytes> got;
  PeerThread t(port.master(), [&](Peer &p) {
    if (!p.expect(kSTX)) return;
    p.put({kNAK, kSTX});
    if (!p.expect(kDLE)) return;
    p.put(framed(theirs));
    p.expect(kDLE);
    got = p.rx();
  });
  EXPECT_TRUE(Send({0x42}));
  Peer &p = t.join();
  EXPECT_TRUE(p.problems.empty()) << joined(p.problems);
  EXPECT_EQ(got, Bytes{0x42});
  EXPECT_EQ(DummyBuf[0], 0x77);
}

TEST_F(R3964, FailedSetupAttempts) {
  // one read attempt per STX: a silent partner costs 0.5 s an attempt
  S7SetTimeout(1);
  ASSERT_EQ(S7TimeOutwert, 1);
  PeerThread t(port.master(), [&](Peer &p) {
    // NAK then silence, a stray byte, silence: three attempts gone
    if (!p.expect(kSTX)) return;
    p.put({kNAK});
    if (!p.expect(kSTX)) return;
    p.put({0x55});
    p.expect(kSTX);
    // no NAK, no data after the third failure
    if (!p.quiet(800).empty()) p.problem("PC sent more after three failed attempts");
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(Send({0x01}));
  EXPECT_LT(SecondsSince(t0), 2.5);
  Peer &p = t.join();
  EXPECT_TRUE(p.problems.empty()) << joined(p.problems);
  EXPECT_EQ(hex(p.seen), hex({kSTX, kSTX, kSTX}));

  // NAK then DLE is still a failed attempt; the next one works
  std::optional<Bytes> got;
  PeerThread t2(port.master(), [&](Peer &q) {
    if (!q.expect(kSTX)) return;
    q.put({kNAK, kDLE});
    got = q.rx();
  });
  EXPECT_TRUE(Send({0x02}));
  Peer &q = t2.join();
  EXPECT_TRUE(q.problems.empty()) << joined(q.problems);
  EXPECT_EQ(got, Bytes{0x02});
}

TEST_F(R3964, SetupWaitFollowsTimeoutValue) {
  // the wait for DLE is read afresh: 54 ticks are five read attempts
  Bytes seen;
  PeerThread t(port.master(), [&](Peer &p) {
    if (!p.expect(kSTX)) return;
    usleep(1500000);  // longer than one attempt, well within five
    p.put({kDLE});
    for (uint8_t b : framed({0x09})) p.expect(b);
    p.put({kDLE});
  });
  EXPECT_TRUE(Send({0x09}));
  Peer &p = t.join();
  EXPECT_TRUE(p.problems.empty()) << joined(p.problems);
  EXPECT_EQ(hex(p.seen), hex(concat({{kSTX}, framed({0x09})})));
}

TEST_F(R3964, NakRetriesAreFullTransmissions) {
  PeerThread t(port.master(), [&](Peer &p) {
    // two NAKs and a DLE: three complete transmissions
    p.rx(kNAK);
    p.rx(kNAK);
    p.rx(kDLE);
  });
  EXPECT_TRUE(Send({0x10, 0x20}));
  Peer &p = t.join();
  const Bytes one = concat({{kSTX}, framed({0x10, 0x20})});
  EXPECT_EQ(hex(p.seen), hex(concat({one, one, one})));

  PeerThread t2(port.master(), [&](Peer &q) {
    q.rx(kNAK);
    q.rx(kNAK);
    q.rx(kNAK);
    q.expect(kNAK);  // the PC gives the block up
    if (!q.quiet(200).empty()) q.problem("more after the final NAK");
  });
  EXPECT_FALSE(Send({0x30}));
  Peer &q = t2.join();
  EXPECT_TRUE(q.problems.empty()) << joined(q.problems);
}

TEST_F(R3964, BlockAnswerOtherThanDleOrNak) {
  PeerThread t(port.master(), [&](Peer &p) {
    p.rx(0x55);  // neither DLE nor NAK
    if (!p.quiet(300).empty()) p.problem("PC sent more after a wrong answer");
  });
  EXPECT_FALSE(Send({0x01}));
  Peer &p = t.join();
  EXPECT_TRUE(p.problems.empty()) << joined(p.problems);

  PeerThread t2(port.master(), [&](Peer &q) {
    q.rx(0);  // no answer at all: the PC waits 40 ticks
    if (!q.quiet(2500).empty()) q.problem("PC sent more after silence");
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(Send({0x02}));
  const double s = SecondsSince(t0);
  EXPECT_GT(s, 1.7);
  EXPECT_LT(s, 3.0);
  Peer &q = t2.join();
  EXPECT_TRUE(q.problems.empty()) << joined(q.problems);
}

TEST_F(R3964, ByteWhileSendingAbandonsWithNak) {
  Bytes rest;
  PeerThread t(port.master(), [&](Peer &p) {
    if (!p.expect(kSTX)) return;
    p.put({kDLE, 0x55});  // the partner talks into the data
    rest = p.quiet(300);
  });
  Bytes big(200, 0x41);
  EXPECT_FALSE(Send(big));
  t.join();
  ASSERT_FALSE(rest.empty());
  EXPECT_EQ(rest.back(), kNAK);
  EXPECT_LT(rest.size(), big.size());
  for (size_t i = 0; i + 1 < rest.size(); ++i) EXPECT_EQ(rest[i], 0x41) << i;
}

TEST_F(R3964, WaitingInputIsClearedBeforeSending) {
  // a stray byte: consumed, nothing answered
  s7sim::write_all(port.master(), Bytes{0x55});
  usleep(50000);
  PeerThread t(port.master(), [&](Peer &p) { p.rx(); });
  EXPECT_TRUE(Send({0x01}));
  Peer &p = t.join();
  EXPECT_TRUE(p.problems.empty()) << joined(p.problems);
  EXPECT_EQ(hex(p.seen), hex(concat({{kSTX}, framed({0x01})})));

  // a whole block waiting: taken (DLE, DLE) before the PC's own STX
  s7sim::write_all(port.master(), Bytes{kSTX});
  usleep(50000);
  PeerThread t2(port.master(), [&](Peer &q) {
    if (!q.expect(kDLE)) return;
    q.put(framed({0x66, 0x67}));
    if (!q.expect(kDLE)) return;
    q.rx();
  });
  EXPECT_TRUE(Send({0x02}));
  Peer &q = t2.join();
  EXPECT_TRUE(q.problems.empty()) << joined(q.problems);
  EXPECT_EQ(DummyBuf[0], 0x66);
  EXPECT_EQ(DummyBuf[1], 0x67);
}

// ---------------------------------------------------------------- receiver

class R3964Rx : public R3964 {
 protected:
  // exactly 512 bytes on the heap, so a write past them is caught
  std::unique_ptr<BYTE[]> data{new BYTE[512]()};
  int Receive() { return Rx3964RBlock(kCom, data.get(), 140); }
  Bytes Got(int n) { return Bytes(data.get(), data.get() + n); }
};

TEST_F(R3964Rx, ReceivesBlockAndAnswers) {
  const Bytes block = {0x01, 0x10, 0x02, 0x10, 0x10, 0x03};
  PeerThread t(port.master(), [&](Peer &p) { p.tx_expect_ok(block); });
  ASSERT_EQ(Receive(), static_cast<int>(block.size()));
  EXPECT_EQ(Got(6), block);
  Peer &p = t.join();
  EXPECT_TRUE(p.problems.empty()) << joined(p.problems);
  EXPECT_EQ(hex(p.seen), hex({kDLE, kDLE}));

  // a byte after a lone DLE is stored, and the DLE count stays odd: the next
  // DLE is data and a following DLE ETX ends the block
  const Bytes odd = {kDLE, 0x41, kDLE, kDLE, kETX};
  uint8_t bcc = 0;
  for (uint8_t b : odd) bcc ^= b;
  PeerThread t2(port.master(), [&](Peer &q) {
    q.put({kSTX});
    if (!q.expect(kDLE)) return;
    q.put(concat({odd, {bcc}}));
    q.expect(kDLE);
  });
  ASSERT_EQ(Receive(), 2);
  EXPECT_EQ(Got(2), (Bytes{0x41, 0x10}));
  Peer &q = t2.join();
  EXPECT_TRUE(q.problems.empty()) << joined(q.problems);
}

TEST_F(R3964Rx, LimitOf511DataBytes) {
  Bytes full(511);
  for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i * 7);
  PeerThread t(port.master(), [&](Peer &p) { p.tx_expect_ok(full); });
  ASSERT_EQ(Receive(), 511);
  EXPECT_EQ(Got(511), full);
  EXPECT_TRUE(t.join().problems.empty());

  // 511 data DLEs travel as 1022 bytes and are stored as 511
  const Bytes dles(511, kDLE);
  PeerThread t2(port.master(), [&](Peer &p) { p.tx_expect_ok(dles); });
  ASSERT_EQ(Receive(), 511);
  EXPECT_EQ(Got(511), dles);
  EXPECT_TRUE(t2.join().problems.empty());

  // the 512th data byte ends the block at once: -2, no answer
  Bytes over(512, 0x5A);
  over[511] = 0xA5;
  Bytes answer;
  PeerThread t3(port.master(), [&](Peer &p) {
    p.put({kSTX});
    if (!p.expect(kDLE)) return;
    p.put(framed(over));
    answer = p.quiet(700);
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Receive(), -2);
  EXPECT_LT(SecondsSince(t0), 0.4);  // without waiting for DLE ETX
  EXPECT_EQ(data[511], 0xA5);
  EXPECT_TRUE(t3.join().problems.empty());
  EXPECT_TRUE(answer.empty()) << hex(answer);
}

TEST_F(R3964Rx, FailedReceives) {
  // wrong BCC: NAK and -3
  PeerThread t(port.master(), [&](Peer &p) {
    p.put({kSTX});
    if (!p.expect(kDLE)) return;
    p.put(framed_with_bcc({0x01, 0x02}, 0x99));
    p.expect(kNAK);
  });
  EXPECT_EQ(Receive(), -3);
  EXPECT_TRUE(t.join().problems.empty());

  // first byte not STX: -3 at once, nothing sent
  PeerThread t2(port.master(), [&](Peer &p) {
    p.put({0x55});
    if (!p.quiet(300).empty()) p.problem("answered a byte that is not STX");
  });
  EXPECT_EQ(Receive(), -3);
  EXPECT_TRUE(t2.join().problems.empty());

  // silence inside the block: -1 after one read attempt, nothing sent
  PeerThread t3(port.master(), [&](Peer &p) {
    p.put({kSTX});
    if (!p.expect(kDLE)) return;
    p.put({0x01, 0x02});
    if (!p.quiet(800).empty()) p.problem("answered a broken block");
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Receive(), -1);
  EXPECT_LT(SecondsSince(t0), 1.0);
  EXPECT_TRUE(t3.join().problems.empty());

  // the BCC missing: NAK and -3
  PeerThread t4(port.master(), [&](Peer &p) {
    p.put({kSTX});
    if (!p.expect(kDLE)) return;
    p.put({0x01, kDLE, kETX});
    p.expect(kNAK, 1500);
  });
  EXPECT_EQ(Receive(), -3);
  EXPECT_TRUE(t4.join().problems.empty());
}

TEST_F(R3964Rx, CollisionReceiver) {
  // answers at once with DLE (the STX has been read already)
  PeerThread t(port.master(), [&](Peer &p) {
    if (!p.expect(kDLE)) return;
    p.put(framed({0x31, 0x10, 0x32}));
    p.expect(kDLE);
  });
  EXPECT_EQ(Rx3964RBlockDummy(kCom, data.get()), 3);
  EXPECT_EQ(Got(3), (Bytes{0x31, 0x10, 0x32}));
  EXPECT_TRUE(t.join().problems.empty());

  // wrong BCC: NAK, but the count is returned
  PeerThread t2(port.master(), [&](Peer &p) {
    if (!p.expect(kDLE)) return;
    p.put(framed_with_bcc({0x31, 0x32}, 0x00));
    p.expect(kNAK);
  });
  EXPECT_EQ(Rx3964RBlockDummy(kCom, data.get()), 2);
  EXPECT_TRUE(t2.join().problems.empty());

  // the BCC missing: -3 and nothing sent
  PeerThread t3(port.master(), [&](Peer &p) {
    if (!p.expect(kDLE)) return;
    p.put({0x31, kDLE, kETX});
    if (!p.quiet(800).empty()) p.problem("answered a block without BCC");
  });
  EXPECT_EQ(Rx3964RBlockDummy(kCom, data.get()), -3);
  EXPECT_TRUE(t3.join().problems.empty());

  // too long: -2, nothing sent
  PeerThread t4(port.master(), [&](Peer &p) {
    if (!p.expect(kDLE)) return;
    p.put(framed(Bytes(600, 0x01)));
    if (!p.quiet(300).empty()) p.problem("answered an overlong block");
  });
  EXPECT_EQ(Rx3964RBlockDummy(kCom, data.get()), -2);
  EXPECT_TRUE(t4.join().problems.empty());
}

}  // namespace
