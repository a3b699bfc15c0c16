// The S7 data services on a PPI record, end to end against the simulated
// S7-200 at station 2, which records every protocol violation; and the edges
// of the exchange: codes left from an earlier call, the last poll, a short
// SD2 frame, oversize send lengths, the drain before the last close.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>
#include <thread>

#include "fdl.h"
#include "peer.hpp"
#include "ppi_station.hpp"
#include "s7int.h"

using namespace s7test;
using namespace s7sim;

static int gDrains = 0;
static tcflag_t gCflagAtDrain = 0;

// Every drain is counted with the line settings it finds, then carried out.
extern "C" int tcdrain(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) == 0) gCflagAtDrain = t.c_cflag;
  ++gDrains;
  static const auto Real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "tcdrain"));
  return Real ? Real(fd) : 0;
}

namespace {

class S7Ppi : public ::testing::Test {
 protected:
  void SetUp() override {
    plc.add_db(1, 1024);
    st.start();
    usleep(30000);  // the station settles in its wait, so its clock sees the token on time
    // the PC at 5: every frame must carry it as its source
    ASSERT_TRUE(S7PPIInit(&s7, 0, 2, 5, 9600));
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
  PtyPort port{0}, mpiPort{5};
  Plc plc;
  PpiStation st{port.master(), 2, plc};
  S7 s7{};
  BYTE data[4] = {1, 2, 3, 4};
};

TEST_F(S7Ppi, PacketsLargestJobsAndDataBlockLength) {
  Bytes b(200), back(200);
  std::iota(b.begin(), b.end(), 1);
  std::vector<WORD> w(100), wb(100);
  std::vector<DWORD> d(50), db(50);
  for (size_t i = 0; i < 100; ++i) w[i] = static_cast<WORD>(0x1000 + i * 3);
  for (size_t i = 0; i < 50; ++i) d[i] = 0x01020304u * DWORD(i + 1);
  ASSERT_TRUE(S7WrDBB(&s7, 1, 10, 200, b.data()) && S7RdDBB(&s7, 1, 10, 200, back.data()));
  ASSERT_TRUE(S7WrDB(&s7, 1, 2, 100, w.data()) && S7RdDB(&s7, 1, 2, 100, wb.data()) &&
              S7WrDBDW(&s7, 1, 8, 50, d.data()) && S7RdDBDW(&s7, 1, 8, 50, db.data()));
  EXPECT_TRUE(back == b && wb == w && db == d);
  EXPECT_EQ(plain(plc.read_bytes(Area::DB, 1, 4, 8)), "1000100301020304");
  std::vector<WORD> many(60);
  ASSERT_TRUE(S7RdCounter(&s7, 0, 60, many.data()));
  const auto t = st.request_times();  // the packets of one run 15 ms apart
  EXPECT_GE(t.back() - t[t.size() - 2], std::chrono::milliseconds(15));
  EXPECT_EQ(Neu(),
            "W10/90 W100/90 W190/20 R10/90 R100/90 R190/20 W4/90 W94/90 W184/20 R4/90 R94/90 "
            "R184/20 W8/88 W96/88 W184/24 R8/88 R96/88 R184/24 R0/45 R45/15 ");
  // with a PLC that takes large jobs the library's own limit shows: 224 data
  // bytes go out in one frame and 234 come back in one
  plc.set_pdu_size(480);
  std::vector<BYTE> full(240, 0x6B), got(240);
  ASSERT_EQ(S7Wr(&s7, 1, 0, 224, full.data(), 0x84, 1, 2, 0), 0);
  ASSERT_EQ(S7Rd(&s7, 1, 100, 234, got.data(), 0x84, 1, 2, 0), 0);
  EXPECT_EQ(plc.read_bytes(Area::DB, 1, 0, 225), concat({Bytes(224, 0x6B), {0}}));
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 234), plc.read_bytes(Area::DB, 1, 100, 234));
  // data block 1 only; its size follows the seventh character of the CPU text
  // clang-format off
  const std::pair<const char *, int> cpus[] = {
      {"CPU 224 REL 2.01", 4096}, {"CPU 226 REL 2.01", 5120},
      {"CPU 225 XM      ", 5120}, {"CPU 222 REL 1.10", 1024}};
  // clang-format on
  for (const auto &[text, len] : cpus) {
    plc.set_cpu_text(text);
    EXPECT_EQ(S7GetDBLen(&s7, 1), len) << text;
  }
  const auto chars = st.counts().rx_chars;
  s7.Err = 55;
  EXPECT_EQ(S7GetDBLen(&s7, 2) + S7GetDBLen(&s7, 0), 0);
  EXPECT_EQ(s7.Err, 55);
  EXPECT_EQ(st.counts().rx_chars, chars);
}

TEST_F(S7Ppi, WriteResultIsDecidedByItsOwnExchangeAndThePcPollsTwentyTimes) {
  // the first write brings the connection up (Err -1 on the way); then a
  // code left by a refused timer value; the station keeps silent both times
  DWORD ms = 99999999;
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_TRUE(pass == 0 || (!S7WrTimer(&s7, 0, 1, &ms) && s7.Err == -9));
    st.inject({PpiFault::Silence, PpiFaultOn::Request});
    EXPECT_EQ(S7Wr(&s7, 1, 0, 2, data, 0x84, 1, 2, 0), -1);
    EXPECT_EQ(s7.Err * 10 + s7.Status, 21) << pass;
  }
  const int polls = st.counts().polls;
  st.inject({PpiFault::AckForever, PpiFaultOn::Request});
  EXPECT_EQ(S7Rd(&s7, 1, 0, 2, data, 0x84, 1, 2, 0), -1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the last poll arrives
  EXPECT_EQ(st.counts().polls - polls, 20);
}

TEST_F(S7Ppi, RefusalsShortFramesOversizeLengthsBusMembersAndTheLastClose) {
  S7 mpi{};
  ASSERT_TRUE(S7InitFastBaud(&mpi, 5, 2, 0, 19200));
  st.stop();
  // an SD2 frame with LE 2 is read whole, and the next frame is intact
  write_all(port.master(), unhex("6802026802000216E5"));
  BYTE buf[261];
  const int shortFrame = _RxProfiBlock(0, buf);
  EXPECT_EQ(shortFrame * 10 + _RxProfiBlock(0, buf), -9);
  // jobs refused before the line is touched: MPI writes of 283 bytes and
  // reads of 293 in every unit, products that wrap in 16 bits, timers and
  // counters as two bytes whatever Unit says; PPI frames of 224 data bytes in
  // a write, 234 in a read answer; values out of range; empty runs
  std::vector<BYTE> data(300, 0x5A);
  const std::tuple<bool, bool, int, int, int, int> rows[] = {
      {0, 1, 283, 0x84, 1, 2},    {0, 1, 142, 0x84, 2, 2},       {0, 1, 71, 0x83, 4, 6},
      {0, 1, 32768, 0x84, 2, 2},  {0, 1, 65535, 0x82, 65535, 2}, {0, 1, 142, 0x1D, 2, 0x1D},
      {0, 1, 142, 0x1C, 2, 0x1C}, {0, 1, 283, 0x83, 1, 1},       {0, 0, 293, 0x84, 1, 2},
      {0, 0, 147, 0x84, 2, 2},    {0, 0, 74, 0x83, 4, 6},        {0, 0, 147, 0x1D, 1, 0x1D},
      {0, 0, 147, 0x1C, 0, 0x1C}, {0, 0, 65535, 0x81, 65535, 8}, {1, 1, 225, 0x84, 1, 2},
      {1, 1, 57, 0x84, 4, 6},     {1, 0, 235, 0x84, 1, 2},       {1, 0, 118, 0x1D, 2, 0x1D}};
  for (auto [ppi, write, anz, typ, unit, type] : rows) {
    S7 &rec = ppi ? s7 : mpi;
    rec.Err = 0;
    EXPECT_EQ((write ? S7Wr : S7Rd)(&rec, 10, 0, anz, data.data(), typ, unit, type, 0), -1) << anz;
    EXPECT_EQ(rec.Err, 2) << anz;
  }
  // out of range: the bad value comes last, the good ones are not sent either
  DWORD ms[3] = {100, 9990000, 9990001};
  EXPECT_FALSE(S7WrTimer(&mpi, 0, 3, ms));
  EXPECT_EQ(mpi.Err, -9);
  // empty timer and counter runs need no buffer: they fail and leave Err alone
  mpi.Err = 77;
  EXPECT_FALSE(S7RdTimer(&mpi, 0, 0, nullptr) || S7WrCounter(&mpi, 0, 0, nullptr));
  EXPECT_EQ(mpi.Err, 77);
  EXPECT_EQ(data, std::vector<BYTE>(300, 0x5A));
  EXPECT_EQ(ms[0], 100u) << "the caller's values are not touched";
  for (auto [rec, TxLen] : {std::pair{&s7, 6 + 253}, {&s7, -1}, {&mpi, 317}, {&mpi, -1}}) {
    rec->Status = TRUE;
    CStat[rec->Com].Status = 1;
    EXPECT_EQ(DoMPIComu(rec, TxLen), -1) << TxLen;
    EXPECT_EQ(rec->Err, -1);
    EXPECT_TRUE(rec->Status == TRUE && CStat[rec->Com].Status == 1) << "statuses kept";
    rec->Status = FALSE;
    CStat[rec->Com].Status = 0;
  }
  WORD members[128] = {};
  EXPECT_EQ(S7GetMPIMembers(&s7, members), 0);
  EXPECT_EQ(s7.Err, -1);
  EXPECT_TRUE(read_until_quiet(port.master(), 100).empty());
  EXPECT_TRUE(read_until_quiet(mpiPort.master(), 50).empty());
  // the bus-member list from the adapter's answer, which must be 133 bytes
  CStat[5].Status = 1;
  for (auto [len, result, err] : {std::tuple{133u, 1, 5}, {132u, 0, -1}, {134u, 0, -1}}) {
    std::array<WORD, 127> list;
    list.fill(0xEEEE);
    mpi.Err = 5;         // success leaves Err alone
    Bytes a(len, 0x10);  // 0x10: no station at that address; the status bytes
    a[6] = a[8] = 0x30;  // of the PC and a station, and others, are passed on
    a[9] = 0x20;
    a.back() = len > 132 ? 0x01 : 0x10;
    exchange(mpiPort.master(), play(" r=010702 t=" + plain(a)),
             [&, result = result] { EXPECT_EQ(S7GetMPIMembers(&mpi, list.data()), result); });
    EXPECT_EQ(mpi.Err, err);
    EXPECT_EQ(std::count(list.begin(), list.end(), result ? 0 : 0xEEEE), result ? 123 : 127);
    EXPECT_TRUE(!result ||
                (list[0] == 0x30 && list[2] == 0x30 && list[3] == 0x20 && list[126] == 1));
  }
  CStat[5].Status = 0;
  // the last close of a port drains the line before restoring the found settings
  gDrains = 0;
  S7Exit(&mpi);
  EXPECT_EQ(gDrains, 1);
  EXPECT_TRUE(gCflagAtDrain & PARODD) << "the found settings lack odd parity";
}

}  // namespace
