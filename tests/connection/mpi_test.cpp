// Adapter bring-up, MPI connection and block exchange against a scripted
// adapter: the answers the simulated adapter cannot be made to give, how
// answers are judged, recovery, the disconnect and the last close of a port.
#include <gtest/gtest.h>

#include <cstring>

#include "peer.hpp"
#include "r3964.h"
#include "rs232.h"
#include "s7conn.h"

using namespace s7test;

namespace {

// The adapter takes job `nr`, acknowledges it and answers `answer` as its
// answer `ans`; the PC acknowledges that answer. `rp`: own and partner reference.
std::string Job(int nr, int ans, const std::string &answer, std::string rp = "0321",
                const std::string &job = "") {
  char s[96];
  std::snprintf(s, sizeof s, " t=000C%sB001%02X t=000C%sF1%02X", rp.c_str(), nr, rp.c_str(), ans);
  return "r" + (job.empty() ? "" : "=" + job) + s + answer + " r=000C" + rp.substr(2) +
         rp.substr(0, 2) + "B001" + plain({uint8_t(ans)}) + " ";
}
// The connect request, its confirmation and the block-number reset job.
std::string Connect(const char *request, std::string rp = "0321") {
  return std::string("r=") + request + " t=000C" + rp + "0000 r=000C" + rp.substr(2) +
         rp.substr(0, 2) + "0501 t=000C" + rp + "B001 " +
         Job(0, 0, "32070000000000040004000112080A000000", rp);
}
std::string Record(int code, int own) {
  char s[80];
  std::snprintf(s, sizeof s, "01030227009F013C00900114000014%02X%02X7E0501010380", code, own);
  return s;
}
const std::string kUp = "r t=0000 t=01 ",
                  kTs = "r=010802 t=00 r=010402 t=00 r=010C02 t=00 r=010802 t=00 ";
const char *kRequest = "000D0003E0040080000201060100000102020100";
const std::string kReady = kUp + Connect(kRequest);

class Mpi : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 19200)); }
  int PutJob(const std::string &job) {  // as the S7 services do; the length
    s7.Tx.H.BlockKennung = 0xF1;
    const Bytes b = unhex(job);
    std::memcpy(reinterpret_cast<BYTE *>(&s7.Tx) + 6, b.data(), b.size());
    return int(6 + b.size());
  }
  int WriteJob(int code = 1) {
    return PutJob((code == 1 ? "3201" : "3207") + std::string("000005000002000505010004000812"));
  }
  int ReadJob(int code = 1) {
    return PutJob((code == 1 ? "3201" : "3207") + std::string("00000500000600000401120A1002"));
  }
  void Expect(int err, int status, int port, int nr) {
    EXPECT_EQ(s7.Err * 100 + s7.Status * 10 + CStat[0].Status, err * 100 + status * 10 + port);
    EXPECT_EQ(s7.Tx.H.BlockNr, nr);
  }
  PtyPort port{0};
  S7 s7{};
};

TEST_F(Mpi, AdapterBringUpAndShutDown) {
  const struct {
    std::string adapter;
    bool ok;
  } rows[] = {{"r=" + Record(2, 0) + " t=00112245 t=3344 s300", true},
              {"r t=0001024504 t=33 s300", true},  // a leading 00: one more block, no TS blocks
              {"r t=0102034605 s300", true},       // 'E' or 'e' in byte 3: the four TS blocks
              {"r t=0102034505 " + kTs + "s300", true},
              {"r t=01020365 " + kTs + "s300", true},
              {"r t=010203 s300", true},
              {"r t=07 s300", true},
              {"r15 r15 r15 <15", false},
              {"r >55", false},
              {"r t= s300", false},
              {"r t=0001 >55", false},
              {"r t=0001 t= s300", false},
              {"r t=01020345 r=010802 t=00 r=010402 t=00 r=010C02 >55 s300", false}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.adapter);
    exchange(port.master(), play(r.adapter), [&] { EXPECT_EQ(InitKabel(0, 0) != 0, r.ok); });
  }
  // every port's copy came from the template; the highest address goes in when sent
  for (int com = 1; com < COM_PORTS; ++com)
    EXPECT_EQ(std::memcmp(&InitKabelData[com], &_InitKabelData, sizeof(INIT_KABEL)), 0) << com;
  const BYTE *t = reinterpret_cast<const BYTE *>(&_InitKabelData);
  EXPECT_EQ(plain(Bytes(t, t + sizeof(INIT_KABEL))), Record(2, 0).replace(34, 2, "00"));
  const struct {
    int status;
    const char *adapter;
    bool ok;
  } down[] = {{0, "s300", true}, {1, "r=010402 t=00", true}, {1, "r >55", false}};
  for (const auto &r : down) {
    CStat[0].Status = r.status;
    exchange(port.master(), play(r.adapter), [&] { EXPECT_EQ(ExitKabel(0) != 0, r.ok); });
    EXPECT_EQ(CStat[0].Status, r.status);
  }
  BYTE block[2] = {0xAB, 0x10};
  exchange(port.master(), play("r=AB10 t="), [&] { EXPECT_FALSE(TxTS(0, block, 2)); });
  const struct {
    DWORD selector;
    int own, code;
  } speeds[] = {{0, 0, 0x02}, {1, 126, 0x01}, {2, 5, 0x04}, {3, 0, 0x02}, {1000, 1, 0x02}};
  for (int com = 1; com <= 5; ++com) {
    const auto &r = speeds[com - 1];
    PtyPort other(com);
    S7 rec{};
    ASSERT_TRUE(S7InitFastBaudEx(&rec, com, 2, r.own, 19200, r.selector));
    exchange(other.master(), play("r=" + Record(r.code, r.own) + " t=00 t=01"),
             [&] { EXPECT_TRUE(InitKabel(com, CStat[com].LocalMPIAdr)); });
  }
}

TEST_F(Mpi, AnswersAreJudgedByTheJobSent) {
  exchange(port.master(), play(kReady), [&] { EXPECT_TRUE(CheckStatus(&s7)); });
  Expect(0, TRUE, 1, 1);
  const std::string data = "FF040030112233445566", rd = "3203000000000002000A00000401";
  const struct {
    int code;  // of the job sent
    std::string answer;
    int anz;  // data expected by a read; -1: a job with a return code
    int result, err;
  } rows[] = {
      {1, "3203000000000002000100000501FF", -1, 0, 0},
      {1, "32030000000000020001000005010A", -1, 1, 2},   // refused: connection kept
      {1, "3203000000000002000000000501", -1, -1, 2},    // no data part
      {1, "3203000000000002000200000501FF", -1, -1, 2},  // lengths do not add up
      // user data: no error-class bytes, the code right after the parameters
      {7, "3207000000000004000200011208FF09", -1, 0, 0},
      {7, "32070000000000040002000112080A09", -1, 1, 2},
      {7, "32030000000000040002000000011208FF09", -1, -1, 2},  // the answer's Code does not decide
      {1, "320700000000000200010501FF", -1, -1, 2},
      {1, "3203000000000002012800000501FF" + std::string(590, '0'), -1, 0, 0},  // fills Rx
      {1, rd + data, 6, 0, 0},
      {1, rd + data, 5, 1, 2},
      {1, rd + "0A" + data.substr(2), 6, 1, 2},
      {7, "3203000000000002000A0401" + data, 6, 0, 0},
      {1, "3207000000000002000A00000401" + data, 6, 0, 0}};
  int k = 1;
  for (const auto &r : rows) {
    SCOPED_TRACE(r.answer);
    Bytes buf(8, 0xEE);
    s7.Err = 0;
    const char *job = k == 1 ? "000C2103F1013201000005000002000505010004000812" : "";
    exchange(port.master(), play(Job(k, k, r.answer, "0321", job)), [&] {
      EXPECT_EQ(r.anz < 0 ? DoWrMPIComu(&s7, WriteJob(r.code))
                          : DoRdMPIComu(&s7, ReadJob(r.code), r.anz, buf.data()),
                r.result);
    });
    EXPECT_EQ(plain(buf), (r.result || r.anz < 0 ? "" : data.substr(8)) +
                              std::string(r.result || r.anz < 0 ? 16 : 4, 'E'));
    Expect(r.err, TRUE, 1, ++k);
  }
}

TEST_F(Mpi, FailuresAndRecovery) {
  const struct {
    const char *adapter;
    bool port_down;
    int nr = 0;
  } rows[] = {{"r >55 s200", true},
              {"r15 r15 r15 <15 s200", true},
              {"r t=000C04210000 s200", false},
              {"r t=000D03210000 s200", false},
              {"r t=000C032100 s200", false},
              {"r >55 s200", false},
              {"r t=000C03210000 r15 r15 r15 <15 s200", false, 1},
              {"r t=000C03210000 r t=000C0321B00100 s200", false, 1},
              {"r t=000C03210000 r t=000C0321B0 s200", false, 1},
              // the reset job goes out with number 0 and is acknowledged as number 1
              {"r t=000C03210000 r t=000C0321B001 r t=000C0321B00101 s200", true}};
  bool was_down = false;
  for (const auto &r : rows) {
    SCOPED_TRACE(r.adapter);
    exchange(port.master(), play((was_down ? kUp : "") + r.adapter),
             [&] { EXPECT_FALSE(CheckStatus(&s7)); });
    Expect(-1, FALSE, !r.port_down, r.nr);
    was_down = r.port_down;
  }
  // an acknowledgement wrong in a field the simulated adapter keeps right
  for (const char *ack :
       {"000D0321B00101", "000C0321B10101", "000C0321B00102", "000C0321B001", "000C032180"}) {
    SCOPED_TRACE(ack);
    exchange(port.master(), play(kUp + Connect(kRequest) + "r t=" + ack + " "), [&] {
      EXPECT_TRUE(CheckStatus(&s7));
      EXPECT_EQ(DoWrMPIComu(&s7, WriteJob()), -1);
      Expect(-1, FALSE, 0, 1);
    });
  }
  // a read answered with a 9-byte block: the same, and the next read works
  BYTE buf[2] = {0, 0};
  const std::string good = "3203000000000002000600000401FF040010ABCD";
  exchange(port.master(),
           play(kUp + Connect(kRequest) + Job(1, 1, "320300") + kUp + Connect(kRequest) +
                Job(1, 1, good)),
           [&] {
             ASSERT_TRUE(CheckStatus(&s7));
             EXPECT_EQ(DoRdMPIComu(&s7, ReadJob(), 2, buf), -1);
             Expect(-1, FALSE, 0, 2);
             ASSERT_TRUE(CheckStatus(&s7));
             EXPECT_EQ(DoRdMPIComu(&s7, ReadJob(), 2, buf), 0);
           });
  EXPECT_EQ(plain(Bytes(buf, buf + 2)), "ABCD");
  // the highest address gives own reference 0
  S7 far{};
  PtyPort port1(1);
  ASSERT_TRUE(S7InitFastBaud(&far, 1, 255, 0, 19200));
  exchange(port1.master(), play(kUp + Connect("000D0000E0040080000201060100000102FF0100", "0021")),
           [&] { EXPECT_TRUE(CheckStatus(&far)); });
}

TEST_F(Mpi, DisconnectAndClose) {
  S7 second{}, third{};
  ASSERT_TRUE(S7InitFastBaud(&second, 0, 4, 0, 19200));
  const struct {
    S7 *rec;
    BOOL (*call)(LPS7I);
    std::string adapter;
    int status, port, nr;
  } rows[] = {{&s7, DisconnectMPIAdr, "s300", FALSE, 0, 0},  // adapter down: nothing sent
              {&s7, CheckStatus, kReady, TRUE, 1, 1},
              {&second, CheckStatus, Connect("000D0005E0040080000201060100000102040100", "0522"),
               TRUE, 1, 1},  // a second record connects without a new bring-up
              {&s7, DisconnectMPIAdr, "r=000C210380 t=000C032180 s300", TRUE, 1, 1},
              // answered with an acknowledgement and an answer block: handled as any
              {&s7, DisconnectMPIAdr,
               "r=000C210380 t=000C0321B00101 t=000C0321F109320300 r=000C2103B00109", TRUE, 1, 2},
              // first close: the disconnect only; last close: then the shut-down block
              {&s7, S7Exit, "r=000C210380 t=000C032180 s300", TRUE, 1, 2},
              {&second, S7Exit, "r=000C220580 t=000C052280 r=010402 t=00 s300", TRUE, 0, 1}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.adapter);
    exchange(port.master(), play(r.adapter), [&] { EXPECT_TRUE(r.call(r.rec)); });
    EXPECT_EQ(r.rec->Err * 10 + r.rec->Status, r.status);
    EXPECT_EQ(CStat[0].Status * 1000 + r.rec->Tx.H.BlockNr, r.port * 1000 + r.nr);
  }
  EXPECT_EQ(CStat[0].Baud + ComIsInit(0), 0u);
  // unanswered: FALSE and the port marked; a last close then sends no shut-down block
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
