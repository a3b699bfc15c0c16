// Without a live partner: the conversions, the jobs the library refuses
// before it touches the line (the pty's far end checks that not one byte
// arrives), and the bus-member list from a scripted adapter's answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <tuple>

#include "peer.hpp"
#include "s7int.h"

using namespace s7test;

namespace {

TEST(Conversion, BcdTimerAndCounterWords) {
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
}

TEST(Conversion, NumberText) {
  const std::tuple<int, int, const char *> rows[] = {
      {42, 5, "00042"},   {42, 0, "42"},       {0, 0, "0"},   {1005, 0, "1005"}, {7, 3, "007"},
      {70000, 0, "4464"}, {65535, 9, "65535"}, {10, 1, "10"}, {-1, 0, "65535"},  {0, 5, "00000"}};
  for (auto [value, digits, text] : rows) EXPECT_STREQ(IToA(value, digits), text);
  EXPECT_EQ(IToA(1, 0), IToA(2, 0));  // one text buffer
}

TEST(Conversion, SwapsWorkOnAnyBytePosition) {
  alignas(4) BYTE b[13] = {0xEE, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  SwapData(reinterpret_cast<LPWORD>(b + 1), 3);  // odd start: no 16-bit loads
  SwapDWord(b + 7, 1);
  SwapData(reinterpret_cast<LPWORD>(b + 11), 0);
  SwapDWord(b + 9, -1);
  const BYTE want[13] = {0xEE, 2, 1, 4, 3, 6, 5, 9, 10, 7, 8, 11, 12};
  EXPECT_EQ(std::memcmp(b, want, sizeof b), 0);
}

TEST(Refusals, NothingGoesOnTheLine) {
  PtyPort mpi(0), ppi(3);
  S7 m{}, p{};
  ASSERT_TRUE(S7InitFastBaud(&m, 0, 2, 0, 19200));
  ASSERT_TRUE(S7PPIInit(&p, 3, 2, 0, 9600));
  std::vector<BYTE> data(300, 0x5A);
  // MPI writes of 283 bytes and reads of 293 in every unit, products that wrap
  // in 16 bits, timers and counters as two bytes whatever Unit says; PPI
  // frames of 224 data bytes in a write, 234 in a read answer
  const std::tuple<bool, bool, int, int, int, int> rows[] = {
      {0, 1, 283, 0x84, 1, 2},    {0, 1, 142, 0x84, 2, 2},       {0, 1, 71, 0x83, 4, 6},
      {0, 1, 32768, 0x84, 2, 2},  {0, 1, 65535, 0x82, 65535, 2}, {0, 1, 142, 0x1D, 2, 0x1D},
      {0, 1, 142, 0x1C, 2, 0x1C}, {0, 1, 283, 0x83, 1, 1},       {0, 0, 293, 0x84, 1, 2},
      {0, 0, 147, 0x84, 2, 2},    {0, 0, 74, 0x83, 4, 6},        {0, 0, 147, 0x1D, 1, 0x1D},
      {0, 0, 147, 0x1C, 0, 0x1C}, {0, 0, 65535, 0x81, 65535, 8}, {1, 1, 225, 0x84, 1, 2},
      {1, 1, 57, 0x84, 4, 6},     {1, 0, 235, 0x84, 1, 2},       {1, 0, 118, 0x1D, 2, 0x1D}};
  for (auto [ppi, write, anz, typ, unit, type] : rows) {
    S7 &s7 = ppi ? p : m;
    s7.Err = 0;
    EXPECT_EQ((write ? S7Wr : S7Rd)(&s7, 10, 0, anz, data.data(), typ, unit, type, 0), -1) << anz;
    EXPECT_EQ(s7.Err, 2) << anz;
  }
  // out of range: the bad value comes last, the good ones are not sent either
  DWORD ms[3] = {100, 9990000, 9990001};
  WORD z[2] = {999, 1000};
  EXPECT_FALSE(S7WrTimer(&m, 0, 3, ms));
  EXPECT_EQ(m.Err, -9);
  m.Err = 0;
  EXPECT_FALSE(S7WrCounter(&m, 0, 2, z));
  EXPECT_EQ(m.Err, -9);
  // empty runs fail and leave Err alone
  m.Err = 77;
  BYTE *b = data.data();
  auto w = reinterpret_cast<LPWORD>(b);
  auto d = reinterpret_cast<LPDWORD>(b);
  EXPECT_FALSE(S7RdB(&m, 10, 0, 0, b, 0x84, 2) || S7WrB(&m, 10, 0, 0, b, 0x84, 2) ||
               S7RdW(&m, 10, 0, 0, w, 0x84, 2) || S7WrW(&m, 10, 0, 0, w, 0x84, 2) ||
               S7RdDW(&m, 10, 0, 0, d, 0x84, 6) || S7WrDW(&m, 10, 0, 0, d, 0x84, 6) ||
               S7RdMReal(&m, 0, 0, reinterpret_cast<float *>(b)) || S7RdTimer(&m, 0, 0, d) ||
               S7WrTimer(&m, 0, 0, d) || S7RdCounter(&m, 0, 0, w) || S7WrCounter(&m, 0, 0, w));
  EXPECT_EQ(m.Err, 77);
  EXPECT_EQ(data, std::vector<BYTE>(300, 0x5A));
  EXPECT_EQ(ms[0] + z[1], 1100u);  // the caller's values are not touched
  EXPECT_EQ(CStat[0].Status + CStat[3].Status, 0);
  EXPECT_TRUE(Silent(mpi.master(), 150) && Silent(ppi.master(), 150));
}

TEST(BusMembers, ListFromTheAdapterAnswer) {
  PtyPort port(0);
  S7 s7{};
  ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 19200));
  CStat[0].Status = 1;  // the adapter counts as up: no bring-up
  const std::tuple<size_t, int, int, const char *> rows[] = {
      {133, 1, 5, "0:30 2:30 3:20 126:1 "}, {132, 0, -1, ""}, {134, 0, -1, ""}};
  for (auto [len, result, err, want] : rows) {
    std::array<WORD, 127> list;
    list.fill(0xEEEE);
    s7.Err = 5;          // success leaves Err alone
    Bytes a(len, 0x10);  // 0x10: no station at that address; the status bytes
    a[6] = a[8] = 0x30;  // of the PC and a station, and others, are passed on
    a[9] = 0x20;
    a.back() = len > 132 ? 0x01 : 0x10;
    exchange(port.master(), play(" r=010702 t=" + plain(a)),
             [&] { EXPECT_EQ(S7GetMPIMembers(&s7, list.data()), result); });
    EXPECT_EQ(s7.Err, err);
    std::string got;
    char e[32];
    for (size_t i = 0; i < list.size() && result; ++i)
      got += list[i] ? (std::snprintf(e, sizeof e, "%d:%X ", int(i), list[i]), e) : "";
    EXPECT_EQ(got, want);
    EXPECT_EQ(std::count(list.begin(), list.end(), 0xEEEE), result ? 0 : 127);
  }
  CStat[0].Status = 0;  // nothing to shut down on this line
}

}  // namespace
