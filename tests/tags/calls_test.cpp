// The tag calls against the simulated PLC behind the MPI adapter and the
// simulated S7-200: values round-trip in host representation, a refused tag
// keeps its own code, a bit write leaves its neighbours alone.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "kesto.h"
#include "mpi_adapter.hpp"
#include "peer.hpp"
#include "ppi_station.hpp"
#include "s7tags.h"

namespace {

using s7sim::Area;

struct Sim : testing::TestWithParam<bool> {
  // the S7-200 has a data unit of its own: one simulated CPU per path
  Sim()
      : port(0), plc(plcs[GetParam()]), adapter{port.master()}, station(port.master(), 2, plcs[1]) {
    plc.add_db(10, 64);
    adapter.add_station(2, plcs[0]);
    GetParam() ? station.start() : adapter.start();
    ref = KS7Open(0, 2, 0, GetParam() ? 9600 : 19200, GetParam() ? 200 : 300);
  }
  void SetUp() override { ASSERT_EQ(ref, 0); }
  ~Sim() override { KS7Close(ref); }
  // The tags of the texts, each with Value pointing into vals (16 bytes each).
  std::vector<S7TAG> Tags(std::vector<const char *> texts) {
    std::vector<S7TAG> t(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) t[i].Value = vals[i];
    for (size_t i = 0; i < texts.size(); ++i)
      EXPECT_EQ(S7ParseTag(texts[i], &t[i].Addr, nullptr, 0), 0) << texts[i];
    return t;
  }
  s7test::PtyPort port;
  s7sim::Plc plcs[2];
  s7sim::Plc &plc;
  s7sim::MpiAdapter adapter;
  s7sim::PpiStation station;
  LONG ref = -1;
  alignas(8) uint8_t vals[8][16] = {};
};

std::vector<LONG> Results(const std::vector<S7TAG> &t) {
  std::vector<LONG> r;
  for (const S7TAG &x : t) r.push_back(x.Result);
  return r;
}

TEST_P(Sim, MixedTypesRoundTripAndLandWhereTheyBelong) {
  const char *texts[] = {
      "DB10.DBW4:INT", "DB10.DBD12:REAL", "M20.3", "DB10.DBB20:STRING[8]", "T3", "C2",
      "DB10.DBW0[2]",  "QD4:DINT"};
  auto w = Tags({std::begin(texts), std::end(texts)});
  auto Put = [this](size_t i, auto v) { std::memcpy(vals[i], &v, sizeof v); };
  Put(0, int16_t{-2}), Put(1, 1.5f), Put(2, uint8_t{1}), Put(3, std::array<char, 4>{"abc"});
  Put(4, DWORD{1230}), Put(5, WORD{42}), Put(6, std::array<WORD, 2>{0x0102, 0x0304}), Put(7, -5);
  ASSERT_EQ(KS7WriteTags(ref, w.data(), 8), 0) << testing::PrintToString(Results(w));
  // the PLC's memory holds them big-endian, the string with its two length bytes
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 0, 24),
            (std::vector<uint8_t>{1,    2,    3, 4, 0xFF, 0xFE, 0, 0, 0, 0, 0,   0,
                                  0x3F, 0xC0, 0, 0, 0,    0,    0, 0, 8, 3, 'a', 'b'}));
  EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 20, 1)[0], 0x08);
  EXPECT_EQ(plc.timer(3) << 16 | plc.counter(2), 0x01230042);
  EXPECT_EQ(plc.read_bytes(Area::Outputs, 0, 4, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFB}));
  // the CPU behind the adapter now takes jobs of 64 bytes only: the refused job is planned smaller
  plcs[0].set_pdu_size(64);
  const std::vector<uint8_t> before(&vals[0][0], &vals[0][0] + sizeof vals);
  std::memset(vals, 0x55, sizeof vals);
  auto r = Tags({std::begin(texts), std::end(texts)});
  ASSERT_EQ(KS7ReadTags(ref, r.data(), 8), 0) << testing::PrintToString(Results(r));
  for (size_t i = 0; i < 8; ++i)
    EXPECT_EQ(0, std::memcmp(vals[i], &before[i * 16], S7TagValueSize(&r[i].Addr))) << texts[i];
}

TEST_P(Sim, AMissingBlockOrARangeBeyondTheEndRefusesThatTagOnly) {
  plc.write_bytes(Area::DB, 10, 60, std::vector<uint8_t>{0xAB, 0xCD, 0, 0});
  // DBW62 and DBW64 share an item (read and write) first; the range refusal is DBW64's alone
  auto t = Tags({"DB10.DBW60", "DB99.DBW0", "DB10.DBW62", "DB10.DBW64"});
  for (auto call : {KS7ReadTags, KS7WriteTags}) {
    EXPECT_EQ(call(ref, t.data(), 4), 1);
    EXPECT_EQ(Results(t), (std::vector<LONG>{0, S7TAG_ERR_OBJECT, 0, S7TAG_ERR_ADDRESS}));
  }
  EXPECT_EQ(vals[0][0] | vals[0][1] << 8, 0xABCD);  // read before the write sent it back
  EXPECT_EQ(KS7ReadTags(ref, t.data() + 1, 1), 2);
}

TEST_P(Sim, ABitWriteIsABitItemAndLeavesItsNeighbours) {
  for (const auto &[start, value, want] : {std::tuple{0xFF, 0, 0xF7}, {0x00, 1, 0x08}}) {
    plc.write_bytes(Area::Flags, 0, 20, std::vector<uint8_t>{static_cast<uint8_t>(start)});
    plc.clear_jobs();
    auto t = Tags({"M20.3"});
    vals[0][0] = static_cast<uint8_t>(value);
    ASSERT_EQ(KS7WriteTags(ref, t.data(), 1), 0);
    EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 20, 1)[0], want);
    const auto jobs = plc.jobs();  // one bit item (transport size 1) at bit 20 * 8 + 3
    EXPECT_EQ(
        jobs.size() == 1 ? std::pair(jobs[0].tsize, jobs[0].address) : std::pair(uint8_t{0}, 0u),
        std::pair(uint8_t{1}, 163u));
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, Sim, testing::Values(false, true),
                         [](const auto &p) { return p.param ? "PPI" : "MPI"; });

}  // namespace
