// Serial layer over real pseudo-terminals: the library opens the slave by
// name, the test works the master side and reads the settings back.
#include "rs232.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>

#include "kesto.h"
#include "peer.hpp"
#include "s7serial.h"

using namespace s7test;

namespace {

termios Slave(const PtyPort &port, termios *set = nullptr) {
  const int fd = open(port.pty.slave_name().c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  tcgetattr(fd, &t);
  if (set) tcsetattr(fd, TCSANOW, set);
  close(fd);
  return t;
}

void Send(const PtyPort &port, const Bytes &b) {
  s7sim::write_all(port.master(), b);
  usleep(20000);
}

TEST(ComPorts, NamesClosedPortsAndSettings) {
  std::string n63(63, 'x'), n64(64, 'y');
  char dev[] = "/nonexistent/tty";
  EXPECT_EQ(ComSetDevName(0, n63.data()) + ComSetDevName(4, dev), 0);
  EXPECT_EQ(ComSetDevName(0, n64.data()) + ComSetDevName(16, dev), -2);
  EXPECT_EQ(std::string(RsIo[0].DevName), n63);
  BYTE b = 0;
  for (int com : {-1, 16, 0x10000, 4, 7}) {  // hCom 0 of a never opened port would be stdin
    if (com != 7) {
      EXPECT_FALSE(ComOpen(com, 19200, 8, 'o', 1)) << com;
    }
    EXPECT_EQ(ComIsInit(com) + !ComClose(com) + ComTxC(com, 1) + ComRxC(com, &b) +
                  ComWaitC(com, &b, 0) + ComRxBlock(com, &b, 1) + ComCInQ(com) +
                  ComSetTimeOut(com, 100) + RsIo[4].ComRefCnt,
              0)
        << com;
  }
  testing::internal::CaptureStdout();
  ComOpen(3, 19200, 8, 'o', 1);
  ComClose(3);
  ComOpen(3, 19200, 8, 'o', 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ComDev: =/dev/ttyS3\n");
  const struct {
    int baud, bits, parity, stop;
    speed_t speed;
    tcflag_t flags;
  } rows[] = {{1200, 8, 'N', 1, B1200, CS8},
              {1800, 8, 'N', 1, B1800, CS8},
              {2400, 8, 'N', 1, B2400, CS8},
              {4800, 8, 'N', 1, B4800, CS8},
              {9600, 8, 'E', 1, B9600, CS8 | PARENB},
              {19200, 8, 'o', 1, B19200, CS8 | PARENB | PARODD},
              {38400, 7, 'e', 2, B38400, CS7 | PARENB | CSTOPB},
              {57600, 8, 'O', 1, B57600, CS8 | PARENB | PARODD},
              {115200, 8, 'N', 1, B115200, CS8},
              {600, 9, 0x4E, 3, B19200, CS8},
              {300, 0x107, 0x145, 0x102, B19200, CS7 | PARENB | CSTOPB},
              {0, 6, 'x', 0, B19200, CS8}};
  for (const auto &r : rows) {
    PtyPort port(1);
    ASSERT_TRUE(ComOpen(1, r.baud, r.bits, r.parity, r.stop));
    const termios t = Slave(port);
    EXPECT_EQ(cfgetospeed(&t) * 10 + (cfgetispeed(&t) == r.speed), r.speed * 10 + 1) << r.baud;
    EXPECT_EQ(RsIo[1].TIo.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), r.flags) << r.baud;
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | CRTSCTS | HUPCL), tcflag_t(CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag | t.c_oflag | t.c_lflag, tcflag_t(0));
    EXPECT_EQ(t.c_cc[VMIN] * 1000 + t.c_cc[VTIME] + RsIo[1].Timeout, 505);
    ComClose(1);
  }
}

TEST(ComPorts, SharedPortRestoredAtLastClose) {
  PtyPort port(2), other(5);
  termios t = Slave(port);
  t.c_cc[VTIME] = 7;
  t.c_lflag = ICANON;
  Slave(port, &t);
  ASSERT_TRUE(ComOpen(2, 9600, 8, 'o', 1));
  ASSERT_TRUE(ComOpen(2, 57600, 7, 'E', 2));
  EXPECT_EQ(cfgetospeed(&RsIo[2].TIo), speed_t(B9600));
  EXPECT_TRUE(ComClose(2));
  EXPECT_EQ(ComIsInit(2) * 10 + Slave(port).c_cc[VTIME], 15);
  EXPECT_TRUE(ComClose(2));
  t = Slave(port);
  EXPECT_EQ(t.c_cc[VTIME] * 1000 + (t.c_lflag & ICANON) + ComIsInit(2), 7000 + ICANON);
  EXPECT_TRUE(ComClose(2));
  EXPECT_EQ(RsIo[2].ComRefCnt, 0);
  EXPECT_LT(RsIo[2].hCom, 0);
  for (int com : {2, 2, 5}) ASSERT_TRUE(ComOpen(com, 19200, 8, 'o', 1));
  ComCloseAll();
  EXPECT_EQ(ComIsInit(2) + RsIo[2].ComRefCnt + ComIsInit(5) + (RsIo[2].hCom >= 0), 0);
}

TEST(ComPorts, TransmitReceiveAndTimeOuts) {
  PtyPort port(0);
  ASSERT_TRUE(ComOpen(0, 19200, 8, 'o', 1));
  RS232 &p = RsIo[0];
  BYTE b = 0, buf[8] = {};
  for (int c : {0x141, 0x10, -1}) EXPECT_TRUE(ComTxC(0, c));
  EXPECT_EQ(hex(s7sim::read_until_quiet(port.master(), 100)), "41 10 FF");
  // one read fetches a burst; a peeked byte is held and comes first; ComClr drops the
  // look-ahead, the buffer and what waits in the device
  Send(port, {'A', 'B', 'C'});
  EXPECT_TRUE(ComRxC(0, &b) && b == 'A' && ComCInQ(0) && ComWaitC(0, &b, 9) && b == 'B');
  EXPECT_TRUE(ComRxC(0, &b) && b == 'C' && !ComCInQ(0));
  Send(port, {'X', 'Y', 'Z'});
  EXPECT_TRUE(ComCInQ(0) && ComCInQ(0) && ComWaitC(0, &b, 0) && b == 'X' && ComRxC(0, &b) &&
              b == 'Y');
  ASSERT_TRUE(ComCInQ(0));
  ComClr(0);
  Send(port, {'5'});
  ComClr(0);
  EXPECT_EQ(p.bUnget + p.RxIn + p.RxOut + ComCInQ(0), 0);
  Send(port, {1, 2, 3, 4, 5});
  EXPECT_EQ(ComRxBlock(0, buf, 3) * 10 + ComRxBlock(0, buf, 0), 30);
  auto t0 = Clock::now();
  EXPECT_EQ(ComRxBlock(0, buf, 5), 2);
  EXPECT_EQ(hex(Bytes(buf, buf + 2)), "04 05");
  EXPECT_NEAR(Since(t0), 0.5, 0.25);  // 9 ticks are one read of 0.5 s
  EXPECT_EQ((std::pair{ComSetTimeOut(0, 250), int(Slave(port).c_cc[VTIME])}), std::pair(500, 2));
  EXPECT_EQ(ComSetTimeOut(0, 30000), 200);
  EXPECT_EQ(RsIo[0].Timeout + Slave(port).c_cc[VTIME], 25755);
  char dev[] = "/dev/null";  // not a terminal: the stored time-out, device left alone
  ASSERT_EQ(ComSetDevName(6, dev), 0);
  ASSERT_TRUE(ComOpen(6, 19200, 8, 'o', 1));
  EXPECT_EQ(ComSetTimeOut(6, 0) + RsIo[6].Timeout, 1000);
  // w: ComWaitC at a time-out, a Timeout forced, ticks: Time * 55 / Timeout read attempts, at
  // least one, exactly one at a Timeout of 0; m: DelayMS (16 bits); d: ComDelay in ticks
  for (const auto &r : table({
           "w|300|300|0|0.3",
           "w|300|300|11|0.6",
           "w|300|0|140|0.3",
           "w|0|0|140|0",
           "m|65566|||0.03",
           "d|2|||0.11",
           "d|-5|||0",
           "m|0|||0",
       })) {
    const int a = std::stoi(r[1]);
    if (r[0] == "w") ComSetTimeOut(0, a);
    if (r[0] == "w") RsIo[0].Timeout = std::stoi(r[2]);
    t0 = Clock::now();
    EXPECT_FALSE(r[0] == "w"   ? ComWaitC(0, &b, std::stoi(r[3]))
                 : r[0] == "m" ? (DelayMS(a), 0)
                               : (ComDelay(a), 0));
    EXPECT_NEAR(Since(t0), std::stod(r[4]), r[0] == "w" ? 0.14 : 0.03) << r[0] << a;
  }
}

// Only a character device is opened, and only by one process at a time (other ports of this
// process are refused as well, the port's own users share it); ComOpenError says why an open
// failed, on every layer's -4/FALSE, and is cleared by a good open.
TEST(ComPorts, OnlyASerialDeviceOwnedByOneProcess) {
  const std::string dir = testing::TempDir(), file = dir + "s7file";
  std::ofstream(file) << "keep";
  PtyPort port(0);
  const std::string pts = port.pty.slave_name();
  char why[80];
  const auto Why = [&](int com) { return std::to_string(ComOpenError(com, why, 80)) + why; };
  EXPECT_EQ(Why(5) + Why(16), "022no such port (0..15)");  // never tried; no such port
  for (const auto &r : table({file + "|25not a serial device", dir + "|21Is a directory",
                              "/dev/null|0", "/nonexistent|2No such file or directory"})) {
    S7 rec;
    ASSERT_EQ(ComSetDevName(5, r[0].c_str()) + KS7SetDevName(9, r[0].c_str()), 0);
    const BOOL ok = ComOpen(5, 19200, 8, 'o', 1);
    EXPECT_EQ(Why(5), r[1]);
    ComClose(5);
    EXPECT_EQ(std::min<LONG>(KS7Open(9, 2, 0, 19200, 300), 0) * 10 +  // the same on both layers
                  S7InitFastBaud(&rec, 9, 2, 0, 19200) + rec.Err + ok * 100,
              r[1] == "0" ? 101 : -44)
        << r[0];
    ComCloseAll();
  }
  // another process: refused with our PID while we hold the port, let in after its last close
  ASSERT_TRUE(ComOpen(0, 19200, 8, 'o', 1) && ComOpen(0, 9600, 8, 'E', 1));
  EXPECT_FALSE(ComSetDevName(5, pts.c_str()) || ComOpen(5, 19200, 8, 'o', 1));
  EXPECT_EQ(Why(5), "16in use by another port of this program");
  const std::string me = "16in use by another program (PID " + std::to_string(getpid()) + ")";
  const auto Other = [&] {  // 1: refused as it should be, 2: opened
    const pid_t child = fork();
    if (child == 0)
      _exit(ComSetDevName(7, pts.c_str()) || ComOpen(7, 19200, 8, 'o', 1) ? 2 : 1 + (Why(7) != me));
    int status = 0;
    waitpid(child, &status, 0);
    return WEXITSTATUS(status);
  };
  const int fd = open(pts.c_str(), O_RDWR | O_NOCTTY);
  const auto State = [&] {  // TIOCEXCL on the device, and what the other process met; a close
    int excl = 0;
    const int r = (ioctl(fd, TIOCGEXCL, &excl) == 0 && excl) + 10 * Other();
    ComClose(0);
    return r;
  };
  for (const int want : {11, 11, 20}) EXPECT_EQ(State(), want);
  close(fd);
}

}  // namespace
