// s7sim: a simulated MPI PC adapter with S7 PLC stations behind it, or a
// simulated S7-200 on a PPI line, on a new pseudo-terminal (or on a given
// serial device). Prints the device path the library should open, then runs
// until SIGINT or SIGTERM.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <bit>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "device.hpp"

namespace {

constexpr const char *kUsage = R"(usage: s7sim [options]

Simulates an MPI PC adapter with S7 PLC stations behind it (default), or an
S7-200 on a PPI line (--ppi), on a new pseudo-terminal. The first line on
standard output is the device to hand the library (s7demo takes it as an
argument, e.g. "s7demo /dev/pts/5"). Runs until interrupted (Ctrl-C).

  --station N      a PLC station at bus address N (repeatable; default: one
                   station at 2). --db and --set apply to the last one named.
  --ppi            an S7-200 over PPI instead of the MPI adapter (one station)
  --device PATH    serve an existing serial device instead of a new pty
  --link PATH      serve the pty under PATH, a symbolic link (printed as the
                   device). SIGUSR1 unplugs it (the pty closes, the link goes:
                   the library sees the device vanish), SIGUSR2 plugs it back
                   (a new pty under the same link, the adapter or S7-200
                   starting afresh, memory kept)
  --db N:SIZE      data block N of SIZE bytes, zeroed (default: DB1 of 256
                   bytes when a station names no data block)
  --set ADDR=VAL   preset memory; VAL decimal or 0x hex, or a real such as 1.5
                   for a double word. ADDR is one of
                     DB<n>.DBB<o>  DB<n>.DBW<o>  DB<n>.DBD<o>   data block bytes
                     MB<o> MW<o> MD<o>      flags (F also names flags)
                     EB<o> EW<o> ED<o>      inputs (I also names inputs)
                     AB<o> AW<o> AD<o>      outputs (Q also names outputs)
                     T<n>  Z<n>  C<n>       timer / counter word as stored,
                                            e.g. T3=0x2127 is 127 s
  --cpu TEXT       identification text of the S7-200 (16 characters)
  --trace          print every block (PPI: every frame) on the line, decoded
  --baud N         pace the line like a real one at N baud (11 bits a character)
  --turnaround MS  the device's delay before each answer, in milliseconds
  --help           this text

example: s7sim --station 2 --db 1:256 --set DB1.DBW0=0x1234 --set MB10=7 --trace
)";

struct Preset {
  s7sim::Area area;
  int db = 0;
  size_t offset = 0;
  std::vector<uint8_t> bytes;  // big-endian, as the PLC holds them
  int counter_or_timer = -1;   // T/Z/C: the number; the word is in bytes
};

struct StationSetup {
  int addr = 2;
  std::vector<std::pair<int, size_t>> dbs;
  std::vector<Preset> presets;
};

struct Options {
  std::vector<StationSetup> stations;
  bool ppi = false;
  bool trace = false;
  s7sim::Pace pace;
  std::string device;
  std::string link;
  std::optional<std::string> cpu;
};

[[noreturn]] void Fail(const std::string &why) {
  std::cerr << "s7sim: " << why << "\n(s7sim --help lists the options)\n";
  std::exit(2);
}

// A whole decimal number in [lo, hi].
long Number(std::string_view text, long lo, long hi, const std::string &what) {
  const std::string s(text);
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || errno != 0 || *end != '\0' || v < lo || v > hi)
    Fail(what + ": \"" + s + "\" is not a number from " + std::to_string(lo) + " to " +
         std::to_string(hi));
  return v;
}

// The bytes of a value of `width` bytes (1, 2 or 4), big-endian.
std::vector<uint8_t> Value(const std::string &text, size_t width) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  uint32_t bits = 0;
  char *end = nullptr;
  errno = 0;
  if (!hex && width == 4 && text.find_first_of(".eE") != std::string::npos) {
    const float f = std::strtof(text.c_str(), &end);
    if (text.empty() || errno != 0 || *end != '\0') Fail("\"" + text + "\" is not a real");
    bits = std::bit_cast<uint32_t>(f);
  } else {
    const long long v = std::strtoll(text.c_str(), &end, 0);
    const long long max = width == 4 ? 0xFFFFFFFFLL : (1LL << (8 * width)) - 1;
    const long long min = width == 4 ? INT32_MIN : -(1LL << (8 * width - 1));
    if (text.empty() || errno != 0 || *end != '\0' || v < min || v > max)
      Fail("\"" + text + "\" does not fit " + std::to_string(width) + " byte(s)");
    bits = static_cast<uint32_t>(v);
  }
  std::vector<uint8_t> out;
  for (size_t i = width; i-- > 0;) out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  return out;
}

size_t Width(char kind) {
  switch (kind) {
    case 'B':
      return 1;
    case 'W':
      return 2;
    case 'D':
      return 4;
    default:
      return 0;
  }
}

Preset ParseSet(const std::string &text) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos) Fail("--set needs ADDR=VALUE, got \"" + text + "\"");
  std::string addr = text.substr(0, eq);
  const std::string value = text.substr(eq + 1);
  for (char &c : addr) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  Preset p{};
  if (addr.rfind("DB", 0) == 0) {
    const size_t dot = addr.find('.');
    if (dot == std::string::npos || addr.compare(dot + 1, 2, "DB") != 0 || addr.size() < dot + 5)
      Fail("data block address like DB1.DBW0, got \"" + addr + "\"");
    p.area = s7sim::Area::DB;
    p.db = static_cast<int>(Number(std::string_view(addr).substr(2, dot - 2), 0, 65535, "DB"));
    const size_t w = Width(addr[dot + 3]);
    if (w == 0) Fail("DBB, DBW or DBD, got \"" + addr + "\"");
    p.offset = static_cast<size_t>(
        Number(std::string_view(addr).substr(dot + 4), 0, 65535, "byte address"));
    p.bytes = Value(value, w);
    return p;
  }
  if (addr.size() >= 2 && (addr[0] == 'T' || addr[0] == 'Z' || addr[0] == 'C') &&
      addr.find_first_not_of("0123456789", 1) == std::string::npos) {
    p.area = addr[0] == 'T' ? s7sim::Area::Timers : s7sim::Area::Counters;
    p.counter_or_timer = static_cast<int>(
        Number(std::string_view(addr).substr(1), 0, 255, addr[0] == 'T' ? "timer" : "counter"));
    p.bytes = Value(value, 2);
    return p;
  }
  if (addr.size() >= 3) {
    switch (addr[0]) {
      case 'M':
      case 'F':
        p.area = s7sim::Area::Flags;
        break;
      case 'E':
      case 'I':
        p.area = s7sim::Area::Inputs;
        break;
      case 'A':
      case 'Q':
        p.area = s7sim::Area::Outputs;
        break;
      default:
        Fail("unknown memory area in \"" + addr + "\"");
    }
    const size_t w = Width(addr[1]);
    if (w == 0) Fail("B, W or D after the area letter, got \"" + addr + "\"");
    p.offset =
        static_cast<size_t>(Number(std::string_view(addr).substr(2), 0, 65535, "byte address"));
    p.bytes = Value(value, w);
    return p;
  }
  Fail("cannot read the address \"" + addr + "\"");
}

Options Parse(int argc, char **argv) {
  Options o;
  auto next = [&](int &i, const char *opt) -> std::string {
    if (i + 1 >= argc) Fail(std::string(opt) + " needs a value");
    return argv[++i];
  };
  auto current = [&]() -> StationSetup & {
    if (o.stations.empty()) o.stations.push_back(StationSetup{});
    return o.stations.back();
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else if (a == "--station") {
      StationSetup s;
      s.addr = static_cast<int>(Number(next(i, "--station"), 0, 126, "station address"));
      o.stations.push_back(s);
    } else if (a == "--ppi") {
      o.ppi = true;
    } else if (a == "--trace") {
      o.trace = true;
    } else if (a == "--baud") {
      o.pace.baud = static_cast<int>(Number(next(i, "--baud"), 300, 1000000, "baud rate"));
    } else if (a == "--turnaround") {
      o.pace.turnaround = std::chrono::milliseconds(
          Number(next(i, "--turnaround"), 0, 10000, "turnaround in milliseconds"));
    } else if (a == "--device") {
      o.device = next(i, "--device");
    } else if (a == "--link") {
      o.link = next(i, "--link");
    } else if (a == "--cpu") {
      o.cpu = next(i, "--cpu");
    } else if (a == "--db") {
      const std::string v = next(i, "--db");
      const size_t colon = v.find(':');
      if (colon == std::string::npos) Fail("--db needs N:SIZE, got \"" + v + "\"");
      const int n = static_cast<int>(Number(std::string_view(v).substr(0, colon), 0, 65535, "DB"));
      const auto size =
          static_cast<size_t>(Number(std::string_view(v).substr(colon + 1), 1, 65535, "DB size"));
      current().dbs.emplace_back(n, size);
    } else if (a == "--set") {
      current().presets.push_back(ParseSet(next(i, "--set")));
    } else {
      Fail("unknown option \"" + a + "\"");
    }
  }
  if (o.stations.empty()) o.stations.push_back(StationSetup{});
  if (o.ppi && o.stations.size() > 1) Fail("--ppi simulates one station");
  if (!o.link.empty() && !o.device.empty())
    Fail("--link serves a pty, --device a device: not both");
  for (size_t i = 0; i < o.stations.size(); ++i)
    for (size_t j = i + 1; j < o.stations.size(); ++j)
      if (o.stations[i].addr == o.stations[j].addr)
        Fail("station " + std::to_string(o.stations[i].addr) + " named twice");
  return o;
}

void Apply(s7sim::Plc &plc, const StationSetup &s, const Options &o) {
  if (s.dbs.empty()) plc.add_db(1, 256);
  for (const auto &[n, size] : s.dbs) plc.add_db(n, size);
  if (o.cpu) plc.set_cpu_text(*o.cpu);
  for (const Preset &p : s.presets) {
    try {
      if (p.counter_or_timer >= 0) {
        const auto word = static_cast<uint16_t>(p.bytes[0] << 8 | p.bytes[1]);
        if (p.area == s7sim::Area::Timers)
          plc.set_timer(p.counter_or_timer, word);
        else
          plc.set_counter(p.counter_or_timer, word);
      } else {
        plc.write_bytes(p.area, p.db, p.offset, p.bytes);
      }
    } catch (const std::exception &e) {
      Fail("station " + std::to_string(s.addr) + ": preset outside memory (" + e.what() + ")");
    }
  }
}

// An existing serial device, raw, for the simulator's end of the line.
int OpenDevice(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) Fail("cannot open " + path + ": " + std::strerror(errno));
  struct termios t {};
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
  }
  return fd;
}

std::mutex g_out;

void TraceLine(const std::string &line) {
  std::lock_guard lock(g_out);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  const Options o = Parse(argc, argv);

  // SIGINT and SIGTERM (and with --link SIGUSR1 and SIGUSR2) are taken by
  // sigwait below, in this thread only: block them before any simulator
  // thread starts, so that every thread inherits it.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  if (!o.link.empty()) {
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGUSR2);
  }
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::vector<std::unique_ptr<s7sim::Plc>> plcs;
  std::vector<s7sim::SimStation> stations;
  for (const StationSetup &s : o.stations) {
    plcs.push_back(std::make_unique<s7sim::Plc>());
    Apply(*plcs.back(), s, o);
    stations.push_back({s.addr, plcs.back().get()});
  }
  const std::function<void(const std::string &)> trace =
      o.trace ? std::function<void(const std::string &)>(TraceLine) : nullptr;

  // the device on a new pty, on one under a fixed path, or on a given device
  std::unique_ptr<s7sim::Pty> pty;
  std::unique_ptr<s7sim::Pluggable> pluggable;
  std::unique_ptr<s7sim::Device> device;
  int fd = -1;
  std::string path;
  try {
    if (!o.link.empty()) {
      pluggable = std::make_unique<s7sim::Pluggable>(o.link, o.ppi, stations, o.pace, trace);
      path = o.link;
    } else {
      if (o.device.empty()) {
        pty = std::make_unique<s7sim::Pty>();
        fd = pty->master();
        path = pty->slave_name();
      } else {
        fd = OpenDevice(o.device);
        path = o.device;
      }
      device = std::make_unique<s7sim::Device>(o.ppi, stations, o.pace, trace);
    }
  } catch (const std::exception &e) {
    Fail(e.what());
  }

  {
    std::lock_guard lock(g_out);
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
  }
  std::fprintf(stderr, "s7sim: %s with station(s)", o.ppi ? "S7-200 over PPI" : "MPI adapter");
  for (const StationSetup &s : o.stations) std::fprintf(stderr, " %d", s.addr);
  std::fprintf(stderr, " on %s; Ctrl-C ends\n", path.c_str());
  if (device) device->start(fd);

  for (int sig = 0; sigwait(&signals, &sig) == 0 && sig != SIGINT && sig != SIGTERM;) {
    if (sig == SIGUSR1 && pluggable->plugged()) {
      pluggable->unplug();
      std::fprintf(stderr, "s7sim: unplugged %s\n", path.c_str());
    } else if (sig == SIGUSR2 && !pluggable->plugged()) {
      try {
        pluggable->plug();
      } catch (const std::exception &e) {
        std::fprintf(stderr, "s7sim: %s\n", e.what());
        return 1;
      }
      std::fprintf(stderr, "s7sim: plugged %s in again\n", path.c_str());
    }
  }

  s7sim::Device &dev = pluggable ? pluggable->device() : *device;
  dev.stop();
  for (const std::string &v : dev.violations())
    std::fprintf(stderr, "s7sim: PC violated: %s\n", v.c_str());
  pluggable.reset();
  if (!pty && fd >= 0) close(fd);
  return 0;
}
