// The simulator program s7sim as the try-it script uses it: its first line
// names the device, s7demo runs against it and reads its memory presets.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "demo_run.hpp"

namespace {

using namespace demotest;

TEST(S7SimProgram, ServesItsPresetsToTheConsoleProgramAndStopsOnSigterm) {
  Child sim = Spawn(S7SIM_PATH, {"--station", "2", "--db", "3:32", "--set", "DB3.DBW2=0x1234",
                                 "--set", "MB10=7", "--set", "Z4=0x0123", "--station", "6"});
  std::string dev = Read(sim.out, 5000, '\n');
  ASSERT_EQ(dev.rfind("/dev/pts/", 0), 0u) << dev;
  dev.pop_back();
  Child demo = Spawn(S7DEMO_PATH, {dev});
  Put(demo.in, "2 0 4 3 1 1\n1 10 1\n9 4 1\n6\n0\n");
  close(demo.in);
  const std::string out = Read(demo.out, 20000, 0);
  EXPECT_EQ(Wait(demo.pid), 1);
  for (const char *line : {"DW 001 = 1234               \n", "MB 000 = 0007 \n", "Z   4 = 123 \n",
                           "available MPI-members:\n2, 6, "})
    EXPECT_NE(out.find(line), std::string::npos) << line << out;
  kill(sim.pid, SIGTERM);
  EXPECT_EQ(Wait(sim.pid), 0) << "a clean end on SIGTERM";
}

TEST(S7SimProgram, RefusesOptionsItCannotCarryOut) {
  const std::vector<std::vector<std::string>> bad = {{"--bogus"},
                                                     {"--station", "127"},
                                                     {"--db", "1"},
                                                     {"--set", "MB2000=1"},
                                                     {"--set", "MB1=256"},
                                                     {"--set", "XB1=1"},
                                                     {"--ppi", "--station", "2", "--station", "3"},
                                                     {"--station", "2", "--station", "2"}};
  for (const auto &args : bad) {
    Child sim = Spawn(S7SIM_PATH, args);
    EXPECT_EQ(Wait(sim.pid), 2) << args.back();
    EXPECT_EQ(Read(sim.out, 100, 0), "") << "no device is offered";
  }
  Child help = Spawn(S7SIM_PATH, {"--help"});
  EXPECT_EQ(Wait(help.pid), 0);
  EXPECT_EQ(Read(help.out, 100, 0).rfind("usage: s7sim", 0), 0u);
}

}  // namespace
