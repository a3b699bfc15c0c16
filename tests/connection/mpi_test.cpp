// MPI connection and block exchange over a real pty against a scripted
// adapter: how answers are judged, every failure of a connect or an exchange
// followed by the recovery of the next call, the disconnect and the last
// close of a port. Good paths against the simulated adapter are in tests/s7.
#include <gtest/gtest.h>

#include <cstring>

#include "peer.hpp"
#include "r3964.h"
#include "rs232.h"
#include "s7conn.h"

using namespace s7test;

namespace {

// A job from 0x32 on: Code, LenBl1 and LenBl2 (the parts' sizes unless
// given), `extra` (error-class bytes), parameters, data.
std::string Pdu(uint8_t code, const Bytes &extra, const Bytes &param, const Bytes &data,
                int l1 = -1, int l2 = -1) {
  const size_t n1 = l1 < 0 ? param.size() : size_t(l1), n2 = l2 < 0 ? data.size() : size_t(l2);
  return plain(concat(
      {{0x32, code, 0, 0, 0, 0, uint8_t(n1 >> 8), uint8_t(n1), uint8_t(n2 >> 8), uint8_t(n2)},
       extra,
       param,
       data}));
}
std::string CodeAnswer(uint8_t rc) { return Pdu(0x03, {0, 0}, {0x05, 0x01}, {rc}); }
// The adapter takes job `nr` on references `rp` (own, partner), acknowledges
// it and answers as its answer `ans`; the PC acknowledges that answer.
std::string Job(int nr, int ans, const std::string &answer, std::string rp = "0321",
                const std::string &job = "") {
  char s[96];
  std::snprintf(s, sizeof s, " t=000C%sB001%02X t=000C%sF1%02X", rp.c_str(), nr, rp.c_str(), ans);
  return "r" + (job.empty() ? "" : "=" + job) + s + answer + " r=000C" + rp.substr(2) +
         rp.substr(0, 2) + "B001" + plain({uint8_t(ans)}) + " ";
}
const std::string kUp = "r t=0000 t=01 ";
const std::string kReset = Pdu(0x07, {}, {0x00, 0x01, 0x12, 0x08}, {0x0A, 0x00, 0x00, 0x00});
// The connect request, its confirmation and the block-number reset job.
std::string Connect(const char *request, std::string rp = "0321") {
  return std::string("r=") + request + " t=000C" + rp + "0000 r=000C" + rp.substr(2) +
         rp.substr(0, 2) + "0501 t=000C" + rp + "B001 " + Job(0, 0, kReset, rp);
}
const char *kRequest = "000D0003E0040080000201060100000102020100";
const std::string kReady = kUp + Connect(kRequest);
const std::string kOk = "000C0321B00101", kAnswer = " t=000C0321F100";

class Mpi : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 19200)); }
  // Puts a job into the transmit block as the S7 services do; its length.
  int PutJob(uint8_t code, const Bytes &param, const Bytes &data) {
    s7.Tx.H.BlockKennung = 0xF1;
    const Bytes b1 = unhex(Pdu(code, {}, {}, {}, int(param.size()), int(data.size())));
    std::memcpy(&s7.Tx.B1, b1.data(), b1.size());
    reinterpret_cast<BYTE *>(&s7.Tx.B1)[4] = 0x05;  // the job's reference
    std::copy(param.begin(), param.end(), s7.Tx.Buf);
    std::copy(data.begin(), data.end(), s7.Tx.Buf + param.size());
    return static_cast<int>(16 + param.size() + data.size());
  }
  int WriteJob(uint8_t code = 1) {
    return PutJob(code, {0x05, 0x01}, {0x00, 0x04, 0x00, 0x08, 0x12});
  }
  int ReadJob(uint8_t code = 1) { return PutJob(code, {0x04, 0x01, 0x12, 0x0A, 0x10, 0x02}, {}); }
  void Expect(int err, int status, int port, int nr) {
    EXPECT_EQ(s7.Err, err);
    EXPECT_EQ(s7.Status, status);
    EXPECT_EQ(CStat[0].Status, port);
    EXPECT_EQ(s7.Tx.H.BlockNr, nr < 0 ? s7.Tx.H.BlockNr : nr);
  }
  PtyPort port{0};
  S7 s7{};
};

TEST_F(Mpi, AnswersAreJudgedByTheJobSent) {
  exchange(port.master(), play(kReady), [&] { EXPECT_TRUE(CheckStatus(&s7)); });
  Expect(0, TRUE, 1, 1);
  EXPECT_EQ(std::memcmp(s7.CmdRd, _CmdRd, sizeof s7.CmdRd), 0);
  const Bytes rd = {0x04, 0x01}, wr = {0x05, 0x01}, ud = {0x00, 0x01, 0x12, 0x08};
  const Bytes data = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, head = {0xFF, 0x04, 0x00, 0x30};
  const struct {
    uint8_t code;  // Code of the job sent
    std::string answer;
    int anz;  // data expected by a read; -1: a job with a return code
    int result, err;
  } rows[] = {
      {0x01, CodeAnswer(0xFF), -1, 0, 0},
      {0x01, CodeAnswer(0x0A), -1, 1, 2},                      // refused: connection kept
      {0x01, Pdu(0x03, {0, 0}, wr, {}), -1, -1, 2},            // no data part
      {0x01, Pdu(0x03, {0, 0}, wr, {0xFF}, 2, 2), -1, -1, 2},  // lengths do not add up
      // user data: no error-class bytes, the code right after the parameters
      {0x07, Pdu(0x07, {}, ud, {0xFF, 0x09}), -1, 0, 0},
      {0x07, Pdu(0x07, {}, ud, {0x0A, 0x09}), -1, 1, 2},
      // the answer's own Code does not decide
      {0x07, Pdu(0x03, {0, 0}, ud, {0xFF, 0x09}), -1, -1, 2},
      {0x01, Pdu(0x07, {}, wr, {0xFF}), -1, -1, 2},
      {0x01, Pdu(0x03, {0, 0}, wr, concat({{0xFF}, Bytes(295, 0x00)})), -1, 0, 0},  // fills Rx
      // reads: the data copied only when all is well
      {0x01, Pdu(0x03, {0, 0}, rd, concat({head, data})), 6, 0, 0},
      {0x01, Pdu(0x03, {0, 0}, rd, concat({head, data})), 5, 1, 2},  // another length
      {0x01, Pdu(0x03, {0, 0}, rd, concat({{0x0A, 0x04, 0x00, 0x30}, data})), 6, 1, 2},
      {0x07, Pdu(0x03, {}, rd, concat({head, data})), 6, 0, 0},
      {0x01, Pdu(0x07, {0, 0}, rd, concat({head, data})), 6, 0, 0}};
  int k = 1;
  for (const auto &r : rows) {
    SCOPED_TRACE(r.answer);
    Bytes buf(8, 0xEE);
    s7.Err = 0;
    // the first job's bytes are checked exactly
    const char *job = k == 1 ? "000C2103F1013201000005000002000505010004000812" : "";
    exchange(port.master(), play(Job(k, k, r.answer, "0321", job)), [&] {
      if (r.anz < 0) {
        EXPECT_EQ(DoWrMPIComu(&s7, WriteJob(r.code)), r.result);
      } else {
        EXPECT_EQ(DoRdMPIComu(&s7, ReadJob(r.code), r.anz, buf.data()), r.result);
      }
    });
    EXPECT_EQ(hex(buf), hex(r.result || r.anz < 0 ? Bytes(8, 0xEE) : concat({data, {0xEE, 0xEE}})));
    Expect(r.err, TRUE, 1, ++k);
  }
}

TEST_F(Mpi, ConnectFailuresAndRecovery) {
  const struct {
    const char *adapter;
    bool port_down;
  } rows[] = {{"r >55 s200", true},  // the bring-up unanswered
              {"r15 r15 r15 <15 s200", true},
              {"r t=000C04210000 s200", false},
              {"r t=000D03210000 s200", false},
              {"r t=000C032100 s200", false},
              {"r >55 s200", false},
              {"r t=000C03210000 r15 r15 r15 <15 s200", false},
              {"r t=000C03210000 r t=000C0321B00100 s200", false},
              {"r t=000C03210000 r t=000C0321B0 s200", false},
              // the reset job goes out with number 0 and is acknowledged as number 1
              {"r t=000C03210000 r t=000C0321B001 r t=000C0321B00101 s200", true}};
  bool down = false;  // the next call brings the adapter up only where the port was marked
  for (const auto &r : rows) {
    SCOPED_TRACE(r.adapter);
    exchange(port.master(), play((down ? kUp : "") + r.adapter),
             [&] { EXPECT_FALSE(CheckStatus(&s7)); });
    Expect(-1, FALSE, !r.port_down, -1);
    down = r.port_down;
  }
  EXPECT_EQ(s7.Tx.H.BlockNr, 0);  // not advanced by the failed reset job
  exchange(port.master(), play(kUp + Connect(kRequest)), [&] { EXPECT_TRUE(CheckStatus(&s7)); });
  Expect(0, TRUE, 1, 1);
  // the highest address gives own reference 0
  S7 far{};
  PtyPort port1(1);
  ASSERT_TRUE(S7InitFastBaud(&far, 1, 255, 0, 19200));
  exchange(port1.master(), play(kUp + Connect("000D0000E0040080000201060100000102FF0100", "0021")),
           [&] { EXPECT_TRUE(CheckStatus(&far)); });
}

TEST_F(Mpi, JobFailuresDropTheConnection) {
  exchange(port.master(), play(kReady), [&] { EXPECT_TRUE(CheckStatus(&s7)); });
  const S7 before = s7;
  std::string long400 = kAnswer, long317 = kAnswer;
  while (long400.size() < 15 + 2 * 394) long400 += "77";
  while (long317.size() < 15 + 2 * 311) long317 += "77";
  const struct {
    std::string adapter;
    int nr;  // the block number after the failure
    double seconds = 0;
  } rows[] = {
      // the acknowledgement wrong in each field and length: the number not advanced
      {"t=000D0321B00101", 1},
      {"t=000C2103B00101", 1},
      {"t=000C0321B10101", 1},
      {"t=000C0321B00201", 1},
      {"t=000C0321B00102", 1},
      {"t=000C0321B001", 1},
      {"t=000C032180", 1},
      // acknowledged, then the answer unusable; longer than Rx: refused
      {"t=" + kOk + " >55", 2},
      {"t=" + kOk + kAnswer, 2},
      {"t=" + kOk + long400, 2},
      {"t=" + kOk + long317, 2},
      {"t=" + kOk + kAnswer + CodeAnswer(0xFF) + " r15 r15 r15 <15", 2},
      {"t=" + kOk + " w7600", 2, 7.0},  // silence: the whole answer time of 140 ticks
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.adapter);
    exchange(port.master(), play("r " + r.adapter + " " + kUp + Connect(kRequest)), [&] {
      const auto t0 = Clock::now();
      EXPECT_EQ(DoWrMPIComu(&s7, WriteJob()), -1);
      EXPECT_NEAR(Since(t0), r.seconds + 0.7, 1.3);
      Expect(-1, FALSE, 0, r.nr);
      // nothing past Rx was touched
      EXPECT_EQ(std::memcmp(&s7.ConToMPI, &before.ConToMPI, sizeof before.ConToMPI), 0);
      EXPECT_EQ(std::memcmp(s7.CmdWr, before.CmdWr, sizeof before.CmdWr), 0);
      EXPECT_TRUE(CheckStatus(&s7));
    });
    EXPECT_EQ(s7.Tx.H.BlockNr, 1);
  }
  // a read answered with a 9-byte block: the same, and the next read works
  BYTE buf[2] = {0, 0};
  const std::string good = Pdu(0x03, {0, 0}, {0x04, 0x01}, {0xFF, 0x04, 0x00, 0x10, 0xAB, 0xCD});
  exchange(port.master(), play(Job(1, 1, "320300") + kUp + Connect(kRequest) + Job(1, 1, good)),
           [&] {
             EXPECT_EQ(DoRdMPIComu(&s7, ReadJob(), 2, buf), -1);
             Expect(-1, FALSE, 0, 2);
             ASSERT_TRUE(CheckStatus(&s7));
             EXPECT_EQ(DoRdMPIComu(&s7, ReadJob(), 2, buf), 0);
           });
  EXPECT_EQ(hex(Bytes(buf, buf + 2)), "AB CD");
}

TEST_F(Mpi, DisconnectAndClose) {
  S7 second{};
  ASSERT_TRUE(S7InitFastBaud(&second, 0, 4, 0, 19200));
  const struct {
    S7 *rec;
    BOOL (*call)(LPS7I);
    std::string adapter;
    BOOL ok;
    int err, status, port, nr;
  } rows[] = {
      {&s7, DisconnectMPIAdr, "s300", TRUE, 0, FALSE, 0, 0},  // adapter down: nothing sent
      {&s7, CheckStatus, kReady, TRUE, 0, TRUE, 1, 1},
      {&second, CheckStatus, Connect("000D0005E0040080000201060100000102040100", "0522"), TRUE, 0,
       TRUE, 1, 1},  // a second record connects without a new bring-up
      // answered with a 5-byte block: done, no status changed
      {&s7, DisconnectMPIAdr, "r=000C210380 t=000C032180 s300", TRUE, 0, TRUE, 1, 1},
      // answered with an acknowledgement and an answer block: handled as any
      {&s7, DisconnectMPIAdr, "r=000C210380 t=000C0321B00101 t=000C0321F109320300 r=000C2103B00109",
       TRUE, 0, TRUE, 1, 2},
      // first close: the disconnect only; last close: then the shut-down block
      {&s7, S7Exit, "r=000C210380 t=000C032180 s300", TRUE, 0, TRUE, 1, 2},
      {&second, S7Exit, "r=000C220580 t=000C052280 r=010402 t=00 s300", TRUE, 0, TRUE, 0, 1}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.adapter);
    exchange(port.master(), play(r.adapter), [&] { EXPECT_EQ(r.call(r.rec), r.ok); });
    EXPECT_EQ(r.rec->Err * 10 + r.rec->Status, r.err * 10 + r.status);
    EXPECT_EQ(CStat[0].Status, r.port);
    EXPECT_EQ(r.rec->Tx.H.BlockNr, r.nr);
  }
  EXPECT_EQ(CStat[0].Baud, 0u);
  EXPECT_FALSE(ComIsInit(0));
  // not answered: FALSE, the port marked; a last close whose disconnect goes
  // unanswered sends no shut-down block
  S7 third{};
  ASSERT_TRUE(S7InitFastBaud(&third, 0, 2, 0, 19200));
  exchange(port.master(), play(kReady + "r >55"), [&] {
    EXPECT_TRUE(CheckStatus(&third));
    EXPECT_FALSE(DisconnectMPIAdr(&third));
  });
  EXPECT_EQ(CStat[0].Status, 0);
  exchange(port.master(), play(kReady + "r >55 s500"), [&] {
    EXPECT_TRUE(CheckStatus(&third));
    EXPECT_TRUE(S7Exit(&third));
  });
  EXPECT_FALSE(ComIsInit(0));
}

}  // namespace
