// Adapter bring-up and shut-down over a real pty against a scripted adapter.
#include <gtest/gtest.h>

#include <cstring>

#include "peer.hpp"
#include "r3964.h"
#include "rs232.h"
#include "s7conn.h"
#include "testutil.hpp"

using namespace s7test;

namespace {

const std::vector<Bytes> kTS = {
    {0x01, 0x08, 0x02}, {0x01, 0x04, 0x02}, {0x01, 0x0C, 0x02}, {0x01, 0x08, 0x02}};

// The initialisation record for own address `own` and speed code `speed`.
Bytes Record(uint8_t speed, uint8_t own) {
  return {0x01, 0x03, 0x02, 0x27,  0x00, 0x9F, 0x01, 0x3C, 0x00, 0x90, 0x01, 0x14,
          0x00, 0x00, 0x14, speed, own,  0x7E, 0x05, 0x01, 0x01, 0x03, 0x80};
}

// The adapter takes the record and answers `answer`; then `more` blocks of
// its own, then it takes and answers the first `ts` command blocks (and
// checks them); with `unanswered`, one more is taken but gets no answer block.
Script Adapter(Bytes answer, std::vector<Bytes> more, size_t ts, bool unanswered = false) {
  return [=](Peer &p) {
    p.rx();
    p.tx(answer);
    for (const Bytes &b : more) p.tx(b);
    for (size_t i = 0; i < ts + unanswered; ++i) {
      if (p.rx() != kTS[i]) p.problem("command block " + std::to_string(i));
      if (i < ts) p.tx({0x00});
    }
    if (unanswered) p.put({0x55});
    p.silence(300);
  };
}

class Kabel : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 19200)); }
  void TearDown() override { ComCloseAll(); }
  PtyPort port{0};
  S7 s7{};
};

TEST_F(Kabel, BringUpAnswersAndFailures) {
  // the record for own address 0 and selector 0, exactly as it goes out
  Peer p = exchange(port.master(), Adapter({0x00, 0x11, 0x22, 'E'}, {{0x33, 0x44}}, 0),
                    [] { EXPECT_TRUE(InitKabel(0, CStat[0].LocalMPIAdr)); });
  EXPECT_EQ(hex(p.seen).substr(0, 3 * 27 - 1),
            "02 01 03 02 27 00 9F 01 3C 00 90 01 14 00 00 14 02 00 7E 05 01 01 03 80 10 03 FD");
  // every port's copy came from the template; only port 0's was changed
  EXPECT_TRUE(bInitKabelData);
  for (int com = 1; com < COM_PORTS; ++com)
    EXPECT_EQ(std::memcmp(&InitKabelData[com], &_InitKabelData, sizeof(INIT_KABEL)), 0) << com;
  Bytes tmpl = Record(0x02, 0x00);
  tmpl[17] = 0x00;  // the highest address goes in only when the record is sent
  const BYTE *t = reinterpret_cast<const BYTE *>(&_InitKabelData);
  EXPECT_EQ(hex(Bytes(t, t + sizeof(INIT_KABEL))), hex(tmpl));

  const struct {
    const char *what;
    Script adapter;
    bool ok;
  } cases[] = {
      // a leading 0x00: one more block and no command blocks, whatever byte 3 holds
      {"0x00 style", Adapter({0x00, 0x01, 0x02, 'E', 0x04}, {{0x33}}, 0), true},
      // 'E' or 'e' in byte 3: the four command blocks; any other byte: none
      {"F", Adapter({0x01, 0x02, 0x03, 'F', 0x05}, {}, 0), true},
      {"E", Adapter({0x01, 0x02, 0x03, 'E', 0x05}, {}, 4), true},
      {"e", Adapter({0x01, 0x02, 0x03, 'e'}, {}, 4), true},
      // shorter than 4 bytes: without 'e', though the last answer left one behind
      {"3 bytes", Adapter({0x01, 0x02, 0x03}, {}, 0), true},
      {"1 byte", Adapter({0x07}, {}, 0), true},
      {"record refused",
       [](Peer &p) {
         for (int i = 0; i < 3; ++i) p.rx(kNAK);
         p.expect(kNAK);
       },
       false},
      {"no answer",
       [](Peer &p) {
         p.rx();
         p.put({0x55});
       },
       false},
      {"empty answer", Adapter({}, {}, 0), false},
      {"second block missing",
       [](Peer &p) {
         p.rx();
         p.tx({0x00, 0x01});
         p.put({0x55});
       },
       false},
      {"second block empty", Adapter({0x00, 0x01}, {{}}, 0), false},
      // the third command block unanswered: the fourth never goes out
      {"TS3 unanswered", Adapter({0x01, 0x02, 0x03, 'E'}, {}, 2, true), false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    exchange(port.master(), c.adapter, [&] { EXPECT_EQ(InitKabel(0, 0) != 0, c.ok); });
  }
}

TEST_F(Kabel, SpeedCodesAndOwnAddress) {
  const struct {
    DWORD selector;
    int own;
    uint8_t code;
  } cases[] = {{0, 0, 0x02}, {1, 126, 0x01}, {2, 5, 0x04}, {3, 0, 0x02}, {1000, 1, 0x02}};
  int com = 1;
  for (const auto &c : cases) {
    PtyPort other(com);
    S7 rec{};
    ASSERT_TRUE(S7InitFastBaudEx(&rec, com, 2, c.own, 19200, c.selector));
    const Bytes want = Record(c.code, static_cast<uint8_t>(c.own));
    exchange(
        other.master(),
        [&](Peer &p) {
          if (p.rx() != want) p.problem("record for selector " + std::to_string(c.selector));
          p.tx({0x00});
          p.tx({0x01});
        },
        [&] { EXPECT_TRUE(InitKabel(com, CStat[com].LocalMPIAdr)); });
    ++com;
  }
}

TEST_F(Kabel, ShutDownAndCommandBlocks) {
  // adapter not up: nothing sent, TRUE
  ASSERT_EQ(CStat[0].Status, 0);
  exchange(
      port.master(), [](Peer &p) { p.silence(300); }, [] { EXPECT_TRUE(ExitKabel(0)); });
  // adapter up: the shut-down block, answered; the status is left to the callers
  CStat[0].Status = 1;
  exchange(
      port.master(),
      [](Peer &p) {
        if (p.rx() != kTS[1]) p.problem("not the shut-down block");
        p.tx({0x00});
      },
      [] { EXPECT_TRUE(ExitKabel(0)); });
  EXPECT_EQ(CStat[0].Status, 1);
  // no answer, or an empty one: FALSE
  exchange(
      port.master(),
      [](Peer &p) {
        p.rx();
        p.put({0x55});
      },
      [] { EXPECT_FALSE(ExitKabel(0)); });
  BYTE block[2] = {0xAB, 0x10};
  exchange(
      port.master(),
      [](Peer &p) {
        if (p.rx() != Bytes{0xAB, 0x10}) p.problem("command block");
        p.tx({});
      },
      [&] { EXPECT_FALSE(TxTS(0, block, 2)); });
}

}  // namespace
