// Helpers shared by the tests: a pty wired to one of the library's ports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pty.hpp"

namespace s7test {

// A new pty whose slave the library opens as serial port `com`.
struct PtyPort {
  explicit PtyPort(int com = 0);
  s7sim::Pty pty;
  int com;
  int master() const { return pty.master(); }
};

// Bytes as text "02 10 03" for readable assertion messages.
std::string hex(const std::vector<uint8_t> &bytes);

}  // namespace s7test
