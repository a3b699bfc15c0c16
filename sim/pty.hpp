// Pseudo-terminal pair for the simulators and the tests: the library opens the
// slave by name as it would a serial device; the simulator works the master.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace s7sim {

class Pty {
 public:
  Pty();  // opens a new pair; throws std::runtime_error on failure
  ~Pty();
  Pty(const Pty &) = delete;
  Pty &operator=(const Pty &) = delete;

  int master() const { return master_; }
  const std::string &slave_name() const { return slave_name_; }

 private:
  int master_ = -1;
  int slave_ =
      -1;  // kept open so the master never sees a hang-up while the library closes and reopens
  std::string slave_name_;
};

// A pty served under a fixed path, a symbolic link to its slave, that can be
// unplugged and plugged back like a USB adapter: unplugging closes the pty
// (whoever holds the slave open gets EIO on write and a hang-up on read and
// poll) and removes the link; plugging back makes a new pty and points the
// link at it. The device simulated on the master must be started afresh on
// master() after each plug(), as a real adapter powers up anew.
class LinkedPty {
 public:
  explicit LinkedPty(std::string link);  // plugged; throws std::runtime_error on failure
  ~LinkedPty();                          // removes the link
  LinkedPty(const LinkedPty &) = delete;
  LinkedPty &operator=(const LinkedPty &) = delete;

  const std::string &link() const { return link_; }
  int master() const;  // -1 while unplugged
  bool plugged() const { return pty_ != nullptr; }
  void unplug();
  void plug();

 private:
  std::string link_;
  std::unique_ptr<Pty> pty_;
};

// Reads one byte from fd, waiting at most timeout_ms; false on silence or error.
bool read_byte(int fd, uint8_t &b, int timeout_ms);
// Reads whatever arrives until the line has been silent for quiet_ms.
std::vector<uint8_t> read_until_quiet(int fd, int quiet_ms);
// Writes all bytes (retrying short writes).
bool write_all(int fd, std::span<const uint8_t> bytes);
// Discards pending input on fd.
void drain(int fd);

}  // namespace s7sim
