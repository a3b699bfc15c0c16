// FDL frames on the PPI line: what TxProfiBlock puts on the line, and what
// the two receivers make of every frame kind, damaged or not. Bytes for the
// library are written at the pty's master side before the call.
#include "fdl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>

#include "peer.hpp"
#include "pty.hpp"
#include "rs232.h"
#include "testutil.hpp"

using namespace s7test;

namespace {

// A fixed-length frame with 8 bytes of data.
Bytes Sd3(uint8_t da, uint8_t sa, uint8_t fc) {
  Bytes f{0xA2, da, sa, fc, 1, 2, 3, 4, 5, 6, 7, 8};
  return concat({f, {static_cast<uint8_t>(std::accumulate(f.begin() + 1, f.end(), 0u)), 0x16}});
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

class FdlLine : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ComOpen(port.com, 19200, 8, 'E', 1)); }
  void TearDown() override { ComClose(port.com); }

  void Put(const Bytes &b) {
    ASSERT_TRUE(s7sim::write_all(port.master(), b));
    // let the bytes reach the library's port before it looks
    for (int i = 0; i < 300 && !b.empty() && !ComCInQ(port.com); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::string Sent() { return hex(s7sim::read_until_quiet(port.master(), 50)); }
  // Sends with TxProfiBlock; its result.
  bool Tx(int da, int sa, int fc, Bytes data, int len) {
    return TxProfiBlock(port.com, da, sa, fc, data.empty() ? nullptr : data.data(), len);
  }

  PtyPort port{0};
};

TEST(FdlChecksum, SumOfTheBytesModulo256) {
  BYTE status[] = {0x02, 0x00, 0x49}, over[] = {0xFF, 0x02}, many[300];
  std::memset(many, 0xFF, sizeof many);
  EXPECT_EQ(GetFCS(status, 3), 0x4B);
  EXPECT_EQ(GetFCS(over, 2), 0x01);
  EXPECT_EQ(GetFCS(many, 300), static_cast<BYTE>(300 * 0xFF));
  EXPECT_EQ(GetFCS(status, 0), 0);
  EXPECT_EQ(GetFCS(status, -4), 0);
  EXPECT_EQ(GetFCS(nullptr, 3), 0);
}

TEST_F(FdlLine, SendsFrames) {
  // the poll: SD1 for Len 0 and no buffer; a buffer with Len 0 or less still
  // gives SD1; only the low bytes of addresses and FC count; the FCS wraps
  EXPECT_TRUE(Tx(0x02, 0x00, 0x5C, {}, 0));
  EXPECT_EQ(Sent(), "10 02 00 5C 5E 16");
  EXPECT_TRUE(Tx(0x102, 0x300, 0x17C, {0xAA, 0xBB}, 0));
  EXPECT_EQ(Sent(), "10 02 00 7C 7E 16");
  EXPECT_TRUE(Tx(0xFF, 0x02, 0x49, {0xAA}, -1));
  EXPECT_EQ(Sent(), "10 FF 02 49 4A 16");
  // SD2: the FCS counts DA, SA, FC and the data, not the 68/LE bytes
  EXPECT_TRUE(Tx(0x02, 0x00, 0x7C, {0x11, 0x22}, 2));
  EXPECT_EQ(Sent(), "68 05 05 68 02 00 7C 11 22 B1 16");
  // the largest data unit: LE 255
  EXPECT_TRUE(Tx(0x03, 0x01, 0x7C, Counting(252, 0), 252));
  EXPECT_EQ(Sent(), hex(sd2(0x03, 0x01, 0x7C, Counting(252, 0))));
  // one byte more than LE can count, or data announced without a buffer:
  // nothing at all goes on the line
  EXPECT_FALSE(Tx(0x02, 0x00, 0x7C, Bytes(253, 0x55), 253));
  EXPECT_FALSE(Tx(0x02, 0x00, 0x7C, {}, 5));
  EXPECT_EQ(Sent(), "");

  // a byte waiting when the data unit starts: header, FC and the first data
  // byte, no FCS, no ED; the byte stays for the next receive
  Put({0xE5});
  EXPECT_FALSE(Tx(0x02, 0x00, 0x7C, {0x01, 0x02, 0x03, 0x04}, 4));
  EXPECT_EQ(Sent(), "68 07 07 68 02 00 7C 01");
  BYTE buf[261] = {};
  EXPECT_EQ(_RxProfiBlock(port.com, buf), 1);
  EXPECT_EQ(buf[0], 0xE5);
}

TEST_F(FdlLine, RawReceiverValidatesEveryFrameKind) {
  const Bytes sd1f = sd1(0x00, 0x02, 0x08), sd2f = sd2(0x00, 0x02, 0x08, {1, 2, 3});
  const Bytes longest = sd2(0x00, 0x02, 0x08, Counting(252, 7));
  const struct {
    const char *what;
    Bytes in;
    int result;
    size_t kept;  // bytes of `in` that must be in the buffer
  } cases[] = {
      {"SD1", sd1f, 6, 6},
      {"SD2", sd2f, 12, 12},
      {"SD3", Sd3(0x00, 0x02, 0x08), 14, 14},
      {"short acknowledgement", {0xE5}, 1, 1},
      {"token", {0xDC}, 0, 0},
      {"unknown byte", {0x42}, 0, 0},
      {"the longest frame fills all 261 bytes", longest, 261, 261},
      {"SD1 FCS", With(sd1f, 4, sd1f[4] ^ 1), -1, 0},
      {"SD1 ED", With(sd1f, 5, 0x17), -1, 0},
      {"SD2 FCS", With(sd2f, 10, sd2f[10] ^ 0x80), -1, 0},
      {"SD2 ED", With(sd2f, 11, 0x00), -1, 0},
      {"SD2 second start delimiter", With(sd2f, 3, 0x69), -1, 0},
      {"SD3 FCS", With(Sd3(0x00, 0x02, 0x08), 12, 0x00), -1, 0},
      // LE 05 and LEr 06: judged after the two length bytes, the rest stays
      {"LE and LEr differ", {0x68, 0x05, 0x06, 0xE5}, -1, 0},
      {"the byte after them", {}, 1, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<BYTE> buf(261);  // exactly the room the receiver asks for
    Put(c.in);
    EXPECT_EQ(_RxProfiBlock(port.com, buf.data()), c.result);
    EXPECT_EQ(hex(Bytes(buf.begin(), buf.begin() + c.kept)),
              hex(Bytes(c.in.begin(), c.in.begin() + c.kept)));
  }
}

TEST_F(FdlLine, ReceiversWaitHalfASecondAtMost) {
  // silence: one read attempt of 0.5 s; a frame that breaks off: damaged
  // after one more wait; silence for the answer receiver: no answer
  using Clock = std::chrono::steady_clock;
  BYTE buf[261], out[8] = {0x77};
  const struct {
    Bytes in;
    bool answer;
    int result;
  } cases[] = {{{}, false, 0}, {{0x10, 0x00, 0x02}, false, -1}, {{}, true, 0}};
  for (const auto &c : cases) {
    Put(c.in);
    const auto t0 = Clock::now();
    EXPECT_EQ(
        c.answer ? RxProfiBlock(port.com, 0x00, 0x02, 0x7C, out) : _RxProfiBlock(port.com, buf),
        c.result);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    EXPECT_GE(ms.count(), 400) << hex(c.in);
    EXPECT_LT(ms.count(), 1500) << hex(c.in);
  }
  EXPECT_EQ(out[0], 0x77);
}

TEST_F(FdlLine, AnswerReceiverJudgesAddressesAndCopiesTheDataUnit) {
  Bytes damaged = sd2(0x00, 0x02, 0x08, {1, 2, 3});
  damaged[9] ^= 0x10;
  const struct {
    const char *what;
    Bytes in;
    int result;
    Bytes copied;  // the start of the caller's buffer afterwards
  } cases[] = {
      // from the expected station to us: the data unit, result DU length + 6
      {"answer", sd2(0x00, 0x02, 0x08, {0x32, 0x03, 0x00}), 9, {0x32, 0x03, 0x00, 0xCC}},
      {"another source", sd2(0x00, 0x03, 0x08, {1, 2, 3}), 0, {0xCC}},
      {"another destination", sd2(0x01, 0x02, 0x08, {1, 2, 3}), 0, {0xCC}},
      {"SD1", sd1(0x00, 0x02, 0x08), 0, {0xCC}},
      {"SD2 without data", sd2(0x00, 0x02, 0x08, {}), 0, {0xCC}},
      {"SD3", Sd3(0x00, 0x02, 0x08), 0, {0xCC}},
      {"damaged", damaged, 0, {0xCC}},
      {"short acknowledgement", {0xE5}, 1, {0xE5, 0xCC}},
      // the largest data unit fills the 252 bytes and not one more (the
      // buffer is exactly that large)
      {"largest", sd2(0x00, 0x02, 0x08, Counting(252, 1)), 258, Counting(252, 1)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Bytes out(252, 0xCC);
    Put(c.in);
    EXPECT_EQ(RxProfiBlock(port.com, 0x00, 0x02, 0x7C, out.data()), c.result);
    EXPECT_EQ(hex(Bytes(out.begin(), out.begin() + c.copied.size())), hex(c.copied));
    if (c.copied.size() < 4) {
      EXPECT_EQ(Bytes(out.begin() + 3, out.end()), Bytes(249, 0xCC));
    }
  }
}

}  // namespace
