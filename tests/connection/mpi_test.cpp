// MPI connection and block exchange over a real pty against a scripted
// adapter: the connect sequence, numbered jobs and their acknowledgements,
// how answers are judged, every failure of an exchange followed by the
// recovery of the next call, the disconnect and the last close of a port.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "peer.hpp"
#include "r3964.h"
#include "rs232.h"
#include "s7conn.h"
#include "testutil.hpp"

using namespace s7test;

namespace {

constexpr int kCom = 0;
constexpr uint8_t kR = 3;     // own reference for MPI address 2
constexpr uint8_t kP = 0x21;  // partner reference the adapter hands out

uint8_t Hi(size_t v) { return static_cast<uint8_t>(v >> 8); }
uint8_t Lo(size_t v) { return static_cast<uint8_t>(v); }

// A job header from 0x32 on: Code, 4 bytes, LenBl1 and LenBl2 (the parts'
// sizes unless given), `extra` (error-class bytes), parameters, data.
Bytes Pdu(uint8_t code, const Bytes &extra, const Bytes &param, const Bytes &data, int l1 = -1,
          int l2 = -1) {
  const size_t n1 = l1 < 0 ? param.size() : size_t(l1), n2 = l2 < 0 ? data.size() : size_t(l2);
  return concat({{0x32, code, 0, 0, 0, 0, Hi(n1), Lo(n1), Hi(n2), Lo(n2)}, extra, param, data});
}
// The answer to a job with a return code: error class 0, code 0, one data byte.
Bytes CodeAnswer(uint8_t rc) { return Pdu(0x03, {0, 0}, {0x05, 0x01}, {rc}); }

// The adapter's half of the exchanges, on top of the 3964R peer.
struct Adapter {
  explicit Adapter(Peer &peer) : p(peer) {}
  Peer &p;
  uint8_t R = kR, P = kP;
  uint8_t AnswerNr = 0;    // number of the adapter's answer blocks
  std::vector<Bytes> got;  // every block the PC sent, in order

  Bytes Take(uint8_t answer = kDLE) {
    got.push_back(p.rx(answer).value_or(Bytes{}));
    return got.back();
  }
  void Give(const Bytes &b) { p.tx(b); }
  // A block, or a single byte that is no block (the PC waits for STX in vain).
  void Answer(const Bytes &b) { b.size() == 1 ? p.put(b) : Give(b); }
  void Refuse() {  // three NAKs, then the PC gives the block up with NAK
    for (int i = 0; i < 3; ++i) Take(kNAK);
    p.expect(kNAK);
  }
  void BringUp() {
    if (Take().size() != 23) p.problem("not the initialisation record");
    Give({0x00, 0x00});
    Give({0x01});
  }
  void Request() {
    if (Take().size() != 20) p.problem("not a connect request");
  }
  // The connect request, the confirmation and the block-number reset job.
  void Connect() {
    Request();
    Give({0x00, 0x0C, R, P, 0x00, 0x00});
    Take();  // confirmation
    Give({0x00, 0x0C, R, P, 0xB0, 0x01});
    Job(Pdu(0x07, {}, {0x00, 0x01, 0x12, 0x08}, {0x0A, 0x00, 0x00, 0x00}));
  }
  // One job: take it, acknowledge it with its number, answer, take the PC's
  // acknowledgement of the answer and check it.
  Bytes Job(const Bytes &answer) {
    Bytes job = Take();
    Give({0x00, 0x0C, R, P, 0xB0, 0x01, job.size() > 5 ? job[5] : uint8_t{0xEE}});
    const uint8_t n = AnswerNr++;
    Give(concat({{0x00, 0x0C, R, P, 0xF1, n}, answer}));
    if (Take() != Bytes{0x00, 0x0C, P, R, 0xB0, 0x01, n}) p.problem("PC acknowledged wrongly");
    return job;
  }
};

// An adapter script on its own thread; done() waits for it, fails the test
// if it met anything unexpected and returns the blocks the PC sent.
class Scripted {
 public:
  Scripted(int fd, std::function<void(Adapter &)> script)
      : t_(fd, [this, script](Peer &p) {
          Adapter a(p);
          script(a);
          got_ = a.got;
        }) {}
  std::vector<Bytes> done() {
    Peer &p = t_.join();
    EXPECT_TRUE(p.problems.empty()) << joined(p.problems);
    return got_;
  }

 private:
  std::vector<Bytes> got_;
  PeerThread t_;
};

class Mpi : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(S7InitFastBaud(&s7, kCom, 2, 0, 19200)); }
  void TearDown() override { ComCloseAll(); }

  // Puts a job into the transmit block as the S7 services do; its length.
  int PutJob(uint8_t code, const Bytes &param, const Bytes &data) {
    s7.Tx.H.BlockKennung = 0xF1;
    const Bytes b1 = Pdu(code, {}, {}, {}, int(param.size()), int(data.size()));
    std::memcpy(&s7.Tx.B1, b1.data(), b1.size());
    reinterpret_cast<BYTE *>(&s7.Tx.B1)[4] = 0x05;  // the job's reference
    std::copy(param.begin(), param.end(), s7.Tx.Buf);
    std::copy(data.begin(), data.end(), s7.Tx.Buf + param.size());
    return static_cast<int>(16 + param.size() + data.size());
  }
  int WriteJob() { return PutJob(0x01, {0x05, 0x01}, {0x00, 0x04, 0x00, 0x08, 0x12}); }
  int ReadJob() { return PutJob(0x01, {0x04, 0x01, 0x12, 0x0A, 0x10, 0x02}, {}); }

  // Connects the record (bring-up first) and checks the outcome.
  void Connected(bool bring_up = true) {
    Scripted t(port.master(), [bring_up](Adapter &a) {
      if (bring_up) a.BringUp();
      a.Connect();
    });
    EXPECT_TRUE(CheckStatus(&s7));
    EXPECT_EQ(t.done().size(), bring_up ? 5u : 4u);
    EXPECT_EQ(s7.Err, 0);
    EXPECT_TRUE(s7.Status);
    EXPECT_EQ(CStat[kCom].Status, 1);
    EXPECT_EQ(s7.Tx.H.BlockNr, 1);
  }
  void ExpectDown(bool port_down) {
    EXPECT_EQ(s7.Err, -1);
    EXPECT_FALSE(s7.Status);
    EXPECT_EQ(CStat[kCom].Status, port_down ? 0 : 1);
  }

  PtyPort port{kCom};
  S7 s7{};
};

// ------------------------------------------------------------ good paths

TEST_F(Mpi, ConnectSequenceAndJobOnTheLine) {
  Scripted t(port.master(), [](Adapter &a) {
    a.BringUp();
    a.Connect();
    a.Job(CodeAnswer(0xFF));
  });
  ASSERT_TRUE(CheckStatus(&s7));
  EXPECT_EQ(s7.Tx.H.BlockNr, 1);  // the next job goes out with 01
  EXPECT_EQ(DoWrMPIComu(&s7, WriteJob()), 0);
  EXPECT_EQ(s7.Err, 0);
  auto got = t.done();
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(hex(got[0]), "01 03 02 27 00 9F 01 3C 00 90 01 14 00 00 14 02 00 7E 05 01 01 03 80");
  EXPECT_EQ(hex(got[1]), "00 0D 00 03 E0 04 00 80 00 02 01 06 01 00 00 01 02 02 01 00");
  EXPECT_EQ(hex(got[2]), "00 0C 21 03 05 01");
  EXPECT_EQ(hex(got[3]), "00 0C 21 03 F1 00 32 01 00 00 01 00 00 08 00 00 F0 00 00 01 00 02 01 E0");
  EXPECT_EQ(hex(got[4]), "00 0C 21 03 B0 01 00");
  EXPECT_EQ(hex(got[5]), "00 0C 21 03 F1 01 32 01 00 00 05 00 00 02 00 05 05 01 00 04 00 08 12");
  EXPECT_EQ(hex(got[6]), "00 0C 21 03 B0 01 01");  // the PC's acknowledgement of answer 1
  EXPECT_EQ(s7.Tx.H.BlockNr, 2);
  EXPECT_EQ(s7.ConToMPI.SrcTSAP, kR);
  EXPECT_EQ(std::memcmp(s7.CmdRd, _CmdRd, sizeof s7.CmdRd), 0);
  EXPECT_EQ(std::memcmp(s7.CmdWr, _CmdWr, sizeof s7.CmdWr), 0);
  // connected: the next CheckStatus sends nothing
  Scripted quiet(port.master(), [](Adapter &a) { a.p.silence(300); });
  EXPECT_TRUE(CheckStatus(&s7));
  quiet.done();

  // the highest address gives own reference 0
  S7 far{};
  PtyPort port1(1);
  ASSERT_TRUE(S7InitFastBaud(&far, 1, 255, 0, 19200));
  Scripted t1(port1.master(), [](Adapter &a) {
    a.R = 0;
    a.BringUp();
    a.Connect();
  });
  EXPECT_TRUE(CheckStatus(&far));
  got = t1.done();
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(hex(got[1]), "00 0D 00 00 E0 04 00 80 00 02 01 06 01 00 00 01 02 FF 01 00");
  EXPECT_EQ(hex(got[2]), "00 0C 21 00 05 01");
}

TEST_F(Mpi, AnswersAreJudgedByTheJobSent) {
  Connected();
  const Bytes rd = {0x04, 0x01}, wr = {0x05, 0x01}, ud = {0x00, 0x01, 0x12, 0x08};
  const Bytes data = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, head = {0xFF, 0x04, 0x00, 0x30};
  const struct {
    uint8_t code;  // Code of the job sent
    Bytes answer;
    int anz;  // data expected by a read; -1: a job with a return code
    int result, err;
  } cases[] = {
      {0x01, CodeAnswer(0xFF), -1, 0, 0},
      {0x01, CodeAnswer(0x0A), -1, 1, 2},                      // refused: connection kept
      {0x01, Pdu(0x03, {0, 0}, wr, {}), -1, -1, 2},            // no data part
      {0x01, Pdu(0x03, {0, 0}, wr, {0xFF}, 2, 2), -1, -1, 2},  // lengths do not add up
      // user data: no error-class bytes, the code right after the parameters
      {0x07, Pdu(0x07, {}, ud, {0xFF, 0x09}), -1, 0, 0},
      {0x07, Pdu(0x07, {}, ud, {0x0A, 0x09}), -1, 1, 2},
      // the answer's own Code does not decide: error-class bytes in the answer
      // to user data do not add up, a code-7 answer to a job misses two
      {0x07, Pdu(0x03, {0, 0}, ud, {0xFF, 0x09}), -1, -1, 2},
      {0x01, Pdu(0x07, {}, wr, {0xFF}), -1, -1, 2},
      // an answer that fills Rx exactly
      {0x01, Pdu(0x03, {0, 0}, wr, concat({{0xFF}, Bytes(295, 0x00)})), -1, 0, 0},
      // reads: the data copied only when all is well
      {0x01, Pdu(0x03, {0, 0}, rd, concat({head, data})), 6, 0, 0},
      {0x01, Pdu(0x03, {0, 0}, rd, concat({head, data})), 5, 1, 2},  // another length
      {0x01, Pdu(0x03, {0, 0}, rd, concat({{0x0A, 0x04, 0x00, 0x30}, data})), 6, 1, 2},
      // where the data start follows the job sent: user data answered with
      // Code 3 has no error-class bytes, a job answered with Code 7 has them
      {0x07, Pdu(0x03, {}, rd, concat({head, data})), 6, 0, 0},
      {0x01, Pdu(0x07, {0, 0}, rd, concat({head, data})), 6, 0, 0},
  };
  Scripted t(port.master(), [&](Adapter &a) {
    for (const auto &c : cases) a.Job(c.answer);
  });
  uint8_t k = 1;
  for (const auto &c : cases) {
    SCOPED_TRACE(hex(c.answer));
    Bytes buf(8, 0xEE);
    if (c.anz < 0) {
      EXPECT_EQ(DoWrMPIComu(&s7, PutJob(c.code, wr, {0x00, 0x04, 0x00, 0x08, 0x12})), c.result);
    } else {
      const int len = PutJob(c.code, {0x04, 0x01, 0x12, 0x0A, 0x10, 0x02}, {});
      EXPECT_EQ(DoRdMPIComu(&s7, len, c.anz, buf.data()), c.result);
      EXPECT_EQ(hex(buf), hex(c.result ? Bytes(8, 0xEE) : concat({data, {0xEE, 0xEE}})));
    }
    EXPECT_EQ(s7.Err, c.err);
    EXPECT_TRUE(s7.Status);
    EXPECT_EQ(CStat[kCom].Status, 1);
    EXPECT_EQ(s7.Tx.H.BlockNr, ++k);
  }
  t.done();
}

TEST_F(Mpi, BlockNumbersRunFrom1To255ThenAgainFrom1) {
  Connected();
  std::vector<uint8_t> numbers;
  Scripted t(port.master(), [&](Adapter &a) {
    for (int i = 0; i < 257; ++i) numbers.push_back(a.Job(CodeAnswer(0xFF)).at(5));
  });
  for (int i = 0; i < 257; ++i) ASSERT_EQ(DoWrMPIComu(&s7, WriteJob()), 0) << i;
  t.done();
  ASSERT_EQ(numbers.size(), 257u);
  for (int i = 0; i < 255; ++i) EXPECT_EQ(numbers[i], i + 1);
  EXPECT_EQ(numbers[255], 1);
  EXPECT_EQ(numbers[256], 2);
  EXPECT_EQ(s7.Tx.H.BlockNr, 3);
}

// ------------------------------------------------------------ failures

TEST_F(Mpi, ConnectFailuresAndRecovery) {
  // the bring-up unanswered: the port marked
  Scripted t(port.master(), [](Adapter &a) {
    a.Take();
    a.p.put({0x55});
    a.p.silence(200);  // no connect request
  });
  EXPECT_FALSE(CheckStatus(&s7));
  t.done();
  ExpectDown(true);

  // the adapter's answers to the PC's request, confirmation and reset job;
  // an empty one refuses the PC's block three times, a single byte is no block
  const Bytes ok = {0x00, 0x0C, kR, kP, 0x00, 0x00};
  const struct {
    const char *what;
    std::vector<Bytes> answers;
    bool port_down;
  } cases[] = {
      {"request refused", {{}}, true},
      {"reference", {{0x00, 0x0C, kR + 1, kP, 0x00, 0x00}}, false},
      {"Kennung", {{0x00, 0x0D, kR, kP, 0x00, 0x00}}, false},
      {"5 bytes", {{0x00, 0x0C, kR, kP, 0x00}}, false},
      {"no answer", {{0x55}}, false},
      {"confirmation refused", {ok, {}}, false},
      {"confirmation answered with 7 bytes", {ok, {0x00, 0x0C, kR, kP, 0xB0, 0x01, 0x00}}, false},
      {"confirmation answered with 5 bytes", {ok, {0x00, 0x0C, kR, kP, 0xB0}}, false},
      // the reset job goes out with number 0 and is acknowledged as number 1
      {"reset job",
       {ok, {0x00, 0x0C, kR, kP, 0xB0, 0x01}, {0x00, 0x0C, kR, kP, 0xB0, 0x01, 0x01}},
       true},
  };
  bool bring_up = true;  // the next call brings the adapter up only where the port was marked
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Scripted t(port.master(), [&](Adapter &a) {
      if (bring_up) a.BringUp();
      for (const Bytes &answer : c.answers) {
        if (answer.empty()) {
          a.Refuse();
          break;
        }
        a.Take();
        a.Answer(answer);
      }
      a.p.silence(200);
    });
    EXPECT_FALSE(CheckStatus(&s7));
    t.done();
    ExpectDown(c.port_down);
    bring_up = c.port_down;
  }
  EXPECT_EQ(s7.Tx.H.BlockNr, 0);  // not advanced by the failed reset job
  Connected(bring_up);
}

TEST_F(Mpi, JobFailuresDropTheConnection) {
  Connected();
  const S7 before = s7;
  const Bytes good = {0x00, 0x0C, kR, kP, 0xB0, 0x01, 0x01},
              head = {0x00, 0x0C, kR, kP, 0xF1, 0x00};
  const struct {
    const char *what;
    Bytes ack;
    Bytes answer;         // after a good acknowledgement; a single byte is no block
    bool refuse = false;  // the PC's acknowledgement of the answer refused
  } cases[] = {
      // the acknowledgement wrong in each field and length: the number not advanced
      {"Kennung", {0x00, 0x0D, kR, kP, 0xB0, 0x01, 0x01}, {}},
      {"references swapped", {0x00, 0x0C, kP, kR, 0xB0, 0x01, 0x01}, {}},
      {"block kind", {0x00, 0x0C, kR, kP, 0xB1, 0x01, 0x01}, {}},
      {"byte 5", {0x00, 0x0C, kR, kP, 0xB0, 0x02, 0x01}, {}},
      {"block number", {0x00, 0x0C, kR, kP, 0xB0, 0x01, 0x02}, {}},
      {"6 bytes", {0x00, 0x0C, kR, kP, 0xB0, 0x01}, {}},
      {"5 bytes", {0x00, 0x0C, kR, kP, 0x80}, {}},
      // acknowledged, then the answer unusable: the number stays advanced;
      // blocks longer than Rx are taken by the 3964R layer, refused here
      {"no answer", good, {0x55}},
      {"6-byte answer", good, head},
      {"400-byte answer", good, concat({head, Bytes(394, 0x77)})},
      {"317-byte answer", good, concat({head, Bytes(311, 0x77)})},
      {"acknowledgement refused", good, concat({head, CodeAnswer(0xFF)}), true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Scripted t(port.master(), [&](Adapter &a) {
      a.Take();
      a.Give(c.ack);
      if (c.ack == good) a.Answer(c.answer);
      if (c.refuse) a.Refuse();
      a.BringUp();  // fails unless the PC's next block is the record
      a.Connect();
    });
    EXPECT_EQ(DoWrMPIComu(&s7, WriteJob()), -1);
    ExpectDown(true);
    EXPECT_EQ(s7.Tx.H.BlockNr, c.ack == good ? 2 : 1);
    // nothing past Rx was touched
    EXPECT_EQ(std::memcmp(&s7.ConToMPI, &before.ConToMPI, sizeof before.ConToMPI), 0);
    EXPECT_EQ(std::memcmp(s7.CmdRd, before.CmdRd, sizeof before.CmdRd), 0);
    EXPECT_EQ(std::memcmp(s7.CmdWr, before.CmdWr, sizeof before.CmdWr), 0);
    EXPECT_TRUE(CheckStatus(&s7));
    t.done();
    EXPECT_EQ(s7.Tx.H.BlockNr, 1);
  }

  // a read answered with a 9-byte block: the same, and the next read works
  Scripted t(port.master(), [](Adapter &a) {
    a.Job({0x32, 0x03, 0x00});
    a.BringUp();
    a.Connect();
    a.Job(Pdu(0x03, {0, 0}, {0x04, 0x01}, {0xFF, 0x04, 0x00, 0x10, 0xAB, 0xCD}));
  });
  BYTE buf[2] = {0, 0};
  EXPECT_EQ(DoRdMPIComu(&s7, ReadJob(), 2, buf), -1);
  ExpectDown(true);
  EXPECT_EQ(s7.Tx.H.BlockNr, 2);
  ASSERT_TRUE(CheckStatus(&s7));
  EXPECT_EQ(DoRdMPIComu(&s7, ReadJob(), 2, buf), 0);
  EXPECT_EQ(buf[0], 0xAB);
  EXPECT_EQ(buf[1], 0xCD);
  t.done();
}

TEST_F(Mpi, SilentAdapterAfterAcknowledgement) {
  // the one case that waits out the whole answer time: 140 ticks, 7.5 s
  Connected();
  Scripted t(port.master(), [](Adapter &a) {
    a.Take();
    a.Give({0x00, 0x0C, kR, kP, 0xB0, 0x01, 0x01});
    a.p.silence(8000);
  });
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(DoWrMPIComu(&s7, WriteJob()), -1);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GT(s, 7.0);
  EXPECT_LT(s, 8.5);
  ExpectDown(true);
  EXPECT_EQ(s7.Tx.H.BlockNr, 2);
  t.done();
}

// ------------------------------------------------------------ disconnect, close

TEST_F(Mpi, Disconnect) {
  // the adapter down: nothing sent
  Scripted t0(port.master(), [](Adapter &a) { a.p.silence(300); });
  EXPECT_TRUE(DisconnectMPIAdr(&s7));
  t0.done();
  Connected();
  // answered with a 5-byte block: done, nothing acknowledged, no status changed
  Scripted t1(port.master(), [](Adapter &a) {
    a.Take();
    a.Give({0x00, 0x0C, kR, kP, 0x80});
    a.p.silence(300);
  });
  EXPECT_TRUE(DisconnectMPIAdr(&s7));
  EXPECT_EQ(t1.done(), (std::vector<Bytes>{{0x00, 0x0C, 0x21, 0x03, 0x80}}));
  EXPECT_EQ(s7.Err, 0);
  EXPECT_TRUE(s7.Status);
  // answered with an acknowledgement and an answer block: handled as any
  Scripted t2(port.master(), [](Adapter &a) {
    a.Take();
    a.Give({0x00, 0x0C, kR, kP, 0xB0, 0x01, 0x01});  // the record's number
    a.Give({0x00, 0x0C, kR, kP, 0xF1, 0x09, 0x32, 0x03, 0x00});
    a.Take();
  });
  EXPECT_TRUE(DisconnectMPIAdr(&s7));
  EXPECT_EQ(t2.done(), (std::vector<Bytes>{{0x00, 0x0C, 0x21, 0x03, 0x80},
                                           {0x00, 0x0C, kP, kR, 0xB0, 0x01, 0x09}}));
  EXPECT_EQ(s7.Tx.H.BlockNr, 2);
  // not answered: FALSE, the port marked
  Scripted t3(port.master(), [](Adapter &a) {
    a.Take();
    a.p.put({0x55});
  });
  EXPECT_FALSE(DisconnectMPIAdr(&s7));
  t3.done();
  ExpectDown(true);
}

TEST_F(Mpi, ClosingThePort) {
  // a second record on the port: connects without a new bring-up
  S7 second{};
  ASSERT_TRUE(S7InitFastBaud(&second, kCom, 4, 0, 19200));
  Connected();
  Scripted t(port.master(), [](Adapter &a) {
    a.R = 5, a.P = 0x22;
    a.Connect();
  });
  EXPECT_TRUE(CheckStatus(&second));
  EXPECT_EQ(t.done().size(), 4u);
  // first close: the disconnect only
  Scripted t1(port.master(), [](Adapter &a) {
    a.Take();
    a.Give({0x00, 0x0C, kR, kP, 0x80});
    a.p.silence(300);
  });
  EXPECT_TRUE(S7Exit(&s7));
  EXPECT_EQ(t1.done(), (std::vector<Bytes>{{0x00, 0x0C, kP, kR, 0x80}}));
  EXPECT_TRUE(ComIsInit(kCom));
  // last close: disconnect, then the shut-down block
  Scripted t2(port.master(), [](Adapter &a) {
    a.Take();
    a.Give({0x00, 0x0C, 0x05, 0x22, 0x80});
    a.Take();
    a.Give({0x00});
    a.p.silence(300);
  });
  EXPECT_TRUE(S7Exit(&second));
  EXPECT_EQ(t2.done(), (std::vector<Bytes>{{0x00, 0x0C, 0x22, 0x05, 0x80}, {0x01, 0x04, 0x02}}));
  EXPECT_EQ(CStat[kCom].Status, 0);
  EXPECT_EQ(CStat[kCom].Baud, 0u);
  EXPECT_FALSE(ComIsInit(kCom));

  // a last close whose disconnect goes unanswered sends no shut-down block
  S7 third{};
  ASSERT_TRUE(S7InitFastBaud(&third, kCom, 2, 0, 19200));
  std::swap(s7, third);
  Connected();
  Scripted t3(port.master(), [](Adapter &a) {
    a.Take();
    a.p.put({0x55});
    a.p.silence(500);
  });
  EXPECT_TRUE(S7Exit(&s7));
  EXPECT_EQ(t3.done().size(), 1u);
  EXPECT_EQ(CStat[kCom].Status, 0);
  EXPECT_FALSE(ComIsInit(kCom));
}

}  // namespace
