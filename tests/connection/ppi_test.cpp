// The PPI path of the connection layer: the status request that connects,
// the exchange of one job with acknowledgements and polls, and every way it
// can fail. Exact bytes come from a scripted partner thread at the pty's
// master side; the failure rows run against the simulated S7-200 with one
// injected fault each.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>

#include "fdl.h"
#include "peer.hpp"
#include "plc.hpp"
#include "ppi_station.hpp"
#include "pty.hpp"
#include "rs232.h"
#include "s7conn.h"
#include "testutil.hpp"

using namespace s7test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kCom = 0, kPlc = 2, kPc = 0;

// A read job for 10 bytes of DB 1 from byte 0: job header and item, 24 bytes.
const Bytes kReadJob{0x32, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x04, 0x01,
                     0x12, 0x0A, 0x10, 0x02, 0x00, 0x0A, 0x00, 0x01, 0x84, 0x00, 0x00, 0x00};

double MsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}
void PutJob(S7I &s7, const Bytes &job) {
  std::memcpy(reinterpret_cast<BYTE *>(&s7.Tx) + 6, job.data(), job.size());
}
Bytes RxJob(const S7I &s7, int len) {
  const BYTE *p = reinterpret_cast<const BYTE *>(&s7.Rx) + 6;
  return Bytes(p, p + len);
}
// The partner reads the PC's `n` bytes, then answers `answer`.
Script Answers(size_t n, Bytes answer) {
  return [=](Peer &p) {
    p.take(n);
    p.put(answer);
  };
}
// The record as it was after a good exchange, with Err `err`.
void Up(S7I &s7, int err = 0) {
  s7.Status = TRUE;
  CStat[kCom].Status = 1;
  s7.Err = err;
}

class PpiScripted : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(S7PPIInit(&s7, kCom, kPlc, kPc, 19200)); }
  void TearDown() override { ComClose(kCom); }
  void Connect() {
    exchange(port.master(), Answers(9, sd1(kPc, kPlc, 0x00)),
             [&] { ASSERT_TRUE(ConnectToPPIAdr(&s7)); });
  }
  PtyPort port{kCom};
  S7I s7{};
};

TEST_F(PpiScripted, StatusRequestWithTokenAndPause) {
  std::memset(s7.CmdRd, 0xEE, sizeof s7.CmdRd);
  const auto called = Clock::now();
  Peer p = exchange(port.master(), Answers(9, sd1(kPc, kPlc, 0x00)),
                    [&] { EXPECT_TRUE(ConnectToPPIAdr(&s7)); });
  EXPECT_EQ(hex(p.seen), "DC 00 00 10 02 00 49 4B 16");
  ASSERT_EQ(p.at.size(), 9u);
  // The token goes out at once, the status request 12 ms later. The partner
  // may read the token late on a busy machine, never the status request
  // early: so the firm bound is taken from the call, and the gap between the
  // two is judged only when the partner read the token while the pause ran.
  EXPECT_GE(MsBetween(called, p.at[3]), 12.0);
  if (MsBetween(called, p.at[2]) < 8.0) {
    EXPECT_GE(MsBetween(p.at[2], p.at[3]), 2.0);
  }
  // the address convention of both headers, fresh templates
  EXPECT_EQ(s7.Tx.H.Dst, kPlc);
  EXPECT_EQ(s7.Tx.H.Src, kPc);
  EXPECT_EQ(s7.Rx.H.Dst, kPc);
  EXPECT_EQ(s7.Rx.H.Src, kPlc);
  EXPECT_EQ(std::memcmp(s7.CmdRd, _CmdRd, sizeof s7.CmdRd), 0);

  // any FC will do; other answers leave Err -1 and the record down, the
  // port as it was
  exchange(port.master(), Answers(9, sd1(kPc, kPlc, 0x20)),
           [&] { EXPECT_TRUE(ConnectToPPIAdr(&s7)); });
  const std::vector<std::pair<const char *, Bytes>> refused{
      {"to another station", sd1(5, kPlc, 0x00)},
      {"from another station", sd1(kPc, 3, 0x00)},
      {"an SD2 frame", sd2(kPc, kPlc, 0x08, {0x01})},
      {"a short acknowledgement", {0xE5}},
      {"a damaged SD1", {0x10, kPc, kPlc, 0x00, 0x03, 0x16}},
      {"the token", {0xDC, 0x00, 0x00}},
      // the longest raw frame there is: received whole, nothing written past
      // the buffer
      {"261 bytes", sd2(kPc, kPlc, 0x08, Bytes(252, 0x5A))},
  };
  for (const auto &[what, answer] : refused) {
    SCOPED_TRACE(what);
    Up(s7);
    exchange(port.master(), Answers(9, answer), [&] { EXPECT_FALSE(ConnectToPPIAdr(&s7)); });
    EXPECT_EQ(s7.Err, -1);
    EXPECT_EQ(s7.Status, FALSE);
    EXPECT_EQ(CStat[kCom].Status, 1);
  }

  // station address 258 is asked as 2, and an answer from 2 is not taken
  S7I far{};
  ComClose(kCom);
  ASSERT_TRUE(S7PPIInit(&far, kCom, 258, kPc, 19200));
  p = exchange(port.master(), Answers(9, sd1(kPc, 2, 0x00)),
               [&] { EXPECT_FALSE(ConnectToPPIAdr(&far)); });
  EXPECT_EQ(hex(p.seen), "DC 00 00 10 02 00 49 4B 16");
  EXPECT_EQ(far.Err, -1);
}

TEST_F(PpiScripted, JobsOnTheLine) {
  Connect();
  PutJob(s7, kReadJob);
  Bytes answer(20);
  std::iota(answer.begin(), answer.end(), 0x40);
  s7.Err = 2;
  Peer p = exchange(
      port.master(),
      [answer](Peer &p) {
        p.take(kReadJob.size() + 9);
        p.put({0xE5});
        p.take(6);
        p.put(sd2(kPc, kPlc, 0x08, answer));
      },
      [&] { EXPECT_EQ(DoPPIComu(&s7, 30), 26); });
  EXPECT_EQ(s7.Err, 0);
  EXPECT_EQ(RxJob(s7, 20), answer);
  // the 30-byte job, then the poll at least 5 ms after the acknowledgement
  const size_t poll_at = p.seen.size() - 6;
  EXPECT_EQ(hex(Bytes(p.seen.begin(), p.seen.begin() + poll_at)),
            hex(sd2(kPlc, kPc, 0x7C, kReadJob)));
  EXPECT_EQ(hex(Bytes(p.seen.begin(), p.seen.begin() + 7)), "68 1B 1B 68 02 00 7C");
  EXPECT_EQ(hex(Bytes(p.seen.begin() + poll_at, p.seen.end())), "10 02 00 5C 5E 16");
  EXPECT_GE(MsBetween(p.at[poll_at - 1], p.at[poll_at]), 5.0);

  // an answer at once needs no poll
  p = exchange(
      port.master(),
      [](Peer &p) {
        p.take(kReadJob.size() + 9);
        p.put(sd2(kPc, kPlc, 0x08, {0x32, 0x03, 0x00, 0x00}));
        p.silence(200);
      },
      [&] { EXPECT_EQ(DoPPIComu(&s7, 30), 10); });

  // a job without data is an SD1 frame
  p = exchange(port.master(), Answers(6, sd1(kPc, kPlc, 0x09)),
               [&] { EXPECT_EQ(DoPPIComu(&s7, 5), 0); });
  EXPECT_EQ(hex(p.seen), "10 02 00 7C 7E 16");

  // one byte more than an SD2 frame carries: refused unsent, the connection
  // left as it was; 252 bytes still go out, as LE 255
  Up(s7);
  EXPECT_EQ(DoPPIComu(&s7, 6 + 253), -1);
  EXPECT_EQ(s7.Err, -1);
  EXPECT_EQ(s7.Status, TRUE);
  EXPECT_EQ(CStat[kCom].Status, 1);
  EXPECT_TRUE(s7sim::read_until_quiet(port.master(), 100).empty());
  p = exchange(port.master(), Answers(261, sd2(kPc, kPlc, 0x08, {0x32})),
               [&] { EXPECT_EQ(DoPPIComu(&s7, 6 + 252), 7); });
  ASSERT_EQ(p.seen.size(), 261u);
  EXPECT_EQ(p.seen[1], 0xFF);
}

// ---- against the simulated S7-200 ----

class PpiWithStation : public ::testing::Test {
 protected:
  void SetUp() override {
    plc.add_db(1, 256);
    plc.write_bytes(s7sim::Area::DB, 1, 0, kData);
    station.start();
    // Let the station settle in its wait, so its clock sees the token on time.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(S7PPIInit(&s7, kCom, kPlc, kPc, 19200));
  }
  void TearDown() override {
    station.stop();
    ComClose(kCom);
    EXPECT_TRUE(station.violations().empty()) << station.violations()[0];
  }
  void Connected() {
    ASSERT_TRUE(ConnectToPPIAdr(&s7));
    Up(s7);
  }
  // Reads DB 1 bytes 0..9: the answer is 28 bytes (12 + 2 + 4 + 10) from B1 on.
  int ReadJob() {
    PutJob(s7, kReadJob);
    return DoPPIComu(&s7, 30);
  }
  void Recover() {  // after the connection was dropped
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    Connected();
  }

  const Bytes kData{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA};
  PtyPort port{kCom};
  s7sim::Plc plc;
  s7sim::PpiStation station{port.master(), kPlc, plc};
  S7I s7{};
};

TEST_F(PpiWithStation, GoodExchanges) {
  // CheckStatus connects (the status request twice), jobs go through DoMPIComu
  EXPECT_TRUE(CheckStatus(&s7));
  EXPECT_EQ(CStat[kCom].Status, 1);
  EXPECT_EQ(s7.Status, TRUE);
  EXPECT_EQ(station.counts().status_requests, 2);
  s7.Err = 2;
  PutJob(s7, kReadJob);
  EXPECT_EQ(DoMPIComu(&s7, 30), 6 + 28);
  EXPECT_EQ(s7.Err, 0);
  const Bytes answer = RxJob(s7, 28);
  EXPECT_EQ(answer[0], 0x32);
  EXPECT_EQ(answer[1], 0x03);
  EXPECT_EQ(answer[14], 0xFF);  // return code of the item
  EXPECT_EQ(Bytes(answer.begin() + 18, answer.end()), kData);
  // more acknowledgements before the answer: more polls, same result
  station.set_acks_before_answer(3);
  EXPECT_EQ(ReadJob(), 34);
  station.set_acks_before_answer(0);
  station.set_answer_directly(true);
  EXPECT_EQ(ReadJob(), 34);
  EXPECT_TRUE(CheckStatus(&s7));
  const auto c = station.counts();
  EXPECT_EQ(c.status_requests, 2);
  EXPECT_EQ(c.requests, 3);
  EXPECT_EQ(c.polls, 1 + 4);
  ASSERT_EQ(station.token_gaps_ms().size(), 2u);
  for (double gap : station.token_gaps_ms()) EXPECT_GE(gap, 2.0);
  // the disconnect: SD1 with FC 7C and no data
  DisconnectMPIAdr(&s7);
  EXPECT_EQ(station.counts().disconnects, 1);
}

TEST_F(PpiWithStation, ConnectFailures) {
  using s7sim::PpiFault;
  for (PpiFault f : {PpiFault::BadFcs, PpiFault::BadEd, PpiFault::LeMismatch, PpiFault::Sd3Frame,
                     PpiFault::OtherAddress, PpiFault::AckForever, PpiFault::Silence}) {
    SCOPED_TRACE(static_cast<int>(f));
    station.inject({f, s7sim::PpiFaultOn::StatusRequest});
    Up(s7);
    EXPECT_FALSE(ConnectToPPIAdr(&s7));
    EXPECT_EQ(s7.Err, -1);
    EXPECT_EQ(s7.Status, FALSE);
    EXPECT_EQ(CStat[kCom].Status, 1);
  }
  EXPECT_TRUE(ConnectToPPIAdr(&s7));  // and then it connects again
}

TEST_F(PpiWithStation, NoUsableAnswerLeavesErrAlone) {
  using s7sim::PpiFault;
  using s7sim::PpiFaultOn;
  Connected();
  for (PpiFaultOn on : {PpiFaultOn::Request, PpiFaultOn::Poll}) {
    for (PpiFault f : {PpiFault::BadFcs, PpiFault::BadEd, PpiFault::LeMismatch, PpiFault::Sd1Frame,
                       PpiFault::Sd3Frame, PpiFault::OtherAddress, PpiFault::Silence}) {
      SCOPED_TRACE(static_cast<int>(f) * 10 + static_cast<int>(on));
      station.inject({f, on});
      Up(s7, 2);
      const auto t0 = Clock::now();
      EXPECT_EQ(ReadJob(), 0);
      if (f == PpiFault::Silence) {  // one wait of 0.5 s per frame
        EXPECT_GE(MsBetween(t0, Clock::now()), 400);
        EXPECT_LT(MsBetween(t0, Clock::now()), 1500);
      }
      EXPECT_EQ(s7.Err, 2);
      EXPECT_EQ(s7.Status, TRUE);
      EXPECT_EQ(CStat[kCom].Status, 1);
      if (f == PpiFault::LeMismatch) {
        // The rest of that frame is still waiting when the next job is sent:
        // it counts as the station talking, and the connection starts over.
        EXPECT_EQ(ReadJob(), -1);
        EXPECT_EQ(CStat[kCom].Status, 0);
        Recover();
      }
      // the next job goes through on the same connection
      EXPECT_EQ(ReadJob(), 34);
      EXPECT_EQ(s7.Err, 0);
    }
  }

  // acknowledging forever: Err as it was
  station.inject({PpiFault::AckForever, PpiFaultOn::Request});
  Up(s7);
  EXPECT_EQ(ReadJob(), 1);
  EXPECT_EQ(s7.Err, 0);
}

}  // namespace
