// What an application meets: error texts, the line trace (against the
// simulators), missing buffers refused before anything is sent, a failed open
// that says why, and the handle calls used from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <thread>

#include "device.hpp"
#include "kesto.h"
#include "peer.hpp"
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
  s7sim::Device dev(ppi, {{2, &plc}});
  dev.start(port.master());
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
  s7sim::Device dev(false, {{2, &plc}});
  dev.start(port.master());
  const LONG ref = KS7Open(0, 2, 0, 19200, 300);
  S7 rec;
  ASSERT_TRUE(S7InitFastBaud(&rec, 0, 2, 0, 19200));
  WORD w[1];
  ASSERT_EQ(KS7RdW(ref, 'D', 1, 0, 1, w), 0);
  ASSERT_TRUE(S7RdDB(&rec, 1, 0, 1, w));
  plc.clear_jobs();
  // clang-format off
  const std::vector<LONG> got = {
      KS7RdB(ref, 'M', 0, 0, 1, nullptr), KS7WrW(ref, 'D', 1, 0, 0x10001, nullptr),
      KS7WrReal(ref, 'D', 1, 0, 1, nullptr), KS7RdBit(ref, 'M', 0, 0, 1, nullptr),
      KS7GetMPIMembers(ref, nullptr), KS7GetDBLen(ref, 1, nullptr), KS7RdW(ref, 'D', 1, 0, 0, nullptr),
      S7RdDB(&rec, 1, 0, 1, nullptr), S7WrMB(&rec, 0, 2, nullptr), S7RdTimer(&rec, 0, 1, nullptr),
      S7Rd(&rec, 1, 0, 1, nullptr, S7_AREA_DB, 1, 2, 0), S7GetCPUInfo(&rec, nullptr),
      S7GetMPIMembers(&rec, nullptr)};
  // clang-format on
  EXPECT_EQ(got, std::vector<LONG>({-5, -5, -5, -5, -5, -5, -5, FALSE, FALSE, FALSE, -1, -1, 0}));
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
  for (uint8_t i = 0; i < 4; ++i) {
    plc[i].add_db(1, 64);
    plc[i].write_bytes(Area::DB, 1, 0, std::vector<uint8_t>{i, 0x5A});
  }
  // one record per station: its own reference
  s7sim::Device adapter(false, {{2, &plc[0]}, {3, &plc[1]}, {4, &plc[2]}}),
      station(true, {{2, &plc[3]}});
  adapter.start(port0.master()), station.start(port1.master());
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
  } refs[] = {{0, 2, 19200, 300, 0x005A}, {0, 3, 19200, 300, 0x015A}, {1, 2, 9600, 200, 0x035A}};
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
  EXPECT_EQ(s7test::joined(adapter.violations()) + s7test::joined(station.violations()), "");
}

// The adapter (or the S7-200) unplugged and plugged back under the same path: the call that
// meets the vanished device fails at once, so do the calls while it is away (its path missing),
// and the first call after it is back reopens the device, brings the line up and reads; the trace
// tells each step in the system's words.
TEST(ApiUnplug, DeviceFoundAgainUnderItsPath) {
  for (const bool ppi : {false, true}) {
    s7sim::Plc plc;
    plc.add_db(1, 64);
    plc.write_bytes(Area::DB, 1, 0, std::vector<uint8_t>{0x12, 0x34});
    s7sim::Pluggable dev(testing::TempDir() + "s7dev", ppi, {{2, &plc}});
    Lines spur;
    S7SetTrace(Collect, &spur);
    ASSERT_EQ(KS7SetDevName(0, dev.link().c_str()), 0);
    const LONG ref = KS7Open(0, 2, 0, ppi ? 9600 : 19200, ppi ? 200 : 300);
    WORD w = 0;
    std::string got;
    for (const char step : std::string("rurrprr")) {  // read, unplug, plug
      const auto t0 = s7test::Clock::now();
      step == 'u'   ? dev.unplug()
      : step == 'p' ? dev.plug()
                    : void(got += std::to_string(KS7RdW(ref, 'D', 1, 0, 1, &w)) + " ");
      EXPECT_LT(s7test::Since(t0), 1.0) << ppi << got;
    }
    EXPECT_EQ(got + std::to_string(w), "0 -1 -1 0 0 4660") << ppi;
    EXPECT_EQ(KS7Close(ref), 0);
    S7SetTrace(nullptr, nullptr);
    const std::string all = s7test::joined(spur), name = " serial device " + dev.link();
    for (const std::string &want :
         {name + " gone (", name + " reopened",
          "cannot open" + name + ": no such device (No such file or directory)"})
      EXPECT_NE(all.find(want), std::string::npos) << want << "\n" << all;
  }
}

// A read job for DB1 bytes 0 and 1 with PDU reference 0x1234, as S7Exchange takes it.
const BYTE kJob[] = {0x32, 1,  0,    0, 0x12, 0x34, 0, 14, 0,    0, 4, 1,
                     0x12, 10, 0x10, 2, 0,    2,    0, 1,  0x84, 0, 0, 0};

// S7GetDBLen on two ports at once, each asking its own DB (a shared scratch would send the other
// thread's number); on port 0 two more threads with records of their own take the port in turn:
// raw jobs through S7Exchange and the bus-member request. Then stray answers to S7Exchange.
TEST(ApiThreads, DbLengthsOnTwoPortsRawJobsAndMembersOnOneStrayAnswers) {
  s7test::PtyPort port0(0), port1(1);
  s7sim::Plc plc[3];
  plc[0].add_db(11, 100), plc[1].add_db(22, 200), plc[2].add_db(1, 16);
  s7sim::Device ad0(false, {{2, &plc[0]}, {3, &plc[2]}, {4, &plc[2]}}), ad1(false, {{2, &plc[1]}});
  ad0.start(port0.master()), ad1.start(port1.master());
  S7 ex, mem;
  ASSERT_TRUE(S7InitFastBaud(&ex, 0, 3, 0, 19200) && S7InitFastBaud(&mem, 0, 4, 0, 19200));
  const LONG ref[2] = {KS7Open(0, 2, 0, 19200, 300), KS7Open(1, 2, 0, 19200, 300)};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      LONG len = 0;
      WORD m[127];
      BYTE ans[64];
      for (int n = 0; n < 20; ++n)
        bad += i < 2    ? KS7GetDBLen(ref[i], i ? 22 : 11, &len) != 0 || len != (i ? 200 : 100)
               : i == 2 ? S7Exchange(&ex, kJob, sizeof kJob, ans, 64) != 20 || ans[5] != 0x34
                        : S7GetMPIMembers(&mem, m) != 1 || !m[2] || !m[4] || m[5];
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(bad, 0);
  // S7Exchange takes only the answer to its job: one of another kind or with another PDU reference
  // is -1 and dropped, and the next call connects again and gets its own. The answer's S7 byte
  // raised by one (-1: none) | result * 10 + Err
  BYTE ans[64] = {};
  for (const auto &r : s7test::table({"5|-11", "4|-11", "1|-11", "-1|200"})) {
    if (r[0] != "-1") ad0.adapter()->inject(s7sim::Fault::StrayAnswer, 1, 0, std::stoi(r[0]));
    EXPECT_EQ(S7Exchange(&ex, kJob, sizeof kJob, ans, 64) * 10 + ex.Err, std::stoi(r[1])) << r[0];
    ad0.adapter()->clear_faults();
  }
  EXPECT_EQ(s7test::joined(ad0.violations()), "");
}

// A close that waits (for a call running on its reference, or on a silent adapter itself) holds
// up no open or close on another port.
TEST(ApiThreads, CloseOnASilentAdapterHoldsUpNoOtherPort) {
  s7test::PtyPort port0(0), port1(1);
  s7sim::Plc plc;
  plc.add_db(1, 16);
  s7sim::Device dev(false, {{2, &plc}});
  dev.start(port0.master());
  S7SetTimeout(1);  // one read per STX
  for (const bool reading : {true, false}) {
    const LONG ref = KS7Open(0, 2, 0, 19200, 300);
    WORD w = 0;
    dev.adapter()->clear_faults();
    ASSERT_EQ(KS7RdW(ref, 'D', 1, 0, 1, &w), 0);
    ComSetTimeOut(0, 300);  // three STX on the silent line take 0.9 s
    dev.adapter()->inject(s7sim::Fault::IgnoreStx, 1, 0);
    std::thread reader([&] { reading &&KS7RdW(ref, 'D', 1, 0, 1, &w); });
    usleep(50000);
    std::thread closer([&] { EXPECT_EQ(KS7Close(ref), 0); });
    usleep(100000);
    const auto t0 = s7test::Clock::now();
    EXPECT_EQ(KS7Close(KS7Open(1, 2, 0, 19200, 300)), 0);
    EXPECT_LT(s7test::Since(t0), 0.3) << reading;
    reader.join(), closer.join();
  }
}

// After S7SetTrace(NULL) returns, the procedure set before is not running and never runs again,
// though another thread traces all the time: its context may be freed at once.
TEST(ApiTrace, SwitchedOffIsFinal) {
  std::atomic<int> freed[20] = {}, late{0};
  std::atomic<bool> stop{false};
  std::thread tracer([&] {
    for (S7 rec; !stop;) S7InitFastBaud(&rec, 99, 2, 0, 19200);  // an outcome line each
  });
  for (auto &f : freed) {
    S7SetTrace([](const char *, void *p) { usleep(500), *static_cast<std::atomic<int> *>(p) += 2; },
               &f);
    usleep(3000);
    S7SetTrace(nullptr, nullptr);
    f = 1;  // "freed": a call from now on makes it 3
    usleep(1000);
    late += f != 1;
  }
  stop = true;
  tracer.join();
  EXPECT_EQ(late, 0);
}

}  // namespace
