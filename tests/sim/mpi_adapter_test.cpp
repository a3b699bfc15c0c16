// The simulated MPI adapter, driven from the PC's end of a pty by a small
// 3964R client of its own: its strict checks of the PC, the damage each
// injected fault does on the line, garbage, a prompt stop, and one run of
// the library through it in every bring-up style. Good-path connects, jobs
// and member lists are the library's end-to-end tests' business.
#include "mpi_adapter.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "peer.hpp"
#include "plc.hpp"
#include "pty.hpp"
#include "rs232.h"
#include "s7conn.h"
#include "s7serial.h"
#include "testutil.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
using s7sim::Fault;
using s7sim::FaultSetting;
using s7sim::InitStyle;
using s7sim::MpiAdapter;
using s7sim::Plc;
using s7test::hex;

constexpr uint8_t STX = 0x02, ETX = 0x03, DLE = 0x10, NAK = 0x15;

Bytes B(std::initializer_list<int> v) {
  Bytes out;
  for (int x : v) out.push_back(static_cast<uint8_t>(x));
  return out;
}

std::string joined(const std::vector<std::string> &lines) {
  std::string s;
  for (const auto &l : lines) s += l + "\n";
  return s;
}

// The adapter records a violation after it has answered the block: wait
// for it rather than for a fixed time.
bool reported(const MpiAdapter &adapter, const std::string &part) {
  for (int i = 0; i < 100; ++i) {
    const auto v = adapter.violations();
    if (std::any_of(v.begin(), v.end(),
                    [&](const std::string &l) { return l.find(part) != std::string::npos; }))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// ---------------------------------------------------------------------------
// The PC's blocks.

Bytes init_record(int own, int speed = 0x02) {
  return B({0x01, 0x03, 0x02, 0x27,  0x00, 0x9F, 0x01, 0x3C, 0x00, 0x90, 0x01, 0x14,
            0x00, 0x00, 0x14, speed, own,  0x7E, 0x05, 0x01, 0x01, 0x03, 0x80});
}
const Bytes kMembers = B({1, 7, 2});
const std::vector<Bytes> kTs = {B({1, 8, 2}), B({1, 4, 2}), B({1, 12, 2}), B({1, 8, 2})};
Bytes connect_request(int addr) {
  return B({0x00, 0x0D, 0x00, (addr + 1) & 0xFF,
            0xE0, 0x04, 0x00, 0x80,
            0x00, 0x02, 0x01, 0x06,
            0x01, 0x00, 0x00, 0x01,
            0x02, addr, 0x01, 0x00});
}
const Bytes kResetPdu = B({0x32, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x08, 0x00, 0x00, 0xF0, 0x00,
                           0x00, 0x01, 0x00, 0x02, 0x01, 0xE0});
// Read of 2 bytes of DB10 from byte 4.
const Bytes kReadPdu = B({0x32, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x04, 0x01,
                          0x12, 0x0A, 0x10, 0x02, 0x00, 0x02, 0x00, 0x0A, 0x84, 0x00, 0x00, 0x20});
Bytes job(uint8_t p, uint8_t r, uint8_t k, const Bytes &pdu = kReadPdu) {
  Bytes b = B({0x00, 0x0C, p, r, 0xF1, k});
  b.insert(b.end(), pdu.begin(), pdu.end());
  return b;
}
Bytes ack_of(const Bytes &answer) {
  return B({answer[0], answer[1], answer[3], answer[2], 0xB0, 0x01, answer[5]});
}

// ---------------------------------------------------------------------------
// A pty, an adapter with a station at MPI address 2, the client; brought as
// far as a case needs.

constexpr uint8_t kP = 0x14;  // the adapter's reference for its first station

enum class Stage { Down, Up, Connected };

struct Rig {
  explicit Rig(InitStyle style = InitStyle::Zero)
      : adapter(pty.master()), fd(open(pty.slave_name().c_str(), O_RDWR | O_NOCTTY)), pc(fd) {
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    plc2.add_db(10, 64);
    adapter.add_station(2, plc2);
    adapter.set_init_style(style);
    adapter.start();
  }
  ~Rig() {
    adapter.stop();
    close(fd);
  }

  // STX, the adapter's DLE, the framed block; the adapter's answer to the
  // block (DLE, NAK), 0 when it answered nothing or the STX not with DLE.
  uint8_t send(const Bytes &b) {
    pc.put(B({STX}));
    if (pc.get(2000) != DLE) return 0;
    pc.put(s7test::framed(b));
    return pc.get(2000).value_or(0);
  }
  // A block taken (DLE) and answered with one block, or with nothing.
  void answered(const Bytes &b) {
    ASSERT_EQ(send(b), DLE);
    EXPECT_TRUE(pc.rx());
  }
  void unanswered(const Bytes &b) {
    ASSERT_EQ(send(b), DLE);
    EXPECT_TRUE(pc.quiet(200).empty());
  }
  // STX, the adapter's DLE, then `rest` as it stands; the adapter's reply.
  std::optional<uint8_t> raw_block(const Bytes &rest, int ms = 2000) {
    pc.put(B({STX}));
    EXPECT_EQ(pc.get(), DLE);
    pc.put(rest);
    return pc.get(ms);
  }
  // Connect request and confirmation to address 2; the adapter's reference.
  uint8_t connect() {
    EXPECT_EQ(send(connect_request(2)), DLE);
    auto a = pc.rx();
    if (!a || a->size() < 6) {
      ADD_FAILURE() << "connect refused: " << (a ? hex(*a) : "nothing");
      return 0;
    }
    answered(B({0x00, 0x0C, (*a)[3], 0x03, 0x05, 0x01}));
    return (*a)[3];
  }
  // One job: block, the adapter's acknowledgement, its answer, ours.
  void exchange(uint8_t p, uint8_t r, uint8_t k, const Bytes &pdu = kReadPdu) {
    answered(job(p, r, k, pdu));
    auto ans = pc.rx();
    ASSERT_TRUE(ans && ans->size() > 6) << "no answer to job #" << int{k};
    EXPECT_EQ(send(ack_of(*ans)), DLE);
  }
  // Zero-style bring-up; connected with the reset job #0 done.
  void reach(Stage stage) {
    if (stage == Stage::Down) return;
    answered(init_record(0));
    EXPECT_TRUE(pc.rx());
    if (stage == Stage::Up) return;
    EXPECT_EQ(connect(), kP);
    exchange(kP, 3, 0, kResetPdu);
  }

  s7sim::Pty pty;
  Plc plc2;
  MpiAdapter adapter;
  int fd;
  s7test::Peer pc;  // the PC's end of the line
};

using Act = std::function<void(Rig &)>;

// ---------------------------------------------------------------------------

// A fresh rig brought to `stage`, then `act`: the adapter must record
// exactly the violations `expect` names.
void expect_violations(const char *what, Stage stage, const Act &act,
                       const std::vector<std::string> &expect, InitStyle style = InitStyle::Zero) {
  SCOPED_TRACE(what);
  Rig rig(style);
  rig.reach(stage);
  ASSERT_TRUE(rig.adapter.violations().empty()) << joined(rig.adapter.violations());
  act(rig);
  for (const std::string &v : expect)
    EXPECT_TRUE(reported(rig.adapter, v)) << v << "\n" << joined(rig.adapter.violations());
  EXPECT_EQ(rig.adapter.violations().size(), expect.size()) << joined(rig.adapter.violations());
}

TEST(MpiAdapterChecks, EveryKindOfPcViolationIsRecordedOnce) {
  Bytes bad = init_record(0, 0x03);
  bad[5] = 0x9E;
  bad[17] = 0x7D;
  bad[22] = 0x81;
  expect_violations("init record fields", Stage::Down, [&](Rig &r) { r.answered(bad); },
                    {"byte 5 is 9E, expected 9F", "speed code 03", "byte 17 is 7D, expected 7E",
                     "byte 22 is 81, expected 80"});
  const Bytes shorter(bad.begin(), bad.end() - 1);
  expect_violations("init record too short", Stage::Down, [&](Rig &r) { r.unanswered(shorter); },
                    {"initialisation record of 22 bytes"});
  expect_violations(
      "TS blocks out of order", Stage::Down,
      [](Rig &r) {
        ASSERT_EQ(r.send(init_record(0)), DLE);
        auto a = r.pc.rx();
        ASSERT_TRUE(a && a->size() >= 4 && (*a)[3] == 'E');
        r.answered(kTs[1]);
      },
      {"TS block 1 is 01 04 02, expected 01 08 02"}, InitStyle::E);
  expect_violations("connect before the init record", Stage::Down,
                    [](Rig &r) { r.unanswered(connect_request(2)); },
                    {"before the initialisation record"});
  expect_violations("confirmation of a refused connect", Stage::Up,
                    [](Rig &r) {
                      ASSERT_EQ(r.send(connect_request(9)), DLE);  // nobody at 9
                      auto a = r.pc.rx();
                      ASSERT_TRUE(a);
                      EXPECT_LE(a->size(), 5u) << hex(*a);
                      r.unanswered(B({0x00, 0x0C, kP, 0x0A, 0x05, 0x01}));
                    },
                    {"not offered"});

  // Job block numbers: 1 .. 255, then 1 again, all in order; then a skip.
  expect_violations("block numbers past 255, then a skip", Stage::Connected,
                    [](Rig &r) {
                      for (int k = 1; k <= 256; ++k)
                        r.exchange(kP, 3, static_cast<uint8_t>(k == 256 ? 1 : k));
                      EXPECT_TRUE(r.adapter.violations().empty()) << joined(r.adapter.violations());
                      r.exchange(kP, 3, 3);
                    },
                    {"job block number 3, expected 2"});
  expect_violations("a new connection not starting at 0", Stage::Connected,
                    [](Rig &r) { r.exchange(r.connect(), 3, 1, kResetPdu); },
                    {"job block number 1, expected 0"});
  expect_violations("acknowledgement with another number", Stage::Connected,
                    [](Rig &r) {
                      r.answered(job(kP, 3, 1));
                      auto ans = r.pc.rx();
                      ASSERT_TRUE(ans && ans->size() > 6);
                      Bytes wrong = ack_of(*ans);
                      wrong[6] ^= 0x40;
                      EXPECT_EQ(r.send(wrong), DLE);
                    },
                    {"acknowledgement of answer #1"});
  expect_violations("answer left unacknowledged", Stage::Connected,
                    [](Rig &r) {
                      r.answered(job(kP, 3, 1));
                      EXPECT_TRUE(r.pc.rx());
                      r.exchange(kP, 3, 2);
                    },
                    {"answer #1 was not acknowledged"});
  expect_violations("wrong own reference", Stage::Connected, [](Rig &r) { r.exchange(kP, 7, 1); },
                    {"job #1 carries reference 07"});
  Bytes longer = kReadPdu;
  longer.push_back(0x00);
  expect_violations("length beyond the job header", Stage::Connected,
                    [&](Rig &r) { r.exchange(kP, 3, 1, longer); },
                    {"job block of 31 bytes, its header gives 30"});
  expect_violations("unknown connection reference", Stage::Connected,
                    [](Rig &r) { r.unanswered(job(0x33, 3, 1)); },
                    {"unknown connection reference 33"});

  // Framing.
  Bytes bad_bcc = s7test::framed(kMembers);
  bad_bcc.back() ^= 0x01;
  expect_violations("wrong BCC", Stage::Up, [&](Rig &r) { EXPECT_EQ(r.raw_block(bad_bcc), NAK); },
                    {"wrong BCC"});
  const Bytes lone = B({0x01, DLE, 0x07, 0x02, DLE, ETX, 0x01 ^ 0x07 ^ 0x02 ^ ETX});
  expect_violations("lone DLE in the data", Stage::Up,
                    [&](Rig &r) { EXPECT_EQ(r.raw_block(lone), NAK); },
                    {"lone DLE followed by 07"});
  expect_violations("stray characters (a lone NAK is allowed)", Stage::Up,
                    [](Rig &r) {
                      r.pc.put(B({NAK}));
                      EXPECT_TRUE(r.pc.quiet(100).empty());
                      r.pc.put(B({0x55, 0xAA}));
                      r.answered(kMembers);  // the block right behind them is good
                    },
                    {"2 stray characters outside a block: 55 AA"});
  expect_violations("block broken off", Stage::Up,
                    [](Rig &r) {
                      EXPECT_EQ(r.raw_block(B({0x01, 0x07}), 1300), std::nullopt);
                    },
                    {"broke off inside the data after 2 data bytes"});
}

// A fresh rig with `fault` injected, brought to `stage`, then `act`: none
// of what follows is the PC's fault.
void expect_damage(const char *what, FaultSetting fault, Stage stage, const Act &act) {
  SCOPED_TRACE(what);
  Rig rig;
  rig.adapter.inject(fault);
  rig.reach(stage);
  act(rig);
  EXPECT_TRUE(rig.adapter.violations().empty()) << joined(rig.adapter.violations());
}

TEST(MpiAdapterFaults, EachFaultDoesTheDamageItNames) {
  // Counted from 1 as the adapter counts them: after the bring-up the PC has
  // sent 1 STX and the adapter 2 blocks; once connected, job #1 is the PC's
  // block 5 (acknowledgements of answers not counted) and the adapter's job 2.
  expect_damage("NAK to the init record twice", {Fault::NakBlock, 1, 2}, Stage::Down, [](Rig &r) {
    EXPECT_EQ(r.send(init_record(0)), NAK);
    EXPECT_EQ(r.send(init_record(0)), NAK);
    r.answered(init_record(0));
    EXPECT_EQ(r.adapter.blocks_from_pc().size(), 1u);
  });
  expect_damage("wrong BCC, then the block again", {Fault::CorruptBcc, 1}, Stage::Down, [](Rig &r) {
    ASSERT_EQ(r.send(init_record(0)), DLE);
    EXPECT_FALSE(r.pc.rx());
    // 00 10 01 00: the doubled DLE adds nothing, DLE ETX 0x13; inverted.
    EXPECT_EQ(r.pc.seen.back(), 0x01 ^ 0x13 ^ 0xFF);
    auto first = r.pc.rx();
    ASSERT_TRUE(first);
    EXPECT_EQ(hex(*first), "00 10 01 00");
  });
  const auto members = [](Rig &r) {
    auto m = r.pc.rx();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->size(), 133u);
  };
  expect_damage("first data byte left out", {Fault::DropByte, 3, 1, 0}, Stage::Up, [&](Rig &r) {
    ASSERT_EQ(r.send(kMembers), DLE);
    const size_t start = r.pc.seen.size();
    EXPECT_FALSE(r.pc.rx());
    const size_t damaged = r.pc.seen.size() - start;
    members(r);
    EXPECT_LT(damaged, r.pc.seen.size() - start - damaged);
  });
  expect_damage("garbage before the STX", {Fault::GarbageBeforeStx, 3}, Stage::Up, [&](Rig &r) {
    ASSERT_EQ(r.send(kMembers), DLE);
    for (uint8_t g : {0xFF, 0x55, 0xAA}) EXPECT_EQ(r.pc.get(), g);
    members(r);
  });
  expect_damage("collision on the PC's STX", {Fault::Collision, 2}, Stage::Up, [&](Rig &r) {
    r.pc.put(B({STX}));
    auto own = r.pc.rx();  // STX back: the PC yields and takes the adapter's block first
    EXPECT_TRUE(own && !own->empty());
    r.answered(kMembers);
  });
  expect_damage("STX left unanswered", {Fault::IgnoreStx, 2}, Stage::Up, [&](Rig &r) {
    r.pc.put(B({STX}));
    EXPECT_TRUE(r.pc.quiet(300).empty());
    r.answered(kMembers);
  });

  expect_damage("job taken, nothing more", {Fault::NoReply, 5}, Stage::Connected,
                [](Rig &r) { r.unanswered(job(kP, 3, 1)); });
  // The acknowledgement the adapter sends, and nothing after it.
  const auto acked = [](const Bytes &ack) {
    return [ack](Rig &r) {
      ASSERT_EQ(r.send(job(kP, 3, 1)), DLE);
      auto a = r.pc.rx();
      ASSERT_TRUE(a);
      EXPECT_EQ(hex(*a), hex(ack));
      EXPECT_TRUE(r.pc.quiet(200).empty());
    };
  };
  expect_damage("acknowledgement only", {Fault::AckOnly, 2}, Stage::Connected,
                acked(B({0x00, 0x0C, 0x03, kP, 0xB0, 0x01, 0x01})));
  expect_damage("acknowledgement with another number", {Fault::WrongAckNumber, 2}, Stage::Connected,
                acked(B({0x00, 0x0C, 0x03, kP, 0xB0, 0x01, 0x02})));
  expect_damage("acknowledgement with other references", {Fault::WrongAckRefs, 2}, Stage::Connected,
                acked(B({0x00, 0x0C, 0x04, kP + 1, 0xB0, 0x01, 0x01})));
  for (int len : {317, 600}) {
    expect_damage("long answer", {Fault::LongAnswer, 2, 1, len == 317 ? -1 : len}, Stage::Connected,
                  [len](Rig &r) {
                    r.answered(job(kP, 3, 1));
                    auto big = r.pc.rx();
                    ASSERT_TRUE(big);
                    EXPECT_EQ(big->size(), static_cast<size_t>(len));
                    EXPECT_EQ(hex(Bytes(big->begin(), big->begin() + 5)),
                              hex(B({0x00, 0x0C, 0x03, kP, 0xF1})));
                  });
  }
}

TEST(MpiAdapterRobust, SurvivesGarbageAndNonsenseAndStopsPromptly) {
  Rig rig;
  std::mt19937 gen(7);
  std::uniform_int_distribution<int> byte(0, 255), pick(0, 9), len(0, 40), head(0, 3);
  // Noise with plenty of control characters.
  Bytes junk;
  for (int i = 0; i < 4000; ++i) {
    const int c = pick(gen);
    junk.push_back(static_cast<uint8_t>(c == 0 ? STX : c == 1 ? DLE : c == 2 ? ETX : byte(gen)));
  }
  rig.pc.put(junk);
  rig.pc.quiet(1500);
  EXPECT_FALSE(rig.adapter.violations().empty());
  EXPECT_EQ(rig.adapter.chars_from_pc(), junk.size());

  // Well-framed blocks that start like the PC's and go on at random; every
  // block the adapter sends in between is taken.
  rig.reach(Stage::Connected);
  const std::vector<Bytes> heads = {
      {}, B({0x00, 0x0C, kP, 0x03, 0xF1}), B({0x00, 0x0D, 0x00}), B({0x01, 0x03, 0x02})};
  // Takes blocks for as long as anything comes within ms.
  const auto serve = [&](int ms) {
    for (size_t n = 0; n != rig.pc.seen.size();) {
      n = rig.pc.seen.size();
      rig.pc.rx(DLE, ms);
    }
  };
  int taken = 0;
  for (int n = 0; n < 100; ++n) {
    Bytes b = heads[static_cast<size_t>(head(gen))];
    for (int i = len(gen); i > 0; --i) b.push_back(static_cast<uint8_t>(byte(gen)));
    // Normally DLE; an STX when an answer of the adapter crossed ours.
    if (rig.send(b) == DLE) ++taken;
    serve(15);
  }
  serve(300);
  EXPECT_GT(taken, 90);

  // Still at its post: up and connected again.
  rig.reach(Stage::Connected);

  // Asked to stop while it waits for our DLE to its STX.
  ASSERT_EQ(rig.send(kMembers), DLE);
  ASSERT_EQ(rig.pc.get(), STX);
  const auto t0 = std::chrono::steady_clock::now();
  rig.adapter.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
}

// ---------------------------------------------------------------------------
// The library itself through the adapter, in each way of answering the
// init record: not one violation.

TEST(MpiAdapterLibrary, SessionInEveryBringUpStyle) {
  const Bytes data = B({0x10, 0x02, 0x03, 0x15});  // DLE, STX, ETX, NAK
  for (InitStyle style : {InitStyle::Zero, InitStyle::E, InitStyle::LowerE, InitStyle::Short}) {
    SCOPED_TRACE(static_cast<int>(style));
    s7test::PtyPort port{0};
    Plc plc;
    plc.add_db(10, 64);
    MpiAdapter adapter(port.master());
    adapter.add_station(2, plc);
    adapter.set_init_style(style);
    adapter.start();

    S7 s7{};
    ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 38400));
    Bytes wr = data;
    EXPECT_TRUE(S7WrDBB(&s7, 10, 4, 4, wr.data()));
    EXPECT_EQ(hex(plc.read_bytes(s7sim::Area::DB, 10, 4, 4)), hex(data));
    BYTE rd[4] = {};
    EXPECT_TRUE(S7RdDBB(&s7, 10, 4, 4, rd));
    EXPECT_EQ(hex(Bytes(rd, rd + 4)), hex(data));
    EXPECT_TRUE(S7Exit(&s7));

    // The TS blocks where the answer asks for them; shut down at the end.
    const auto got = adapter.blocks_from_pc();
    const bool ts = style == InitStyle::E || style == InitStyle::LowerE;
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(hex(got[1]), hex(ts ? kTs[0] : connect_request(2)));
    EXPECT_EQ(hex(got.back()), "01 04 02");
    EXPECT_TRUE(adapter.violations().empty()) << joined(adapter.violations());
    adapter.stop();
  }
}

}  // namespace
