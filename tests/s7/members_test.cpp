// The bus-member list against a scripted adapter: the request, the status
// byte of each address, and answers of the wrong length.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "peer.hpp"
#include "s7int.h"

using namespace s7test;

namespace {

std::string Answer(size_t len) {
  Bytes a(len, 0x10);  // 0x10: no station at that address
  for (size_t i = 0; i < 6; ++i) a[i] = static_cast<uint8_t>(0xA0 + i);
  a[6 + 0] = a[6 + 2] = 0x30;  // the PC itself, a station
  a[6 + 3] = 0x20;             // other status bytes are passed on as they are
  if (len > 132) a[132] = 0x01;
  return " r=010702 t=" + plain(a);
}

TEST(BusMembers, ListFromTheAdapterAnswer) {
  PtyPort port(0);
  S7 s7{};
  ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 19200));
  CStat[0].Status = 1;  // the adapter counts as up: no bring-up
  const struct {
    size_t len;
    int result, err;
    const char *list;  // the entries that are not 0, as address:value
  } rows[] = {{133, 1, 5, "0:30 2:30 3:20 126:1 "}, {132, 0, -1, ""}, {134, 0, -1, ""}};
  for (const auto &r : rows) {
    std::array<WORD, 127> list;
    list.fill(0xEEEE);
    s7.Err = 5;  // success leaves Err alone
    exchange(port.master(), play(Answer(r.len)),
             [&] { EXPECT_EQ(S7GetMPIMembers(&s7, list.data()), r.result); });
    EXPECT_EQ(s7.Err, r.err);
    std::string got;
    char e[32];
    for (size_t i = 0; i < list.size() && r.result; ++i)
      got += list[i] ? (std::snprintf(e, sizeof e, "%d:%X ", int(i), list[i]), e) : "";
    EXPECT_EQ(got, r.list);
    EXPECT_EQ(std::count(list.begin(), list.end(), 0xEEEE), r.result ? 0 : 127);
  }
  CStat[0].Status = 0;  // nothing to shut down on this line
}

}  // namespace
