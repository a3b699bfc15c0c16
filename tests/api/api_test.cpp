// What an application meets: error texts, the line trace (against the
// simulators), missing buffers refused before anything is sent, a failed open
// that says why, and the handle calls used from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <thread>

#include "kesto.h"
#include "mpi_adapter.hpp"
#include "peer.hpp"
#include "ppi_station.hpp"
#include "s7serial.h"

namespace {

using s7sim::Area;
using Lines = std::vector<std::string>;

void Collect(const char *line, void *lines) { static_cast<Lines *>(lines)->emplace_back(line); }

TEST(ApiErrText, KnownWordsKeptEveryCodeHasItsOwnTextAFailedOpenSaysWhy) {
  const char *const unknown = "Unerwarteter Fehler / unknown error";
  // the console's error box shows the words for 2, -5 and -1
  const std::pair<LONG, const char *> kept[] = {
      {-99, "Referenznummer ist ungueltig / invalid reference no."},
      {-10, "Typ-Kennung falsch / invalid typ"},
      {4, unknown},
      {-6, unknown},
      {INT32_MIN, unknown}};
  for (const auto &[code, text] : kept) EXPECT_STREQ(KS7ErrText(code), text) << code;
  std::set<std::string> own = {unknown};
  for (LONG code : {0, -2, -3, -4, -8, -9}) {
    EXPECT_TRUE(own.insert(KS7ErrText(code)).second) << code << " has no text of its own";
    EXPECT_NE(std::string(KS7ErrText(code)).find(" / "), std::string::npos) << code;
  }
  // -4 points to the trace, which names the device and says why in the system's words (the
  // examples in the install check show a missing one)
  EXPECT_NE(std::string(KS7ErrText(-4)).find("trace"), std::string::npos);
  Lines spur;
  S7SetTrace(Collect, &spur);
  ASSERT_EQ(KS7SetDevName(3, "/"), 0);
  EXPECT_EQ(KS7Open(3, 2, 0, 19200, 300), -4);
  S7SetTrace(nullptr, nullptr);
  EXPECT_NE(s7test::joined(spur).find("cannot open serial device /: Is a directory"),
            std::string::npos)
      << s7test::joined(spur);
}

// One MPI read and one PPI write against the simulators: the lines in order
// (each a substring of one line, later rows in later lines), then nothing
// once the trace is off.
void TraceLines(bool ppi, const Lines &expected) {
  s7test::PtyPort port(0);
  s7sim::Plc plc;
  plc.add_db(1, 256);
  plc.write_bytes(Area::DB, 1, 0, std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC});
  s7sim::MpiAdapter adapter{port.master()};
  s7sim::PpiStation station(port.master(), 2, plc);
  adapter.add_station(2, plc);
  ppi ? station.start() : adapter.start();
  Lines spur;
  S7SetTrace(Collect, &spur);
  ASSERT_EQ(KS7Open(0, 2, 0, ppi ? 9600 : 19200, ppi ? 200 : 300), 0);  // reference 0
  WORD w[3] = {1, 2, 3};
  ASSERT_EQ(ppi ? KS7WrW(0, 'D', 1, 0, 3, w) : KS7RdW(0, 'D', 1, 0, 3, w), 0);
  const std::regex head(R"( *\d+ ms port 0 (PC>|PC<|---) .+)");
  size_t at = 0;
  for (const std::string &want : expected) {
    while (at < spur.size() && spur[at].find(want) == std::string::npos) ++at;
    ASSERT_LT(at, spur.size()) << "missing, or out of order: " << want;
    EXPECT_TRUE(std::regex_match(spur[at], head)) << spur[at];
  }
  const size_t seen = spur.size();
  S7SetTrace(nullptr, &spur);
  EXPECT_EQ(ppi ? KS7WrW(0, 'D', 1, 0, 3, w) : KS7RdW(0, 'D', 1, 0, 3, w), 0);
  EXPECT_EQ(KS7Close(0), 0);
  EXPECT_EQ(spur.size(), seen) << "lines while the trace is off";
}

TEST(ApiTrace, MpiRead) {
  TraceLines(false,
             {"--- open MPI station 2 own 0 baud 19200: TRUE Err 0", "PC> 3964R STX       02",
              "| adapter init record, own address 0, bus speed code 02", "--- adapter bring-up: ok",
              "| MPI connect request to station 2", "--- connect to station 2: ok",
              "F1 01 32 01 00 00 02 00 00 0E 00 00 04 01 12 0A 10 02 00 06 00 01 84 00 00 00 | "
              "MPI job block 1: S7 read DB1 address 0.0 count 6 size 02",
              "04 01 FF 04 00 30 12 34 56 78 9A BC | MPI answer block 1: S7 answer to function "
              "04, error 00 00, return code FF (ok), 6 data bytes",
              "| MPI acknowledgement of block 1", "--- KS7RdW(0, 'D', 1, 0, 3): 0"});
}

TEST(ApiTrace, PpiWrite) {
  TraceLines(true,
             {"--- open PPI station 2 own 0 baud 9600: TRUE Err 0", "DC 00 00 | token DA 0 SA 0",
              "PC> FDL   frame   6: 10 02 00 49 4B 16 | SD1 DA 2 SA 0 FC 49 status request",
              "PC> FDL   frame  43: 68 25 25 68 02 00 7C 32 01 00 00 02 00 00 0E 00 0A 05 01 12 "
              "0A 10 02 00 06 00 01 84 00 00 00 00 04 00 30 00 01 00 02 00 03 C4 16 | SD2 DA 2 "
              "SA 0 FC 7C request: S7 write DB1 address 0.0 count 6 size 02, 6 data bytes",
              "PC< FDL   frame   1: E5 | short acknowledgement",
              "10 02 00 5C 5E 16 | SD1 DA 2 SA 0 FC 5C poll",
              "| SD2 DA 0 SA 2 FC 08: S7 answer to function 05, error 00 00, return code FF (ok)",
              "--- KS7WrW(0, 'D', 1, 0, 3): 0"});
}

// A missing buffer for a count above 0 is refused before anything is sent,
// on a connected port: the handle calls with -5, the record calls with FALSE
// (or their failure value) and Err -1, the connection untouched.
TEST(ApiNullBuffer, RefusedBeforeAnythingIsSent) {
  s7test::PtyPort port(0);
  s7sim::Plc plc;
  plc.add_db(1, 256);
  s7sim::MpiAdapter adapter{port.master()};
  adapter.add_station(2, plc);
  adapter.start();
  const LONG ref = KS7Open(0, 2, 0, 19200, 300);
  S7 rec;
  ASSERT_TRUE(S7InitFastBaud(&rec, 0, 2, 0, 19200));
  WORD w[1];
  ASSERT_EQ(KS7RdW(ref, 'D', 1, 0, 1, w), 0);
  ASSERT_TRUE(S7RdDB(&rec, 1, 0, 1, w));
  plc.clear_jobs();
  const std::pair<LONG, LONG> rows[] = {// result, expected
                                        {KS7RdB(ref, 'M', 0, 0, 1, nullptr), -5},
                                        {KS7WrW(ref, 'D', 1, 0, 0x10001, nullptr), -5},
                                        {KS7WrReal(ref, 'D', 1, 0, 1, nullptr), -5},
                                        {KS7RdBit(ref, 'M', 0, 0, 1, nullptr), -5},
                                        {KS7GetMPIMembers(ref, nullptr), -5},
                                        {KS7GetDBLen(ref, 1, nullptr), -5},
                                        {S7RdDB(&rec, 1, 0, 1, nullptr), FALSE},
                                        {S7WrMB(&rec, 0, 2, nullptr), FALSE},
                                        {S7RdTimer(&rec, 0, 1, nullptr), FALSE},
                                        {S7Rd(&rec, 1, 0, 1, nullptr, S7_AREA_DB, 1, 2, 0), -1},
                                        {S7GetCPUInfo(&rec, nullptr), -1},
                                        {S7GetMPIMembers(&rec, nullptr), 0},
                                        {KS7RdW(ref, 'D', 1, 0, 0, nullptr), -5}};
  for (size_t i = 0; i < std::size(rows); ++i)
    EXPECT_EQ(rows[i].first, rows[i].second) << "row " << i;
  EXPECT_TRUE(plc.jobs().empty()) << "a job reached the PLC";
  EXPECT_EQ(rec.Err, -1);
  EXPECT_TRUE(rec.Status) << "the connection was dropped";
}

// Several references on two ports at once, each against its own PLC, and a
// reference opened and closed again and again while it is read: every read
// sees its own PLC's data, a call on the closing reference gives 0 or -99.
TEST(ApiThreads, TwoPortsManyReferencesOpenCloseRacingReads) {
  s7test::PtyPort port0(0), port1(1);
  s7sim::Plc plc[4];  // stations 2, 3, 4 behind the adapter, 2 on PPI
  s7sim::MpiAdapter adapter{port0.master()};
  s7sim::PpiStation station{port1.master(), 2, plc[3]};
  for (uint8_t i = 0; i < 4; ++i) {
    plc[i].add_db(1, 64);
    plc[i].write_bytes(Area::DB, 1, 0, std::vector<uint8_t>{i, 0x5A});
    if (i < 3) adapter.add_station(2 + i, plc[i]);  // one record per station: its own reference
  }
  adapter.start();
  station.start();
  std::atomic<long> lines{0};
  S7SetTrace([](const char *, void *c) { ++*static_cast<std::atomic<long> *>(c); }, &lines);
  std::atomic<int> bad{0};
  std::atomic<bool> done{false};
  const auto read = [&](LONG ref, WORD want) {  // -99 only on slot 3, while it is closed
    WORD w = 0;
    const LONG r = KS7RdW(ref, 'D', 1, 0, 1, &w);
    bad += r == -99 ? ref != 3 : r != 0 || w != want;
  };
  const struct {
    DWORD com, station, baud, typ;
    WORD want;
  } refs[] = {
      {0, 2, 19200, 300, 0x005A},
      {0, 3, 19200, 300, 0x015A},
      {1, 2, 9600, 200, 0x035A},
  };
  std::vector<std::thread> threads;
  for (const auto &r : refs) {
    threads.emplace_back([&, ref = KS7Open(r.com, r.station, 0, r.baud, r.typ), want = r.want,
                          n = r.typ == 200 ? 15 : 60] {
      for (int i = 0; i < n; ++i) read(ref, want);
    });
  }
  threads.emplace_back([&] {  // opens and closes slot 3 again and again
    for (int i = 0; i < 20; ++i) {
      const LONG ref = KS7Open(0, 4, 0, 19200, 300);
      read(ref, 0x025A);
      bad += ref != 3 || KS7Close(ref) != 0;
    }
    done = true;
  });
  threads.emplace_back([&] {
    while (!done) read(3, 0x025A);
  });
  for (auto &t : threads) t.join();
  S7SetTrace(nullptr, nullptr);
  EXPECT_EQ(bad, 0);
  ExitKesto();
  EXPECT_TRUE(adapter.violations().empty()) << s7test::joined(adapter.violations());
  EXPECT_TRUE(station.violations().empty()) << s7test::joined(station.violations());
}

}  // namespace
