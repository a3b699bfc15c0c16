// The simulators as the oracle of the end-to-end tests must see what the PC
// does wrong: each kind of violation, put on the line by hand (on a line the
// library brought up where a row needs it), is recorded. That each injected
// fault does its damage is shown by the fault matrix (robust/).
#include <gtest/gtest.h>

#include <thread>

#include "device.hpp"
#include "peer.hpp"
#include "r3964.h"
#include "rs232.h"
#include "s7serial.h"

namespace {

// A read job of 2 bytes of DB 10, behind an MPI job header 00 0C P R F1 K.
const std::string kJob = " 32 01 00 00 02 00 00 0E 00 00 04 01 12 0A 10 02 00 02 00 0A 84 00 00 20";
// The initialisation record but its last byte (80).
const std::string kInit = "01 03 02 27 00 9F 01 3C 00 90 01 14 00 00 14 02 00 7E 05 01 01 03 ";

struct Row {
  bool ppi, up;      // up: the library has brought the line up and read once
  char how;          // MPI: B a 3964R block; R raw bytes
  std::string line;  // hex
  const char *violation;
};

const Row kRows[] = {
    {true, false, 'R', "DC 01 00", "token DC 01 00, expected DC 00 00"},
    {true, false, 'R', "10 02 00 49 4B 16", "status request without the token before it"},
    {true, false, 'R', "10 02 00 49 4C 16", "SD1 frame with FCS 4C, expected 4B"},
    {true, false, 'R', "10 02 00 49 4B 17", "SD1 frame with end delimiter 17, expected 16"},
    {true, false, 'R', "10 03 00 49 4C 16", "SD1 frame for station 3"},
    {true, false, 'R', "10 02 00 5C 5E 16", "SD1 frame FC 5C before any status request"},
    {true, false, 'R', "68 04 05 68 02 00 7C 00 7E 16", "SD2 frame with LE 04 and LEr 05"},
    {true, false, 'R', "68 04 04 68 02 00 7C 00 7F 16", "SD2 frame with FCS 7F, expected 7E"},
    {true, false, 'R', "68 04 04 68 02 00 7C 00 7E 17", "SD2 frame with end delimiter 17"},
    {true, false, 'R', "68 04 04 68 03 00 7C 00 7F 16", "SD2 frame for station 3"},
    {true, false, 'R', "68 04 04 68 02 00 7C 00 7E 16", "SD2 request before any status request"},
    {true, true, 'R', "68 04 04 68 02 05 7C 00 83 16", "SD2 frame from station 5, the master is 0"},
    {true, true, 'R', "68 04 04 68 02 00 6C 00 6E 16", "SD2 frame with FC 6C, expected 7C"},
    {true, true, 'R', "10 02 00 6C 6E 16", "SD1 frame with FC 6C, expected 49, 5C or 7C"},
    {true, true, 'R', "10 02 05 5C 63 16", "SD1 frame from station 5, the master is 0"},
    {true, true, 'R', "10 02 00 5C 5E 16", "poll without a short acknowledgement before it"},
    {false, false, 'B', kInit.substr(0, 15) + "9E" + kInit.substr(17) + "80",
     "byte 5 is 9E, expected 9F"},
    {false, false, 'B', kInit.substr(0, 45) + "03 00 7E 05 01 01 03 80", "bus speed code 03"},
    {false, false, 'B', kInit.substr(0, 48) + "7F 7E 05 01 01 03 80", "own address 127 above 126"},
    {false, false, 'B', "00 0C 14 03 F1 00", "block before the initialisation record"},
    {false, false, 'R', "02 01 07 02 10 03 16", "wrong BCC 16 from the PC (expected 17)"},
    {false, true, 'B', "00 0C 14 03 F1 55" + kJob, "job block number 85, expected"},
    {false, true, 'B', "00 0C 14 07 F1 02" + kJob, "carries reference 07, the connection's is 03"},
    {false, true, 'B', "00 0C 33 03 F1 02" + kJob, "job for unknown connection reference 33"},
    {false, true, 'B', "00 0C 14 03 F1 02" + kJob + " 00", "of 31 bytes, its header gives 30"},
    {false, true, 'B', "00 0C 14 03 B0 01 01", "acknowledgement when none was due"},
};

TEST(Simulators, EachKindOfViolationIsRecorded) {
  for (const Row &r : kRows) {
    SCOPED_TRACE(r.violation);
    s7test::PtyPort port;
    s7sim::Plc plc;
    plc.add_db(10, 64);
    plc.add_db(1, 64);
    s7sim::Device dev(r.ppi, {{2, &plc}});
    dev.start(port.master());
    S7I s7{};
    uint8_t buf[4];
    if (r.up) {
      ASSERT_TRUE(r.ppi ? S7PPIInit(&s7, 0, 2, 0, 19200) : S7InitFastBaud(&s7, 0, 2, 0, 38400));
      ASSERT_TRUE(S7RdDBB(&s7, r.ppi ? 1 : 10, 0, 2, buf));
      ASSERT_TRUE(dev.violations().empty()) << dev.violations()[0];
    }
    ASSERT_TRUE(ComOpen(0, 38400, 8, 'o', 1));  // the record's port: one device, one owner
    s7test::Bytes out = s7test::unhex(r.line);
    EXPECT_TRUE(r.how != 'B' || Tx3964RBlock(0, out.data(), static_cast<int>(out.size())));
    if (r.how != 'B')
      for (uint8_t c : out) ComTxC(0, c);
    bool seen = false;
    for (int i = 0; i < 200 && !seen; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      for (const std::string &v : dev.violations()) seen = seen || v.find(r.violation) != v.npos;
    }
    EXPECT_TRUE(seen) << (dev.violations().empty() ? "none" : dev.violations()[0]);
    ComClose(0);
    if (r.up) S7Exit(&s7);
  }
}

}  // namespace
