#include "pty.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace s7sim {

Pty::Pty() {
  char name[256] = {};
  struct termios raw {};
  cfmakeraw(&raw);
  raw.c_cflag |= CREAD | CLOCAL;
  if (openpty(&master_, &slave_, name, &raw, nullptr) != 0)
    throw std::runtime_error("openpty failed");
  slave_name_ = name;
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty() {
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

LinkedPty::LinkedPty(std::string link) : link_(std::move(link)) { plug(); }

LinkedPty::~LinkedPty() { unlink(link_.c_str()); }

int LinkedPty::master() const { return pty_ ? pty_->master() : -1; }

void LinkedPty::unplug() {
  unlink(link_.c_str());
  pty_.reset();
}

void LinkedPty::plug() {
  if (pty_) return;
  pty_ = std::make_unique<Pty>();
  // a new link beside the old path, renamed over it: the path never dangles
  const std::string tmp = link_ + ".new";
  unlink(tmp.c_str());
  if (symlink(pty_->slave_name().c_str(), tmp.c_str()) != 0 ||
      rename(tmp.c_str(), link_.c_str()) != 0)
    throw std::runtime_error("cannot link " + link_ + ": " + std::strerror(errno));
}

bool read_byte(int fd, uint8_t &b, int timeout_ms) {
  struct pollfd p {
    fd, POLLIN, 0
  };
  for (;;) {
    int r = poll(&p, 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t n = read(fd, &b, 1);
    if (n == 1) return true;
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return false;
  }
}

std::vector<uint8_t> read_until_quiet(int fd, int quiet_ms) {
  std::vector<uint8_t> out;
  uint8_t b;
  while (read_byte(fd, b, quiet_ms)) out.push_back(b);
  return out;
}

bool write_all(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void drain(int fd) {
  uint8_t b;
  while (read_byte(fd, b, 0)) {
  }
}

}  // namespace s7sim
