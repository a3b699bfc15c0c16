// The PPI path of the connection layer against a scripted S7-200: the status
// request that connects and the exchange of one job, byte for byte and timed.
#include <gtest/gtest.h>

#include <cstring>

#include "fdl.h"
#include "peer.hpp"
#include "rs232.h"
#include "s7conn.h"

using namespace s7test;

namespace {

double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

TEST(Ppi, StatusRequestAndJobsOnTheLine) {
  PtyPort port(0);
  S7I s7{};
  ASSERT_TRUE(S7PPIInit(&s7, 0, 2, 0, 19200));
  std::memset(s7.CmdRd, 0xEE, sizeof s7.CmdRd);
  const auto called = Clock::now();
  Peer p =
      exchange(port.master(), play("g9 >100002000216"), [&] { EXPECT_TRUE(ConnectToPPIAdr(&s7)); });
  EXPECT_EQ(plain(p.seen), "DC0000100200494B16");
  // the token at once, the status request 12 ms after the call
  EXPECT_GE(Ms(called, p.at[3]), 12.0);
  EXPECT_GE(Ms(p.at[2], p.at[3]), Ms(called, p.at[2]) < 8.0 ? 2.0 : 0.0);
  EXPECT_EQ(s7.Tx.H.Dst * 1000 + s7.Tx.H.Src * 100 + s7.Rx.H.Dst * 10 + s7.Rx.H.Src, 2002);
  EXPECT_EQ(std::memcmp(s7.CmdRd, _CmdRd, sizeof s7.CmdRd), 0);
  // any FC will do; other answers leave Err -1 and the record down, the port as it was
  const struct {
    std::string answer;
    BOOL ok;
  } rows[] = {{"100002202216", TRUE},
              {"100502000716", FALSE},
              {"100003000316", FALSE},
              {"E5", FALSE},
              {"100002000316", FALSE},
              {"DC0000", FALSE},
              {plain(sd2(0, 2, 0x08, {0x01})), FALSE},
              {plain(sd2(0, 2, 0x08, Bytes(252, 0x5A))), FALSE}};
  for (const auto &r : rows) {
    s7.Status = TRUE;
    CStat[0].Status = 1;
    exchange(port.master(), play("g9 >" + r.answer),
             [&] { EXPECT_EQ(ConnectToPPIAdr(&s7), r.ok); });
    EXPECT_EQ(s7.Err * 100 + s7.Status * 10 + CStat[0].Status, (r.ok ? 11 : -99));
  }
  // the 30-byte job, the poll at least 5 ms after the acknowledgement
  s7.Err = 2;
  const Bytes job = unhex("320100000200000E00000401120A1002000A000184000000");
  std::memcpy(reinterpret_cast<BYTE *>(&s7.Tx) + 6, job.data(), job.size());
  const Bytes answer = unhex("4041424344454647484940414243444546474849");
  p = exchange(port.master(), play("g33 >E5 g6 >" + plain(sd2(0, 2, 0x08, answer))),
               [&] { EXPECT_EQ(DoPPIComu(&s7, 30), 26); });
  EXPECT_EQ(s7.Err, 0);
  EXPECT_EQ(Bytes(reinterpret_cast<BYTE *>(&s7.Rx) + 6, reinterpret_cast<BYTE *>(&s7.Rx) + 26),
            answer);
  EXPECT_EQ(plain(p.seen), plain(concat({sd2(2, 0, 0x7C, job), sd1(2, 0, 0x5C)})));
  EXPECT_GE(Ms(p.at[32], p.at[33]), 5.0);
  // an answer at once needs no poll; a job without data is an SD1 frame; 252 bytes are LE 255
  exchange(port.master(),
           play("g33 >" + plain(sd2(0, 2, 0x08, {0x32, 0x03, 0x00, 0x00})) + " s200"),
           [&] { EXPECT_EQ(DoPPIComu(&s7, 30), 10); });
  p = exchange(port.master(), play("g6 >100002090B16"), [&] { EXPECT_EQ(DoPPIComu(&s7, 5), 0); });
  EXPECT_EQ(plain(p.seen), "1002007C7E16");
  p = exchange(port.master(), play("g261 >" + plain(sd2(0, 2, 0x08, {0x32}))),
               [&] { EXPECT_EQ(DoPPIComu(&s7, 6 + 252), 7); });
  EXPECT_EQ(p.seen.size() * 1000 + p.seen[1], 261255u);
  // station address 258 is asked as 2, and an answer from 2 is not taken
  S7I far{};
  ComClose(0);
  ASSERT_TRUE(S7PPIInit(&far, 0, 258, 0, 19200));
  p = exchange(port.master(), play("g9 >100002000216"),
               [&] { EXPECT_FALSE(ConnectToPPIAdr(&far)); });
  EXPECT_EQ(plain(p.seen), "DC0000100200494B16");
}

}  // namespace
