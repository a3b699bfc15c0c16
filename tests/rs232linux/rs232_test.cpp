// Serial layer over real pseudo-terminals: the library opens the slave by
// name, the test works the master side and reads the settings back.
#include "rs232.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "testutil.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct termios SlaveSettings(const s7test::PtyPort &port) {
  int fd = open(port.pty.slave_name().c_str(), O_RDWR | O_NOCTTY);
  EXPECT_GE(fd, 0);
  struct termios t {};
  EXPECT_EQ(tcgetattr(fd, &t), 0);
  close(fd);
  return t;
}

void Send(const s7test::PtyPort &port, std::initializer_list<uint8_t> bytes) {
  std::vector<uint8_t> v(bytes);
  ASSERT_TRUE(s7sim::write_all(port.master(), v));
  usleep(20000);  // let the bytes reach the slave's input queue
}

TEST(ComSetDevName, NameLengthAndPortRange) {
  std::string n63(63, 'x'), n64(64, 'y');
  EXPECT_EQ(ComSetDevName(0, n63.data()), 0);
  EXPECT_EQ(std::string(RsIo[0].DevName), n63);
  EXPECT_EQ(ComSetDevName(0, n64.data()), -1);
  EXPECT_EQ(std::string(RsIo[0].DevName), n63) << "a refused name leaves the old one";
  char dev[] = "/dev/null";
  EXPECT_EQ(ComSetDevName(16, dev), -1);
  EXPECT_EQ(ComSetDevName(15, dev), 0);
  EXPECT_EQ(ComSetDevName(0xFFFFFFFFu, dev), -1);
}

TEST(ComOpen, DefaultNameIsBuiltAndPrintedOnce) {
  testing::internal::CaptureStdout();
  BOOL first = ComOpen(3, 19200, 8, 'o', 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "ComDev: =/dev/ttyS3\n");
  EXPECT_STREQ(RsIo[3].DevName, "/dev/ttyS3");
  if (first) ComClose(3);
  testing::internal::CaptureStdout();
  BOOL second = ComOpen(3, 19200, 8, 'o', 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "the stored name is used silently";
  EXPECT_EQ(first, second);
  if (second) ComClose(3);
}

TEST(ComOpen, UnopenableDeviceLeavesPortClosed) {
  char dev[] = "/nonexistent/tty";
  ASSERT_EQ(ComSetDevName(4, dev), 0);
  EXPECT_FALSE(ComOpen(4, 19200, 8, 'o', 1));
  EXPECT_FALSE(ComIsInit(4));
  EXPECT_EQ(RsIo[4].ComRefCnt, 0);
  EXPECT_STREQ(RsIo[4].DevName, "/nonexistent/tty");
  BYTE b = 0;
  EXPECT_FALSE(ComTxC(4, 'A'));
  EXPECT_FALSE(ComRxC(4, &b));
  EXPECT_FALSE(ComCInQ(4));
}

TEST(ComOpen, SettingsTable) {
  struct Row {
    int baud, bits, parity, stop;
    speed_t speed;
    tcflag_t size, parflags, stopflag;
  };
  const Row rows[] = {
      {1200, 8, 'N', 1, B1200, CS8, 0, 0},
      {1800, 8, 'N', 1, B1800, CS8, 0, 0},
      {2400, 8, 'N', 1, B2400, CS8, 0, 0},
      {4800, 8, 'N', 1, B4800, CS8, 0, 0},
      {9600, 8, 'E', 1, B9600, CS8, PARENB, 0},
      {19200, 8, 'o', 1, B19200, CS8, PARENB | PARODD, 0},
      {38400, 7, 'e', 2, B38400, CS7, PARENB, CSTOPB},
      {57600, 8, 'O', 1, B57600, CS8, PARENB | PARODD, 0},
      {115200, 8, 'N', 1, B115200, CS8, 0, 0},
      {600, 9, 0x4E, 3, B19200, CS8, 0, 0},
      {300, 0x107, 0x145, 0x102, B19200, CS7, PARENB, CSTOPB},  // low bytes count
      {0, 6, 'x', 0, B19200, CS8, 0, 0},
  };
  for (const Row &r : rows) {
    s7test::PtyPort port(1);
    ASSERT_TRUE(ComOpen(1, r.baud, r.bits, r.parity, r.stop)) << r.baud;
    struct termios t = SlaveSettings(port);
    SCOPED_TRACE("baud " + std::to_string(r.baud));
    EXPECT_EQ(cfgetospeed(&t), r.speed);
    EXPECT_EQ(cfgetispeed(&t), r.speed);
    // A pty forces 8 bits without parity on whatever is applied, so size and
    // parity are checked in the settings the layer applied.
    const struct termios &applied = RsIo[1].TIo;
    EXPECT_EQ(applied.c_cflag & CSIZE, r.size);
    EXPECT_EQ(applied.c_cflag & (PARENB | PARODD), r.parflags);
    EXPECT_EQ(applied.c_cflag & CSTOPB, r.stopflag);
    EXPECT_EQ(t.c_cflag & CSTOPB, r.stopflag);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
    EXPECT_EQ(t.c_cflag & (CRTSCTS | HUPCL), tcflag_t(0));
    EXPECT_EQ(t.c_iflag, tcflag_t(0));
    EXPECT_EQ(t.c_oflag, tcflag_t(0));
    EXPECT_EQ(t.c_lflag, tcflag_t(0));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 5);
    EXPECT_EQ(RsIo[1].Timeout, 500);
    EXPECT_EQ(RsIo[1].ComRefCnt, 1);
    ComClose(1);
  }
}

TEST(ComOpen, SharedPortCountsUsersAndRestoresSettingsAtLastClose) {
  s7test::PtyPort port(2);
  {
    int fd = open(port.pty.slave_name().c_str(), O_RDWR | O_NOCTTY);
    struct termios t {};
    tcgetattr(fd, &t);
    t.c_cc[VTIME] = 7;
    t.c_lflag = ICANON | ECHO;
    cfsetospeed(&t, B2400);
    tcsetattr(fd, TCSANOW, &t);
    close(fd);
  }
  ASSERT_TRUE(ComOpen(2, 9600, 8, 'o', 1));
  ASSERT_TRUE(ComOpen(2, 57600, 7, 'E', 2)) << "a second opener only counts";
  EXPECT_EQ(RsIo[2].ComRefCnt, 2);
  EXPECT_EQ(cfgetospeed(&RsIo[2].TIo), speed_t(B9600)) << "first opener's settings stay";
  struct termios now = SlaveSettings(port);
  EXPECT_EQ(cfgetospeed(&now), speed_t(B9600));
  EXPECT_TRUE(ComClose(2));
  EXPECT_TRUE(ComIsInit(2));
  EXPECT_EQ(SlaveSettings(port).c_cc[VTIME], 5);
  EXPECT_TRUE(ComClose(2));
  EXPECT_FALSE(ComIsInit(2));
  struct termios t = SlaveSettings(port);
  EXPECT_EQ(t.c_cc[VTIME], 7) << "settings found at open are put back";
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), tcflag_t(ICANON | ECHO));
  EXPECT_EQ(cfgetospeed(&t), speed_t(B2400));
  // Closing a closed port touches nothing and the count stays at 0.
  EXPECT_TRUE(ComClose(2));
  EXPECT_EQ(RsIo[2].ComRefCnt, 0);
  EXPECT_LT(RsIo[2].hCom, 0) << "a closed port's descriptor is never used again";
  EXPECT_STREQ(RsIo[2].DevName, port.pty.slave_name().c_str()) << "name survives the close";
}

TEST(ComCloseAll, ClosesEachOpenPortOnce) {
  s7test::PtyPort a(0), b(5);
  ASSERT_TRUE(ComOpen(0, 19200, 8, 'o', 1));
  ASSERT_TRUE(ComOpen(0, 19200, 8, 'o', 1));
  ASSERT_TRUE(ComOpen(0, 19200, 8, 'o', 1));
  ASSERT_TRUE(ComOpen(5, 19200, 8, 'E', 1));
  ComCloseAll();
  EXPECT_FALSE(ComIsInit(0));
  EXPECT_FALSE(ComIsInit(5));
  EXPECT_EQ(RsIo[0].ComRefCnt, 0);
  EXPECT_LT(RsIo[0].hCom, 0);
}

TEST(PortRange, NumbersOutsideTheTableAreRefused) {
  BYTE b = 0;
  for (int com : {-1, 16, 0x10000}) {
    EXPECT_FALSE(ComOpen(com, 19200, 8, 'o', 1));
    EXPECT_FALSE(ComIsInit(com));
    EXPECT_TRUE(ComClose(com));
    EXPECT_FALSE(ComTxC(com, 1));
    EXPECT_FALSE(ComRxC(com, &b));
    EXPECT_FALSE(ComWaitC(com, &b, 0));
    EXPECT_EQ(ComRxBlock(com, &b, 1), 0);
    EXPECT_FALSE(ComCInQ(com));
    EXPECT_EQ(ComSetTimeOut(com, 100), 0);
    ComClr(com);
    ComTxBreak(com, 1);
  }
}

TEST(NeverOpenedPort, DoesNotUseDescriptorZero) {
  // RsIo starts zeroed: hCom 0 would be standard input.
  BYTE b = 0;
  EXPECT_EQ(RsIo[7].hCom, 0);
  EXPECT_FALSE(ComTxC(7, 'A'));
  EXPECT_FALSE(ComRxC(7, &b));
  EXPECT_FALSE(ComCInQ(7));
  EXPECT_EQ(ComSetTimeOut(7, 0), 0);
}

TEST(Transmit, LowEightBitsOneByteEach) {
  s7test::PtyPort port(0);
  ASSERT_TRUE(ComOpen(0, 19200, 8, 'o', 1));
  EXPECT_TRUE(ComTxC(0, 0x141));
  EXPECT_TRUE(ComTxC(0, 0x10));
  EXPECT_TRUE(ComTxC(0, -1));
  EXPECT_EQ(s7sim::read_until_quiet(port.master(), 100), (std::vector<uint8_t>{0x41, 0x10, 0xFF}));
  ComClose(0);
}

TEST(Receive, BufferLookAheadAndFlush) {
  s7test::PtyPort port(0);
  ASSERT_TRUE(ComOpen(0, 19200, 8, 'o', 1));
  RS232 &p = RsIo[0];
  BYTE b = 0;

  Send(port, {'A', 'B', 'C'});
  ASSERT_TRUE(ComRxC(0, &b));
  EXPECT_EQ(b, 'A');
  EXPECT_EQ(p.RxIn, 3) << "one read fetched the burst";
  EXPECT_EQ(p.RxOut, 1);
  EXPECT_TRUE(ComCInQ(0)) << "buffered bytes count as waiting";
  EXPECT_FALSE(p.bUnget);
  ASSERT_TRUE(ComWaitC(0, &b, 9));
  EXPECT_EQ(b, 'B');
  ASSERT_TRUE(ComRxC(0, &b));
  EXPECT_EQ(b, 'C');
  EXPECT_EQ(p.RxIn, 0);
  EXPECT_EQ(p.RxOut, 0);

  // A peeked byte is held, not lost, and comes before anything buffered.
  EXPECT_FALSE(ComCInQ(0));
  Send(port, {'X', 'Y'});
  EXPECT_TRUE(ComCInQ(0));
  EXPECT_TRUE(p.bUnget);
  EXPECT_EQ(p.UngetC, 'X');
  EXPECT_TRUE(ComCInQ(0)) << "the held byte answers without reading again";
  ASSERT_TRUE(ComWaitC(0, &b, 0));
  EXPECT_EQ(b, 'X');
  EXPECT_FALSE(p.bUnget);
  ASSERT_TRUE(ComRxC(0, &b));
  EXPECT_EQ(b, 'Y');

  // ComClr drops the look-ahead, the buffer and what waits in the device.
  Send(port, {'1', '2', '3'});
  ASSERT_TRUE(ComRxC(0, &b));
  Send(port, {'4'});
  ASSERT_TRUE(ComCInQ(0));
  ComClr(0);
  EXPECT_FALSE(p.bUnget);
  EXPECT_EQ(p.RxIn, 0);
  EXPECT_EQ(p.RxOut, 0);
  Send(port, {'5'});
  ComClr(0);
  EXPECT_FALSE(ComCInQ(0));
  ComSetTimeOut(0, 0);
  EXPECT_FALSE(ComRxC(0, &b));
  ComClose(0);
}

TEST(Receive, RxBlockStopsAtFirstMissingByte) {
  s7test::PtyPort port(0);
  ASSERT_TRUE(ComOpen(0, 19200, 8, 'o', 1));
  BYTE buf[8] = {};
  Send(port, {1, 2, 3, 4, 5});
  EXPECT_EQ(ComRxBlock(0, buf, 3), 3);
  EXPECT_EQ(buf[2], 3);
  EXPECT_EQ(ComRxBlock(0, buf, 0), 0);
  auto t0 = Clock::now();
  EXPECT_EQ(ComRxBlock(0, buf, 5), 2);
  EXPECT_EQ(buf[0], 4);
  EXPECT_EQ(buf[1], 5);
  EXPECT_NEAR(SecondsSince(t0), 0.5, 0.25) << "9 ticks are one read of 0.5 s";
  ComClose(0);
}

TEST(ReadTimeOut, SetReadBackAndWaitCounts) {
  s7test::PtyPort port(0);
  ASSERT_TRUE(ComOpen(0, 19200, 8, 'o', 1));
  EXPECT_EQ(ComSetTimeOut(0, 250), 500);
  EXPECT_EQ(RsIo[0].Timeout, 250);
  EXPECT_EQ(RsIo[0].TIo.c_cc[VTIME], 2);
  EXPECT_EQ(SlaveSettings(port).c_cc[VTIME], 2);
  EXPECT_EQ(ComSetTimeOut(0, 30000), 200) << "read back from the device: a multiple of 100";
  EXPECT_EQ(RsIo[0].Timeout, 25500) << "limited to what VTIME holds";
  EXPECT_EQ(SlaveSettings(port).c_cc[VTIME], 255);
  EXPECT_EQ(ComSetTimeOut(0, 500), 25500);

  BYTE b;
  // Time 0 still makes one read attempt of 0.5 s.
  auto t0 = Clock::now();
  EXPECT_FALSE(ComWaitC(0, &b, 0));
  EXPECT_NEAR(SecondsSince(t0), 0.5, 0.25);
  // 40 ticks: 4 attempts, 2 s.
  t0 = Clock::now();
  EXPECT_FALSE(ComWaitC(0, &b, 40));
  EXPECT_NEAR(SecondsSince(t0), 2.0, 0.4);
  // A byte that arrives during the wait ends it at once.
  std::thread late([&] {
    usleep(700000);
    uint8_t x = 0x55;
    s7sim::write_all(port.master(), std::span<const uint8_t>(&x, 1));
  });
  t0 = Clock::now();
  EXPECT_TRUE(ComWaitC(0, &b, 40));
  EXPECT_EQ(b, 0x55);
  EXPECT_LT(SecondsSince(t0), 1.2);
  late.join();
  // A time-out of 0 ms: one attempt that returns at once, no division by zero.
  ComSetTimeOut(0, 0);
  EXPECT_EQ(RsIo[0].Timeout, 0);
  t0 = Clock::now();
  EXPECT_FALSE(ComWaitC(0, &b, 140));
  EXPECT_LT(SecondsSince(t0), 0.2);
  ComClose(0);
}

TEST(ReadTimeOut, DeviceThatIsNotATerminal) {
  char dev[] = "/dev/null";
  ASSERT_EQ(ComSetDevName(6, dev), 0);
  ASSERT_TRUE(ComOpen(6, 19200, 8, 'o', 1)) << "settings that cannot be applied are ignored";
  EXPECT_EQ(ComSetTimeOut(6, 0), 500) << "the stored time-out, device left alone";
  EXPECT_EQ(RsIo[6].Timeout, 500);
  ComClose(6);
}

TEST(Delays, MillisecondsAreSixteenBitsAndTicksAre55ms) {
  auto t0 = Clock::now();
  DelayMS(65536 + 30);  // taken modulo 65536
  EXPECT_NEAR(SecondsSince(t0), 0.030, 0.02);
  t0 = Clock::now();
  ComDelay(2);
  EXPECT_NEAR(SecondsSince(t0), 0.110, 0.03);
  t0 = Clock::now();
  ComDelay(-5);
  DelayMS(0);
  EXPECT_LT(SecondsSince(t0), 0.01);
  ComBreak5MS(0, 1);  // does nothing, not even on a closed port
}

}  // namespace
