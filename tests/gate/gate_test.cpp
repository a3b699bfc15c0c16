// s7gate through real TCP sockets on 127.0.0.1, with the simulated MPI adapter
// (two stations, routed by slot) or the simulated S7-200 on a pty as the PLC
// side and the simulated memory as the oracle.
#include <gtest/gtest.h>

#include "gateclient.hpp"
#include "mpi_adapter.hpp"
#include "ppi_station.hpp"
#include "pty.hpp"

using gt::Bytes;
using gt::Client;
using gt::Item;
using s7sim::Area;

namespace {

constexpr uint8_t kDB = 0x84, kM = 0x83, kE = 0x81, kA = 0x82, kT = 0x1D, kZ = 0x1C;

struct Mpi {
  s7sim::Pty pty;
  s7sim::Plc plc2, plc3;
  s7sim::MpiAdapter ad{pty.master()};
  gt::Gate gate;
  explicit Mpi(std::vector<std::string> args = {})
      : gate((plc2.add_db(1, 256), plc3.add_db(1, 256), ad.add_station(2, plc2),
              ad.add_station(3, plc3), ad.start(), pty.slave_name()),
             [&] {
               args.insert(args.end(), {"--route", "3=3", "--timeout", "2"});
               return args;
             }()) {}
};

// What the station holds where the item points.
Bytes held(const s7sim::Plc &plc, const Item &it) {
  if (it.area == kT || it.area == kZ) {
    Bytes b;
    for (unsigned i = 0; i < it.count; ++i)
      gt::put16(b, it.area == kT ? plc.timer(int(it.addr + i)) : plc.counter(int(it.addr + i)));
    return b;
  }
  const Bytes b = plc.read_bytes(Area(it.area), it.db, it.addr / 8, it.ts == 1 ? 1 : it.count);
  return it.ts == 1 ? Bytes{uint8_t(b[0] >> (it.addr % 8) & 1)} : b;
}

TEST(GateMpi, RoutedReadsAndWritesOfEveryAreaAndSeveralItems) {
  Mpi m;
  const std::vector<Item> rows = {{2, 3, 1, kDB, 5 * 8, {1, 2, 3}},
                                  {2, 2, 0, kM, 10 * 8, {0xA5, 0x5A}},
                                  {2, 1, 0, kE, 7 * 8, {0x77}},
                                  {2, 4, 0, kA, 0, {9, 8, 7, 6}},
                                  {kT, 2, 0, kT, 3, {0x21, 0x27, 0x00, 0x45}},
                                  {kZ, 1, 0, kZ, 9, {0x09, 0x99}},
                                  {1, 1, 0, kM, 20 * 8 + 3, {1}}};
  for (const int slot : {2, 3, 7}) {  // 3 is routed to station 3, the others reach --plc 2
    SCOPED_TRACE(slot);
    s7sim::Plc &plc = slot == 3 ? m.plc3 : m.plc2, &other = slot == 3 ? m.plc2 : m.plc3;
    Client c(m.gate.port, slot);
    ASSERT_TRUE(c.connected);
    ASSERT_EQ(c.setup(960), 240);
    for (size_t i = 0; i < rows.size(); ++i) {
      Item it = rows[i];
      for (auto &b : it.data) b = it.ts == 1 ? b : uint8_t(b + slot);
      const auto w = c.job(gt::rw_job(true, uint16_t(i), {it}));
      ASSERT_TRUE(w);
      EXPECT_EQ(gt::be16(*w, 4), i);
      EXPECT_EQ(gt::items_of(*w, true).at(0).first, 0xFF) << i;
      EXPECT_EQ(held(plc, it), it.data) << i;
      const auto r = c.job(gt::rw_job(false, uint16_t(i), {it}));
      ASSERT_TRUE(r);
      EXPECT_EQ(gt::items_of(*r, false).at(0).second, it.data) << i;
      if (slot == 3 && it.ts != 1) {
        EXPECT_NE(held(other, it), it.data) << i;
      }
    }
    // several items in one job, odd lengths among them
    const std::vector<Item> multi = {rows[0], rows[2], rows[4], rows[1]};
    const auto w = c.job(gt::rw_job(true, 77, multi));
    ASSERT_TRUE(w);
    EXPECT_EQ(gt::items_of(*w, true).size(), 4u);
    const auto r = c.job(gt::rw_job(false, 78, multi));
    ASSERT_TRUE(r);
    const auto got = gt::items_of(*r, false);
    ASSERT_EQ(got.size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(got[i].second, held(plc, multi[i])) << i;
  }
  EXPECT_TRUE(m.ad.violations().empty());
}

TEST(GateMpi, PduSizeOversizeJobMissingDbBlockInfoAndSegments) {
  Mpi m;
  Client c(m.gate.port);
  ASSERT_EQ(c.setup(100, 0x1234), 100);  // the client's smaller size wins
  const size_t blocks = m.ad.blocks_from_pc().size();
  const auto big = c.job(gt::rw_job(true, 9, {{2, 90, 1, kDB, 0, Bytes(90, 1)}}));
  ASSERT_TRUE(big);
  EXPECT_EQ(*big, Bytes({0x32, 3, 0, 0, 0, 9, 0, 0, 0, 0, 0x85, 0}));
  EXPECT_EQ(m.ad.blocks_from_pc().size(), blocks);  // nothing went on the line
  const auto miss = c.job(gt::rw_job(false, 10, {{2, 2, 9, kDB, 0, {}}}));
  ASSERT_TRUE(miss);
  EXPECT_EQ(gt::items_of(*miss, false).at(0).first, 0x0A);
  // block information of DB 1 (user data): its length, 256, at byte 40 of the block head
  Bytes bi = gt::job_head(11, 8, 12);
  bi[1] = 7;
  bi.insert(bi.end(), {0, 1, 0x12, 4,   0x11, 0x43, 3,   0,   0xFF, 9,
                       0, 8, '0',  'A', '0',  '0',  '0', '0', '1',  'B'});
  EXPECT_EQ(
      c.job(bi),
      std::optional(Bytes({0x32, 3, 0, 0, 0, 11, 0, 0, 0, 0, 0x85, 0})));  // 104 bytes exceed 100
  Client c2(m.gate.port);
  ASSERT_EQ(c2.setup(240), 240);
  const auto info = c2.job(bi);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->size(), 10u + 12 + 82);
  EXPECT_EQ(gt::be16(*info, 4), 11u);
  EXPECT_EQ(gt::be16(*info, 22 + 4 + 40), 256u);
  // a job in two data units, the first TPKT written in two pieces
  m.plc2.write_bytes(Area::DB, 1, 0, Bytes{4, 5});
  const Bytes job = gt::rw_job(false, 12, {{2, 2, 1, kDB, 0, {}}});
  Bytes u1 = Client::tpkt(Bytes{2, 0xF0, 0x00, job[0], job[1], job[2]});
  c.raw(Bytes(u1.begin(), u1.begin() + 5));
  usleep(50000);
  c.raw(Bytes(u1.begin() + 5, u1.end()));
  Bytes u2{2, 0xF0, 0x80};
  u2.insert(u2.end(), job.begin() + 3, job.end());
  c.raw(Client::tpkt(u2));
  const auto seg = c.pdu();
  ASSERT_TRUE(seg);
  EXPECT_EQ(gt::items_of(*seg, false).at(0).second, Bytes({4, 5}));
}

TEST(GatePpi, ReadsWritesAndTheIdentification) {
  s7sim::Pty pty;
  s7sim::Plc plc;
  plc.add_db(1, 256);
  s7sim::PpiStation st(pty.master(), 2, plc);
  st.start();
  gt::Gate gate(pty.slave_name(), {"--ppi", "--pdu", "120"});
  Client c(gate.port);
  ASSERT_EQ(c.setup(240), 120);
  const Item v{2, 3, 1, kDB, 8, {7, 8, 9}}, id{2, 16, 0, 0x03, 0, {}};
  const auto w = c.job(gt::rw_job(true, 1, {v}));
  ASSERT_TRUE(w);
  EXPECT_EQ(held(plc, v), v.data);
  const auto r = c.job(gt::rw_job(false, 2, {v, id}));
  ASSERT_TRUE(r);
  const auto got = gt::items_of(*r, false);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].second, v.data);
  EXPECT_EQ(std::string(got[1].second.begin(), got[1].second.end()), "CPU 216-2 REL.01");
}

TEST(GateClients, InterleavedJobsVanishingAndSilentClients) {
  Mpi m;
  std::vector<std::unique_ptr<Client>> cs;
  for (int i = 0; i < 6; ++i) cs.push_back(std::make_unique<Client>(m.gate.port));
  Client silent(m.gate.port);
  silent.raw({3, 0, 0, 40, 2});  // half a TPKT, then nothing
  {
    Client gone(m.gate.port);
    gone.send_pdu(gt::rw_job(false, 1, {{2, 200, 1, kDB, 0, {}}}));
  }  // closed while its job waits or is on the line
  // every client writes its own bytes and reads them back, all jobs queued at once
  for (size_t i = 0; i < cs.size(); ++i) {
    cs[i]->send_pdu(gt::rw_job(true, uint16_t(100 + i),
                               {{2, 4, 1, kDB, uint32_t(i * 32), Bytes(4, uint8_t(i + 1))}}));
    cs[i]->send_pdu(gt::rw_job(false, uint16_t(200 + i), {{2, 4, 1, kDB, uint32_t(i * 32), {}}}));
  }
  for (size_t i = 0; i < cs.size(); ++i) {
    const auto w = cs[i]->pdu(), r = cs[i]->pdu();
    ASSERT_TRUE(w && r);
    EXPECT_EQ(gt::be16(*w, 4), 100 + i);
    EXPECT_EQ(gt::be16(*r, 4), 200 + i);
    EXPECT_EQ(gt::items_of(*r, false).at(0).second, Bytes(4, uint8_t(i + 1)));
  }
  EXPECT_NE(m.gate.log().find("client 8 disconnected"), std::string::npos) << m.gate.log();
  EXPECT_EQ(m.gate.stop(), 0);
}

TEST(GateLine, FailingLineAnswersWithAnErrorThenRecovers) {
  Mpi m;
  Client c(m.gate.port);
  const Bytes rd = gt::rw_job(false, 5, {{2, 2, 1, kDB, 0, {}}});
  ASSERT_TRUE(c.job(rd));
  m.ad.inject(s7sim::Fault::IgnoreStx, 1, 0);  // the adapter falls silent
  const auto t0 = std::chrono::steady_clock::now();
  const auto err = c.job(rd);
  ASSERT_TRUE(err);
  EXPECT_EQ(*err, Bytes({0x32, 3, 0, 0, 0, 5, 0, 0, 0, 0, 0x83, 0x04}));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
  m.ad.clear_faults();
  m.plc2.write_bytes(Area::DB, 1, 0, Bytes{6, 7});
  const auto ok = c.job(rd);
  ASSERT_TRUE(ok);
  EXPECT_EQ(gt::items_of(*ok, false).at(0).second, Bytes({6, 7}));
  EXPECT_NE(m.gate.log().find("job failed: station 2"), std::string::npos);
}

TEST(GateFront, MalformedInputClosesOnlyThatClient) {
  Mpi m;
  Client good(m.gate.port);
  const Bytes cr = {17, 0xE0, 0, 0, 0, 1, 0, 0xC0, 1, 0x0A, 0xC1, 2, 1, 0, 0xC2, 2, 1, 2};
  const Bytes rd = gt::rw_job(false, 1, {{2, 2, 1, kDB, 0, {}}});
  auto dt = [](Bytes p) { return p.insert(p.begin(), {2, 0xF0, 0x80}), Client::tpkt(p); };
  auto with = [](Bytes b, size_t at, uint8_t v) { return b[at] = v, b; };
  const struct {
    const char *what;
    bool open;  // connection request first
    Bytes sent;
  } rows[] = {
      {"bad TPKT version", false, with(Client::tpkt(cr), 0, 4)},
      {"TPKT length below a header", false, {3, 0, 0, 5, 1, 2, 3}},
      {"TPKT length beyond any unit", false, {3, 0, 0x20, 0, 2}},
      {"COTP class 4", false, Client::tpkt(with(cr, 6, 0x40))},
      {"CR parameter overruns", false, Client::tpkt(with(cr, 15, 9))},
      {"data before the connection", false, dt(rd)},
      {"length indicator lies", true, Client::tpkt({9, 0xF0, 0x80, 1})},
      {"not class 0 data unit", true, Client::tpkt({3, 0xF0, 0, 0x80, 1})},
      {"not an S7 PDU", true, dt(with(rd, 0, 0x33))},
      {"S7 lengths lie", true, dt(with(rd, 7, 0x20))},
      {"an answer sent as a job", true, dt(with(rd, 1, 3))},
      {"expedited data", true, Client::tpkt({4, 0x10, 0, 1, 0})},
  };
  for (const auto &row : rows) {
    Client bad(m.gate.port, row.open ? 2 : -1);
    bad.raw(row.sent);
    EXPECT_TRUE(bad.closed()) << row.what;
  }
  const auto a = good.job(rd);
  ASSERT_TRUE(a);
  EXPECT_EQ(gt::items_of(*a, false).size(), 1u);
  EXPECT_EQ(m.gate.log().find("closed: ") == std::string::npos, false);
}

}  // namespace
