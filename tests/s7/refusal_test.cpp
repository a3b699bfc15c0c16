// Jobs the library refuses before it touches the line: more data than one
// job or frame can carry, timer and counter values out of range, empty runs.
// The pty's far end only checks that not one byte arrives.
#include <gtest/gtest.h>

#include <cstring>

#include "peer.hpp"
#include "s7int.h"

using namespace s7test;

namespace {

TEST(Refusals, NothingGoesOnTheLine) {
  PtyPort mpi(0), ppi(3);
  S7 m{}, p{};
  ASSERT_TRUE(S7InitFastBaud(&m, 0, 2, 0, 19200));
  ASSERT_TRUE(S7PPIInit(&p, 3, 2, 0, 9600));
  S7 before[2] = {m, p};
  std::vector<BYTE> data(300, 0x5A);
  const struct {
    bool ppi, write;
    int anz, typ, unit, type;
  } rows[] = {// MPI writes: 283 bytes as bytes, words, double words; products that
              // wrap in 16 bits; timers and counters count two bytes whatever Unit says
              {0, 1, 283, 0x84, 1, 2},
              {0, 1, 142, 0x84, 2, 2},
              {0, 1, 71, 0x83, 4, 6},
              {0, 1, 32768, 0x84, 2, 2},
              {0, 1, 65535, 0x82, 65535, 2},
              {0, 1, 142, 0x1D, 2, 0x1D},
              {0, 1, 142, 0x1C, 2, 0x1C},
              {0, 1, 283, 0x83, 1, 1},
              // MPI reads: 293 bytes of answer
              {0, 0, 293, 0x84, 1, 2},
              {0, 0, 147, 0x84, 2, 2},
              {0, 0, 74, 0x83, 4, 6},
              {0, 0, 147, 0x1D, 1, 0x1D},
              {0, 0, 147, 0x1C, 0, 0x1C},
              {0, 0, 65535, 0x81, 65535, 8},
              // PPI: one frame carries 224 data bytes in a write, 234 in a read answer
              {1, 1, 225, 0x84, 1, 2},
              {1, 1, 57, 0x84, 4, 6},
              {1, 0, 235, 0x84, 1, 2},
              {1, 0, 118, 0x1D, 2, 0x1D}};
  for (const auto &r : rows) {
    S7 &s7 = r.ppi ? p : m;
    s7.Err = 0;
    EXPECT_EQ(r.write ? S7Wr(&s7, 10, 0, r.anz, data.data(), r.typ, r.unit, r.type, 0)
                      : S7Rd(&s7, 10, 0, r.anz, data.data(), r.typ, r.unit, r.type, 0),
              -1)
        << r.anz;
    EXPECT_EQ(s7.Err, 2) << r.anz;
  }
  // out of range: the bad value comes last, the good ones are not sent either
  DWORD ms[3] = {100, 9990000, 9990001};
  WORD z[2] = {999, 1000};
  m.Err = 0;
  EXPECT_FALSE(S7WrTimer(&m, 0, 3, ms));
  EXPECT_EQ(m.Err, -9);
  m.Err = 0;
  EXPECT_FALSE(S7WrCounter(&m, 0, 2, z));
  EXPECT_EQ(m.Err, -9);
  // empty runs fail and leave Err alone
  m.Err = 77;
  BYTE *b = data.data();
  auto w = reinterpret_cast<LPWORD>(b);
  auto d = reinterpret_cast<LPDWORD>(b);
  EXPECT_FALSE(S7RdB(&m, 10, 0, 0, b, 0x84, 2) || S7WrB(&m, 10, 0, 0, b, 0x84, 2) ||
               S7RdW(&m, 10, 0, 0, w, 0x84, 2) || S7WrW(&m, 10, 0, 0, w, 0x84, 2) ||
               S7RdDW(&m, 10, 0, 0, d, 0x84, 6) || S7WrDW(&m, 10, 0, 0, d, 0x84, 6) ||
               S7RdMReal(&m, 0, 0, reinterpret_cast<float *>(b)) || S7RdTimer(&m, 0, 0, d) ||
               S7WrTimer(&m, 0, 0, d) || S7RdCounter(&m, 0, 0, w) || S7WrCounter(&m, 0, 0, w));
  EXPECT_EQ(m.Err, 77);
  EXPECT_EQ(data, std::vector<BYTE>(300, 0x5A));
  EXPECT_EQ(ms[0] + z[1], 1100u);  // the caller's values are not touched
  for (S7 *s : {&m, &p}) {
    const S7 &was = before[s == &p];
    s->Err = was.Err;
    EXPECT_EQ(std::memcmp(s, &was, sizeof was), 0) << "a refused job changed the record";
  }
  EXPECT_EQ(CStat[0].Status + CStat[3].Status, 0);
  EXPECT_TRUE(Silent(mpi.master(), 150) && Silent(ppi.master(), 150));
}

}  // namespace
