// The two framings on the line: the 3964R block procedure against a scripted
// adapter, and FDL frames, sent and judged by both receivers.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>

#include "fdl.h"
#include "peer.hpp"
#include "r3964.h"
#include "rs232.h"
#include "s7conn.h"

using namespace s7test;

namespace {

Bytes Counting(size_t n, uint8_t from) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), from);
  return b;
}

class Link : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ComOpen(0, 19200, 8, 'E', 1)); }
  void Put(const Bytes &b) {
    s7sim::write_all(port.master(), b);
    for (int i = 0; i < 300 && !b.empty() && !ComCInQ(0); ++i) usleep(10000);
  }
  std::string Line() { return plain(s7sim::read_until_quiet(port.master(), 50)); }
  PtyPort port{0};
};

TEST_F(Link, FramesSentAndSummed) {
  BYTE s[] = {0x02, 0x00, 0x49}, over[] = {0xFF, 0x02};
  EXPECT_EQ(hex({GetFCS(s, 3), GetFCS(s, 1), GetFCS(over, 2), GetFCS(s, 0), GetFCS(s, -4),
                 GetFCS(nullptr, 3)}),
            "4B 02 01 00 00 00");
  // DA | SA | FC | data | Len | the line (empty: refused, nothing sent)
  for (const auto &r : table({
           "102|300|17C|AABB|0|1002007C7E16",
           "FF|2|49|AA|-1|10FF02494A16",
           "2|0|7C|1122|2|6805056802007C1122B116",
           "2|0|7C|" + std::string(506, '5') + "|253|",
           "2|0|7C||5|",
       })) {
    Bytes d = unhex(r[3]);
    EXPECT_EQ(
        TxProfiBlock(0, std::stoi(r[0], nullptr, 16), std::stoi(r[1], nullptr, 16),
                     std::stoi(r[2], nullptr, 16), d.empty() ? nullptr : d.data(), std::stoi(r[4])),
        !r[5].empty());
    EXPECT_EQ(Line(), r[5]) << r[4];
  }
  // a byte waiting when the data unit starts: stop after its first byte, the byte kept
  Put({0xE5});
  BYTE d[] = {1, 2, 3, 4}, buf[261] = {};
  EXPECT_FALSE(TxProfiBlock(0, 0x02, 0x00, 0x7C, d, 4));
  EXPECT_EQ(Line(), "6807076802007C01");
  EXPECT_EQ((std::pair{_RxProfiBlock(0, buf), buf[0]}), std::pair(1, BYTE{0xE5}));
}

TEST_F(Link, FrameReceivers) {
  // r: _RxProfiBlock, a: RxProfiBlock for station 0 from 2 | frame | result. LE and LEr
  // that differ are judged after them, the byte after them still there; a frame broken off
  // costs one more wait of 0.5 s
  const std::string k1 = "100002080A16", k2 = "680606680002080102031016";
  const auto rows = table({
      "r|" + k1 + "|6",
      "r|" + k2 + "|12",
      "r|A200020801020304050607082E16|14",
      "r|E5|1",
      "r|DC|0",
      "r|42|0",
      "r|" + plain(sd2(0x00, 0x02, 0x08, Counting(252, 7))) + "|261",
      "r|100002080B16|-1",
      "r|100002080A17|-1",
      "r|680606680002080102039016|-1",
      "r|680606680002080102031000|-1",
      "r|680606690002080102031016|-1",
      "r|A200020801020304050607080016|-1",
      "r|680506E5|-1",
      "r||1",
      "r|100002|-1",
      "r|680606|-1",
      "r||0",
      "a|" + k2 + "|9",
      "a|" + plain(sd2(0x00, 0x03, 0x08, {1, 2, 3})) + "|0",
      "a|" + plain(sd2(0x01, 0x02, 0x08, {1, 2, 3})) + "|0",
      "a|" + k1 + "|0",
      "a|680303680002080A16|0",
      "a|A200020801020304050607082E16|0",
      "a|680606680002080102031316|0",
      "a|E5|1",
      "a|" + plain(sd2(0x00, 0x02, 0x08, Counting(252, 1))) + "|258",
      "a||0",
  });
  for (const auto &row : rows) {
    SCOPED_TRACE(row[1]);
    const bool raw = row[0] == "r";
    const int result = std::stoi(row[2]);
    const Bytes in = unhex(row[1]);
    Bytes buf(raw ? 261 : 252, 0xCC);  // exactly the room each receiver asks for
    Put(in);
    const auto t0 = Clock::now();
    EXPECT_EQ(raw ? _RxProfiBlock(0, buf.data()) : RxProfiBlock(0, 0x00, 0x02, 0x7C, buf.data()),
              result);
    EXPECT_NEAR(Since(t0), (in.empty() && !result) || in.size() == 3 ? 0.5 : 0.1, 0.2);
    const size_t n = std::min(in.size(), size_t(std::max(result, 0)));
    const Bytes want = raw || result < 2 ? Bytes(in.begin(), in.begin() + n)
                                         : Bytes(in.begin() + 7, in.begin() + result + 1);
    const Bytes got(buf.begin(), buf.begin() + std::min(want.size() + !raw, buf.size()));
    EXPECT_EQ(plain(got), plain(raw || want.size() == 252 ? want : concat({want, {0xCC}})));
  }
}

TEST_F(Link, BlockSenderAndReceivers) {
  // waiting on the line | the block | ok | the PC's bytes (empty: the script checks them) |
  // adapter | least seconds | ticks. A collision: the adapter's block is taken, then the PC's
  // goes again; NAK DLE: a failed attempt; a refused block goes out whole again three times at
  // most, then NAK; talked into: given up at once; waiting input is cleared first; one read
  // attempt per STX at 1 tick; the wait for DLE is read afresh (54 ticks: five read attempts);
  // a block unanswered: 40 ticks
  for (const auto &r : table({
           "||1|02100313|r=",
           "|10|1|021010100313|r=10",
           "|03|1|0203100310|r=03",
           "|010203|1|02101002010203100313|<02 >02 <10 f=000C1044 w100 <10 r=010203 s200",
           "|010203|1||<02 >1502 <10 f=77 w100 <10 r=010203 s200",
           "|02|1|020202100311|<02 >1510 r=02",
           "|1020|1||r15=1020 r15=1020 r=1020 s200",
           "|1020|0||r15=1020 r15=1020 r15=1020 <15 s200",
           "|01|0||r55=01 s300",
           "|" + std::string(400, '4') + "|0||<02 >1055 q300",
           "55|01|1||r=01 s200",
           "02|02|1|10100202100311|<10 f=6667 <10 r=02",
           "|01|0|020202|<02 >15 <02 >55 <02 s800|0.9|1",
           "|09|1||<02 w1500 >10 <09 <10 <03 <1A >10|1.4",
           "|02|0||r00=02 s2500|1.7",
       })) {
    SCOPED_TRACE(r[4]);
    S7SetTimeout(r.size() > 6 ? std::stoi(r[6]) : 54);
    ComClr(0);
    s7sim::write_all(port.master(), unhex(r[0]));
    for (int i = 0; i < 300 && !r[0].empty() && !ComCInQ(0); ++i) usleep(10000);
    Bytes data = unhex(r[1]);
    Peer p = exchange(port.master(), play(r[4]), [&] {
      const auto t0 = Clock::now();
      EXPECT_EQ(Tx3964RBlock(0, data.data(), static_cast<int>(data.size())), std::stoi(r[2]));
      EXPECT_NEAR(Since(t0), (r.size() > 5 ? std::stod(r[5]) : 0) + 0.75, 0.8);
    });
    EXPECT_TRUE(r[3].empty() || plain(p.seen) == r[3]) << plain(p.seen);
  }
  EXPECT_EQ(hex(Bytes(DummyBuf, DummyBuf + 2)), "66 67");
  // r: Rx3964RBlock after STX (none: 0x55 instead), c: Rx3964RBlockDummy after a collision
  // | the line | result | every byte the PC sends | the data stored. After a lone DLE the
  // DLE count stays odd, the next DLE is data; the 512th byte ends a block at once; a refused
  // block after a collision is counted
  Bytes full(511);
  for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i * 7);
  const std::string blk = "011002101003", over = std::string(1022, '5') + "A5";
  for (const auto &r : table({
           "r|" + plain(framed(unhex(blk))) + "|6|1010|" + blk,
           "r|104110100352|2|1010|4110",
           "r|" + plain(framed(full)) + "|511|1010|" + plain(full),
           "r|" + plain(framed(Bytes(511, kDLE))) + "|511|1010|" + plain(Bytes(511, kDLE)),
           "r|" + over + "|-2|10|" + over,
           "r|0102100399|-3|1015|",
           "r|011003|-3|1015|",
           "r|0102|-1|10|",
           "r||-3||",
           "c|31101032100310|3|1010|311032",
           "c|3132100300|2|1015|",
           "c|311003|-3|10|",
           "c|" + plain(framed(Bytes(600, 0x01))) + "|-2|10|",
       })) {
    SCOPED_TRACE(r[1].substr(0, 30));
    ComClr(0);
    std::unique_ptr<BYTE[]> data(new BYTE[512]());  // a write past it is caught
    const bool c = r[0] == "c";
    s7sim::write_all(port.master(), unhex((c ? "" : r[1].empty() ? "55" : "02") + r[1]));
    const auto t0 = Clock::now();
    EXPECT_EQ(c ? Rx3964RBlockDummy(0, data.get()) : Rx3964RBlock(0, data.get(), 140),
              std::stoi(r[2]));
    EXPECT_LT(Since(t0), 0.9);  // one read attempt at most
    EXPECT_EQ(plain(s7sim::read_until_quiet(port.master(), 50)), r[3]);
    EXPECT_EQ(plain(Bytes(data.get(), data.get() + r[4].size() / 2)), r[4]);
  }
  // a block whose S7 header names far more than the block carries is taken as it ends:
  // what it names only lets the rest collect, for a short while at most
  const std::string lies = "000C0314F100320300000100FF00FF00";
  const Bytes whole = framed(unhex(lies)), tail(whole.end() - 3, whole.end());
  BYTE got[512] = {};
  ComClr(0);
  exchange(port.master(), play(">02 <10 >" + lies + " w20 >" + plain(tail) + " <10"), [&] {
    const auto t0 = Clock::now();
    EXPECT_EQ(Rx3964RBlock(0, got, 140), 16);
    EXPECT_LT(Since(t0), 0.1);
  });
  EXPECT_EQ(plain(Bytes(got, got + 16)), lies);
}

}  // namespace
