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
  // waiting on the line | the block | ok | the PC's bytes (empty: the script checks them) |
  // adapter | least seconds | ticks. A collision: the adapter's block is taken, then the PC's
  // goes again; NAK DLE: a failed attempt; a refused block goes out whole again three times at
  // most, then NAK; talked into: given up at once; waiting input is cleared first; one read
  // attempt per STX at 1 tick; the wait for DLE is read afresh (54 ticks: five read attempts);
  // a block unanswered: 40 ticks
  for (const auto &r : table(
           15,
           "||1|02100313|r=;|10|1|021010100313|r=10;|03|1|0203100310|r=03;|010203|1|"
           "02101002010203100313|<02 >02 <10 f=000C1044 w100 <10 r=010203 s200;|010203|1||<02 "
           ">1502 <10 f=77 w100 <10 r=010203 s200;|02|1|020202100311|<02 >1510 r=02;|1020|1||"
           "r15=1020 r15=1020 r=1020 s200;|1020|0||r15=1020 r15=1020 r15=1020 <15 s200;|01|0||"
           "r55=01 s300;|" +
               std::string(400, '4') +
               "|0||<02 >1055 q300;55|01|1||r=01 s200;02|02|1|"
               "10100202100311|<10 f=6667 <10 r=02;|01|0|020202|<02 >15 <02 >55 <02 s800|0.9|1;|09|"
               "1||<02 w1500 >10 <09 <10 <03 <1A >10|1.4;|02|0||r00=02 s2500|1.7")) {
    SCOPED_TRACE(r[4]);
    S7SetTimeout(r.size() > 6 ? std::stoi(r[6]) : 54);
    ComClr(0);
    s7sim::write_all(port.master(), unhex(r[0]));
    for (int i = 0; i < 300 && !r[0].empty() && !ComCInQ(0); ++i) usleep(10000);
    Bytes data = unhex(r[1]);
    Peer p = exchange(port.master(), play(r[4]), [&] {
      const auto t0 = Clock::now();
      EXPECT_EQ(Tx3964RBlock(0, data.data(), static_cast<int>(data.size())) != 0, r[2] == "1");
      EXPECT_NEAR(Since(t0), (r.size() > 5 ? std::stod(r[5]) : 0) + 0.75, 0.8);
    });
    EXPECT_TRUE(r[3].empty() || plain(p.seen) == r[3]) << plain(p.seen);
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
