// The handle table: 32 slots handed out lowest free first, the slot marked in
// use only after a successful init, the result codes of open and close, and
// ExitKesto. Every open is a real open of a pty slave; nothing is sent.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kesto.h"
#include "rs232.h"
#include "s7conn.h"
#include "testutil.hpp"

extern "C" {
extern S7 P[32];
extern BOOL bInit[32];
}

namespace {

bool Silent(const s7test::PtyPort &port) {
  return s7sim::read_until_quiet(port.master(), 50).empty();
}

TEST(KS7Open, HandsOutTheLowestFreeSlotAndReusesItAfterAClose) {
  s7test::PtyPort port(0);
  EXPECT_EQ(KS7Open(0, 2, 0, 19200, 300), 0);
  EXPECT_EQ(KS7Open(0, 3, 0, 19200, 300), 1);
  EXPECT_EQ(KS7Open(0, 4, 0, 19200, 300), 2);
  EXPECT_EQ(CStat[0].InitCnt, 3) << "three records share the port";
  EXPECT_EQ(RsIo[0].ComRefCnt, 3);
  EXPECT_EQ(P[1].MPIAdr, 3);
  EXPECT_EQ(P[1].SPSTyp, 0) << "type 300 is the MPI adapter";

  EXPECT_EQ(KS7Close(1), 0);
  EXPECT_FALSE(bInit[1]);
  EXPECT_EQ(P[1].MPIAdr, 3) << "a close leaves the record as it was";
  EXPECT_EQ(CStat[0].InitCnt, 2);

  EXPECT_EQ(KS7Open(0, 9, 0, 19200, 300), 1) << "the freed slot is the lowest";
  EXPECT_EQ(P[1].MPIAdr, 9);
  EXPECT_EQ(KS7Open(0, 5, 0, 19200, 300), 3);
  EXPECT_TRUE(Silent(port)) << "opening sends nothing";
}

TEST(KS7Open, AFullTableRefusesWithMinusOneAndTouchesNothing) {
  s7test::PtyPort port(2);
  for (LONG i = 0; i < 32; ++i) ASSERT_EQ(KS7Open(2, 2, 0, 19200, 300), i);
  EXPECT_EQ(CStat[2].InitCnt, 32);

  std::vector<unsigned char> before(sizeof P);
  std::memcpy(before.data(), P, sizeof P);
  EXPECT_EQ(KS7Open(2, 7, 0, 19200, 300), -1);
  EXPECT_EQ(KS7OpenEx(2, 7, 0, 19200, 200, 0), -1);
  EXPECT_EQ(std::memcmp(before.data(), P, sizeof P), 0) << "no record was touched";
  EXPECT_EQ(CStat[2].InitCnt, 32) << "no port was touched";
  EXPECT_EQ(RsIo[2].ComRefCnt, 32);

  EXPECT_EQ(KS7Close(31), 0);
  EXPECT_EQ(KS7Open(2, 7, 0, 19200, 300), 31);
  EXPECT_TRUE(Silent(port));
}

TEST(KS7Open, AFailedOpenLeavesTheSlotFree) {
  s7test::PtyPort port(0);
  EXPECT_EQ(KS7Open(16, 2, 0, 19200, 300), -4) << "port number above 15";
  EXPECT_FALSE(bInit[0]);
  EXPECT_EQ(P[0].Err, -4) << "the record keeps what the init left";

  char missing[] = "/dev/no-such-serial-device";
  ASSERT_EQ(KS7SetDevName(1, missing), 0);
  EXPECT_EQ(KS7Open(1, 2, 0, 19200, 300), -4) << "device cannot be opened";
  EXPECT_FALSE(bInit[0]);
  EXPECT_FALSE(ComIsInit(1));

  EXPECT_EQ(KS7Open(0, 2, 0, 19200, 300), 0) << "the same slot again";
  EXPECT_EQ(P[0].Err, 0);
  EXPECT_TRUE(bInit[0]);
  EXPECT_TRUE(Silent(port));
}

TEST(KS7Open, PassesTheInitCodesOfThePortsOtherUsersOn) {
  s7test::PtyPort port(0);
  ASSERT_EQ(KS7OpenEx(0, 2, 0, 19200, 300, 1), 0);
  EXPECT_EQ(CStat[0].MPIBaud, 1u);
  EXPECT_EQ(KS7Open(0, 3, 0, 38400, 300), -2) << "another baud rate";
  EXPECT_EQ(KS7OpenEx(0, 3, 0, 19200, 300, 2), -2) << "another bus-speed selector";
  EXPECT_EQ(KS7Open(0, 3, 5, 19200, 300), -3) << "another own station address";
  EXPECT_FALSE(bInit[1]);
  EXPECT_EQ(CStat[0].InitCnt, 1);
  EXPECT_EQ(RsIo[0].ComRefCnt, 1);

  // The first connection is not disturbed and closes normally.
  EXPECT_TRUE(bInit[0]);
  EXPECT_EQ(KS7Close(0), 0);
  EXPECT_FALSE(ComIsInit(0));
  EXPECT_TRUE(Silent(port));
}

TEST(KS7Open, Type200OpensPpiAtSixteenBitRatesAndIgnoresTheBusSpeed) {
  s7test::PtyPort ppi(3);
  s7test::PtyPort mpi(4);
  EXPECT_EQ(KS7Open(3, 2, 0, 38400, 200), -2) << "PPI takes only 9600 and 19200";
  EXPECT_FALSE(ComIsInit(3));
  EXPECT_EQ(KS7Open(4, 2, 0, 38400, 300), 0) << "the same rate goes to the MPI open";
  EXPECT_EQ(P[0].SPSTyp, 0);

  EXPECT_EQ(KS7OpenEx(3, 2, 0, 9600, 200, 5), 1);
  EXPECT_EQ(P[1].SPSTyp, 1) << "type 200 is PPI";
  EXPECT_EQ(CStat[3].MPIBaud, 0u) << "the bus-speed selector is not used";
  EXPECT_EQ(KS7OpenEx(3, 3, 0, 9600, 200, 6), 2) << "nor compared";
  EXPECT_EQ(RsIo[3].TIo.c_cflag & (PARENB | PARODD), tcflag_t(PARENB)) << "even parity";

  // The PPI rate travels as 16 bits, the MPI rate as 32 bits.
  EXPECT_EQ(KS7Open(3, 4, 0, 9600 + 0x10000, 200), 3);
  EXPECT_EQ(KS7Close(0), 0);
  EXPECT_EQ(KS7Open(4, 2, 0, 115200, 300), 0);
  EXPECT_EQ(CStat[4].Baud, 115200u);
  EXPECT_TRUE(Silent(ppi));
  EXPECT_TRUE(Silent(mpi));
}

TEST(KS7Open, PortAndAddressesTravelAsSixteenBits) {
  s7test::PtyPort port(1);
  EXPECT_EQ(KS7Open(0x10001, 0x10002, 0x10000, 19200, 300), 0);
  EXPECT_EQ(P[0].Com, 1);
  EXPECT_EQ(P[0].MPIAdr, 2);
  EXPECT_EQ(CStat[1].LocalMPIAdr, 0);
  EXPECT_TRUE(ComIsInit(1));
}

TEST(KS7Close, CodesForBadReferencesFreeSlotsAndARefusedClose) {
  s7test::PtyPort port(0);
  EXPECT_EQ(KS7Close(32), -99);
  EXPECT_EQ(KS7Close(-1), -99);
  EXPECT_EQ(KS7Close(5), -1) << "slot not open";

  ASSERT_EQ(KS7Open(0, 2, 0, 19200, 300), 0);
  ASSERT_EQ(KS7Open(0, 3, 0, 19200, 300), 1);
  EXPECT_EQ(KS7Close(1), 0);
  EXPECT_EQ(CStat[0].InitCnt, 1);
  EXPECT_EQ(KS7Close(1), -1) << "closing twice";
  EXPECT_EQ(CStat[0].InitCnt, 1) << "the second close does not reach the port";
  EXPECT_TRUE(ComIsInit(0));

  // The port closed behind the slot's back: the connection layer refuses the
  // close and the slot stays open.
  S7ExitAll();
  EXPECT_EQ(KS7Close(0), -1);
  EXPECT_TRUE(bInit[0]);
  ExitKesto();
  EXPECT_FALSE(bInit[0]) << "ExitKesto frees even a slot whose close failed";
  EXPECT_TRUE(Silent(port));
}

TEST(ExitKesto, ClosesEveryOpenSlotAndClearsTheTable) {
  s7test::PtyPort a(0);
  s7test::PtyPort b(5);
  for (LONG i = 0; i < 8; ++i) ASSERT_EQ(KS7Open(i == 7 ? 5 : 0, 2, 0, 19200, 300), i);
  for (LONG i : {0, 1, 2, 4, 5, 6}) ASSERT_EQ(KS7Close(i), 0);
  EXPECT_EQ(CStat[0].InitCnt, 1);
  EXPECT_EQ(CStat[5].InitCnt, 1);

  ExitKesto();
  for (int i = 0; i < 32; ++i) EXPECT_FALSE(bInit[i]) << "slot " << i;
  EXPECT_EQ(CStat[0].InitCnt, 0);
  EXPECT_EQ(CStat[5].InitCnt, 0);
  EXPECT_FALSE(ComIsInit(0));
  EXPECT_FALSE(ComIsInit(5));
  std::vector<unsigned char> zero(sizeof P, 0);
  EXPECT_EQ(std::memcmp(zero.data(), P, sizeof P), 0) << "every record cleared";

  InitKesto();
  EXPECT_EQ(KS7Open(0, 2, 0, 19200, 300), 0) << "the table is usable again";
  EXPECT_TRUE(Silent(a));
  EXPECT_TRUE(Silent(b));
}

TEST(KS7SetDevName, PassesTheSerialLayersAnswerOn) {
  std::string name = "/dev/pts/999";
  EXPECT_EQ(KS7SetDevName(16, name.data()), -1);
  EXPECT_EQ(KS7SetDevName(15, name.data()), 0);
  EXPECT_STREQ(RsIo[15].DevName, "/dev/pts/999");
  std::string tooLong(64, 'x');
  EXPECT_EQ(KS7SetDevName(15, tooLong.data()), -1);
  EXPECT_STREQ(RsIo[15].DevName, "/dev/pts/999");
  EXPECT_EQ(KS7SetDevName(15, nullptr), -1) << "no name at all";
}

}  // namespace
