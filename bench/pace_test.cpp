// The simulators' paced mode: the line's clock, the characters a paced device
// puts on a pty, and whole jobs of the library against the paced MPI adapter
// and S7-200, timed against their characters on the wire.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <thread>

#include "mpi_adapter.hpp"
#include "ppi_station.hpp"
#include "pty.hpp"
#include "rs232.h"
#include "s7serial.h"

namespace {

using namespace std::chrono;
using s7sim::LineTiming;
using Clock = LineTiming::Clock;
constexpr auto kMs = milliseconds(1);

double ms(Clock::duration d) { return duration<double, std::milli>(d).count(); }

TEST(LineTiming, CharactersQueueOnTheirWireAndAnswersWaitTheTurnaround) {
  for (auto [baud, ns] : {std::pair{9600, 1145833}, {19200, 572917}, {115200, 95486}, {0, 0}})
    EXPECT_EQ(LineTiming({baud}).char_time(), nanoseconds(ns)) << baud;
  LineTiming t({9600, microseconds(1000)});
  const auto c = t.char_time();
  const auto t0 = Clock::now();
  EXPECT_EQ(t.arrival(t0), t0 + c);  // found together, they arrive one after the other
  const auto in = t.arrival(t0);
  EXPECT_EQ(in, t0 + 2 * c);
  const auto handed =
      t.hand_over(t0 + 20 * kMs);  // an answer: the turnaround after the last arrival
  EXPECT_EQ(handed, in + kMs);
  EXPECT_EQ(t.departure(handed), in + kMs + c);
  EXPECT_EQ(t.departure(handed), in + kMs + 2 * c);
  EXPECT_EQ(t.hand_over(t0), t0);  // not an answer: at once, once the wire is free
  EXPECT_EQ(t.departure(t0), in + kMs + 3 * c);
  const auto late = t0 + 100 * kMs, in2 = t.arrival(late);
  EXPECT_EQ(in2, late + c);  // after a quiet wire: one character time from then
  EXPECT_EQ(t.hand_over(in2), in2 + kMs);
  EXPECT_EQ(LineTiming().arrival(t0), t0);  // unpaced: the moments given
}

TEST(PacedLine, ReleasesCharactersOneCharacterTimeApart) {
  s7sim::Pty pty;
  const int slave = open(pty.slave_name().c_str(), O_RDWR | O_NOCTTY);
  std::atomic<bool> stop{false};
  for (int baud : {0, 9600}) {
    s7sim::Line line(pty.master(), stop);
    line.set_pace({baud});
    const auto t0 = Clock::now();
    std::thread device([&] { line.put(std::vector<uint8_t>(20, 0x55)); });
    std::vector<double> at;
    uint8_t b;
    while (at.size() < 20 && s7sim::read_byte(slave, b, 2000)) at.push_back(ms(Clock::now() - t0));
    device.join();
    ASSERT_EQ(at.size(), 20u);
    const double c = ms(LineTiming({baud}).char_time());
    for (size_t i = 0; i < at.size(); ++i)
      EXPECT_GE(at[i], (i + 1) * c - 0.05) << baud << " #" << i;
    EXPECT_LT(at.back(), 20 * c + (baud ? 100.0 : 5.0)) << baud;
  }
  close(slave);
}

// A job takes its characters' line time plus the device's turnarounds (MPI:
// seven of 4 ms) and the PC's pauses (PPI: 5 ms before the poll).
TEST(PacedJobs, JobTakesItsCharactersOnTheWirePlusTurnaroundsAndPauses) {
  for (bool ppi : {false, true}) {
    const int baud = ppi ? 19200 : 38400, anz = ppi ? 90 : 222;
    s7sim::Pty pty;
    s7sim::Plc plc;
    plc.add_db(1, 1024);
    std::vector<uint8_t> v(1024);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 5 + 1);
    plc.write_bytes(s7sim::Area::DB, 1, 0, v);
    std::optional<s7sim::MpiAdapter> adapter;
    std::optional<s7sim::PpiStation> station;
    if (ppi) {
      station.emplace(pty.master(), 2, plc);
      station->set_pace({baud});
      station->start();
    } else {
      adapter.emplace(pty.master());
      adapter->add_station(2, plc);
      adapter->set_pace({baud, microseconds(4000)});
      adapter->start();
    }
    std::string dev = pty.slave_name();
    ASSERT_EQ(ComSetDevName(0, dev.data()), 0);
    S7 s7{};
    ASSERT_TRUE(ppi ? S7PPIInit(&s7, 0, 2, 0, baud) : S7InitFastBaud(&s7, 0, 2, 0, baud));
    std::vector<uint8_t> buf(anz);
    ASSERT_TRUE(S7RdDBB(&s7, 1, 0, 2, buf.data()));  // bring-up, connect
    auto chars = [&] {
      if (ppi) return station->counts().rx_chars + station->counts().tx_chars;
      return static_cast<long>(adapter->chars_from_pc() + adapter->chars_to_pc());
    };
    const long c0 = chars();
    const auto t0 = Clock::now();
    ASSERT_TRUE(S7RdDBB(&s7, 1, 0, anz, buf.data()));
    const double took = ms(Clock::now() - t0);
    std::this_thread::sleep_for(20 * kMs);
    EXPECT_EQ(buf, plc.read_bytes(s7sim::Area::DB, 1, 0, anz));
    EXPECT_GT(chars() - c0, anz + 60);
    const double expect = (chars() - c0) * 11.0e3 / baud + (ppi ? 5.0 : 7 * 4.0);
    EXPECT_GE(took, 0.99 * expect) << ppi;
    EXPECT_LT(took, 2 * expect + 50.0) << ppi;
    S7Exit(&s7);
    EXPECT_TRUE((ppi ? station->violations() : adapter->violations()).empty()) << ppi;
  }
}

}  // namespace
