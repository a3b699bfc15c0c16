// The connection layer against a scripted partner: opening and closing
// records, adapter bring-up, MPI connection and block exchange with the answers
// the simulated adapter cannot be made to give, and the PPI status request and
// job exchange, byte for byte and timed.
#include <gtest/gtest.h>
#include <termios.h>

#include <cstring>
#include <map>

#include "peer.hpp"
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
         Job(0, 0, "32070000000000040004000112080A000000", rp,
             "000C" + rp.substr(2) + rp.substr(0, 2) + "F10032010000010000080000F0000001000201E0");
}
const std::string kRecord = "01030227009F013C00900114000014";  // then speed code, own address
const std::string kUp = "r t=0000 t=01 ";
const char *kRequest = "000D0003E0040080000201060100000102020100";
const std::string kReady = kUp + Connect(kRequest);

class Mpi : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(S7InitFastBaud(&s7, 0, 2, 0, 19200)); }
  int PutJob(bool read, int code = 1) {  // as the S7 services do; the length
    s7.Tx.H.BlockKennung = 0xF1;
    const Bytes b =
        unhex((code == 1 ? "3201" : "3207") + std::string(read ? "00000500000600000401120A1002"
                                                               : "000005000002000505010004000812"));
    std::memcpy(reinterpret_cast<BYTE *>(&s7.Tx) + 6, b.data(), b.size());
    return int(6 + b.size());
  }
  void Expect(int err, int status, int port, int nr) {
    EXPECT_EQ(s7.Err * 100 + s7.Status * 10 + CStat[0].Status, err * 100 + status * 10 + port);
    EXPECT_EQ(s7.Tx.H.BlockNr, nr);
  }
  PtyPort port{0};
  S7 s7{};
};

TEST_F(Mpi, AdapterBringUpAndShutDown) {
  // 'E' or 'e' in byte 3 brings the four TS blocks, any other byte none
  for (const auto &r : table({
           "r t=0102034605 s300|1",
           "r t=010203 s300|1",
           "r t=07 s300|1",
           "r15 r15 r15 <15|0",
           "r >55|0",
           "r t= s300|0",
           "r t=0001 >55|0",
           "r t=0001 t= s300|0",
           "r t=01020345 r=010802 t=00 r=010402 t=00 r=010C02 >55 s300|0",
       })) {
    exchange(port.master(), play(r[0]),
             [&] { EXPECT_EQ(InitKabel(0, 0) != 0, r[1] == "1") << r[0]; });
  }
  for (const auto &r : table({
           "0|s300|1",
           "1|r=010402 t=00|1",
           "1|r >55|0",
       })) {
    CStat[0].Status = std::stoi(r[0]);
    exchange(port.master(), play(r[1]), [&] { EXPECT_EQ(ExitKabel(0) != 0, r[2] == "1") << r[1]; });
    EXPECT_EQ(CStat[0].Status, std::stoi(r[0]));
  }
  BYTE block[2] = {0xAB, 0x10};
  exchange(port.master(), play("r=AB10 t="), [&] { EXPECT_FALSE(TxTS(0, block, 2)); });
  int com = 0;  // bus-speed selector, own address: the speed code
  for (const auto &r : table({
           "0|00|02",
           "1|7E|01",
           "2|05|04",
           "3|00|02",
           "1000|01|02",
       })) {
    PtyPort other(++com);
    S7 rec{};
    ASSERT_TRUE(
        S7InitFastBaudEx(&rec, com, 2, std::stoi(r[1], nullptr, 16), 19200, std::stoi(r[0])));
    exchange(other.master(), play("r=" + kRecord + r[2] + r[1] + "7E0501010380 t=00 t=01"),
             [&] { EXPECT_TRUE(InitKabel(com, CStat[com].LocalMPIAdr)); });
  }
}

TEST_F(Mpi, AnswersAreJudgedByTheJobSent) {
  exchange(port.master(), play(kReady), [&] { EXPECT_TRUE(CheckStatus(&s7)); });
  Expect(0, TRUE, 1, 1);
  // code of the job sent | answer | data a read expects (-1: a job with a return code) | result,
  // Err; user data: no error-class bytes, the code right after the parameters; the answer's
  // own Code does not decide; 296 data bytes fill Rx
  const std::string data = "FF040030112233445566", rd = "3203000000000002000A00000401";
  const auto rows = table({
      "1|3203000000000002000100000501FF|-1|0|0",
      "1|32030000000000020001000005010A|-1|1|2",
      "1|3203000000000002000000000501|-1|-1|2",
      "1|3203000000000002000200000501FF|-1|-1|2",
      "7|3207000000000004000200011208FF09|-1|0|0",
      "7|32070000000000040002000112080A09|-1|1|2",
      "7|32030000000000040002000000011208FF09|-1|-1|2",
      "1|320700000000000200010501FF|-1|-1|2",
      "1|3203000000000002012800000501FF" + std::string(590, '0') + "|-1|0|0",
      "1|" + rd + data + "|6|0|0",
      "1|" + rd + data + "|5|1|2",
      "1|" + rd + "0A" + data.substr(2) + "|6|1|2",
      "7|3203000000000002000A0401" + data + "|6|0|0",
      "1|3207000000000002000A00000401" + data + "|6|0|0",
  });
  int k = 1;
  for (const auto &r : rows) {
    SCOPED_TRACE(r[1]);
    Bytes buf(8, 0xEE);
    const int code = std::stoi(r[0]), anz = std::stoi(r[2]), result = std::stoi(r[3]);
    s7.Err = 0;
    const char *job = k == 1 ? "000C2103F1013201000005000002000505010004000812" : "";
    exchange(port.master(), play(Job(k, k, r[1], "0321", job)), [&] {
      EXPECT_EQ(anz < 0 ? DoWrMPIComu(&s7, PutJob(false, code))
                        : DoRdMPIComu(&s7, PutJob(true, code), anz, buf.data()),
                result);
    });
    const bool none = result || anz < 0;
    EXPECT_EQ(plain(buf), (none ? "" : data.substr(8)) + std::string(none ? 16 : 4, 'E'));
    Expect(std::stoi(r[4]), TRUE, 1, ++k);
  }
}

TEST_F(Mpi, FailuresAndRecovery) {
  // adapter | port marked down | block number; the reset job goes out with number 0 and is
  // acknowledged as number 1
  const std::string c = "r t=000C03210000 ";
  bool was_down = false;
  for (const auto &r : table({
           "r >55 s200|1|0",
           "r15 r15 r15 <15 s200|1|0",
           "r t=000C04210000 s200|0|0",
           "r t=000D03210000 s200|0|0",
           "r t=000C032100 s200|0|0",
           "r >55 s200|0|0",
           c + "r15 r15 r15 <15 s200|0|1",
           c + "r t=000C0321B00100 s200|0|1",
           c + "r t=000C0321B0 s200|0|1",
           c + "r t=000C0321B001 r t=000C0321B00101 s200|1|0",
       })) {
    exchange(port.master(), play((was_down ? kUp : "") + r[0]),
             [&] { EXPECT_FALSE(CheckStatus(&s7)) << r[0]; });
    Expect(-1, FALSE, r[1] == "0", std::stoi(r[2]));
    was_down = r[1] == "1";
  }
  // an acknowledgement wrong in a field the simulated adapter keeps right; a read answered
  // with 3 bytes
  for (const auto &r : table({
           "r t=000D0321B00101|1",
           "r t=000C0321B10101|1",
           "r t=000C0321B00102|1",
           "r t=000C0321B001|1",
           "r t=000C032180|1",
           Job(1, 1, "320300") + "|2",
       })) {
    SCOPED_TRACE(r[0]);
    exchange(port.master(), play(kUp + Connect(kRequest) + r[0]), [&] {
      EXPECT_TRUE(CheckStatus(&s7));
      BYTE buf[2];
      EXPECT_EQ(
          r[1] == "2" ? DoRdMPIComu(&s7, PutJob(true), 2, buf) : DoWrMPIComu(&s7, PutJob(false)),
          -1);
      Expect(-1, FALSE, 0, std::stoi(r[1]));
    });
  }
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
  // record (1: the second) | D: DisconnectMPIAdr, C: CheckStatus, E: S7Exit | adapter |
  // Status of the record, of the port | block number. The adapter down: nothing sent; a
  // second record connects without a new bring-up; a disconnect answered with an
  // acknowledgement and an answer block is handled as any; the last close sends the shut-down
  const std::string dis = "r=000C210380 t=000C032180 s300";
  for (const auto &r : table({
           "0|D|s300|0|0|0",
           "0|C|" + kReady + "|1|1|1",
           "1|C|" + Connect("000D0005E0040080000201060100000102040100", "0522") + "|1|1|1",
           "0|D|" + dis + "|1|1|1",
           "0|D|r=000C210380 t=000C0321B00101 t=000C0321F109320300 r=000C2103B00109|1|1|2",
           "0|E|" + dis + "|1|1|2",
           "1|E|r=000C220580 t=000C052280 r=010402 t=00 s300|1|0|1",
       })) {
    S7 *rec = r[0] == "1" ? &second : &s7;
    BOOL (*call)(LPS7I) = r[1] == "D" ? DisconnectMPIAdr : r[1] == "C" ? CheckStatus : S7Exit;
    exchange(port.master(), play(r[2]), [&] { EXPECT_TRUE(call(rec)) << r[2]; });
    EXPECT_EQ(rec->Err * 10 + rec->Status, std::stoi(r[3])) << r[2];
    EXPECT_EQ(CStat[0].Status * 1000 + rec->Tx.H.BlockNr, std::stoi(r[4]) * 1000 + std::stoi(r[5]));
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

TEST(S7Init, PortUsersSettingsAndMarks) {
  PtyPort p0(0), p1(1), p2(2), p4(4);
  // F: S7InitFastBaud, X: ...Ex, P: S7PPIInit, I: S7Init | port | address | own | rate |
  // selector | Err | users of the port | its speed, parity. Neither kind nor selector is
  // compared; the own address is a byte; port and rate are 16 bits, the rate checked before
  // the port is opened; 49664 is no rate
  const std::map<std::string, speed_t> speed = {
      {"9600", B9600}, {"19200", B19200}, {"38400", B38400}};
  const auto rows = table({
      "X|1|2|0|19200|1|0|1|19200|O",
      "X|1|3|0|19200|1|0|2|19200|O",
      "F|1|4|0|19200|7|0|3|19200|O",
      "P|1|5|0|19200|0|0|4|19200|O",
      "F|2|2|256|38400|0|0|1|38400|O",
      "P|65552|2|0|9600|0|-4|0||",
      "P|0|2|0|206209|0|-2|0||",
      "P|0|2|0|206208|0|0|1|9600|E",
      "I|4|65538|0|115200|0|0|1|19200|O",
  });
  std::vector<S7> recs(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto &r = rows[i];
    SCOPED_TRACE(i);
    S7 &s7 = recs[i];
    memset(&s7, 0x5A, sizeof s7);
    const int c = std::stoi(r[1]), adr = std::stoi(r[2]), own = std::stoi(r[3]);
    const int err = std::stoi(r[6]), users = std::stoi(r[7]);
    const DWORD baud = std::stoul(r[4]), sel = std::stoul(r[5]);
    const BOOL ok = r[0] == "X"   ? S7InitFastBaudEx(&s7, c, adr, own, baud, sel)
                    : r[0] == "P" ? S7PPIInit(&s7, c, adr, own, baud)
                    : r[0] == "I" ? S7Init(&s7, c, adr, own, baud)
                                  : S7InitFastBaud(&s7, c, adr, own, baud);
    EXPECT_EQ(ok * 10 + s7.bInit, err ? 0 : 11);
    EXPECT_EQ(s7.Err * 100 + s7.SPSTyp * 10 + s7.Status + s7.Tx.H.BlockNr,
              err * 100 + (r[0] == "P") * 10);
    EXPECT_EQ(s7.Com * 1000 + s7.MPIAdr, (c & 0xFFFF) * 1000 + (err ? 0 : adr & 0xFFFF));
    const int com = c & 0xF;
    EXPECT_EQ(CStat[com].InitCnt * 100 + RsIo[com].ComRefCnt, users * 101);
    if (users) {
      EXPECT_EQ(cfgetospeed(&RsIo[com].TIo), speed.at(r[8]));
      EXPECT_EQ(RsIo[com].TIo.c_cflag & (PARENB | PARODD | CSIZE | CSTOPB),
                (r[9] == "O" ? PARENB | PARODD : PARENB) | CS8);
    }
  }
  EXPECT_EQ(CStat[1].Baud * 1000 + CStat[1].MPIBaud, 19200001u);
  EXPECT_EQ(CStat[2].LocalMPIAdr + CStat[1].Status + CStat[4].Status, 0);
  EXPECT_EQ(CStat[0].Baud * 100000 + CStat[4].Baud, 960049664u);
  for (int fd : {p0.master(), p1.master(), p2.master(), p4.master()}) EXPECT_TRUE(Silent(fd));
  for (int i : {3, 2, 1, 0}) EXPECT_TRUE(ComIsInit(1) && S7Exit(&recs[i])) << i;
  EXPECT_EQ(ComIsInit(1) + CStat[1].Baud + CStat[1].InitCnt + CStat[1].LocalMPIAdr, 0u);
  EXPECT_EQ(CStat[1].MPIBaud, 1u);  // the selector is kept
  EXPECT_FALSE(S7Exit(&recs[0]) || S7Exit(&recs[5]));
  EXPECT_EQ(recs[0].bInit, TRUE);  // S7Exit changes no field of the record
  S7ExitAll();
  for (int com : {0, 2, 4}) EXPECT_EQ(ComIsInit(com) + CStat[com].InitCnt + CStat[com].Baud, 0u);
  for (int fd : {p0.master(), p2.master(), p4.master()}) EXPECT_TRUE(Silent(fd));
  S7 s7{};
  s7.Com = 5;
  for (BOOL port : {FALSE, TRUE}) {
    s7.Status = TRUE;
    CStat[5].Status = 1;
    SetErr(&s7, port);
    EXPECT_EQ(s7.Err * 100 + s7.Status * 10 + CStat[5].Status, -100 + !port);
  }
  s7.Com = 16;  // no such port: CheckStatus marks the record alone
  s7.Status = TRUE;
  EXPECT_FALSE(CheckStatus(&s7));
  EXPECT_EQ(s7.Err * 10 + s7.Status, -10);
  const LONG set[] = {0, -3, 9, 100000, 0}, back[] = {54, 54, 54, 9, 65535};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(S7SetTimeout(set[i]), back[i]) << i;
}

double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

TEST(Ppi, StatusRequestAndJobsOnTheLine) {
  PtyPort port(0);
  S7I s7{};
  ASSERT_TRUE(S7PPIInit(&s7, 0, 2, 0, 19200));
  const auto called = Clock::now();
  Peer p =
      exchange(port.master(), play("g9 >100002000216"), [&] { EXPECT_TRUE(ConnectToPPIAdr(&s7)); });
  EXPECT_EQ(plain(p.seen), "DC0000100200494B16");
  // the token at once, the status request 12 ms after the call
  EXPECT_GE(Ms(called, p.at[3]), 12.0);
  EXPECT_GE(Ms(p.at[2], p.at[3]), Ms(called, p.at[2]) < 8.0 ? 2.0 : 0.0);
  // any FC will do; other answers leave Err -1 and the record down, the port as it was
  for (const auto &r : table({
           "100002202216|1",
           "100502000716|0",
           "100003000316|0",
           "E5|0",
           "100002000316|0",
           "DC0000|0",
           plain(sd2(0, 2, 0x08, {0x01})) + "|0",
           plain(sd2(0, 2, 0x08, Bytes(252, 0x5A))) + "|0",
       })) {
    s7.Status = TRUE;
    CStat[0].Status = 1;
    exchange(port.master(), play("g9 >" + r[0]),
             [&] { EXPECT_EQ(ConnectToPPIAdr(&s7), r[1] == "1") << r[0]; });
    EXPECT_EQ(s7.Err * 100 + s7.Status * 10 + CStat[0].Status, (r[1] == "1" ? 11 : -99));
  }
  // the 30-byte job, the poll at least 5 ms after the acknowledgement
  s7.Err = 2;
  const Bytes job = unhex("320100000200000E00000401120A1002000A000184000000");
  std::memcpy(reinterpret_cast<BYTE *>(&s7.Tx) + 6, job.data(), job.size());
  const Bytes answer = unhex("4041424344454647484940414243444546474849");
  p = exchange(port.master(), play("g33 >E5 g6 >" + plain(sd2(0, 2, 0x08, answer))),
               [&] { EXPECT_EQ(DoPPIComu(&s7, 30), 26); });
  EXPECT_EQ(s7.Err, 0);
  EXPECT_EQ(plain(p.seen), plain(concat({sd2(2, 0, 0x7C, job), sd1(2, 0, 0x5C)})));
  EXPECT_GE(Ms(p.at[32], p.at[33]), 5.0);
  // an answer at once needs no poll; a job without data is an SD1 frame; 252 bytes are LE 255
  exchange(port.master(),
           play("g33 >" + plain(sd2(0, 2, 0x08, {0x32, 0x03, 0x00, 0x00})) + " s200"),
           [&] { EXPECT_EQ(DoPPIComu(&s7, 30), 10); });
  p = exchange(port.master(), play("g6 >100002090B16"), [&] { EXPECT_EQ(DoMPIComu(&s7, 0), 0); });
  EXPECT_EQ(plain(p.seen), "1002007C7E16");
  p = exchange(port.master(), play("g261 >" + plain(sd2(0, 2, 0x08, {0x32}))),
               [&] { EXPECT_EQ(DoMPIComu(&s7, 6 + 252), 7); });
  EXPECT_EQ(p.seen.size() * 1000 + p.seen[1], 261255u);
  // station address 258 is asked as 2, and an answer from 2 is not taken
  S7I far{};
  ComClose(0);
  ASSERT_TRUE(S7PPIInit(&far, 0, 258, 0, 19200));
  p = exchange(port.master(), play("g9 >100002000216"),
               [&] { EXPECT_FALSE(ConnectToPPIAdr(&far)); });
  EXPECT_EQ(plain(p.seen), "DC0000100200494B16");
}

}  // namespace
