// Adapter bring-up and shut-down over a real pty against a scripted adapter.
#include <gtest/gtest.h>

#include <cstring>

#include "peer.hpp"
#include "r3964.h"
#include "rs232.h"
#include "s7conn.h"

using namespace s7test;

namespace {

// The initialisation record for speed code `code` and own address `own`.
std::string Record(int code, int own) {
  char s[80];
  std::snprintf(s, sizeof s, "01030227009F013C00900114000014%02X%02X7E0501010380", code, own);
  return s;
}
const std::string kTs = "r=010802 t=00 r=010402 t=00 r=010C02 t=00 r=010802 t=00 ";

TEST(Kabel, BringUpAnswersAndFailures) {
  PtyPort port(0);
  S7 s7{};
  ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 19200));
  const struct {
    std::string adapter;
    bool ok;
  } rows[] = {
      {"r=" + Record(2, 0) + " t=00112245 t=3344 s300", true},
      // a leading 00: one more block and no command blocks, whatever byte 3 holds
      {"r t=0001024504 t=33 s300", true},
      // 'E' or 'e' in byte 3: the four command blocks; any other byte: none
      {"r t=0102034605 s300", true},
      {"r t=0102034505 " + kTs + "s300", true},
      {"r t=01020365 " + kTs + "s300", true},
      {"r t=010203 s300", true},  // shorter than 4 bytes: no 'e'
      {"r t=07 s300", true},
      {"r15 r15 r15 <15", false},
      {"r >55", false},
      {"r t= s300", false},
      {"r t=0001 >55", false},
      {"r t=0001 t= s300", false},
      {"r t=01020345 r=010802 t=00 r=010402 t=00 r=010C02 >55 s300", false},  // TS 3 unanswered
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.adapter);
    exchange(port.master(), play(r.adapter), [&] { EXPECT_EQ(InitKabel(0, 0) != 0, r.ok); });
  }
  // every port's copy of the record came from the template; the highest
  // address goes in only when the record is sent
  EXPECT_TRUE(bInitKabelData);
  for (int com = 1; com < COM_PORTS; ++com)
    EXPECT_EQ(std::memcmp(&InitKabelData[com], &_InitKabelData, sizeof(INIT_KABEL)), 0) << com;
  const BYTE *t = reinterpret_cast<const BYTE *>(&_InitKabelData);
  EXPECT_EQ(hex(Bytes(t, t + sizeof(INIT_KABEL))), hex(unhex(Record(2, 0).replace(34, 2, "00"))));
}

TEST(Kabel, SpeedCodesAndOwnAddress) {
  const struct {
    DWORD selector;
    int own, code;
  } rows[] = {{0, 0, 0x02}, {1, 126, 0x01}, {2, 5, 0x04}, {3, 0, 0x02}, {1000, 1, 0x02}};
  for (int com = 1; com <= 5; ++com) {
    const auto &r = rows[com - 1];
    PtyPort port(com);
    S7 s7{};
    ASSERT_TRUE(S7InitFastBaudEx(&s7, com, 2, r.own, 19200, r.selector));
    exchange(port.master(), play("r=" + Record(r.code, r.own) + " t=00 t=01"),
             [&] { EXPECT_TRUE(InitKabel(com, CStat[com].LocalMPIAdr)); });
  }
}

TEST(Kabel, ShutDownAndCommandBlocks) {
  PtyPort port(0);
  S7 s7{};
  ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 19200));
  const struct {
    int status;
    const char *adapter;
    bool ok;
  } rows[] = {{0, "s300", true}, {1, "r=010402 t=00", true}, {1, "r >55", false}};
  for (const auto &r : rows) {
    CStat[0].Status = r.status;
    exchange(port.master(), play(r.adapter), [&] { EXPECT_EQ(ExitKabel(0) != 0, r.ok); });
    EXPECT_EQ(CStat[0].Status, r.status);  // left to the callers
  }
  BYTE block[2] = {0xAB, 0x10};
  exchange(port.master(), play("r=AB10 t="), [&] { EXPECT_FALSE(TxTS(0, block, 2)); });
}

}  // namespace
