// Adapter bring-up and shut-down over a real pty against a scripted adapter.
#include <gtest/gtest.h>

#include <cstring>

#include "peer.hpp"
#include "r3964.h"
#include "rs232.h"
#include "s7conn.h"
#include "testutil.hpp"

using s7test::Bytes;
using s7test::hex;
using s7test::joined;
using s7test::Peer;
using s7test::PeerThread;

namespace {

const Bytes kTS1 = {0x01, 0x08, 0x02};
const Bytes kTS2 = {0x01, 0x04, 0x02};
const Bytes kTS3 = {0x01, 0x0C, 0x02};
const Bytes kTS4 = {0x01, 0x08, 0x02};

// Record for own address `own` and speed code `speed`, as it must go out.
Bytes Record(uint8_t speed, uint8_t own) {
  return {0x01, 0x03, 0x02, 0x27,  0x00, 0x9F, 0x01, 0x3C, 0x00, 0x90, 0x01, 0x14,
          0x00, 0x00, 0x14, speed, own,  0x7E, 0x05, 0x01, 0x01, 0x03, 0x80};
}

// The adapter's side of a bring-up answered with a leading 0x00: the record,
// the answer, one more block. Returns the record received.
Bytes AnswerZeroStyle(Peer &p, const Bytes &answer = {0x00, 0x11, 0x22, 'E'}) {
  Bytes rec = p.rx().value_or(Bytes{});
  p.tx_expect_ok(answer);
  p.tx_expect_ok({0x33, 0x44});
  return rec;
}

// The adapter's side of a command block: takes it and answers one byte.
Bytes AnswerTS(Peer &p) {
  Bytes ts = p.rx().value_or(Bytes{});
  p.tx_expect_ok({0x00});
  return ts;
}

class Kabel : public ::testing::Test {
 protected:
  void Open(int com, int own, DWORD selector) {
    ASSERT_TRUE(S7InitFastBaudEx(&s7, com, 2, own, 19200, selector));
  }
  void TearDown() override { ComCloseAll(); }
  S7 s7{};
};

TEST_F(Kabel, RecordAndZeroStyleAnswer) {
  s7test::PtyPort port(0);
  ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 19200));  // selector 0
  Bytes rec, rest;
  PeerThread t(port.master(), [&](Peer &p) {
    // a leading 0x00 means one more block and no command blocks, whatever
    // byte 3 holds
    rec = AnswerZeroStyle(p, {0x00, 0x01, 0x02, 'E', 0x04});
    rest = p.quiet(300);
  });
  EXPECT_TRUE(InitKabel(0, CStat[0].LocalMPIAdr));
  Peer &p = t.join();
  EXPECT_TRUE(p.problems.empty()) << joined(p.problems);
  EXPECT_EQ(hex(rec), "01 03 02 27 00 9F 01 3C 00 90 01 14 00 00 14 02 00 7E 05 01 01 03 80");
  EXPECT_TRUE(rest.empty()) << hex(rest);

  // every port's copy came from the template; only port 0's was changed
  EXPECT_TRUE(bInitKabelData);
  for (int com = 1; com < COM_PORTS; ++com)
    EXPECT_EQ(std::memcmp(&InitKabelData[com], &_InitKabelData, sizeof(INIT_KABEL)), 0) << com;
  EXPECT_EQ(_InitKabelData.MPIBaud, 0x02);
  EXPECT_EQ(_InitKabelData.LocalMPIAdr, 0x00);
  EXPECT_EQ(_InitKabelData.MaxMPIAdr, 0x00);
}

TEST_F(Kabel, SpeedCodesAndOwnAddress) {
  struct Case {
    DWORD selector;
    int own;
    uint8_t code;
  };
  const Case cases[] = {{0, 0, 0x02}, {1, 126, 0x01}, {2, 5, 0x04}, {3, 0, 0x02}, {1000, 1, 0x02}};
  int com = 0;
  for (const Case &c : cases) {
    s7test::PtyPort port(com);
    S7 rec7{};
    ASSERT_TRUE(S7InitFastBaudEx(&rec7, com, 2, c.own, 19200, c.selector));
    Bytes rec;
    PeerThread t(port.master(), [&](Peer &p) { rec = AnswerZeroStyle(p); });
    EXPECT_TRUE(InitKabel(com, CStat[com].LocalMPIAdr));
    Peer &p = t.join();
    EXPECT_TRUE(p.problems.empty()) << joined(p.problems);
    EXPECT_EQ(hex(rec), hex(Record(c.code, static_cast<uint8_t>(c.own))))
        << "selector " << c.selector;
    ++com;
  }
}

TEST_F(Kabel, AnswerWithECommandBlocks) {
  s7test::PtyPort port(0);
  Open(0, 0, 0);
  for (uint8_t e : {uint8_t{'E'}, uint8_t{'e'}}) {
    std::vector<Bytes> ts;
    PeerThread t(port.master(), [&](Peer &p) {
      p.rx();
      p.tx_expect_ok({0x01, 0x02, 0x03, e, 0x05});
      for (int i = 0; i < 4; ++i) ts.push_back(AnswerTS(p));
    });
    EXPECT_TRUE(InitKabel(0, 0));
    Peer &p = t.join();
    EXPECT_TRUE(p.problems.empty()) << joined(p.problems);
    EXPECT_EQ(ts, (std::vector<Bytes>{kTS1, kTS2, kTS3, kTS4})) << e;
  }
  // any other byte 3: brought up without command blocks
  Bytes rest;
  PeerThread t(port.master(), [&](Peer &p) {
    p.rx();
    p.tx_expect_ok({0x01, 0x02, 0x03, 'F', 0x05});
    rest = p.quiet(300);
  });
  EXPECT_TRUE(InitKabel(0, 0));
  Peer &p = t.join();
  EXPECT_TRUE(p.problems.empty()) << joined(p.problems);
  EXPECT_TRUE(rest.empty()) << hex(rest);
}

TEST_F(Kabel, ShortAnswerIsAnAnswerWithoutE) {
  s7test::PtyPort port(0);
  Open(0, 0, 0);
  // first an answer with 'E' in byte 3, so that byte stays in the buffer
  PeerThread t(port.master(), [&](Peer &p) {
    p.rx();
    p.tx_expect_ok({0x01, 0x02, 0x03, 'E'});
    for (int i = 0; i < 4; ++i) AnswerTS(p);
  });
  EXPECT_TRUE(InitKabel(0, 0));
  EXPECT_TRUE(t.join().problems.empty());

  // then a 3-byte and a 1-byte answer: no command blocks
  for (const Bytes &answer : {Bytes{0x01, 0x02, 0x03}, Bytes{0x07}}) {
    Bytes rest;
    PeerThread t2(port.master(), [&](Peer &p) {
      p.rx();
      p.tx_expect_ok(answer);
      rest = p.quiet(300);
    });
    EXPECT_TRUE(InitKabel(0, 0));
    Peer &p = t2.join();
    EXPECT_TRUE(p.problems.empty()) << joined(p.problems);
    EXPECT_TRUE(rest.empty()) << hex(answer) << " then " << hex(rest);
  }
}

TEST_F(Kabel, FailedBringUps) {
  s7test::PtyPort port(0);
  Open(0, 0, 0);
  // the record refused three times
  PeerThread t1(port.master(), [&](Peer &p) {
    for (int i = 0; i < 3; ++i) p.rx(s7test::kNAK);
    p.expect(s7test::kNAK);
  });
  EXPECT_FALSE(InitKabel(0, 0));
  EXPECT_TRUE(t1.join().problems.empty());

  // no answer block (a byte that is not STX), an empty answer block
  PeerThread t2(port.master(), [&](Peer &p) {
    p.rx();
    p.put({0x55});
  });
  EXPECT_FALSE(InitKabel(0, 0));
  EXPECT_TRUE(t2.join().problems.empty());
  PeerThread t3(port.master(), [&](Peer &p) {
    p.rx();
    p.tx_expect_ok({});
  });
  EXPECT_FALSE(InitKabel(0, 0));
  EXPECT_TRUE(t3.join().problems.empty());

  // leading 0x00, then the second block missing or empty
  PeerThread t4(port.master(), [&](Peer &p) {
    p.rx();
    p.tx_expect_ok({0x00, 0x01});
    p.put({0x55});
  });
  EXPECT_FALSE(InitKabel(0, 0));
  EXPECT_TRUE(t4.join().problems.empty());
  PeerThread t5(port.master(), [&](Peer &p) {
    p.rx();
    p.tx_expect_ok({0x00, 0x01});
    p.tx_expect_ok({});
  });
  EXPECT_FALSE(InitKabel(0, 0));
  EXPECT_TRUE(t5.join().problems.empty());

  // 'E' answer, TS3 without answer: TS4 never goes out
  std::vector<Bytes> ts;
  Bytes rest;
  PeerThread t6(port.master(), [&](Peer &p) {
    p.rx();
    p.tx_expect_ok({0x01, 0x02, 0x03, 'E'});
    ts.push_back(AnswerTS(p));
    ts.push_back(AnswerTS(p));
    ts.push_back(p.rx().value_or(Bytes{}));
    p.put({0x55});
    rest = p.quiet(300);
  });
  EXPECT_FALSE(InitKabel(0, 0));
  Peer &p = t6.join();
  EXPECT_TRUE(p.problems.empty()) << joined(p.problems);
  EXPECT_EQ(ts, (std::vector<Bytes>{kTS1, kTS2, kTS3}));
  EXPECT_TRUE(rest.empty()) << hex(rest);
}

TEST_F(Kabel, ShutDownAndCommandBlocks) {
  s7test::PtyPort port(0);
  Open(0, 0, 0);
  // adapter not up: nothing sent, TRUE
  ASSERT_EQ(CStat[0].Status, 0);
  PeerThread t1(port.master(), [&](Peer &p) {
    if (!p.quiet(300).empty()) p.problem("sent while the adapter is down");
  });
  EXPECT_TRUE(ExitKabel(0));
  EXPECT_TRUE(t1.join().problems.empty());

  // adapter up: the shut-down block TS2, answered
  CStat[0].Status = 1;
  Bytes ts;
  PeerThread t2(port.master(), [&](Peer &p) { ts = AnswerTS(p); });
  EXPECT_TRUE(ExitKabel(0));
  EXPECT_TRUE(t2.join().problems.empty());
  EXPECT_EQ(ts, kTS2);
  EXPECT_EQ(CStat[0].Status, 1);  // left to the callers

  // no answer, or an empty one: FALSE
  PeerThread t3(port.master(), [&](Peer &p) {
    p.rx();
    p.put({0x55});
  });
  EXPECT_FALSE(ExitKabel(0));
  EXPECT_TRUE(t3.join().problems.empty());
  BYTE block[2] = {0xAB, 0x10};
  Bytes got;
  PeerThread t4(port.master(), [&](Peer &p) {
    got = p.rx().value_or(Bytes{});
    p.tx_expect_ok({});
  });
  EXPECT_FALSE(TxTS(0, block, 2));
  EXPECT_TRUE(t4.join().problems.empty());
  EXPECT_EQ(got, (Bytes{0xAB, 0x10}));
}

}  // namespace
