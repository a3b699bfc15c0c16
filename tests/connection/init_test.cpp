// Opening and closing connection records: argument checks against the
// port's other users, the port status table, and nothing on the line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include "rs232.h"
#include "s7conn.h"
#include "testutil.hpp"

namespace {

bool LineIsSilent(const s7test::PtyPort &port) {
  return s7sim::read_until_quiet(port.master(), 50).empty();
}

TEST(S7Init, FirstOpenOfAPortSendsNothing) {
  s7test::PtyPort port(0);
  S7 s7;
  memset(&s7, 0x5A, sizeof s7);
  ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 1, 38400));
  EXPECT_EQ(s7.Com, 0);
  EXPECT_EQ(s7.bInit, TRUE);
  EXPECT_EQ(s7.Err, 0);
  EXPECT_EQ(s7.SPSTyp, 0);
  EXPECT_EQ(s7.MPIAdr, 2);
  EXPECT_EQ(s7.Status, FALSE);
  EXPECT_EQ(s7.Tx.H.BlockNr, 0) << "the record is cleared";
  EXPECT_EQ(CStat[0].InitCnt, 1);
  EXPECT_EQ(CStat[0].Baud, 38400u);
  EXPECT_EQ(CStat[0].LocalMPIAdr, 1);
  EXPECT_EQ(CStat[0].Status, 0);
  EXPECT_TRUE(ComIsInit(0));
  EXPECT_EQ(RsIo[0].TIo.c_cflag & (PARENB | PARODD | CSIZE | CSTOPB),
            tcflag_t(PARENB | PARODD | CS8))
      << "MPI adapter: 8 data bits, odd parity, 1 stop bit";
  EXPECT_EQ(cfgetospeed(&RsIo[0].TIo), speed_t(B38400));
  EXPECT_TRUE(LineIsSilent(port));
  EXPECT_TRUE(S7Exit(&s7));
  EXPECT_FALSE(ComIsInit(0));
}

TEST(S7Init, SecondUserOfAPortIsCheckedAgainstTheFirst) {
  s7test::PtyPort port(1);
  S7 a, b, c;
  ASSERT_TRUE(S7InitFastBaudEx(&a, 1, 2, 0, 19200, 1));
  EXPECT_EQ(CStat[1].MPIBaud, 1u);

  EXPECT_TRUE(S7InitFastBaudEx(&b, 1, 3, 0, 19200, 1));
  EXPECT_EQ(CStat[1].InitCnt, 2);
  EXPECT_EQ(RsIo[1].ComRefCnt, 2);

  EXPECT_FALSE(S7InitFastBaud(&c, 1, 4, 0, 38400));
  EXPECT_EQ(c.Err, -2);
  EXPECT_FALSE(S7InitFastBaudEx(&c, 1, 4, 0, 19200, 2));
  EXPECT_EQ(c.Err, -2) << "another bus-speed selector";
  EXPECT_FALSE(S7InitFastBaud(&c, 1, 4, 5, 19200));
  EXPECT_EQ(c.Err, -3) << "another own station address";
  EXPECT_EQ(c.bInit, FALSE);
  EXPECT_EQ(c.Com, 1);
  EXPECT_EQ(c.MPIAdr, 0) << "a failed init leaves the record cleared";
  // The kind of the other users is not compared; S7InitFastBaud does not
  // compare the selector.
  EXPECT_TRUE(S7InitFastBaud(&c, 1, 4, 0, 19200));
  EXPECT_EQ(CStat[1].MPIBaud, 1u) << "only the Ex call records a selector";
  EXPECT_EQ(CStat[1].InitCnt, 3);
  EXPECT_EQ(RsIo[1].ComRefCnt, 3);
  EXPECT_TRUE(LineIsSilent(port));

  EXPECT_TRUE(S7Exit(&c));
  EXPECT_TRUE(S7Exit(&b));
  EXPECT_TRUE(ComIsInit(1));
  EXPECT_TRUE(S7Exit(&a));
  EXPECT_FALSE(ComIsInit(1));
  EXPECT_EQ(CStat[1].Baud, 0u);
  EXPECT_EQ(CStat[1].InitCnt, 0);
  EXPECT_EQ(CStat[1].LocalMPIAdr, 0);
  EXPECT_EQ(CStat[1].MPIBaud, 1u) << "kept after the last close";
  EXPECT_EQ(a.bInit, TRUE) << "S7Exit changes none of the record's fields";
}

TEST(S7Init, OwnAddressIsComparedByTheByteItIsStoredIn) {
  s7test::PtyPort port(2);
  S7 a, b;
  ASSERT_TRUE(S7InitFastBaud(&a, 2, 2, 256, 19200));
  EXPECT_EQ(CStat[2].LocalMPIAdr, 0);
  EXPECT_TRUE(S7InitFastBaud(&b, 2, 3, 256, 19200)) << "256 again is not another address";
  S7ExitAll();
}

TEST(S7Init, PortNumberAndOpenFailures) {
  S7 s7;
  EXPECT_FALSE(S7InitFastBaud(&s7, 16, 2, 0, 19200));
  EXPECT_EQ(s7.Err, -4);
  EXPECT_EQ(s7.Com, 16);
  EXPECT_FALSE(S7PPIInit(&s7, 0x10010, 2, 0, 9600)) << "the port is its low 16 bits";
  EXPECT_EQ(s7.Err, -4);
  EXPECT_EQ(s7.SPSTyp, 1);
  for (const COMSTA &cs : CStat) {
    EXPECT_EQ(cs.InitCnt, 0);
    EXPECT_EQ(cs.Baud, 0u);
  }
  char dev[] = "/nonexistent/ttyX";
  ASSERT_EQ(ComSetDevName(3, dev), 0);
  EXPECT_FALSE(S7InitFastBaud(&s7, 3, 2, 0, 19200));
  EXPECT_EQ(s7.Err, -4);
  EXPECT_EQ(CStat[3].InitCnt, 0);
  EXPECT_FALSE(S7Exit(&s7)) << "nothing to close";
}

TEST(S7PPIInit, OnlyTwoRatesAndEvenParity) {
  s7test::PtyPort port(0);
  S7 s7;
  EXPECT_FALSE(S7PPIInit(&s7, 0, 2, 0, 38400));
  EXPECT_EQ(s7.Err, -2);
  EXPECT_EQ(s7.SPSTyp, 1);
  EXPECT_FALSE(ComIsInit(0)) << "refused before the port is looked at";
  EXPECT_EQ(CStat[0].InitCnt, 0);
  EXPECT_FALSE(S7PPIInit(&s7, 0, 2, 0, 9600 + 65536 * 3 + 1));
  ASSERT_TRUE(S7PPIInit(&s7, 0, 2, 0, 9600 + 65536 * 3)) << "the rate is taken as 16 bits";
  EXPECT_EQ(CStat[0].Baud, 9600u);
  EXPECT_EQ(s7.SPSTyp, 1);
  EXPECT_EQ(RsIo[0].TIo.c_cflag & (PARENB | PARODD | CSIZE | CSTOPB), tcflag_t(PARENB | CS8))
      << "PPI: 8 data bits, even parity, 1 stop bit";
  EXPECT_EQ(cfgetospeed(&RsIo[0].TIo), speed_t(B9600));
  S7 t;
  ASSERT_TRUE(S7PPIInit(&t, 0, 3, 0, 9600));
  EXPECT_EQ(CStat[0].InitCnt, 2);
  EXPECT_TRUE(LineIsSilent(port));
  S7ExitAll();
}

TEST(S7Init, SixteenBitArgumentsOfS7Init) {
  s7test::PtyPort port(0);
  S7 s7;
  ASSERT_TRUE(S7Init(&s7, 0, 0x10002, 0, 115200));
  EXPECT_EQ(CStat[0].Baud, 49664u) << "115200 cut to its low 16 bits";
  EXPECT_EQ(s7.MPIAdr, 2);
  EXPECT_EQ(cfgetospeed(&RsIo[0].TIo), speed_t(B19200)) << "49664 is no rate of the table";
  S7Exit(&s7);
}

TEST(S7Exit, PortBookkeepingAndRefusal) {
  s7test::PtyPort port(0);
  S7 a, b;
  ASSERT_TRUE(S7InitFastBaud(&a, 0, 2, 0, 19200));
  ASSERT_TRUE(S7InitFastBaud(&b, 0, 3, 0, 19200));
  EXPECT_TRUE(S7Exit(&a));
  EXPECT_EQ(CStat[0].InitCnt, 1);
  EXPECT_EQ(CStat[0].Baud, 19200u);
  EXPECT_TRUE(S7Exit(&b));
  EXPECT_EQ(CStat[0].InitCnt, 0);
  EXPECT_FALSE(S7Exit(&b)) << "the port has no users left";
  EXPECT_EQ(CStat[0].InitCnt, 0);
  EXPECT_TRUE(LineIsSilent(port)) << "while the adapter was never up, closing sends nothing";
  S7 bad;
  memset(&bad, 0, sizeof bad);
  bad.Com = 99;
  EXPECT_FALSE(S7Exit(&bad));
}

TEST(S7ExitAll, ClosesEveryPortAndKeepsItsStatus) {
  s7test::PtyPort p0(0), p4(4);
  S7 a, b, c;
  ASSERT_TRUE(S7InitFastBaud(&a, 0, 2, 0, 19200));
  ASSERT_TRUE(S7InitFastBaud(&b, 0, 3, 0, 19200));
  ASSERT_TRUE(S7PPIInit(&c, 4, 2, 0, 9600));
  S7ExitAll();
  for (int com : {0, 4}) {
    EXPECT_EQ(CStat[com].InitCnt, 0);
    EXPECT_EQ(CStat[com].Baud, 0u);
    EXPECT_FALSE(ComIsInit(com));
  }
  EXPECT_TRUE(LineIsSilent(p0));
  EXPECT_TRUE(LineIsSilent(p4));
}

TEST(SetErr, MarksRecordAndOptionallyThePort) {
  S7 s7;
  memset(&s7, 0, sizeof s7);
  s7.Com = 5;
  s7.Status = TRUE;
  CStat[5].Status = 1;
  SetErr(&s7, FALSE);
  EXPECT_EQ(s7.Err, -1);
  EXPECT_EQ(s7.Status, FALSE);
  EXPECT_EQ(CStat[5].Status, 1);
  s7.Status = TRUE;
  SetErr(&s7, TRUE);
  EXPECT_EQ(s7.Status, FALSE);
  EXPECT_EQ(CStat[5].Status, 0);
}

TEST(S7SetTimeout, ReturnsTheValueInForceAndStoresPositiveOnes) {
  EXPECT_EQ(S7SetTimeout(0), 54);
  EXPECT_EQ(S7SetTimeout(-3), 54);
  EXPECT_EQ(S7TimeOutwert, 54);
  EXPECT_EQ(S7SetTimeout(9), 54);
  EXPECT_EQ(S7TimeOutwert, 9);
  EXPECT_EQ(S7SetTimeout(100000), 9);
  EXPECT_EQ(S7TimeOutwert, 65535);
  EXPECT_EQ(S7SetTimeout(0), 65535);
}

}  // namespace
