// The simulators' paced mode: the line's clock on its own, the characters a
// paced device puts on a pty, and whole jobs of the library against the
// paced MPI adapter and S7-200, timed against their characters on the wire.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "mpi_adapter.hpp"
#include "plc.hpp"
#include "ppi_station.hpp"
#include "pty.hpp"
#include "r3964_peer.hpp"
#include "rs232.h"
#include "s7serial.h"

namespace {

using namespace std::chrono;
using s7sim::LineTiming;
using s7sim::Pace;
using Clock = LineTiming::Clock;

Pace pace(int baud, int turnaround_us = 0) { return Pace{baud, microseconds(turnaround_us)}; }

double ms(Clock::duration d) { return duration<double, std::milli>(d).count(); }

// ---- the clock alone ----

TEST(LineTiming, CharacterTimeIsElevenBits) {
  EXPECT_EQ(LineTiming(pace(9600)).char_time(), nanoseconds(1145833));
  EXPECT_EQ(LineTiming(pace(19200)).char_time(), nanoseconds(572917));
  EXPECT_EQ(LineTiming(pace(115200)).char_time(), nanoseconds(95486));
  EXPECT_EQ(LineTiming(pace(0)).char_time(), Clock::duration::zero());
  EXPECT_FALSE(LineTiming().paced());
}

TEST(LineTiming, UnpacedTimesAreTheMomentsGiven) {
  LineTiming t;
  const auto t0 = Clock::now();
  EXPECT_EQ(t.arrival(t0), t0);
  EXPECT_EQ(t.hand_over(t0 + milliseconds(2)), t0 + milliseconds(2));
  EXPECT_EQ(t.departure(t0 + milliseconds(3)), t0 + milliseconds(3));
}

TEST(LineTiming, CharactersFromThePcQueueOnTheirWire) {
  LineTiming t(pace(19200));
  const auto c = t.char_time();
  const auto t0 = Clock::now();
  // Three characters found together arrive one after the other.
  EXPECT_EQ(t.arrival(t0), t0 + c);
  EXPECT_EQ(t.arrival(t0), t0 + 2 * c);
  EXPECT_EQ(t.arrival(t0), t0 + 3 * c);
  // One found after the wire went quiet takes one character time from then.
  const auto later = t0 + milliseconds(50);
  EXPECT_EQ(t.arrival(later), later + c);
}

TEST(LineTiming, AnswersStartTheTurnaroundAfterTheLastArrival) {
  LineTiming t(pace(9600, 1000));
  const auto c = t.char_time();
  const auto t0 = Clock::now();
  t.arrival(t0);
  const auto in = t.arrival(t0);
  // However late the device gets to its answer, it counts as handed over the
  // turnaround after the last arrival, and its characters follow each other.
  const auto handed = t.hand_over(t0 + milliseconds(20));
  EXPECT_EQ(handed, in + milliseconds(1));
  EXPECT_EQ(t.departure(handed), in + milliseconds(1) + c);
  EXPECT_EQ(t.departure(handed), in + milliseconds(1) + 2 * c);
  // Not an answer (nothing came in since): handed over when it is, and it
  // leaves once the wire is free.
  const auto busy_until = in + milliseconds(1) + 2 * c;
  EXPECT_EQ(t.hand_over(t0), t0);
  EXPECT_EQ(t.departure(t0), busy_until + c);
  const auto late = t0 + milliseconds(100);
  EXPECT_EQ(t.departure(t.hand_over(late)), late + c);
  // The next arrival makes the next characters an answer again; an answer
  // handed over early still waits for the turnaround.
  const auto in2 = t.arrival(late + milliseconds(1));
  EXPECT_EQ(t.hand_over(in2), in2 + milliseconds(1));
}

// ---- a paced device on a pty ----

// Times at which the slave side receives each of n characters.
std::vector<Clock::time_point> receive_times(int fd, size_t n) {
  std::vector<Clock::time_point> at;
  uint8_t b;
  while (at.size() < n && s7sim::read_byte(fd, b, 2000)) at.push_back(Clock::now());
  return at;
}

TEST(PacedLine, ReleasesCharactersOneCharacterTimeApart) {
  s7sim::Pty pty;
  const int slave = open(pty.slave_name().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  std::atomic<bool> stop{false};
  const std::vector<uint8_t> bytes(20, 0x55);
  {
    s7sim::Line line(pty.master(), stop);
    line.put(bytes);  // unpaced: all at once
    const auto at = receive_times(slave, bytes.size());
    ASSERT_EQ(at.size(), bytes.size());
    EXPECT_LT(ms(at.back() - at.front()), 5.0);
  }
  {
    s7sim::Line line(pty.master(), stop);
    line.set_pace(pace(9600));
    const auto t0 = Clock::now();
    std::thread device([&] { line.put(bytes); });
    const auto at = receive_times(slave, bytes.size());
    device.join();
    ASSERT_EQ(at.size(), bytes.size());
    const double c = ms(LineTiming(pace(9600)).char_time());
    // Character i has left the wire i + 1 character times after it was
    // handed over, never sooner; a busy machine may only make it later.
    for (size_t i = 0; i < at.size(); ++i)
      EXPECT_GE(ms(at[i] - t0), (i + 1) * c - 0.05) << "character " << i;
    EXPECT_LT(ms(at.back() - t0), 20 * c + 100.0);
  }
  close(slave);
}

// ---- the library against the paced simulators ----

constexpr int kPlc = 2;

class PacedJobs : public ::testing::Test {
 protected:
  void SetUp() override {
    plc.add_db(1, 1024);
    std::vector<uint8_t> v(1024);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 5 + 1);
    plc.write_bytes(s7sim::Area::DB, 1, 0, v);
  }
  void TearDown() override { S7ExitAll(); }

  s7sim::Pty pty;
  s7sim::Plc plc;
};

// Line time of n characters at baud, in ms.
double line_ms(uint64_t chars, int baud) { return static_cast<double>(chars) * 11.0e3 / baud; }

TEST_F(PacedJobs, MpiJobTakesItsCharactersOnTheWirePlusTheTurnarounds) {
  constexpr int kBaud = 38400;
  s7sim::MpiAdapter adapter(pty.master());
  adapter.add_station(kPlc, plc);
  adapter.set_pace(pace(kBaud, 4000));
  adapter.start();
  EXPECT_THROW(adapter.set_pace(pace(kBaud)), std::logic_error) << "the pace is fixed once running";
  std::string dev = pty.slave_name();
  ASSERT_EQ(ComSetDevName(0, dev.data()), 0);
  S7 s7{};
  ASSERT_TRUE(S7InitFastBaud(&s7, 0, kPlc, 0, kBaud));
  std::vector<uint8_t> buf(222);
  ASSERT_TRUE(S7RdDBB(&s7, 1, 0, 2, buf.data()));  // brings the adapter up, connects

  const uint64_t in0 = adapter.chars_from_pc(), out0 = adapter.chars_to_pc();
  const auto t0 = Clock::now();
  ASSERT_TRUE(S7RdDBB(&s7, 1, 0, 222, buf.data()));
  const double took = ms(Clock::now() - t0);
  std::this_thread::sleep_for(milliseconds(20));
  const uint64_t chars = adapter.chars_from_pc() - in0 + adapter.chars_to_pc() - out0;
  EXPECT_EQ(buf, plc.read_bytes(s7sim::Area::DB, 1, 0, 222));

  // One job: the adapter answers the PC's STX and block, the ack block and
  // the answer block each after the PC's DLE, and the STX and block of the
  // PC's acknowledgement: seven turnarounds of 4 ms.
  const double expect = line_ms(chars, kBaud) + 7 * 4.0;
  EXPECT_GT(chars, 300u);
  EXPECT_GE(took, 0.99 * expect);
  EXPECT_LT(took, 2 * expect + 50.0);
  S7Exit(&s7);
  adapter.stop();
  EXPECT_TRUE(adapter.violations().empty());
}

TEST_F(PacedJobs, PpiJobKeepsThePausesAndTakesItsCharactersOnTheWire) {
  constexpr int kBaud = 19200;
  s7sim::PpiStation station(pty.master(), kPlc, plc);
  station.set_pace(pace(kBaud));
  station.start();
  std::string dev = pty.slave_name();
  ASSERT_EQ(ComSetDevName(1, dev.data()), 0);
  S7 s7{};
  ASSERT_TRUE(S7PPIInit(&s7, 1, kPlc, 0, kBaud));
  std::vector<uint8_t> buf(90);
  ASSERT_TRUE(S7RdDBB(&s7, 1, 0, 2, buf.data()));  // status requests, first job

  const auto c0 = station.counts();
  const auto t0 = Clock::now();
  ASSERT_TRUE(S7RdDBB(&s7, 1, 0, 90, buf.data()));
  const double took = ms(Clock::now() - t0);
  const auto c1 = station.counts();
  EXPECT_EQ(buf, plc.read_bytes(s7sim::Area::DB, 1, 0, 90));
  const auto chars = static_cast<uint64_t>(c1.rx_chars - c0.rx_chars + c1.tx_chars - c0.tx_chars);

  // Request, short acknowledgement, 5 ms pause, poll, answer.
  const double expect = line_ms(chars, kBaud) + 5.0;
  EXPECT_GT(chars, 150u);
  EXPECT_GE(took, 0.99 * expect);
  EXPECT_LT(took, 2 * expect + 50.0);
  S7Exit(&s7);
  station.stop();
  const auto v = station.violations();
  EXPECT_TRUE(v.empty()) << v.front();
}

}  // namespace
