// Runs the programs under test as child processes, their standard input and
// output on pipes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "testutil.hpp"

namespace demotest {

struct Child {
  pid_t pid = -1;
  int in = -1;   // its standard input
  int out = -1;  // its standard output
};

Child Spawn(const char *path, std::vector<std::string> args);
// What arrives on fd until `until` (0: none), quiet_ms of silence or the end.
std::string Read(int fd, int quiet_ms, char until);
// The exit status, -2 when it had to be killed after 5 s.
int Wait(pid_t pid);
void Put(int fd, const std::string &s);

}  // namespace demotest
