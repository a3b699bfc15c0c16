// Opening and closing connection records: the port status table, the line
// settings of each kind, the 16-bit arguments, and nothing sent.
#include <gtest/gtest.h>
#include <termios.h>

#include "peer.hpp"
#include "rs232.h"
#include "s7conn.h"

using namespace s7test;

namespace {

TEST(S7Init, PortUsersSettingsAndMarks) {
  PtyPort p0(0), p1(1), p2(2), p4(4);
  const tcflag_t odd = PARENB | PARODD;
  const struct {
    char call;  // F: S7InitFastBaud, X: ...Ex, P: S7PPIInit, I: S7Init
    int com, adr, own;
    DWORD baud, sel;
    int err, users;  // Err of the record, InitCnt of the port afterwards
    DWORD speed;
    tcflag_t parity;
  } rows[] = {
      {'X', 1, 2, 0, 19200, 1, 0, 1, B19200, odd},
      {'X', 1, 3, 0, 19200, 1, 0, 2, B19200, odd},
      {'F', 1, 4, 0, 19200, 7, 0, 3, B19200, odd},  // neither kind nor selector compared
      {'P', 1, 5, 0, 19200, 0, 0, 4, B19200, odd},
      {'F', 2, 2, 256, 38400, 0, 0, 1, B38400, odd},  // own address as a byte
      {'P', 0x10010, 2, 0, 9600, 0, -4, 0, 0, 0},     // the port is 16 bits
      {'P', 0, 2, 0, 38400, 0, -2, 0, 0, 0},          // refused before the port is opened
      {'P', 0, 2, 0, 9600 + 65536 * 3 + 1, 0, -2, 0, 0, 0},
      {'P', 0, 2, 0, 9600 + 65536 * 3, 0, 0, 1, B9600, PARENB},  // 16-bit rate
      {'I', 4, 0x10002, 0, 115200, 0, 0, 1, B19200, odd},        // 49664: no rate
  };
  std::vector<S7> recs(std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    const auto &r = rows[i];
    SCOPED_TRACE(i);
    S7 &s7 = recs[i];
    memset(&s7, 0x5A, sizeof s7);
    const BOOL ok = r.call == 'X'   ? S7InitFastBaudEx(&s7, r.com, r.adr, r.own, r.baud, r.sel)
                    : r.call == 'P' ? S7PPIInit(&s7, r.com, r.adr, r.own, r.baud)
                    : r.call == 'I' ? S7Init(&s7, r.com, r.adr, r.own, r.baud)
                                    : S7InitFastBaud(&s7, r.com, r.adr, r.own, r.baud);
    EXPECT_EQ(ok * 10 + s7.bInit, r.err ? 0 : 11);
    EXPECT_EQ(s7.Err * 100 + s7.SPSTyp * 10 + s7.Status + s7.Tx.H.BlockNr,
              r.err * 100 + (r.call == 'P') * 10);
    EXPECT_EQ(s7.Com * 1000 + s7.MPIAdr, (r.com & 0xFFFF) * 1000 + (r.err ? 0 : r.adr & 0xFFFF));
    const int com = r.com & 0xF;
    EXPECT_EQ(CStat[com].InitCnt * 100 + RsIo[com].ComRefCnt, r.users * 101);
    if (r.users) {
      EXPECT_EQ(cfgetospeed(&RsIo[com].TIo), r.speed);
      EXPECT_EQ(RsIo[com].TIo.c_cflag & (PARENB | PARODD | CSIZE | CSTOPB), r.parity | CS8);
    }
  }
  EXPECT_EQ(CStat[1].Baud * 1000 + CStat[1].MPIBaud, 19200001u);
  EXPECT_EQ(CStat[2].LocalMPIAdr + CStat[1].Status + CStat[4].Status, 0);
  EXPECT_EQ(CStat[0].Baud * 100000 + CStat[4].Baud, 960049664u);
  for (int fd : {p0.master(), p1.master(), p2.master(), p4.master()}) EXPECT_TRUE(Silent(fd));
  for (int i : {3, 2, 1, 0}) EXPECT_TRUE(ComIsInit(1) && S7Exit(&recs[i])) << i;
  EXPECT_EQ(ComIsInit(1) + CStat[1].Baud + CStat[1].InitCnt + CStat[1].LocalMPIAdr, 0u);
  EXPECT_EQ(CStat[1].MPIBaud, 1u);  // the selector is kept
  EXPECT_FALSE(S7Exit(&recs[0]) || S7Exit(&recs[5]));
  EXPECT_EQ(recs[0].bInit, TRUE);  // S7Exit changes no field of the record
  S7ExitAll();
  for (int com : {0, 2, 4}) EXPECT_EQ(ComIsInit(com) + CStat[com].InitCnt + CStat[com].Baud, 0u);
  for (int fd : {p0.master(), p2.master(), p4.master()}) EXPECT_TRUE(Silent(fd));
  S7 s7{};
  s7.Com = 5;
  for (BOOL port : {FALSE, TRUE}) {
    s7.Status = TRUE;
    CStat[5].Status = 1;
    SetErr(&s7, port);
    EXPECT_EQ(s7.Err * 100 + s7.Status * 10 + CStat[5].Status, -100 + !port);
  }
  s7.Com = 16;  // no such port: CheckStatus marks the record alone
  s7.Status = TRUE;
  EXPECT_FALSE(CheckStatus(&s7));
  EXPECT_EQ(s7.Err * 10 + s7.Status, -10);
  const LONG set[] = {0, -3, 9, 100000, 0}, back[] = {54, 54, 54, 9, 65535};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(S7SetTimeout(set[i]), back[i]) << i;
  EXPECT_EQ(S7TimeOutwert, 65535);
}

}  // namespace
