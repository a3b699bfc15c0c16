// The PPI path of the connection layer: the status request that connects and
// the exchange of one job, with exact bytes from a scripted partner; every
// way it fails against the simulated S7-200 with one injected fault each.
#include <gtest/gtest.h>

#include <cstring>

#include "fdl.h"
#include "peer.hpp"
#include "plc.hpp"
#include "ppi_station.hpp"
#include "rs232.h"
#include "s7conn.h"

using namespace s7test;
using s7sim::PpiFault;

namespace {

// A read job for 10 bytes of DB 1 from byte 0: job header and item, 24 bytes.
const char *kReadJob = "320100000200000E00000401120A1002000A000184000000";

double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}
void PutJob(S7I &s7, const char *job) {
  const Bytes b = unhex(job);
  std::memcpy(reinterpret_cast<BYTE *>(&s7.Tx) + 6, b.data(), b.size());
}
void Up(S7I &s7, int err = 0) {  // as after a good exchange
  s7.Status = TRUE;
  CStat[0].Status = 1;
  s7.Err = err;
}
void ExpectKept(const S7I &s7, int err, BOOL status, int port = 1) {
  EXPECT_EQ(s7.Err, err);
  EXPECT_EQ(s7.Status, status);
  EXPECT_EQ(CStat[0].Status, port);
}

TEST(Ppi, StatusRequestAndJobsOnTheLine) {
  PtyPort port(0);
  S7I s7{};
  ASSERT_TRUE(S7PPIInit(&s7, 0, 2, 0, 19200));
  std::memset(s7.CmdRd, 0xEE, sizeof s7.CmdRd);
  const auto called = Clock::now();
  Peer p =
      exchange(port.master(), play("g9 >100002000216"), [&] { EXPECT_TRUE(ConnectToPPIAdr(&s7)); });
  EXPECT_EQ(hex(p.seen), "DC 00 00 10 02 00 49 4B 16");
  // the token at once, the status request 12 ms later (judged from the call,
  // and between the two only when the partner read the token in time)
  EXPECT_GE(Ms(called, p.at[3]), 12.0);
  EXPECT_GE(Ms(p.at[2], p.at[3]), Ms(called, p.at[2]) < 8.0 ? 2.0 : 0.0);
  EXPECT_EQ(s7.Tx.H.Dst * 1000 + s7.Tx.H.Src * 100 + s7.Rx.H.Dst * 10 + s7.Rx.H.Src, 2002);
  EXPECT_EQ(std::memcmp(s7.CmdRd, _CmdRd, sizeof s7.CmdRd), 0);
  // any FC will do; other answers leave Err -1 and the record down, the port as it was
  const struct {
    std::string answer;
    BOOL ok;
  } rows[] = {
      {"10 00 02 20 22 16", TRUE},
      {"10 05 02 00 07 16", FALSE},  // to another station
      {"10 00 03 00 03 16", FALSE},  // from another station
      {hex(sd2(0, 2, 0x08, {0x01})), FALSE},
      {"E5", FALSE},
      {"10 00 02 00 03 16", FALSE},  // damaged
      {"DC 00 00", FALSE},
      {hex(sd2(0, 2, 0x08, Bytes(252, 0x5A))), FALSE},  // the longest raw frame
  };
  for (const auto &r : rows) {
    Up(s7);
    exchange(port.master(), play("g9 >" + plain(unhex(r.answer))),
             [&] { EXPECT_EQ(ConnectToPPIAdr(&s7), r.ok); });
    ExpectKept(s7, r.ok ? 0 : -1, r.ok);
  }

  // the 30-byte job, the poll at least 5 ms after the acknowledgement
  Up(s7, 2);
  PutJob(s7, kReadJob);
  const Bytes answer = unhex("4041424344454647484940414243444546474849");
  p = exchange(port.master(), play("g33 >E5 g6 >" + plain(sd2(0, 2, 0x08, answer))),
               [&] { EXPECT_EQ(DoPPIComu(&s7, 30), 26); });
  EXPECT_EQ(s7.Err, 0);
  EXPECT_EQ(Bytes(reinterpret_cast<BYTE *>(&s7.Rx) + 6, reinterpret_cast<BYTE *>(&s7.Rx) + 26),
            answer);
  EXPECT_EQ(hex(p.seen), hex(concat({sd2(2, 0, 0x7C, unhex(kReadJob)), sd1(2, 0, 0x5C)})));
  EXPECT_GE(Ms(p.at[32], p.at[33]), 5.0);
  // an answer at once needs no poll; a job without data is an SD1 frame; 252
  // bytes go out as LE 255
  exchange(port.master(),
           play("g33 >" + plain(sd2(0, 2, 0x08, {0x32, 0x03, 0x00, 0x00})) + " s200"),
           [&] { EXPECT_EQ(DoPPIComu(&s7, 30), 10); });
  p = exchange(port.master(), play("g6 >100002090B16"), [&] { EXPECT_EQ(DoPPIComu(&s7, 5), 0); });
  EXPECT_EQ(hex(p.seen), "10 02 00 7C 7E 16");
  p = exchange(port.master(), play("g261 >" + plain(sd2(0, 2, 0x08, {0x32}))),
               [&] { EXPECT_EQ(DoPPIComu(&s7, 6 + 252), 7); });
  EXPECT_EQ(p.seen.size() * 1000 + p.seen[1], 261255u);

  // station address 258 is asked as 2, and an answer from 2 is not taken
  S7I far{};
  ComClose(0);
  ASSERT_TRUE(S7PPIInit(&far, 0, 258, 0, 19200));
  p = exchange(port.master(), play("g9 >100002000216"),
               [&] { EXPECT_FALSE(ConnectToPPIAdr(&far)); });
  EXPECT_EQ(hex(p.seen), "DC 00 00 10 02 00 49 4B 16");
}

TEST(Ppi, FaultsOfTheStation) {
  PtyPort port(0);
  s7sim::Plc plc;
  plc.add_db(1, 256);
  plc.write_bytes(s7sim::Area::DB, 1, 0, Bytes{0x11, 0x22});
  s7sim::PpiStation station(port.master(), 2, plc);
  station.start();
  usleep(30000);  // the station settles in its wait, so its clock sees the token on time
  S7I s7{};
  ASSERT_TRUE(S7PPIInit(&s7, 0, 2, 0, 19200));
  const auto read = [&] {
    PutJob(s7, kReadJob);
    return DoPPIComu(&s7, 30);
  };
  // connect failures: Err -1, record down, port as it was
  for (PpiFault f : {PpiFault::BadFcs, PpiFault::BadEd, PpiFault::LeMismatch, PpiFault::Sd3Frame,
                     PpiFault::OtherAddress, PpiFault::AckForever, PpiFault::Silence}) {
    SCOPED_TRACE(int(f));
    station.inject({f, s7sim::PpiFaultOn::StatusRequest});
    Up(s7);
    EXPECT_FALSE(ConnectToPPIAdr(&s7));
    ExpectKept(s7, -1, FALSE);
  }
  ASSERT_TRUE(ConnectToPPIAdr(&s7));
  // no usable answer to the request or the poll: 0, Err and the connection
  // as they were; the next job goes through
  for (auto on : {s7sim::PpiFaultOn::Request, s7sim::PpiFaultOn::Poll}) {
    for (PpiFault f : {PpiFault::BadFcs, PpiFault::BadEd, PpiFault::LeMismatch, PpiFault::Sd1Frame,
                       PpiFault::Sd3Frame, PpiFault::OtherAddress, PpiFault::Silence}) {
      SCOPED_TRACE(int(f) * 10 + int(on));
      station.inject({f, on});
      Up(s7, 2);
      const auto t0 = Clock::now();
      EXPECT_EQ(read(), 0);
      EXPECT_NEAR(Since(t0), f == PpiFault::Silence ? 0.5 : 0.1, 0.4);  // one wait of 0.5 s
      ExpectKept(s7, 2, TRUE);
      if (f == PpiFault::LeMismatch) {
        // the rest of that frame counts as the station talking: start over
        EXPECT_EQ(read(), -1);
        ExpectKept(s7, -1, FALSE, 0);
        usleep(150000);
        ASSERT_TRUE(ConnectToPPIAdr(&s7));
        Up(s7);
      }
      EXPECT_EQ(read(), 34);
      EXPECT_EQ(s7.Err, 0);
    }
  }
  station.stop();
  EXPECT_EQ(joined(station.violations()), "");
}

}  // namespace
