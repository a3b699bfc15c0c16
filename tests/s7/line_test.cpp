// The S7 data services end to end: the library on a pty, the simulated MPI
// adapter with two simulated PLCs at the far end, which records every
// violation of the protocol. Memory is preset and read back in the PLCs
// directly; every item a PLC handled is in its jobs().
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstring>
#include <functional>
#include <numeric>

#include "mpi_adapter.hpp"
#include "peer.hpp"
#include "plc.hpp"
#include "s7int.h"

using namespace s7test;
using s7sim::Area;

namespace {

WORD Be16(const Bytes &v, size_t i) { return static_cast<WORD>((v[i] << 8) | v[i + 1]); }
DWORD Be32(const Bytes &v, size_t i) { return (DWORD{Be16(v, i)} << 16) | Be16(v, i + 2); }
Bytes FloatBE(float f) {
  const auto v = std::bit_cast<uint32_t>(f);
  return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

class S7Line : public ::testing::Test {
 protected:
  void SetUp() override {
    plc.add_db(10, 1024);
    for (size_t i = 0; i < 1024; ++i) db.push_back(static_cast<uint8_t>(1 + i * 7));
    plc.write_bytes(Area::DB, 10, 0, db);
    ad.add_station(2, plc);
    ad.add_station(7, plc7);
    ad.start();
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
  // The job part (from the job header on) of the last job block sent.
  std::string LastJob() {
    const auto bl = ad.blocks_from_pc();
    for (auto it = bl.rbegin(); it != bl.rend(); ++it)
      if (it->size() > 6 && (*it)[4] == 0xF1) return plain(Bytes(it->begin() + 6, it->end()));
    return "";
  }

  PtyPort port{0};
  s7sim::Plc plc, plc7;
  s7sim::MpiAdapter ad{port.master()};
  S7 s7{};
  Bytes db;  // DB 10 as preset
};

TEST_F(S7Line, ConnectAndBlockNumbers) {
  // the connect as it went out: the request, its confirmation, the reset job
  std::string all;
  for (const auto &b : ad.blocks_from_pc()) all += plain(b) + " ";
  EXPECT_NE(all.find("000D0003E0040080000201060100000102020100 000C14030501 "
                     "000C1403F10032010000010000080000F0000001000201E0 "),
            std::string::npos)
      << all;
  // block numbers run from 1 to 255, then from 1 again
  BYTE b;
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(S7RdDBB(&s7, 10, 0, 1, &b)) << i;
  EXPECT_EQ(s7.Tx.H.BlockNr, 3);
}

TEST_F(S7Line, JobsByteForByte) {
  WORD r3[3], w[3] = {0x0102, 0x0A0B, 42};
  BYTE v = 1;
  DWORD t[6] = {9991, 15};
  DWORD one = 0;
  float f[2] = {1.5f};
  const struct {
    std::function<int()> call;
    int result;
    const char *job;
  } rows[] = {
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
      // a double word at bit 32; reals of a data block by byte address
      {[&] { return S7Rd(&s7, 10, 4, 1, &one, 0x84, 4, 6, 0); }, 0,
       "320100000200000E00000401120A10020004000A84000020"},
      {[&] { return int(S7WrDBReal(&s7, 10, 81, 1, f)); }, 1,
       "320100000200000E00080501120A10020004000A84000288000400203FC00000"},
      {[&] { return int(S7RdDBReal(&s7, 10, 81, 1, f + 1)); }, 1,
       "320100000200000E00000401120A10020004000A84000288"},
      {[&] { return int(S7WrCounter(&s7, 300, 1, w + 2)); }, 0,  // beyond the PLC's counters
       "320100000200000E00060501120A101C000100001C00012C000900020042"}};
  for (const auto &r : rows) {
    EXPECT_EQ(r.call(), r.result) << r.job;
    EXPECT_EQ(LastJob(), r.job);
  }
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(one, Be32(db, 4));  // in host order; the written buffers are kept
  EXPECT_EQ(t[0] + f[0] + f[1], 9994.0f);
}

TEST_F(S7Line, EveryAreaIsReachedByItsCalls) {
  const struct {
    Area area;
    int code;
    BOOL (*WrB)(LPS7, int, int, LPBYTE);
    BOOL (*RdB)(LPS7, int, int, LPBYTE);
    BOOL (*RdW)(LPS7, int, int, LPWORD);
    BOOL (*WrW)(LPS7, int, int, LPWORD);
    BOOL (*RdDW)(LPS7, int, int, LPDWORD);
    BOOL (*WrDW)(LPS7, int, int, LPDWORD);
    BOOL (*RdR)(LPS7, int, int, float *);
    BOOL (*WrR)(LPS7, int, int, float *);
  } areas[] = {
      {Area::Inputs, 0x81, S7WrEB, S7RdEB, S7RdEW, S7WrEW, S7RdEDW, S7WrEDW, S7RdEReal, S7WrEReal},
      {Area::Outputs, 0x82, S7WrAB, S7RdAB, S7RdAW, S7WrAW, S7RdADW, S7WrADW, S7RdAReal, S7WrAReal},
      {Area::Flags, 0x83, S7WrMB, S7RdMB, S7RdMW, S7WrMW, S7RdMDW, S7WrMDW, S7RdMReal, S7WrMReal}};
  for (const auto &a : areas) {
    const auto k = static_cast<uint8_t>(a.code);
    BYTE wb[3] = {0x31, k, 0x33}, rb[2] = {};
    WORD w[2] = {}, ww[2] = {static_cast<WORD>(0x5100 | k), 0x5253};
    DWORD dw = 0xD0D1D2D3, rdw = 0;
    float r = 3.25f, rr = 0;
    // bytes at byte 3, read back as words from word 1 (bytes 2..5); words at
    // word 5 (bytes 10..13); double words and reals at byte addresses
    ASSERT_TRUE(a.WrB(&s7, 3, 3, wb) && a.RdW(&s7, 1, 2, w) && a.RdB(&s7, 4, 2, rb) &&
                a.WrW(&s7, 5, 2, ww) && a.WrDW(&s7, 17, 1, &dw) && a.RdDW(&s7, 10, 1, &rdw) &&
                a.WrR(&s7, 30, 1, &r) && a.RdR(&s7, 30, 1, &rr));
    EXPECT_EQ(
        hex({uint8_t(w[0] >> 8), uint8_t(w[0]), uint8_t(w[1] >> 8), uint8_t(w[1]), rb[0], rb[1]}),
        hex({0x00, 0x31, k, 0x33, k, 0x33}));
    EXPECT_EQ(plc.read_bytes(a.area, 0, 10, 11),
              concat({{0x51, k, 0x52, 0x53}, Bytes(3), {0xD0, 0xD1, 0xD2, 0xD3}}));
    EXPECT_EQ(rdw, 0x51005253u | (DWORD{k} << 16));
    EXPECT_EQ(plc.read_bytes(a.area, 0, 30, 4), FloatBE(3.25f));
    EXPECT_EQ(rr, 3.25f);
    char want[200];
    const int c = a.code;
    std::snprintf(want, sizeof want,
                  "W%X.0.24.3.2 R%X.0.16.4.2 R%X.0.32.2.2 W%X.0.80.4.2 W%X.0.136.4.2 R%X.0.80.4.2 "
                  "W%X.0.240.4.2 R%X.0.240.4.2 ",
                  c, c, c, c, c, c, c, c);
    EXPECT_EQ(Neu(), want);
  }
  // the byte calls send transport size 2 whatever they are given
  BYTE x[2] = {};
  ASSERT_TRUE(S7RdB(&s7, 10, 2, 2, x, 0x84, 4));
  EXPECT_EQ(Neu(), "R84.10.16.2.2 ");
}

TEST_F(S7Line, BitsTimersAndCounters) {
  BYTE one = 1, bit = 0xEE, zero = 0;
  plc.write_bytes(Area::Flags, 0, 4, Bytes{0x02});
  ASSERT_EQ(S7Wr(&s7, 0, 3, 1, &one, 0x83, 1, 1, 5), 0);
  EXPECT_EQ(hex(plc.read_bytes(Area::Flags, 0, 3, 1)), "20");
  ASSERT_EQ(S7Rd(&s7, 0, 3, 1, &bit, 0x83, 1, 1, 9), 0);  // bit 9 of byte 3: bit 1 of byte 4
  EXPECT_EQ(bit, 1);
  ASSERT_EQ(S7Rd(&s7, 0, 4, 1, &bit, 0x83, 1, 1, 0), 0);
  EXPECT_EQ(bit, 0);
  ASSERT_EQ(S7Wr(&s7, 0, 3, 1, &zero, 0x83, 1, 1, 5), 0);
  ASSERT_EQ(S7Wr(&s7, 10, 1000, 1, &one, 0x84, 1, 1, 7), 0);
  EXPECT_EQ(hex(plc.read_bytes(Area::Flags, 0, 3, 1)), "00");
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 1000, 1)[0] & 0x80, 0x80);
  EXPECT_EQ(Neu(), "W83.0.29.1.1 R83.0.33.1.1 R83.0.32.1.1 W83.0.29.1.1 W84.10.8007.1.1 ");

  const WORD preset[] = {0x2127, 0x0999, 0x3999, 0x4123, 0x00A5, 0x1001};
  for (int i = 0; i < 6; ++i) plc.set_timer(10 + i, preset[i]);
  DWORD ms[6] = {}, wr[] = {15, 16, 9990, 9991, 99950, 1000000, 9990000, 0}, bad[] = {500, 9990001};
  ASSERT_TRUE(S7RdTimer(&s7, 10, 6, ms));
  EXPECT_EQ(std::vector<DWORD>(ms, ms + 6),
            (std::vector<DWORD>{127000, 9990, 9990000, 1230, 50, 100}));
  ASSERT_TRUE(S7WrTimer(&s7, 20, 8, wr));
  std::string timers;
  for (int i = 20; i < 28; ++i)
    timers += plain({uint8_t(plc.timer(i) >> 8), uint8_t(plc.timer(i))});
  EXPECT_EQ(timers, "00010002099911002100310039990000");
  EXPECT_EQ(wr[3], 9991u);
  plc.set_timer(40, 0x0123);
  EXPECT_FALSE(S7WrTimer(&s7, 40, 2, bad));  // nothing written, not even the good value
  EXPECT_EQ(s7.Err * 0x10000 + plc.timer(40), -9 * 0x10000 + 0x0123);
  plc.set_counter(3, 0x7123);
  plc.set_counter(4, 0x0999);
  WORD z[2] = {}, wz[] = {0, 999, 42}, too_big[] = {1000};
  ASSERT_TRUE(S7RdCounter(&s7, 3, 2, z));
  EXPECT_EQ(z[0] * 1000 + z[1], 123999);
  ASSERT_TRUE(S7WrCounter(&s7, 5, 3, wz));
  EXPECT_EQ(plc.counter(5) + plc.counter(6) * 0x10000ull + plc.counter(7) * 0x100000000ull,
            0x0999 * 0x10000ull + 0x0042 * 0x100000000ull);
  EXPECT_FALSE(S7WrCounter(&s7, 8, 1, too_big));
  EXPECT_EQ(s7.Err, -9);
  EXPECT_EQ(Neu(), "R1D.0.10.6.1D W1D.0.20.8.1D R1C.0.3.2.1C W1C.0.5.3.1C ");
  // 200 timers: 111 and 89; the longest run: refused in the third job (the
  // PLC has 256 timers), the caller's buffer not written at all
  for (int i = 0; i < 200; ++i) plc.set_timer(i, static_cast<WORD>(0x1000 | (i % 10)));
  std::vector<DWORD> many(200), longest(65535, 7);
  ASSERT_TRUE(S7RdTimer(&s7, 0, 200, many.data()));
  for (int i = 0; i < 200; ++i) ASSERT_EQ(many[i], DWORD(i % 10) * 100) << i;
  EXPECT_EQ(Neu(), "R1D.0.0.111.1D R1D.0.111.89.1D ");
  EXPECT_FALSE(S7RdTimer(&s7, 0, 65535, longest.data()));
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(longest, std::vector<DWORD>(65535, 7));
  EXPECT_EQ(Neu(), "R1D.0.0.111.1D R1D.0.111.111.1D R1D.0.222.111.1D! ");
}

TEST_F(S7Line, RunsAreSplitIntoPacketsAtTheLimits) {
  std::vector<BYTE> b(500, 0);
  ASSERT_TRUE(S7RdDBB(&s7, 10, 7, 500, b.data()));
  EXPECT_EQ(b, std::vector<BYTE>(db.begin() + 7, db.begin() + 507));
  ASSERT_TRUE(S7RdDBB(&s7, 10, 0, 222, b.data()) && S7RdDBB(&s7, 10, 0, 223, b.data()));
  EXPECT_EQ(b[222], db[222]);
  std::vector<BYTE> wb(213);
  std::iota(wb.begin(), wb.end(), 0x80);
  ASSERT_TRUE(S7WrDBB(&s7, 10, 300, 213, wb.data()));
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 300, 213), wb);
  EXPECT_EQ(Neu(),
            "R84.10.56.222.2 R84.10.1832.222.2 R84.10.3608.56.2 R84.10.0.222.2 "
            "R84.10.0.222.2 R84.10.1776.1.2 W84.10.2400.212.2 W84.10.4096.1.2 ");
  // words: 111 per read, 106 per write, the start a word number; double
  // words: 55 per read, 53 per write, the start advancing in bytes
  const Bytes now = plc.read_bytes(Area::DB, 10, 0, 1024);
  std::vector<WORD> w(112), ww(107);
  std::vector<DWORD> d(60), wd(54);
  std::iota(ww.begin(), ww.end(), WORD{0x1200});
  std::iota(wd.begin(), wd.end(), 0xCAFE0000u);
  ASSERT_TRUE(S7RdDB(&s7, 10, 3, 112, w.data()) && S7WrDB(&s7, 10, 200, 107, ww.data()));
  const Bytes after = plc.read_bytes(Area::DB, 10, 0, 1024);
  ASSERT_TRUE(S7RdDBDW(&s7, 10, 8, 60, d.data()) && S7WrDBDW(&s7, 10, 600, 54, wd.data()));
  const Bytes dwrote = plc.read_bytes(Area::DB, 10, 0, 1024);
  for (int i = 0; i < 112; ++i) ASSERT_EQ(w[i], Be16(now, 6 + 2 * i)) << i;
  for (int i = 0; i < 107; ++i) ASSERT_EQ(Be16(after, 400 + 2 * i), ww[i]) << i;
  for (int i = 0; i < 60; ++i) ASSERT_EQ(d[i], Be32(now, 8 + 4 * i)) << i;
  for (int i = 0; i < 54; ++i) ASSERT_EQ(Be32(dwrote, 600 + 4 * i), wd[i]) << i;
  EXPECT_EQ(Neu(),
            "R84.10.48.222.2 R84.10.1824.2.2 W84.10.3200.212.2 W84.10.4896.2.2 "
            "R84.10.64.220.2 R84.10.1824.20.2 W84.10.4800.212.2 W84.10.6496.4.2 ");
}

TEST_F(S7Line, RefusalsKeepBuffersAndConnection) {
  // a missing data block: 1 from the job, FALSE from the run calls, Err 2,
  // the caller's buffer untouched, the connection kept
  std::vector<BYTE> buf(400, 0xEE);
  WORD w[2] = {0xEEEE, 0xEEEE};
  EXPECT_EQ(S7Rd(&s7, 99, 0, 4, buf.data(), 0x84, 1, 2, 0), 1);
  EXPECT_FALSE(S7RdDB(&s7, 99, 0, 2, w));
  EXPECT_EQ(S7Wr(&s7, 99, 0, 2, w, 0x84, 2, 2, 0), 1);
  EXPECT_EQ(s7.Err * 10 + s7.Status, 21);
  EXPECT_EQ(buf, std::vector<BYTE>(400, 0xEE));
  EXPECT_EQ(w[0], 0xEEEE);
  // a refusal in the second packet: the first packet's data are in
  plc.add_db(20, 300);
  plc.write_bytes(Area::DB, 20, 0, Bytes(db.begin(), db.begin() + 300));
  plc.clear_jobs();
  EXPECT_FALSE(S7RdDBB(&s7, 20, 0, 400, buf.data()));
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 222), Bytes(db.begin(), db.begin() + 222));
  EXPECT_EQ(Bytes(buf.begin() + 222, buf.end()), Bytes(178, 0xEE));
  std::fill(buf.begin(), buf.end(), 0x77);
  EXPECT_FALSE(S7WrDBB(&s7, 20, 0, 400, buf.data()));
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(plc.read_bytes(Area::DB, 20, 0, 300),
            concat({Bytes(212, 0x77), Bytes(db.begin() + 212, db.begin() + 300)}));
  EXPECT_EQ(Neu(), "R84.20.0.222.2 R84.20.1776.178.2! W84.20.0.212.2 W84.20.1696.188.2! ");
  // a PLC that takes large jobs: 282 data bytes fill the transmit block, 292
  // the receive block
  plc.set_pdu_size(960);
  std::fill(buf.begin(), buf.end(), 0x4D);
  std::vector<WORD> w146(146);
  ASSERT_EQ(S7Wr(&s7, 10, 100, 282, buf.data(), 0x84, 1, 2, 0), 0);
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 100, 282), Bytes(282, 0x4D));
  ASSERT_EQ(S7Rd(&s7, 10, 50, 146, w146.data(), 0x84, 2, 2, 0), 0);
  EXPECT_EQ(w146[140] * 0x10000 + w146[145], 0x4D4D * 0x10000 + Be16(db, 390));
  EXPECT_EQ(S7Wr(&s7, 10, 0, 283, buf.data(), 0x84, 1, 2, 0), -1);  // one more: refused
  EXPECT_EQ(s7.Err * 10 + s7.Status, 21);
  EXPECT_EQ(Neu(), "W84.10.800.282.2 R84.10.800.292.2 ");
}

TEST_F(S7Line, InformationServices) {
  plc.add_db(17, 123);
  plc.add_db(65535, 4);
  EXPECT_EQ(S7GetDBLen(&s7, 10) + S7GetDBLen(&s7, 65535), 1028);
  EXPECT_EQ(S7GetDBLen(&s7, 17), 123);
  EXPECT_EQ(LastJob(), "3207000002000008000C0001120411430300FF0900083041303030313742");
  EXPECT_EQ(S7GetDBLen(&s7, 99), 0);
  EXPECT_EQ(s7.Err * 10 + s7.Status, 21);
  std::array<WORD, 127> members;
  members.fill(0xEEEE);
  ASSERT_EQ(S7GetMPIMembers(&s7, members.data()), 1);
  for (size_t i = 0; i < members.size(); ++i)
    EXPECT_EQ(members[i] != 0, i == 0 || i == 2 || i == 7) << i;  // the PC, the two PLCs
  for (WORD t : members) EXPECT_NE(t, 0xEEEE);
  plc.set_cpu_text("CPU 224 REL 2.01");
  char text[17];
  std::memset(text, 'x', sizeof text);
  ASSERT_EQ(S7GetCPUInfo(&s7, text), 0);
  EXPECT_STREQ(text, "CPU 224 REL 2.01");
  EXPECT_TRUE(Neu().ends_with("R03.0.0.16.2 "));
}

}  // namespace
