// 3964R block procedure against a scripted adapter at the pty's master side.
#include "r3964.h"

#include <gtest/gtest.h>

#include <memory>

#include "peer.hpp"
#include "rs232.h"
#include "s7conn.h"

using namespace s7test;

namespace {

TEST(R3964, SenderAndReceivers) {
  PtyPort port{0};
  ASSERT_TRUE(ComOpen(0, 19200, 8, 'o', 1));
  std::string talked;
  while (talked.size() < 400) talked += "41";
  const struct {
    const char *waiting, *data;  // on the line before the call; the block
    bool ok;
    const char *line, *adapter;  // the PC's bytes (empty: the script checks them)
    double seconds = 0;          // the least time the call takes
    LONG ticks = 54;
  } rows[] = {
      {"", "", true, "02100313", "r="},
      {"", "10", true, "021010100313", "r=10"},
      {"", "03", true, "0203100310", "r=03"},  // a BCC of 10 goes once
      // collisions: the adapter's block is taken, then the PC's goes again
      {"", "010203", true, "02101002010203100313", "<02 >02 <10 f=000C1044 w100 <10 r=010203 s200"},
      {"", "010203", true, "", "<02 >1502 <10 f=77 w100 <10 r=010203 s200"},
      {"", "02", true, "020202100311", "<02 >1510 r=02"},  // NAK DLE: a failed attempt
      // a refused block goes out whole again, three times at most, then NAK
      {"", "1020", true, "", "r15=1020 r15=1020 r=1020 s200"},
      {"", "1020", false, "", "r15=1020 r15=1020 r15=1020 <15 s200"},
      {"", "01", false, "", "r55=01 s300"},
      {"", talked.c_str(), false, "", "<02 >1055 q300"},  // talked into: given up at once
      // waiting input is cleared first: a stray byte dropped, a block taken
      {"55", "01", true, "", "r=01 s200"},
      {"02", "02", true, "10100202100311", "<10 f=6667 <10 r=02"},
      // one read attempt per STX at 1 tick: NAK, a stray byte, silence
      {"", "01", false, "020202", "<02 >15 <02 >55 <02 s800", 0.9, 1},
      // the wait for DLE is read afresh: 54 ticks are five read attempts
      {"", "09", true, "", "<02 w1500 >10 <09 <10 <03 <1A >10", 1.4},
      {"", "02", false, "", "r00=02 s2500", 1.7},  // the block unanswered: 40 ticks
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.adapter);
    S7SetTimeout(r.ticks);
    ComClr(0);
    s7sim::write_all(port.master(), unhex(r.waiting));
    for (int i = 0; i < 300 && *r.waiting && !ComCInQ(0); ++i) usleep(10000);
    Bytes data = unhex(r.data);
    Peer p = exchange(port.master(), play(r.adapter), [&] {
      const auto t0 = Clock::now();
      EXPECT_EQ(Tx3964RBlock(0, data.data(), static_cast<int>(data.size())) != 0, r.ok);
      EXPECT_NEAR(Since(t0), r.seconds + 0.75, 0.8);
    });
    EXPECT_EQ(plain(p.seen), *r.line ? r.line : plain(p.seen));
  }
  EXPECT_EQ(hex(Bytes(DummyBuf, DummyBuf + 2)), "66 67");
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
  } blocks[] = {
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
      {true, framed(Bytes(600, 0x01)), -2, {kDLE}, {}}};
  for (const auto &r : blocks) {
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
