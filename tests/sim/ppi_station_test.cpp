// The simulated S7-200 on its own: the test plays the PC on the pty's slave
// side, byte by byte: the violations the station records, the damage each
// injected fault does, garbage and a prompt stop, and one library session.
// Good-path jobs, acknowledgements and disconnects are the business of the
// library's PPI tests (tests/connection/ppi_test, tests/s7/ppi*_test).
#include "ppi_station.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "peer.hpp"
#include "plc.hpp"
#include "pty.hpp"
#include "s7serial.h"
#include "testutil.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using s7sim::PpiFault;
using s7sim::PpiFaultOn;

constexpr uint8_t kSt = 2;  // the station
constexpr uint8_t kPc = 0;

using s7test::sd1;
using s7test::sd2;

// Read job for `count` bytes of DB 1 from byte `at`.
Bytes read_job(uint8_t count, uint8_t at = 0) {
  const auto hi = static_cast<uint8_t>(at >> 5), lo = static_cast<uint8_t>(at << 3);
  return {0x32, 0x01, 0x00, 0x00, 0x02, 0x00,  0x00, 0x0E, 0x00, 0x00, 0x04, 0x01,
          0x12, 0x0A, 0x10, 0x02, 0x00, count, 0x00, 0x01, 0x84, 0x00, hi,   lo};
}

class Station : public ::testing::Test {
 protected:
  void SetUp() override {
    pc = open(pty.slave_name().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(pc, 0);
    termios t{};
    tcgetattr(pc, &t);
    cfmakeraw(&t);
    tcsetattr(pc, TCSANOW, &t);
    plc.add_db(1, 512);
    station.start();
  }
  void TearDown() override {
    station.stop();
    close(pc);
  }

  void send(const Bytes &b) { ASSERT_TRUE(s7sim::write_all(pc, b)); }
  // The station's answer: its first byte within a second, then everything
  // until the line is quiet.
  Bytes answer(int quiet_ms = 40) {
    uint8_t b;
    if (!s7sim::read_byte(pc, b, 1000)) return {};
    Bytes out{b};
    for (const uint8_t c : s7sim::read_until_quiet(pc, quiet_ms)) out.push_back(c);
    return out;
  }
  // Whatever arrives within ms (nothing, where the station must stay silent).
  Bytes silence(int ms) { return s7sim::read_until_quiet(pc, ms); }
  void connect() {
    send({0xDC, 0x00, 0x00});
    std::this_thread::sleep_for(std::chrono::milliseconds(12));
    send(sd1(kSt, kPc, 0x49));
    ASSERT_EQ(answer(), sd1(kPc, kSt, 0x00));
  }
  // Request, acknowledgement, poll: the answer frame's data unit.
  Bytes exchange(const Bytes &job) {
    send(sd2(kSt, kPc, 0x7C, job));
    Bytes ack = answer();
    if (ack != Bytes{0xE5}) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    send(sd1(kSt, kPc, 0x5C));
    Bytes f = answer();
    if (f.size() < 9 || f[0] != 0x68) return {};
    return Bytes(f.begin() + 7, f.end() - 2);
  }
  bool violation_with(const std::string &part) {
    for (const auto &v : station.violations())
      if (v.find(part) != std::string::npos) return true;
    return false;
  }

  s7sim::Pty pty;
  s7sim::Plc plc;
  s7sim::PpiStation station{pty.master(), kSt, plc};
  int pc = -1;
};

TEST_F(Station, RecordsWhatThePcDoesWrong) {
  // A request before anyone asked for the status.
  send(sd2(kSt, kPc, 0x7C, read_job(2)));
  EXPECT_TRUE(silence(60).empty());
  EXPECT_TRUE(violation_with("before any status request"));
  // A status request without the token, and one right after it.
  send(sd1(kSt, kPc, 0x49));
  EXPECT_EQ(answer(), sd1(kPc, kSt, 0x00));
  EXPECT_TRUE(violation_with("without the token"));
  // The status request right after the token: the station judges the pause
  // only when it took the token in before the request arrived, so the request
  // follows once the token has been counted (a busy machine may wake the
  // station late: a few tries).
  for (int Try = 0; Try < 5 && !violation_with("after the token, expected 12 ms"); ++Try) {
    const int tokens = station.counts().tokens;
    send(Bytes{0xDC, 0x00, 0x00});
    for (int i = 0; i < 200 && station.counts().tokens == tokens; ++i) usleep(500);
    send(sd1(kSt, kPc, 0x49));
    EXPECT_EQ(answer().size(), 6u);
  }
  EXPECT_TRUE(violation_with("after the token, expected 12 ms"));

  struct Case {
    const char *what;
    Bytes frame;
    const char *violation;
  };
  Bytes bad_fcs = sd2(kSt, kPc, 0x7C, read_job(2));
  bad_fcs[bad_fcs.size() - 2] ^= 1;
  Bytes bad_ed = sd1(kSt, kPc, 0x5C);
  bad_ed[5] = 0x00;
  Bytes le_mismatch{0x68, 0x05, 0x06, 0x68, kSt, kPc, 0x7C, 0x00, 0x00, 0x7E, 0x16};
  const std::vector<Case> cases{
      {"FCS", bad_fcs, "with FCS"},
      {"ED", bad_ed, "end delimiter 00"},
      {"LE", le_mismatch, "LE 05 and LEr 06"},
      {"DA", sd2(5, kPc, 0x7C, read_job(2)), "for station 5"},
      {"SA", sd2(kSt, 7, 0x7C, read_job(2)), "from station 7, the master is 0"},
      {"FC SD2", sd2(kSt, kPc, 0x5C, read_job(2)), "FC 5C, expected 7C"},
      {"FC SD1", sd1(kSt, kPc, 0x6C), "FC 6C, expected 49, 5C or 7C"},
      {"poll", sd1(kSt, kPc, 0x5C), "poll without a short acknowledgement"},
      {"SD3", {0xA2, kSt, kPc, 0x7C, 0, 0, 0, 0, 0, 0, 0, 0, 0x7E, 0x16}, "unexpected byte A2"},
      {"SC", {0xE5}, "unexpected byte E5"},
      {"cut", {0x68, 0x10, 0x10, 0x68, kSt, kPc}, "cut off after 6 of 22 bytes"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const size_t before = station.violations().size();
    send(c.frame);
    if (std::string(c.what) == "poll") {
      EXPECT_EQ(answer(), sd1(kPc, kSt, 0x09));  // answered, but recorded
    } else {
      const Bytes a = silence(c.frame[0] == 0x68 && c.frame.size() == 6 ? 250 : 80);
      EXPECT_TRUE(a.empty()) << s7test::hex(a);
    }
    EXPECT_TRUE(violation_with(c.violation));
    EXPECT_EQ(station.violations().size(), before + 1);  // one record each
  }
  // A poll sooner than 5 ms after the acknowledgement.
  // (Sent in one go, the poll is there the moment the 0xE5 goes out.)
  Bytes hasty = sd2(kSt, kPc, 0x7C, read_job(2));
  for (uint8_t b : sd1(kSt, kPc, 0x5C)) hasty.push_back(b);
  send(hasty);
  EXPECT_EQ(answer().size(), 1u + 29u);
  EXPECT_TRUE(violation_with("ms after the short acknowledgement, expected 5 ms"));
  // Still in service.
  EXPECT_EQ(exchange(read_job(2)).size(), 20u);
}

TEST_F(Station, InjectedFaultsDamageExactlyWhatTheySay) {
  connect();
  station.set_answer_directly(true);
  const Bytes request = sd2(kSt, kPc, 0x7C, read_job(2));
  send(request);
  const Bytes good = answer();
  ASSERT_EQ(good.size(), 29u);
  Bytes bad_fcs = good;
  ++bad_fcs[27];
  Bytes other = bad_fcs;
  other[5] = kSt + 1;

  // Answers to a request, each damaged once: the next one is good again.
  const auto le_off = [](const Bytes &f) { return f.size() > 2 && f[1] + 1 == f[2]; };
  struct Case {
    PpiFault fault;
    std::function<bool(const Bytes &)> damaged;
  };
  const std::vector<Case> cases{
      {PpiFault::BadFcs, [&](const Bytes &f) { return f == bad_fcs; }},
      {PpiFault::BadEd, [](const Bytes &f) { return f.size() == 29 && f.back() == 0x17; }},
      {PpiFault::LeMismatch, le_off},
      {PpiFault::OtherAddress, [&](const Bytes &f) { return f == other; }},
      {PpiFault::Sd3Frame, [](const Bytes &f) { return f.size() == 14 && f[0] == 0xA2; }},
      {PpiFault::Sd1Frame, [](const Bytes &f) { return f == sd1(kPc, kSt, 0x08); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fault));
    station.inject({c.fault, PpiFaultOn::Request});
    send(request);
    const Bytes f = answer();
    EXPECT_TRUE(c.damaged(f)) << s7test::hex(f);
    send(request);
    EXPECT_EQ(answer(), good);
  }

  // Skip one, then silence twice.
  station.inject({PpiFault::Silence, PpiFaultOn::Request, 1, 2});
  for (bool answered : {true, false, false, true}) {
    send(request);
    if (answered)
      EXPECT_EQ(answer(), good);
    else
      EXPECT_TRUE(silence(150).empty());
  }

  // On the poll.
  station.set_answer_directly(false);
  const auto poll = [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(6));
    send(sd1(kSt, kPc, 0x5C));
    return answer();
  };
  station.inject({PpiFault::BadFcs, PpiFaultOn::Poll});
  send(request);
  EXPECT_EQ(answer(), Bytes{0xE5});
  EXPECT_EQ(poll(), bad_fcs);

  // A byte on the idle line; the PC breaks its next frame off, as it must:
  // no job, no violation; then the next job goes through.
  const size_t jobs = plc.jobs().size();
  station.inject({PpiFault::ByteWhileSending, PpiFaultOn::Request});
  EXPECT_EQ(answer(), Bytes{0xE5});
  send({0x68, 0x1B, 0x1B, 0x68, kSt, kPc, 0x7C, 0x32});
  EXPECT_TRUE(silence(300).empty());
  EXPECT_EQ(plc.jobs().size(), jobs);
  EXPECT_EQ(exchange(read_job(2)).size(), 20u);

  // Acknowledgements only, poll after poll.
  station.inject({PpiFault::AckForever, PpiFaultOn::Request});
  send(request);
  EXPECT_EQ(answer(), Bytes{0xE5});
  for (int i = 0; i < 5; ++i) EXPECT_EQ(poll(), Bytes{0xE5}) << i;
  EXPECT_TRUE(station.violations().empty());
}

TEST_F(Station, SurvivesGarbageAndStopsPromptly) {
  std::mt19937 rng(7);
  Bytes junk(3000);
  for (auto &b : junk) b = static_cast<uint8_t>(rng());
  // Frames that announce the most and then break off.
  junk.insert(junk.end(), {0x68, 0xFF, 0xFF, 0x68, 0x02, 0x00});
  send(junk);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(station.violations().empty());
  // Mid-frame: stop() must not wait for the frame to end.
  send({0x68, 0xFF, 0xFF, 0x68, 0x02});
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto t0 = Clock::now();
  station.stop();
  const double took = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  EXPECT_LT(took, 100.0);
  // And it comes back into service.
  station.start();
  silence(150);
  connect();
  EXPECT_EQ(exchange(read_job(4)).size(), 22u);
}

TEST(PpiLibrary, SessionThroughTheStationLeavesNoViolation) {
  s7test::PtyPort port{0};
  s7sim::Plc plc;
  plc.add_db(1, 64);
  const Bytes data{0x10, 0x68, 0x16, 0xE5};  // PPI delimiters and the short acknowledgement
  s7sim::PpiStation station{port.master(), kSt, plc};
  station.start();
  S7 s7{};
  ASSERT_TRUE(S7PPIInit(&s7, 0, kSt, kPc, 19200));
  Bytes wr = data;
  EXPECT_TRUE(S7WrDBB(&s7, 1, 8, 4, wr.data()));
  EXPECT_EQ(plc.read_bytes(s7sim::Area::DB, 1, 8, 4), data);
  BYTE rd[4] = {};
  EXPECT_TRUE(S7RdDBB(&s7, 1, 8, 4, rd));
  EXPECT_EQ(Bytes(rd, rd + 4), data);
  EXPECT_TRUE(S7Exit(&s7));
  EXPECT_EQ(station.counts().disconnects, 1);
  const auto v = station.violations();
  EXPECT_TRUE(v.empty()) << v.front();
  station.stop();
}

TEST(DescribeS7, ReadableJobsAndAnswers) {
  EXPECT_EQ(s7sim::describe_s7(read_job(10, 4)),
            "S7 job read 04, 1 item(s): area 84 DB 1 bit address 32 count 10 tsize 02");
  EXPECT_EQ(s7sim::describe_s7(Bytes{0x01, 0x02}), "not an S7 PDU");
  Bytes refused{0x32, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0x85, 0x00};
  EXPECT_EQ(s7sim::describe_s7(refused), "S7 answer refused, error 8500");
  Bytes bad = read_job(2);
  bad[7] = 0x40;  // lengths that do not add up
  EXPECT_EQ(s7sim::describe_s7(bad), "S7 PDU with lengths that do not add up");
}

}  // namespace
