// The area-letter calls against the simulated adapter and PLC: refused
// letters, bits and references send nothing; accepted letters reach their
// areas; results are folded from Err; reals are converted both ways.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <tuple>

#include "device.hpp"
#include "kesto.h"
#include "peer.hpp"
#include "s7conn.h"

extern "C" S7 P[32];

namespace {

using s7sim::Area;
using namespace s7test;

// clang-format off
#define CALL(f, l, ...) \
  {#f, l, [](LONG r, DWORD t, [[maybe_unused]] double *b) { return f(r, t, __VA_ARGS__); }}
// clang-format on
const std::tuple<const char *, std::string, LONG (*)(LONG, DWORD, double *)> kColumns[] = {
    CALL(KS7RdB, "AOaoEIeiMmFfDd", 5, 0, 1, (LPBYTE)b),
    CALL(KS7WrB, "AOaoMmFfDd", 5, 0, 1, (LPBYTE)b),
    CALL(KS7RdW, "AOaoEIeiMmFfDdCZcz", 5, 0, 1, (LPWORD)b),
    CALL(KS7WrW, "AOaoMmFfDdCZcz", 5, 0, 1, (LPWORD)b),
    CALL(KS7RdDW, "AOaoEIeiMmFfDdTt", 5, 0, 1, (LPDWORD)b),
    CALL(KS7WrDW, "AOaoMmFfDdTt", 5, 0, 1, (LPDWORD)b),
    CALL(KS7RdReal, "AOaoEIeiMmDd", 5, 0, 1, b),
    CALL(KS7WrReal, "AOaoEIeiMmDd", 5, 0, 1, b),
    CALL(KS7RdBit, "AOaoEIeiMmDd", 5, 0, 1, (LPBYTE)b),
    CALL(KS7WrBit, "AOaoEIeiMmDd", 5, 0, 1, 1),
    CALL(KS7SetBit, "AOaoEIeiMmDd", 5, 0, 1),
    CALL(KS7ResetBit, "AOaoEIeiMmDd", 5, 0, 1)};

class Letters : public ::testing::Test {
 protected:
  void SetUp() override {
    plc.add_db(5, 256);
    adapter.start(port.master());
    ASSERT_EQ(ref = KS7Open(0, 2, 0, 19200, 300), 0);
  }
  void TearDown() override {
    EXPECT_EQ(KS7Close(ref), 0);
    adapter.stop();
    EXPECT_EQ(joined(adapter.violations()), "");
  }
  std::string Db(size_t at, size_t len) { return plain(plc.read_bytes(Area::DB, 5, at, len)); }

  PtyPort port{0};
  s7sim::Plc plc;
  s7sim::Device adapter{false, {{2, &plc}}};
  LONG ref = -1;
};

TEST_F(Letters, EachCallTakesItsLettersOnly) {
  const int codes[] = {0x82, 0x81, 0x83, 0x1C, 0x1D, 0x84};
  const DWORD high[] = {0x100 + 'A', 0x10000 + 'M', 0x80000000u + 'D'};
  for (const auto &[name, accepted, run] : kColumns)
    for (DWORD t = 0; t < 259; ++t) {
      const DWORD typ = t < 256 ? t : high[t - 256];
      const char l = char(typ);
      const bool ok = typ < 256 && accepted.find(l) != std::string::npos;
      double buf[4] = {-3, -3, -3, -3};
      plc.clear_jobs();
      ASSERT_EQ(run(ref, typ, buf), ok ? 0 : -10) << name << " with Typ " << typ;
      if (!ok) {
        EXPECT_TRUE(buf[0] == -3 && buf[1] == -3 && plc.jobs().empty());
        continue;
      }
      const int area = codes[std::min<size_t>(std::string("AOaoEIeiMmFfCZczTt").find(l) / 4, 5)];
      ASSERT_FALSE(plc.jobs().empty()) << name << l;
      const auto j = plc.jobs().back();
      EXPECT_EQ(
          j.area * 1000 + j.db * 10 + j.write,
          area * 1000 + (area == 0x84 || std::strstr(name, "Bit")) * 50 + !std::strstr(name, "Rd"))
          << name << l;
    }
  // bit numbers above 7: 2, the letter judged first; references outside the
  // table or of free slots: -99
  for (DWORD bit : {8u, 0x103u, 0xFFFFFFFFu}) {
    BYTE b = 0xEE;
    EXPECT_EQ(KS7RdBit(ref, 'M', 0, 10, bit, &b) * 100 + KS7WrBit(ref, 'D', 5, 10, bit, 1) * 10 +
                  KS7SetBit(ref, 'A', 0, 10, bit) + KS7ResetBit(ref, 'e', 0, 10, bit),
              224)
        << bit;
    EXPECT_EQ(b, 0xEE);
  }
  EXPECT_EQ(KS7RdBit(ref, 'F', 0, 10, 9, nullptr), -10);
  ASSERT_EQ(KS7Open(0, 3, 0, 19200, 300), 1);
  ASSERT_EQ(KS7Close(1), 0);
  plc.clear_jobs();
  for (LONG bad : {-1L, 32L, 1L, 31L}) {
    for (const auto &[name, accepted, run] : kColumns) {
      double buf[4];
      EXPECT_EQ(run(bad, 'M', buf), -99) << name << " ref " << bad;
    }
    EXPECT_EQ(KS7GetMPIMembers(bad, nullptr), -99) << bad;
  }
  EXPECT_TRUE(plc.jobs().empty());
}

TEST_F(Letters, ValuesAndFoldedResults) {
  // beyond the float range: the infinity of its sign, up to half a step past
  // the largest float still the largest float
  const double edge = double(FLT_MAX) + 0x1p103;
  const double below = std::nextafter(edge, 0.0);
  double big[] = {1e300, -INFINITY, 3.5e38, below, edge, -below, -edge};
  ASSERT_EQ(KS7WrReal(ref, 'D', 5, 48, 7, big), 0);
  EXPECT_EQ(Db(48, 28), "7F800000FF8000007F8000007F7FFFFF7F800000FF7FFFFFFF800000");
  double r[4] = {-1, -1, -1, -1}, w[3] = {8.0, 16.0, 32.0};
  ASSERT_EQ(KS7RdReal(ref, 'D', 5, 48, 0x10002, r), 0);
  EXPECT_TRUE(std::isinf(r[0]) && r[0] > 0 && r[1] < 0 && std::isinf(r[1]) && r[2] == -1);
  ASSERT_EQ(KS7WrReal(ref, 'D', 5, 100, 0x10002, w), 0);
  EXPECT_EQ(Db(100, 12), "410000004180000000000000");
  // counts of 0 as 16 bits send nothing: -5
  DWORD t = 7;
  plc.clear_jobs();
  EXPECT_EQ(KS7RdDW(ref, 'D', 5, 0, 0x10000, &t), -5);
  EXPECT_EQ(KS7WrReal(ref, 'E', 0, 0, 0, w), -5);
  EXPECT_TRUE(plc.jobs().empty());
  EXPECT_EQ(t, 7u);
}

}  // namespace
