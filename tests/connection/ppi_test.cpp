// The PPI path of the connection layer: the status request that connects,
// the exchange of one job with acknowledgements and polls, and every way it
// can fail. Exact bytes come from a scripted partner thread at the pty's
// master side; the failure rows run against the simulated S7-200 with one
// injected fault each.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <numeric>
#include <optional>
#include <thread>
#include <vector>

#include "fdl.h"
#include "plc.hpp"
#include "ppi_station.hpp"
#include "pty.hpp"
#include "rs232.h"
#include "s7conn.h"
#include "testutil.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kCom = 0;
constexpr int kPlc = 2;
constexpr int kPc = 0;

Bytes sd1(uint8_t da, uint8_t sa, uint8_t fc) {
  return {0x10, da, sa, fc, static_cast<uint8_t>((da + sa + fc) & 0xFF), 0x16};
}

Bytes sd2(uint8_t da, uint8_t sa, uint8_t fc, const Bytes &du) {
  const auto le = static_cast<uint8_t>(du.size() + 3);
  Bytes f{0x68, le, le, 0x68, da, sa, fc};
  f.insert(f.end(), du.begin(), du.end());
  f.push_back(static_cast<uint8_t>(std::accumulate(f.begin() + 4, f.end(), 0u) & 0xFF));
  f.push_back(0x16);
  return f;
}

// A read job for 10 bytes of DB 1 from byte 0: job header and item, 24 bytes.
const Bytes kReadJob{0x32, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x04, 0x01,
                     0x12, 0x0A, 0x10, 0x02, 0x00, 0x0A, 0x00, 0x01, 0x84, 0x00, 0x00, 0x00};

// The partner's side of the line, run by a script on its own thread. Every
// byte read is kept with the time it was read.
class Partner {
 public:
  using Script = std::function<void(Partner &)>;
  Partner(int fd, Script script) : fd_(fd), thread_([this, script] { script(*this); }) {}
  ~Partner() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

  std::optional<uint8_t> get(int ms = 2000) {
    uint8_t b;
    if (!s7sim::read_byte(fd_, b, ms)) return std::nullopt;
    seen.push_back(b);
    at.push_back(Clock::now());
    return b;
  }
  // Reads n bytes (fewer on silence) and returns them.
  Bytes take(size_t n, int ms = 2000) {
    Bytes out;
    while (out.size() < n) {
      auto b = get(ms);
      if (!b) break;
      out.push_back(*b);
    }
    return out;
  }
  void put(const Bytes &b) { s7sim::write_all(fd_, b); }

  Bytes seen;
  std::vector<Clock::time_point> at;

 private:
  int fd_;
  std::thread thread_;
};

double ms_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

void put_job(S7I &s7, const Bytes &job) {
  std::memcpy(reinterpret_cast<BYTE *>(&s7.Tx) + 6, job.data(), job.size());
}

Bytes rx_job(const S7I &s7, int len) {
  const BYTE *p = reinterpret_cast<const BYTE *>(&s7.Rx) + 6;
  return Bytes(p, p + len);
}

class PpiScripted : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(S7PPIInit(&s7, kCom, kPlc, kPc, 19200)); }
  void TearDown() override { ComClose(kCom); }

  // Connects the record with a partner that answers one status request.
  void connect() {
    Partner p(port.master(), [](Partner &p) {
      p.take(9);
      p.put(sd1(kPc, kPlc, 0x00));
    });
    ASSERT_TRUE(ConnectToPPIAdr(&s7));
    p.join();
  }

  s7test::PtyPort port{kCom};
  S7I s7{};
};

TEST_F(PpiScripted, StatusRequestWithTokenAndPause) {
  std::memset(s7.CmdRd, 0xEE, sizeof s7.CmdRd);
  Partner p(port.master(), [](Partner &p) {
    p.take(9);
    p.put(sd1(kPc, kPlc, 0x00));
  });
  const auto called = Clock::now();
  EXPECT_TRUE(ConnectToPPIAdr(&s7));
  p.join();
  EXPECT_EQ(s7test::hex(p.seen), "DC 00 00 10 02 00 49 4B 16");
  ASSERT_EQ(p.at.size(), 9u);
  // The token goes out at once, the status request 12 ms later. The partner
  // may read the token late on a busy machine, never the status request
  // early: so the firm bound is taken from the call, and the gap the partner
  // sees between the two only has to be plainly there.
  EXPECT_GE(ms_between(called, p.at[3]), 12.0);
  EXPECT_GE(ms_between(p.at[2], p.at[3]), 2.0);
  // The address convention of both headers.
  EXPECT_EQ(s7.Tx.H.Dst, kPlc);
  EXPECT_EQ(s7.Tx.H.Src, kPc);
  EXPECT_EQ(s7.Rx.H.Dst, kPc);
  EXPECT_EQ(s7.Rx.H.Src, kPlc);
  // Fresh templates.
  EXPECT_EQ(std::memcmp(s7.CmdRd, _CmdRd, sizeof s7.CmdRd), 0);
}

TEST_F(PpiScripted, StatusAnswerAcceptedOnlyFromThePlcToUs) {
  // Any FC will do.
  {
    Partner p(port.master(), [](Partner &p) {
      p.take(9);
      p.put(sd1(kPc, kPlc, 0x20));
    });
    EXPECT_TRUE(ConnectToPPIAdr(&s7));
  }
  // Refused answers: each leaves Err -1 and the record down, the port as it was.
  const std::vector<std::pair<const char *, Bytes>> refused{
      {"to another station", sd1(5, kPlc, 0x00)},
      {"from another station", sd1(kPc, 3, 0x00)},
      {"an SD2 frame", sd2(kPc, kPlc, 0x08, {0x01})},
      {"a short acknowledgement", {0xE5}},
      {"a damaged SD1", {0x10, kPc, kPlc, 0x00, 0x03, 0x16}},
      {"the token", {0xDC, 0x00, 0x00}},
  };
  for (const auto &[what, answer] : refused) {
    SCOPED_TRACE(what);
    CStat[kCom].Status = 1;
    s7.Status = TRUE;
    s7.Err = 0;
    Bytes a = answer;
    Partner p(port.master(), [a](Partner &p) {
      p.take(9);
      p.put(a);
    });
    EXPECT_FALSE(ConnectToPPIAdr(&s7));
    p.join();
    EXPECT_EQ(s7.Err, -1);
    EXPECT_EQ(s7.Status, FALSE);
    EXPECT_EQ(CStat[kCom].Status, 1);
  }
}

TEST_F(PpiScripted, NoisyStatusAnswerStaysInsideTheBuffer) {
  // The longest raw frame there is (261 bytes) in answer to the status
  // request: received whole, refused, nothing written past the buffer.
  Bytes du(252, 0x5A);
  Partner p(port.master(), [du](Partner &p) {
    p.take(9);
    p.put(sd2(kPc, kPlc, 0x08, du));
  });
  EXPECT_FALSE(ConnectToPPIAdr(&s7));
  EXPECT_EQ(s7.Err, -1);
}

TEST_F(PpiScripted, StationAddressAbove255NeverAnswers) {
  S7I far{};
  ComClose(kCom);
  ASSERT_TRUE(S7PPIInit(&far, kCom, 258, kPc, 19200));
  Partner p(port.master(), [](Partner &p) {
    p.take(9);
    p.put(sd1(kPc, 2, 0x00));  // station 2 answers: it is what was asked
  });
  EXPECT_FALSE(ConnectToPPIAdr(&far));
  p.join();
  EXPECT_EQ(s7test::hex(p.seen), "DC 00 00 10 02 00 49 4B 16");
  EXPECT_EQ(far.Err, -1);
}

TEST_F(PpiScripted, ReadJobAcknowledgedPolledAndAnswered) {
  connect();
  put_job(s7, kReadJob);
  Bytes answer(20);
  std::iota(answer.begin(), answer.end(), 0x40);
  Partner p(port.master(), [answer](Partner &p) {
    p.take(kReadJob.size() + 9);
    p.put({0xE5});
    p.take(6);
    p.put(sd2(kPc, kPlc, 0x08, answer));
  });
  s7.Err = 2;
  EXPECT_EQ(DoPPIComu(&s7, 30), 26);
  p.join();
  EXPECT_EQ(s7.Err, 0);
  EXPECT_EQ(rx_job(s7, 20), answer);
  Bytes request(p.seen.begin(), p.seen.end() - 6);
  EXPECT_EQ(s7test::hex(request), s7test::hex(sd2(kPlc, kPc, 0x7C, kReadJob)));
  EXPECT_EQ(s7test::hex(Bytes(request.begin(), request.begin() + 7)), "68 1B 1B 68 02 00 7C");
  EXPECT_EQ(s7test::hex(Bytes(p.seen.end() - 6, p.seen.end())), "10 02 00 5C 5E 16");
  // The poll follows the acknowledgement after at least 5 ms.
  const size_t poll_at = p.seen.size() - 6;
  EXPECT_GE(ms_between(p.at[poll_at - 1], p.at[poll_at]), 5.0);
}

TEST_F(PpiScripted, DirectAnswerNeedsNoPoll) {
  connect();
  put_job(s7, kReadJob);
  Partner p(port.master(), [](Partner &p) {
    p.take(kReadJob.size() + 9);
    p.put(sd2(kPc, kPlc, 0x08, {0x32, 0x03, 0x00, 0x00}));
    p.take(1, 200);  // nothing more may come
  });
  EXPECT_EQ(DoPPIComu(&s7, 30), 10);
  p.join();
  EXPECT_EQ(p.seen.size(), kReadJob.size() + 9);
}

TEST_F(PpiScripted, JobWithoutDataIsAnSd1Frame) {
  connect();
  Partner p(port.master(), [](Partner &p) {
    p.take(6);
    p.put(sd1(kPc, kPlc, 0x09));
  });
  EXPECT_EQ(DoPPIComu(&s7, 5), 0);
  p.join();
  EXPECT_EQ(s7test::hex(p.seen), "10 02 00 7C 7E 16");
}

TEST_F(PpiScripted, JobTooLargeForOneFrameIsRefusedUnsent) {
  connect();
  s7.Status = TRUE;
  CStat[kCom].Status = 1;
  EXPECT_EQ(DoPPIComu(&s7, 6 + 253), -1);
  EXPECT_EQ(s7.Err, -1);
  EXPECT_EQ(s7.Status, TRUE);
  EXPECT_EQ(CStat[kCom].Status, 1);
  EXPECT_TRUE(s7sim::read_until_quiet(port.master(), 100).empty());

  // 252 bytes still go out, as LE 255.
  Partner p(port.master(), [](Partner &p) {
    p.take(261);
    p.put(sd2(kPc, kPlc, 0x08, {0x32}));
  });
  EXPECT_EQ(DoPPIComu(&s7, 6 + 252), 7);
  p.join();
  ASSERT_EQ(p.seen.size(), 261u);
  EXPECT_EQ(p.seen[1], 0xFF);
}

TEST_F(PpiScripted, ByteWhileSendingDropsRecordAndPort) {
  connect();
  s7.Status = TRUE;
  CStat[kCom].Status = 1;
  s7.Err = 0;
  put_job(s7, kReadJob);
  s7sim::write_all(port.master(), Bytes{0xE5});
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(DoPPIComu(&s7, 30), -1);
  EXPECT_EQ(s7.Err, -1);
  EXPECT_EQ(s7.Status, FALSE);
  EXPECT_EQ(CStat[kCom].Status, 0);
  // Header, FC and one data byte; no FCS, no end delimiter.
  EXPECT_EQ(s7test::hex(s7sim::read_until_quiet(port.master(), 100)), "68 1B 1B 68 02 00 7C 32");
}

TEST_F(PpiScripted, TwentyAcknowledgementsEndTheExchange) {
  connect();
  put_job(s7, kReadJob);
  int polls = 0;
  Partner p(port.master(), [&polls](Partner &p) {
    p.take(kReadJob.size() + 9);
    p.put({0xE5});
    while (p.take(6, 300).size() == 6) {
      ++polls;
      p.put({0xE5});
    }
  });
  s7.Err = 2;
  EXPECT_EQ(DoPPIComu(&s7, 30), 1);
  p.join();
  EXPECT_EQ(s7.Err, 2);  // left as it was
  // Twenty acknowledgements read; no poll is left without its answer read.
  EXPECT_EQ(polls, 19);
}

// ---- against the simulated S7-200 ----

class PpiWithStation : public ::testing::Test {
 protected:
  void SetUp() override {
    plc.add_db(1, 256);
    const Bytes data{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA};
    plc.write_bytes(s7sim::Area::DB, 1, 0, data);
    station.start();
    // Let the station settle in its wait, so its clock sees the token on time.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(S7PPIInit(&s7, kCom, kPlc, kPc, 19200));
  }
  void TearDown() override {
    station.stop();
    ComClose(kCom);
  }
  void connected() {
    ASSERT_TRUE(ConnectToPPIAdr(&s7));
    s7.Status = TRUE;
    CStat[kCom].Status = 1;
  }
  // Reads DB 1 bytes 0..9: the answer is 28 bytes (12 + 2 + 4 + 10) from B1 on.
  int read_job() {
    put_job(s7, kReadJob);
    return DoPPIComu(&s7, 30);
  }
  void expect_clean() { EXPECT_TRUE(station.violations().empty()) << station.violations()[0]; }

  s7test::PtyPort port{kCom};
  s7sim::Plc plc;
  s7sim::PpiStation station{port.master(), kPlc, plc};
  S7I s7{};
};

TEST_F(PpiWithStation, GoodExchangeLeavesNoViolation) {
  connected();
  s7.Err = 2;
  EXPECT_EQ(read_job(), 6 + 28);
  EXPECT_EQ(s7.Err, 0);
  const Bytes answer = rx_job(s7, 28);
  EXPECT_EQ(answer[0], 0x32);
  EXPECT_EQ(answer[1], 0x03);
  EXPECT_EQ(answer[14], 0xFF);  // return code of the item
  EXPECT_EQ(Bytes(answer.begin() + 18, answer.end()),
            (Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA}));
  // More acknowledgements before the answer: more polls, same result.
  station.set_acks_before_answer(3);
  EXPECT_EQ(read_job(), 34);
  station.set_acks_before_answer(0);
  station.set_answer_directly(true);
  EXPECT_EQ(read_job(), 34);
  const auto c = station.counts();
  EXPECT_EQ(c.requests, 3);
  EXPECT_EQ(c.polls, 1 + 4);
  ASSERT_EQ(station.token_gaps_ms().size(), 1u);
  EXPECT_GE(station.token_gaps_ms()[0], 2.0);
  expect_clean();
}

TEST_F(PpiWithStation, ConnectFailures) {
  using s7sim::PpiFault;
  for (PpiFault f : {PpiFault::BadFcs, PpiFault::BadEd, PpiFault::LeMismatch, PpiFault::Sd3Frame,
                     PpiFault::OtherAddress, PpiFault::AckForever, PpiFault::Silence}) {
    SCOPED_TRACE(static_cast<int>(f));
    station.inject({f, s7sim::PpiFaultOn::StatusRequest});
    CStat[kCom].Status = 1;
    s7.Status = TRUE;
    s7.Err = 0;
    EXPECT_FALSE(ConnectToPPIAdr(&s7));
    EXPECT_EQ(s7.Err, -1);
    EXPECT_EQ(s7.Status, FALSE);
    EXPECT_EQ(CStat[kCom].Status, 1);
  }
  // And then it connects again.
  EXPECT_TRUE(ConnectToPPIAdr(&s7));
  expect_clean();
}

TEST_F(PpiWithStation, NoUsableAnswerLeavesErrAlone) {
  using s7sim::PpiFault;
  using s7sim::PpiFaultOn;
  connected();
  for (PpiFaultOn on : {PpiFaultOn::Request, PpiFaultOn::Poll}) {
    for (PpiFault f : {PpiFault::BadFcs, PpiFault::BadEd, PpiFault::LeMismatch, PpiFault::Sd1Frame,
                       PpiFault::Sd3Frame, PpiFault::OtherAddress}) {
      SCOPED_TRACE(static_cast<int>(f) * 10 + static_cast<int>(on));
      station.inject({f, on});
      s7.Err = 2;
      EXPECT_EQ(read_job(), 0);
      EXPECT_EQ(s7.Err, 2);
      EXPECT_EQ(s7.Status, TRUE);
      EXPECT_EQ(CStat[kCom].Status, 1);
      if (f == PpiFault::LeMismatch) {
        // The rest of that frame is still waiting when the next job is sent:
        // it counts as the station talking, and the connection starts over.
        EXPECT_EQ(read_job(), -1);
        EXPECT_EQ(CStat[kCom].Status, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        connected();
      }
      // The next job goes through on the same connection.
      EXPECT_EQ(read_job(), 34);
      EXPECT_EQ(s7.Err, 0);
    }
  }
  expect_clean();
}

TEST_F(PpiWithStation, SilenceCostsOneWaitPerFrame) {
  using s7sim::PpiFault;
  using s7sim::PpiFaultOn;
  connected();
  for (PpiFaultOn on : {PpiFaultOn::Request, PpiFaultOn::Poll}) {
    station.inject({PpiFault::Silence, on});
    s7.Err = 0;
    const auto t0 = Clock::now();
    EXPECT_EQ(read_job(), 0);
    const double waited = ms_between(t0, Clock::now());
    EXPECT_GE(waited, 400);
    EXPECT_LT(waited, 1500);
    EXPECT_EQ(s7.Err, 0);
    EXPECT_EQ(read_job(), 34);
  }
  expect_clean();
}

TEST_F(PpiWithStation, AcknowledgingForeverEndsAfterTwentyPasses) {
  connected();
  station.inject({s7sim::PpiFault::AckForever, s7sim::PpiFaultOn::Request});
  s7.Err = 0;
  EXPECT_EQ(read_job(), 1);
  EXPECT_EQ(s7.Err, 0);
  auto c = station.counts();
  EXPECT_EQ(c.polls, 19);
  EXPECT_EQ(c.acks, 20);
  // Nothing is left on the line: the next job gets its own answer.
  plc.write_bytes(s7sim::Area::DB, 1, 0, Bytes{0xAB});
  EXPECT_EQ(read_job(), 34);
  EXPECT_EQ(rx_job(s7, 28)[18], 0xAB);
  expect_clean();
}

TEST_F(PpiWithStation, StationTalkingDuringTheRequestDropsTheConnection) {
  connected();
  station.inject({s7sim::PpiFault::ByteWhileSending, s7sim::PpiFaultOn::Request});
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  // A write job: it must not be carried out.
  Bytes job{0x32, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x0E, 0x00, 0x5E, 0x05, 0x01, 0x12, 0x0A,
            0x10, 0x02, 0x00, 0x5A, 0x00, 0x01, 0x84, 0x00, 0x00, 0x00, 0x00, 0x04, 0x02, 0xD0};
  job.resize(job.size() + 90, 0x42);
  put_job(s7, job);
  EXPECT_EQ(DoPPIComu(&s7, 6 + static_cast<int>(job.size())), -1);
  EXPECT_EQ(s7.Err, -1);
  EXPECT_EQ(s7.Status, FALSE);
  EXPECT_EQ(CStat[kCom].Status, 0);
  EXPECT_EQ(plc.read_bytes(s7sim::Area::DB, 1, 0, 1)[0], 0x11);  // not written
  // Recovery: the status request again, then the job.
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  connected();
  EXPECT_EQ(read_job(), 34);
  expect_clean();
}

TEST_F(PpiWithStation, CheckStatusConnectsTwiceAndJobsTravelThroughDoMPIComu) {
  EXPECT_TRUE(CheckStatus(&s7));
  EXPECT_EQ(CStat[kCom].Status, 1);
  EXPECT_EQ(s7.Status, TRUE);
  EXPECT_EQ(station.counts().status_requests, 2);
  put_job(s7, kReadJob);
  EXPECT_EQ(DoMPIComu(&s7, 30), 34);
  EXPECT_TRUE(CheckStatus(&s7));
  EXPECT_EQ(station.counts().status_requests, 2);
  // The disconnect: SD1 with FC 7C and no data.
  DisconnectMPIAdr(&s7);
  EXPECT_EQ(station.counts().disconnects, 1);
  expect_clean();
}

}  // namespace
