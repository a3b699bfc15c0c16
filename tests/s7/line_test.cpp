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
using s7sim::JobRecord;

std::vector<uint8_t> Muster(size_t n, uint8_t start) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(start + i * 7);
  return v;
}

WORD Be16(const std::vector<uint8_t> &v, size_t i) {
  return static_cast<WORD>((v[i] << 8) | v[i + 1]);
}

DWORD Be32(const std::vector<uint8_t> &v, size_t i) {
  return (DWORD{v[i]} << 24) | (DWORD{v[i + 1]} << 16) | (DWORD{v[i + 2]} << 8) | v[i + 3];
}

std::vector<uint8_t> FloatBE(float f) {
  BYTE b[4];
  std::memcpy(b, &f, 4);
  return {b[3], b[2], b[1], b[0]};
}

// Compact text of an item for assertion messages and comparisons.
std::string Item(const JobRecord &j) {
  char s[96];
  std::snprintf(s, sizeof s, "%s area=%02X db=%u adr=%u cnt=%u ts=%02X rc=%02X",
                j.write ? "W" : "R", j.area, j.db, j.address, j.count, j.tsize, j.return_code);
  return s;
}

std::string Item(bool write, int area, int db, unsigned adr, unsigned cnt, int ts, int rc = 0xFF) {
  return Item(JobRecord{write, static_cast<uint8_t>(area), static_cast<uint16_t>(db), adr,
                        static_cast<uint16_t>(cnt), static_cast<uint8_t>(ts),
                        static_cast<uint8_t>(rc)});
}

std::vector<std::string> Items(const std::vector<JobRecord> &jobs) {
  std::vector<std::string> v;
  for (const auto &j : jobs) v.push_back(Item(j));
  return v;
}

// The job part (from the job header on) of the last job block the adapter
// took from the PC.
std::vector<uint8_t> JobPart(const s7sim::MpiAdapter &ad) {
  const auto bl = ad.blocks_from_pc();
  for (auto it = bl.rbegin(); it != bl.rend(); ++it)
    if (it->size() > 6 && (*it)[4] == 0xF1) return std::vector<uint8_t>(it->begin() + 6, it->end());
  return {};
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
  }

  void TearDown() override {
    S7Exit(&s7);
    ad.stop();
    const auto v = ad.violations();
    std::string text;
    for (const auto &s : v) text += s + "\n";
    EXPECT_TRUE(v.empty()) << text;
  }

  // Items handled since the last call.
  std::vector<std::string> Neu() {
    auto v = Items(plc.jobs());
    plc.clear_jobs();
    return v;
  }

  s7test::PtyPort port{0};
  s7sim::Plc plc;
  s7sim::Plc plc7;
  s7sim::MpiAdapter ad{port.master()};
  S7 s7{};
};

TEST_F(S7Line, BytesWordsDoubleWordsAndRealsFollowTheirAddressRules) {
  const auto db = plc.read_bytes(Area::DB, 10, 0, 1024);

  // Bytes: byte address.
  BYTE b[4] = {};
  ASSERT_TRUE(S7RdDBB(&s7, 10, 3, 4, b)) << s7.Err;
  EXPECT_EQ(std::vector<uint8_t>(b, b + 4), std::vector<uint8_t>(db.begin() + 3, db.begin() + 7));
  plc.clear_jobs();  // the first call also ran the connect

  // Words: word number 5 is bytes 10 and 11; host order.
  WORD w[3] = {};
  ASSERT_TRUE(S7RdDB(&s7, 10, 5, 3, w));
  EXPECT_EQ(w[0], Be16(db, 10));
  EXPECT_EQ(w[1], Be16(db, 12));
  EXPECT_EQ(w[2], Be16(db, 14));
  // Double words and reals: byte address whatever the element size.
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
  EXPECT_EQ(Neu(), (std::vector<std::string>{Item(false, 0x84, 10, 80, 6, 0x02),
                                             Item(false, 0x84, 10, 40, 8, 0x02),
                                             Item(false, 0x84, 10, 168, 8, 0x02)}));

  // The single-job call addresses a double word at byte 4 as bit 32.
  DWORD eins = 0;
  ASSERT_EQ(S7Rd(&s7, 10, 4, 1, &eins, 0x84, 4, 6, 0), 0);
  EXPECT_EQ(eins, Be32(db, 4));
  EXPECT_EQ(Neu(), std::vector<std::string>{Item(false, 0x84, 10, 32, 4, 0x02)});

  // A read into a buffer at an odd address.
  alignas(4) BYTE roh[9] = {};
  ASSERT_EQ(S7Rd(&s7, 10, 100, 2, roh + 1, 0x84, 4, 8, 0), 0);
  DWORD u = 0;
  std::memcpy(&u, roh + 5, 4);
  EXPECT_EQ(u, Be32(db, 104));
  plc.clear_jobs();

  // Writes: the wire carries big-endian, the caller's buffer stays as it was.
  WORD ww[2] = {0x0102, 0x0A0B};
  ASSERT_TRUE(S7WrDB(&s7, 10, 30, 2, ww));
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 60, 4), (std::vector<uint8_t>{1, 2, 0x0A, 0x0B}));
  EXPECT_EQ(ww[0], 0x0102);
  EXPECT_EQ(ww[1], 0x0A0B);
  DWORD wd[2] = {0x11223344, 0xA1B2C3D4};
  ASSERT_TRUE(S7WrDBDW(&s7, 10, 71, 2, wd));
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 71, 8),
            (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0xA1, 0xB2, 0xC3, 0xD4}));
  EXPECT_EQ(wd[0], 0x11223344u);
  float wf[2] = {-2.5f, 100.25f};
  ASSERT_TRUE(S7WrDBReal(&s7, 10, 81, 2, wf));
  auto erwartet = FloatBE(-2.5f);
  const auto zweiter = FloatBE(100.25f);
  erwartet.insert(erwartet.end(), zweiter.begin(), zweiter.end());
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 81, 8), erwartet);
  EXPECT_EQ(wf[0], -2.5f);
  EXPECT_EQ(wf[1], 100.25f);
  BYTE wb[3] = {0xC1, 0xC2, 0xC3};
  ASSERT_TRUE(S7WrDBB(&s7, 10, 95, 3, wb));
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 95, 3), (std::vector<uint8_t>{0xC1, 0xC2, 0xC3}));
  EXPECT_EQ(Neu(), (std::vector<std::string>{
                       Item(true, 0x84, 10, 480, 4, 0x02), Item(true, 0x84, 10, 568, 8, 0x02),
                       Item(true, 0x84, 10, 648, 8, 0x02), Item(true, 0x84, 10, 760, 3, 0x02)}));
}

TEST_F(S7Line, JobsTravelByteForByte) {
  auto Hex = [](const std::vector<uint8_t> &v) { return s7test::hex(v); };
  auto LetzterJob = [this] { return JobPart(ad); };

  WORD w[3] = {};
  ASSERT_EQ(S7Rd(&s7, 10, 5, 3, w, 0x84, 2, 2, 0), 0) << s7.Err;
  EXPECT_EQ(Hex(LetzterJob()),
            "32 01 00 00 02 00 00 0E 00 00 04 01 12 0A 10 02 00 06 00 0A 84 00 00 50");

  WORD mw[2] = {0x0102, 0x0A0B};
  ASSERT_TRUE(S7WrMW(&s7, 10, 2, mw));
  EXPECT_EQ(Hex(LetzterJob()),
            "32 01 00 00 02 00 00 0E 00 08 05 01 12 0A 10 02 00 04 00 00 83 00 00 A0 "
            "00 04 00 20 01 02 0A 0B");

  BYTE v = 1;
  ASSERT_EQ(S7Wr(&s7, 0, 3, 1, &v, 0x83, 1, 1, 5), 0);
  EXPECT_EQ(Hex(LetzterJob()),
            "32 01 00 00 02 00 00 0E 00 05 05 01 12 0A 10 01 00 01 00 00 83 00 00 1D "
            "00 03 00 01 01");

  DWORD t[4] = {};
  ASSERT_TRUE(S7RdTimer(&s7, 10, 4, t));
  EXPECT_EQ(Hex(LetzterJob()),
            "32 01 00 00 02 00 00 0E 00 00 04 01 12 0A 10 1D 00 04 00 00 1D 00 00 0A");

  DWORD ms[2] = {9991, 15};
  ASSERT_TRUE(S7WrTimer(&s7, 7, 2, ms));
  EXPECT_EQ(Hex(LetzterJob()),
            "32 01 00 00 02 00 00 0E 00 08 05 01 12 0A 10 1D 00 02 00 00 1D 00 00 07 "
            "00 09 00 04 11 00 00 01");

  WORD z[1] = {42};
  EXPECT_FALSE(S7WrCounter(&s7, 300, 1, z));  // beyond the PLC's counters: refused
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(Hex(LetzterJob()),
            "32 01 00 00 02 00 00 0E 00 06 05 01 12 0A 10 1C 00 01 00 00 1C 00 01 2C "
            "00 09 00 02 00 42");
}

TEST_F(S7Line, EveryAreaIsReachedByItsCalls) {
  struct Bereich {
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
  };
  const Bereich bereiche[] = {
      {Area::Inputs, 0x81, S7WrEB, S7RdEB, S7RdEW, S7WrEW, S7RdEDW, S7WrEDW, S7RdEReal, S7WrEReal},
      {Area::Outputs, 0x82, S7WrAB, S7RdAB, S7RdAW, S7WrAW, S7RdADW, S7WrADW, S7RdAReal, S7WrAReal},
      {Area::Flags, 0x83, S7WrMB, S7RdMB, S7RdMW, S7WrMW, S7RdMDW, S7WrMDW, S7RdMReal, S7WrMReal},
  };
  ASSERT_TRUE(S7RdDBB(&s7, 10, 0, 1, std::array<BYTE, 1>{}.data()));  // connect
  plc.clear_jobs();
  for (const Bereich &b : bereiche) {
    SCOPED_TRACE(b.code);
    const uint8_t k = static_cast<uint8_t>(b.code);
    // Bytes written at byte 3, read back as words from word 1 (bytes 2..5).
    BYTE wb[3] = {0x31, k, 0x33};
    ASSERT_TRUE(b.WrB(&s7, 3, 3, wb));
    EXPECT_EQ(plc.read_bytes(b.area, 0, 3, 3), (std::vector<uint8_t>{0x31, k, 0x33}));
    WORD w[2] = {};
    ASSERT_TRUE(b.RdW(&s7, 1, 2, w));
    EXPECT_EQ(w[0], 0x0031);
    EXPECT_EQ(w[1], (k << 8) | 0x33);
    BYTE rb[2] = {};
    ASSERT_TRUE(b.RdB(&s7, 4, 2, rb));
    EXPECT_EQ(rb[0], k);
    EXPECT_EQ(rb[1], 0x33);
    // Words written at word 5 (bytes 10..13).
    WORD ww[2] = {static_cast<WORD>(0x5100 | k), 0x5253};
    ASSERT_TRUE(b.WrW(&s7, 5, 2, ww));
    EXPECT_EQ(plc.read_bytes(b.area, 0, 10, 4), (std::vector<uint8_t>{0x51, k, 0x52, 0x53}));
    // Double words and reals at byte addresses.
    DWORD dw = 0xD0D1D2D3;
    ASSERT_TRUE(b.WrDW(&s7, 17, 1, &dw));
    EXPECT_EQ(plc.read_bytes(b.area, 0, 17, 4), (std::vector<uint8_t>{0xD0, 0xD1, 0xD2, 0xD3}));
    DWORD rdw = 0;
    ASSERT_TRUE(b.RdDW(&s7, 10, 1, &rdw));
    EXPECT_EQ(rdw, 0x51005253u | (DWORD{k} << 16));
    float r = 3.25f;
    ASSERT_TRUE(b.WrR(&s7, 30, 1, &r));
    EXPECT_EQ(plc.read_bytes(b.area, 0, 30, 4), FloatBE(3.25f));
    float rr = 0;
    ASSERT_TRUE(b.RdR(&s7, 30, 1, &rr));
    EXPECT_EQ(rr, 3.25f);
    const int c = b.code;
    EXPECT_EQ(Neu(), (std::vector<std::string>{
                         Item(true, c, 0, 24, 3, 2), Item(false, c, 0, 16, 4, 2),
                         Item(false, c, 0, 32, 2, 2), Item(true, c, 0, 80, 4, 2),
                         Item(true, c, 0, 136, 4, 2), Item(false, c, 0, 80, 4, 2),
                         Item(true, c, 0, 240, 4, 2), Item(false, c, 0, 240, 4, 2)}));
  }
  // Flag words by word number, flag double words by byte address.
  plc.write_bytes(Area::Flags, 0, 4, std::vector<uint8_t>{0x40, 0x41, 0x42, 0x43});
  plc.write_bytes(Area::Flags, 0, 10, std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA3});
  WORD mw[2] = {};
  ASSERT_TRUE(S7RdMW(&s7, 5, 2, mw));
  EXPECT_EQ(mw[0], 0xA0A1);
  EXPECT_EQ(mw[1], 0xA2A3);
  DWORD md = 0;
  ASSERT_TRUE(S7RdMDW(&s7, 4, 1, &md));
  EXPECT_EQ(md, 0x40414243u);
  // The byte calls send transport size 2 whatever they are given.
  BYTE x[2] = {};
  ASSERT_TRUE(S7RdB(&s7, 10, 2, 2, x, 0x84, 4));
  EXPECT_EQ(Neu(), (std::vector<std::string>{Item(false, 0x83, 0, 80, 4, 2),
                                             Item(false, 0x83, 0, 32, 4, 2),
                                             Item(false, 0x84, 10, 16, 2, 2)}));
}

TEST_F(S7Line, BitsAreAddressedByBitNumber) {
  BYTE eins = 1;
  ASSERT_EQ(S7Wr(&s7, 0, 3, 1, &eins, 0x83, 1, 1, 5), 0) << s7.Err;
  EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 3, 1), std::vector<uint8_t>{0x20});
  EXPECT_EQ(eins, 1);
  plc.write_bytes(Area::Flags, 0, 4, std::vector<uint8_t>{0x02});
  BYTE bit = 0xEE;
  // Bit 9 of byte 3 is bit 1 of byte 4.
  ASSERT_EQ(S7Rd(&s7, 0, 3, 1, &bit, 0x83, 1, 1, 9), 0);
  EXPECT_EQ(bit, 1);
  ASSERT_EQ(S7Rd(&s7, 0, 4, 1, &bit, 0x83, 1, 1, 0), 0);
  EXPECT_EQ(bit, 0);
  BYTE null = 0;
  ASSERT_EQ(S7Wr(&s7, 0, 3, 1, &null, 0x83, 1, 1, 5), 0);
  EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 3, 1), std::vector<uint8_t>{0x00});
  // Bits of a data block.
  ASSERT_EQ(S7Wr(&s7, 10, 1000, 1, &eins, 0x84, 1, 1, 7), 0);
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 1000, 1)[0] & 0x80, 0x80);
  const auto jobs = Items(plc.jobs());
  ASSERT_GE(jobs.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(jobs.end() - 5, jobs.end()),
            (std::vector<std::string>{Item(true, 0x83, 0, 29, 1, 1), Item(false, 0x83, 0, 33, 1, 1),
                                      Item(false, 0x83, 0, 32, 1, 1), Item(true, 0x83, 0, 29, 1, 1),
                                      Item(true, 0x84, 10, 8007, 1, 1)}));
}

TEST_F(S7Line, TimersAndCountersConvertBothWays) {
  const WORD preset[] = {0x2127, 0x0999, 0x3999, 0x4123, 0x00A5, 0x1001};
  for (int i = 0; i < 6; ++i) plc.set_timer(10 + i, preset[i]);
  DWORD ms[6] = {};
  ASSERT_TRUE(S7RdTimer(&s7, 10, 6, ms)) << s7.Err;
  EXPECT_EQ(std::vector<DWORD>(ms, ms + 6),
            (std::vector<DWORD>{127000, 9990, 9990000, 1230, 50, 100}));
  auto jobs = plc.jobs();
  ASSERT_FALSE(jobs.empty());
  EXPECT_EQ(Item(jobs.back()), Item(false, 0x1D, 0, 10, 6, 0x1D));
  plc.clear_jobs();

  DWORD wr[] = {15, 16, 9990, 9991, 99950, 1000000, 9990000, 0};
  ASSERT_TRUE(S7WrTimer(&s7, 20, 8, wr));
  const WORD erwartet[] = {0x0001, 0x0002, 0x0999, 0x1100, 0x2100, 0x3100, 0x3999, 0x0000};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(plc.timer(20 + i), erwartet[i]) << i;
  EXPECT_EQ(wr[3], 9991u);
  EXPECT_EQ(Neu(), std::vector<std::string>{Item(true, 0x1D, 0, 20, 8, 0x1D)});

  // Out of range: nothing is written, not even the good values before it.
  plc.set_timer(40, 0x0123);
  DWORD schlecht[] = {500, 9990001};
  EXPECT_FALSE(S7WrTimer(&s7, 40, 2, schlecht));
  EXPECT_EQ(s7.Err, -9);
  EXPECT_EQ(plc.timer(40), 0x0123);

  plc.set_counter(3, 0x7123);
  plc.set_counter(4, 0x0999);
  WORD z[2] = {};
  ASSERT_TRUE(S7RdCounter(&s7, 3, 2, z));
  EXPECT_EQ(z[0], 123);
  EXPECT_EQ(z[1], 999);
  WORD wz[] = {0, 999, 42};
  ASSERT_TRUE(S7WrCounter(&s7, 5, 3, wz));
  EXPECT_EQ(plc.counter(5), 0x0000);
  EXPECT_EQ(plc.counter(6), 0x0999);
  EXPECT_EQ(plc.counter(7), 0x0042);
  WORD zuviel[] = {1000};
  EXPECT_FALSE(S7WrCounter(&s7, 8, 1, zuviel));
  EXPECT_EQ(s7.Err, -9);
  EXPECT_EQ(Neu(), (std::vector<std::string>{Item(false, 0x1C, 0, 3, 2, 0x1C),
                                             Item(true, 0x1C, 0, 5, 3, 0x1C)}));

  // 200 timers: 111 and 89.
  for (int i = 0; i < 200; ++i) plc.set_timer(i, static_cast<WORD>(0x1000 | (i % 10)));
  std::vector<DWORD> viele(200, 0xFFFFFFFF);
  ASSERT_TRUE(S7RdTimer(&s7, 0, 200, viele.data()));
  for (int i = 0; i < 200; ++i) ASSERT_EQ(viele[i], DWORD(i % 10) * 100) << i;
  EXPECT_EQ(Neu(), (std::vector<std::string>{Item(false, 0x1D, 0, 0, 111, 0x1D),
                                             Item(false, 0x1D, 0, 111, 89, 0x1D)}));

  // The longest run: its storage is had; the PLC has 256 timers, so the
  // third job is refused and the caller's buffer is not written at all.
  std::vector<DWORD> lang(65535, 7);
  EXPECT_FALSE(S7RdTimer(&s7, 0, 65535, lang.data()));
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(lang[0], 7u);
  EXPECT_EQ(lang[65534], 7u);
  jobs = plc.jobs();
  ASSERT_EQ(jobs.size(), 3u);
  EXPECT_NE(jobs[2].return_code, 0xFF);
}

TEST_F(S7Line, RunsAreSplitIntoPacketsAtTheLimits) {
  const auto db = plc.read_bytes(Area::DB, 10, 0, 1024);
  ASSERT_TRUE(S7RdDBB(&s7, 10, 0, 1, std::array<BYTE, 1>{}.data()));  // connect
  plc.clear_jobs();

  std::vector<BYTE> b(500, 0);
  ASSERT_TRUE(S7RdDBB(&s7, 10, 7, 500, b.data()));
  EXPECT_EQ(b, std::vector<BYTE>(db.begin() + 7, db.begin() + 507));
  EXPECT_EQ(Neu(), (std::vector<std::string>{Item(false, 0x84, 10, 7 * 8, 222, 2),
                                             Item(false, 0x84, 10, 229 * 8, 222, 2),
                                             Item(false, 0x84, 10, 451 * 8, 56, 2)}));
  ASSERT_TRUE(S7RdDBB(&s7, 10, 0, 222, b.data()));
  EXPECT_EQ(Neu(), std::vector<std::string>{Item(false, 0x84, 10, 0, 222, 2)});
  ASSERT_TRUE(S7RdDBB(&s7, 10, 0, 223, b.data()));
  EXPECT_EQ(b[222], db[222]);
  EXPECT_EQ(Neu(), (std::vector<std::string>{Item(false, 0x84, 10, 0, 222, 2),
                                             Item(false, 0x84, 10, 222 * 8, 1, 2)}));

  const auto neu = Muster(213, 0x80);
  std::vector<BYTE> wb(neu.begin(), neu.end());
  ASSERT_TRUE(S7WrDBB(&s7, 10, 300, 213, wb.data()));
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 300, 213), neu);
  EXPECT_EQ(Neu(), (std::vector<std::string>{Item(true, 0x84, 10, 300 * 8, 212, 2),
                                             Item(true, 0x84, 10, 512 * 8, 1, 2)}));

  // Words: 111 per read, 106 per write; the start is a word number.
  const auto db2 = plc.read_bytes(Area::DB, 10, 0, 1024);
  std::vector<WORD> w(112, 0);
  ASSERT_TRUE(S7RdDB(&s7, 10, 3, 112, w.data()));
  for (int i = 0; i < 112; ++i) ASSERT_EQ(w[i], Be16(db2, 6 + 2 * i)) << i;
  std::vector<WORD> ww(107);
  std::iota(ww.begin(), ww.end(), WORD{0x1200});
  ASSERT_TRUE(S7WrDB(&s7, 10, 200, 107, ww.data()));
  const auto geschrieben = plc.read_bytes(Area::DB, 10, 400, 214);
  for (int i = 0; i < 107; ++i) ASSERT_EQ(Be16(geschrieben, 2 * i), ww[i]) << i;
  EXPECT_EQ(Neu(),
            (std::vector<std::string>{
                Item(false, 0x84, 10, 6 * 8, 222, 2), Item(false, 0x84, 10, 228 * 8, 2, 2),
                Item(true, 0x84, 10, 400 * 8, 212, 2), Item(true, 0x84, 10, 612 * 8, 2, 2)}));

  // Double words: 55 per read, 53 per write; the start advances in bytes.
  const auto db3 = plc.read_bytes(Area::DB, 10, 0, 1024);
  std::vector<DWORD> d(60, 0);
  ASSERT_TRUE(S7RdDBDW(&s7, 10, 8, 60, d.data()));
  for (int i = 0; i < 60; ++i) ASSERT_EQ(d[i], Be32(db3, 8 + 4 * i)) << i;
  std::vector<DWORD> wd(54);
  for (int i = 0; i < 54; ++i) wd[i] = 0xCAFE0000u + i;
  ASSERT_TRUE(S7WrDBDW(&s7, 10, 600, 54, wd.data()));
  const auto dgeschrieben = plc.read_bytes(Area::DB, 10, 600, 216);
  for (int i = 0; i < 54; ++i) ASSERT_EQ(Be32(dgeschrieben, 4 * i), wd[i]) << i;
  EXPECT_EQ(Neu(),
            (std::vector<std::string>{
                Item(false, 0x84, 10, 8 * 8, 220, 2), Item(false, 0x84, 10, 228 * 8, 20, 2),
                Item(true, 0x84, 10, 600 * 8, 212, 2), Item(true, 0x84, 10, 812 * 8, 4, 2)}));
}

TEST_F(S7Line, RefusalsKeepBuffersAndConnection) {
  // A missing data block: 1 from the job, 0 from the run calls, Err 2, the
  // caller's buffer untouched, the connection kept.
  BYTE buf[8];
  std::memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(S7Rd(&s7, 99, 0, 4, buf, 0x84, 1, 2, 0), 1);
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(buf[0], 0xEE);
  EXPECT_EQ(buf[3], 0xEE);
  EXPECT_TRUE(s7.Status);
  WORD w[2] = {0xEEEE, 0xEEEE};
  EXPECT_FALSE(S7RdDB(&s7, 99, 0, 2, w));
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(w[0], 0xEEEE);
  EXPECT_EQ(S7Wr(&s7, 99, 0, 2, w, 0x84, 2, 2, 0), 1);
  EXPECT_EQ(s7.Err, 2);
  EXPECT_TRUE(s7.Status);

  // A refusal in the second packet: the first packet's data are in.
  plc.add_db(20, 300);
  const auto inhalt = Muster(300, 9);
  plc.write_bytes(Area::DB, 20, 0, inhalt);
  plc.clear_jobs();
  std::vector<BYTE> gross(400, 0xEE);
  EXPECT_FALSE(S7RdDBB(&s7, 20, 0, 400, gross.data()));
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(std::vector<BYTE>(gross.begin(), gross.begin() + 222),
            std::vector<BYTE>(inhalt.begin(), inhalt.begin() + 222));
  EXPECT_EQ(std::vector<BYTE>(gross.begin() + 222, gross.end()), std::vector<BYTE>(178, 0xEE));
  auto jobs = plc.jobs();
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].return_code, 0xFF);
  EXPECT_NE(jobs[1].return_code, 0xFF);
  plc.clear_jobs();
  std::vector<BYTE> neu(400, 0x77);
  EXPECT_FALSE(S7WrDBB(&s7, 20, 0, 400, neu.data()));
  EXPECT_EQ(s7.Err, 2);
  const auto danach = plc.read_bytes(Area::DB, 20, 0, 300);
  EXPECT_EQ(std::vector<BYTE>(danach.begin(), danach.begin() + 212), std::vector<BYTE>(212, 0x77));
  EXPECT_EQ(std::vector<BYTE>(danach.begin() + 212, danach.end()),
            std::vector<BYTE>(inhalt.begin() + 212, inhalt.end()));
  EXPECT_EQ(plc.jobs().size(), 2u);

  // More than one job can carry: refused before anything is sent, the
  // connection as it was.
  plc.clear_jobs();
  std::vector<BYTE> riesig(400, 0x11);
  EXPECT_EQ(S7Wr(&s7, 10, 0, 283, riesig.data(), 0x84, 1, 2, 0), -1);
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(S7Wr(&s7, 10, 0, 32768, riesig.data(), 0x84, 2, 2, 0), -1);
  EXPECT_EQ(S7Rd(&s7, 10, 0, 293, riesig.data(), 0x84, 1, 2, 0), -1);
  EXPECT_EQ(S7Rd(&s7, 0, 0, 147, riesig.data(), 0x1D, 2, 0x1D, 0), -1);
  EXPECT_EQ(s7.Err, 2);
  EXPECT_TRUE(s7.Status);
  EXPECT_EQ(riesig, std::vector<BYTE>(400, 0x11));
  EXPECT_TRUE(plc.jobs().empty());
  BYTE eins = 0;
  EXPECT_EQ(S7Rd(&s7, 10, 1, 1, &eins, 0x84, 1, 2, 0), 0);
  EXPECT_EQ(s7.Err, 0);
  EXPECT_EQ(eins, plc.read_bytes(Area::DB, 10, 1, 1)[0]);
}

TEST_F(S7Line, LargestJobsFillTheBlocks) {
  // A PLC that takes large jobs: 282 data bytes fill the transmit block, 292
  // fill the receive block; one more is refused without a job.
  plc.set_pdu_size(960);
  std::vector<BYTE> voll(300, 0x4D);
  ASSERT_EQ(S7Wr(&s7, 10, 100, 282, voll.data(), 0x84, 1, 2, 0), 0) << s7.Err;
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 100, 282), std::vector<uint8_t>(282, 0x4D));
  std::vector<WORD> w(146, 0);
  ASSERT_EQ(S7Rd(&s7, 10, 50, 146, w.data(), 0x84, 2, 2, 0), 0) << s7.Err;
  const auto db = plc.read_bytes(Area::DB, 10, 100, 292);
  for (int i = 0; i < 146; ++i) ASSERT_EQ(w[i], Be16(db, 2 * i)) << i;
  plc.clear_jobs();
  EXPECT_EQ(S7Wr(&s7, 10, 0, 283, voll.data(), 0x84, 1, 2, 0), -1);
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(S7Rd(&s7, 10, 0, 293, voll.data(), 0x84, 1, 2, 0), -1);
  EXPECT_EQ(s7.Err, 2);
  EXPECT_TRUE(plc.jobs().empty());
  EXPECT_TRUE(s7.Status);
}

TEST_F(S7Line, InformationServices) {
  plc.add_db(17, 123);
  EXPECT_EQ(S7GetDBLen(&s7, 10), 1024);
  EXPECT_EQ(s7.Err, 0);
  EXPECT_EQ(S7GetDBLen(&s7, 17), 123);
  EXPECT_EQ(s7test::hex(JobPart(ad)),
            "32 07 00 00 02 00 00 08 00 0C 00 01 12 04 11 43 03 00 "
            "FF 09 00 08 30 41 30 30 30 31 37 42");
  EXPECT_EQ(S7GetDBLen(&s7, 99), 0);
  EXPECT_EQ(s7.Err, 2);
  EXPECT_TRUE(s7.Status);
  plc.add_db(65535, 4);
  EXPECT_EQ(S7GetDBLen(&s7, 65535), 4);

  std::array<WORD, 127> teiln;
  teiln.fill(0xEEEE);
  ASSERT_EQ(S7GetMPIMembers(&s7, teiln.data()), 1);
  EXPECT_NE(teiln[2], 0);
  EXPECT_NE(teiln[7], 0);
  EXPECT_EQ(teiln[5], 0);
  EXPECT_EQ(teiln[126], 0);
  for (WORD t : teiln) EXPECT_NE(t, 0xEEEE);

  plc.set_cpu_text("CPU 224 REL 2.01");
  char text[17];
  std::memset(text, 'x', sizeof text);
  ASSERT_EQ(S7GetCPUInfo(&s7, text), 0);
  EXPECT_STREQ(text, "CPU 224 REL 2.01");
  const auto jobs = plc.jobs();
  ASSERT_FALSE(jobs.empty());
  EXPECT_EQ(Item(jobs.back()), Item(false, 0x03, 0, 0, 16, 2));
}

}  // namespace
