// A scripted partner at the master side of a pty: a test script, running on
// its own thread, reads exactly what the library sends and answers byte by
// byte, with the 3964R framing where the script asks for it. Every byte read
// from the line is kept, so tests can check the exact bytes the library sent.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pty.hpp"
#include "testutil.hpp"

namespace s7test {

using Clock = std::chrono::steady_clock;
// Seconds since t0.
double Since(Clock::time_point t0);
// True when nothing arrives at `fd` within ms.
bool Silent(int fd, int ms = 50);

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kSTX = 0x02, kETX = 0x03, kDLE = 0x10, kNAK = 0x15;

// The data part of a 3964R block as it travels: every 0x10 doubled, DLE ETX,
// and the BCC over all of that (sent once) or, from 0 on, `bcc` in its place.
Bytes framed(const Bytes &data, int bcc = -1);
Bytes concat(std::initializer_list<Bytes> parts);

// FDL frames as a station sends them: SD1 (no data) and SD2 with LE = LEr.
Bytes sd1(uint8_t da, uint8_t sa, uint8_t fc);
Bytes sd2(uint8_t da, uint8_t sa, uint8_t fc, const Bytes &du);

// The partner's side of an exchange: every byte read from the line is kept.
struct Peer {
  // One byte from the line, waiting at most ms; nullopt on silence.
  std::optional<uint8_t> get(int ms = 3000);
  void problem(const std::string &what) { problems.push_back(what); }
  int fd;
  Bytes seen;                         // every byte read from the line, in order
  std::vector<Clock::time_point> at;  // when each was read
  std::vector<std::string> problems;  // what the script did not get as expected
};

using Script = std::function<void(Peer &)>;

// Runs `script` at the master side `fd` while `call` runs on this thread,
// fails the test if the script met anything unexpected, and returns the peer
// for checks of the bytes it saw.
Peer exchange(int fd, Script script, const std::function<void()> &call);

// "02 10 03" or "021003" as bytes, and bytes as "021003".
Bytes unhex(const std::string &text);
std::string plain(const Bytes &bytes);

// A script from steps separated by blanks:
//   <XX      expect byte XX             >HEX     put bytes
//   r[XX]    take a block, answer XX (10 unless given; 00: no answer)
//   r[XX]=H  the same, and the block must hold H
//   t=H      send block H (STX, DLE, data, DLE)   f=H   put H framed, no STX
//   sMS      the line must stay quiet for MS      qMS   drop what comes for MS
//   wMS      wait MS                          gN    take N bytes
Script play(const std::string &steps);

// A table's rows, one string each with its fields separated by '|'.
std::vector<std::vector<std::string>> table(const std::vector<std::string> &rows);

// Problems as one text for assertion messages.
std::string joined(const std::vector<std::string> &problems);

}  // namespace s7test
