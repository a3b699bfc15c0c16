// The simulated MPI adapter, driven from the PC's end of a pty by a small
// 3964R client of its own: bring-up in every answer style, connections,
// jobs carried to a Plc, strict checks of the PC, and the faults it injects.
#include "mpi_adapter.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "plc.hpp"
#include "pty.hpp"
#include "rs232.h"
#include "s7conn.h"
#include "s7serial.h"
#include "testutil.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
using s7sim::Fault;
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

Bytes cat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bool contains(const std::vector<std::string> &lines, const std::string &part) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string &l) { return l.find(part) != std::string::npos; });
}

// The adapter records a violation after it has answered the block: give
// it a moment where nothing else comes back on the line.
bool reported(const MpiAdapter &adapter, const std::string &part) {
  for (int i = 0; i < 100; ++i) {
    if (contains(adapter.violations(), part)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string joined(const std::vector<std::string> &lines) {
  std::string s;
  for (const auto &l : lines) s += l + "\n";
  return s;
}

// ---------------------------------------------------------------------------
// The PC's end of the line: opens the pty's slave and speaks 3964R.

class Client {
 public:
  explicit Client(const std::string &slave) {
    fd_ = open(slave.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ >= 0) {
      struct termios t {};
      tcgetattr(fd_, &t);
      cfmakeraw(&t);
      tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  std::optional<uint8_t> get(int ms = 2000) {
    struct pollfd p {
      fd_, POLLIN, 0
    };
    if (poll(&p, 1, ms) <= 0) return std::nullopt;
    uint8_t b;
    if (read(fd_, &b, 1) != 1) return std::nullopt;
    ++read_;
    raw.push_back(b);
    return b;
  }
  Bytes quiet(int ms) {
    Bytes out;
    while (auto b = get(ms)) out.push_back(*b);
    return out;
  }
  void put(const Bytes &b) {
    if (!b.empty() && write(fd_, b.data(), b.size()) == static_cast<ssize_t>(b.size()))
      written_ += b.size();
  }

  // Data with DLE doubled, DLE ETX, then the BCC over all of it.
  static Bytes frame(const Bytes &data) {
    Bytes f;
    uint8_t bcc = 0;
    for (uint8_t b : data) {
      f.push_back(b);
      bcc ^= b;
      if (b == DLE) {
        f.push_back(b);
        bcc ^= b;
      }
    }
    f.push_back(DLE);
    f.push_back(ETX);
    f.push_back(bcc ^ DLE ^ ETX);
    return f;
  }

  // STX, the adapter's DLE, the framed block; the adapter's answer to the
  // block (DLE, NAK), 'S' when STX was not answered with DLE, 0 for silence.
  uint8_t send(const Bytes &data, int ms = 2000) {
    put(B({STX}));
    auto a = get(ms);
    if (!a) return 0;
    if (*a != DLE) return 'S';
    put(frame(data));
    auto r = get(ms);
    return r ? *r : 0;
  }

  // Waits for the adapter's STX, answers DLE, reads the block and answers
  // DLE (or `answer`); nullopt on a broken block or a wrong BCC (NAK sent).
  std::optional<Bytes> receive(int ms = 2000, uint8_t answer = DLE) {
    auto s = get(ms);
    if (!s || *s != STX) return std::nullopt;
    put(B({DLE}));
    return body(answer);
  }
  // The rest of a block after its STX has been answered.
  std::optional<Bytes> body(uint8_t answer = DLE) {
    Bytes data;
    uint8_t bcc = 0;
    while (data.size() < 2048) {
      auto b = get(500);
      if (!b) return std::nullopt;
      bcc ^= *b;
      if (*b != DLE) {
        data.push_back(*b);
        continue;
      }
      auto c = get(500);
      if (!c) return std::nullopt;
      bcc ^= *c;
      if (*c == DLE) {
        data.push_back(DLE);
      } else if (*c == ETX) {
        auto x = get(500);
        if (!x || *x != bcc) {
          put(B({NAK}));
          return std::nullopt;
        }
        put(B({answer}));
        return data;
      } else {
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  uint64_t written() const { return written_; }
  uint64_t chars_read() const { return read_; }
  Bytes raw;  // every character from the adapter

 private:
  int fd_ = -1;
  uint64_t written_ = 0, read_ = 0;
};

// ---------------------------------------------------------------------------
// The PC's blocks.

Bytes init_record(int own, int speed = 0x02) {
  return B({0x01, 0x03, 0x02, 0x27,  0x00, 0x9F, 0x01, 0x3C, 0x00, 0x90, 0x01, 0x14,
            0x00, 0x00, 0x14, speed, own,  0x7E, 0x05, 0x01, 0x01, 0x03, 0x80});
}
Bytes connect_request(int addr) {
  return B({0x00, 0x0D, 0x00, (addr + 1) & 0xFF,
            0xE0, 0x04, 0x00, 0x80,
            0x00, 0x02, 0x01, 0x06,
            0x01, 0x00, 0x00, 0x01,
            0x02, addr, 0x01, 0x00});
}
const Bytes kResetPdu = B({0x32, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x08, 0x00, 0x00, 0xF0, 0x00,
                           0x00, 0x01, 0x00, 0x02, 0x01, 0xE0});
// Read `count` bytes of a data block from byte `at`.
Bytes read_pdu(int db, int at, int count) {
  const int bit = at * 8;
  return B({0x32,
            0x01,
            0x00,
            0x00,
            0x02,
            0x00,
            0x00,
            0x0E,
            0x00,
            0x00,
            0x04,
            0x01,
            0x12,
            0x0A,
            0x10,
            0x02,
            count >> 8,
            count & 0xFF,
            db >> 8,
            db & 0xFF,
            0x84,
            bit >> 16 & 0xFF,
            bit >> 8 & 0xFF,
            bit & 0xFF});
}
Bytes job(uint8_t p, uint8_t r, uint8_t k, const Bytes &pdu) {
  return cat(B({0x00, 0x0C, p, r, 0xF1, k}), pdu);
}
Bytes ack_of(const Bytes &answer) {
  return B({answer[0], answer[1], answer[3], answer[2], 0xB0, 0x01, answer[5]});
}

// ---------------------------------------------------------------------------
// A pty, an adapter with stations at MPI addresses 2 and 5, the client.

struct Rig {
  explicit Rig(InitStyle style = InitStyle::Zero) : adapter(pty.master()), pc(pty.slave_name()) {
    db10 = {0x11, 0x10, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    for (Plc *p : {&plc2, &ref2}) {
      p->add_db(10, 64);
      p->write_bytes(s7sim::Area::DB, 10, 4, db10);
    }
    adapter.add_station(2, plc2);
    adapter.add_station(5, plc5);
    adapter.set_init_style(style);
    adapter.set_trace([this](const std::string &l) {
      std::lock_guard lk(mu);
      trace.push_back(l);
    });
    adapter.start();
  }
  ~Rig() { adapter.stop(); }

  std::vector<std::string> lines() {
    std::lock_guard lk(mu);
    return trace;
  }

  // Init record and the answers of the Zero style.
  void bring_up(int own = 0) {
    ASSERT_EQ(pc.send(init_record(own)), DLE);
    ASSERT_TRUE(pc.receive());
    ASSERT_TRUE(pc.receive());
  }
  // Connect request, confirmation; returns the adapter's reference.
  uint8_t connect(int addr) {
    const uint8_t r = static_cast<uint8_t>(addr + 1);
    EXPECT_EQ(pc.send(connect_request(addr)), DLE);
    auto a = pc.receive();
    EXPECT_TRUE(a && a->size() > 5 && (*a)[0] == 0x00 && (*a)[1] == 0x0C && (*a)[2] == r)
        << (a ? hex(*a) : "nothing");
    if (!a || a->size() < 4) return 0;
    const uint8_t p = (*a)[3];
    EXPECT_EQ(pc.send(B({0x00, 0x0C, p, r, 0x05, 0x01})), DLE);
    auto c = pc.receive();
    EXPECT_TRUE(c && c->size() == 6) << (c ? hex(*c) : "nothing");
    return p;
  }
  // One job: block, the adapter's acknowledgement, its answer, our
  // acknowledgement. Returns the answer block.
  Bytes exchange(uint8_t p, uint8_t r, uint8_t k, const Bytes &pdu) {
    EXPECT_EQ(pc.send(job(p, r, k, pdu)), DLE);
    auto a = pc.receive();
    EXPECT_TRUE(a) << "no acknowledgement of job #" << int{k};
    if (a) {
      EXPECT_EQ(hex(*a), hex(B({0x00, 0x0C, r, p, 0xB0, 0x01, k})));
    }
    auto ans = pc.receive();
    EXPECT_TRUE(ans && ans->size() > 6) << "no answer to job #" << int{k};
    if (!ans || ans->size() < 6) return {};
    EXPECT_EQ(pc.send(ack_of(*ans)), DLE);
    return *ans;
  }

  s7sim::Pty pty;
  Plc plc2, plc5, ref2;  // ref2: configured as plc2, to compute expected answers
  Bytes db10;
  MpiAdapter adapter;
  Client pc;
  std::mutex mu;
  std::vector<std::string> trace;
};

// ---------------------------------------------------------------------------

TEST(MpiAdapterBringUp, ZeroStyleAnswersWithTwoBlocksAndCountsEveryCharacter) {
  Rig rig(InitStyle::Zero);
  ASSERT_TRUE(rig.pc.ok());
  ASSERT_EQ(rig.pc.send(init_record(0)), DLE);
  auto first = rig.pc.receive();
  ASSERT_TRUE(first);
  ASSERT_FALSE(first->empty());
  EXPECT_EQ((*first)[0], 0x00);
  auto second = rig.pc.receive();
  ASSERT_TRUE(second);
  EXPECT_FALSE(second->empty());
  EXPECT_TRUE(rig.pc.quiet(100).empty());

  EXPECT_TRUE(rig.adapter.violations().empty()) << joined(rig.adapter.violations());
  const auto from = rig.adapter.blocks_from_pc();
  ASSERT_EQ(from.size(), 1u);
  EXPECT_EQ(hex(from[0]), hex(init_record(0)));
  EXPECT_EQ(rig.adapter.blocks_to_pc().size(), 2u);
  // Every character either side put on the line was counted by the adapter.
  EXPECT_EQ(rig.adapter.chars_from_pc(), rig.pc.written());
  EXPECT_EQ(rig.adapter.chars_to_pc(), rig.pc.chars_read());
  // From the PC: STX, 23 data bytes, DLE ETX BCC; per answer block a DLE to
  // its STX and one to the block.
  EXPECT_EQ(rig.adapter.chars_from_pc(), 1u + 26u + 2u * 2u);
  EXPECT_TRUE(contains(rig.lines(), "PC>AD init own address 0, highest 126, speed code 02"))
      << joined(rig.lines());
}

TEST(MpiAdapterBringUp, EStylesTakeTheFourTsBlocksInOrder) {
  for (InitStyle style : {InitStyle::E, InitStyle::LowerE}) {
    Rig rig(style);
    ASSERT_EQ(rig.pc.send(init_record(1)), DLE);
    auto a = rig.pc.receive();
    ASSERT_TRUE(a && a->size() >= 4);
    EXPECT_NE((*a)[0], 0x00);
    EXPECT_EQ((*a)[3], style == InitStyle::E ? 'E' : 'e');
    for (const Bytes &ts : {B({1, 8, 2}), B({1, 4, 2}), B({1, 12, 2}), B({1, 8, 2})}) {
      ASSERT_EQ(rig.pc.send(ts), DLE);
      auto t = rig.pc.receive();
      ASSERT_TRUE(t && !t->empty()) << "no answer to " << hex(ts);
    }
    // Up now: a connection can be made.
    EXPECT_EQ(rig.connect(2), 0x14);
    EXPECT_TRUE(rig.adapter.violations().empty()) << joined(rig.adapter.violations());
  }
}

TEST(MpiAdapterBringUp, ShortStyleAndShutDown) {
  Rig rig(InitStyle::Short);
  ASSERT_EQ(rig.pc.send(init_record(0)), DLE);
  auto a = rig.pc.receive();
  ASSERT_TRUE(a);
  EXPECT_LT(a->size(), 4u);
  EXPECT_NE((*a)[0], 0x00);
  EXPECT_TRUE(rig.pc.quiet(100).empty());
  // Shut-down is answered; afterwards the adapter is down again.
  ASSERT_EQ(rig.pc.send(B({1, 4, 2})), DLE);
  EXPECT_TRUE(rig.pc.receive());
  EXPECT_TRUE(rig.adapter.violations().empty()) << joined(rig.adapter.violations());
  ASSERT_EQ(rig.pc.send(connect_request(2)), DLE);
  EXPECT_TRUE(rig.pc.quiet(200).empty());
  EXPECT_TRUE(contains(rig.adapter.violations(), "before the initialisation record"))
      << joined(rig.adapter.violations());
}

TEST(MpiAdapterBringUp, InitRecordAndTsOrderAreChecked) {
  Rig rig(InitStyle::E);
  Bytes bad = init_record(0, 0x03);
  bad[17] = 0x7D;
  bad[22] = 0x81;
  bad[5] = 0x9E;
  ASSERT_EQ(rig.pc.send(bad), DLE);
  ASSERT_TRUE(rig.pc.receive());
  const auto v = rig.adapter.violations();
  EXPECT_EQ(v.size(), 4u) << joined(v);
  EXPECT_TRUE(contains(v, "byte 5 is 9E, expected 9F"));
  EXPECT_TRUE(contains(v, "speed code 03"));
  EXPECT_TRUE(contains(v, "byte 17 is 7D, expected 7E"));
  EXPECT_TRUE(contains(v, "byte 22 is 81, expected 80"));

  // TS2 where TS1 belongs.
  ASSERT_EQ(rig.pc.send(B({1, 4, 2})), DLE);
  EXPECT_TRUE(rig.pc.receive());
  EXPECT_TRUE(contains(rig.adapter.violations(), "TS block 1 is 01 04 02, expected 01 08 02"));

  // A record of 22 bytes is not answered.
  Bytes shorter = init_record(0);
  shorter.pop_back();
  ASSERT_EQ(rig.pc.send(shorter), DLE);
  EXPECT_TRUE(rig.pc.quiet(200).empty());
  EXPECT_TRUE(contains(rig.adapter.violations(), "initialisation record of 22 bytes"));
}

TEST(MpiAdapterConnect, ConnectJobsAndDisconnectToAddressTwo) {
  Rig rig;
  rig.bring_up();
  const uint8_t p = rig.connect(2);
  EXPECT_EQ(p, 0x14);  // the adapter's reference for its first station

  // The block-number reset job, numbered 0: acknowledged, then answered by
  // the station's Plc as a Plc would answer it directly.
  Bytes ans = rig.exchange(p, 3, 0, kResetPdu);
  ASSERT_GT(ans.size(), 6u);
  EXPECT_EQ(hex(Bytes(ans.begin(), ans.begin() + 5)), hex(B({0x00, 0x0C, 0x03, p, 0xF1})));
  EXPECT_EQ(hex(Bytes(ans.begin() + 6, ans.end())), hex(rig.ref2.handle(kResetPdu)));

  // A read of DB10 bytes 4..11 numbered 1; the data include a 0x10.
  ans = rig.exchange(p, 3, 1, read_pdu(10, 4, 8));
  ASSERT_GT(ans.size(), 6u + 8u);
  EXPECT_EQ(hex(Bytes(ans.begin() + 6, ans.end())), hex(rig.ref2.handle(read_pdu(10, 4, 8))));
  EXPECT_EQ(hex(Bytes(ans.end() - 8, ans.end())), hex(rig.db10));
  const auto jobs = rig.plc2.jobs();
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].db, 10);
  EXPECT_EQ(jobs[0].address, 32u);
  EXPECT_TRUE(rig.plc5.jobs().empty());

  // Disconnect: a 5-byte answer, nothing else.
  ASSERT_EQ(rig.pc.send(B({0x00, 0x0C, p, 0x03, 0x80})), DLE);
  auto d = rig.pc.receive();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->size(), 5u);
  EXPECT_TRUE(rig.pc.quiet(100).empty());

  // The second station gets the adapter's next reference.
  EXPECT_EQ(rig.connect(5), 0x15);
  EXPECT_TRUE(rig.adapter.violations().empty()) << joined(rig.adapter.violations());

  const auto t = rig.lines();
  EXPECT_TRUE(contains(t, "PC>AD connect to MPI address 2, reference 03")) << joined(t);
  EXPECT_TRUE(contains(t, "PC>AD job #0 dst 14 src 03: setup pdu 480")) << joined(t);
  EXPECT_TRUE(contains(t, "PC>AD job #1 dst 14 src 03: read DB10 byte 4.0 count 8 size 02"))
      << joined(t);
  EXPECT_TRUE(contains(t, "AD>PC answer #0 dst 03 src 14: setup pdu 240")) << joined(t);
  EXPECT_TRUE(contains(t, "AD>PC ack #1 dst 03 src 14")) << joined(t);
  EXPECT_TRUE(contains(t, "AD>PC answer #1 dst 03 src 14: read rc FF")) << joined(t);
  EXPECT_TRUE(contains(t, "PC>AD disconnect dst 14 src 03")) << joined(t);
}

TEST(MpiAdapterConnect, EmptyAddressIsRefusedWithAShortBlock) {
  Rig rig;
  rig.bring_up();
  ASSERT_EQ(rig.pc.send(connect_request(9)), DLE);
  auto a = rig.pc.receive();
  ASSERT_TRUE(a);
  EXPECT_LE(a->size(), 5u) << hex(*a);
  // A confirmation for the reference it never offered is a violation.
  ASSERT_EQ(rig.pc.send(B({0x00, 0x0C, 0x14, 0x0A, 0x05, 0x01})), DLE);
  EXPECT_TRUE(rig.pc.quiet(200).empty());
  EXPECT_TRUE(contains(rig.adapter.violations(), "not offered"))
      << joined(rig.adapter.violations());
  // A disconnect with references 0 (a record that never connected) is answered.
  ASSERT_EQ(rig.pc.send(B({0x00, 0x0C, 0x00, 0x00, 0x80})), DLE);
  auto d = rig.pc.receive();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->size(), 5u);
  EXPECT_EQ(rig.adapter.violations().size(), 1u) << joined(rig.adapter.violations());
}

TEST(MpiAdapterNumbering, RunsFromZeroTo255ThenOneAndChecksEverySlip) {
  Rig rig;
  rig.bring_up();
  const uint8_t p = rig.connect(2);
  rig.exchange(p, 3, 0, kResetPdu);
  for (int k = 1; k <= 255; ++k) rig.exchange(p, 3, static_cast<uint8_t>(k), read_pdu(10, 4, 2));
  rig.exchange(p, 3, 1, read_pdu(10, 4, 2));
  EXPECT_TRUE(rig.adapter.violations().empty()) << joined(rig.adapter.violations());
  // The adapter's own answers wrap the same way: 0, 1 .. 255, 1.
  const auto to = rig.adapter.blocks_to_pc();
  ASSERT_GE(to.size(), 2u);
  EXPECT_EQ(to.back()[5], 1);

  // 0 after 1 is a slip, so is a skipped number; one report each.
  rig.exchange(p, 3, 0, read_pdu(10, 4, 2));
  rig.exchange(p, 3, 1, read_pdu(10, 4, 2));
  rig.exchange(p, 3, 3, read_pdu(10, 4, 2));
  auto v = rig.adapter.violations();
  ASSERT_EQ(v.size(), 2u) << joined(v);
  EXPECT_NE(v[0].find("job block number 0, expected 2"), std::string::npos) << v[0];
  EXPECT_NE(v[1].find("job block number 3, expected 2"), std::string::npos) << v[1];

  // A fresh connection must start again with 0.
  const uint8_t p2 = rig.connect(2);
  rig.exchange(p2, 3, 1, kResetPdu);
  v = rig.adapter.violations();
  ASSERT_EQ(v.size(), 3u) << joined(v);
  EXPECT_NE(v[2].find("job block number 1, expected 0"), std::string::npos) << v[2];
}

TEST(MpiAdapterNumbering, ReferencesLengthsAndAcknowledgementsAreChecked) {
  Rig rig;
  rig.bring_up();
  const uint8_t p = rig.connect(2);
  rig.exchange(p, 3, 0, kResetPdu);

  // Our acknowledgement of the answer with another number.
  ASSERT_EQ(rig.pc.send(job(p, 3, 1, read_pdu(10, 4, 2))), DLE);
  ASSERT_TRUE(rig.pc.receive());
  auto ans = rig.pc.receive();
  ASSERT_TRUE(ans);
  Bytes wrong = ack_of(*ans);
  wrong[6] ^= 0x40;
  ASSERT_EQ(rig.pc.send(wrong), DLE);
  EXPECT_TRUE(reported(rig.adapter, "acknowledgement of answer #1"))
      << joined(rig.adapter.violations());

  // No acknowledgement at all: the next job comes instead.
  ASSERT_EQ(rig.pc.send(job(p, 3, 2, read_pdu(10, 4, 2))), DLE);
  ASSERT_TRUE(rig.pc.receive());
  ASSERT_TRUE(rig.pc.receive());
  rig.exchange(p, 3, 3, read_pdu(10, 4, 2));
  EXPECT_TRUE(contains(rig.adapter.violations(), "answer #2 was not acknowledged"))
      << joined(rig.adapter.violations());

  // Wrong own reference; a length the job header does not give.
  rig.exchange(p, 7, 4, read_pdu(10, 4, 2));
  EXPECT_TRUE(contains(rig.adapter.violations(), "job #4 carries reference 07"));
  rig.exchange(p, 3, 5, cat(read_pdu(10, 4, 2), B({0x00})));
  EXPECT_TRUE(contains(rig.adapter.violations(), "job block of 31 bytes, its header gives 30"));

  // A job for a reference the adapter never gave is not acknowledged.
  ASSERT_EQ(rig.pc.send(job(0x33, 3, 6, read_pdu(10, 4, 2))), DLE);
  EXPECT_TRUE(rig.pc.quiet(200).empty());
  EXPECT_TRUE(contains(rig.adapter.violations(), "unknown connection reference 33"));
  EXPECT_EQ(rig.adapter.violations().size(), 5u) << joined(rig.adapter.violations());
}

TEST(MpiAdapterMembers, OneStatusBytePerAddress) {
  Rig rig;
  rig.bring_up(3);
  ASSERT_EQ(rig.pc.send(B({1, 7, 2})), DLE);
  auto m = rig.pc.receive();
  ASSERT_TRUE(m);
  ASSERT_EQ(m->size(), 133u);
  for (int i = 0; i < 127; ++i) {
    const uint8_t s = (*m)[6 + static_cast<size_t>(i)];
    if (i == 2 || i == 3 || i == 5)
      EXPECT_NE(s, 0x10) << "address " << i;
    else
      EXPECT_EQ(s, 0x10) << "address " << i;
  }
  EXPECT_TRUE(rig.adapter.violations().empty()) << joined(rig.adapter.violations());
  EXPECT_TRUE(contains(rig.lines(), "AD>PC bus members: 2 3 5 [133 bytes]")) << joined(rig.lines());
}

TEST(MpiAdapterLink, FramingFromThePcIsChecked) {
  Rig rig;
  // Own address 0x10 travels doubled and is stored once.
  rig.bring_up(0x10);
  ASSERT_EQ(rig.adapter.blocks_from_pc().size(), 1u);
  EXPECT_EQ(rig.adapter.blocks_from_pc()[0][16], 0x10);
  // A lone NAK (the PC giving its block up) is allowed.
  rig.pc.put(B({NAK}));
  EXPECT_TRUE(rig.pc.quiet(100).empty());
  EXPECT_TRUE(rig.adapter.violations().empty()) << joined(rig.adapter.violations());

  // Wrong BCC: NAK.
  rig.pc.put(B({STX}));
  ASSERT_EQ(rig.pc.get(), DLE);
  Bytes f = Client::frame(B({1, 7, 2}));
  f.back() ^= 0x01;
  rig.pc.put(f);
  EXPECT_EQ(rig.pc.get(), NAK);
  EXPECT_TRUE(contains(rig.adapter.violations(), "wrong BCC"));

  // A lone DLE inside the data: NAK.
  rig.pc.put(B({STX}));
  ASSERT_EQ(rig.pc.get(), DLE);
  rig.pc.put(B({0x01, DLE, 0x07, 0x02, DLE, ETX, 0x01 ^ DLE ^ 0x07 ^ 0x02 ^ DLE ^ ETX}));
  EXPECT_EQ(rig.pc.get(), NAK);
  EXPECT_TRUE(contains(rig.adapter.violations(), "lone DLE followed by 07"));

  // Characters outside a block, then a good block right behind them.
  rig.pc.put(B({0x55, 0xAA}));
  ASSERT_EQ(rig.pc.send(B({1, 7, 2})), DLE);
  auto m = rig.pc.receive();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->size(), 133u);
  EXPECT_TRUE(contains(rig.adapter.violations(), "2 stray characters outside a block: 55 AA"));

  // A block broken off in the middle.
  rig.pc.put(B({STX}));
  ASSERT_EQ(rig.pc.get(), DLE);
  rig.pc.put(B({0x01, 0x07}));
  EXPECT_TRUE(rig.pc.quiet(1300).empty());
  EXPECT_TRUE(contains(rig.adapter.violations(), "broke off inside the data after 2 data bytes"));
  EXPECT_EQ(rig.adapter.violations().size(), 4u) << joined(rig.adapter.violations());
}

TEST(MpiAdapterFaults, LinkFaultsShowOnTheLine) {
  Rig rig;
  // Transmissions from the PC and STX characters are counted from 1, the
  // adapter's transmissions likewise (a repeated block counts again).
  rig.adapter.inject(Fault::NakBlock, 1, 2);          // the init record, twice
  rig.adapter.inject(Fault::CorruptBcc, 1);           // the first init answer
  rig.adapter.inject(Fault::DropByte, 4, 1, 0);       // the first member list
  rig.adapter.inject(Fault::GarbageBeforeStx, 6, 1);  // the second member list
  rig.adapter.inject(Fault::Collision, 6);            // the PC's sixth STX
  rig.adapter.inject(Fault::IgnoreStx, 8);            // the PC's eighth STX

  // NAK, NAK, DLE: three complete transmissions of the init record.
  EXPECT_EQ(rig.pc.send(init_record(0)), NAK);
  EXPECT_EQ(rig.pc.send(init_record(0)), NAK);
  EXPECT_EQ(rig.pc.send(init_record(0)), DLE);
  // The adapter records the block just after its DLE has gone out.
  for (int i = 0; i < 200 && rig.adapter.blocks_from_pc().empty(); ++i) usleep(1000);
  EXPECT_EQ(rig.adapter.blocks_from_pc().size(), 1u);
  // A wrong BCC: we answer NAK and the adapter repeats the block correctly.
  EXPECT_FALSE(rig.pc.receive());
  // 00 10 01 00: the doubled DLE adds nothing, DLE ETX 0x13; inverted.
  EXPECT_EQ(rig.pc.raw.back(), 0x01 ^ 0x13 ^ 0xFF);
  auto first = rig.pc.receive();
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)[0], 0x00);
  ASSERT_TRUE(rig.pc.receive());

  // The member list with its first byte left out: the BCC no longer fits.
  ASSERT_EQ(rig.pc.send(B({1, 7, 2})), DLE);
  EXPECT_FALSE(rig.pc.receive());
  auto m = rig.pc.receive();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->size(), 133u);

  // Garbage before the STX of the next member list.
  ASSERT_EQ(rig.pc.send(B({1, 7, 2})), DLE);
  EXPECT_EQ(rig.pc.get(), 0xFF);
  EXPECT_EQ(rig.pc.get(), 0x55);
  EXPECT_EQ(rig.pc.get(), 0xAA);
  m = rig.pc.receive();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->size(), 133u);

  // Collision: our STX is answered with STX; we yield, take the adapter's
  // block, then our block goes through.
  rig.pc.put(B({STX}));
  ASSERT_EQ(rig.pc.get(), STX);
  rig.pc.put(B({DLE}));
  auto own = rig.pc.body();
  ASSERT_TRUE(own);
  EXPECT_FALSE(own->empty());
  ASSERT_EQ(rig.pc.send(B({1, 7, 2})), DLE);
  m = rig.pc.receive();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->size(), 133u);

  // An STX left unanswered; the next one is answered.
  rig.pc.put(B({STX}));
  EXPECT_TRUE(rig.pc.quiet(300).empty());
  ASSERT_EQ(rig.pc.send(B({1, 7, 2})), DLE);
  m = rig.pc.receive();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->size(), 133u);

  // None of this was the PC's fault; the trace tells each fault.
  EXPECT_TRUE(rig.adapter.violations().empty()) << joined(rig.adapter.violations());
  const auto t = rig.lines();
  for (const char *what : {"answers the block with NAK (fault)", "corrupts the BCC (fault)",
                           "drops character 0", "3 garbage characters", "same moment as the PC",
                           "ignores the PC's STX", "PC answers NAK; the adapter repeats"})
    EXPECT_TRUE(contains(t, what)) << what << "\n" << joined(t);
}

TEST(MpiAdapterFaults, AdapterFaultsOnJobs) {
  Rig rig;
  // Jobs are counted from 1 (the reset job); blocks from the PC likewise,
  // acknowledgements of answers not counted: init 1, connect 2, confirm 3,
  // reset job 4, jobs #1..#5 are 5..9.
  rig.adapter.inject(Fault::WrongAckNumber, 2);
  rig.adapter.inject(Fault::AckOnly, 3);
  rig.adapter.inject(Fault::WrongAckRefs, 4);
  rig.adapter.inject(Fault::LongAnswer, 5);
  rig.adapter.inject(Fault::LongAnswer, 6, 1, 600);
  rig.adapter.inject(Fault::NoReply, 10);
  rig.bring_up();
  const uint8_t p = rig.connect(2);
  rig.exchange(p, 3, 0, kResetPdu);

  ASSERT_EQ(rig.pc.send(job(p, 3, 1, read_pdu(10, 4, 2))), DLE);
  auto a = rig.pc.receive();
  ASSERT_TRUE(a);
  EXPECT_EQ(hex(*a), hex(B({0x00, 0x0C, 0x03, p, 0xB0, 0x01, 0x02})));
  EXPECT_TRUE(rig.pc.quiet(200).empty());

  ASSERT_EQ(rig.pc.send(job(p, 3, 2, read_pdu(10, 4, 2))), DLE);
  a = rig.pc.receive();
  ASSERT_TRUE(a);
  EXPECT_EQ(hex(*a), hex(B({0x00, 0x0C, 0x03, p, 0xB0, 0x01, 0x02})));
  EXPECT_TRUE(rig.pc.quiet(200).empty());

  ASSERT_EQ(rig.pc.send(job(p, 3, 3, read_pdu(10, 4, 2))), DLE);
  a = rig.pc.receive();
  ASSERT_TRUE(a);
  EXPECT_EQ(hex(*a), hex(B({0x00, 0x0C, 0x04, p + 1, 0xB0, 0x01, 0x03})));
  EXPECT_TRUE(rig.pc.quiet(200).empty());

  for (size_t len : {317u, 600u}) {
    const uint8_t k = len == 317u ? 4 : 5;
    ASSERT_EQ(rig.pc.send(job(p, 3, k, read_pdu(10, 4, 2))), DLE);
    ASSERT_TRUE(rig.pc.receive());
    auto big = rig.pc.receive();
    ASSERT_TRUE(big);
    EXPECT_EQ(big->size(), len);
    EXPECT_EQ(hex(Bytes(big->begin(), big->begin() + 5)), hex(B({0x00, 0x0C, 0x03, p, 0xF1})));
    ASSERT_EQ(rig.pc.send(ack_of(*big)), DLE);
  }

  ASSERT_EQ(rig.pc.send(job(p, 3, 6, read_pdu(10, 4, 2))), DLE);
  EXPECT_TRUE(rig.pc.quiet(200).empty());
  EXPECT_TRUE(rig.adapter.violations().empty()) << joined(rig.adapter.violations());
}

TEST(MpiAdapterRobust, SurvivesGarbageAndStopsPromptly) {
  Rig rig;
  std::mt19937 gen(7);
  std::uniform_int_distribution<int> byte(0, 255), pick(0, 9);
  Bytes junk;
  // Plenty of control characters among the noise.
  for (int i = 0; i < 4000; ++i) {
    const int c = pick(gen);
    junk.push_back(static_cast<uint8_t>(c == 0 ? STX : c == 1 ? DLE : c == 2 ? ETX : byte(gen)));
  }
  rig.pc.put(junk);
  rig.pc.quiet(1500);
  EXPECT_FALSE(rig.adapter.violations().empty());
  EXPECT_EQ(rig.adapter.chars_from_pc(), junk.size());

  // Still at its post.
  rig.bring_up(0);
  EXPECT_EQ(rig.connect(2), 0x14);

  // Asked to stop while it waits for our DLE to its STX.
  ASSERT_EQ(rig.pc.send(B({1, 7, 2})), DLE);
  ASSERT_EQ(rig.pc.get(), STX);
  const auto t0 = std::chrono::steady_clock::now();
  rig.adapter.stop();
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(took, std::chrono::milliseconds(300));
}

TEST(MpiAdapterRobust, SurvivesWellFramedNonsense) {
  Rig rig;
  rig.bring_up(0);
  const uint8_t p = rig.connect(2);
  rig.exchange(p, 3, 0, kResetPdu);
  // Blocks with a correct BCC whose contents start like the PC's blocks and
  // go on at random; whatever the adapter answers is taken.
  std::mt19937 gen(11);
  std::uniform_int_distribution<int> byte(0, 255), len(0, 40), head(0, 5);
  const std::vector<Bytes> heads = {{},
                                    B({0x00, 0x0C, p, 0x03, 0xF1}),
                                    B({0x00, 0x0C, p, 0x03}),
                                    B({0x00, 0x0D, 0x00}),
                                    B({0x01, 0x03, 0x02}),
                                    B({0x00, 0x0C, p, 0x03, 0xF1, 0x00, 0x32, 0x01})};
  // Takes every block the adapter sends until the line is quiet for ms.
  auto serve = [&](int ms) {
    while (auto c = rig.pc.get(ms)) {
      if (*c != STX) continue;
      rig.pc.put(B({DLE}));
      rig.pc.body();
    }
  };
  int taken = 0;
  for (int n = 0; n < 100; ++n) {
    Bytes b = heads[static_cast<size_t>(head(gen))];
    for (int i = len(gen); i > 0; --i) b.push_back(static_cast<uint8_t>(byte(gen)));
    // Normally DLE; an STX when an answer of the adapter crossed ours.
    if (rig.pc.send(b) == DLE) ++taken;
    serve(15);
  }
  serve(300);
  EXPECT_GT(taken, 90);
  EXPECT_FALSE(rig.adapter.violations().empty());
  // Still serving: a fresh bring-up and connection work.
  rig.bring_up(0);
  EXPECT_EQ(rig.connect(2), 0x14);
}

// ---------------------------------------------------------------------------
// The library itself through the adapter.

struct LibraryRig {
  explicit LibraryRig(InitStyle style) : adapter(port.master()) {
    plc.add_db(10, 64);
    plc.write_bytes(s7sim::Area::DB, 10, 4, B({0x10, 0x02, 0x03, 0x15}));
    adapter.add_station(2, plc);
    adapter.set_init_style(style);
    adapter.start();
  }
  s7test::PtyPort port{0};
  Plc plc;
  MpiAdapter adapter;
};

// Blocks from the PC for one bring-up, connect to address 2 and reset job.
std::vector<Bytes> connect_blocks(InitStyle style) {
  std::vector<Bytes> want = {init_record(0)};
  if (style == InitStyle::E)
    for (const Bytes &ts : {B({1, 8, 2}), B({1, 4, 2}), B({1, 12, 2}), B({1, 8, 2})})
      want.push_back(ts);
  want.push_back(connect_request(2));
  want.push_back(B({0x00, 0x0C, 0x14, 0x03, 0x05, 0x01}));
  want.push_back(job(0x14, 0x03, 0, kResetPdu));
  want.push_back(B({0x00, 0x0C, 0x14, 0x03, 0xB0, 0x01, 0x00}));  // of answer #0
  return want;
}

void check_library_session(InitStyle style) {
  LibraryRig rig(style);
  S7 s7{};
  ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 38400));
  ASSERT_TRUE(CheckStatus(&s7));
  EXPECT_EQ(s7.Err, 0);
  EXPECT_EQ(CStat[0].Status, 1);
  EXPECT_EQ(s7.Tx.H.BlockNr, 1);
  EXPECT_TRUE(S7Exit(&s7));
  EXPECT_FALSE(ComIsInit(0));

  std::vector<Bytes> want = connect_blocks(style);
  want.push_back(B({0x00, 0x0C, 0x14, 0x03, 0x80}));  // disconnect
  want.push_back(B({0x01, 0x04, 0x02}));              // shut-down
  const auto got = rig.adapter.blocks_from_pc();
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(hex(got[i]), hex(want[i])) << "block " << i;
  EXPECT_TRUE(rig.adapter.violations().empty()) << joined(rig.adapter.violations());
}

TEST(MpiAdapterLibrary, ConnectsAndClosesWithZeroStyle) { check_library_session(InitStyle::Zero); }

TEST(MpiAdapterLibrary, ConnectsAndClosesWithEStyle) { check_library_session(InitStyle::E); }

TEST(MpiAdapterLibrary, RecoversFromAWrongAcknowledgementAndListsMembers) {
  LibraryRig rig(InitStyle::Zero);
  rig.adapter.inject(Fault::WrongAckNumber, 1);  // the first reset job
  S7 s7{};
  ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 38400));
  EXPECT_FALSE(CheckStatus(&s7));
  EXPECT_EQ(s7.Err, -1);
  EXPECT_EQ(CStat[0].Status, 0);  // the adapter has to be brought up again

  ASSERT_TRUE(CheckStatus(&s7));
  EXPECT_EQ(s7.Err, 0);
  BYTE data[4] = {};
  EXPECT_TRUE(S7RdDBB(&s7, 10, 4, 4, data));
  EXPECT_EQ(hex(Bytes(data, data + 4)), hex(B({0x10, 0x02, 0x03, 0x15})));

  WORD members[127] = {};
  EXPECT_EQ(S7GetMPIMembers(&s7, members), 1);
  for (int i = 0; i < 127; ++i) EXPECT_EQ(members[i] != 0, i == 0 || i == 2) << "address " << i;
  EXPECT_TRUE(S7Exit(&s7));

  // Up, connect, reset job (acknowledged wrongly); then all of it again.
  const auto got = rig.adapter.blocks_from_pc();
  const Bytes init = init_record(0);
  EXPECT_EQ(std::count(got.begin(), got.end(), init), 2);
  EXPECT_EQ(std::count(got.begin(), got.end(), connect_request(2)), 2);
  EXPECT_TRUE(rig.adapter.violations().empty()) << joined(rig.adapter.violations());
}

}  // namespace
