// Jobs the library refuses before it touches the line: more data than one
// job can carry, timer and counter values out of range, empty runs. The pty's
// far end has no simulator; it only checks that not one byte arrives.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "s7int.h"
#include "testutil.hpp"

namespace {

// Every field of the record but Err, to show a refusal leaves it as it was.
std::vector<BYTE> OhneErr(const S7 &s7) {
  std::vector<BYTE> v;
  auto dazu = [&v](const auto &feld) {
    const BYTE *p = reinterpret_cast<const BYTE *>(&feld);
    v.insert(v.end(), p, p + sizeof feld);
  };
  dazu(s7.Com);
  dazu(s7.bInit);
  dazu(s7.SPSTyp);
  dazu(s7.MPIAdr);
  dazu(s7.Status);
  dazu(s7.Tx);
  dazu(s7.Rx);
  dazu(s7.ConToMPI);
  dazu(s7.CmdRd);
  dazu(s7.CmdWr);
  return v;
}

TEST(OversizeJobs, MpiRecordRefusesWithoutSending) {
  s7test::PtyPort port(0);
  S7 s7{};
  ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 19200));
  const std::vector<BYTE> vorher = OhneErr(s7);
  std::vector<BYTE> daten(300, 0x5A);
  const std::vector<BYTE> datenVorher = daten;

  struct Fall {
    int Anz, Typ, Unit, DataType;
  };
  // Writes: 283 bytes as bytes, words, double words; 32768 words (a 16-bit
  // product would wrap to 0); 65535 x 65535.
  const Fall zuGross[] = {{283, 0x84, 1, 2},    {142, 0x84, 2, 2},    {71, 0x83, 4, 6},
                          {71, 0x81, 4, 8},     {32768, 0x84, 2, 2},  {65535, 0x82, 65535, 2},
                          {142, 0x1D, 2, 0x1D}, {142, 0x1C, 2, 0x1C}, {283, 0x83, 1, 1}};
  for (const Fall &f : zuGross) {
    s7.Err = 0;
    EXPECT_EQ(S7Wr(&s7, 10, 0, f.Anz, daten.data(), f.Typ, f.Unit, f.DataType, 0), -1) << f.Anz;
    EXPECT_EQ(s7.Err, 2);
  }
  // Reads: 293 bytes, 147 words, 74 double words; 147 timers and counters
  // (two bytes each whatever Unit says).
  const Fall zuGrossRd[] = {{293, 0x84, 1, 2},      {147, 0x84, 2, 2},    {74, 0x83, 4, 6},
                            {147, 0x1D, 1, 0x1D},   {147, 0x1C, 0, 0x1C}, {32768, 0x84, 2, 2},
                            {65535, 0x81, 65535, 8}};
  for (const Fall &f : zuGrossRd) {
    s7.Err = 0;
    EXPECT_EQ(S7Rd(&s7, 10, 0, f.Anz, daten.data(), f.Typ, f.Unit, f.DataType, 0), -1) << f.Anz;
    EXPECT_EQ(s7.Err, 2);
  }

  EXPECT_EQ(daten, datenVorher);
  EXPECT_EQ(OhneErr(s7), vorher) << "a refused job changed the record";
  EXPECT_FALSE(s7.Status);
  EXPECT_EQ(CStat[0].Status, 0);
  EXPECT_EQ(CStat[0].InitCnt, 1);
  EXPECT_EQ(s7test::hex(s7sim::read_until_quiet(port.master(), 150)), "");
  S7Exit(&s7);
}

TEST(OversizeJobs, PpiRecordHasSmallerLimits) {
  s7test::PtyPort port(3);
  S7 s7{};
  ASSERT_TRUE(S7PPIInit(&s7, 3, 2, 0, 9600));
  const std::vector<BYTE> vorher = OhneErr(s7);
  std::vector<BYTE> daten(300, 0xA5);

  // One frame carries 252 job bytes: 224 data bytes in a write, 234 in a
  // read answer.
  EXPECT_EQ(S7Wr(&s7, 1, 0, 225, daten.data(), 0x84, 1, 2, 0), -1);
  EXPECT_EQ(s7.Err, 2);
  s7.Err = 0;
  EXPECT_EQ(S7Wr(&s7, 1, 0, 57, daten.data(), 0x84, 4, 6, 0), -1);  // 228 bytes
  EXPECT_EQ(s7.Err, 2);
  s7.Err = 0;
  EXPECT_EQ(S7Rd(&s7, 1, 0, 235, daten.data(), 0x84, 1, 2, 0), -1);
  EXPECT_EQ(s7.Err, 2);
  s7.Err = 0;
  EXPECT_EQ(S7Rd(&s7, 0, 0, 118, daten.data(), 0x1D, 2, 0x1D, 0), -1);  // 236 bytes
  EXPECT_EQ(s7.Err, 2);

  EXPECT_EQ(daten, std::vector<BYTE>(300, 0xA5));
  EXPECT_EQ(OhneErr(s7), vorher);
  EXPECT_EQ(s7test::hex(s7sim::read_until_quiet(port.master(), 150)), "");
  S7Exit(&s7);
}

TEST(RangeChecks, TimerAndCounterValuesOutOfRangeSendNothing) {
  s7test::PtyPort port(0);
  S7 s7{};
  ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 19200));

  // The bad value comes last: the good ones before it are not written either.
  std::array<DWORD, 3> ms = {100, 9990000, 9990001};
  EXPECT_FALSE(S7WrTimer(&s7, 0, 3, ms.data()));
  EXPECT_EQ(s7.Err, -9);
  std::array<WORD, 2> z = {999, 1000};
  s7.Err = 0;
  EXPECT_FALSE(S7WrCounter(&s7, 0, 2, z.data()));
  EXPECT_EQ(s7.Err, -9);
  EXPECT_EQ(ms[0], 100u);  // the caller's values are not touched
  EXPECT_EQ(z[1], 1000);

  // Empty runs send nothing, fail and leave Err alone.
  s7.Err = 77;
  BYTE b[4] = {};
  WORD w[2] = {};
  DWORD d[2] = {};
  float f[2] = {};
  EXPECT_FALSE(S7RdB(&s7, 10, 0, 0, b, 0x84, 2));
  EXPECT_FALSE(S7WrB(&s7, 10, 0, 0, b, 0x84, 2));
  EXPECT_FALSE(S7RdW(&s7, 10, 0, 0, w, 0x84, 2));
  EXPECT_FALSE(S7WrW(&s7, 10, 0, 0, w, 0x84, 2));
  EXPECT_FALSE(S7RdDW(&s7, 10, 0, 0, d, 0x84, 6));
  EXPECT_FALSE(S7WrDW(&s7, 10, 0, 0, d, 0x84, 6));
  EXPECT_FALSE(S7RdMReal(&s7, 0, 0, f));
  EXPECT_FALSE(S7RdTimer(&s7, 0, 0, d));
  EXPECT_FALSE(S7WrTimer(&s7, 0, 0, d));
  EXPECT_FALSE(S7RdCounter(&s7, 0, 0, w));
  EXPECT_FALSE(S7WrCounter(&s7, 0, 0, w));
  EXPECT_EQ(s7.Err, 77);

  EXPECT_EQ(s7test::hex(s7sim::read_until_quiet(port.master(), 150)), "");
  EXPECT_EQ(CStat[0].Status, 0);
  S7Exit(&s7);
}

}  // namespace
