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
  const struct {
    int da, sa, fc;
    Bytes data;
    int len;
    std::string line;  // empty: refused, nothing sent
  } rows[] = {
      {0x02, 0x00, 0x5C, {}, 0, "1002005C5E16"},
      {0x102, 0x300, 0x17C, {0xAA, 0xBB}, 0, "1002007C7E16"},
      {0xFF, 0x02, 0x49, {0xAA}, -1, "10FF02494A16"},
      {0x02, 0x00, 0x7C, {0x11, 0x22}, 2, "6805056802007C1122B116"},
      {0x03, 0x01, 0x7C, Counting(252, 0), 252, plain(sd2(0x03, 0x01, 0x7C, Counting(252, 0)))},
      {0x02, 0x00, 0x7C, Bytes(253, 0x55), 253, ""},
      {0x02, 0x00, 0x7C, {}, 5, ""}};
  for (auto r : rows) {
    EXPECT_EQ(TxProfiBlock(0, r.da, r.sa, r.fc, r.data.empty() ? nullptr : r.data.data(), r.len),
              !r.line.empty());
    EXPECT_EQ(Line(), r.line) << r.len;
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
  const std::string kSd1 =
                        "1000020"
                        "80A16",
                    kSd2 = "680606680002080102031016";
  const std::string kSd3 =
      "A20002080102030405060708"
      "2E16";
  const struct {
    bool raw;  // _RxProfiBlock, else RxProfiBlock for station 0 from 2
    std::string in;
    int result;
  } rows[] = {{true, kSd1, 6},
              {true, kSd2, 12},
              {true, kSd3, 14},
              {true, "E5", 1},
              {true, "DC", 0},
              {true, "42", 0},
              {true, plain(sd2(0x00, 0x02, 0x08, Counting(252, 7))), 261},
              {true,
               "10000208"
               "0B16",
               -1},
              {true,
               "1000020"
               "80A17",
               -1},
              {true, "680606680002080102039016", -1},
              {true, "680606680002080102031000", -1},
              {true, "680606690002080102031016", -1},
              {true,
               "A20002080102030405060708"
               "0016",
               -1},
              {true, "680506E5", -1},  // LE and LEr differ: judged after them
              {true, "", 1},           // the byte after them is still there
              {true, "100002", -1},    // broken off: one more wait of 0.5 s
              {true, "", 0},
              {false, kSd2, 9},
              {false, plain(sd2(0x00, 0x03, 0x08, {1, 2, 3})), 0},
              {false, plain(sd2(0x01, 0x02, 0x08, {1, 2, 3})), 0},
              {false, kSd1, 0},
              {false, "680303680002080A16", 0},
              {false, kSd3, 0},
              {false, "680606680002080102031316", 0},
              {false, "E5", 1},
              {false, plain(sd2(0x00, 0x02, 0x08, Counting(252, 1))), 258},
              {false, "", 0}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.in);
    const Bytes in = unhex(r.in);
    Bytes buf(r.raw ? 261 : 252, 0xCC);  // exactly the room each receiver asks for
    Put(in);
    const auto t0 = Clock::now();
    EXPECT_EQ(r.raw ? _RxProfiBlock(0, buf.data()) : RxProfiBlock(0, 0x00, 0x02, 0x7C, buf.data()),
              r.result);
    EXPECT_NEAR(Since(t0), (in.empty() && !r.result) || in.size() == 3 ? 0.5 : 0.1, 0.2);
    const size_t n = std::min(in.size(), size_t(std::max(r.result, 0)));
    const Bytes want = r.raw || r.result < 2 ? Bytes(in.begin(), in.begin() + n)
                                             : Bytes(in.begin() + 7, in.begin() + r.result + 1);
    const Bytes got(buf.begin(), buf.begin() + std::min(want.size() + !r.raw, buf.size()));
    EXPECT_EQ(plain(got), plain(r.raw || want.size() == 252 ? want : concat({want, {0xCC}})));
  }
}

}  // namespace
