// The S7 data services on a PPI record: smaller packets, the largest job one
// frame carries, and the data-block length derived from the CPU text. The far
// end is the simulated S7-200 station.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "plc.hpp"
#include "ppi_station.hpp"
#include "s7int.h"
#include "testutil.hpp"

namespace {

using s7sim::Area;

std::string Items(const std::vector<s7sim::JobRecord> &jobs) {
  std::string s;
  for (const auto &j : jobs) {
    char b[64];
    std::snprintf(b, sizeof b, "%s%u/%u ", j.write ? "W" : "R", j.address / 8, j.count);
    s += b;
  }
  return s;
}

class S7Ppi : public ::testing::Test {
 protected:
  void SetUp() override {
    plc.add_db(1, 1024);
    std::vector<uint8_t> inhalt(1024);
    for (size_t i = 0; i < inhalt.size(); ++i) inhalt[i] = static_cast<uint8_t>(i * 13 + 5);
    plc.write_bytes(Area::DB, 1, 0, inhalt);
    st.start();
    ASSERT_TRUE(S7PPIInit(&s7, 0, 2, 0, 9600));
  }

  void TearDown() override {
    S7Exit(&s7);
    st.stop();
    std::string text;
    for (const auto &v : st.violations()) text += v + "\n";
    EXPECT_EQ(text, "");
  }

  std::string Neu() {
    auto s = Items(plc.jobs());
    plc.clear_jobs();
    return s;
  }

  s7test::PtyPort port{0};
  s7sim::Plc plc;
  s7sim::PpiStation st{port.master(), 2, plc};
  S7 s7{};
};

TEST_F(S7Ppi, PacketsFitTheSmallerFrames) {
  const auto db = plc.read_bytes(Area::DB, 1, 0, 1024);
  ASSERT_TRUE(S7RdDBB(&s7, 1, 0, 1, std::vector<BYTE>(1).data())) << s7.Err;  // connect
  plc.clear_jobs();
  const size_t n = st.request_times().size();
  std::vector<WORD> w(100);
  ASSERT_TRUE(S7RdDB(&s7, 1, 3, 100, w.data())) << s7.Err;
  for (int i = 0; i < 100; ++i) ASSERT_EQ(w[i], (db[6 + 2 * i] << 8) | db[7 + 2 * i]) << i;
  EXPECT_EQ(Neu(), "R6/90 R96/90 R186/20 ");
  // 15 ms between the jobs of a word run.
  const auto t = st.request_times();
  ASSERT_EQ(t.size(), n + 3);
  EXPECT_GE(t[n + 1] - t[n], std::chrono::milliseconds(15));
  EXPECT_GE(t[n + 2] - t[n + 1], std::chrono::milliseconds(15));

  std::vector<BYTE> b(200);
  ASSERT_TRUE(S7RdDBB(&s7, 1, 10, 200, b.data()));
  EXPECT_EQ(b, std::vector<BYTE>(db.begin() + 10, db.begin() + 210));
  std::vector<BYTE> neu(100, 0x3C);
  ASSERT_TRUE(S7WrDBB(&s7, 1, 500, 100, neu.data()));
  EXPECT_EQ(plc.read_bytes(Area::DB, 1, 500, 100), std::vector<uint8_t>(100, 0x3C));
  std::vector<DWORD> d(30);
  ASSERT_TRUE(S7RdDBDW(&s7, 1, 4, 30, d.data()));
  EXPECT_EQ(d[29],
            (DWORD{db[120]} << 24) | (DWORD{db[121]} << 16) | (DWORD{db[122]} << 8) | db[123]);
  EXPECT_EQ(Neu(), "R10/90 R100/90 R190/20 W500/90 W590/10 R4/88 R92/32 ");
}

TEST_F(S7Ppi, LargestJobsAndTheDataBlockLength) {
  // With a PLC that takes large jobs the library's own limit shows: 224 data
  // bytes go out in one frame and 234 come back in one, one more is refused
  // without a request.
  plc.set_pdu_size(480);
  const auto danach = plc.read_bytes(Area::DB, 1, 224, 1);
  std::vector<BYTE> voll(240, 0x6B);
  ASSERT_EQ(S7Wr(&s7, 1, 0, 224, voll.data(), 0x84, 1, 2, 0), 0) << s7.Err;
  EXPECT_EQ(plc.read_bytes(Area::DB, 1, 0, 224), std::vector<uint8_t>(224, 0x6B));
  EXPECT_EQ(plc.read_bytes(Area::DB, 1, 224, 1), danach);
  std::vector<BYTE> gelesen(240, 0);
  ASSERT_EQ(S7Rd(&s7, 1, 100, 234, gelesen.data(), 0x84, 1, 2, 0), 0) << s7.Err;
  const auto erwartet = plc.read_bytes(Area::DB, 1, 100, 234);
  EXPECT_EQ(std::vector<BYTE>(gelesen.begin(), gelesen.begin() + 234), erwartet);

  const int anfragen = st.counts().requests;
  EXPECT_EQ(S7Wr(&s7, 1, 0, 225, voll.data(), 0x84, 1, 2, 0), -1);
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(S7Rd(&s7, 1, 0, 235, voll.data(), 0x84, 1, 2, 0), -1);
  EXPECT_EQ(s7.Err, 2);
  EXPECT_EQ(st.counts().requests, anfragen);
  EXPECT_TRUE(s7.Status);

  // An S7-200 has data block 1 only; its size follows the CPU kind, the
  // seventh character of the identification text.
  struct {
    const char *text;
    int len;
  } const cpus[] = {{"CPU 224 REL 2.01", 4096},
                    {"CPU 226 REL 2.01", 5120},
                    {"CPU 225 XM      ", 5120},
                    {"CPU 222 REL 1.10", 1024}};
  for (const auto &c : cpus) {
    plc.set_cpu_text(c.text);
    EXPECT_EQ(S7GetDBLen(&s7, 1), c.len) << c.text;
  }
  char text[17];
  ASSERT_EQ(S7GetCPUInfo(&s7, text), 0);
  EXPECT_STREQ(text, "CPU 222 REL 1.10");

  const int vorher = st.counts().requests;
  s7.Err = 55;
  EXPECT_EQ(S7GetDBLen(&s7, 2), 0);
  EXPECT_EQ(S7GetDBLen(&s7, 0), 0);
  EXPECT_EQ(s7.Err, 55);
  EXPECT_EQ(st.counts().requests, vorher);
}

}  // namespace
