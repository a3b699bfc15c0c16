// Edges of the exchange and of the calls above it: codes left from an earlier
// call, the float range of the real writes, the last poll, a short SD2 frame,
// an oversize send length, the drain before the last close, and the bus-member
// request on a record without an adapter.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <cfloat>
#include <cmath>
#include <thread>

#include "fdl.h"
#include "kesto.h"
#include "ppi_station.hpp"
#include "s7conn.h"
#include "testutil.hpp"

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

using namespace s7sim;

constexpr int kCom = 4;

// A PPI record at the simulated S7-200 and an MPI record on a second pty.
class Edge : public ::testing::Test {
 protected:
  void SetUp() override {
    plc.add_db(1, 64);
    station.start();
    ASSERT_TRUE(S7PPIInit(&s7, kCom, 2, 0, 9600));
    ASSERT_TRUE(S7InitFastBaud(&mpi, 5, 2, 0, 19200));
  }
  s7test::PtyPort port{kCom}, mpiPort{5};
  Plc plc;
  PpiStation station{port.master(), 2, plc};
  S7 s7{}, mpi{};
  BYTE data[4] = {1, 2, 3, 4};
};

TEST_F(Edge, PpiWriteResultIsDecidedByItsOwnExchange) {
  // the first write brings the connection up (Err -1 on the way); the
  // station keeps silent; then a code left by a refused timer value
  DWORD ms = 99999999;
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) {
      EXPECT_FALSE(S7WrTimer(&s7, 0, 1, &ms));
      EXPECT_EQ(s7.Err, -9);
    }
    station.inject({PpiFault::Silence, PpiFaultOn::Request});
    EXPECT_EQ(S7Wr(&s7, 1, 0, 2, data, 0x84, 1, 2, 0), -1);
    EXPECT_EQ(s7.Err, 2) << pass;
    EXPECT_EQ(s7.Status, TRUE);
  }
}

TEST_F(Edge, AcknowledgedTwentyTimesThePcPollsTwentyTimes) {
  station.inject({PpiFault::AckForever, PpiFaultOn::Request});
  EXPECT_EQ(S7Rd(&s7, 1, 0, 2, data, 0x84, 1, 2, 0), -1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the last poll arrives
  EXPECT_EQ(station.counts().polls, 20);
}

TEST_F(Edge, NothingSentForShortFramesOversizeLengthsOrBusMembersOnPpi) {
  station.stop();
  // an SD2 frame with LE 2 is read whole, and the next frame is intact
  write_all(port.master(), std::vector<uint8_t>{0x68, 2, 2, 0x68, 2, 0, 2, 0x16, 0xE5});
  BYTE buf[261];
  EXPECT_EQ(_RxProfiBlock(kCom, buf), -1);
  EXPECT_EQ(_RxProfiBlock(kCom, buf), 1);
  // send lengths neither path can carry: refused unsent, the statuses kept
  for (auto [rec, TxLen] : {std::pair{&s7, 6 + 253}, {&s7, -1}, {&mpi, 317}, {&mpi, -1}}) {
    rec->Status = TRUE;
    CStat[rec->Com].Status = 1;
    EXPECT_EQ(DoMPIComu(rec, TxLen), -1) << TxLen;
    EXPECT_EQ(rec->Err, -1);
    EXPECT_TRUE(rec->Status == TRUE && CStat[rec->Com].Status == 1) << "statuses kept";
  }
  static_assert(sizeof(MPIBLOCK) == 316);
  WORD members[128] = {};
  EXPECT_EQ(S7GetMPIMembers(&s7, members), 0);
  EXPECT_EQ(s7.Err, -1);
  EXPECT_TRUE(read_until_quiet(port.master(), 100).empty());
  EXPECT_TRUE(read_until_quiet(mpiPort.master(), 50).empty());
}

TEST_F(Edge, LastCloseDrainsBeforeRestoringTheFoundSettings) {
  gDrains = 0;
  S7Exit(&mpi);
  EXPECT_EQ(gDrains, 1);
  EXPECT_TRUE(gCflagAtDrain & PARODD) << "the found settings lack odd parity";
}

TEST_F(Edge, RealsRoundToTheLargestFloatUpToHalfAStepBeyond) {
  const LONG ref = KS7OpenEx(kCom, 2, 0, 9600, 200, 0);
  const double edge = static_cast<double>(FLT_MAX) + 0x1p103;  // the tie rounds to infinity
  double v[] = {3.4028235e38, std::nextafter(edge, 0.0), edge, -std::nextafter(edge, 0.0), -edge};
  ASSERT_EQ(KS7WrReal(ref, 'D', 1, 0, 5, v), 0);
  EXPECT_EQ(s7test::hex(plc.read_bytes(Area::DB, 1, 0, 20)),
            "7F 7F FF FF 7F 7F FF FF 7F 80 00 00 FF 7F FF FF FF 80 00 00");
}

}  // namespace
