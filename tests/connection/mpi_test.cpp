// MPI connection and block exchange over a real pty against a scripted
// adapter: the connect sequence, numbered jobs and their acknowledgements,
// how answers are judged, every failure of an exchange followed by the
// recovery of the next call, the disconnect and the last close of a port.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "mpi_adapter.hpp"
#include "peer.hpp"
#include "plc.hpp"
#include "r3964.h"
#include "rs232.h"
#include "s7conn.h"
#include "testutil.hpp"

using s7test::Bytes;
using s7test::concat;
using s7test::hex;
using s7test::joined;
using s7test::kNAK;
using s7test::Peer;
using s7test::PeerThread;

namespace {

constexpr int kCom = 0;
constexpr uint8_t kR = 3;     // own reference for MPI address 2
constexpr uint8_t kP = 0x21;  // partner reference the adapter hands out

uint8_t Hi(size_t v) { return static_cast<uint8_t>(v >> 8); }
uint8_t Lo(size_t v) { return static_cast<uint8_t>(v); }

// An answer from its job header on: 0x32, Code, 4 bytes, LenBl1, LenBl2 (high
// byte first, as given or as the parts' sizes), `extra` (error-class bytes),
// parameters, data.
Bytes Answer(uint8_t code, const Bytes &extra, const Bytes &param, const Bytes &data,
             int lenbl1 = -1, int lenbl2 = -1) {
  const size_t l1 = lenbl1 < 0 ? param.size() : static_cast<size_t>(lenbl1);
  const size_t l2 = lenbl2 < 0 ? data.size() : static_cast<size_t>(lenbl2);
  return concat(
      {{0x32, code, 0x00, 0x00, 0x00, 0x00, Hi(l1), Lo(l1), Hi(l2), Lo(l2)}, extra, param, data});
}
// The answer to a job with a return code: error class 0, code 0, one data byte.
Bytes CodeAnswer(uint8_t rc) { return Answer(0x03, {0x00, 0x00}, {0x05, 0x01}, {rc}); }
// The answer to the block-number reset (contents are not judged).
const Bytes kResetAnswer = Answer(0x07, {}, {0x00, 0x01, 0x12, 0x08}, {0x0A, 0x00, 0x00, 0x00});

// The adapter's half of the exchanges, on top of the 3964R peer.
struct Adapter {
  explicit Adapter(Peer &peer) : p(peer) {}
  Peer &p;
  uint8_t R = kR;
  uint8_t P = kP;
  uint8_t AnswerNr = 0;    // number of the adapter's answer blocks
  std::vector<Bytes> got;  // every block the PC sent, in order

  Bytes Take(uint8_t answer = s7test::kDLE) {
    Bytes b = p.rx(answer).value_or(Bytes{});
    got.push_back(b);
    return b;
  }
  void Give(const Bytes &b) { p.tx_expect_ok(b); }

  void BringUp() {
    Bytes rec = Take();
    if (rec.size() != 23) p.problem("initialisation record of " + std::to_string(rec.size()));
    Give({0x00, 0x00});
    Give({0x01});
  }
  // The connect request, the confirmation and the block-number reset job.
  void Connect() {
    Bytes req = Take();
    if (req.size() != 20) p.problem("connect request " + hex(req));
    Give({0x00, 0x0C, R, P, 0x00, 0x00});
    Take();  // confirmation
    Give({0x00, 0x0C, R, P, 0xB0, 0x01});
    Job(kResetAnswer);
  }
  // One job: take it, acknowledge it with its number, answer, take the PC's
  // acknowledgement of the answer and check it.
  Bytes Job(const Bytes &answer) {
    Bytes job = Take();
    const uint8_t k = job.size() > 5 ? job[5] : 0xEE;
    Give({0x00, 0x0C, R, P, 0xB0, 0x01, k});
    const uint8_t n = AnswerNr++;
    Give(concat({{0x00, 0x0C, R, P, 0xF1, n}, answer}));
    Bytes ack = Take();
    const Bytes want = {0x00, 0x0C, P, R, 0xB0, 0x01, n};
    if (ack != want) p.problem("PC acknowledged with " + hex(ack) + ", wanted " + hex(want));
    return job;
  }
  // Expects nothing more from the PC.
  void Silence(int ms = 300) {
    Bytes rest = p.quiet(ms);
    if (!rest.empty()) p.problem("unexpected bytes " + hex(rest));
  }
};

// Runs an adapter script on its own thread.
struct AdapterThread {
  template <class F>
  AdapterThread(int fd, F script)
      : t(fd, [this, script](Peer &p) {
          a = std::make_unique<Adapter>(p);
          script(*a);
        }) {}
  Adapter &join() {
    t.join();
    return *a;
  }
  std::unique_ptr<Adapter> a;
  PeerThread t;
};

class Mpi : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(S7InitFastBaud(&s7, kCom, 2, 0, 19200)); }
  void TearDown() override { ComCloseAll(); }

  // Puts a job into the transmit block as the S7 services do; its length.
  int PutJob(uint8_t code, const Bytes &param, const Bytes &data) {
    s7.Tx.H.BlockKennung = 0xF1;
    const Bytes b1 = {0x32,
                      code,
                      0x00,
                      0x00,
                      0x05,
                      0x00,
                      Hi(param.size()),
                      Lo(param.size()),
                      Hi(data.size()),
                      Lo(data.size())};
    std::memcpy(&s7.Tx.B1, b1.data(), b1.size());
    std::copy(param.begin(), param.end(), s7.Tx.Buf);
    std::copy(data.begin(), data.end(), s7.Tx.Buf + param.size());
    return static_cast<int>(16 + param.size() + data.size());
  }
  int WriteJob() { return PutJob(0x01, {0x05, 0x01}, {0x00, 0x04, 0x00, 0x08, 0x12}); }
  int ReadJob() { return PutJob(0x01, {0x04, 0x01, 0x12, 0x0A, 0x10, 0x02}, {}); }

  // Connects the record (bring-up first) and checks the outcome.
  void Connected(bool bring_up = true) {
    AdapterThread t(port.master(), [bring_up](Adapter &a) {
      if (bring_up) a.BringUp();
      a.Connect();
    });
    EXPECT_TRUE(CheckStatus(&s7));
    Adapter &a = t.join();
    EXPECT_TRUE(a.p.problems.empty()) << joined(a.p.problems);
    EXPECT_EQ(a.got.size(), bring_up ? 5u : 4u);
    EXPECT_EQ(s7.Err, 0);
    EXPECT_TRUE(s7.Status);
    EXPECT_EQ(CStat[kCom].Status, 1);
    EXPECT_EQ(s7.Tx.H.BlockNr, 1);
  }
  void ExpectDown(bool port_down, const char *what) {
    EXPECT_EQ(s7.Err, -1) << what;
    EXPECT_FALSE(s7.Status) << what;
    EXPECT_EQ(CStat[kCom].Status, port_down ? 0 : 1) << what;
  }

  s7test::PtyPort port{kCom};
  S7 s7{};
};

// ------------------------------------------------------------ good paths

TEST_F(Mpi, ConnectSequenceAndJobOnTheLine) {
  AdapterThread t(port.master(), [](Adapter &a) {
    a.BringUp();
    a.Connect();
    a.Job(CodeAnswer(0xFF));
  });
  ASSERT_TRUE(CheckStatus(&s7));
  EXPECT_EQ(s7.Tx.H.BlockNr, 1);  // the next job goes out with 01
  const int len = WriteJob();
  EXPECT_EQ(DoWrMPIComu(&s7, len), 0);
  EXPECT_EQ(s7.Err, 0);
  Adapter &a = t.join();
  EXPECT_TRUE(a.p.problems.empty()) << joined(a.p.problems);
  ASSERT_EQ(a.got.size(), 7u);
  EXPECT_EQ(hex(a.got[0]), "01 03 02 27 00 9F 01 3C 00 90 01 14 00 00 14 02 00 7E 05 01 01 03 80");
  EXPECT_EQ(hex(a.got[1]), "00 0D 00 03 E0 04 00 80 00 02 01 06 01 00 00 01 02 02 01 00");
  EXPECT_EQ(hex(a.got[2]), "00 0C 21 03 05 01");
  EXPECT_EQ(hex(a.got[3]),
            "00 0C 21 03 F1 00 32 01 00 00 01 00 00 08 00 00 F0 00 00 01 00 02 01 E0");
  EXPECT_EQ(hex(a.got[4]), "00 0C 21 03 B0 01 00");
  EXPECT_EQ(hex(a.got[5]), "00 0C 21 03 F1 01 32 01 00 00 05 00 00 02 00 05 05 01 00 04 00 08 12");
  EXPECT_EQ(hex(a.got[6]), "00 0C 21 03 B0 01 01");  // the PC's acknowledgement of answer 1
  EXPECT_EQ(s7.Tx.H.BlockNr, 2);
  EXPECT_EQ(s7.ConToMPI.SrcTSAP, kR);
  EXPECT_EQ(std::memcmp(s7.CmdRd, _CmdRd, sizeof s7.CmdRd), 0);
  EXPECT_EQ(std::memcmp(s7.CmdWr, _CmdWr, sizeof s7.CmdWr), 0);

  // connected: the next CheckStatus sends nothing
  AdapterThread t2(port.master(), [](Adapter &a2) { a2.Silence(); });
  EXPECT_TRUE(CheckStatus(&s7));
  Adapter &a2 = t2.join();
  EXPECT_TRUE(a2.p.problems.empty()) << joined(a2.p.problems);
}

TEST_F(Mpi, HighestAddressGivesOwnReferenceZero) {
  S7 far{};
  s7test::PtyPort port1(1);
  ASSERT_TRUE(S7InitFastBaud(&far, 1, 255, 0, 19200));
  AdapterThread t(port1.master(), [](Adapter &a) {
    a.R = 0;
    a.BringUp();
    a.Connect();
  });
  EXPECT_TRUE(CheckStatus(&far));
  Adapter &a = t.join();
  EXPECT_TRUE(a.p.problems.empty()) << joined(a.p.problems);
  ASSERT_GE(a.got.size(), 3u);
  EXPECT_EQ(hex(a.got[1]), "00 0D 00 00 E0 04 00 80 00 02 01 06 01 00 00 01 02 FF 01 00");
  EXPECT_EQ(hex(a.got[2]), "00 0C 21 00 05 01");
}

TEST_F(Mpi, CodeReturningJobs) {
  Connected();
  struct Case {
    uint8_t code;  // Code of the job sent
    Bytes answer;
    int result;
    int err;
  };
  const Case cases[] = {
      {0x01, CodeAnswer(0xFF), 0, 0},
      {0x01, CodeAnswer(0x0A), 1, 2},  // refused: connection kept
      // lengths add up but the data part is empty
      {0x01, Answer(0x03, {0x00, 0x00}, {0x05, 0x01}, {}), -1, 2},
      // lengths that do not add up
      {0x01, Answer(0x03, {0x00, 0x00}, {0x05, 0x01}, {0xFF}, 2, 2), -1, 2},
      // user data: no error-class bytes, the code right after the parameters
      {0x07, Answer(0x07, {}, {0x00, 0x01, 0x12, 0x08}, {0xFF, 0x09}), 0, 0},
      {0x07, Answer(0x07, {}, {0x00, 0x01, 0x12, 0x08}, {0x0A, 0x09}), 1, 2},
      // the answer's own Code does not decide: error-class bytes in the
      // answer to user data do not add up, a code-7 answer to a job misses two
      {0x07, Answer(0x03, {0x00, 0x00}, {0x00, 0x01, 0x12, 0x08}, {0xFF, 0x09}), -1, 2},
      {0x01, Answer(0x07, {}, {0x05, 0x01}, {0xFF}), -1, 2},
      // an answer that fills Rx exactly
      {0x01, Answer(0x03, {0x00, 0x00}, {0x05, 0x01}, concat({{0xFF}, Bytes(295, 0x00)})), 0, 0},
  };
  AdapterThread t(port.master(), [&](Adapter &a) {
    for (const Case &c : cases) a.Job(c.answer);
  });
  uint8_t k = 1;
  for (const Case &c : cases) {
    const int len = PutJob(c.code, {0x05, 0x01}, {0x00, 0x04, 0x00, 0x08, 0x12});
    EXPECT_EQ(DoWrMPIComu(&s7, len), c.result) << hex(c.answer);
    EXPECT_EQ(s7.Err, c.err) << hex(c.answer);
    EXPECT_TRUE(s7.Status);
    EXPECT_EQ(CStat[kCom].Status, 1);
    EXPECT_EQ(s7.Tx.H.BlockNr, ++k);
  }
  Adapter &a = t.join();
  EXPECT_TRUE(a.p.problems.empty()) << joined(a.p.problems);
}

TEST_F(Mpi, DataReturningJobs) {
  Connected();
  const Bytes data = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
  const Bytes param = {0x04, 0x01};
  const Bytes head = {0xFF, 0x04, 0x00, 0x30};  // opens the data part
  struct Case {
    uint8_t code;
    Bytes answer;
    int anz;
    int result;
    int err;
    bool copied;
  };
  const Case cases[] = {
      {0x01, Answer(0x03, {0x00, 0x00}, param, concat({head, data})), 6, 0, 0, true},
      // a data part of another length: refused, nothing copied
      {0x01, Answer(0x03, {0x00, 0x00}, param, concat({head, data})), 5, 1, 2, false},
      // the PLC's error code
      {0x01, Answer(0x03, {0x00, 0x00}, param, concat({{0x0A, 0x04, 0x00, 0x30}, data})), 6, 1, 2,
       false},
      // the job sent decides where the data starts, not the answer's Code:
      // user data answered with Code 3 has no error-class bytes, a job
      // answered with Code 7 has them
      {0x07, Answer(0x03, {}, param, concat({head, data})), 6, 0, 0, true},
      {0x01, Answer(0x07, {0x00, 0x00}, param, concat({head, data})), 6, 0, 0, true},
  };
  AdapterThread t(port.master(), [&](Adapter &a) {
    for (const Case &c : cases) a.Job(c.answer);
  });
  for (const Case &c : cases) {
    Bytes buf(8, 0xEE);
    const int len = PutJob(c.code, {0x04, 0x01, 0x12, 0x0A, 0x10, 0x02}, {});
    EXPECT_EQ(DoRdMPIComu(&s7, len, c.anz, buf.data()), c.result) << hex(c.answer);
    EXPECT_EQ(s7.Err, c.err) << hex(c.answer);
    Bytes want = c.copied ? concat({data, {0xEE, 0xEE}}) : Bytes(8, 0xEE);
    EXPECT_EQ(hex(buf), hex(want)) << hex(c.answer);
    EXPECT_TRUE(s7.Status);
  }
  Adapter &a = t.join();
  EXPECT_TRUE(a.p.problems.empty()) << joined(a.p.problems);
}

TEST_F(Mpi, MalformedDataAnswerDropsTheConnection) {
  Connected();
  AdapterThread t(port.master(), [](Adapter &a) {
    a.Job({0x32, 0x03, 0x00});  // 9 bytes in all
    // the next call brings the adapter up again and reconnects
    a.BringUp();
    a.Connect();
    a.Job(Answer(0x03, {0x00, 0x00}, {0x04, 0x01}, {0xFF, 0x04, 0x00, 0x10, 0xAB, 0xCD}));
  });
  BYTE buf[2] = {0, 0};
  EXPECT_EQ(DoRdMPIComu(&s7, ReadJob(), 2, buf), -1);
  ExpectDown(true, "short answer to a read");
  EXPECT_EQ(s7.Tx.H.BlockNr, 2);

  ASSERT_TRUE(CheckStatus(&s7));
  EXPECT_EQ(DoRdMPIComu(&s7, ReadJob(), 2, buf), 0);
  EXPECT_EQ(buf[0], 0xAB);
  EXPECT_EQ(buf[1], 0xCD);
  Adapter &a = t.join();
  EXPECT_TRUE(a.p.problems.empty()) << joined(a.p.problems);
}

TEST_F(Mpi, BlockNumbersRunFrom1To255ThenAgainFrom1) {
  Connected();
  std::vector<uint8_t> numbers;
  AdapterThread t(port.master(), [&](Adapter &a) {
    for (int i = 0; i < 257; ++i) numbers.push_back(a.Job(CodeAnswer(0xFF)).at(5));
  });
  for (int i = 0; i < 257; ++i) ASSERT_EQ(DoWrMPIComu(&s7, WriteJob()), 0) << i;
  Adapter &a = t.join();
  EXPECT_TRUE(a.p.problems.empty()) << joined(a.p.problems);
  ASSERT_EQ(numbers.size(), 257u);
  for (int i = 0; i < 255; ++i) EXPECT_EQ(numbers[i], i + 1);
  EXPECT_EQ(numbers[255], 1);
  EXPECT_EQ(numbers[256], 2);
  EXPECT_EQ(s7.Tx.H.BlockNr, 3);
}

// ------------------------------------------------------------ failures

TEST_F(Mpi, BringUpFailsThenSucceeds) {
  AdapterThread t(port.master(), [](Adapter &a) {
    a.Take();
    a.p.put({0x55});  // no answer block
    a.Silence();      // no connect request
  });
  EXPECT_FALSE(CheckStatus(&s7));
  ExpectDown(true, "bring-up");
  Adapter &a = t.join();
  EXPECT_TRUE(a.p.problems.empty()) << joined(a.p.problems);

  Connected(true);
}

TEST_F(Mpi, ConnectRequestNotTakenMarksThePort) {
  AdapterThread t(port.master(), [](Adapter &a) {
    a.BringUp();
    for (int i = 0; i < 3; ++i) a.Take(kNAK);
    a.p.expect(kNAK);
  });
  EXPECT_FALSE(CheckStatus(&s7));
  ExpectDown(true, "connect request refused");
  Adapter &a = t.join();
  EXPECT_TRUE(a.p.problems.empty()) << joined(a.p.problems);

  Connected(true);  // bring-up again, then connect
}

TEST_F(Mpi, WrongConnectAnswersKeepTheAdapterUp) {
  using Script = std::function<void(Adapter &)>;
  const std::vector<std::pair<const char *, Script>> cases = {
      {"reference",
       [](Adapter &a) {
         a.Give({0x00, 0x0C, kR + 1, kP, 0x00, 0x00});
       }},
      {"Kennung",
       [](Adapter &a) {
         a.Give({0x00, 0x0D, kR, kP, 0x00, 0x00});
       }},
      {"5 bytes",
       [](Adapter &a) {
         a.Give({0x00, 0x0C, kR, kP, 0x00});
       }},
      {"no answer", [](Adapter &a) { a.p.put({0x55}); }},
      {"confirmation refused",
       [](Adapter &a) {
         a.Give({0x00, 0x0C, kR, kP, 0x00, 0x00});
         for (int i = 0; i < 3; ++i) a.Take(kNAK);
         a.p.expect(kNAK);
       }},
      {"confirmation answered with 7 bytes",
       [](Adapter &a) {
         a.Give({0x00, 0x0C, kR, kP, 0x00, 0x00});
         a.Take();
         a.Give({0x00, 0x0C, kR, kP, 0xB0, 0x01, 0x00});
       }},
      {"confirmation answered with 5 bytes",
       [](Adapter &a) {
         a.Give({0x00, 0x0C, kR, kP, 0x00, 0x00});
         a.Take();
         a.Give({0x00, 0x0C, kR, kP, 0xB0});
       }},
  };
  bool first = true;
  for (const auto &c : cases) {
    const char *what = c.first;
    const Script &script = c.second;
    AdapterThread t(port.master(), [&, first](Adapter &a) {
      if (first) a.BringUp();
      Bytes req = a.Take();  // no bring-up after the first: straight to the request
      if (req.size() != 20) a.p.problem(std::string("not a connect request: ") + hex(req));
      script(a);
      a.Silence();
    });
    EXPECT_FALSE(CheckStatus(&s7)) << what;
    ExpectDown(false, what);
    Adapter &a = t.join();
    EXPECT_TRUE(a.p.problems.empty()) << what << ": " << joined(a.p.problems);
    first = false;
  }
  Connected(false);  // only the connect is repeated
}

TEST_F(Mpi, ResetJobWithWrongAcknowledgement) {
  AdapterThread t(port.master(), [](Adapter &a) {
    a.BringUp();
    a.Take();
    a.Give({0x00, 0x0C, kR, kP, 0x00, 0x00});
    a.Take();
    a.Give({0x00, 0x0C, kR, kP, 0xB0, 0x01});
    a.Take();                                        // the reset job, number 0
    a.Give({0x00, 0x0C, kR, kP, 0xB0, 0x01, 0x01});  // acknowledges number 1
    a.Silence();
  });
  EXPECT_FALSE(CheckStatus(&s7));
  ExpectDown(true, "reset job");
  EXPECT_EQ(s7.Tx.H.BlockNr, 0);  // not advanced
  Adapter &a = t.join();
  EXPECT_TRUE(a.p.problems.empty()) << joined(a.p.problems);

  Connected(true);
}

TEST_F(Mpi, WrongAcknowledgementsOfAJob) {
  const std::vector<std::pair<const char *, Bytes>> acks = {
      {"Kennung", {0x00, 0x0D, kR, kP, 0xB0, 0x01, 0x01}},
      {"references swapped", {0x00, 0x0C, kP, kR, 0xB0, 0x01, 0x01}},
      {"block kind", {0x00, 0x0C, kR, kP, 0xB1, 0x01, 0x01}},
      {"byte 5", {0x00, 0x0C, kR, kP, 0xB0, 0x02, 0x01}},
      {"block number", {0x00, 0x0C, kR, kP, 0xB0, 0x01, 0x02}},
      {"6 bytes", {0x00, 0x0C, kR, kP, 0xB0, 0x01}},
      {"5 bytes", {0x00, 0x0C, kR, kP, 0x80}},
  };
  Connected(true);
  for (size_t i = 0; i < acks.size(); ++i) {
    const char *what = acks[i].first;
    const Bytes &ack = acks[i].second;
    const bool last = i + 1 == acks.size();
    AdapterThread t(port.master(), [&, last](Adapter &a) {
      a.Take();
      a.Give(ack);
      if (last) {
        a.Silence();
      } else {
        a.BringUp();  // fails unless the PC's next block is the record
        a.Connect();
      }
    });
    EXPECT_EQ(DoWrMPIComu(&s7, WriteJob()), -1) << what;
    ExpectDown(true, what);
    EXPECT_EQ(s7.Tx.H.BlockNr, 1) << what;
    if (!last) {
      EXPECT_TRUE(CheckStatus(&s7)) << what;
    }
    Adapter &a = t.join();
    EXPECT_TRUE(a.p.problems.empty()) << what << ": " << joined(a.p.problems);
  }
}

TEST_F(Mpi, AnswerMissingOrUnusable) {
  Connected(true);
  const S7 before = s7;
  // acknowledged, then: a byte that is not STX, a 6-byte block, a block
  // longer than Rx (taken by the 3964R layer, refused by the exchange), the
  // PC's acknowledgement of the answer refused
  using Script = std::function<void(Adapter &)>;
  const std::vector<std::pair<const char *, Script>> cases = {
      {"no answer", [](Adapter &a) { a.p.put({0x55}); }},
      {"6 bytes",
       [](Adapter &a) {
         a.Give({0x00, 0x0C, kR, kP, 0xF1, 0x00});
       }},
      {"400 bytes",
       [](Adapter &a) {
         a.Give(concat({{0x00, 0x0C, kR, kP, 0xF1, 0x00}, Bytes(394, 0x77)}));
       }},
      {"317 bytes",
       [](Adapter &a) {
         a.Give(concat({{0x00, 0x0C, kR, kP, 0xF1, 0x00}, Bytes(311, 0x77)}));
       }},
      {"acknowledgement refused",
       [](Adapter &a) {
         a.Give(concat({{0x00, 0x0C, kR, kP, 0xF1, 0x00}, CodeAnswer(0xFF)}));
         for (int i = 0; i < 3; ++i) a.Take(kNAK);
         a.p.expect(kNAK);
       }},
  };
  const uint8_t k = 1;
  for (const auto &c : cases) {
    const char *what = c.first;
    const Script &script = c.second;
    AdapterThread t(port.master(), [&](Adapter &a) {
      a.Take();
      a.Give({0x00, 0x0C, kR, kP, 0xB0, 0x01, k});
      script(a);
      a.BringUp();  // fails unless the PC's next block is the record
      a.Connect();
    });
    EXPECT_EQ(DoWrMPIComu(&s7, WriteJob()), -1) << what;
    ExpectDown(true, what);
    EXPECT_EQ(s7.Tx.H.BlockNr, static_cast<uint8_t>(k + 1)) << what;  // stays advanced
    // nothing past Rx was touched
    EXPECT_EQ(std::memcmp(&s7.ConToMPI, &before.ConToMPI, sizeof before.ConToMPI), 0) << what;
    EXPECT_EQ(std::memcmp(s7.CmdRd, before.CmdRd, sizeof before.CmdRd), 0) << what;
    EXPECT_EQ(std::memcmp(s7.CmdWr, before.CmdWr, sizeof before.CmdWr), 0) << what;
    EXPECT_TRUE(CheckStatus(&s7)) << what;
    EXPECT_EQ(s7.Tx.H.BlockNr, 1);
    Adapter &a = t.join();
    EXPECT_TRUE(a.p.problems.empty()) << what << ": " << joined(a.p.problems);
  }
}

TEST_F(Mpi, SilentAdapterAfterAcknowledgement) {
  // the one case that waits out the whole answer time: 140 ticks, 7.5 s
  Connected(true);
  AdapterThread t(port.master(), [](Adapter &a) {
    a.Take();
    a.Give({0x00, 0x0C, kR, kP, 0xB0, 0x01, 0x01});
    a.Silence(8000);
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(DoWrMPIComu(&s7, WriteJob()), -1);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GT(s, 7.0);
  EXPECT_LT(s, 8.5);
  ExpectDown(true, "silence");
  EXPECT_EQ(s7.Tx.H.BlockNr, 2);
  Adapter &a = t.join();
  EXPECT_TRUE(a.p.problems.empty()) << joined(a.p.problems);
}

// ------------------------------------------------------------ disconnect, close

TEST_F(Mpi, Disconnect) {
  // the adapter down: nothing sent
  AdapterThread t0(port.master(), [](Adapter &a) { a.Silence(); });
  EXPECT_TRUE(DisconnectMPIAdr(&s7));
  EXPECT_TRUE(t0.join().p.problems.empty());

  Connected(true);
  // answered with a 5-byte block: done, nothing acknowledged
  AdapterThread t(port.master(), [](Adapter &a) {
    a.Take();
    a.Give({0x00, 0x0C, kR, kP, 0x80});
    a.Silence();
  });
  EXPECT_TRUE(DisconnectMPIAdr(&s7));
  EXPECT_EQ(s7.Err, 0);
  EXPECT_TRUE(s7.Status);  // a disconnect changes no status
  Adapter &a = t.join();
  EXPECT_TRUE(a.p.problems.empty()) << joined(a.p.problems);
  EXPECT_EQ(hex(a.got.at(0)), "00 0C 21 03 80");

  // answered with an acknowledgement and an answer block: handled as any
  AdapterThread t2(port.master(), [](Adapter &a2) {
    a2.Take();
    a2.Give({0x00, 0x0C, kR, kP, 0xB0, 0x01, 0x01});  // the record's number
    a2.Give({0x00, 0x0C, kR, kP, 0xF1, 0x09, 0x32, 0x03, 0x00});
    Bytes ack = a2.Take();
    if (ack != Bytes{0x00, 0x0C, kP, kR, 0xB0, 0x01, 0x09}) a2.p.problem("ack " + hex(ack));
  });
  EXPECT_TRUE(DisconnectMPIAdr(&s7));
  Adapter &a2 = t2.join();
  EXPECT_TRUE(a2.p.problems.empty()) << joined(a2.p.problems);
  EXPECT_EQ(hex(a2.got.at(0)), "00 0C 21 03 80");
  EXPECT_EQ(s7.Tx.H.BlockNr, 2);

  // not answered: FALSE, the port marked
  AdapterThread t3(port.master(), [](Adapter &a3) {
    a3.Take();
    a3.p.put({0x55});
  });
  EXPECT_FALSE(DisconnectMPIAdr(&s7));
  ExpectDown(true, "disconnect");
  EXPECT_TRUE(t3.join().p.problems.empty());
}

TEST_F(Mpi, ClosingThePort) {
  // a second record on the port: connects without a new bring-up
  S7 second{};
  ASSERT_TRUE(S7InitFastBaud(&second, kCom, 4, 0, 19200));
  Connected(true);
  AdapterThread t(port.master(), [](Adapter &a) {
    a.R = 5;
    a.P = 0x22;
    a.Connect();
  });
  EXPECT_TRUE(CheckStatus(&second));
  Adapter &a = t.join();
  EXPECT_TRUE(a.p.problems.empty()) << joined(a.p.problems);
  EXPECT_EQ(a.got.size(), 4u);

  // first close: the disconnect only
  AdapterThread t2(port.master(), [](Adapter &a2) {
    Bytes d = a2.Take();
    if (d != Bytes{0x00, 0x0C, kP, kR, 0x80}) a2.p.problem("disconnect " + hex(d));
    a2.Give({0x00, 0x0C, kR, kP, 0x80});
    a2.Silence();
  });
  EXPECT_TRUE(S7Exit(&s7));
  EXPECT_TRUE(t2.join().p.problems.empty());
  EXPECT_TRUE(ComIsInit(kCom));

  // last close: disconnect, then the shut-down block
  AdapterThread t3(port.master(), [](Adapter &a3) {
    Bytes d = a3.Take();
    if (d != Bytes{0x00, 0x0C, 0x22, 0x05, 0x80}) a3.p.problem("disconnect " + hex(d));
    a3.Give({0x00, 0x0C, 0x05, 0x22, 0x80});
    Bytes ts = a3.Take();
    if (ts != Bytes{0x01, 0x04, 0x02}) a3.p.problem("shut-down " + hex(ts));
    a3.Give({0x00});
    a3.Silence();
  });
  EXPECT_TRUE(S7Exit(&second));
  EXPECT_TRUE(t3.join().p.problems.empty());
  EXPECT_EQ(CStat[kCom].Status, 0);
  EXPECT_EQ(CStat[kCom].Baud, 0u);
  EXPECT_FALSE(ComIsInit(kCom));
}

TEST_F(Mpi, LastCloseWithFailedDisconnectSendsNoShutDown) {
  Connected(true);
  AdapterThread t(port.master(), [](Adapter &a) {
    a.Take();
    a.p.put({0x55});  // the disconnect goes unanswered
    a.Silence(500);   // and no shut-down block follows
  });
  EXPECT_TRUE(S7Exit(&s7));
  Adapter &a = t.join();
  EXPECT_TRUE(a.p.problems.empty()) << joined(a.p.problems);
  EXPECT_EQ(a.got.size(), 1u);
  EXPECT_EQ(CStat[kCom].Status, 0);
  EXPECT_FALSE(ComIsInit(kCom));
}

// ------------------------------------------------------------ simulated adapter

TEST(MpiSim, EndToEndAgainstTheSimulatedAdapter) {
  s7test::PtyPort port(2);
  s7sim::Plc plc;
  plc.add_db(10, 64);
  const Bytes words = {0x12, 0x34, 0x10, 0x03, 0xAB, 0xCD};  // DB10 from byte 10
  plc.write_bytes(s7sim::Area::DB, 10, 10, words);
  s7sim::MpiAdapter sim(port.master());
  sim.add_station(2, plc);
  sim.set_init_style(s7sim::InitStyle::E);
  sim.inject(s7sim::Fault::NakBlock, 3);  // taken again on the retry
  sim.start();

  S7 s7{};
  ASSERT_TRUE(S7InitFastBaud(&s7, 2, 2, 0, 19200));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(CheckStatus(&s7)) << i;
    // read DB10, 6 bytes from byte 10
    s7.Tx.H.BlockKennung = 0xF1;
    const Bytes b1 = {0x32, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x0E, 0x00, 0x00};
    const Bytes item = {0x04, 0x01, 0x12, 0x0A, 0x10, 0x02, 0x00,
                        0x06, 0x00, 0x0A, 0x84, 0x00, 0x00, 0x50};
    std::copy(b1.begin(), b1.end(), reinterpret_cast<BYTE *>(&s7.Tx.B1));
    std::copy(item.begin(), item.end(), s7.Tx.Buf);
    Bytes buf(6, 0);
    EXPECT_EQ(DoRdMPIComu(&s7, 30, 6, buf.data()), 0) << i;
    EXPECT_EQ(s7.Err, 0);
    EXPECT_EQ(hex(buf), hex(words)) << i;
  }
  EXPECT_EQ(s7.Tx.H.BlockNr, 4);
  EXPECT_TRUE(S7Exit(&s7));
  sim.stop();
  const auto violations = sim.violations();
  EXPECT_TRUE(violations.empty()) << joined(violations);
  const auto blocks = sim.blocks_from_pc();
  ASSERT_FALSE(blocks.empty());
  EXPECT_EQ(blocks.back(), (Bytes{0x01, 0x04, 0x02}));  // the shut-down block last
}

}  // namespace
