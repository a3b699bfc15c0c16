// The simulator program s7sim as the try-it script uses it: started on its
// own pty, its first line names the device, s7demo runs against it, and the
// memory presets of its command line are what s7demo reads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "pty.hpp"

namespace {

// A child process with its standard input and output on pipes.
struct Child {
  pid_t pid = -1;
  int in = -1;   // its standard input
  int out = -1;  // its standard output
};

Child Spawn(const char *path, std::vector<std::string> args) {
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {};
  args.insert(args.begin(), path);
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    execv(path, argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  return {pid, in[1], out[0]};
}

// One line of the child's output (without its line end), waiting at most ms.
std::string Line(int fd, int ms) {
  std::string s;
  uint8_t c;
  while (s7sim::read_byte(fd, c, ms) && c != '\n') s += static_cast<char>(c);
  return s;
}

// Everything until the child closes its output, at most 30 s.
std::string All(int fd) {
  std::string s;
  uint8_t c;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline && s7sim::read_byte(fd, c, 30000))
    s += static_cast<char>(c);
  return s;
}

int Wait(pid_t pid) {
  int st = 0;
  for (int i = 0; i < 500; ++i) {  // at most 5 s
    if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &st, 0);
  return -2;
}

void Close(Child &c) {
  close(c.in);
  close(c.out);
}

TEST(S7SimProgram, ServesItsPresetsToTheConsoleProgramAndStopsOnSigterm) {
  Child sim = Spawn(S7SIM_PATH, {"--station", "2", "--db", "3:32", "--set", "DB3.DBW2=0x1234",
                                 "--set", "MB10=7", "--set", "Z4=0x0123", "--station", "6"});
  ASSERT_GT(sim.pid, 0);
  const std::string dev = Line(sim.out, 5000);
  ASSERT_EQ(dev.rfind("/dev/pts/", 0), 0u) << "first line: the device, got \"" << dev << "\"";

  Child demo = Spawn(S7DEMO_PATH, {dev});
  const std::string input =
      "2\n0\n"
      "4\n3\n1\n1\n\n"  // DB3 word 1, labelled with start + 2i
      "1\n10\n1\n\n"    // flag byte 10
      "9\n4\n1\n\n"     // counter 4
      "6\n"
      "0\n";
  s7sim::write_all(demo.in, std::span<const uint8_t>(
                                reinterpret_cast<const uint8_t *>(input.data()), input.size()));
  close(demo.in);
  demo.in = -1;
  const std::string out = All(demo.out);
  EXPECT_EQ(Wait(demo.pid), 1);
  EXPECT_NE(out.find("DW 001 = 1234               \n"), std::string::npos) << out;
  EXPECT_NE(out.find("MB 000 = 0007 \n"), std::string::npos) << out;
  EXPECT_NE(out.find("Z   4 = 123 \n"), std::string::npos) << out;
  EXPECT_NE(out.find("available MPI-members:\n2, 6, "), std::string::npos) << out;
  close(demo.out);

  kill(sim.pid, SIGTERM);
  EXPECT_EQ(Wait(sim.pid), 0) << "a clean end on SIGTERM";
  Close(sim);
}

TEST(S7SimProgram, RefusesOptionsItCannotCarryOut) {
  for (const std::vector<std::string> &args :
       std::vector<std::vector<std::string>>{{"--bogus"},
                                             {"--station", "127"},
                                             {"--db", "1"},
                                             {"--set", "MB2000=1"},  // outside the flags
                                             {"--set", "MB1=256"},   // does not fit a byte
                                             {"--set", "XB1=1"},
                                             {"--ppi", "--station", "2", "--station", "3"},
                                             {"--station", "2", "--station", "2"}}) {
    Child sim = Spawn(S7SIM_PATH, args);
    EXPECT_EQ(Wait(sim.pid), 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_EQ(All(sim.out), "") << "no device is offered";
    Close(sim);
  }
  Child help = Spawn(S7SIM_PATH, {"--help"});
  EXPECT_EQ(Wait(help.pid), 0);
  EXPECT_EQ(All(help.out).rfind("usage: s7sim", 0), 0u);
  Close(help);
}

}  // namespace
