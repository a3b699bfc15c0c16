// Conversions that need no line: BCD digits, timer and counter words, the
// number-to-text routine and the byte-order swaps.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "s7int.h"

namespace {

TEST(Conversion, BcdTimerWordsNumberTextAndSwaps) {
  // digits above nine count as zero, bits above 11 are ignored
  const std::pair<DWORD, DWORD> bcd[] = {
      {0x0999, 999}, {0x7123, 123}, {0x00A5, 5}, {0x0F0F, 0}, {0xFFFF0456u, 456}};
  for (auto [in, v] : bcd) EXPECT_EQ(BCDToInt(in), v) << std::hex << in;
  EXPECT_EQ(BCDInt(9) * 100 + BCDInt(10) * 10 + BCDInt(0x37), 907);
  // timer words as milliseconds: base codes 0..3, 4..15 as 10 ms
  const std::pair<WORD, DWORD> words[] = {{0x2127, 127000}, {0x0999, 9990}, {0x3999, 9990000},
                                          {0x1001, 100},    {0x00A5, 50},   {0x4123, 1230},
                                          {0xF999, 9990}};
  for (auto [word, ms] : words) EXPECT_EQ(TimerWordToMs(word), ms) << std::hex << word;
  // milliseconds pick the smallest base that holds them, rounded half up
  const std::pair<DWORD, WORD> ms[] = {
      {0, 0x0000},       {14, 0x0001},      {15, 0x0001},     {16, 0x0002},
      {9990, 0x0999},    {9991, 0x1100},    {9995, 0x1100},   {99900, 0x1999},
      {99901, 0x2100},   {999000, 0x2999},  {999001, 0x3100}, {1005000, 0x3100},
      {1005001, 0x3101}, {9990000, 0x3999}, {155, 0x0015},    {156, 0x0016}};
  for (auto [in, word] : ms) {
    WORD w = 0xDEAD;
    EXPECT_TRUE(MsToTimerWord(in, &w));
    EXPECT_EQ(w, word) << in;
  }
  WORD w = 0xBEEF;
  EXPECT_FALSE(MsToTimerWord(9990001, &w) || MsToTimerWord(0xFFFFFFFFu, &w) ||
               CounterToWord(1000, &w));
  EXPECT_EQ(w, 0xBEEF);
  for (DWORD v = 0; v <= 999; ++v) {
    ASSERT_TRUE(CounterToWord(v, &w));
    ASSERT_EQ(w, (v / 100) << 8 | (v / 10 % 10) << 4 | v % 10);
  }
  const std::tuple<int, int, const char *> rows[] = {
      {42, 5, "00042"},   {42, 0, "42"},       {0, 0, "0"},   {1005, 0, "1005"}, {7, 3, "007"},
      {70000, 0, "4464"}, {65535, 9, "65535"}, {10, 1, "10"}, {-1, 0, "65535"},  {0, 5, "00000"}};
  for (auto [value, digits, text] : rows) EXPECT_STREQ(IToA(value, digits), text);
  EXPECT_EQ(IToA(1, 0), IToA(2, 0));  // one text buffer
  alignas(4) BYTE b[13] = {0xEE, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  SwapData(reinterpret_cast<LPWORD>(b + 1), 3);  // odd start: no 16-bit loads
  SwapDWord(b + 7, 1);
  SwapData(reinterpret_cast<LPWORD>(b + 11), 0);
  SwapDWord(b + 9, -1);
  const BYTE want[13] = {0xEE, 2, 1, 4, 3, 6, 5, 9, 10, 7, 8, 11, 12};
  EXPECT_EQ(std::memcmp(b, want, sizeof b), 0);
}

}  // namespace
