// The area-letter calls: every letter each call refuses gives -10 with nothing
// on the line; every letter it accepts reaches the right PLC area (checked
// against the simulated adapter and PLC); results are folded from Err; reals
// are converted both ways; bit numbers above 7 are refused.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

#include "kesto.h"
#include "mpi_adapter.hpp"
#include "peer.hpp"
#include "plc.hpp"
#include "rs232.h"
#include "s7conn.h"

extern "C" {
extern S7 P[32];
}

namespace {

using s7sim::Area;
using namespace s7test;

// Buffers large enough for any call below.
struct Buffers {
  BYTE b[16];
  WORD w[16];
  DWORD dw[16];
  double d[16];
};

// Every call with the letters it takes; each runs with DB 5, start 0, count
// (bit calls: bit) 1.
// clang-format off
#define CALL(f, l, ...) \
  {#f, l, [](LONG r, DWORD t, [[maybe_unused]] Buffers &b) { return f(r, t, __VA_ARGS__); }}
// clang-format on
const struct Column {
  const char *name;
  std::string accepted;
  LONG (*run)(LONG ref, DWORD Typ, Buffers &buf);
} kColumns[] = {
    CALL(KS7RdB, "AOaoEIeiMmFfDd", 5, 0, 1, b.b),     CALL(KS7WrB, "AOaoMmFfDd", 5, 0, 1, b.b),
    CALL(KS7RdW, "AOaoEIeiMmFfDdCZcz", 5, 0, 1, b.w), CALL(KS7WrW, "AOaoMmFfDdCZcz", 5, 0, 1, b.w),
    CALL(KS7RdDW, "AOaoEIeiMmFfDdTt", 5, 0, 1, b.dw), CALL(KS7WrDW, "AOaoMmFfDdTt", 5, 0, 1, b.dw),
    CALL(KS7RdReal, "AOaoEIeiMmDd", 5, 0, 1, b.d),    CALL(KS7WrReal, "AOaoEIeiMmDd", 5, 0, 1, b.d),
    CALL(KS7RdBit, "AOaoEIeiMmDd", 5, 0, 1, b.b),     CALL(KS7WrBit, "AOaoEIeiMmDd", 5, 0, 1, 1),
    CALL(KS7SetBit, "AOaoEIeiMmDd", 5, 0, 1),         CALL(KS7ResetBit, "AOaoEIeiMmDd", 5, 0, 1)};

bool Silent(int master) { return s7sim::read_until_quiet(master, 50).empty(); }

// ------------------------------------------------- refusals, nothing on the line

TEST(KS7Letters, RefusalsSendNothing) {
  s7test::PtyPort port(0);
  const LONG ref = KS7Open(0, 2, 0, 19200, 300);
  ASSERT_EQ(ref, 0);
  P[ref].Err = 77;  // a refusal leaves the record alone

  // every letter a call does not take, and letters with high bits set: -10
  const auto start = std::chrono::steady_clock::now();
  for (const Column &col : kColumns) {
    std::vector<DWORD> refused = {0x100 + 'A', 0x10000 + 'M', 0x80000000u + 'D', 200, 'X', 0};
    for (DWORD t = 1; t < 256; ++t)
      if (col.accepted.find(static_cast<char>(t)) == std::string::npos) refused.push_back(t);
    for (DWORD t : refused) {
      Buffers buf;
      std::memset(static_cast<void *>(&buf), 0xEE, sizeof buf);
      EXPECT_EQ(col.run(ref, t, buf), -10) << col.name << " with Typ " << t;
      EXPECT_EQ(buf.b[0], 0xEE) << col.name << " wrote the buffer";
      EXPECT_EQ(buf.d[0], std::bit_cast<double>(0xEEEEEEEEEEEEEEEEull)) << col.name;
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2))
      << "a refusal waits for nothing";

  // a bit number above 7: 2; the letter is judged first
  for (DWORD bit : {8u, 9u, 255u, 0x103u, 0xFFFFFFFFu}) {
    BYTE b = 0xEE;
    EXPECT_EQ(KS7RdBit(ref, 'M', 0, 10, bit, &b), 2) << bit;
    EXPECT_EQ(b, 0xEE);
    EXPECT_EQ(KS7WrBit(ref, 'D', 5, 10, bit, 1), 2) << bit;
    EXPECT_EQ(KS7SetBit(ref, 'A', 0, 10, bit), 2) << bit;
    EXPECT_EQ(KS7ResetBit(ref, 'e', 0, 10, bit), 2) << bit;
  }
  EXPECT_EQ(KS7RdBit(ref, 'F', 0, 10, 9, nullptr), -10);

  // references outside the table or of free slots: -99 from every call
  ASSERT_EQ(KS7Open(0, 3, 0, 19200, 300), 1);
  ASSERT_EQ(KS7Close(1), 0);  // slot 1 keeps its record of the closed connection
  const LONG inits = CStat[0].InitCnt;
  for (LONG bad : {-1L, 32L, 40L, 1L, 7L, 31L}) {
    for (const Column &col : kColumns) {
      Buffers buf;
      EXPECT_EQ(col.run(bad, 'M', buf), -99) << col.name << " ref " << bad;
    }
    WORD members[127];
    EXPECT_EQ(KS7GetMPIMembers(bad, members), -99) << bad;
  }
  EXPECT_EQ(CStat[0].InitCnt, inits);
  EXPECT_TRUE(Silent(port.master()));
  EXPECT_EQ(P[ref].Err, 77);
  EXPECT_EQ(CStat[0].Status, 0) << "the adapter was not brought up";
}

// A partner that answers every STX with a byte that is not DLE: the library
// gives the bring-up up after its three attempts, without long waits.
TEST(KS7DeadLine, CallsReportMinusOneAndLeaveTheBuffersAlone) {
  s7test::PtyPort port(0);
  s7test::PeerThread rude(port.master(), [](s7test::Peer &p) {
    while (auto b = p.get(500))
      if (*b == s7test::kSTX) p.put({0x00});
  });
  const LONG ref = KS7Open(0, 2, 0, 19200, 300);
  ASSERT_EQ(ref, 0);
  WORD w[2] = {0xEEEE, 0xEEEE}, members[127];
  EXPECT_EQ(KS7RdW(ref, 'D', 5, 0, 2, w), -1);
  EXPECT_EQ(w[0], 0xEEEE);
  double d = -3;
  EXPECT_EQ(KS7RdReal(ref, 'M', 0, 0, 1, &d), -1);
  EXPECT_EQ(d, -3);
  EXPECT_EQ(KS7SetBit(ref, 'M', 0, 0, 1), -1);
  std::fill(std::begin(members), std::end(members), WORD{0xEEEE});
  EXPECT_EQ(KS7GetMPIMembers(ref, members), -1) << "bringing the adapter up failed";
  for (WORD t : members) ASSERT_EQ(t, 0xEEEE);
  EXPECT_EQ(CStat[0].Status, 0);
  EXPECT_EQ(KS7Close(ref), 0);
}

// ---------------------------------------------------- against the simulator

// The simulated adapter with one PLC at MPI address 2; the handle table holds
// one connection to it.
class WithPlc : public ::testing::Test {
 protected:
  void SetUp() override {
    plc.add_db(5, 256);
    adapter.add_station(2, plc);
    adapter.start();
    ASSERT_EQ(ref = KS7Open(0, 2, 0, 19200, 300), 0);
  }
  void TearDown() override {
    EXPECT_EQ(KS7Close(ref), 0);
    adapter.stop();
    EXPECT_TRUE(adapter.violations().empty()) << adapter.violations().front();
  }
  static Area AreaOf(char l) {
    return std::string("AOao").find(l) != std::string::npos   ? Area::Outputs
           : std::string("EIei").find(l) != std::string::npos ? Area::Inputs
           : l == 'D' || l == 'd'                             ? Area::DB
                                                              : Area::Flags;
  }
  void Preset(char l, size_t at, const Bytes &bytes) { plc.write_bytes(AreaOf(l), 5, at, bytes); }
  Bytes Memory(char l, size_t at, size_t len) { return plc.read_bytes(AreaOf(l), 5, at, len); }

  s7test::PtyPort port{0};
  s7sim::Plc plc;
  s7sim::MpiAdapter adapter{port.master()};
  LONG ref = -1;
};

Bytes BigEndian(float f) {
  const uint32_t v = std::bit_cast<uint32_t>(f);
  return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

TEST_F(WithPlc, EveryAcceptedLetterReachesItsArea) {
  const Bytes reals = s7test::concat({BigEndian(1.5f), BigEndian(0.1f)});
  for (char l : std::string("AOaoEIeiMmFfDd")) {
    SCOPED_TRACE(l);
    const auto u = static_cast<uint8_t>(l);
    const bool writes = !std::strchr("EIei", l), more = !std::strchr("Ff", l);
    // bytes by byte address, words by word number (6, 7: bytes 12..15),
    // double words by byte address
    Preset(l, 10, concat({{u, 0x5A, 0xA5, 0x34, 0x56, 0x77, 0x80}, reals}));
    BYTE b[3] = {}, bit[2] = {0xEE, 0xEE};
    WORD w[2] = {};
    DWORD dw = 0;
    ASSERT_EQ(
        KS7RdB(ref, u, 5, 10, 3, b) | KS7RdW(ref, u, 5, 6, 2, w) | KS7RdDW(ref, u, 5, 11, 1, &dw),
        0);
    EXPECT_EQ(Bytes(b, b + 3), (Bytes{u, 0x5A, 0xA5}));
    EXPECT_EQ(w[0] * 0x10000u + w[1], 0xA5345677u);
    EXPECT_EQ(dw, 0x5AA53456u);
    if (writes) {
      WORD ww[2] = {static_cast<WORD>(0xA000 | u), 0x5677};
      DWORD wd = 0xCAFE0000u | u;
      ASSERT_EQ(KS7WrB(ref, u, 5, 60, 3, b) | KS7WrW(ref, u, 5, 32, 2, ww) |
                    KS7WrDW(ref, u, 5, 69, 1, &wd),
                0);
      EXPECT_EQ(Memory(l, 60, 13),
                (Bytes{u, 0x5A, 0xA5, 0, 0xA0, u, 0x56, 0x77, 0, 0xCA, 0xFE, 0, u}));
    }
    if (!more) continue;
    // reals converted both ways, the caller's doubles kept; bits of a byte,
    // the low byte of the value sent
    double d[3] = {0, 0, -7}, wr[2] = {0.1, -2.5};
    ASSERT_EQ(KS7RdReal(ref, u, 5, 17, 2, d) | KS7WrReal(ref, u, 5, 80, 2, wr), 0);
    EXPECT_EQ(d[0] + d[1] * 10 + d[2] * 100 + wr[0], 1.5 + double(0.1f) * 10 - 700 + 0.1);
    EXPECT_EQ(Memory(l, 80, 8), concat({BigEndian(0.1f), BigEndian(-2.5f)}));
    std::string bits;
    Preset(l, 90, {0});
    ASSERT_EQ(KS7RdBit(ref, u, 5, 16, 7, bit) | KS7RdBit(ref, u, 5, 16, 6, bit + 1), 0);
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(i == 0   ? KS7WrBit(ref, u, 5, 90, 3, 0x101)
                : i == 1 ? KS7SetBit(ref, u, 5, 90, 0)
                         : KS7ResetBit(ref, u, 5, 90, 3),
                0);
      bits += plain(Memory(l, 90, 1));
    }
    EXPECT_EQ(plain({bit[0], bit[1]}) + bits, "0100080901");
  }
  // counters through the word calls, timers in milliseconds through the
  // double-word calls
  plc.set_counter(3, 0x0123);
  plc.set_counter(4, 0x7999);
  plc.set_timer(3, 0x2127);
  plc.set_timer(4, 0x0999);
  for (char l : std::string("CZczTt")) {
    const auto u = static_cast<uint8_t>(l);
    WORD w[2] = {}, v[2] = {u, 999};
    DWORD ms[2] = {}, wt[2] = {110, 9991};
    const bool timer = l == 'T' || l == 't';
    ASSERT_EQ(timer ? KS7RdDW(ref, u, 0, 3, 2, ms) | KS7WrDW(ref, u, 0, 7, 2, wt)
                    : KS7RdW(ref, u, 0, 3, 2, w) | KS7WrW(ref, u, 0, 5, 2, v),
              0)
        << l;
    EXPECT_EQ(timer ? ms[0] * 10000 + ms[1] : w[0] * 1000u + w[1], timer ? 1270009990u : 123999u)
        << l;
    EXPECT_EQ(
        timer ? plc.timer(7) * 0x10000 + plc.timer(8) : plc.counter(5) * 0x10000 + plc.counter(6),
        timer ? 0x00111100 : ((u / 100) * 0x100 + (u / 10 % 10) * 0x10 + u % 10) * 0x10000 + 0x0999)
        << l;
  }
}

TEST_F(WithPlc, RealsOutOfRangeAndCounts) {
  // beyond the float range a value is written as the infinity of its sign
  double big[4] = {1e300, -1e300, std::numeric_limits<double>::infinity(), 3.5e38}, back[4] = {};
  ASSERT_EQ(KS7WrReal(ref, 'D', 5, 48, 4, big), 0);
  const Bytes inf = BigEndian(std::numeric_limits<float>::infinity());
  EXPECT_EQ(Memory('D', 48, 16), s7test::concat({inf, BigEndian(-INFINITY), inf, inf}));
  ASSERT_EQ(KS7RdReal(ref, 'D', 5, 48, 4, back), 0);
  EXPECT_TRUE(std::isinf(back[0]) && back[0] > 0);
  EXPECT_TRUE(std::isinf(back[1]) && back[1] < 0);
  // one 16-bit count for the call, the float buffer and both conversions
  double r[4] = {-1, -1, -1, -1}, w[3] = {8.0, 16.0, 32.0};
  ASSERT_EQ(KS7RdReal(ref, 'D', 5, 48, 0x10002, r), 0);
  EXPECT_TRUE(std::isinf(r[1]));
  EXPECT_EQ(r[2], -1) << "only two values converted";
  ASSERT_EQ(KS7WrReal(ref, 'D', 5, 100, 0x10002, w), 0);
  EXPECT_EQ(Memory('D', 100, 12),
            s7test::concat({BigEndian(8.0f), BigEndian(16.0f), {0, 0, 0, 0}}));
}

TEST_F(WithPlc, FailuresAreFoldedFromTheRecordsErr) {
  // a data block the PLC does not have: Err 2, the buffers left alone
  WORD w[2] = {0xEEEE, 0xEEEE};
  BYTE b[2] = {};
  double d = -3;
  EXPECT_EQ(KS7RdW(ref, 'D', 99, 0, 2, w), 2);
  EXPECT_EQ(w[0], 0xEEEE);
  EXPECT_EQ(KS7WrB(ref, 'D', 99, 0, 2, b), 2);
  EXPECT_EQ(KS7RdReal(ref, 'D', 99, 0, 1, &d), 2);
  EXPECT_EQ(d, -3);
  EXPECT_EQ(KS7RdBit(ref, 'D', 99, 0, 1, b), 2);
  EXPECT_EQ(KS7SetBit(ref, 'D', 99, 0, 1), 2);
  // values the timer and counter writes refuse: -9; a count of 0 sends
  // nothing and fails with Err still 0: -5
  plc.clear_jobs();
  WORD c = 1000;
  DWORD t = 9990001;
  EXPECT_EQ(KS7WrW(ref, 'Z', 0, 0, 1, &c), -9);
  EXPECT_EQ(KS7WrDW(ref, 'T', 0, 0, 1, &t), -9);
  ASSERT_EQ(KS7RdB(ref, 'M', 0, 0, 1, b), 0);
  plc.clear_jobs();
  EXPECT_EQ(KS7RdB(ref, 'M', 0, 0, 0, b), -5);
  EXPECT_EQ(KS7WrW(ref, 'm', 0, 0, 0, w), -5);
  EXPECT_EQ(KS7RdDW(ref, 'D', 5, 0, 0x10000, &t), -5) << "the count is used as 16 bits";
  EXPECT_EQ(KS7RdReal(ref, 'D', 5, 0, 0, &d), -5);
  EXPECT_EQ(KS7WrReal(ref, 'E', 0, 0, 0, &d), -5);
  EXPECT_TRUE(plc.jobs().empty());

  // the bus members: the PLC at 2, 127 entries and no more
  WORD members[128];
  std::fill(std::begin(members), std::end(members), WORD{0xEEEE});
  ASSERT_EQ(KS7GetMPIMembers(ref, members), 0);
  EXPECT_NE(members[2], 0);
  EXPECT_EQ(members[3], 0);
  EXPECT_EQ(members[126], 0);
  EXPECT_EQ(members[127], 0xEEEE);
}

}  // namespace
