// FDL frames on the PPI line: what TxProfiBlock puts on the line, and what
// the two receivers make of every frame kind, damaged or not. The far end is
// the pty's master side: bytes for the library are written there before the
// call, a scripted partner thread answers where the answer must follow what
// the library sends.
#include "fdl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

#include "pty.hpp"
#include "rs232.h"
#include "testutil.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

class FdlLine : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ComOpen(port.com, 19200, 8, 'E', 1)); }
  void TearDown() override { ComClose(port.com); }

  void put(const Bytes &b) {
    ASSERT_TRUE(s7sim::write_all(port.master(), b));
    // Let the bytes reach the slave side before the library looks.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Bytes sent() { return s7sim::read_until_quiet(port.master(), 50); }

  s7test::PtyPort port{0};
};

uint8_t sum(const Bytes &b, size_t from, size_t to) {
  return static_cast<uint8_t>(std::accumulate(b.begin() + from, b.begin() + to, 0u) & 0xFF);
}

// 68 LE LE 68 DA SA FC DU FCS 16
Bytes sd2(uint8_t da, uint8_t sa, uint8_t fc, const Bytes &du) {
  const auto le = static_cast<uint8_t>(du.size() + 3);
  Bytes f{0x68, le, le, 0x68, da, sa, fc};
  f.insert(f.end(), du.begin(), du.end());
  f.push_back(sum(f, 4, f.size()));
  f.push_back(0x16);
  return f;
}

Bytes sd1(uint8_t da, uint8_t sa, uint8_t fc) {
  return {0x10, da, sa, fc, static_cast<uint8_t>((da + sa + fc) & 0xFF), 0x16};
}

Bytes sd3(uint8_t da, uint8_t sa, uint8_t fc) {
  Bytes f{0xA2, da, sa, fc, 1, 2, 3, 4, 5, 6, 7, 8};
  f.push_back(sum(f, 1, f.size()));
  f.push_back(0x16);
  return f;
}

TEST(FdlChecksum, SumOfTheBytesModulo256) {
  BYTE status[] = {0x02, 0x00, 0x49};
  EXPECT_EQ(GetFCS(status, 3), 0x4B);
  BYTE over[] = {0xFF, 0x02};
  EXPECT_EQ(GetFCS(over, 2), 0x01);
  BYTE many[300];
  std::memset(many, 0xFF, sizeof many);
  EXPECT_EQ(GetFCS(many, 300), static_cast<BYTE>((300 * 0xFF) & 0xFF));
  EXPECT_EQ(GetFCS(status, 0), 0);
  EXPECT_EQ(GetFCS(status, -4), 0);
  EXPECT_EQ(GetFCS(nullptr, 3), 0);
}

TEST_F(FdlLine, SendsSd1FramesWithoutData) {
  // The poll: Len 0 and no buffer.
  EXPECT_TRUE(TxProfiBlock(port.com, 0x02, 0x00, 0x5C, nullptr, 0));
  EXPECT_EQ(s7test::hex(sent()), "10 02 00 5C 5E 16");
  // A buffer with Len 0 or less still gives an SD1 frame; only the low bytes
  // of the addresses and FC count.
  BYTE data[] = {0xAA, 0xBB};
  EXPECT_TRUE(TxProfiBlock(port.com, 0x102, 0x300, 0x17C, data, 0));
  EXPECT_EQ(s7test::hex(sent()), "10 02 00 7C 7E 16");
  EXPECT_TRUE(TxProfiBlock(port.com, 0xFF, 0x02, 0x49, data, -1));
  EXPECT_EQ(s7test::hex(sent()), "10 FF 02 49 4A 16");  // FCS overflows
}

TEST_F(FdlLine, SendsSd2FramesWithLengthAndChecksum) {
  BYTE two[] = {0x11, 0x22};
  EXPECT_TRUE(TxProfiBlock(port.com, 0x02, 0x00, 0x7C, two, 2));
  // The FCS counts DA, SA, FC and the data, not the 68/LE bytes.
  EXPECT_EQ(s7test::hex(sent()), "68 05 05 68 02 00 7C 11 22 B1 16");

  // A read job of 24 bytes.
  Bytes job{0x32, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x04, 0x01,
            0x12, 0x0A, 0x10, 0x02, 0x00, 0x0A, 0x00, 0x01, 0x84, 0x00, 0x00, 0x00};
  EXPECT_TRUE(TxProfiBlock(port.com, 0x02, 0x00, 0x7C, job.data(), 24));
  EXPECT_EQ(s7test::hex(sent()), s7test::hex(sd2(0x02, 0x00, 0x7C, job)));

  // The largest data unit: LE 255.
  Bytes big(252);
  std::iota(big.begin(), big.end(), 0);
  EXPECT_TRUE(TxProfiBlock(port.com, 0x03, 0x01, 0x7C, big.data(), 252));
  Bytes line = sent();
  ASSERT_EQ(line.size(), 261u);
  EXPECT_EQ(line, sd2(0x03, 0x01, 0x7C, big));
}

TEST_F(FdlLine, RefusesFramesItCannotDescribe) {
  // One data byte more than the length byte can count, or data announced
  // without a buffer: nothing at all goes on the line.
  Bytes big(253, 0x55);
  EXPECT_FALSE(TxProfiBlock(port.com, 0x02, 0x00, 0x7C, big.data(), 253));
  EXPECT_FALSE(TxProfiBlock(port.com, 0x02, 0x00, 0x7C, nullptr, 5));
  EXPECT_TRUE(sent().empty());
}

TEST_F(FdlLine, AbandonsTheFrameWhenTheStationTalks) {
  put({0xE5});  // already waiting when the data unit starts
  BYTE data[] = {0x01, 0x02, 0x03, 0x04};
  EXPECT_FALSE(TxProfiBlock(port.com, 0x02, 0x00, 0x7C, data, 4));
  // Header, FC and the first data byte; no FCS, no ED.
  EXPECT_EQ(s7test::hex(sent()), "68 07 07 68 02 00 7C 01");
  // The byte stays for the next receive.
  BYTE buf[261] = {};
  EXPECT_EQ(_RxProfiBlock(port.com, buf), 1);
  EXPECT_EQ(buf[0], 0xE5);
}

TEST_F(FdlLine, RawReceiverValidatesEveryFrameKind) {
  std::vector<BYTE> buf(261);  // exactly the room the receiver asks for
  put(sd1(0x00, 0x02, 0x08));
  EXPECT_EQ(_RxProfiBlock(port.com, buf.data()), 6);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 6), sd1(0x00, 0x02, 0x08));

  const Bytes three{0xA1, 0xB2, 0xC3};
  put(sd2(0x00, 0x02, 0x08, three));
  EXPECT_EQ(_RxProfiBlock(port.com, buf.data()), 12);  // LE 6 + 6
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 12), sd2(0x00, 0x02, 0x08, three));

  put(sd3(0x00, 0x02, 0x08));
  EXPECT_EQ(_RxProfiBlock(port.com, buf.data()), 14);

  put({0xE5});
  EXPECT_EQ(_RxProfiBlock(port.com, buf.data()), 1);

  // The token and any other unknown byte are dropped one at a time.
  put({0xDC, 0x42});
  EXPECT_EQ(_RxProfiBlock(port.com, buf.data()), 0);
  EXPECT_EQ(_RxProfiBlock(port.com, buf.data()), 0);

  // The longest frame fills all 261 bytes and no more.
  Bytes du(252);
  std::iota(du.begin(), du.end(), 7);
  put(sd2(0x00, 0x02, 0x08, du));
  EXPECT_EQ(_RxProfiBlock(port.com, buf.data()), 261);
  EXPECT_EQ(buf[260], 0x16);
  EXPECT_EQ(buf[7], 7);
}

TEST_F(FdlLine, RawReceiverReportsDamagedFrames) {
  BYTE buf[261];
  Bytes f = sd1(0x00, 0x02, 0x08);
  f[4] ^= 0x01;  // FCS
  put(f);
  EXPECT_EQ(_RxProfiBlock(port.com, buf), -1);

  f = sd1(0x00, 0x02, 0x08);
  f[5] = 0x17;  // ED
  put(f);
  EXPECT_EQ(_RxProfiBlock(port.com, buf), -1);

  f = sd2(0x00, 0x02, 0x08, {1, 2, 3});
  f[f.size() - 2] ^= 0x80;
  put(f);
  EXPECT_EQ(_RxProfiBlock(port.com, buf), -1);

  f = sd2(0x00, 0x02, 0x08, {1, 2, 3});
  f.back() = 0x00;
  put(f);
  EXPECT_EQ(_RxProfiBlock(port.com, buf), -1);

  f = sd2(0x00, 0x02, 0x08, {1, 2, 3});
  f[3] = 0x69;  // second start delimiter
  put(f);
  EXPECT_EQ(_RxProfiBlock(port.com, buf), -1);

  f = sd3(0x00, 0x02, 0x08);
  f[12] ^= 0x01;
  put(f);
  EXPECT_EQ(_RxProfiBlock(port.com, buf), -1);

  // LE 05 and LEr 06: judged after the two length bytes, the rest stays.
  put({0x68, 0x05, 0x06, 0xE5});
  EXPECT_EQ(_RxProfiBlock(port.com, buf), -1);
  EXPECT_EQ(_RxProfiBlock(port.com, buf), 1);
}

TEST_F(FdlLine, RawReceiverWaitsHalfASecondAtMost) {
  BYTE buf[261];
  // Silence: one read attempt of 0.5 s.
  auto t0 = Clock::now();
  EXPECT_EQ(_RxProfiBlock(port.com, buf), 0);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
  EXPECT_GE(waited.count(), 400);
  EXPECT_LT(waited.count(), 1500);
  // A frame that breaks off inside: damaged after one more wait.
  put({0x10, 0x00, 0x02});
  t0 = Clock::now();
  EXPECT_EQ(_RxProfiBlock(port.com, buf), -1);
  waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
  EXPECT_LT(waited.count(), 1500);
}

TEST_F(FdlLine, AnswerReceiverJudgesAddressesAndCopiesTheDataUnit) {
  Bytes out(252, 0xCC);
  // From the expected station to us: 3 data bytes, result 3 + 6.
  put(sd2(0x00, 0x02, 0x08, {0x32, 0x03, 0x00}));
  EXPECT_EQ(RxProfiBlock(port.com, 0x00, 0x02, 0x7C, out.data()), 9);
  EXPECT_EQ(out[0], 0x32);
  EXPECT_EQ(out[1], 0x03);
  EXPECT_EQ(out[2], 0x00);
  EXPECT_EQ(out[3], 0xCC);

  // Another source or another destination: nothing copied.
  std::fill(out.begin(), out.end(), 0xCC);
  put(sd2(0x00, 0x03, 0x08, {1, 2, 3}));
  EXPECT_EQ(RxProfiBlock(port.com, 0x00, 0x02, 0x7C, out.data()), 0);
  put(sd2(0x01, 0x02, 0x08, {1, 2, 3}));
  EXPECT_EQ(RxProfiBlock(port.com, 0x00, 0x02, 0x7C, out.data()), 0);
  EXPECT_EQ(out, Bytes(252, 0xCC));

  // Frames that carry no answer.
  put(sd1(0x00, 0x02, 0x08));
  EXPECT_EQ(RxProfiBlock(port.com, 0x00, 0x02, 0x7C, out.data()), 0);
  put(sd2(0x00, 0x02, 0x08, {}));  // SD2 without data: 9 bytes
  EXPECT_EQ(RxProfiBlock(port.com, 0x00, 0x02, 0x7C, out.data()), 0);
  put(sd3(0x00, 0x02, 0x08));
  EXPECT_EQ(RxProfiBlock(port.com, 0x00, 0x02, 0x7C, out.data()), 0);
  Bytes damaged = sd2(0x00, 0x02, 0x08, {1, 2, 3});
  damaged[9] ^= 0x10;
  put(damaged);
  EXPECT_EQ(RxProfiBlock(port.com, 0x00, 0x02, 0x7C, out.data()), 0);
  EXPECT_EQ(out, Bytes(252, 0xCC));

  // The short acknowledgement.
  put({0xE5});
  EXPECT_EQ(RxProfiBlock(port.com, 0x00, 0x02, 0x7C, out.data()), 1);
  EXPECT_EQ(out[0], 0xE5);

  // The largest data unit fills the 252 bytes and not one more (the buffer
  // is exactly that large, so an overrun would not go unnoticed).
  Bytes du(252);
  std::iota(du.begin(), du.end(), 1);
  put(sd2(0x00, 0x02, 0x08, du));
  EXPECT_EQ(RxProfiBlock(port.com, 0x00, 0x02, 0x7C, out.data()), 258);
  EXPECT_EQ(out, du);
}

TEST_F(FdlLine, AnswerReceiverTreatsSilenceAsNoAnswer) {
  BYTE out[8] = {0x77};
  EXPECT_EQ(RxProfiBlock(port.com, 0x00, 0x02, 0x7C, out), 0);
  EXPECT_EQ(out[0], 0x77);
}

}  // namespace
