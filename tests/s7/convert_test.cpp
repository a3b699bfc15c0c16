// Conversions that need no line: BCD digits, timer and counter words, the
// number-to-text routine and the byte-order swaps.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "s7int.h"

namespace {

TEST(BcdConversion, DigitsAboveNineCountAsZero) {
  for (int d = 0; d <= 9; ++d) EXPECT_EQ(BCDInt(d), d);
  for (int d = 10; d <= 15; ++d) EXPECT_EQ(BCDInt(d), 0) << d;
  EXPECT_EQ(BCDInt(0x37), 7);  // only the low four bits count
  EXPECT_EQ(BCDInt(0x3A), 0);

  EXPECT_EQ(BCDToInt(0x0999), 999u);
  EXPECT_EQ(BCDToInt(0x0123), 123u);
  EXPECT_EQ(BCDToInt(0x7123), 123u);  // bits above 11 ignored
  EXPECT_EQ(BCDToInt(0x00A5), 5u);    // tens digit 0xA counts as 0
  EXPECT_EQ(BCDToInt(0x0F0F), 0u);
  EXPECT_EQ(BCDToInt(0xFFFF0456u), 456u);
}

TEST(TimerConversion, WordsReadAsMilliseconds) {
  struct {
    WORD Wort;
    DWORD Ms;
  } const Faelle[] = {
      {0x2127, 127000}, {0x0999, 9990}, {0x3999, 9990000},
      {0x0000, 0},      {0x1001, 100},  {0x00A5, 50},    // tens digit 0xA counts as 0
      {0x4123, 1230},   {0xC001, 10},   {0xF999, 9990},  // base codes 4..15: 10 ms
  };
  for (const auto &f : Faelle) EXPECT_EQ(TimerWordToMs(f.Wort), f.Ms) << std::hex << f.Wort;
}

TEST(TimerConversion, MillisecondsPickBaseAndRound) {
  struct {
    DWORD Ms;
    WORD Wort;
  } const Faelle[] = {
      {0, 0x0000},       {14, 0x0001},      {15, 0x0001},      {16, 0x0002},      {9990, 0x0999},
      {9991, 0x1100},    {9995, 0x1100},    {99900, 0x1999},   {99901, 0x2100},   {99950, 0x2100},
      {999000, 0x2999},  {999001, 0x3100},  {1000000, 0x3100}, {1005000, 0x3100}, {1005001, 0x3101},
      {9990000, 0x3999}, {9989999, 0x3999}, {150, 0x0015},     {155, 0x0015},     {156, 0x0016},
  };
  for (const auto &f : Faelle) {
    WORD w = 0xDEAD;
    ASSERT_TRUE(MsToTimerWord(f.Ms, &w)) << f.Ms;
    EXPECT_EQ(w, f.Wort) << f.Ms;
  }
  WORD w = 0xBEEF;
  EXPECT_FALSE(MsToTimerWord(9990001, &w));
  EXPECT_FALSE(MsToTimerWord(0xFFFFFFFFu, &w));
  EXPECT_EQ(w, 0xBEEF);
}

TEST(TimerConversion, EveryWrittenWordReadsBackWithinHalfAStep) {
  // Round trip over the whole range in coarse steps: the read value never
  // differs from the written one by more than half of the chosen base.
  for (DWORD ms = 0; ms <= 9990000; ms += (ms < 20000 ? 7 : 977)) {
    WORD w = 0;
    ASSERT_TRUE(MsToTimerWord(ms, &w));
    ASSERT_LE(BCDToInt(w), 999u);
    const DWORD basis = TimerWordToMs(static_cast<WORD>((w & 0xF000) | 0x0001));
    const DWORD zurueck = TimerWordToMs(w);
    const DWORD diff = zurueck > ms ? zurueck - ms : ms - zurueck;
    ASSERT_LE(diff, basis / 2) << ms;
  }
}

TEST(CounterConversion, ValuesUpTo999) {
  WORD w = 0;
  ASSERT_TRUE(CounterToWord(999, &w));
  EXPECT_EQ(w, 0x0999);
  ASSERT_TRUE(CounterToWord(0, &w));
  EXPECT_EQ(w, 0x0000);
  ASSERT_TRUE(CounterToWord(407, &w));
  EXPECT_EQ(w, 0x0407);
  w = 0x1234;
  EXPECT_FALSE(CounterToWord(1000, &w));
  EXPECT_EQ(w, 0x1234);
  for (DWORD v = 0; v <= 999; ++v) {
    ASSERT_TRUE(CounterToWord(v, &w));
    ASSERT_EQ(BCDToInt(w), v);
  }
}

TEST(NumberText, LeadingZerosUpToStellen) {
  EXPECT_STREQ(IToA(42, 5), "00042");
  EXPECT_STREQ(IToA(42, 0), "42");
  EXPECT_STREQ(IToA(0, 0), "0");
  EXPECT_STREQ(IToA(1005, 0), "1005");
  EXPECT_STREQ(IToA(7, 3), "007");
  EXPECT_STREQ(IToA(70000, 0), "4464");   // taken as 16 bits
  EXPECT_STREQ(IToA(65535, 9), "65535");  // never more than five digits
  EXPECT_STREQ(IToA(10, 1), "10");
  EXPECT_STREQ(IToA(-1, 0), "65535");
  EXPECT_STREQ(IToA(0, 5), "00000");
  // Every call overwrites the one text buffer.
  char *a = IToA(1, 0);
  char *b = IToA(2, 0);
  EXPECT_EQ(a, b);
  EXPECT_STREQ(a, "2");
}

TEST(ByteOrder, SwapsWorkOnAnyBytePosition) {
  // Odd start positions: the swaps must not load 16- or 32-bit values.
  alignas(4) BYTE raw[13] = {0xEE, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  SwapData(reinterpret_cast<LPWORD>(raw + 1), 3);
  const BYTE nachWort[13] = {0xEE, 2, 1, 4, 3, 6, 5, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(std::memcmp(raw, nachWort, sizeof raw), 0);

  BYTE d[9] = {0xEE, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  SwapDWord(d + 1, 2);
  const BYTE nachHaelften[9] = {0xEE, 0x33, 0x44, 0x11, 0x22, 0x77, 0x88, 0x55, 0x66};
  EXPECT_EQ(std::memcmp(d, nachHaelften, sizeof d), 0);

  // Both together reverse each 32-bit value: big-endian wire to host.
  BYTE f[5] = {0xEE, 0x3F, 0xC0, 0x00, 0x00};
  SwapData(reinterpret_cast<LPWORD>(f + 1), 2);
  SwapDWord(f + 1, 1);
  float v = 0;
  std::memcpy(&v, f + 1, 4);
  EXPECT_EQ(v, 1.5f);

  // Counts of zero or below change nothing.
  BYTE g[4] = {1, 2, 3, 4};
  SwapData(reinterpret_cast<LPWORD>(g), 0);
  SwapData(reinterpret_cast<LPWORD>(g), -3);
  SwapDWord(g, 0);
  SwapDWord(g, -1);
  const BYTE unveraendert[4] = {1, 2, 3, 4};
  EXPECT_EQ(std::memcmp(g, unveraendert, 4), 0);
}

}  // namespace
