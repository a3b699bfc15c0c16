// The S7 data services over PPI, end to end: the library on the pty's slave
// side, the simulated S7-200 at station 2 on the master side.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

#include "plc.hpp"
#include "ppi_station.hpp"
#include "s7conn.h"
#include "s7serial.h"
#include "testutil.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
using s7sim::Area;

constexpr int kCom = 1;
constexpr int kPlc = 2;
constexpr int kPc = 0;

class PpiEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    plc.add_db(1, 1024);
    plc.add_db(5, 1024);
    station.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(S7PPIInit(&s7, kCom, kPlc, kPc, 9600));
  }
  void TearDown() override {
    S7Exit(&s7);
    station.stop();
  }

  // The packets of the last run: count and start of each item, in order.
  std::vector<std::pair<unsigned, unsigned>> packets() {
    std::vector<std::pair<unsigned, unsigned>> out;
    for (const auto &j : plc.jobs()) out.emplace_back(j.count, j.address);
    plc.clear_jobs();
    return out;
  }
  // Smallest gap between the SD2 requests from index `from` on, in ms.
  double min_request_gap(size_t from) {
    const auto t = station.request_times();
    double gap = 1e9;
    for (size_t i = from + 1; i < t.size(); ++i)
      gap = std::min(gap, std::chrono::duration<double, std::milli>(t[i] - t[i - 1]).count());
    return gap;
  }
  void expect_clean() {
    const auto v = station.violations();
    EXPECT_TRUE(v.empty()) << v.front();
  }

  s7test::PtyPort port{kCom};
  s7sim::Plc plc;
  s7sim::PpiStation station{port.master(), kPlc, plc};
  S7 s7{};
};

TEST_F(PpiEndToEnd, BytesInPacketsOf90WithPauses) {
  Bytes data(200);
  std::iota(data.begin(), data.end(), 1);
  ASSERT_TRUE(S7WrDBB(&s7, 1, 10, 200, data.data()));
  EXPECT_EQ(s7.Err, 0);
  using P = std::pair<unsigned, unsigned>;
  EXPECT_EQ(packets(), (std::vector<P>{{90, 80}, {90, 800}, {20, 1520}}));
  EXPECT_EQ(plc.read_bytes(Area::DB, 1, 10, 200), data);
  const size_t first = station.request_times().size() - 3;
  EXPECT_GE(min_request_gap(first), 15.0);

  Bytes back(200, 0);
  ASSERT_TRUE(S7RdDBB(&s7, 1, 10, 200, back.data()));
  EXPECT_EQ(back, data);
  EXPECT_EQ(packets(), (std::vector<P>{{90, 80}, {90, 800}, {20, 1520}}));
  EXPECT_GE(min_request_gap(station.request_times().size() - 3), 15.0);

  // The other byte areas.
  Bytes m{9, 8, 7};
  ASSERT_TRUE(S7WrMB(&s7, 4, 3, m.data()));
  EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 4, 3), m);
  ASSERT_TRUE(S7WrAB(&s7, 1, 2, m.data()));
  EXPECT_EQ(plc.read_bytes(Area::Outputs, 0, 1, 2), Bytes(m.begin(), m.begin() + 2));
  plc.write_bytes(Area::Inputs, 0, 0, Bytes{0x5A, 0xA5});
  Bytes e(2);
  ASSERT_TRUE(S7RdEB(&s7, 0, 2, e.data()));
  EXPECT_EQ(e, (Bytes{0x5A, 0xA5}));
  expect_clean();
}

TEST_F(PpiEndToEnd, WordsInPacketsOf45WithPauses) {
  std::vector<WORD> w(100);
  for (size_t i = 0; i < w.size(); ++i) w[i] = static_cast<WORD>(0x1000 + i * 3);
  ASSERT_TRUE(S7WrDB(&s7, 5, 2, 100, w.data()));
  using P = std::pair<unsigned, unsigned>;
  // Word numbers 2, 47, 92 are bytes 4, 94, 184.
  EXPECT_EQ(packets(), (std::vector<P>{{90, 32}, {90, 752}, {20, 1472}}));
  EXPECT_GE(min_request_gap(station.request_times().size() - 3), 15.0);
  const Bytes raw = plc.read_bytes(Area::DB, 5, 4, 4);
  EXPECT_EQ(raw, (Bytes{0x10, 0x00, 0x10, 0x03}));  // big-endian in the PLC

  std::vector<WORD> back(100);
  ASSERT_TRUE(S7RdDB(&s7, 5, 2, 100, back.data()));
  EXPECT_EQ(back, w);
  EXPECT_GE(min_request_gap(station.request_times().size() - 3), 15.0);

  std::vector<WORD> mw{0x0102, 0x0A0B};
  ASSERT_TRUE(S7WrMW(&s7, 10, 2, mw.data()));
  EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 20, 4), (Bytes{0x01, 0x02, 0x0A, 0x0B}));
  std::vector<WORD> ew(1);
  plc.write_bytes(Area::Inputs, 0, 6, Bytes{0xBE, 0xEF});
  ASSERT_TRUE(S7RdEW(&s7, 3, 1, ew.data()));
  EXPECT_EQ(ew[0], 0xBEEF);
  expect_clean();
}

TEST_F(PpiEndToEnd, DoubleWordsAndRealsInPacketsOf22) {
  std::vector<DWORD> d(50);
  for (size_t i = 0; i < d.size(); ++i) d[i] = 0x01020304u * static_cast<DWORD>(i + 1);
  ASSERT_TRUE(S7WrDBDW(&s7, 1, 8, 50, d.data()));
  using P = std::pair<unsigned, unsigned>;
  EXPECT_EQ(packets(), (std::vector<P>{{88, 64}, {88, 768}, {24, 1472}}));
  std::vector<DWORD> back(50);
  ASSERT_TRUE(S7RdDBDW(&s7, 1, 8, 50, back.data()));
  EXPECT_EQ(back, d);
  EXPECT_EQ(plc.read_bytes(Area::DB, 1, 8, 4), (Bytes{0x01, 0x02, 0x03, 0x04}));

  std::vector<float> r{1.5f, -2.25f, 1e6f};
  ASSERT_TRUE(S7WrMReal(&s7, 100, 3, r.data()));
  std::vector<float> rb(3);
  ASSERT_TRUE(S7RdMReal(&s7, 100, 3, rb.data()));
  EXPECT_EQ(rb, r);
  EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 100, 4), (Bytes{0x3F, 0xC0, 0x00, 0x00}));
  expect_clean();
}

TEST_F(PpiEndToEnd, TimersAndCounters) {
  std::vector<DWORD> ms{10, 9990, 127000, 9990000};
  ASSERT_TRUE(S7WrTimer(&s7, 3, 4, ms.data()));
  EXPECT_EQ(plc.timer(3), 0x0001);
  EXPECT_EQ(plc.timer(4), 0x0999);
  EXPECT_EQ(plc.timer(5), 0x2127);
  EXPECT_EQ(plc.timer(6), 0x3999);
  std::vector<DWORD> back(4);
  ASSERT_TRUE(S7RdTimer(&s7, 3, 4, back.data()));
  EXPECT_EQ(back, ms);

  std::vector<WORD> z{0, 7, 999};
  ASSERT_TRUE(S7WrCounter(&s7, 10, 3, z.data()));
  EXPECT_EQ(plc.counter(12), 0x0999);
  std::vector<WORD> zb(3);
  ASSERT_TRUE(S7RdCounter(&s7, 10, 3, zb.data()));
  EXPECT_EQ(zb, z);

  // 60 counters: packets of 45 and 15, with the pause between them.
  plc.clear_jobs();
  std::vector<WORD> many(60);
  ASSERT_TRUE(S7RdCounter(&s7, 0, 60, many.data()));
  using P = std::pair<unsigned, unsigned>;
  EXPECT_EQ(packets(), (std::vector<P>{{45, 0}, {15, 45}}));
  EXPECT_GE(min_request_gap(station.request_times().size() - 2), 15.0);
  expect_clean();
}

TEST_F(PpiEndToEnd, CpuTextAndDataBlockLengths) {
  plc.set_cpu_text("CPU 224 REL 0201");
  char text[17];
  std::memset(text, 'x', sizeof text);
  ASSERT_EQ(S7GetCPUInfo(&s7, text), 0);
  EXPECT_STREQ(text, "CPU 224 REL 0201");
  EXPECT_EQ(S7GetDBLen(&s7, 1), 4096);  // seventh character '4'
  plc.set_cpu_text("CPU 226 REL 0201");
  EXPECT_EQ(S7GetDBLen(&s7, 1), 5120);
  plc.set_cpu_text("CPU 215 REL 0201");
  EXPECT_EQ(S7GetDBLen(&s7, 1), 5120);
  plc.set_cpu_text("CPU 222 REL 0201");
  EXPECT_EQ(S7GetDBLen(&s7, 1), 1024);
  // Any other data block: 0, and nothing goes on the line.
  const int before = station.counts().requests;
  const long chars = station.counts().rx_chars;
  EXPECT_EQ(S7GetDBLen(&s7, 2), 0);
  EXPECT_EQ(station.counts().requests, before);
  EXPECT_EQ(station.counts().rx_chars, chars);
  expect_clean();
}

TEST_F(PpiEndToEnd, RecoversAfterTheStationTalkedIntoARequest) {
  Bytes b(4);
  ASSERT_TRUE(S7RdDBB(&s7, 1, 0, 4, b.data()));
  station.inject({s7sim::PpiFault::ByteWhileSending, s7sim::PpiFaultOn::Request});
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(S7RdDBB(&s7, 1, 0, 4, b.data()));
  EXPECT_EQ(s7.Err, -1);
  EXPECT_EQ(CStat[kCom].Status, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const int status_before = station.counts().status_requests;
  plc.write_bytes(Area::DB, 1, 0, Bytes{1, 2, 3, 4});
  ASSERT_TRUE(S7RdDBB(&s7, 1, 0, 4, b.data()));
  EXPECT_EQ(b, (Bytes{1, 2, 3, 4}));
  // Brought up and connected again: two status requests.
  EXPECT_EQ(station.counts().status_requests, status_before + 2);
  expect_clean();
}

}  // namespace
