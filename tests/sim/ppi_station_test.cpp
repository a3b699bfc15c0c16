// The simulated S7-200 on its own: the test plays the PC on the pty's slave
// side, byte by byte, and checks every answer, every recorded violation and
// every injected fault.
#include "ppi_station.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "plc.hpp"
#include "pty.hpp"
#include "testutil.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using s7sim::PpiFault;
using s7sim::PpiFaultOn;

constexpr uint8_t kSt = 2;  // the station
constexpr uint8_t kPc = 0;

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

// Read job for `count` bytes of DB 1 from byte `at`.
Bytes read_job(uint16_t count, uint16_t at = 0) {
  const uint32_t bit = at * 8u;
  return {0x32,
          0x01,
          0x00,
          0x00,
          0x02,
          0x00,
          0x00,
          0x0E,
          0x00,
          0x00,
          0x04,
          0x01,
          0x12,
          0x0A,
          0x10,
          0x02,
          static_cast<uint8_t>(count >> 8),
          static_cast<uint8_t>(count),
          0x00,
          0x01,
          0x84,
          static_cast<uint8_t>(bit >> 16),
          static_cast<uint8_t>(bit >> 8),
          static_cast<uint8_t>(bit)};
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
    Bytes data(200);
    std::iota(data.begin(), data.end(), 1);
    plc.write_bytes(s7sim::Area::DB, 1, 0, data);
    station.set_trace([this](const std::string &l) {
      std::lock_guard lk(trace_mu);
      lines.push_back(l);
    });
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
  std::mutex trace_mu;
  std::vector<std::string> lines;
};

TEST_F(Station, AnswersStatusRequestsAndCarriesJobs) {
  connect();
  EXPECT_EQ(station.master(), kPc);
  // The job's answer, as the Plc gives it, in an SD2 frame to the PC.
  send(sd2(kSt, kPc, 0x7C, read_job(10, 4)));
  EXPECT_EQ(answer(), Bytes{0xE5});
  std::this_thread::sleep_for(std::chrono::milliseconds(6));
  send(sd1(kSt, kPc, 0x5C));
  const Bytes f = answer();
  ASSERT_GE(f.size(), 9u);
  EXPECT_EQ(s7test::hex(Bytes(f.begin(), f.begin() + 7)), "68 1F 1F 68 00 02 08");
  const Bytes du(f.begin() + 7, f.end() - 2);
  EXPECT_EQ(f, sd2(kPc, kSt, 0x08, du));
  ASSERT_EQ(du.size(), 28u);
  EXPECT_EQ(du[1], 0x03);
  EXPECT_EQ(du[14], 0xFF);
  EXPECT_EQ(du[18], 5);  // byte 4 of DB 1 holds 5
  EXPECT_EQ(du[27], 14);

  // Every character is counted in both directions.
  const auto c = station.counts();
  EXPECT_EQ(c.rx_chars, 3 + 6 + 33 + 6);
  EXPECT_EQ(c.tx_chars, 6 + 1 + 37);
  EXPECT_EQ(c.tokens, 1);
  EXPECT_EQ(c.status_requests, 1);
  EXPECT_EQ(c.requests, 1);
  EXPECT_EQ(c.polls, 1);
  EXPECT_EQ(c.acks, 1);
  EXPECT_EQ(c.answers, 1);
  EXPECT_TRUE(station.violations().empty());

  // One readable trace line per frame, with the S7 job.
  std::lock_guard lk(trace_mu);
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(lines[0], "PC>PLC token DC 00 00");
  EXPECT_EQ(lines[1], "PC>PLC SD1 DA=2 SA=0 FC=49");
  EXPECT_EQ(lines[2], "PLC>PC SD1 DA=0 SA=2 FC=00 status");
  EXPECT_NE(lines[3].find("FC=7C S7 job read 04, 1 item(s): area 84 DB 1 bit address 32 count 10"),
            std::string::npos)
      << lines[3];
  EXPECT_EQ(lines[4], "PLC>PC SC E5");
  EXPECT_EQ(lines[5], "PC>PLC SD1 DA=2 SA=0 FC=5C");
  EXPECT_NE(lines[6].find("S7 answer read 04, 1 item(s), return code FF"), std::string::npos)
      << lines[6];
}

TEST_F(Station, S7200PacketsFitAndLargerOnesAreRefused) {
  connect();
  EXPECT_EQ(plc.pdu_size(), s7sim::kS7200PduSize);
  Bytes du = exchange(read_job(90));
  ASSERT_EQ(du.size(), 18u + 90u);
  EXPECT_EQ(du[14], 0xFF);
  // A write of 90 bytes fits as well.
  Bytes wr{0x32, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x0E, 0x00, 0x5E, 0x05, 0x01, 0x12, 0x0A,
           0x10, 0x02, 0x00, 0x5A, 0x00, 0x01, 0x84, 0x00, 0x00, 0x00, 0x00, 0x04, 0x02, 0xD0};
  wr.resize(wr.size() + 90, 0x77);
  du = exchange(wr);
  ASSERT_EQ(du.size(), 15u);
  EXPECT_EQ(du[14], 0xFF);
  EXPECT_EQ(plc.read_bytes(s7sim::Area::DB, 1, 89, 1)[0], 0x77);
  // 200 bytes do not fit the S7-200's PDU: refused as a whole.
  du = exchange(read_job(200));
  ASSERT_EQ(du.size(), 12u);
  EXPECT_EQ(du[10], s7sim::kErrClassPdu);
  EXPECT_TRUE(station.violations().empty());
}

TEST_F(Station, AcknowledgesAsOftenAsAskedAndCanAnswerDirectly) {
  connect();
  station.set_acks_before_answer(2);
  send(sd2(kSt, kPc, 0x7C, read_job(2)));
  EXPECT_EQ(answer(), Bytes{0xE5});
  for (int i = 0; i < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(6));
    send(sd1(kSt, kPc, 0x5C));
    EXPECT_EQ(answer(), Bytes{0xE5});
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(6));
  send(sd1(kSt, kPc, 0x5C));
  EXPECT_EQ(answer().size(), 9u + 20u);

  station.set_acks_before_answer(0);
  station.set_answer_directly(true);
  send(sd2(kSt, kPc, 0x7C, read_job(2)));
  const Bytes f = answer();
  ASSERT_EQ(f.size(), 29u);
  EXPECT_EQ(f[0], 0x68);
  EXPECT_TRUE(station.violations().empty());
}

TEST_F(Station, DisconnectIsAcknowledgedAndLeavesNothingToFetch) {
  connect();
  send(sd1(kSt, kPc, 0x7C));
  EXPECT_EQ(answer(), Bytes{0xE5});
  std::this_thread::sleep_for(std::chrono::milliseconds(6));
  send(sd1(kSt, kPc, 0x5C));
  EXPECT_EQ(answer(), sd1(kPc, kSt, 0x09));
  EXPECT_EQ(station.counts().disconnects, 1);
  EXPECT_TRUE(station.violations().empty());
}

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
    send(c.frame);
    if (std::string(c.what) == "poll") {
      EXPECT_EQ(answer(), sd1(kPc, kSt, 0x09));  // answered, but recorded
    } else {
      const Bytes a = silence(c.frame[0] == 0x68 && c.frame.size() == 6 ? 250 : 80);
      EXPECT_TRUE(a.empty()) << s7test::hex(a);
    }
    EXPECT_TRUE(violation_with(c.violation));
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
  const Bytes job = read_job(2);
  station.set_answer_directly(true);
  send(sd2(kSt, kPc, 0x7C, job));
  const Bytes good = answer();
  ASSERT_EQ(good.size(), 29u);

  station.inject({PpiFault::BadFcs, PpiFaultOn::Request});
  send(sd2(kSt, kPc, 0x7C, job));
  Bytes f = answer();
  ASSERT_EQ(f.size(), good.size());
  EXPECT_EQ(f[27], static_cast<uint8_t>(good[27] + 1));
  // Only once: the next one is good again.
  send(sd2(kSt, kPc, 0x7C, job));
  EXPECT_EQ(answer(), good);

  station.inject({PpiFault::BadEd, PpiFaultOn::Request});
  send(sd2(kSt, kPc, 0x7C, job));
  f = answer();
  EXPECT_EQ(f.back(), 0x17);

  station.inject({PpiFault::LeMismatch, PpiFaultOn::Request});
  send(sd2(kSt, kPc, 0x7C, job));
  f = answer();
  EXPECT_EQ(f[1] + 1, f[2]);

  station.inject({PpiFault::OtherAddress, PpiFaultOn::Request});
  send(sd2(kSt, kPc, 0x7C, job));
  f = answer();
  Bytes other = good;
  other[5] = kSt + 1;
  other[27] = static_cast<uint8_t>(good[27] + 1);
  EXPECT_EQ(f, other);

  station.inject({PpiFault::Sd3Frame, PpiFaultOn::Request});
  send(sd2(kSt, kPc, 0x7C, job));
  f = answer();
  ASSERT_EQ(f.size(), 14u);
  EXPECT_EQ(f[0], 0xA2);

  station.inject({PpiFault::Sd1Frame, PpiFaultOn::Request});
  send(sd2(kSt, kPc, 0x7C, job));
  EXPECT_EQ(answer(), sd1(kPc, kSt, 0x08));

  // Skip one, then silence twice.
  station.inject({PpiFault::Silence, PpiFaultOn::Request, 1, 2});
  send(sd2(kSt, kPc, 0x7C, job));
  EXPECT_EQ(answer(), good);
  send(sd2(kSt, kPc, 0x7C, job));
  EXPECT_TRUE(silence(150).empty());
  send(sd2(kSt, kPc, 0x7C, job));
  EXPECT_TRUE(silence(150).empty());
  send(sd2(kSt, kPc, 0x7C, job));
  EXPECT_EQ(answer(), good);

  // On the status request and on the poll.
  station.set_answer_directly(false);
  station.inject({PpiFault::AckForever, PpiFaultOn::StatusRequest});
  send({0xDC, 0x00, 0x00});
  std::this_thread::sleep_for(std::chrono::milliseconds(12));
  send(sd1(kSt, kPc, 0x49));
  EXPECT_EQ(answer(), Bytes{0xE5});
  station.inject({PpiFault::BadFcs, PpiFaultOn::Poll});
  send(sd2(kSt, kPc, 0x7C, job));
  EXPECT_EQ(answer(), Bytes{0xE5});
  std::this_thread::sleep_for(std::chrono::milliseconds(6));
  send(sd1(kSt, kPc, 0x5C));
  f = answer();
  ASSERT_EQ(f.size(), good.size());
  EXPECT_EQ(f[27], static_cast<uint8_t>(good[27] + 1));

  // Twenty and more acknowledgements.
  station.inject({PpiFault::AckForever, PpiFaultOn::Request});
  send(sd2(kSt, kPc, 0x7C, job));
  EXPECT_EQ(answer(), Bytes{0xE5});
  for (int i = 0; i < 25; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    send(sd1(kSt, kPc, 0x5C));
    ASSERT_EQ(answer(), Bytes{0xE5}) << i;
  }
  EXPECT_TRUE(station.violations().empty());
}

TEST_F(Station, ByteBetweenJobsAndTheFrameThatFollows) {
  connect();
  station.inject({PpiFault::ByteWhileSending, PpiFaultOn::Request});
  EXPECT_EQ(answer(), Bytes{0xE5});  // put on the line while the PC is idle
  // The PC breaks its frame off, as it must: no violation, no job.
  send({0x68, 0x1B, 0x1B, 0x68, kSt, kPc, 0x7C, 0x32});
  EXPECT_TRUE(silence(300).empty());
  EXPECT_TRUE(plc.jobs().empty());
  EXPECT_TRUE(station.violations().empty());
  EXPECT_EQ(exchange(read_job(2)).size(), 20u);
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
