// Opening and closing connection records: argument checks against the port's
// other users, the port status table, the line settings, and nothing sent.
#include <gtest/gtest.h>
#include <termios.h>

#include "peer.hpp"
#include "rs232.h"
#include "s7conn.h"

using namespace s7test;

namespace {

TEST(S7Init, CallsAreCheckedAgainstThePortsOtherUsers) {
  PtyPort p1(1), p2(2);
  char missing[] = "/nonexistent/ttyX";
  ASSERT_EQ(ComSetDevName(3, missing), 0);
  const struct {
    char call;  // F: S7InitFastBaud, X: ...Ex, P: S7PPIInit, I: S7Init
    int com, adr, own;
    DWORD baud, sel;
    BOOL ok;
    int err, users;  // Err of the record, InitCnt of the port afterwards
    DWORD speed;     // the rate the port runs at, its parity
    tcflag_t parity;
  } rows[] = {
      {'X', 1, 2, 0, 19200, 1, TRUE, 0, 1, B19200, PARENB | PARODD},
      {'X', 1, 3, 0, 19200, 1, TRUE, 0, 2, B19200, PARENB | PARODD},
      {'F', 1, 4, 0, 38400, 0, FALSE, -2, 2, B19200, PARENB | PARODD},
      {'X', 1, 4, 0, 19200, 2, FALSE, -2, 2, B19200, PARENB | PARODD},  // another selector
      {'F', 1, 4, 5, 19200, 0, FALSE, -3, 2, B19200, PARENB | PARODD},  // another own address
      {'F', 1, 4, 0, 19200, 7, TRUE, 0, 3, B19200, PARENB | PARODD},    // neither kind nor selector
      {'P', 1, 5, 0, 19200, 0, TRUE, 0, 4, B19200, PARENB | PARODD},    // compared
      {'F', 2, 2, 256, 38400, 0, TRUE, 0, 1, B38400, PARENB | PARODD},  // own address as a byte
      {'F', 2, 3, 0, 38400, 0, TRUE, 0, 2, B38400, PARENB | PARODD},
      {'F', 16, 2, 0, 19200, 0, FALSE, -4, 0, 0, 0},
      {'P', 0x10010, 2, 0, 9600, 0, FALSE, -4, 0, 0, 0},  // the port is 16 bits
      {'F', 3, 2, 0, 19200, 0, FALSE, -4, 0, 0, 0},
      {'P', 0, 2, 0, 38400, 0, FALSE, -2, 0, 0, 0},  // refused before the port is opened
      {'P', 0, 2, 0, 9600 + 65536 * 3 + 1, 0, FALSE, -2, 0, 0, 0},
      {'P', 0, 2, 0, 9600 + 65536 * 3, 0, TRUE, 0, 1, B9600, PARENB},        // 16-bit rate
      {'I', 4, 0x10002, 0, 115200, 0, TRUE, 0, 1, B19200, PARENB | PARODD},  // 49664: no rate
  };
  PtyPort p0(0), p4(4);
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
    EXPECT_EQ(ok, r.ok);
    EXPECT_EQ(s7.Err, r.err);
    EXPECT_EQ(s7.bInit, r.ok);
    EXPECT_EQ(s7.Com, r.com & 0xFFFF);
    EXPECT_EQ(s7.SPSTyp, r.call == 'P');
    EXPECT_EQ(s7.MPIAdr, r.ok ? (r.adr & 0xFFFF) : 0);  // a failed init leaves it cleared
    EXPECT_EQ(s7.Status + s7.Tx.H.BlockNr, 0);
    const int com = r.com & 0xF;
    EXPECT_EQ(CStat[com].InitCnt, r.users);
    EXPECT_EQ(RsIo[com].ComRefCnt, r.users);
    if (r.users) {
      EXPECT_EQ(cfgetospeed(&RsIo[com].TIo), r.speed);
      EXPECT_EQ(RsIo[com].TIo.c_cflag & (PARENB | PARODD | CSIZE | CSTOPB), r.parity | CS8);
    }
  }
  EXPECT_EQ(CStat[1].Baud * 1000 + CStat[1].MPIBaud, 19200001u);
  EXPECT_EQ(CStat[2].LocalMPIAdr, 0);
  EXPECT_EQ(CStat[0].Baud, 9600u);
  EXPECT_EQ(CStat[4].Baud, 49664u);
  EXPECT_EQ(CStat[1].Status + CStat[4].Status, 0);
  for (int fd : {p0.master(), p1.master(), p2.master(), p4.master()}) EXPECT_TRUE(Silent(fd));
  // the last user closes the port; the selector is kept
  for (int i : {6, 5, 1, 0}) {
    EXPECT_TRUE(ComIsInit(1));
    EXPECT_TRUE(S7Exit(&recs[i]));
  }
  EXPECT_FALSE(ComIsInit(1));
  EXPECT_EQ(CStat[1].Baud + CStat[1].InitCnt + CStat[1].LocalMPIAdr, 0u);
  EXPECT_EQ(CStat[1].MPIBaud, 1u);
  EXPECT_FALSE(S7Exit(&recs[0]));  // no users left
  EXPECT_FALSE(S7Exit(&recs[11]));
  S7 bad{};
  bad.Com = 99;
  EXPECT_FALSE(S7Exit(&bad));
  EXPECT_EQ(recs[0].bInit, TRUE);  // S7Exit changes no field of the record
  // S7ExitAll closes every port, the port status kept
  S7ExitAll();
  for (int com : {0, 2, 4}) EXPECT_EQ(ComIsInit(com) + CStat[com].InitCnt + CStat[com].Baud, 0u);
  for (int fd : {p0.master(), p1.master(), p2.master(), p4.master()}) EXPECT_TRUE(Silent(fd));
}

TEST(S7Init, ErrorMarksAndTimeOut) {
  S7 s7{};
  s7.Com = 5;
  const struct {
    BOOL port;
    int status_after;
  } rows[] = {{FALSE, 1}, {TRUE, 0}};
  for (const auto &r : rows) {
    s7.Status = TRUE;
    CStat[5].Status = 1;
    SetErr(&s7, r.port);
    EXPECT_EQ(s7.Err * 100 + s7.Status * 10 + CStat[5].Status, -100 + r.status_after);
  }
  s7 = S7{};  // no such port: CheckStatus marks the record alone
  s7.Com = 16;
  s7.Status = TRUE;
  EXPECT_FALSE(CheckStatus(&s7));
  EXPECT_EQ(s7.Err * 10 + s7.Status, -10);
  const LONG set[] = {0, -3, 9, 100000, 0}, back[] = {54, 54, 54, 9, 65535};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(S7SetTimeout(set[i]), back[i]) << i;
  EXPECT_EQ(S7TimeOutwert, 65535);
}

}  // namespace
