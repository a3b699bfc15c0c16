// s7gate through real TCP sockets on 127.0.0.1, with the simulated MPI adapter
// (two stations, routed by slot) or the simulated S7-200 on a pty at the line's
// end and the simulated memory as the oracle.
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "kesto.h"
#include "mpi_adapter.hpp"
#include "ppi_station.hpp"
#include "pty.hpp"
#include "s7client.hpp"
#include "s7serial.h"

using gt::Bytes;
using gt::Client;
using gt::Item;

namespace {

constexpr uint8_t kDB = 0x84, kM = 0x83, kT = 0x1D, kZ = 0x1C;
// Station 3 routed, and what the tests write: DB 1, flags, inputs, outputs, timers, counters.
const std::vector<std::string> kMpiArgs = {"--route",       "3=3",   "--timeout",     "2",
                                           "--allow-write", "DB1",   "--allow-write", "MB0[600]",
                                           "--allow-write", "EB7",   "--allow-write", "AD0",
                                           "--allow-write", "T3[2]", "--allow-write", "Z9"};
const Bytes kCr = {17, 0xE0, 0, 0, 0, 1, 0, 0xC0, 1, 0x0A, 0xC1, 2, 1, 0, 0xC2, 2, 1, 2};  // slot 2

struct Mpi {
  explicit Mpi(const std::vector<std::string> &args = kMpiArgs, int baud = 0) {
    plc[0].add_db(1, 256), plc[1].add_db(1, 256);
    ad.add_station(2, plc[0]), ad.add_station(3, plc[1]), ad.set_pace({baud, {}}), ad.start();
    gate = std::make_unique<gt::Gate>(pty.slave_name(), args);
  }
  s7sim::Pty pty;
  s7sim::Plc plc[2];  // stations 2 and 3
  s7sim::MpiAdapter ad{pty.master()};
  std::unique_ptr<gt::Gate> gate;
};

// Blocks the PC has sent, once the last acknowledgement is in.
size_t settled(const s7sim::MpiAdapter &ad) {
  size_t n = ~size_t{0};
  while (n != ad.blocks_from_pc().size()) n = ad.blocks_from_pc().size(), usleep(50000);
  return n;
}

// One item read or written through c: its return code and data.
std::pair<uint8_t, Bytes> one(Client &c, bool write, const Item &it) {
  const auto got = gt::items_of(c.job(gt::rw_job(write, 7, {it})), write);
  return got.size() == 1 ? got[0] : std::pair<uint8_t, Bytes>{0, {}};
}

// What the station holds where the item points.
Bytes held(const s7sim::Plc &plc, const Item &it) {
  Bytes b;
  for (unsigned i = 0; (it.area == kT || it.area == kZ) && i < it.count; ++i)
    gt::put16(b, it.area == kT ? plc.timer(int(it.addr + i)) : plc.counter(int(it.addr + i)));
  if (!b.empty()) return b;
  b = plc.read_bytes(s7sim::Area(it.area), it.db, it.addr / 8, it.ts == 1 ? 1 : it.count);
  return it.ts == 1 ? Bytes{uint8_t(b[0] >> (it.addr % 8) & 1)} : b;
}

TEST(GateMpi, RoutedWriteAndReadOfEveryAreaInOneJob) {
  Mpi m;
  const std::vector<Item> rows = {
      {2, 3, 1, kDB, 5 * 8, {1, 2, 3}},
      {2, 2, 0, kM, 10 * 8, {0xA5, 0x5A}},
      {2, 1, 0, 0x81, 7 * 8, {0x77}},
      {2, 4, 0, 0x82, 0, {9, 8, 7, 6}},
      {kT, 2, 0, kT, 3, {0x21, 0x27, 0x00, 0x45}},
      {kZ, 1, 0, kZ, 9, {0x09, 0x99}},
      {1, 1, 0, kM, 20 * 8 + 3, {0}},
  };
  for (const int slot : {2, 3, 7}) {  // 3 is routed to station 3, the others reach --plc 2
    const s7sim::Plc &plc = m.plc[slot == 3], &other = m.plc[slot != 3];
    Client c(m.gate->port, slot);
    ASSERT_EQ(c.setup(960), 240);
    std::vector<Item> items = rows;
    for (Item &it : items)
      for (auto &b : it.data) b = it.ts == 1 ? uint8_t(slot & 1) : uint8_t(b + slot);
    const Bytes w = c.job(gt::rw_job(true, uint16_t(slot), items));
    EXPECT_EQ(gt::be16(w, 4), slot);
    const auto wrote = gt::items_of(w, true);
    const auto got = gt::items_of(c.job(gt::rw_job(false, 8, items)), false);
    ASSERT_EQ(wrote.size(), items.size());
    ASSERT_EQ(got.size(), items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(wrote[i].first, 0xFF) << slot << i;
      EXPECT_EQ(held(plc, items[i]), items[i].data) << slot << i;
      EXPECT_EQ(got[i].second, items[i].data) << slot << i;
      EXPECT_TRUE(slot != 3 || items[i].ts == 1 || held(other, items[i]) != items[i].data) << i;
    }
  }
  EXPECT_TRUE(m.ad.violations().empty());
}

TEST(GateMpi, PduSizeOversizeJobMissingDbBlockInfoSegmentsAndLineFailure) {
  Mpi m;
  Client c(m.gate->port), c2(m.gate->port);
  ASSERT_EQ(c.setup(100, 0x1234), 100);  // the client's smaller size wins
  ASSERT_EQ(c2.setup(240), 240);
  const size_t blocks = m.ad.blocks_from_pc().size();
  const Bytes refused = {0x32, 3, 0, 0, 0, 9, 0, 0, 0, 0, 0x85, 0};
  EXPECT_EQ(c.job(gt::rw_job(true, 9, {{2, 90, 1, kDB, 0, Bytes(90, 1)}})), refused);
  EXPECT_EQ(m.ad.blocks_from_pc().size(), blocks);  // nothing went on the line
  EXPECT_EQ(one(c, false, {2, 2, 9, kDB, 0, {}}).first, 10);
  for (const bool w : {true, false})  // a job, an answer of exactly 240 bytes
    EXPECT_EQ(one(c2, w, {2, 212, 1, kDB, 0, Bytes(w ? 212 : 0, 3)}).first, 0xFF);
  // block information of DB 1 (user data); its 104-byte answer exceeds c's 100
  const Bytes bi = {0x32, 7, 0, 0,    0, 9, 0, 8,   0,   12,  0,   1,   0x12, 4,   0x11,
                    0x43, 3, 0, 0xFF, 9, 0, 8, '0', 'A', '0', '0', '0', '0',  '1', 'B'};
  EXPECT_EQ(c.job(bi), refused);
  const Bytes info = c2.job(bi);
  ASSERT_EQ(info.size(), 104u);
  EXPECT_EQ(gt::be16(info, 22 + 4 + 40), 256u);  // the DB's length in the block head
  // a job in two data units, the first TPKT written in two pieces
  m.plc[0].write_bytes(s7sim::Area::DB, 1, 0, Bytes{4, 5});
  const Item it{2, 2, 1, kDB, 0, {}};
  const Bytes job = gt::rw_job(false, 12, {it});
  const Bytes u1 = Client::tpkt({2, 0xF0, 0x00, job[0], job[1], job[2]});
  c.raw(Bytes(u1.begin(), u1.begin() + 5)), usleep(50000), c.raw(Bytes(u1.begin() + 5, u1.end()));
  c.send_pdu(Bytes(job.begin() + 3, job.end()));
  EXPECT_EQ(gt::items_of(c.pdu(), false).at(0).second, Bytes({4, 5}));
  m.ad.inject(s7sim::Fault::IgnoreStx, 1, 0);  // the adapter falls silent
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(c.job(gt::rw_job(false, 5, {it})), Bytes({0x32, 3, 0, 0, 0, 5, 0, 0, 0, 0, 0x83, 4}));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
  m.ad.clear_faults();
  m.plc[0].write_bytes(s7sim::Area::DB, 1, 0, Bytes{6, 7});
  EXPECT_EQ(one(c, false, it).second, Bytes({6, 7}));
  EXPECT_NE(m.gate->log().find("job failed: station 2"), std::string::npos);
}

// Writes reach the PLC only within --allow-write (one item outside: every item
// refused); other job functions and user data beyond block information and SZL
// reads are answered by the gateway, with nothing sent on the line.
TEST(GateAllow, WritesOnlyWithinTheRangesAndNoOtherFunctions) {
  Mpi m({"--allow-write", "DB2.DBB0[8]", "--allow-write", "db10", "--allow-write", "M40.3",
         "--allow-write", "T5"});
  m.plc[0].add_db(2, 16), m.plc[0].add_db(10, 64), m.plc[0].add_db(11, 8);
  Client c(m.gate->port);
  ASSERT_EQ(c.setup(240), 240);
  const Item in{2, 4, 2, kDB, 0, {1, 2, 3, 4}}, bit{1, 1, 0, kM, 40 * 8 + 3, {1}};
  const std::pair<std::vector<Item>, bool> rows[] = {
      // items, allowed
      {{in, {2, 4, 2, kDB, 6 * 8, {5, 6, 7, 8}}}, false},  // the second item beyond byte 7
      {{in, {2, 4, 2, kDB, 4 * 8, {5, 6, 7, 8}}}, true},
      {{{2, 4, 10, kDB, 60 * 8, {1, 2, 3, 4}}}, true},  // DB10: the whole block
      {{{2, 4, 11, kDB, 0, {1, 2, 3, 4}}}, false},
      {{bit, {1, 1, 0, kM, 40 * 8 + 6, {1}}}, true},  // bits of the allowed byte
      {{{1, 1, 0, kM, 41 * 8, {1}}}, false},
      {{{2, 1, 0, kM, 40 * 8, {0xFF}}}, true},
      {{{kT, 1, 0, kT, 5, {0x21, 0x27}}}, true},
      {{{kT, 2, 0, kT, 5, {0x21, 0x27, 0, 0x45}}}, false},  // T5 and T6
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const auto &[items, allowed] = rows[i];
    const size_t sent = settled(m.ad), jobs = m.plc[0].jobs().size();
    const auto got = gt::items_of(c.job(gt::rw_job(true, uint16_t(i), items)), true);
    ASSERT_EQ(got.size(), items.size()) << i;
    for (size_t k = 0; k < got.size(); ++k) {
      EXPECT_EQ(got[k].first, allowed ? 0xFF : 0x03) << i << k;
      EXPECT_EQ(held(m.plc[0], items[k]) == items[k].data, allowed) << i << k;  // never held
    }
    EXPECT_EQ(settled(m.ad) == sent && m.plc[0].jobs().size() == jobs, !allowed) << i;
  }
  // PLC stop, set the clock (user data group 7): the gateway's answers; an SZL read: forwarded
  // clang-format off
  const std::pair<Bytes, Bytes> fns[] = {
      {{0x32, 1, 0, 0, 0, 7, 0, 16, 0, 0, 0x29, 0, 0, 0, 0, 0, 9, 'P', '_', 'P', 'R', 'O', 'G', 'R', 'A', 'M'},
       {0x32, 3, 0, 0, 0, 7, 0, 0, 0, 0, 0x81, 4}},
      {{0x32, 7, 0, 0, 0, 8, 0, 8, 0, 14, 0, 1, 0x12, 4, 0x11, 0x47, 2, 0, 0xFF, 9, 0, 10, 0, 0x19, 0x12, 8, 5, 0x30, 0, 0, 0, 2},
       {0x32, 7, 0, 0, 0, 8, 0, 12, 0, 4, 0, 1, 0x12, 8, 0x12, 0x87, 2, 0, 0, 0, 0x81, 4, 0xA, 0, 0, 0}},
      {{0x32, 7, 0, 0, 0, 9, 0, 8, 0, 8, 0, 1, 0x12, 4, 0x11, 0x44, 1, 0, 0xFF, 9, 0, 4, 0, 0x11, 0, 0}, {}},
  };
  // clang-format on
  for (const auto &f : fns) {
    const size_t sent = settled(m.ad);
    const Bytes a = c.job(f.first);
    EXPECT_TRUE(f.second.empty() ? gt::be16(a, 4) == 9 : a == f.second) << int(f.first[5]);
    EXPECT_EQ(settled(m.ad) == sent, !f.second.empty()) << int(f.first[5]);
  }
  for (const char *l :
       {"write refused: item 2 DB2.DBB6[4] is not allowed", "write refused: item 1 M41.0",
        "job function 0x29 refused", "user data group 0x47 function 0x02 refused"})
    EXPECT_NE(m.gate->log().find(l), std::string::npos) << l << m.gate->log();
}

TEST(GatePpi, ReadsWritesTheIdentificationAndJobsOfTheStationsSize) {
  s7sim::Pty pty;
  s7sim::Plc plc;
  plc.add_db(1, 256);
  s7sim::PpiStation st(pty.master(), 2, plc);
  st.start();
  gt::Gate gate(pty.slave_name(), {"--ppi", "--allow-write", "VB0[100]"});
  Client c(gate.port);
  ASSERT_EQ(c.setup(240), 120);  // what the S7-200 takes
  const Item v{2, 3, 1, kDB, 8, {7, 8, 9}}, id{2, 16, 0, 0x03, 0, {}};
  EXPECT_EQ(gt::items_of(c.job(gt::rw_job(true, 1, {v})), true).at(0).first, 0xFF);
  EXPECT_EQ(held(plc, v), v.data);
  const auto got = gt::items_of(c.job(gt::rw_job(false, 2, {v, id})), false);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].second, v.data);
  EXPECT_EQ(std::string(got[1].second.begin(), got[1].second.end()), "CPU 216-2 REL.01");
  for (const bool w : {true, false})  // a job, an answer of exactly 120 bytes
    EXPECT_EQ(one(c, w, {2, uint16_t(w ? 92 : 102), 1, kDB, 0, Bytes(w ? 92 : 0, 3)}).first, 0xFF);
}

// Start-up refuses what it cannot do (a message, status 2 for the options, 1
// for the device; never listening) and takes every boundary value it can.
TEST(GateOptions, RefusedWithAMessageOrListening) {
  s7sim::Pty mp, pp;
  s7sim::Plc plc[2];
  s7sim::MpiAdapter ad{mp.master()};
  s7sim::PpiStation st(pp.master(), 2, plc[1]);
  ad.add_station(2, plc[0]), ad.start(), st.start();
  const struct {
    int status;  // 0: listens (and ends on SIGTERM)
    std::vector<std::string> args;
    const char *message;
  } rows[] = {
      {1, {"--device", "/dev/s7gate-none"}, "open /dev/s7gate-none for station 2: No such file"},
      {1, {"--device", "/etc/passwd"}, "open /etc/passwd for station 2: not a serial device"},
      {0, {"--own", "126"}, ""},
      {2, {"--own", "127"}, "station address: \"127\" is not a number from 0 to 126"},
      {0, {"--plc", "126", "--own", "0"}, ""},
      {2, {"--own", "2"}, "--own 2 is the PLC's station address"},
      {2, {"--route", "3=5", "--own", "5"}, "--own 5 is the address of --route 3=5"},
      {2, {"--baud", "1234"}, "--baud 1234: the MPI adapter takes 9600, 19200, 38400"},
      {0, {"--pdu", "310"}, ""},
      {2, {"--pdu", "311"}, "--pdu 311: one job on the MPI path carries at most 310 bytes"},
      {2, {"--device", std::string(64, 'd')}, "64 characters; the library holds paths of at most"},
      {2, {"--setup-timeout", "-1"}, "setup time-out in seconds: \"-1\" is not a number"},
      {0, {"--ppi", "--baud", "19200"}, ""},
      {0, {"--ppi", "--baud", "9600", "--pdu", "252"}, ""},
      {2, {"--ppi", "--baud", "38400"}, "--baud 38400: PPI runs at 9600 or 19200 baud"},
      {2, {"--ppi", "--pdu", "253"}, "--pdu 253: one job on the PPI path carries at most 252"},
      {2, {"--ppi", "--plc", "1x"}, "station address: \"1x\" is not a number from 0 to 126"},
      {0, {"--allow-write", "DB7", "--allow-write", "VB100[50]", "--allow-write", "C3"}, ""},
      {2, {"--allow-write", "DB0"}, "--allow-write \"DB0\": a data block number is 1..65535"},
      {2, {"--allow-write", "MW20x"}, "--allow-write \"MW20x\" at character 5: expected"},
  };
  for (const auto &r : rows) {
    gt::Gate g(r.args[0] == "--ppi" ? pp.slave_name() : mp.slave_name(), r.args);
    EXPECT_EQ(std::pair(g.port > 0, g.stop()), std::pair(!r.status, r.status)) << r.args.back();
    EXPECT_NE(g.log().find(r.message), std::string::npos) << g.log();
  }
}

TEST(GateClients, MalformedVanishingAndSilentClientsAmongInterleavedJobs) {
  Mpi m;
  std::vector<std::unique_ptr<Client>> cs;
  for (int i = 0; i < 6; ++i) cs.push_back(std::make_unique<Client>(m.gate->port));
  Client silent(m.gate->port);
  silent.raw({3, 0, 0, 40, 2});  // half a TPKT, then nothing
  Client(m.gate->port).send_pdu(gt::rw_job(false, 1, {{2, 200, 1, kDB, 0, {}}}));  // and gone
  const Bytes rd = gt::rw_job(false, 1, {{2, 2, 1, kDB, 0, {}}});
  auto dt = [](Bytes p) { return p.insert(p.begin(), {2, 0xF0, 0x80}), Client::tpkt(p); };
  auto with = [](Bytes b, size_t at, uint8_t v) { return b[at] = v, b; };
  const std::pair<bool, Bytes> rows[] = {
      // connection request first?, then these bytes
      {false, with(Client::tpkt(kCr), 0, 4)},       // TPKT version
      {false, {3, 0, 0, 5, 1, 2, 3}},               // TPKT length below a header
      {false, {3, 0, 0x20, 0, 2}},                  // TPKT length beyond any unit
      {false, Client::tpkt(with(kCr, 6, 0x40))},    // COTP class 4
      {false, Client::tpkt(with(kCr, 15, 9))},      // CR parameter overruns
      {false, dt(rd)},                              // data before the connection
      {true, Client::tpkt({9, 0xF0, 0x80, 1})},     // length indicator lies
      {true, Client::tpkt({3, 0xF0, 0, 0x80, 1})},  // data unit not of class 0
      {true, dt(with(rd, 0, 0x33))},                // not an S7 PDU
      {true, dt(with(rd, 7, 0x20))},                // S7 lengths lie
      {true, dt(with(rd, 1, 3))},                   // an answer sent as a job
      {true, Client::tpkt({4, 0x10, 0, 1, 0})},     // expedited data
      {true, Client::tpkt({4, 0x70, 0, 1, 0})},     // error unit
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    Client bad(m.gate->port, rows[i].first ? 2 : -1);
    bad.raw(rows[i].second);
    EXPECT_TRUE(bad.closed()) << i;
  }
  for (size_t i = 0; i < cs.size(); ++i) {  // all jobs queued at once
    const Item it{2, 4, 1, kDB, uint32_t(i * 32), Bytes(4, uint8_t(i + 1))};
    cs[i]->send_pdu(gt::rw_job(true, uint16_t(100 + i), {it}));
    cs[i]->send_pdu(gt::rw_job(false, uint16_t(200 + i), {it}));
  }
  for (size_t i = 0; i < cs.size(); ++i) {
    const Bytes w = cs[i]->pdu(), r = cs[i]->pdu();
    EXPECT_EQ(gt::be16(w, 4), 100 + i);
    EXPECT_EQ(gt::be16(r, 4), 200 + i);
    EXPECT_EQ(gt::items_of(r, false).at(0).second, Bytes(4, uint8_t(i + 1)));
  }
  for (const char *line : {"client 8 disconnected", "closed: COTP class 4, not 0",
                           "closed: COTP 0x10 on an open connection", "closed: COTP error unit"})
    EXPECT_NE(m.gate->log().find(line), std::string::npos) << line << m.gate->log();
  EXPECT_EQ(m.gate->stop(), 0);
}

TEST(GateClients, ConnectionRequestsWithParametersInAnyOrderOrNone) {
  Mpi m;
  m.plc[1].write_bytes(s7sim::Area::DB, 1, 0, Bytes{0x33});  // station 2 holds 0
  const struct {
    Bytes cr;
    uint8_t unit_code, held;  // the data unit size agreed; DB 1's first byte where it lands
  } rows[] = {
      {{17, 0xE0, 0, 0, 0, 1, 0, 0xC2, 2, 1, 3, 0xC1, 2, 1, 2, 0xC0, 1, 0x09}, 9, 0x33},
      {{17, 0xE0, 0, 0, 0, 1, 0, 0xC1, 2, 1, 3, 0xC0, 1, 0x0A, 0xC2, 2, 1, 2}, 10, 0},
      {{6, 0xE0, 0, 0, 0, 1, 0}, 7, 0},  // the shortest: 128-byte units, no slot named
  };
  for (const auto &r : rows) {
    Client c(m.gate->port, -1);
    c.raw(Client::tpkt(r.cr));
    const Bytes cc = c.unit(), size = {0xC0, 1, r.unit_code};
    ASSERT_GE(cc.size(), 7u);
    EXPECT_EQ(std::pair(cc[1], gt::be16(cc, 2)), std::pair(uint8_t(0xD0), 1u));
    EXPECT_NE(std::search(cc.begin(), cc.end(), size.begin(), size.end()), cc.end());
    ASSERT_EQ(c.setup(240), 240);
    EXPECT_EQ(one(c, false, {2, 1, 1, kDB, 0, {}}).second, Bytes{r.held});
  }
}

// Sockets that never finish their start are closed after --setup-timeout, a
// client without jobs after --idle-timeout.
TEST(GateClients, SilentSocketsAndIdleClientsAreClosedInTime) {
  Mpi m({"--max-clients", "4", "--setup-timeout", "1", "--idle-timeout", "3"});
  std::vector<std::unique_ptr<Client>> silent(4);
  for (auto &s : silent) s = std::make_unique<Client>(m.gate->port, -1), s->raw({3, 0});
  usleep(300000);
  EXPECT_FALSE(Client(m.gate->port).ok);  // every place taken
  const auto t0 = std::chrono::steady_clock::now();
  for (auto &s : silent) EXPECT_TRUE(s->closed());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
  Client c(m.gate->port);
  ASSERT_EQ(c.setup(240), 240);
  usleep(1500000);  // not idle for long enough yet
  EXPECT_EQ(one(c, false, {2, 1, 1, kDB, 0, {}}).first, 0xFF);
  EXPECT_TRUE(c.closed());
  EXPECT_NE(m.gate->log().find("closed: idle"), std::string::npos);
}

// A client with 20 jobs pipelined is served in full, in turn with a polite one.
TEST(GateClients, PipelinedJobsAreHeldBackAndServedInTurn) {
  Mpi m({"--route", "3=3"}, 19200);
  Client greedy(m.gate->port), polite(m.gate->port);
  ASSERT_EQ(greedy.setup(240) + polite.setup(240), 480);
  const int one = 1;  // the 20 jobs at once
  setsockopt(greedy.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const Item big{2, 200, 1, kDB, 0, {}};
  for (uint16_t i = 0; i < 20; ++i) greedy.send_pdu(gt::rw_job(false, i, {big}));
  usleep(20000);
  EXPECT_EQ(polite.job(gt::rw_job(false, 99, {big})).size(), 218u);
  int waiting = 0;  // greedy's answers sent meanwhile: the one on the line, one or two more
  ioctl(greedy.fd, FIONREAD, &waiting);
  EXPECT_LE(waiting, 3 * 225);
  for (unsigned i = 0; i < 20; ++i) EXPECT_EQ(gt::be16(greedy.pdu(), 4), i);
}

// Out of descriptors, the gateway pauses accepting instead of spinning, and
// takes the waiting client once one is free.
TEST(GateClients, OutOfDescriptorsTheLoopDoesNotSpin) {
  rlimit lim{}, low{20, 0};
  getrlimit(RLIMIT_NOFILE, &lim), low.rlim_max = lim.rlim_max, setrlimit(RLIMIT_NOFILE, &low);
  Mpi m;  // s7gate inherits the low limit
  setrlimit(RLIMIT_NOFILE, &lim);
  std::vector<std::unique_ptr<Client>> cs;
  for (int i = 0; i < 20; ++i) cs.push_back(std::make_unique<Client>(m.gate->port, -1));
  usleep(1200000);
  EXPECT_NE(m.gate->log().find("cannot accept a client: Too many open files"), std::string::npos);
  cs.clear();
  EXPECT_EQ(Client(m.gate->port).setup(240), 240) << m.gate->log();
  EXPECT_EQ(m.gate->stop(), 0);
  EXPECT_LT(m.gate->cpu_s, 0.3);  // spinning, it would take most of the second
}

// The library call behind the gateway, on its own: what does not fit is refused
// before anything is sent (or, for the answer, not copied), the connection kept.
TEST(GateExchange, RefusesWhatDoesNotFitAndCarriesTheRest) {
  s7sim::Pty pty;
  s7sim::Plc plc;
  plc.add_db(1, 256);
  s7sim::MpiAdapter ad{pty.master()};
  ad.add_station(2, plc), ad.start();
  KS7SetDevName(0, const_cast<char *>(pty.slave_name().c_str()));
  S7 s7{};
  ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 19200));
  Bytes job = gt::rw_job(false, 1, {{2, 4, 1, kDB, 0, {}}}), ans(320, 0xEE);
  job.resize(311);
  const struct {  // job length, room for the answer, result
    int len, max, result;
  } rows[] = {
      {9, 320, -1}, {311, 320, -1}, {24, 21, -1}, {24, 22, 22}, {24, 320, 22},
  };
  for (const auto &r : rows) {
    const size_t sent = settled(ad);
    EXPECT_EQ(S7Exchange(&s7, job.data(), r.len, ans.data(), r.max), r.result) << r.len << r.max;
    EXPECT_EQ(s7.Err, r.result < 0 ? -1 : 0);
    EXPECT_EQ(ad.blocks_from_pc().size() == sent, r.len == 9 || r.len == 311);
    EXPECT_EQ(ans[r.result < 0 ? 0 : 22], 0xEE);  // nothing copied (beyond the answer)
    for (int i = 0; r.max == 22 && i < 50 && ad.blocks_from_pc().size() < sent + 2; ++i)
      usleep(10000);
    EXPECT_TRUE(r.max != 22 || ad.blocks_from_pc().size() == sent + 2);  // no reconnect
  }
  EXPECT_EQ(Bytes(ans.begin(), ans.begin() + 6), Bytes({0x32, 3, 0, 0, 0, 1}));
  ad.inject(s7sim::Fault::LongAnswer, 1, 0, 20);  // from now on every answer cut short
  EXPECT_EQ(S7Exchange(&s7, job.data(), 24, ans.data(), 320), -1);
  ad.inject(s7sim::Fault::IgnoreStx, 1, 0);  // and the adapter silent: no connection to be had
  EXPECT_EQ(S7Exchange(&s7, job.data(), 24, ans.data(), 320), -1);
  EXPECT_EQ(S7Exchange(nullptr, job.data(), 24, ans.data(), 320), -1);
  S7Exit(&s7);
}

// 70 clients, random reads (two items) and writes in their own 16 bytes of DB 1
// and flags, a line fault for 2 ms after every 50 to 150 jobs; 30 sockets that
// stay silent or send a byte a second, again and again; the device unplugged
// for 300 ms and plugged back 10 times, each time until every client has been
// answered again. S7GATE_SOAK_JOBS sets the number of jobs (default 700).
TEST(GateSoak, SeventyClientsThirtyAttackersLineFaultsAndAVanishingDevice) {
  s7sim::LinkedPty dev(testing::TempDir() + "s7gate_soak");
  s7sim::Plc plc[2];
  std::unique_ptr<s7sim::MpiAdapter> ad;
  std::mutex ad_mu;  // ad, while it is replaced
  const auto plug = [&] {
    std::lock_guard l(ad_mu);
    dev.plug(), ad = std::make_unique<s7sim::MpiAdapter>(dev.master());
    ad->add_station(2, plc[0]), ad->add_station(3, plc[1]), ad->start();
  };
  plc[0].add_db(1, 1024), plc[1].add_db(1, 1024), plug();
  gt::Gate gate(dev.link(), {"--route", "3=3", "--max-clients", "100", "--setup-timeout", "2",
                             "--allow-write", "DB1", "--allow-write", "MB0[560]"});
  const auto count = [&](bool fds) {  // s7gate's descriptors, or resident KiB
    long n = 0, size = 0;
    const std::string p = "/proc/" + std::to_string(gate.pid) + "/";
    if (fds) return long(std::distance(std::filesystem::directory_iterator(p + "fd"), {}));
    return std::ifstream(p + "statm") >> size >> n, n * (sysconf(_SC_PAGESIZE) / 1024);
  };
  const long fds0 = count(true);
  const int jobs = getenv("S7GATE_SOAK_JOBS") ? atoi(getenv("S7GATE_SOAK_JOBS")) : 700;
  std::atomic<long> done{0}, failed{0}, wrong{0}, faults{0}, epoch{0};
  std::atomic<bool> stop{false}, over{false};
  std::vector<std::atomic<long>> seen(70);  // the last epoch in which the client was answered
  auto client = [&](int i) {
    std::mt19937 rng{unsigned(i)};
    Client c(gate.port, 2 + i % 2);
    c.setup(240);
    for (int n = 0; !stop; ++n) {
      const uint16_t ref = uint16_t(i << 9 | (n & 0x1FF)), area = rng() % 2 ? kDB : kM;
      const uint32_t len = 1 + rng() % 8, at = uint32_t(i / 2 * 16 + rng() % 8) * 8;
      const bool write = rng() % 100 < 40;
      const Item it{2, uint16_t(len), area == kDB, uint8_t(area), at, Bytes(len, uint8_t(rng()))},
          other{2, 16, area != kDB, uint8_t(area ^ 7), uint32_t(i / 2 * 16 * 8), {}};
      const long e = epoch;
      const Bytes a =
          c.job(gt::rw_job(write, ref, write ? std::vector{it} : std::vector{it, other}));
      if (a.size() == 12 && a[10] == 0x83 && gt::be16(a, 4) == ref && ++failed) {
        usleep(50000);
        continue;
      }
      ++done;
      const auto items = gt::items_of(a.size() > 12 && gt::be16(a, 4) == ref ? a : Bytes{}, write);
      bool ok = items.size() == (write ? 1u : 2u);
      for (size_t k = 0; ok && k < items.size(); ++k)
        ok = items[k].first == 0xFF &&
             (write || items[k].second == held(plc[i % 2], k ? other : it));
      wrong += !ok;
      if (ok) seen[size_t(i)] = e;
    }
  };
  auto attacker = [&](int i) {  // silent after two bytes, or a byte a second
    const Bytes cr = Client::tpkt(kCr);
    while (!over) {
      Client c(gate.port, -1);
      char b;
      for (size_t k = 0; !over && k < cr.size() && recv(c.fd, &b, 1, MSG_DONTWAIT) != 0; ++k) {
        if (i % 2 || k < 2) c.raw({cr[k]});
        for (int t = 0; !over && t < 10; ++t) usleep(100000);
      }
    }
  };
  std::thread faulter([&] {
    std::mt19937 rng{7};
    while (!stop) {  // not the faults that cost a 7.7 s wait for an answer block
      for (const long next = done + 50 + rng() % 100; !stop && done < next;) usleep(1000);
      const auto f = s7sim::Fault(rng() % 11);
      std::lock_guard l(ad_mu);
      if (f != s7sim::Fault::NoReply && f != s7sim::Fault::AckOnly && dev.plugged())
        ad->inject(f, 1, 0), ++faults, usleep(2000), ad->clear_faults();
    }
  });
  std::vector<std::thread> cs, bad;
  for (int i = 0; i < 70; ++i) cs.emplace_back(client, i);
  for (int i = 0; i < 30; ++i) bad.emplace_back(attacker, i);
  while (done < jobs / 11) usleep(1000);
  const long rss0 = count(false);
  const auto all = [&] { return std::ranges::all_of(seen, [&](auto &s) { return s >= epoch; }); };
  int answered_after = 0;  // returns of the device after which every client was answered
  for (int v = 1; v <= 10; ++v) {
    while (done < jobs * (v + 1) / 11) usleep(1000);
    {
      std::lock_guard l(ad_mu);
      ad.reset(), dev.unplug();
    }
    usleep(300000), plug(), ++epoch;
    for (int t = 0; t < 6000 && !all(); ++t) usleep(10000);  // at most a minute
    answered_after += all();
  }
  while (done < jobs) usleep(1000);
  const long rss1 = count(false);
  stop = true, faulter.join();
  for (auto &t : cs) t.join();
  over = true;
  for (auto &t : bad) t.join();
  usleep(300000);
  printf("soak: %ld jobs, %ld faults, %ld failed, %ld wrong; all answered after %d of 10 returns\n",
         done.load(), faults.load(), failed.load(), wrong.load(), answered_after);
  printf("soak: s7gate RSS %ld -> %ld KiB, descriptors %ld -> %ld\n", rss0, rss1, fds0,
         count(true));
  EXPECT_EQ(std::tuple(wrong.load(), answered_after, count(true)), std::tuple(0L, 10, fds0));
  EXPECT_TRUE(rss0 > 8192 || rss1 - rss0 < 512);  // a sanitized s7gate (8 MiB up) grows by itself
}

}  // namespace
