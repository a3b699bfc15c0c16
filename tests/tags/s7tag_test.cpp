// The s7tag program as its own process against the simulator program: each
// row's standard output exactly (times as @T), a part of its standard error
// and its exit status; the rows run in order on one simulated PLC.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "kesto.h"

namespace {

TEST(S7Tag, ExitStatusesAndOutput) {
  const std::string sim_path = S7SIM_PATH,
                    tag = sim_path.substr(0, sim_path.rfind('/') + 1) + "s7tag";
  FILE *sim = popen(("echo $$; exec " + sim_path +
                     " --db 1:64 --set DB1.DBW0=0x1234 --set MB10=7 --set T3=0x2127")
                        .c_str(),
                    "r");
  char pid[16] = "", dev[64] = "";
  ASSERT_TRUE(fgets(pid, sizeof pid, sim) && fgets(dev, sizeof dev, sim));
  const std::string d = std::string(" --device ") + std::string(dev, std::strlen(dev) - 1);
  const std::string j = "{\"time\": \"@T\", \"tag\": ";
  const struct {
    std::string args;
    int status;
    std::string out, err;
  } rows[] = {
      {d + " read DB1.DBW0 MB10 T3 M10.0 'DB1.DBB0[2]'", 0,
       "DB1.DBW0 = 4660\nMB10 = 7\nT3 = 127000\nM10.0 = true\nDB1.DBB0[2] = 18,52\n", ""},
      {d + " write DB1.DBW2=0xBEEF M10.3=true 'DB1.DBB4:STRING[6]=a b,c' DB1.DBD12:REAL=0.1", 0, "",
       ""},
      {d + " read DB1.DBW2 MB10 'DB1.DBB4:STRING[6]' DB1.DBD12:REAL", 0,
       "DB1.DBW2 = 48879\nMB10 = 15\nDB1.DBB4:STRING[6] = a b,c\nDB1.DBD12:REAL = 0.1\n", ""},
      {d + " read DB1.DBW0 DB99.DBW0", 1, "DB1.DBW0 = 4660\n",
       std::string("s7tag: DB99.DBW0: ") + KS7ErrText(0x0A)},
      {d + " watch --count 2 --interval 0.05 --format csv MB10 DB1.DBW0", 0,
       "time,MB10,DB1.DBW0\n@T,15,4660\n@T,15,4660\n", ""},
      {d + " watch --count 2 --interval 0.05 --format json MB10 'DB1.DBB4:STRING[6]'", 0,
       j + "\"MB10\", \"value\": 15}\n" + j + "\"DB1.DBB4:STRING[6]\", \"value\": \"a b,c\"}\n", ""},
      {d + " watch --count 2 --interval 0.05 M10.3", 0, "@T M10.3 = true\n", ""},
      {d + " read DB1.DBQ0", 2, "", "character 7: "},
      {d + " write DB1.DBB0=256", 2, "", "256 is out of range for BYTE (0 to 255)"},
      {d + " read", 2, "", "read needs at least one tag"},
      {d + " read --count 2 MB0", 2, "", "belong to watch"},
      {" --device /dev/s7serial-none read MB0", 3, "", "cannot open /dev/s7serial-none: "},
      {d + " --plc 9 read MB0", 3, "", "the PLC was not reached: "},
  };
  const std::string err_file = testing::TempDir() + "s7tag_err";
  for (const auto &r : rows) {
    SCOPED_TRACE(r.args);
    FILE *p = popen((tag + r.args + " 2>" + err_file).c_str(), "r");
    std::string out;
    for (int c; (c = fgetc(p)) != EOF;) out += static_cast<char>(c);
    const int status = pclose(p);
    std::stringstream err;
    err << std::ifstream(err_file).rdbuf();
    EXPECT_EQ(WEXITSTATUS(status), r.status) << err.str();
    EXPECT_EQ(
        std::regex_replace(out, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)"), "@T"),
        r.out);
    EXPECT_TRUE(r.err.empty() ? err.str().empty() : err.str().find(r.err) != std::string::npos)
        << err.str();
  }
  kill(std::atoi(pid), SIGTERM);
  pclose(sim);
}

}  // namespace
