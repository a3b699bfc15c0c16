#include "testutil.hpp"

#include <cstdio>

#include "rs232.h"

namespace s7test {

PtyPort::PtyPort(int c) : com(c) {
  std::string name = pty.slave_name();
  ComSetDevName(static_cast<DWORD>(com), name.data());
}

std::string hex(const std::vector<uint8_t> &bytes) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
    s += b;
  }
  return s;
}

}  // namespace s7test
