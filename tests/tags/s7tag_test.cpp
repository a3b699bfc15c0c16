// s7tag as its own process against the simulator program, rows in order on one
// PLC: the exit status, standard output exactly (times as @T), standard error
// containing the row's text (empty when the row has none).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "kesto.h"

TEST(S7Tag, ExitStatusesAndOutput) {
  const std::string sim_path = S7SIM_PATH, err_file = testing::TempDir() + "s7tag_err";
  FILE *sim = popen(("echo $$; exec " + sim_path + " --set MB10=7 --set T3=0x2127").c_str(), "r");
  char pid[16] = "", dev[64] = "";
  ASSERT_TRUE(fgets(pid, sizeof pid, sim) && fgets(dev, sizeof dev, sim));
  const std::string d = sim_path.substr(0, sim_path.rfind('/') + 1) + "s7tag --device " +
                        std::string(dev, std::strlen(dev) - 1);
  const std::string j = "{\"time\": \"@T\", \"tag\": ", s = "'DB1.DBB4:STRING[6]'";
  const struct {
    std::string args, out, err;
    int status;
  } rows[] = {
      {" write DB1.DBW2=0xBEEF M10.3=1 'DB1.DBB4:STRING[6]=a b,c' DB1.DBD12:REAL=0.1", "", "", 0},
      {" read MB10 T3 M10.0 'DB1.DBB2[2]' DB1.DBW2 " + s + " DB1.DBD12:REAL",
       "MB10 = 15\nT3 = 127000\nM10.0 = true\nDB1.DBB2[2] = 190,239\nDB1.DBW2 = 48879\n"
       "DB1.DBB4:STRING[6] = a b,c\nDB1.DBD12:REAL = 0.1\n",
       "", 0},
      {" read MB10 DB99.DBW0", "MB10 = 15\n", std::string("DB99.DBW0: ") + KS7ErrText(0x0A), 1},
      {" watch --count 2 --interval 0.05 --format csv MB10 'DB1.DBB2[2]'",
       "time,MB10,DB1.DBB2[2]\n@T,15,\"190,239\"\n@T,15,\"190,239\"\n", "", 0},
      {" watch --count 2 --interval 0.05 --format json MB10 " + s,
       j + "\"MB10\", \"value\": 15}\n" + j + "\"DB1.DBB4:STRING[6]\", \"value\": \"a b,c\"}\n", "",
       0},
      {" watch --count 2 --interval 0.05 M10.3", "@T M10.3 = true\n", "", 0},
      {" read DB1.DBQ0", "", "\"DB1.DBQ0\", character 7: ", 2},
      {" write DB1.DBB0=256", "", "256 is out of range for BYTE (0 to 255)", 2},
      {" write DB1.DBB0=12x", "", "\"12x\" is not a whole number", 2},
      {" read", "", "read needs at least one tag", 2},
      {" read --count 2 MB0", "", "belong to watch", 2},
      {" --plc 9 read MB0", "", "the PLC was not reached: ", 3},
      {" read MB0 --device /dev/s7serial-none", "", "cannot open /dev/s7serial-none: ", 3},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.args);
    FILE *p = popen((d + r.args + " 2>" + err_file).c_str(), "r");
    std::string out;
    for (int c; (c = fgetc(p)) != EOF;) out += static_cast<char>(c);
    EXPECT_EQ(WEXITSTATUS(pclose(p)), r.status);
    std::stringstream err;
    err << std::ifstream(err_file).rdbuf();
    EXPECT_EQ(std::regex_replace(out, std::regex(R"(\d{4}-\d\d-\d\dT[0-9:.]{12}Z)"), "@T"), r.out);
    EXPECT_TRUE(r.err.empty() ? err.str().empty() : err.str().find(r.err) != std::string::npos)
        << err.str();
  }
  kill(std::atoi(pid), SIGTERM);
  pclose(sim);
}
