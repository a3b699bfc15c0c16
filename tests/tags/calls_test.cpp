// The tag calls against the simulated PLC behind the MPI adapter and the
// simulated S7-200: values round-trip in host representation, a refused tag
// keeps its own code, a bit write leaves its neighbours alone.
#include <gtest/gtest.h>

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
  Sim() : port(0), plc(plcs[GetParam()]), adapter{port.master()}, station(port.master(), 2, plcs[1]) {
    plc.add_db(10, 64);
    adapter.add_station(2, plcs[0]);
    GetParam() ? station.start() : adapter.start();
    ref = KS7Open(0, 2, 0, GetParam() ? 9600 : 19200, GetParam() ? 200 : 300);
  }
  ~Sim() override { KS7Close(ref); }
  // The tags of the texts, each with Value pointing into vals (16 bytes each).
  std::vector<S7TAG> Tags(std::vector<const char *> texts) {
    std::vector<S7TAG> t(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
      EXPECT_EQ(S7ParseTag(texts[i], &t[i].Addr, nullptr, 0), 0) << texts[i];
      t[i].Value = vals[i];
    }
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
  ASSERT_EQ(ref, 0);
  const char *texts[] = {"DB10.DBW4:INT", "DB10.DBD12:REAL", "M20.3",       "DB10.DBB20:STRING[8]",
                         "T3",            "C2",              "DB10.DBW0[2]", "QD4:DINT"};
  auto w = Tags({std::begin(texts), std::end(texts)});
  const int16_t i16 = -2;
  const float f = 1.5f;
  const DWORD ms = 1230, dint = static_cast<DWORD>(-5);
  const WORD cnt = 42, arr[2] = {0x0102, 0x0304};
  std::memcpy(vals[0], &i16, 2), std::memcpy(vals[1], &f, 4), vals[2][0] = 1;
  std::strcpy(reinterpret_cast<char *>(vals[3]), "abc");
  std::memcpy(vals[4], &ms, 4), std::memcpy(vals[5], &cnt, 2), std::memcpy(vals[6], arr, 4);
  std::memcpy(vals[7], &dint, 4);
  ASSERT_EQ(KS7WriteTags(ref, w.data(), 8), 0) << testing::PrintToString(Results(w));
  // the PLC's memory holds them big-endian, the string with its two length bytes
  EXPECT_EQ(plc.read_bytes(Area::DB, 10, 0, 24),
            (std::vector<uint8_t>{1, 2, 3, 4, 0xFF, 0xFE, 0, 0, 0, 0, 0, 0, 0x3F, 0xC0, 0, 0, 0, 0,
                                  0, 0, 8, 3, 'a', 'b'}));
  EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 20, 1)[0], 0x08);
  EXPECT_EQ(plc.timer(3), 0x0123);
  EXPECT_EQ(plc.counter(2), 0x0042);
  EXPECT_EQ(plc.read_bytes(Area::Outputs, 0, 4, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFB}));
  const std::vector<uint8_t> before(&vals[0][0], &vals[0][0] + sizeof vals);
  std::memset(vals, 0x55, sizeof vals);
  auto r = Tags({std::begin(texts), std::end(texts)});
  ASSERT_EQ(KS7ReadTags(ref, r.data(), 8), 0) << testing::PrintToString(Results(r));
  for (size_t i = 0; i < 8; ++i)
    EXPECT_EQ(0, std::memcmp(vals[i], &before[i * 16], static_cast<size_t>(S7TagValueSize(&r[i].Addr))))
        << texts[i];
}

TEST_P(Sim, AMissingBlockOrARangeBeyondTheEndRefusesThatTagOnly) {
  ASSERT_EQ(ref, 0);
  plc.write_bytes(Area::DB, 10, 60, std::vector<uint8_t>{0xAB, 0xCD, 0, 0});
  // DBW60 and DBW64 share an item first; the range refusal is DBW64's alone
  auto t = Tags({"DB10.DBW60", "DB99.DBW0", "MB3", "DB10.DBW64"});
  EXPECT_EQ(KS7ReadTags(ref, t.data(), 4), 1);
  EXPECT_EQ(Results(t), (std::vector<LONG>{0, S7TAG_ERR_OBJECT, 0, S7TAG_ERR_ADDRESS}));
  EXPECT_EQ(vals[0][0] | vals[0][1] << 8, 0xABCD);
  EXPECT_EQ(KS7WriteTags(ref, t.data(), 4), 1);
  EXPECT_EQ(Results(t), (std::vector<LONG>{0, S7TAG_ERR_OBJECT, 0, S7TAG_ERR_ADDRESS}));
  EXPECT_EQ(KS7ReadTags(ref, t.data() + 1, 1), 2);
  EXPECT_STREQ(KS7ErrText(t[1].Result), "Objekt existiert nicht (DB fehlt) / object does not exist (no such data block)");
}

TEST_P(Sim, ABitWriteIsABitItemAndLeavesItsNeighbours) {
  ASSERT_EQ(ref, 0);
  for (const auto &[start, value, want] : {std::tuple{0xFF, 0, 0xF7}, {0x00, 1, 0x08}}) {
    plc.write_bytes(Area::Flags, 0, 20, std::vector<uint8_t>{static_cast<uint8_t>(start)});
    plc.clear_jobs();
    auto t = Tags({"M20.3"});
    vals[0][0] = static_cast<uint8_t>(value);
    ASSERT_EQ(KS7WriteTags(ref, t.data(), 1), 0);
    EXPECT_EQ(plc.read_bytes(Area::Flags, 0, 20, 1)[0], want);
    ASSERT_EQ(plc.jobs().size(), 1u);
    EXPECT_EQ(plc.jobs()[0].tsize, 0x01);
    EXPECT_EQ(plc.jobs()[0].address, 20u * 8 + 3);
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, Sim, testing::Values(false, true),
                         [](const auto &p) { return p.param ? "PPI" : "MPI"; });

}  // namespace
