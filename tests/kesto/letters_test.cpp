// The area-letter calls: every letter each call refuses gives -10 with nothing
// on the line; every letter it accepts reaches the right PLC area (checked
// against the simulated adapter and PLC); results are folded from Err; reals
// are converted both ways; bit numbers above 7 are refused.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "kesto.h"
#include "mpi_adapter.hpp"
#include "plc.hpp"
#include "rs232.h"
#include "s7conn.h"
#include "testutil.hpp"

extern "C" {
extern S7 P[32];
extern BOOL bInit[32];
}

namespace {

using s7sim::Area;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------- letters

enum class Call { RdB, WrB, RdW, WrW, RdDW, WrDW, RdReal, WrReal, RdBit, WrBit, SetBit, ResetBit };

struct Column {
  Call call;
  const char *name;
  std::string accepted;  // every letter this call takes
};

const std::string kAOEIMD = "AOaoEIeiMmDd";
const std::vector<Column> kColumns = {
    {Call::RdB, "KS7RdB", "AOaoEIeiMmFfDd"},     {Call::WrB, "KS7WrB", "AOaoMmFfDd"},
    {Call::RdW, "KS7RdW", "AOaoEIeiMmFfDdCZcz"}, {Call::WrW, "KS7WrW", "AOaoMmFfDdCZcz"},
    {Call::RdDW, "KS7RdDW", "AOaoEIeiMmFfDdTt"}, {Call::WrDW, "KS7WrDW", "AOaoMmFfDdTt"},
    {Call::RdReal, "KS7RdReal", kAOEIMD},        {Call::WrReal, "KS7WrReal", kAOEIMD},
    {Call::RdBit, "KS7RdBit", kAOEIMD},          {Call::WrBit, "KS7WrBit", kAOEIMD},
    {Call::SetBit, "KS7SetBit", kAOEIMD},        {Call::ResetBit, "KS7ResetBit", kAOEIMD},
};

// Buffers large enough for any call below.
struct Buffers {
  BYTE b[16] = {};
  WORD w[16] = {};
  DWORD dw[16] = {};
  double d[16] = {};
};

// One call with area letter Typ: DB 5, start a, count (bit calls: bit) n.
LONG RunCall(Call c, LONG ref, DWORD Typ, DWORD a, DWORD n, Buffers &buf, DWORD Wert = 1) {
  switch (c) {
    case Call::RdB:
      return KS7RdB(ref, Typ, 5, a, n, buf.b);
    case Call::WrB:
      return KS7WrB(ref, Typ, 5, a, n, buf.b);
    case Call::RdW:
      return KS7RdW(ref, Typ, 5, a, n, buf.w);
    case Call::WrW:
      return KS7WrW(ref, Typ, 5, a, n, buf.w);
    case Call::RdDW:
      return KS7RdDW(ref, Typ, 5, a, n, buf.dw);
    case Call::WrDW:
      return KS7WrDW(ref, Typ, 5, a, n, buf.dw);
    case Call::RdReal:
      return KS7RdReal(ref, Typ, 5, a, n, buf.d);
    case Call::WrReal:
      return KS7WrReal(ref, Typ, 5, a, n, buf.d);
    case Call::RdBit:
      return KS7RdBit(ref, Typ, 5, a, n, buf.b);
    case Call::WrBit:
      return KS7WrBit(ref, Typ, 5, a, n, Wert);
    case Call::SetBit:
      return KS7SetBit(ref, Typ, 5, a, n);
    case Call::ResetBit:
      return KS7ResetBit(ref, Typ, 5, a, n);
  }
  return 12345;
}

bool Silent(int master) { return s7sim::read_until_quiet(master, 50).empty(); }

// ------------------------------------------------- refusals, nothing on the line

TEST(KS7Letters, EveryRefusedLetterGivesMinusTenAndSendsNothing) {
  s7test::PtyPort port(0);
  const LONG ref = KS7Open(0, 2, 0, 19200, 300);
  ASSERT_EQ(ref, 0);
  P[ref].Err = 77;  // a refusal leaves the record alone

  std::vector<DWORD> others = {0x100 + 'A', 0x10000 + 'M', 0x80000000u + 'D', 200, 'X', 0};
  const auto start = std::chrono::steady_clock::now();
  int refusals = 0;
  for (const Column &col : kColumns) {
    std::vector<DWORD> refused = others;
    for (DWORD t = 1; t < 256; ++t)
      if (col.accepted.find(static_cast<char>(t)) == std::string::npos) refused.push_back(t);
    for (DWORD t : refused) {
      Buffers buf;
      std::memset(static_cast<void *>(&buf), 0xEE, sizeof buf);
      EXPECT_EQ(RunCall(col.call, ref, t, 0, 1, buf), -10) << col.name << " with Typ " << t;
      EXPECT_EQ(buf.b[0], 0xEE) << col.name << " wrote the buffer";
      EXPECT_EQ(buf.d[0], std::bit_cast<double>(0xEEEEEEEEEEEEEEEEull)) << col.name;
      ++refusals;
    }
  }
  EXPECT_GT(refusals, 12 * 200);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2))
      << "a refusal waits for nothing";
  EXPECT_TRUE(Silent(port.master()));
  EXPECT_EQ(P[ref].Err, 77);
  EXPECT_EQ(CStat[0].Status, 0) << "the adapter was not brought up";
}

TEST(KS7Letters, BitNumbersAboveSevenAreRefusedWithTwo) {
  s7test::PtyPort port(0);
  const LONG ref = KS7Open(0, 2, 0, 19200, 300);
  ASSERT_EQ(ref, 0);
  for (DWORD bit : {8u, 9u, 255u, 0x103u, 0xFFFFFFFFu}) {
    BYTE b = 0xEE;
    EXPECT_EQ(KS7RdBit(ref, 'M', 0, 10, bit, &b), 2) << bit;
    EXPECT_EQ(b, 0xEE);
    EXPECT_EQ(KS7WrBit(ref, 'D', 5, 10, bit, 1), 2) << bit;
    EXPECT_EQ(KS7SetBit(ref, 'A', 0, 10, bit), 2) << bit;
    EXPECT_EQ(KS7ResetBit(ref, 'e', 0, 10, bit), 2) << bit;
  }
  EXPECT_EQ(KS7RdBit(ref, 'F', 0, 10, 9, nullptr), -10) << "the letter is judged first";
  EXPECT_TRUE(Silent(port.master()));
}

TEST(KS7Letters, ReferencesOutsideTheTableOrOfFreeSlotsGiveMinusNinetyNine) {
  s7test::PtyPort port(0);
  ASSERT_EQ(KS7Open(0, 2, 0, 19200, 300), 0);
  ASSERT_EQ(KS7Open(0, 3, 0, 19200, 300), 1);
  ASSERT_EQ(KS7Close(1), 0);  // slot 1 keeps its record of the closed connection
  const LONG inits = CStat[0].InitCnt;

  for (LONG ref : {-1L, 32L, 40L, 1L, 7L, 31L}) {
    for (const Column &col : kColumns) {
      Buffers buf;
      EXPECT_EQ(RunCall(col.call, ref, 'M', 0, 1, buf), -99) << col.name << " ref " << ref;
    }
    WORD teiln[127];
    EXPECT_EQ(KS7GetMPIMembers(ref, teiln), -99) << ref;
  }
  EXPECT_TRUE(Silent(port.master()));
  EXPECT_EQ(CStat[0].InitCnt, inits);
  EXPECT_EQ(CStat[0].Status, 0);
}

// ---------------------------------------------------- against the simulator

// The simulated adapter with one PLC at MPI address 2 on a pty that the
// library's port 0 opens; the handle table holds one connection to it.
class WithPlc : public ::testing::Test {
 protected:
  void SetUp() override {
    plc.add_db(5, 256);
    adapter.add_station(2, plc);
    adapter.start();
    ref = KS7Open(0, 2, 0, 19200, 300);
    ASSERT_EQ(ref, 0);
  }
  void TearDown() override {
    EXPECT_EQ(KS7Close(ref), 0);
    adapter.stop();
    EXPECT_TRUE(adapter.violations().empty()) << adapter.violations().front();
  }

  static Area AreaOf(char letter) {
    switch (letter) {
      case 'A':
      case 'O':
      case 'a':
      case 'o':
        return Area::Outputs;
      case 'E':
      case 'I':
      case 'e':
      case 'i':
        return Area::Inputs;
      case 'D':
      case 'd':
        return Area::DB;
      default:
        return Area::Flags;
    }
  }
  void Preset(char letter, size_t at, const Bytes &bytes) {
    plc.write_bytes(AreaOf(letter), 5, at, bytes);
  }
  Bytes Memory(char letter, size_t at, size_t len) {
    return plc.read_bytes(AreaOf(letter), 5, at, len);
  }

  s7test::PtyPort port{0};
  s7sim::Plc plc;
  s7sim::MpiAdapter adapter{port.master()};
  LONG ref = -1;
};

Bytes BigEndian(float f) {
  const uint32_t v = std::bit_cast<uint32_t>(f);
  return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

TEST_F(WithPlc, ByteCallsReachTheAreaOfEveryAcceptedLetter) {
  for (char l : std::string("AOaoEIeiMmFfDd")) {
    const uint8_t u = static_cast<uint8_t>(l);
    Preset(l, 10, {u, 0x5A, 0xA5});
    BYTE b[3] = {};
    ASSERT_EQ(KS7RdB(ref, u, 5, 10, 3, b), 0) << l;
    EXPECT_EQ(Bytes(b, b + 3), (Bytes{u, 0x5A, 0xA5})) << l;
  }
  for (char l : std::string("AOaoMmFfDd")) {
    const uint8_t u = static_cast<uint8_t>(l);
    BYTE b[3] = {u, 0x01, 0x80};
    ASSERT_EQ(KS7WrB(ref, u, 5, 20, 3, b), 0) << l;
    EXPECT_EQ(Memory(l, 20, 3), (Bytes{u, 0x01, 0x80})) << l;
  }
  // The flag letters M and F name the same memory.
  Preset('M', 30, {0x42});
  BYTE f = 0;
  ASSERT_EQ(KS7RdB(ref, 'F', 0, 30, 1, &f), 0);
  EXPECT_EQ(f, 0x42);
}

TEST_F(WithPlc, WordCallsTakeWordNumbersAndCounters) {
  for (char l : std::string("AOaoEIeiMmFfDd")) {
    const uint8_t u = static_cast<uint8_t>(l);
    Preset(l, 8, {0x12, u, 0x34, 0x56});  // words 4 and 5
    WORD w[2] = {};
    ASSERT_EQ(KS7RdW(ref, u, 5, 4, 2, w), 0) << l;
    EXPECT_EQ(w[0], 0x1200 | u) << l;
    EXPECT_EQ(w[1], 0x3456) << l;
  }
  for (char l : std::string("AOaoMmFfDd")) {
    const uint8_t u = static_cast<uint8_t>(l);
    WORD w[2] = {static_cast<WORD>(0xA000 | u), 0x0102};
    ASSERT_EQ(KS7WrW(ref, u, 5, 6, 2, w), 0) << l;
    EXPECT_EQ(Memory(l, 12, 4), (Bytes{0xA0, u, 0x01, 0x02})) << l;
  }
  for (char l : std::string("CZcz")) {
    plc.set_counter(3, 0x0123);
    plc.set_counter(4, 0x7999);
    WORD w[2] = {};
    ASSERT_EQ(KS7RdW(ref, static_cast<uint8_t>(l), 0, 3, 2, w), 0) << l;
    EXPECT_EQ(w[0], 123) << l;
    EXPECT_EQ(w[1], 999) << l;
    WORD v[2] = {static_cast<WORD>(l), 999};
    ASSERT_EQ(KS7WrW(ref, static_cast<uint8_t>(l), 0, 5, 2, v), 0) << l;
    const int n = l;
    EXPECT_EQ(plc.counter(5), (n / 100) * 0x100 + (n / 10 % 10) * 0x10 + n % 10) << l;
    EXPECT_EQ(plc.counter(6), 0x0999) << l;
  }
}

TEST_F(WithPlc, DoubleWordCallsTakeByteAddressesAndTimersInMilliseconds) {
  for (char l : std::string("AOaoEIeiMmFfDd")) {
    const uint8_t u = static_cast<uint8_t>(l);
    Preset(l, 16, {0x11, 0x22, 0x33, u});
    DWORD dw = 0;
    ASSERT_EQ(KS7RdDW(ref, u, 5, 16, 1, &dw), 0) << l;
    EXPECT_EQ(dw, 0x11223300u | u) << l;
  }
  for (char l : std::string("AOaoMmFfDd")) {
    const uint8_t u = static_cast<uint8_t>(l);
    DWORD dw = 0xCAFE0000u | u;
    ASSERT_EQ(KS7WrDW(ref, u, 5, 24, 1, &dw), 0) << l;
    EXPECT_EQ(Memory(l, 24, 4), (Bytes{0xCA, 0xFE, 0x00, u})) << l;
  }
  for (char l : std::string("Tt")) {
    plc.set_timer(3, 0x2127);
    plc.set_timer(4, 0x0999);
    DWORD ms[2] = {};
    ASSERT_EQ(KS7RdDW(ref, static_cast<uint8_t>(l), 0, 3, 2, ms), 0) << l;
    EXPECT_EQ(ms[0], 127000u) << l;
    EXPECT_EQ(ms[1], 9990u) << l;
    DWORD w[2] = {110, 9991};
    ASSERT_EQ(KS7WrDW(ref, static_cast<uint8_t>(l), 0, 7, 2, w), 0) << l;
    EXPECT_EQ(plc.timer(7), 0x0011) << l;
    EXPECT_EQ(plc.timer(8), 0x1100) << l;
  }
}

TEST_F(WithPlc, RealsAreConvertedBothWays) {
  for (char l : kAOEIMD) {
    const uint8_t u = static_cast<uint8_t>(l);
    Bytes mem = BigEndian(1.5f);
    const Bytes tenth = BigEndian(0.1f);
    mem.insert(mem.end(), tenth.begin(), tenth.end());
    Preset(l, 32, mem);
    double d[3] = {0, 0, -7};
    ASSERT_EQ(KS7RdReal(ref, u, 5, 32, 2, d), 0) << l;
    EXPECT_EQ(d[0], 1.5) << l;
    EXPECT_EQ(d[1], static_cast<double>(0.1f)) << l;
    EXPECT_EQ(d[2], -7) << l;

    double w[2] = {0.1, -2.5};
    ASSERT_EQ(KS7WrReal(ref, u, 5, 40, 2, w), 0) << l;
    Bytes want = BigEndian(0.1f);
    const Bytes b = BigEndian(-2.5f);
    want.insert(want.end(), b.begin(), b.end());
    EXPECT_EQ(Memory(l, 40, 8), want) << l << ": the nearest floats";
    EXPECT_EQ(w[0], 0.1) << "the caller's doubles stay as they were";
  }
  // Beyond the float range a value is written as the infinity of its sign.
  double big[4] = {1e300, -1e300, std::numeric_limits<double>::infinity(), 3.5e38};
  ASSERT_EQ(KS7WrReal(ref, 'D', 5, 48, 4, big), 0);
  const Bytes inf = BigEndian(std::numeric_limits<float>::infinity());
  const Bytes ninf = BigEndian(-std::numeric_limits<float>::infinity());
  EXPECT_EQ(Memory('D', 48, 4), inf);
  EXPECT_EQ(Memory('D', 52, 4), ninf);
  EXPECT_EQ(Memory('D', 56, 4), inf);
  EXPECT_EQ(Memory('D', 60, 4), inf);
  double back[4] = {};
  ASSERT_EQ(KS7RdReal(ref, 'D', 5, 48, 4, back), 0);
  EXPECT_TRUE(std::isinf(back[0]) && back[0] > 0);
  EXPECT_TRUE(std::isinf(back[1]) && back[1] < 0);
}

TEST_F(WithPlc, RealCallsUseOneSixteenBitCount) {
  Preset('D', 0, BigEndian(2.0f));
  Preset('D', 4, BigEndian(4.0f));
  double d[4] = {-1, -1, -1, -1};
  ASSERT_EQ(KS7RdReal(ref, 'D', 5, 0, 0x10002, d), 0);
  EXPECT_EQ(d[0], 2.0);
  EXPECT_EQ(d[1], 4.0);
  EXPECT_EQ(d[2], -1) << "only two values converted";

  double w[3] = {8.0, 16.0, 32.0};
  ASSERT_EQ(KS7WrReal(ref, 'D', 5, 100, 0x10002, w), 0);
  EXPECT_EQ(Memory('D', 100, 4), BigEndian(8.0f));
  EXPECT_EQ(Memory('D', 104, 4), BigEndian(16.0f));
  EXPECT_EQ(Memory('D', 108, 4), (Bytes{0, 0, 0, 0})) << "only two values written";
}

TEST_F(WithPlc, BitCallsAddressOneBitOfAByte) {
  for (char l : kAOEIMD) {
    const uint8_t u = static_cast<uint8_t>(l);
    Preset(l, 10, {0x80, 0x00});
    BYTE b = 0xEE;
    ASSERT_EQ(KS7RdBit(ref, u, 5, 10, 7, &b), 0) << l;
    EXPECT_EQ(b, 1) << l;
    ASSERT_EQ(KS7RdBit(ref, u, 5, 10, 6, &b), 0) << l;
    EXPECT_EQ(b, 0) << l;

    ASSERT_EQ(KS7WrBit(ref, u, 5, 11, 3, 0x101), 0) << l << ": the low byte, 1, is sent";
    EXPECT_EQ(Memory(l, 11, 1), Bytes{0x08}) << l;
    ASSERT_EQ(KS7SetBit(ref, u, 5, 11, 0), 0) << l;
    EXPECT_EQ(Memory(l, 11, 1), Bytes{0x09}) << l;
    ASSERT_EQ(KS7ResetBit(ref, u, 5, 11, 3), 0) << l;
    EXPECT_EQ(Memory(l, 11, 1), Bytes{0x01}) << l;
  }
}

TEST_F(WithPlc, FailuresAreFoldedFromTheRecordsErr) {
  // A data block the PLC does not have: Err 2.
  WORD w[2] = {0xEEEE, 0xEEEE};
  EXPECT_EQ(KS7RdW(ref, 'D', 99, 0, 2, w), 2);
  EXPECT_EQ(w[0], 0xEEEE);
  BYTE b[2] = {};
  EXPECT_EQ(KS7WrB(ref, 'D', 99, 0, 2, b), 2);
  double d = -3;
  EXPECT_EQ(KS7RdReal(ref, 'D', 99, 0, 1, &d), 2);
  EXPECT_EQ(d, -3) << "a failed real read leaves the buffer alone";
  EXPECT_EQ(KS7RdBit(ref, 'D', 99, 0, 1, b), 2);
  EXPECT_EQ(KS7SetBit(ref, 'D', 99, 0, 1), 2);

  // Values the timer and counter writes refuse: -9, nothing sent.
  plc.clear_jobs();
  WORD c = 1000;
  EXPECT_EQ(KS7WrW(ref, 'Z', 0, 0, 1, &c), -9);
  DWORD t = 9990001;
  EXPECT_EQ(KS7WrDW(ref, 'T', 0, 0, 1, &t), -9);
  EXPECT_TRUE(plc.jobs().empty());

  // A count of 0 sends nothing and fails with Err still 0: -5.
  ASSERT_EQ(KS7RdB(ref, 'M', 0, 0, 1, b), 0);
  plc.clear_jobs();
  EXPECT_EQ(KS7RdB(ref, 'M', 0, 0, 0, b), -5);
  EXPECT_EQ(KS7WrW(ref, 'm', 0, 0, 0, w), -5);
  EXPECT_EQ(KS7RdDW(ref, 'D', 5, 0, 0x10000, &t), -5) << "the count is used as 16 bits";
  EXPECT_EQ(KS7RdReal(ref, 'D', 5, 0, 0, &d), -5);
  EXPECT_EQ(KS7WrReal(ref, 'E', 0, 0, 0, &d), -5);
  EXPECT_TRUE(plc.jobs().empty());
}

TEST_F(WithPlc, BusMembersAreListedByAddress) {
  WORD teiln[128];
  std::fill(std::begin(teiln), std::end(teiln), WORD{0xEEEE});
  ASSERT_EQ(KS7GetMPIMembers(ref, teiln), 0);
  EXPECT_NE(teiln[2], 0) << "the PLC at address 2";
  EXPECT_EQ(teiln[3], 0);
  EXPECT_EQ(teiln[126], 0);
  EXPECT_EQ(teiln[127], 0xEEEE) << "127 entries, no more";
}

// -------------------------------------------------------------- a dead line

// A partner that answers every STX with a byte that is not DLE: the library
// gives the bring-up up after its three attempts, without long waits.
class RudePartner {
 public:
  explicit RudePartner(int fd) : fd_(fd), thread_([this] { Run(); }) {}
  ~RudePartner() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Run() {
    uint8_t b;
    while (!stop_) {
      if (!s7sim::read_byte(fd_, b, 20)) continue;
      if (b == 0x02) {
        const uint8_t no = 0x00;
        s7sim::write_all(fd_, std::span<const uint8_t>(&no, 1));
      }
    }
  }
  int fd_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(KS7DeadLine, CallsReportMinusOneAndLeaveTheBuffersAlone) {
  s7test::PtyPort port(0);
  RudePartner partner(port.master());
  const LONG ref = KS7Open(0, 2, 0, 19200, 300);
  ASSERT_EQ(ref, 0);

  WORD w[2] = {0xEEEE, 0xEEEE};
  EXPECT_EQ(KS7RdW(ref, 'D', 5, 0, 2, w), -1);
  EXPECT_EQ(w[0], 0xEEEE);
  double d = -3;
  EXPECT_EQ(KS7RdReal(ref, 'M', 0, 0, 1, &d), -1);
  EXPECT_EQ(d, -3);
  EXPECT_EQ(KS7SetBit(ref, 'M', 0, 0, 1), -1);

  WORD teiln[127];
  std::fill(std::begin(teiln), std::end(teiln), WORD{0xEEEE});
  EXPECT_EQ(KS7GetMPIMembers(ref, teiln), -1) << "bringing the adapter up failed";
  for (WORD t : teiln) ASSERT_EQ(t, 0xEEEE);
  EXPECT_EQ(CStat[0].Status, 0);
  EXPECT_EQ(KS7Close(ref), 0);
}

}  // namespace
