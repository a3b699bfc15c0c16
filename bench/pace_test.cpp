// The simulators' paced mode: whole jobs of the library against the paced MPI
// adapter and S7-200 take the time their characters need on the wire (each
// character released one character time after the one before), plus the
// device's turnarounds and the PC's pauses.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "mpi_adapter.hpp"
#include "ppi_station.hpp"
#include "pty.hpp"
#include "rs232.h"
#include "s7serial.h"

namespace {

using namespace std::chrono;

// A job takes its characters' line time (eleven bits each) plus the device's
// turnarounds (MPI: seven of 4 ms) and the PC's pauses (PPI: 5 ms before the
// poll).
TEST(PacedJobs, JobTakesItsCharactersOnTheWirePlusTurnaroundsAndPauses) {
  for (bool ppi : {false, true}) {
    const int baud = ppi ? 19200 : 38400, anz = ppi ? 90 : 222;
    s7sim::Pty pty;
    s7sim::Plc plc;
    plc.add_db(1, 1024);
    std::vector<uint8_t> v(1024);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 5 + 1);
    plc.write_bytes(s7sim::Area::DB, 1, 0, v);
    std::optional<s7sim::MpiAdapter> adapter;  // S7-200 memory limits the PLC's jobs
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
      return ppi ? station->counts().rx_chars + station->counts().tx_chars
                 : static_cast<long>(adapter->chars_from_pc() + adapter->chars_to_pc());
    };
    const long c0 = chars();
    const auto t0 = steady_clock::now();
    ASSERT_TRUE(S7RdDBB(&s7, 1, 0, anz, buf.data()));
    const double took = duration<double, std::milli>(steady_clock::now() - t0).count();
    std::this_thread::sleep_for(milliseconds(20));
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
