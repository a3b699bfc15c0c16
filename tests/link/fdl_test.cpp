// FDL frames on the PPI line: what TxProfiBlock puts on the line and what the
// two receivers make of every frame kind, damaged or not. Bytes for the
// library are written at the pty's master side before the call.
#include "fdl.h"

#include <gtest/gtest.h>

#include <numeric>

#include "peer.hpp"
#include "rs232.h"

using namespace s7test;

namespace {

Bytes Sd3() {  // a fixed-length frame with 8 bytes of data, 00 <- 02 FC 08
  return {0xA2, 0x00, 0x02, 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0x2E, 0x16};
}
Bytes Counting(size_t n, uint8_t from) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), from);
  return b;
}
Bytes With(Bytes f, size_t at, uint8_t v) {
  f[at] = v;
  return f;
}

class Fdl : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ComOpen(0, 19200, 8, 'E', 1)); }
  void Put(const Bytes &b) {
    s7sim::write_all(port.master(), b);
    for (int i = 0; i < 300 && !b.empty() && !ComCInQ(0); ++i) usleep(10000);
  }
  PtyPort port{0};
};

TEST(FdlChecksum, SumModulo256) {
  BYTE s[] = {0x02, 0x00, 0x49}, over[] = {0xFF, 0x02};
  EXPECT_EQ(hex({GetFCS(s, 3), GetFCS(over, 2), GetFCS(s, 0), GetFCS(s, -4), GetFCS(nullptr, 3)}),
            "4B 01 00 00 00");
}

TEST_F(Fdl, SendsFrames) {
  const struct {
    int da, sa, fc;
    Bytes data;
    int len;
    bool ok;
    Bytes line;
  } rows[] = {
      // SD1 for Len 0 or less; the low bytes of addresses and FC count
      {0x02, 0x00, 0x5C, {}, 0, true, sd1(0x02, 0x00, 0x5C)},
      {0x102, 0x300, 0x17C, {0xAA, 0xBB}, 0, true, sd1(0x02, 0x00, 0x7C)},
      {0xFF, 0x02, 0x49, {0xAA}, -1, true, {0x10, 0xFF, 0x02, 0x49, 0x4A, 0x16}},
      // SD2: the FCS over DA, SA, FC and data; the largest data unit is LE 255
      {0x02,
       0x00,
       0x7C,
       {0x11, 0x22},
       2,
       true,
       {0x68, 5, 5, 0x68, 2, 0, 0x7C, 0x11, 0x22, 0xB1, 0x16}},
      {0x03, 0x01, 0x7C, Counting(252, 0), 252, true, sd2(0x03, 0x01, 0x7C, Counting(252, 0))},
      // one byte more than LE counts, or data without a buffer: nothing sent
      {0x02, 0x00, 0x7C, Bytes(253, 0x55), 253, false, {}},
      {0x02, 0x00, 0x7C, {}, 5, false, {}},
  };
  for (const auto &r : rows) {
    Bytes d = r.data;
    EXPECT_EQ(TxProfiBlock(0, r.da, r.sa, r.fc, d.empty() ? nullptr : d.data(), r.len), r.ok);
    EXPECT_EQ(hex(s7sim::read_until_quiet(port.master(), 50)), hex(r.line)) << r.len;
  }
  // a byte waiting when the data unit starts: stop after its first byte; the
  // byte stays for the next receive
  Put({0xE5});
  BYTE d[] = {1, 2, 3, 4}, buf[261] = {};
  EXPECT_FALSE(TxProfiBlock(0, 0x02, 0x00, 0x7C, d, 4));
  EXPECT_EQ(hex(s7sim::read_until_quiet(port.master(), 50)), "68 07 07 68 02 00 7C 01");
  EXPECT_EQ(_RxProfiBlock(0, buf), 1);
  EXPECT_EQ(buf[0], 0xE5);
}

TEST_F(Fdl, RawReceiverJudgesEveryFrameKind) {
  const Bytes s1 = sd1(0x00, 0x02, 0x08), s2 = sd2(0x00, 0x02, 0x08, {1, 2, 3});
  const struct {
    Bytes in;
    int result;
    size_t kept;  // bytes of `in` that must be in the buffer
  } rows[] = {
      {s1, 6, 6},
      {s2, 12, 12},
      {Sd3(), 14, 14},
      {{0xE5}, 1, 1},
      {{0xDC}, 0, 0},  // the token
      {{0x42}, 0, 0},
      {sd2(0x00, 0x02, 0x08, Counting(252, 7)), 261, 261},  // fills the 261 bytes
      {With(s1, 4, s1[4] ^ 1), -1, 0},
      {With(s1, 5, 0x17), -1, 0},
      {With(s2, 10, s2[10] ^ 0x80), -1, 0},
      {With(s2, 11, 0x00), -1, 0},
      {With(s2, 3, 0x69), -1, 0},
      {With(Sd3(), 12, 0x00), -1, 0},
      {{0x68, 0x05, 0x06, 0xE5}, -1, 0},  // LE and LEr differ: judged after them
      {{}, 1, 0},                         // the byte after them is still there
      {{0x10, 0x00, 0x02}, -1, 0},        // broken off: one more wait of 0.5 s
      {{}, 0, 0},                         // silence: one wait of 0.5 s
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(hex(r.in));
    std::vector<BYTE> buf(261);  // exactly the room the receiver asks for
    Put(r.in);
    const auto t0 = Clock::now();
    EXPECT_EQ(_RxProfiBlock(0, buf.data()), r.result);
    EXPECT_NEAR(Since(t0), (r.in.empty() && !r.result) || r.in.size() == 3 ? 0.5 : 0.1, 0.2);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + r.kept), Bytes(r.in.begin(), r.in.begin() + r.kept));
  }
}

TEST_F(Fdl, AnswerReceiverJudgesAddressesAndCopiesTheDataUnit) {
  const struct {
    Bytes in;
    int result;
    Bytes copied;  // the start of the caller's buffer afterwards
  } rows[] = {
      {sd2(0x00, 0x02, 0x08, {0x32, 0x03, 0x00}), 9, {0x32, 0x03, 0x00, 0xCC}},
      {sd2(0x00, 0x03, 0x08, {1, 2, 3}), 0, {0xCC}},
      {sd2(0x01, 0x02, 0x08, {1, 2, 3}), 0, {0xCC}},
      {sd1(0x00, 0x02, 0x08), 0, {0xCC}},
      {sd2(0x00, 0x02, 0x08, {}), 0, {0xCC}},
      {Sd3(), 0, {0xCC}},
      {With(sd2(0x00, 0x02, 0x08, {1, 2, 3}), 9, 0x11), 0, {0xCC}},
      {{0xE5}, 1, {0xE5, 0xCC}},
      {sd2(0x00, 0x02, 0x08, Counting(252, 1)), 258, Counting(252, 1)},  // fills the 252 bytes
      {{}, 0, {0xCC}},  // silence: one wait of 0.5 s
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(hex(r.in));
    Bytes out(252, 0xCC);
    Put(r.in);
    const auto t0 = Clock::now();
    EXPECT_EQ(RxProfiBlock(0, 0x00, 0x02, 0x7C, out.data()), r.result);
    EXPECT_NEAR(Since(t0), r.in.empty() ? 0.5 : 0.1, 0.2);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + r.copied.size()), r.copied);
    EXPECT_EQ(Bytes(out.begin() + 3, out.end()),
              r.copied.size() < 4 ? Bytes(249, 0xCC) : Bytes(out.begin() + 3, out.end()));
  }
}

}  // namespace
