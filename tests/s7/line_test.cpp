// The S7 data services end to end: the library on a pty, the simulated MPI
// adapter with two simulated PLCs at the far end. Memory is preset and
// read back in the PLCs directly; every item a PLC handled is in its jobs().
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "mpi_adapter.hpp"
#include "plc.hpp"
#include "s7int.h"
#include "testutil.hpp"

namespace {

using s7sim::Area;
using Bytes = std::vector<uint8_t>;
using Items = std::vector<std::string>;

Bytes Muster(size_t n, uint8_t start) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(start + i * 7);
  return v;
}
WORD Be16(const Bytes &v, size_t i) { return static_cast<WORD>((v[i] << 8) | v[i + 1]); }
DWORD Be32(const Bytes &v, size_t i) { return (DWORD{Be16(v, i)} << 16) | Be16(v, i + 2); }
Bytes FloatBE(float f) {
  BYTE b[4];
  std::memcpy(b, &f, 4);
  return {b[3], b[2], b[1], b[0]};
}

// An item as text: W/R, area, DB, bit address (timers, counters: number),
// count, transport size, return code.
std::string Item(bool write, int area, int db, unsigned adr, unsigned cnt, int ts, int rc = 0xFF) {
  char s[96];
  std::snprintf(s, sizeof s, "%s area=%02X db=%d adr=%u cnt=%u ts=%02X rc=%02X", write ? "W" : "R",
                area, db, adr, cnt, ts, rc);
  return s;
}

class S7Line : public ::testing::Test {
 protected:
  void SetUp() override {
    plc.add_db(10, 1024);
    plc.write_bytes(Area::DB, 10, 0, Muster(1024, 1));
    ad.add_station(2, plc);
    ad.add_station(7, plc7);
    ad.start();
    ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 19200));
    ASSERT_TRUE(S7RdDBB(&s7, 10, 0, 1, std::array<BYTE, 1>{}.data()));  // connect
    db = plc.read_bytes(Area::DB, 10, 0, 1024);
    plc.clear_jobs();
  }
  void TearDown() override {
    S7Exit(&s7);
    ad.stop();
    std::string text;
    for (const auto &s : ad.violations()) text += s + "\n";
    EXPECT_EQ(text, "");
  }
  // Items handled since the last call.
  Items Neu() {
    Items v;
    for (const auto &j : plc.jobs())
      v.push_back(Item(j.write, j.area, j.db, j.address, j.count, j.tsize, j.return_code));
    plc.clear_jobs();
    return v;
  }
  // The job part (from the job header on) of the last job block sent.
  std::string LastJob() {
    const auto bl = ad.blocks_from_pc();
    for (auto it = bl.rbegin(); it != bl.rend(); ++it)
      if (it->size() > 6 && (*it)[4] == 0xF1) return s7test::hex(Bytes(it->begin() + 6, it->end()));
    return "";
  }

  s7test::PtyPort port{0};
  s7sim::Plc plc, plc7;
  s7sim::MpiAdapter ad{port.master()};
  S7 s7{};
  Bytes db;  // DB 10 as preset
};

TEST_F(S7Line, DataBlockAddressRulesAndByteOrder) {
  // bytes by byte address, words by word number (5: bytes 10, 11), double
  // words and reals by byte address; all in host order
  BYTE b[4] = {};
  ASSERT_TRUE(S7RdDBB(&s7, 10, 3, 4, b)) << s7.Err;
  EXPECT_EQ(Bytes(b, b + 4), Bytes(db.begin() + 3, db.begin() + 7));
  WORD w[3] = {};
  ASSERT_TRUE(S7RdDB(&s7, 10, 5, 3, w));
  EXPECT_EQ(w[0], Be16(db, 10));
  EXPECT_EQ(w[2], Be16(db, 14));
  DWORD dw[2] = {};
  ASSERT_TRUE(S7RdDBDW(&s7, 10, 5, 2, dw));
  EXPECT_EQ(dw[0], Be32(db, 5));
  EXPECT_EQ(dw[1], Be32(db, 9));
  plc.write_bytes(Area::DB, 10, 21, FloatBE(1.5f));
  plc.write_bytes(Area::DB, 10, 25, FloatBE(-1234.5f));
  float f[2] = {};
  ASSERT_TRUE(S7RdDBReal(&s7, 10, 21, 2, f));
  EXPECT_EQ(f[0], 1.5f);
  EXPECT_EQ(f[1], -1234.5f);
  // the single-job call addresses a double word at byte 4 as bit 32; a read
  // into a buffer at an odd address
  DWORD eins = 0;
  ASSERT_EQ(S7Rd(&s7, 10, 4, 1, &eins, 0x84, 4, 6, 0), 0);
  EXPECT_EQ(eins, Be32(db, 4));
  alignas(4) BYTE roh[9] = {};
  ASSERT_EQ(S7Rd(&s7, 10, 100, 2, roh + 1, 0x84, 4, 8, 0), 0);
  std::memcpy(&eins, roh + 5, 4);
  EXPECT_EQ(eins, Be32(db, 104));
  EXPECT_EQ(Neu(), (Items{Item(0, 0x84, 10, 24, 4, 2), Item(0, 0x84, 10, 80, 6, 2),
                          Item(0, 0x84, 10, 40, 8, 2), Item(0, 0x84, 10, 168, 8, 2),
                          Item(0, 0x84, 10, 32, 4, 2), Item(0, 0x84, 10, 800, 8, 2)}));

  // writes: big-endian on the wire, the caller's buffer left as it was
  WORD ww[2] = {0x0102, 0x0A0B};
  ASSERT_TRUE(S7WrDB(&s7, 10, 30, 2, ww));
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 60, 4), (Bytes{1, 2, 0x0A, 0x0B}));
  DWORD wd[2] = {0x11223344, 0xA1B2C3D4};
  ASSERT_TRUE(S7WrDBDW(&s7, 10, 71, 2, wd));
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 71, 8),
            (Bytes{0x11, 0x22, 0x33, 0x44, 0xA1, 0xB2, 0xC3, 0xD4}));
  float wf[2] = {-2.5f, 100.25f};
  ASSERT_TRUE(S7WrDBReal(&s7, 10, 81, 2, wf));
  Bytes want = FloatBE(-2.5f), second = FloatBE(100.25f);
  want.insert(want.end(), second.begin(), second.end());
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 81, 8), want);
  BYTE wb[3] = {0xC1, 0xC2, 0xC3};
  ASSERT_TRUE(S7WrDBB(&s7, 10, 95, 3, wb));
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 95, 3), (Bytes{0xC1, 0xC2, 0xC3}));
  EXPECT_EQ(ww[0], 0x0102);
  EXPECT_EQ(wd[0], 0x11223344u);
  EXPECT_EQ(wf[1], 100.25f);
  EXPECT_EQ(Neu(), (Items{Item(1, 0x84, 10, 480, 4, 2), Item(1, 0x84, 10, 568, 8, 2),
                          Item(1, 0x84, 10, 648, 8, 2), Item(1, 0x84, 10, 760, 3, 2)}));
}

TEST_F(S7Line, JobsTravelByteForByte) {
  WORD w[3] = {};
  ASSERT_EQ(S7Rd(&s7, 10, 5, 3, w, 0x84, 2, 2, 0), 0) << s7.Err;
  EXPECT_EQ(LastJob(), "32 01 00 00 02 00 00 0E 00 00 04 01 12 0A 10 02 00 06 00 0A 84 00 00 50");
  WORD mw[2] = {0x0102, 0x0A0B};
  ASSERT_TRUE(S7WrMW(&s7, 10, 2, mw));
  EXPECT_EQ(LastJob(),
            "32 01 00 00 02 00 00 0E 00 08 05 01 12 0A 10 02 00 04 00 00 83 00 00 A0 "
            "00 04 00 20 01 02 0A 0B");
  BYTE v = 1;
  ASSERT_EQ(S7Wr(&s7, 0, 3, 1, &v, 0x83, 1, 1, 5), 0);
  EXPECT_EQ(LastJob(),
            "32 01 00 00 02 00 00 0E 00 05 05 01 12 0A 10 01 00 01 00 00 83 00 00 1D "
            "00 03 00 01 01");
  DWORD t[4] = {};
  ASSERT_TRUE(S7RdTimer(&s7, 10, 4, t));
  EXPECT_EQ(LastJob(), "32 01 00 00 02 00 00 0E 00 00 04 01 12 0A 10 1D 00 04 00 00 1D 00 00 0A");
  DWORD ms[2] = {9991, 15};
  ASSERT_TRUE(S7WrTimer(&s7, 7, 2, ms));
  EXPECT_EQ(LastJob(),
            "32 01 00 00 02 00 00 0E 00 08 05 01 12 0A 10 1D 00 02 00 00 1D 00 00 07 "
            "00 09 00 04 11 00 00 01");
  WORD z[1] = {42};
  EXPECT_FALSE(S7WrCounter(&s7, 300, 1, z));  // beyond the PLC's counters: refused
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(LastJob(),
            "32 01 00 00 02 00 00 0E 00 06 05 01 12 0A 10 1C 00 01 00 00 1C 00 01 2C "
            "00 09 00 02 00 42");
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
      {Area::Flags, 0x83, S7WrMB, S7RdMB, S7RdMW, S7WrMW, S7RdMDW, S7WrMDW, S7RdMReal, S7WrMReal},
  };
  for (const auto &b : areas) {
    SCOPED_TRACE(b.code);
    const uint8_t k = static_cast<uint8_t>(b.code);
    // bytes written at byte 3, read back as words from word 1 (bytes 2..5)
    BYTE wb[3] = {0x31, k, 0x33}, rb[2] = {};
    ASSERT_TRUE(b.WrB(&s7, 3, 3, wb));
    EXPECT_EQ(plc.read_bytes(b.area, 0, 3, 3), (Bytes{0x31, k, 0x33}));
    WORD w[2] = {}, ww[2] = {static_cast<WORD>(0x5100 | k), 0x5253};
    ASSERT_TRUE(b.RdW(&s7, 1, 2, w));
    EXPECT_EQ(w[0], 0x0031);
    EXPECT_EQ(w[1], (k << 8) | 0x33);
    ASSERT_TRUE(b.RdB(&s7, 4, 2, rb));
    EXPECT_EQ(rb[0], k);
    EXPECT_EQ(rb[1], 0x33);
    // words written at word 5 (bytes 10..13); double words and reals at byte addresses
    ASSERT_TRUE(b.WrW(&s7, 5, 2, ww));
    EXPECT_EQ(plc.read_bytes(b.area, 0, 10, 4), (Bytes{0x51, k, 0x52, 0x53}));
    DWORD dw = 0xD0D1D2D3, rdw = 0;
    ASSERT_TRUE(b.WrDW(&s7, 17, 1, &dw));
    EXPECT_EQ(plc.read_bytes(b.area, 0, 17, 4), (Bytes{0xD0, 0xD1, 0xD2, 0xD3}));
    ASSERT_TRUE(b.RdDW(&s7, 10, 1, &rdw));
    EXPECT_EQ(rdw, 0x51005253u | (DWORD{k} << 16));
    float r = 3.25f, rr = 0;
    ASSERT_TRUE(b.WrR(&s7, 30, 1, &r));
    EXPECT_EQ(plc.read_bytes(b.area, 0, 30, 4), FloatBE(3.25f));
    ASSERT_TRUE(b.RdR(&s7, 30, 1, &rr));
    EXPECT_EQ(rr, 3.25f);
    const int c = b.code;
    EXPECT_EQ(Neu(),
              (Items{Item(1, c, 0, 24, 3, 2), Item(0, c, 0, 16, 4, 2), Item(0, c, 0, 32, 2, 2),
                     Item(1, c, 0, 80, 4, 2), Item(1, c, 0, 136, 4, 2), Item(0, c, 0, 80, 4, 2),
                     Item(1, c, 0, 240, 4, 2), Item(0, c, 0, 240, 4, 2)}));
  }
  // the byte calls send transport size 2 whatever they are given
  BYTE x[2] = {};
  ASSERT_TRUE(S7RdB(&s7, 10, 2, 2, x, 0x84, 4));
  EXPECT_EQ(Neu(), Items{Item(0, 0x84, 10, 16, 2, 2)});
}

TEST_F(S7Line, BitsAreAddressedByBitNumber) {
  BYTE eins = 1, bit = 0xEE, null = 0;
  ASSERT_EQ(S7Wr(&s7, 0, 3, 1, &eins, 0x83, 1, 1, 5), 0) << s7.Err;
  EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 3, 1), Bytes{0x20});
  EXPECT_EQ(eins, 1);
  plc.write_bytes(Area::Flags, 0, 4, Bytes{0x02});
  ASSERT_EQ(S7Rd(&s7, 0, 3, 1, &bit, 0x83, 1, 1, 9), 0);  // bit 9 of byte 3: bit 1 of byte 4
  EXPECT_EQ(bit, 1);
  ASSERT_EQ(S7Rd(&s7, 0, 4, 1, &bit, 0x83, 1, 1, 0), 0);
  EXPECT_EQ(bit, 0);
  ASSERT_EQ(S7Wr(&s7, 0, 3, 1, &null, 0x83, 1, 1, 5), 0);
  EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 3, 1), Bytes{0x00});
  ASSERT_EQ(S7Wr(&s7, 10, 1000, 1, &eins, 0x84, 1, 1, 7), 0);  // a bit of a data block
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 1000, 1)[0] & 0x80, 0x80);
  EXPECT_EQ(Neu(), (Items{Item(1, 0x83, 0, 29, 1, 1), Item(0, 0x83, 0, 33, 1, 1),
                          Item(0, 0x83, 0, 32, 1, 1), Item(1, 0x83, 0, 29, 1, 1),
                          Item(1, 0x84, 10, 8007, 1, 1)}));
}

TEST_F(S7Line, TimersAndCountersConvertBothWays) {
  const WORD preset[] = {0x2127, 0x0999, 0x3999, 0x4123, 0x00A5, 0x1001};
  for (int i = 0; i < 6; ++i) plc.set_timer(10 + i, preset[i]);
  DWORD ms[6] = {};
  ASSERT_TRUE(S7RdTimer(&s7, 10, 6, ms)) << s7.Err;
  EXPECT_EQ(std::vector<DWORD>(ms, ms + 6),
            (std::vector<DWORD>{127000, 9990, 9990000, 1230, 50, 100}));
  DWORD wr[] = {15, 16, 9990, 9991, 99950, 1000000, 9990000, 0};
  ASSERT_TRUE(S7WrTimer(&s7, 20, 8, wr));
  const WORD want[] = {0x0001, 0x0002, 0x0999, 0x1100, 0x2100, 0x3100, 0x3999, 0x0000};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(plc.timer(20 + i), want[i]) << i;
  EXPECT_EQ(wr[3], 9991u);
  // out of range: nothing is written, not even the good values before it
  plc.set_timer(40, 0x0123);
  DWORD bad[] = {500, 9990001};
  EXPECT_FALSE(S7WrTimer(&s7, 40, 2, bad));
  EXPECT_EQ(s7.Err, -9);
  EXPECT_EQ(plc.timer(40), 0x0123);

  plc.set_counter(3, 0x7123);
  plc.set_counter(4, 0x0999);
  WORD z[2] = {}, wz[] = {0, 999, 42}, too_big[] = {1000};
  ASSERT_TRUE(S7RdCounter(&s7, 3, 2, z));
  EXPECT_EQ(z[0], 123);
  EXPECT_EQ(z[1], 999);
  ASSERT_TRUE(S7WrCounter(&s7, 5, 3, wz));
  EXPECT_EQ(plc.counter(5), 0x0000);
  EXPECT_EQ(plc.counter(6), 0x0999);
  EXPECT_EQ(plc.counter(7), 0x0042);
  EXPECT_FALSE(S7WrCounter(&s7, 8, 1, too_big));
  EXPECT_EQ(s7.Err, -9);
  EXPECT_EQ(Neu(), (Items{Item(0, 0x1D, 0, 10, 6, 0x1D), Item(1, 0x1D, 0, 20, 8, 0x1D),
                          Item(0, 0x1C, 0, 3, 2, 0x1C), Item(1, 0x1C, 0, 5, 3, 0x1C)}));

  // 200 timers: 111 and 89
  for (int i = 0; i < 200; ++i) plc.set_timer(i, static_cast<WORD>(0x1000 | (i % 10)));
  std::vector<DWORD> many(200, 0xFFFFFFFF);
  ASSERT_TRUE(S7RdTimer(&s7, 0, 200, many.data()));
  for (int i = 0; i < 200; ++i) ASSERT_EQ(many[i], DWORD(i % 10) * 100) << i;
  EXPECT_EQ(Neu(), (Items{Item(0, 0x1D, 0, 0, 111, 0x1D), Item(0, 0x1D, 0, 111, 89, 0x1D)}));
  // the longest run: its storage is had; the PLC has 256 timers, so the
  // third job is refused and the caller's buffer is not written at all
  std::vector<DWORD> longest(65535, 7);
  EXPECT_FALSE(S7RdTimer(&s7, 0, 65535, longest.data()));
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(longest[0], 7u);
  EXPECT_EQ(longest[65534], 7u);
  const auto jobs = plc.jobs();
  ASSERT_EQ(jobs.size(), 3u);
  EXPECT_NE(jobs[2].return_code, 0xFF);
}

TEST_F(S7Line, RunsAreSplitIntoPacketsAtTheLimits) {
  std::vector<BYTE> b(500, 0);
  ASSERT_TRUE(S7RdDBB(&s7, 10, 7, 500, b.data()));
  EXPECT_EQ(b, std::vector<BYTE>(db.begin() + 7, db.begin() + 507));
  ASSERT_TRUE(S7RdDBB(&s7, 10, 0, 222, b.data()));
  ASSERT_TRUE(S7RdDBB(&s7, 10, 0, 223, b.data()));
  EXPECT_EQ(b[222], db[222]);
  const Bytes neu = Muster(213, 0x80);
  std::vector<BYTE> wb(neu.begin(), neu.end());
  ASSERT_TRUE(S7WrDBB(&s7, 10, 300, 213, wb.data()));
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 300, 213), neu);
  EXPECT_EQ(Neu(), (Items{Item(0, 0x84, 10, 7 * 8, 222, 2), Item(0, 0x84, 10, 229 * 8, 222, 2),
                          Item(0, 0x84, 10, 451 * 8, 56, 2), Item(0, 0x84, 10, 0, 222, 2),
                          Item(0, 0x84, 10, 0, 222, 2), Item(0, 0x84, 10, 222 * 8, 1, 2),
                          Item(1, 0x84, 10, 300 * 8, 212, 2), Item(1, 0x84, 10, 512 * 8, 1, 2)}));

  // words: 111 per read, 106 per write, the start a word number; double
  // words: 55 per read, 53 per write, the start advancing in bytes
  const Bytes now = plc.read_bytes(Area::DB, 10, 0, 1024);
  std::vector<WORD> w(112, 0), ww(107);
  ASSERT_TRUE(S7RdDB(&s7, 10, 3, 112, w.data()));
  for (int i = 0; i < 112; ++i) ASSERT_EQ(w[i], Be16(now, 6 + 2 * i)) << i;
  std::iota(ww.begin(), ww.end(), WORD{0x1200});
  ASSERT_TRUE(S7WrDB(&s7, 10, 200, 107, ww.data()));
  const Bytes wrote = plc.read_bytes(Area::DB, 10, 400, 214);
  for (int i = 0; i < 107; ++i) ASSERT_EQ(Be16(wrote, 2 * i), ww[i]) << i;
  std::vector<DWORD> d(60, 0), wd(54);
  ASSERT_TRUE(S7RdDBDW(&s7, 10, 8, 60, d.data()));
  for (int i = 0; i < 60; ++i) ASSERT_EQ(d[i], Be32(now, 8 + 4 * i)) << i;
  for (int i = 0; i < 54; ++i) wd[i] = 0xCAFE0000u + i;
  ASSERT_TRUE(S7WrDBDW(&s7, 10, 600, 54, wd.data()));
  const Bytes dwrote = plc.read_bytes(Area::DB, 10, 600, 216);
  for (int i = 0; i < 54; ++i) ASSERT_EQ(Be32(dwrote, 4 * i), wd[i]) << i;
  EXPECT_EQ(Neu(), (Items{Item(0, 0x84, 10, 6 * 8, 222, 2), Item(0, 0x84, 10, 228 * 8, 2, 2),
                          Item(1, 0x84, 10, 400 * 8, 212, 2), Item(1, 0x84, 10, 612 * 8, 2, 2),
                          Item(0, 0x84, 10, 8 * 8, 220, 2), Item(0, 0x84, 10, 228 * 8, 20, 2),
                          Item(1, 0x84, 10, 600 * 8, 212, 2), Item(1, 0x84, 10, 812 * 8, 4, 2)}));
}

TEST_F(S7Line, RefusalsKeepBuffersAndConnection) {
  // a missing data block: 1 from the job, FALSE from the run calls, Err 2,
  // the caller's buffer untouched, the connection kept
  BYTE buf[8];
  std::memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(S7Rd(&s7, 99, 0, 4, buf, 0x84, 1, 2, 0), 1);
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(Bytes(buf, buf + 8), Bytes(8, 0xEE));
  WORD w[2] = {0xEEEE, 0xEEEE};
  EXPECT_FALSE(S7RdDB(&s7, 99, 0, 2, w));
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(w[0], 0xEEEE);
  EXPECT_EQ(S7Wr(&s7, 99, 0, 2, w, 0x84, 2, 2, 0), 1);
  EXPECT_EQ(s7.Err, 2);
  EXPECT_TRUE(s7.Status);

  // a refusal in the second packet: the first packet's data are in
  plc.add_db(20, 300);
  const Bytes inhalt = Muster(300, 9);
  plc.write_bytes(Area::DB, 20, 0, inhalt);
  plc.clear_jobs();
  std::vector<BYTE> big(400, 0xEE);
  EXPECT_FALSE(S7RdDBB(&s7, 20, 0, 400, big.data()));
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(Bytes(big.begin(), big.begin() + 222), Bytes(inhalt.begin(), inhalt.begin() + 222));
  EXPECT_EQ(Bytes(big.begin() + 222, big.end()), Bytes(178, 0xEE));
  std::fill(big.begin(), big.end(), 0x77);
  EXPECT_FALSE(S7WrDBB(&s7, 20, 0, 400, big.data()));
  EXPECT_EQ(s7.Err, 2);
  const Bytes after = plc.read_bytes(Area::DB, 20, 0, 300);
  EXPECT_EQ(Bytes(after.begin(), after.begin() + 212), Bytes(212, 0x77));
  EXPECT_EQ(Bytes(after.begin() + 212, after.end()), Bytes(inhalt.begin() + 212, inhalt.end()));
  const auto jobs = plc.jobs();
  ASSERT_EQ(jobs.size(), 4u);
  EXPECT_EQ(jobs[0].return_code, 0xFF);
  EXPECT_NE(jobs[1].return_code, 0xFF);
  EXPECT_EQ(jobs[2].return_code, 0xFF);
  EXPECT_NE(jobs[3].return_code, 0xFF);

  // a PLC that takes large jobs: 282 data bytes fill the transmit block, 292
  // the receive block; one more, or a length that wraps in 16 bits, is
  // refused before anything is sent, the connection as it was
  plc.set_pdu_size(960);
  plc.clear_jobs();
  std::vector<BYTE> full(400, 0x4D);
  ASSERT_EQ(S7Wr(&s7, 10, 100, 282, full.data(), 0x84, 1, 2, 0), 0) << s7.Err;
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 100, 282), Bytes(282, 0x4D));
  std::vector<WORD> w146(146, 0);
  ASSERT_EQ(S7Rd(&s7, 10, 50, 146, w146.data(), 0x84, 2, 2, 0), 0) << s7.Err;
  for (int i = 0; i < 146; ++i)
    ASSERT_EQ(w146[i], i < 141 ? 0x4D4D : Be16(db, 382 + 2 * (i - 141))) << i;
  plc.clear_jobs();
  EXPECT_EQ(S7Wr(&s7, 10, 0, 283, full.data(), 0x84, 1, 2, 0), -1);
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(S7Wr(&s7, 10, 0, 32768, full.data(), 0x84, 2, 2, 0), -1);
  EXPECT_EQ(S7Rd(&s7, 10, 0, 293, full.data(), 0x84, 1, 2, 0), -1);
  EXPECT_EQ(S7Rd(&s7, 0, 0, 147, full.data(), 0x1D, 2, 0x1D, 0), -1);
  EXPECT_EQ(s7.Err, 2);
  EXPECT_TRUE(s7.Status);
  EXPECT_EQ(full, std::vector<BYTE>(400, 0x4D));
  EXPECT_TRUE(plc.jobs().empty());
  BYTE one = 0;
  EXPECT_EQ(S7Rd(&s7, 10, 1, 1, &one, 0x84, 1, 2, 0), 0);
  EXPECT_EQ(s7.Err, 0);
  EXPECT_EQ(one, db[1]);
}

TEST_F(S7Line, InformationServices) {
  plc.add_db(17, 123);
  EXPECT_EQ(S7GetDBLen(&s7, 10), 1024);
  EXPECT_EQ(s7.Err, 0);
  EXPECT_EQ(S7GetDBLen(&s7, 17), 123);
  EXPECT_EQ(LastJob(),
            "32 07 00 00 02 00 00 08 00 0C 00 01 12 04 11 43 03 00 "
            "FF 09 00 08 30 41 30 30 30 31 37 42");
  EXPECT_EQ(S7GetDBLen(&s7, 99), 0);
  EXPECT_EQ(s7.Err, 2);
  EXPECT_TRUE(s7.Status);
  plc.add_db(65535, 4);
  EXPECT_EQ(S7GetDBLen(&s7, 65535), 4);

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
  EXPECT_EQ(Neu().back(), Item(0, 0x03, 0, 0, 16, 2));
}

}  // namespace
