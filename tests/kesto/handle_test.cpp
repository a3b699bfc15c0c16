// The handle table: slots handed out lowest free first, the codes of open and
// close, ExitKesto. Every open is a real open of a pty slave; nothing is sent.
#include <gtest/gtest.h>
#include <termios.h>

#include <algorithm>
#include <tuple>

#include "kesto.h"
#include "peer.hpp"
#include "rs232.h"
#include "s7conn.h"

extern "C" S7 P[32];
extern "C" BOOL bInit[32];

using namespace s7test;

namespace {

TEST(Kesto, OpenCloseAndExit) {
  PtyPort p0(0), p1(1), p2(2), p3(3), p4(4), p5(5);
  char missing[] = "/dev/no-such-serial-device";
  ASSERT_EQ(KS7SetDevName(6, missing), 0);
  // O: KS7Open, X: KS7OpenEx, C: KS7Close (the reference in com). Closing twice
  // does not reach the port; then the init codes of the port's other users;
  // type 200 is PPI: 9600 or 19200 as 16 bits, the selector neither used nor
  // compared; port and addresses as 16 bits, the MPI rate as 32 bits.
  // clang-format off
  const std::tuple<char, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, LONG> rows[] = {
      {'O', 0, 2, 0, 19200, 300, 0, 0}, {'O', 0, 3, 0, 19200, 300, 0, 1},
      {'O', 0, 4, 0, 19200, 300, 0, 2}, {'C', 1, 0, 0, 0, 0, 0, 0}, {'C', 1, 0, 0, 0, 0, 0, -1},
      {'O', 0, 9, 0, 19200, 300, 0, 1}, {'C', 32, 0, 0, 0, 0, 0, -99},
      {'C', DWORD(-1), 0, 0, 0, 0, 0, -99}, {'C', 5, 0, 0, 0, 0, 0, -1},
      {'O', 16, 2, 0, 19200, 300, 0, -4}, {'O', 6, 2, 0, 19200, 300, 0, -4},
      {'X', 4, 2, 0, 19200, 300, 1, 3}, {'O', 4, 3, 0, 38400, 300, 0, -2},
      {'X', 4, 3, 0, 19200, 300, 2, -2}, {'O', 4, 3, 5, 19200, 300, 0, -3},
      {'O', 3, 2, 0, 38400, 200, 0, -2}, {'X', 3, 2, 0, 9600, 200, 5, 4},
      {'X', 3, 3, 0, 9600, 200, 6, 5}, {'O', 3, 4, 0, 9600 + 0x10000, 200, 0, 6},
      {'O', 0x10001, 0x10002, 0x10000, 19200, 300, 0, 7}, {'O', 5, 2, 0, 115200, 300, 0, 8}};
  // clang-format on
  for (auto [op, com, adr, own, baud, typ, sel, result] : rows)
    EXPECT_EQ(op == 'C'   ? KS7Close(LONG(com))
              : op == 'X' ? KS7OpenEx(com, adr, own, baud, typ, sel)
                          : KS7Open(com, adr, own, baud, typ),
              result)
        << op << com << "/" << adr;
  for (int i = 0; i < 10; ++i) EXPECT_EQ(bInit[i], i < 9) << i;
  EXPECT_EQ(P[1].MPIAdr * 100 + P[7].Com * 10 + P[7].MPIAdr, 912);
  EXPECT_EQ(P[0].SPSTyp + P[4].SPSTyp * 10, 10);
  EXPECT_EQ(CStat[0].InitCnt * 10 + RsIo[0].ComRefCnt, 33);
  EXPECT_EQ(CStat[4].InitCnt + CStat[4].MPIBaud * 10 + CStat[3].MPIBaud + CStat[1].LocalMPIAdr,
            11u);
  EXPECT_EQ(RsIo[3].TIo.c_cflag & (PARENB | PARODD), tcflag_t(PARENB));
  EXPECT_EQ(CStat[5].Baud, 115200u);
  EXPECT_FALSE(ComIsInit(6));
  // a full table: -1, no record and no port touched
  for (LONG i = 9; i < 32; ++i) ASSERT_EQ(KS7Open(2, 2, 0, 19200, 300), i);
  EXPECT_EQ(KS7Open(2, 7, 0, 19200, 300) + KS7OpenEx(2, 7, 0, 19200, 200, 0), -2);
  EXPECT_EQ(CStat[2].InitCnt * 100 + RsIo[2].ComRefCnt + P[31].MPIAdr * 10000, 22323);
  EXPECT_EQ(KS7Close(31), 0);
  EXPECT_EQ(KS7Open(2, 7, 0, 19200, 300), 31);
  EXPECT_EQ(KS7Close(1), 0);
  ExitKesto();  // every slot, 0 included
  EXPECT_EQ(std::count(bInit, bInit + 32, 0), 32);
  EXPECT_EQ(CStat[0].InitCnt + CStat[2].InitCnt + ComIsInit(0) + ComIsInit(2) + ComIsInit(5) +
                P[0].MPIAdr + P[31].MPIAdr,
            0);
  InitKesto();
  EXPECT_EQ(KS7Open(0, 2, 0, 19200, 300), 0);
  // the port closed behind the slot's back: the close is refused, the slot
  // stays open; ExitKesto frees it all the same
  S7ExitAll();
  EXPECT_EQ(KS7Close(0), -1);
  EXPECT_TRUE(bInit[0]);
  ExitKesto();
  for (LONG i = 0; i < 32; ++i) ASSERT_EQ(KS7Open(2, 2, 0, 19200, 300), i);  // every slot again
  ExitKesto();
  for (int fd : {p0.master(), p2.master(), p3.master(), p4.master()}) EXPECT_TRUE(Silent(fd));
  std::string name = "/dev/pts/999", tooLong(64, 'x');
  EXPECT_EQ(KS7SetDevName(16, name.data()) * 1000 + KS7SetDevName(15, name.data()) * 100 +
                KS7SetDevName(15, tooLong.data()) * 10 + KS7SetDevName(15, nullptr),
            -1011);
  EXPECT_STREQ(RsIo[15].DevName, "/dev/pts/999");
}

}  // namespace
