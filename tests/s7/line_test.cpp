// The S7 data services end to end: the library on a pty, the simulated MPI
// adapter with a simulated PLC, which records every protocol violation.
// Memory is preset and read back in the PLC; every item it handled is in
// its jobs().
#include <gtest/gtest.h>

#include <array>
#include <numeric>

#include "device.hpp"
#include "peer.hpp"
#include "s7int.h"

using namespace s7test;
using s7sim::Area;

namespace {

template <class T>
Bytes Be(const std::vector<T> &v) {
  Bytes out;
  for (T x : v)
    for (int k = sizeof(T) - 1; k >= 0; --k) out.push_back(uint8_t(x >> (8 * k)));
  return out;
}

class S7Line : public ::testing::Test {
 protected:
  void SetUp() override {
    plc.add_db(10, 1024);
    for (size_t i = 0; i < 1024; ++i) db.push_back(static_cast<uint8_t>(1 + i * 7));
    plc.write_bytes(Area::DB, 10, 0, db);
    ad.start(port.master());
    ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 19200));
    ASSERT_TRUE(S7RdDBB(&s7, 10, 0, 1, std::array<BYTE, 1>{}.data()));  // connect
    plc.clear_jobs();
  }
  void TearDown() override {
    S7Exit(&s7);
    ad.stop();
    EXPECT_EQ(joined(ad.violations()), "");
  }
  // Items handled since the last call: R|W area.db.bit-address.count.size[!rc]
  std::string Neu() {
    std::string v;
    char s[64];
    for (const auto &j : plc.jobs()) {
      std::snprintf(s, sizeof s, "%c%02X.%d.%u.%u.%X%s ", j.write ? 'W' : 'R', j.area, j.db,
                    j.address, j.count, j.tsize, j.return_code == 0xFF ? "" : "!");
      v += s;
    }
    plc.clear_jobs();
    return v;
  }

  PtyPort port{0};
  s7sim::Plc plc;
  s7sim::Device ad{false, {{2, &plc}}};
  S7 s7{};
  Bytes db;  // DB 10 as preset
};

TEST_F(S7Line, ConnectBlockNumbersAndJobBytes) {
  BYTE b;
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(S7RdDBB(&s7, 10, 0, 1, &b)) << i;
  EXPECT_EQ(s7.Tx.H.BlockNr, 3);  // 1 to 255, then 1 again

  plc.add_db(17, 123);
  WORD r3[3], w[3] = {0x0102, 0x0A0B, 42};
  BYTE v = 1;
  DWORD t[6] = {9991, 15};
  float f = 1.5f;
  const std::tuple<std::function<int()>, int, const char *> rows[] = {
      {[&] { return S7Rd(&s7, 10, 5, 3, r3, 0x84, 2, 2, 0); }, 0,
       "320100000200000E00000401120A10020006000A84000050"},
      {[&] { return int(S7WrMW(&s7, 10, 2, w)); }, 1,
       "320100000200000E00080501120A100200040000830000A00004002001020A0B"},
      {[&] { return S7Wr(&s7, 0, 3, 1, &v, 0x83, 1, 1, 5); }, 0,
       "320100000200000E00050501120A1001000100008300001D0003000101"},
      {[&] { return int(S7RdTimer(&s7, 10, 4, t + 2)); }, 1,
       "320100000200000E00000401120A101D000400001D00000A"},
      {[&] { return int(S7WrTimer(&s7, 7, 2, t)); }, 1,
       "320100000200000E00080501120A101D000200001D0000070009000411000001"},
      {[&] { return int(S7WrDBReal(&s7, 10, 10001, 1, &f)); }, 0,  // byte 10001: beyond DB 10
       "320100000200000E00080501120A10020004000A84013888000400203FC00000"},
      {[&] { return S7GetDBLen(&s7, 17); }, 123,
       "3207000002000008000C0001120411430300FF0900083041303030313742"},
      {[&] { return int(S7WrCounter(&s7, 300, 1, w + 2)); }, 0,  // beyond the PLC's counters
       "320100000200000E00060501120A101C000100001C00012C000900020042"}};
  for (const auto &[call, result, job] : rows) {
    EXPECT_EQ(call(), result) << job;
    const auto bl = ad.adapter()->blocks_from_pc();
    auto it = std::find_if(bl.rbegin(), bl.rend(), [](auto &b) { return b[4] == 0xF1; });
    EXPECT_EQ(plain(Bytes(it->begin() + 6, it->end())), job);
  }
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(t[0], 9991u) << "the caller's timer values are not touched";
}

TEST_F(S7Line, InputsAndTimerRuns) {
  BYTE x[3] = {0x31, 0x32, 0x33};
  WORD w = 0x5152;
  DWORD dw = 0xD0D1D2D3;
  ASSERT_TRUE(S7WrEB(&s7, 3, 3, x) && S7WrEW(&s7, 5, 1, &w) && S7WrEDW(&s7, 17, 1, &dw) &&
              S7RdB(&s7, 10, 2, 2, x, 0x84, 4));
  EXPECT_EQ(plain(plc.read_bytes(Area::Inputs, 0, 3, 18)), "3132330000000051520000000000D0D1D2D3");
  EXPECT_EQ(Neu(),
            "W81.0.24.3.2 W81.0.80.2.2 W81.0.136.4.2 "
            "R84.10.16.2.2 ");
  // 200 timers: 111 and 89; the longest run: refused in the third job (the
  // PLC has 256 timers), the caller's buffer not written at all
  for (int i = 0; i < 200; ++i) plc.set_timer(i, static_cast<WORD>(0x1000 | (i % 10)));
  std::vector<DWORD> many(200), longest(65535, 7);
  ASSERT_TRUE(S7RdTimer(&s7, 0, 200, many.data()));
  for (int i = 0; i < 200; ++i) ASSERT_EQ(many[i], DWORD(i % 10) * 100) << i;
  EXPECT_FALSE(S7RdTimer(&s7, 0, 65535, longest.data()));
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(longest, std::vector<DWORD>(65535, 7));
  EXPECT_EQ(Neu(),
            "R1D.0.0.111.1D R1D.0.111.89.1D R1D.0.0.111.1D R1D.0.111.111.1D R1D.0.222.111.1D! ");
}

TEST_F(S7Line, PacketLimitsAndRefusals) {
  std::vector<BYTE> b(500, 0), wb(213);
  std::iota(wb.begin(), wb.end(), 0x80);
  ASSERT_TRUE(S7RdDBB(&s7, 10, 7, 500, b.data()));
  EXPECT_EQ(b, Bytes(db.begin() + 7, db.begin() + 507));
  ASSERT_TRUE(S7WrDBB(&s7, 10, 300, 213, wb.data()));
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 300, 213), wb);
  // words: 111 per read, 106 per write, the start a word number; double
  // words: 55 per read, 53 per write, the start a byte address
  std::vector<WORD> w(112), ww(107);
  std::vector<DWORD> d(60), wd(54);
  std::iota(ww.begin(), ww.end(), WORD{0x1200});
  std::iota(wd.begin(), wd.end(), 0xCAFE0000u);
  ASSERT_TRUE(S7RdDB(&s7, 10, 3, 112, w.data()) && S7WrDB(&s7, 10, 200, 107, ww.data()) &&
              S7RdDBDW(&s7, 10, 8, 60, d.data()) && S7WrDBDW(&s7, 10, 700, 54, wd.data()));
  EXPECT_EQ(Be(w), Bytes(db.begin() + 6, db.begin() + 230));
  EXPECT_EQ(Be(d), Bytes(db.begin() + 8, db.begin() + 248));
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 400, 214), Be(ww));
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 700, 216), Be(wd));
  EXPECT_EQ(Neu(),
            "R84.10.56.222.2 R84.10.1832.222.2 R84.10.3608.56.2 W84.10.2400.212.2 W84.10.4096.1.2 "
            "R84.10.48.222.2 R84.10.1824.2.2 W84.10.3200.212.2 W84.10.4896.2.2 "
            "R84.10.64.220.2 R84.10.1824.20.2 W84.10.5600.212.2 W84.10.7296.4.2 ");
  std::vector<BYTE> buf(400, 0xEE);
  // a refusal in the second packet: the first packet's data are in
  plc.add_db(20, 300);
  plc.write_bytes(Area::DB, 20, 0, Bytes(db.begin(), db.begin() + 300));
  plc.clear_jobs();
  EXPECT_FALSE(S7RdDBB(&s7, 20, 0, 400, buf.data()));
  EXPECT_EQ(buf, concat({Bytes(db.begin(), db.begin() + 222), Bytes(178, 0xEE)}));
  std::fill(buf.begin(), buf.end(), 0x77);
  EXPECT_FALSE(S7WrDBB(&s7, 20, 0, 400, buf.data()));
  EXPECT_EQ(plc.read_bytes(Area::DB, 20, 0, 300),
            concat({Bytes(212, 0x77), Bytes(db.begin() + 212, db.begin() + 300)}));
  // a PLC that takes large jobs: 282 data bytes fill the transmit block, 292
  // the receive block
  plc.set_pdu_size(960);
  std::vector<WORD> w146(146);
  ASSERT_EQ(S7Wr(&s7, 10, 100, 282, buf.data(), 0x84, 1, 2, 0), 0);
  ASSERT_EQ(S7Rd(&s7, 10, 50, 146, w146.data(), 0x84, 2, 2, 0), 0);
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 100, 282), Bytes(282, 0x77));
  EXPECT_EQ(Be(std::vector{w146[140], w146[145]}),
            concat({{0x77, 0x77}, plc.read_bytes(Area::DB, 10, 390, 2)}));
  EXPECT_EQ(Neu(),
            "R84.20.0.222.2 R84.20.1776.178.2! W84.20.0.212.2 W84.20.1696.188.2! "
            "W84.10.800.282.2 R84.10.800.292.2 ");
  plc.add_db(65535, 4);
  EXPECT_EQ(S7GetDBLen(&s7, 10) + S7GetDBLen(&s7, 65535) * 10000, 41024);
  EXPECT_EQ(S7GetDBLen(&s7, 99), 0);
  EXPECT_EQ(s7.Err * 10 + s7.Status, 21);
}

}  // namespace
