// The tag parser and the planner alone, as tables: texts to records or to the
// position and what was expected; tag lists to jobs and items; a few jobs'
// exact bytes and answers taken apart.
#include "plan.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "peer.hpp"

namespace {

using s7test::table;

std::string Addr(const char *text) {
  S7TAGADDR a{};
  char msg[100];
  std::ostringstream o;
  if (const int pos = S7ParseTag(text, &a, msg, sizeof msg); pos != 0)
    return o << pos << " " << msg, o.str();
  o << std::hex << +a.Area << std::dec << " " << a.DBNr << " " << +a.Type << " " << +a.Bit << " "
    << +a.StrLen << " " << a.Start << " " << a.Count << " " << S7TagValueSize(&a);
  return o.str();
}

TEST(TagParse, TextsToRecordsOrWhereAndWhatWasExpected) {
  // text | area db type bit strlen start count value-size, or position and message
  for (const auto &r :
       table({"DB10.DBX4.3|84 10 1 3 0 4 1 1",
              "db10.dbw4|84 10 4 0 0 4 1 2",

              "FD20:REAL|83 0 8 0 0 20 1 4",
              "I1.3|81 0 1 3 0 1 1 1",

              "ED0:DINT|81 0 7 0 0 0 1 4",

              "AW0:INT|82 0 5 0 0 0 1 2",
              "T5|1d 0 10 0 0 5 1 4",
              "c3|1c 0 11 0 0 3 1 2",
              "Z3[4]|1c 0 11 0 0 3 4 8",
              "VB100:CHAR|84 1 3 0 0 100 1 1",

              "DB1.DBB0[2]:STRING[8]|84 1 9 0 8 0 2 18",
              "MB0:BYTE[16]|83 0 2 0 0 0 16 16",
              "|1 expected an area: DB, M/F, I/E, Q/A, T, C/Z or V",
              "DB0.DBW2|3 expected a data block number 1..65535",

              "DB10.DBQ4|8 expected X (bit), B, W or D",
              "DB10.DBX4|10 expected '.' and a bit number 0..7",
              "M20.8|5 expected a bit number 0..7",
              "MX2|2 expected B, W, D or a bit address",
              "MW2:REAL|5 expected a type for a word: WORD or INT",
              "M2.0:BYTE|6 expected a type for a bit: BOOL",
              "MW2:INTX|5 expected a type: BOOL, BYTE, CHAR, WORD, INT, DWORD, DINT, REAL or "
              "STRING[n]",
              "MB1:STRING[255]|12 expected a string length 1..254",

              "MB0[0]|5 expected an element count 1..65535",

              "MB0 |4 expected ':', '[' or the end of the tag",
              "T5:INT|3 expected '[' or the end of the tag",
              "MW0[2]:INT[3]|11 expected the end of the tag",
              "DB1.DBW65535|8 expected a range that ends by byte 65535 (number 65535)",
              "MB65535[2]|9 expected a range that ends by byte 65535 (number 65535)"}))
    EXPECT_EQ(Addr(r[0].c_str()), r[1]) << r[0];
}

std::vector<S7TAGADDR> Parse(const std::string &list) {
  std::vector<S7TAGADDR> v;
  std::istringstream in(list);
  for (std::string t; in >> t;)
    EXPECT_EQ(S7ParseTag(t.c_str(), &v.emplace_back(), nullptr, 0), 0) << t;
  return v;
}

// Jobs as "item item / item": area:db:start+count, a bit item area:db:byte.bit.
std::string Shape(const std::vector<tagplan::Job> &jobs) {
  std::ostringstream o;
  for (const tagplan::Job &j : jobs) {
    o << (&j == jobs.data() ? "" : " / ");
    for (const tagplan::Item &i : j.Items) {
      o << (&i == j.Items.data() ? "" : " ") << std::hex << +i.Area << std::dec << ":" << i.DBNr
        << ":" << i.Start;
      i.Ts == tagplan::kTsBit ? o << "." << +i.Bit : o << "+" << i.Count;
    }
  }
  return o.str();
}

TEST(TagPlan, TagsToJobsAndItems) {
  // tags | R/W, M(PI)/P(PI), merge 1/0, item limit | jobs
  for (const auto &r : table(
           {"DB10.DBW4 DB10.DBW8 DB10.DBD20 DB10.DBW41|RM1 20|84:10:4+20 84:10:41+2",
            "DB10.DBW4 DB10.DBW8|RM0 20|84:10:4+2 84:10:8+2",
            "M20.3 M20.5 MB21 DB1.DBX0.0|RM1 20|83:0:20+2 84:1:0+1",
            "T9 T5 T6 C1|RM1 20|1c:0:1+1 1d:0:5+5",
            "DB1.DBB0[500]|RM1 20|84:1:0+222 / 84:1:222+222 / 84:1:444+56",
            "DB1.DBB0[250]|RP1 20|84:1:0+102 / 84:1:102+102 / 84:1:204+46",
            "DB1.DBB0[230] MB0 MB100|RM1 20|83:0:0+1 83:0:100+1 84:1:0+210 / 84:1:210+20",
            "MB0[210] DB1.DBB0[100]|RM1 20|83:0:0+210 / 84:1:0+100",
            "MB0 MB20 MB40 MB60 MB80|RM1 2|83:0:0+1 83:0:20+1 / 83:0:40+1 83:0:60+1 / 83:0:80+1",
            "M20.3 DB10.DBW4[110] DB10.DBB20:STRING[2]|WM1 20|83:0:20.3 84:10:4+194 / "
            "84:10:198+26 84:10:20+4",
            "T5[2] T7 Q1.0[2] MW0 MW2 MW6|WP1 20|1d:0:5+3 82:0:1.0 82:0:1.1 83:0:0+4 83:0:6+2"})) {
    S7SetTagItemLimit(std::stoi(r[1].substr(4)));
    EXPECT_EQ(
        Shape(r[1][0] == 'W' ? tagplan::PlanWrite(Parse(r[0]), tagplan::PathLimits(r[1][1] == 'P'))
                             : tagplan::PlanRead(Parse(r[0]), tagplan::PathLimits(r[1][1] == 'P'),
                                                 r[1][2] == '1')),
        r[2])
        << r[0];
  }
  // 100 far-apart words: 19 items fill a 240-byte request, 9 a 120-byte one
  S7SetTagItemLimit(0);
  std::string s;
  for (int i = 0; i < 100; ++i) s += "MW" + std::to_string(i * 100) + " ";
  const auto far = Parse(s);
  EXPECT_EQ(tagplan::PlanRead(far, tagplan::PathLimits(false)).size() * 100 +
                tagplan::PlanRead(far, tagplan::PathLimits(true)).size(),
            612u);
  EXPECT_EQ(tagplan::TagPayloadBytes(far), 200);
}

TEST(TagPlan, ExactBytesOfJobsAndAnswersTakenApart) {
  const tagplan::Limits L = tagplan::PathLimits(false);
  const auto rd = tagplan::PlanRead(Parse("DB10.DBW4 MB3"), L);
  ASSERT_EQ(rd.size(), 1u);
  EXPECT_EQ(s7test::plain(tagplan::BuildRead(rd[0])),
            "320100000200001A00000402120A10020001000083000018120A10020002000A84000020");
  const auto wr = tagplan::PlanWrite(Parse("M20.3 DB10.DBW4"), L);
  std::vector<std::vector<BYTE>> img{{1}, {0x12, 0x34}};
  EXPECT_EQ(s7test::plain(tagplan::BuildWrite(wr[0], img)),
            "320100000200001A000C0502120A100100010000830000A3120A10020002000A8400002000030001010000"
            "0400101234");
  // answers: one good byte with its fill byte and a refused word; answers that do not fit
  std::vector<tagplan::ItemAnswer> a;
  for (const auto &r :
       table({"R|3203 0000 0200 0002 000A 0000 0402 FF04000807 00 0A000000|1 FF:1 0A:0",
              "R|3203 0000 0200 0002 0009 0000 0402 FF04000807 0A000000|0 ",
              "R|3203 0000 0200 0002 000A 8500 0402 FF04000807 00 0A000000|0 ",
              "R|3203 0000 0200 0002 000B 0000 0402 FF04000807 00 FF040008AA|1 FF:1 07:0"})) {
    const bool w = r[0] == "W";
    const bool ok = tagplan::ParseAnswer(w ? wr[0] : rd[0], w, s7test::unhex(r[1]), a);
    std::string got = std::to_string(ok) + " ";
    if (ok)
      for (const auto &i : a)
        got += (&i == a.data() ? "" : " ") + s7test::plain({i.Code}) + ":" + std::to_string(i.Len);
    EXPECT_EQ(got, r[2]) << r[1];
  }
}

}  // namespace
