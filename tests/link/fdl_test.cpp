// FDL frames on the PPI line: what TxProfiBlock puts on the line and what the
// two receivers make of every frame kind, damaged or not.
#include "fdl.h"

#include <gtest/gtest.h>

#include <numeric>

#include "peer.hpp"
#include "rs232.h"

using namespace s7test;

namespace {

Bytes Counting(size_t n, uint8_t from) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), from);
  return b;
}

class Fdl : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ComOpen(0, 19200, 8, 'E', 1)); }
  void Put(const Bytes &b) {
    s7sim::write_all(port.master(), b);
    for (int i = 0; i < 300 && !b.empty() && !ComCInQ(0); ++i) usleep(10000);
  }
  std::string Line() { return plain(s7sim::read_until_quiet(port.master(), 50)); }
  PtyPort port{0};
};

TEST_F(Fdl, SendsFramesAndSumsThem) {
  BYTE s[] = {0x02, 0x00, 0x49}, over[] = {0xFF, 0x02};
  EXPECT_EQ(hex({GetFCS(s, 3), GetFCS(over, 2), GetFCS(s, 0), GetFCS(s, -4), GetFCS(nullptr, 3)}),
            "4B 01 00 00 00");
  // DA | SA | FC | data | Len | the line (empty: refused, nothing sent)
  const std::string up = plain(Counting(252, 0));
  for (const auto &r : table(7,
                             "2|0|5C||0|1002005C5E16;102|300|17C|AABB|0|1002007C7E16;FF|2|49|AA|-1|"
                             "10FF02494A16;2|0|7C|1122|2|6805056802007C1122B116;3|1|7C|" +
                                 up + "|252|68FFFF680301" + "7C" + up + "0A16;2|0|7C|" +
                                 std::string(506, '5') + "|253|;2|0|7C||5|")) {
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
  EXPECT_EQ(Line(),
            "680707680200"
            "7C01");
  EXPECT_EQ(_RxProfiBlock(0, buf) * 1000 + buf[0], 1000 + 0xE5);
}

TEST_F(Fdl, ReceiversJudgeEveryFrameKind) {
  // r: _RxProfiBlock, a: RxProfiBlock for station 0 from 2 | frame | result. LE and LEr
  // that differ are judged after them, the byte after them still there; a frame broken off
  // costs one more wait of 0.5 s
  const std::string k1 = "100002080A16", k2 = "680606680002080102031016";
  const auto rows =
      table(27, "r|" + k1 + "|6;r|" + k2 +
                    "|12;r|A200020801020304050607082E16|14;r|E5|1;r|DC|0;r|42|0;r|" +
                    plain(sd2(0x00, 0x02, 0x08, Counting(252, 7))) +
                    "|261;r|100002080B16|-1;r|100002080A17|-1;r|680606680002080102039016|-1;"
                    "r|680606680002080102031000|-1;r|680606690002080102031016|-1;"
                    "r|A200020801020304050607080016|-1;r|680506E5|-1;r||1;r|100002|-1;r||0;a|" +
                    k2 + "|9;a|" + plain(sd2(0x00, 0x03, 0x08, {1, 2, 3})) + "|0;a|" +
                    plain(sd2(0x01, 0x02, 0x08, {1, 2, 3})) + "|0;a|" + k1 +
                    "|0;a|680303680002080A16|0;a|A200020801020304050607082E16|0;"
                    "a|680606680002080102031316|0;a|E5|1;a|" +
                    plain(sd2(0x00, 0x02, 0x08, Counting(252, 1))) + "|258;a||0");
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

}  // namespace
