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

const std::string kSd1 = "10 00 02 08 0A 16", kSd2 = "68 06 06 68 00 02 08 01 02 03 10 16";
const std::string kSd3 = "A2 00 02 08 01 02 03 04 05 06 07 08 2E 16";  // 8 data bytes

Bytes Counting(size_t n, uint8_t from) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), from);
  return b;
}
std::string With(std::string f, size_t at, const char *v) { return f.replace(3 * at, 2, v); }

class Fdl : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ComOpen(0, 19200, 8, 'E', 1)); }
  void Put(const Bytes &b) {
    s7sim::write_all(port.master(), b);
    for (int i = 0; i < 300 && !b.empty() && !ComCInQ(0); ++i) usleep(10000);
  }
  std::string Line() { return hex(s7sim::read_until_quiet(port.master(), 50)); }
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
    bool ok;
    std::string line;
  } rows[] = {
      // SD1 for Len 0 or less; the low bytes of addresses and FC count
      {0x02, 0x00, 0x5C, {}, 0, true, "10 02 00 5C 5E 16"},
      {0x102, 0x300, 0x17C, {0xAA, 0xBB}, 0, true, "10 02 00 7C 7E 16"},
      {0xFF, 0x02, 0x49, {0xAA}, -1, true, "10 FF 02 49 4A 16"},
      // SD2: the FCS over DA, SA, FC and data; the largest data unit is LE 255
      {0x02, 0x00, 0x7C, {0x11, 0x22}, 2, true, "68 05 05 68 02 00 7C 11 22 B1 16"},
      {0x03, 0x01, 0x7C, Counting(252, 0), 252, true, hex(sd2(0x03, 0x01, 0x7C, Counting(252, 0)))},
      // one byte more than LE counts, or data without a buffer: nothing sent
      {0x02, 0x00, 0x7C, Bytes(253, 0x55), 253, false, ""},
      {0x02, 0x00, 0x7C, {}, 5, false, ""}};
  for (auto r : rows) {
    EXPECT_EQ(TxProfiBlock(0, r.da, r.sa, r.fc, r.data.empty() ? nullptr : r.data.data(), r.len),
              r.ok);
    EXPECT_EQ(Line(), r.line) << r.len;
  }
  // a byte waiting when the data unit starts: stop after its first byte; the
  // byte stays for the next receive
  Put({0xE5});
  BYTE d[] = {1, 2, 3, 4}, buf[261] = {};
  EXPECT_FALSE(TxProfiBlock(0, 0x02, 0x00, 0x7C, d, 4));
  EXPECT_EQ(Line(), "68 07 07 68 02 00 7C 01");
  EXPECT_EQ(_RxProfiBlock(0, buf), 1);
  EXPECT_EQ(buf[0], 0xE5);
}

TEST_F(Fdl, RawReceiverJudgesEveryFrameKind) {
  const struct {
    std::string in;
    int result;
    size_t kept;  // bytes of `in` that must be in the buffer
  } rows[] = {
      {kSd1, 6, 6},
      {kSd2, 12, 12},
      {kSd3, 14, 14},
      {"E5", 1, 1},
      {"DC", 0, 0},
      {"42", 0, 0},
      {hex(sd2(0x00, 0x02, 0x08, Counting(252, 7))), 261, 261},  // fills the 261 bytes
      {With(kSd1, 4, "0B"), -1, 0},
      {With(kSd1, 5, "17"), -1, 0},
      {With(kSd2, 10, "90"), -1, 0},
      {With(kSd2, 11, "00"), -1, 0},
      {With(kSd2, 3, "69"), -1, 0},
      {With(kSd3, 12, "00"), -1, 0},
      {"68 05 06 E5", -1, 0},  // LE and LEr differ: judged after them
      {"", 1, 0},              // the byte after them is still there
      {"10 00 02", -1, 0},     // broken off: one more wait of 0.5 s
      {"", 0, 0},              // silence: one wait of 0.5 s
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.in);
    const Bytes in = unhex(r.in);
    std::vector<BYTE> buf(261);  // exactly the room the receiver asks for
    Put(in);
    const auto t0 = Clock::now();
    EXPECT_EQ(_RxProfiBlock(0, buf.data()), r.result);
    EXPECT_NEAR(Since(t0), (in.empty() && !r.result) || in.size() == 3 ? 0.5 : 0.1, 0.2);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + r.kept), Bytes(in.begin(), in.begin() + r.kept));
  }
}

TEST_F(Fdl, AnswerReceiverJudgesAddressesAndCopiesTheDataUnit) {
  const struct {
    std::string in;
    int result;
    Bytes copied;  // the start of the caller's buffer afterwards
  } rows[] = {
      {kSd2, 9, {0x01, 0x02, 0x03, 0xCC}},
      {hex(sd2(0x00, 0x03, 0x08, {1, 2, 3})), 0, {0xCC}},
      {hex(sd2(0x01, 0x02, 0x08, {1, 2, 3})), 0, {0xCC}},
      {kSd1, 0, {0xCC}},
      {"68 03 03 68 00 02 08 0A 16", 0, {0xCC}},  // SD2 without data
      {kSd3, 0, {0xCC}},
      {With(kSd2, 9, "13"), 0, {0xCC}},
      {"E5", 1, {0xE5, 0xCC}},
      {hex(sd2(0x00, 0x02, 0x08, Counting(252, 1))), 258, Counting(252, 1)},  // fills 252 bytes
      {"", 0, {0xCC}},  // silence: one wait of 0.5 s
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.in);
    Bytes out(252, 0xCC);
    Put(unhex(r.in));
    const auto t0 = Clock::now();
    EXPECT_EQ(RxProfiBlock(0, 0x00, 0x02, 0x7C, out.data()), r.result);
    EXPECT_NEAR(Since(t0), r.in.empty() ? 0.5 : 0.1, 0.2);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + r.copied.size()), r.copied);
    EXPECT_EQ(Bytes(out.begin() + 3, out.end()),
              r.copied.size() < 4 ? Bytes(249, 0xCC) : Bytes(out.begin() + 3, out.end()));
  }
}

}  // namespace
