// The S7 data services on a PPI record, end to end against the simulated
// S7-200 at station 2, which records every violation of the protocol:
// smaller packets with pauses between them, the largest job one frame
// carries, the data-block length taken from the CPU text, recovery.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "peer.hpp"
#include "plc.hpp"
#include "ppi_station.hpp"
#include "s7conn.h"
#include "s7int.h"

using namespace s7test;
using s7sim::Area;

namespace {

class S7Ppi : public ::testing::Test {
 protected:
  void SetUp() override {
    plc.add_db(1, 1024);
    st.start();
    usleep(30000);  // the station settles in its wait, so its clock sees the token on time
    ASSERT_TRUE(S7PPIInit(&s7, 0, 2, 0, 9600));
  }
  void TearDown() override {
    S7Exit(&s7);
    st.stop();
    EXPECT_EQ(joined(st.violations()), "");
  }
  // The items since the last call as R|W byte/count.
  std::string Neu() {
    std::string s;
    for (const auto &j : plc.jobs())
      s += (j.write ? "W" : "R") + std::to_string(j.address / (j.area < 0x80 ? 1 : 8)) + "/" +
           std::to_string(j.count) + " ";
    plc.clear_jobs();
    return s;
  }
  // The last n requests, one run, came 15 ms apart at least.
  void Paused(size_t n) {
    const auto t = st.request_times();
    for (size_t i = t.size() - n + 1; i < t.size(); ++i)
      EXPECT_GE(t[i] - t[i - 1], std::chrono::milliseconds(15));
  }
  PtyPort port{0};
  s7sim::Plc plc;
  s7sim::PpiStation st{port.master(), 2, plc};
  S7 s7{};
};

TEST_F(S7Ppi, PacketsFitTheSmallerFrames) {
  Bytes b(200);
  std::iota(b.begin(), b.end(), 1);
  std::vector<WORD> w(100), wb(100);
  std::vector<DWORD> d(50), db(50);
  for (size_t i = 0; i < 100; ++i) w[i] = static_cast<WORD>(0x1000 + i * 3);
  for (size_t i = 0; i < 50; ++i) d[i] = 0x01020304u * DWORD(i + 1);
  ASSERT_TRUE(S7WrDBB(&s7, 1, 10, 200, b.data()));
  EXPECT_EQ(plc.read_bytes(Area::DB, 1, 10, 200), b);
  Bytes back(200);
  plc.clear_jobs();
  ASSERT_TRUE(S7RdDBB(&s7, 1, 10, 200, back.data()));
  Paused(3);
  ASSERT_TRUE(S7WrDB(&s7, 1, 2, 100, w.data()) && S7RdDB(&s7, 1, 2, 100, wb.data()) &&
              S7WrDBDW(&s7, 1, 8, 50, d.data()) && S7RdDBDW(&s7, 1, 8, 50, db.data()));
  EXPECT_EQ(back, b);
  EXPECT_EQ(wb, w);
  EXPECT_EQ(db, d);
  EXPECT_EQ(Neu(),
            "R10/90 R100/90 R190/20 W4/90 W94/90 W184/20 R4/90 R94/90 R184/20 W8/88 W96/88 "
            "W184/24 R8/88 R96/88 R184/24 ");
  EXPECT_EQ(hex(plc.read_bytes(Area::DB, 1, 4, 8)), "10 00 10 03 01 02 03 04");
  // the other areas, timers and counters (45 a packet)
  Bytes m{9, 8, 7}, e(2);
  float r[3] = {1.5f, -2.25f, 1e6f}, rb[3] = {};
  std::vector<WORD> many(60);
  plc.write_bytes(Area::Inputs, 0, 0, Bytes{0x5A, 0xA5});
  ASSERT_TRUE(S7WrMB(&s7, 4, 3, m.data()) && S7RdEB(&s7, 0, 2, e.data()) &&
              S7WrMReal(&s7, 100, 3, r) && S7RdMReal(&s7, 100, 3, rb) &&
              S7RdCounter(&s7, 0, 60, many.data()));
  Paused(2);
  EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 4, 3), m);
  EXPECT_EQ(hex(e), "5A A5");
  EXPECT_EQ(std::memcmp(r, rb, sizeof r), 0);
  EXPECT_EQ(Neu(), "W4/3 R0/2 W100/12 R100/12 R0/45 R45/15 ");
}

TEST_F(S7Ppi, LargestJobsDataBlockLengthAndRecovery) {
  // with a PLC that takes large jobs the library's own limit shows: 224 data
  // bytes go out in one frame and 234 come back in one
  plc.set_pdu_size(480);
  std::vector<BYTE> full(240, 0x6B), got(240);
  ASSERT_EQ(S7Wr(&s7, 1, 0, 224, full.data(), 0x84, 1, 2, 0), 0);
  EXPECT_EQ(plc.read_bytes(Area::DB, 1, 0, 225), concat({Bytes(224, 0x6B), {0}}));
  ASSERT_EQ(S7Rd(&s7, 1, 100, 234, got.data(), 0x84, 1, 2, 0), 0);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 234), plc.read_bytes(Area::DB, 1, 100, 234));
  // an S7-200 has data block 1 only; its size follows the seventh character
  // of the identification text; any other block: 0, nothing sent, Err kept
  const struct {
    const char *text;
    int len;
  } cpus[] = {{"CPU 224 REL 2.01", 4096},
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
  const auto chars = st.counts().rx_chars;
  s7.Err = 55;
  EXPECT_EQ(S7GetDBLen(&s7, 2) + S7GetDBLen(&s7, 0), 0);
  EXPECT_EQ(s7.Err, 55);
  EXPECT_EQ(st.counts().rx_chars, chars);
  // more acknowledgements before the answer, or the answer at once
  st.set_acks_before_answer(3);
  ASSERT_TRUE(S7RdDBB(&s7, 1, 0, 4, got.data()));
  st.set_acks_before_answer(0);
  st.set_answer_directly(true);
  ASSERT_TRUE(S7RdDBB(&s7, 1, 0, 4, got.data()));
  st.set_answer_directly(false);
  // the station talks into a request: the call fails, the next one brings
  // the line up again (two status requests) and reads
  st.inject({s7sim::PpiFault::ByteWhileSending, s7sim::PpiFaultOn::Request});
  usleep(150000);
  EXPECT_FALSE(S7RdDBB(&s7, 1, 0, 4, got.data()));
  EXPECT_EQ(s7.Err * 10 + CStat[0].Status, -10);
  usleep(150000);
  const int status = st.counts().status_requests;
  plc.write_bytes(Area::DB, 1, 0, Bytes{1, 2, 3, 4});
  ASSERT_TRUE(S7RdDBB(&s7, 1, 0, 4, got.data()));
  EXPECT_EQ(hex(Bytes(got.begin(), got.begin() + 4)), "01 02 03 04");
  EXPECT_EQ(st.counts().status_requests, status + 2);
}

}  // namespace
