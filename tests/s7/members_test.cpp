// The bus-member list against a scripted adapter: the request bytes, the
// per-address status bytes, and answers of the wrong length.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <thread>
#include <vector>

#include "pty.hpp"
#include "r3964_peer.hpp"
#include "s7int.h"
#include "testutil.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t STXc = 0x02, DLEc = 0x10, ETXc = 0x03;

// Takes one block from the library as the adapter does: STX answered with
// DLE, the data with doubled DLEs up to DLE ETX and the BCC, answered with DLE.
std::optional<Bytes> VomPc(int fd) {
  uint8_t b = 0;
  if (!s7sim::read_byte(fd, b, 3000) || b != STXc) return std::nullopt;
  const Bytes dle{DLEc};
  s7sim::write_all(fd, dle);
  Bytes data;
  while (data.size() < 600) {
    if (!s7sim::read_byte(fd, b, 1000)) return std::nullopt;
    if (b != DLEc) {
      data.push_back(b);
      continue;
    }
    uint8_t c = 0;
    if (!s7sim::read_byte(fd, c, 1000)) return std::nullopt;
    if (c == DLEc) {
      data.push_back(DLEc);
    } else if (c == ETXc) {
      uint8_t bcc = 0;
      if (!s7sim::read_byte(fd, bcc, 1000)) return std::nullopt;
      s7sim::write_all(fd, dle);
      return data;
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// Sends one block to the library: STX, its DLE, the framed data, its DLE.
bool ZumPc(int fd, const Bytes &data) {
  const Bytes stx{STXc};
  s7sim::write_all(fd, stx);
  uint8_t b = 0;
  if (!s7sim::read_byte(fd, b, 3000) || b != DLEc) return false;
  s7sim::write_all(fd, s7sim::frame_3964r(data));
  return s7sim::read_byte(fd, b, 3000) && b == DLEc;
}

Bytes Antwort(size_t len) {
  Bytes a(len, 0x10);  // 0x10: no station at that address
  for (size_t i = 0; i < 6 && i < len; ++i) a[i] = static_cast<uint8_t>(0xA0 + i);
  if (len > 6 + 126) {
    a[6 + 0] = 0x30;  // the PC itself
    a[6 + 2] = 0x30;  // a station
    a[6 + 3] = 0x20;  // other status bytes are passed on as they are
    a[6 + 126] = 0x01;
  }
  return a;
}

TEST(BusMembers, ListFromTheAdapterAnswer) {
  s7test::PtyPort port(0);
  S7 s7{};
  ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 19200));
  // The adapter counts as up: the list is asked without any bring-up.
  CStat[0].Status = 1;

  std::vector<std::optional<Bytes>> anfragen;
  std::vector<bool> gesendet;
  std::thread adapter([&] {
    for (size_t len : {size_t{133}, size_t{132}, size_t{134}}) {
      anfragen.push_back(VomPc(port.master()));
      gesendet.push_back(ZumPc(port.master(), Antwort(len)));
    }
  });

  std::array<WORD, 127> teiln;
  teiln.fill(0xEEEE);
  s7.Err = 5;
  EXPECT_EQ(S7GetMPIMembers(&s7, teiln.data()), 1);
  EXPECT_EQ(s7.Err, 5);  // success leaves Err alone
  EXPECT_EQ(teiln[0], 0x30);
  EXPECT_EQ(teiln[1], 0);
  EXPECT_EQ(teiln[2], 0x30);
  EXPECT_EQ(teiln[3], 0x20);
  EXPECT_EQ(teiln[126], 0x01);
  int belegt = 0;
  for (WORD t : teiln) belegt += t != 0;
  EXPECT_EQ(belegt, 4);

  // 132 and 134 bytes: failure, the list not touched.
  teiln.fill(0xEEEE);
  EXPECT_EQ(S7GetMPIMembers(&s7, teiln.data()), 0);
  EXPECT_EQ(s7.Err, -1);
  s7.Err = 0;
  EXPECT_EQ(S7GetMPIMembers(&s7, teiln.data()), 0);
  EXPECT_EQ(s7.Err, -1);
  for (WORD t : teiln) EXPECT_EQ(t, 0xEEEE);

  adapter.join();
  ASSERT_EQ(anfragen.size(), 3u);
  for (const auto &a : anfragen) {
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(s7test::hex(*a), "01 07 02");
  }
  for (bool g : gesendet) EXPECT_TRUE(g);
  CStat[0].Status = 0;  // nothing to shut down on this line
  S7Exit(&s7);
}

}  // namespace
