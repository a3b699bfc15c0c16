// s7tag: reads, writes and watches PLC variables by their usual addresses
// ("DB10.DBW4", "M20.3", "T5", "VW100", "DB10.DBB20:STRING[16]") over the
// serial line, all tags of a command in as few jobs as the path allows.
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kesto.h"
#include "s7com.h"
#include "s7serial.h"
#include "s7tags.h"
#include "tagvalue.hpp"

// The reason of a failed open comes with newer builds of the library; with
// an older one the open's result text stands alone.
#pragma weak ComOpenError

namespace {

constexpr int kOk = 0, kRefused = 1, kUsage = 2, kLine = 3;
constexpr DWORD kCom = 0;

constexpr const char *kHelp = R"(usage: s7tag --device PATH [options] read TAG...
       s7tag --device PATH [options] write TAG=VALUE...
       s7tag --device PATH [options] watch [--interval SECONDS] [--count N]
             [--format text|csv|json] TAG...

Reads, writes or watches PLC variables by their addresses, through an MPI
adapter or to an S7-200 over PPI; all tags of one command travel in as few
jobs on the line as the path allows.

  read      prints "TAG = value" for each tag, in the given order
  write     writes each value (all tags in as few jobs as possible)
  watch     polls the tags and prints a line per change with the time
            (ISO 8601, UTC); csv: a header and a row per poll; json: one
            object per change, {"time": ..., "tag": ..., "value": ...}

  --device PATH        the serial device (required)
  --ppi                an S7-200 over PPI instead of the MPI adapter
  --plc N              the PLC's station address (default 2)
  --own N              the PC's station address (default 0)
  --baud N             MPI adapter: 9600, 19200 (default), 38400, 57600,
                       115200; PPI: 9600 (default) or 19200
  --trace              the library's line trace on standard error
  --interval SECONDS   watch: time from one poll to the next (default 1)
  --count N            watch: stop after N polls (default: until interrupted)
  --format F           watch: text (default), csv or json
  --help, --version

Tags (any case): DB10.DBX4.3 DB10.DBB4 DB10.DBW4 DB10.DBD4; M20.3 MB20 MW20
MD20 (also F); I1.3 IB0 IW0 ID0 (also E); Q1.2 QB0 QW0 QD0 (also A); T5
(milliseconds); C3 or Z3; V100.3 VB100 VW100 VD100 (S7-200). Addresses are
byte addresses. A type may follow a colon: :BOOL :BYTE :CHAR :WORD :INT
:DWORD :DINT :REAL, :STRING[n] on a byte address; [n] reads n elements.

Values: whole numbers in decimal (writes also take 0x hex), reals as the
shortest text that reads back the same, BOOL true/false (writes take 1/0
too), strings as they are; the elements of an array separated by commas.

Exit status: 0 every tag done; 1 the PLC refused some tag (its error on
standard error); 2 bad usage, tag or value; 3 the line could not be opened
or the PLC not reached.
)";

struct Config {
  std::string device;
  bool ppi = false;
  int plc = 2, own = 0, baud = 0;
  bool trace = false;
  std::string command;
  std::vector<std::string> args;
  double interval = 1.0;
  long count = 0;  // 0: until interrupted
  std::string format = "text";
  bool watch_options = false;
};

[[noreturn]] void Usage(const std::string &why) {
  std::fprintf(stderr, "s7tag: %s\n(s7tag --help lists the options)\n", why.c_str());
  std::exit(kUsage);
}

long Number(std::string_view text, long lo, long hi, const char *what) {
  const std::string s(text);
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || errno || *end || v < lo || v > hi)
    Usage(std::string(what) + ": \"" + s + "\" is not a number from " + std::to_string(lo) +
          " to " + std::to_string(hi));
  return v;
}

Config Parse(int argc, char **argv) {
  Config c;
  auto next = [&](int &i) -> std::string_view {
    if (i + 1 >= argc) Usage(std::string(argv[i]) + " needs a value");
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a.rfind("--", 0) != 0) {
      if (c.command.empty())
        c.command = a;
      else
        c.args.emplace_back(a);
    } else if (a == "--help") {
      std::fputs(kHelp, stdout);
      std::exit(kOk);
    } else if (a == "--version") {
      std::printf("s7tag %s\n", S7SERIAL_VERSION);
      std::exit(kOk);
    } else if (a == "--device") {
      c.device = next(i);
    } else if (a == "--ppi") {
      c.ppi = true;
    } else if (a == "--plc") {
      c.plc = static_cast<int>(Number(next(i), 0, 126, "--plc"));
    } else if (a == "--own") {
      c.own = static_cast<int>(Number(next(i), 0, 126, "--own"));
    } else if (a == "--baud") {
      c.baud = static_cast<int>(Number(next(i), 1, 115200, "--baud"));
    } else if (a == "--trace") {
      c.trace = true;
    } else if (a == "--interval") {
      const std::string s(next(i));
      char *end = nullptr;
      c.interval = std::strtod(s.c_str(), &end);
      if (s.empty() || *end || !(c.interval >= 0.0 && c.interval <= 86400.0))
        Usage("--interval: \"" + s + "\" is not a number of seconds from 0 to 86400");
      c.watch_options = true;
    } else if (a == "--count") {
      c.count = Number(next(i), 1, 1000000000, "--count");
      c.watch_options = true;
    } else if (a == "--format") {
      c.format = next(i);
      if (c.format != "text" && c.format != "csv" && c.format != "json")
        Usage("--format: \"" + c.format + "\" is not text, csv or json");
      c.watch_options = true;
    } else {
      Usage("unknown option \"" + std::string(a) + "\"");
    }
  }
  if (c.command.empty()) Usage("no command (read, write or watch)");
  if (c.command != "read" && c.command != "write" && c.command != "watch")
    Usage("unknown command \"" + c.command + "\" (read, write or watch)");
  if (c.watch_options && c.command != "watch")
    Usage("--interval, --count and --format belong to watch");
  if (c.args.empty()) Usage(c.command + " needs at least one tag");
  if (c.device.empty()) Usage("--device is required");
  if (c.baud == 0) c.baud = c.ppi ? 9600 : 19200;
  if (c.ppi ? c.baud != 9600 && c.baud != 19200
            : c.baud != 9600 && c.baud != 19200 && c.baud != 38400 && c.baud != 57600 &&
                  c.baud != 115200)
    Usage("--baud: " + std::to_string(c.baud) + " is not a rate of the " +
          (c.ppi ? "PPI line (9600 or 19200)" : "MPI adapter (9600 to 115200)"));
  return c;
}

// One tag of the command: its text as given, its record and value buffer.
struct Tag {
  std::string text;
  S7TAGADDR addr{};
  std::vector<char> value;
};

std::vector<Tag> ParseTags(const Config &c) {
  std::vector<Tag> tags;
  for (const std::string &arg : c.args) {
    Tag t;
    std::string value;
    const size_t eq = arg.find('=');
    if (c.command == "write") {
      if (eq == std::string::npos) Usage("write takes TAG=VALUE, not \"" + arg + "\"");
      t.text = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    } else {
      t.text = arg;
    }
    char msg[160] = "";
    const int at = S7ParseTag(t.text.c_str(), &t.addr, msg, sizeof msg);
    if (at != 0) Usage("tag \"" + t.text + "\", character " + std::to_string(at) + ": " + msg);
    const int size = S7TagValueSize(&t.addr);
    if (size <= 0) Usage("tag \"" + t.text + "\" has no value buffer size");
    t.value.assign(static_cast<size_t>(size), 0);
    if (c.command == "write") {
      std::string err;
      if (s7tag::ParseTagValues(t.addr, value, t.value.data(), err) != 0)
        Usage("tag \"" + t.text + "\": " + err);
    }
    tags.push_back(std::move(t));
  }
  return tags;
}

// The records the library call takes, pointing into the tags' buffers.
std::vector<S7TAG> Records(std::vector<Tag> &tags) {
  std::vector<S7TAG> r(tags.size());
  for (size_t i = 0; i < tags.size(); ++i) {
    r[i].Addr = tags[i].addr;
    r[i].Value = tags[i].value.data();
  }
  return r;
}

std::string Text(LONG code) { return KS7ErrText(code); }

LONG Open(const Config &c) {
  if (KS7SetDevName(kCom, c.device.c_str()) != 0) Usage("--device: the name is too long");
  if (c.trace) S7SetTrace(S7TraceToStderr, nullptr);
  const LONG ref = KS7Open(kCom, static_cast<DWORD>(c.plc), static_cast<DWORD>(c.own),
                           static_cast<DWORD>(c.baud), c.ppi ? 200 : 300);
  if (ref >= 0) return ref;
  if (ref == -4) {
    char why[200] = "";
    if (ComOpenError && ComOpenError(static_cast<int>(kCom), why, sizeof why) != 0 && why[0])
      std::fprintf(stderr, "s7tag: cannot open %s: %s\n", c.device.c_str(), why);
    else
      std::fprintf(stderr, "s7tag: cannot open %s: %s\n", c.device.c_str(), Text(ref).c_str());
    std::exit(kLine);
  }
  std::fprintf(stderr, "s7tag: cannot use %s: %s\n", c.device.c_str(), Text(ref).c_str());
  std::exit(ref == -2 || ref == -3 ? kUsage : kLine);
}

// The exit status of one call with its tags' results, the failures told on
// standard error (`what` says what was not done).
int Report(LONG rc, const std::vector<Tag> &tags, const std::vector<S7TAG> &recs,
           const char *what) {
  int status = kOk;
  for (size_t i = 0; i < tags.size(); ++i) {
    const LONG r = recs[i].Result;
    if (r > 0) {
      std::fprintf(stderr, "s7tag: %s: %s\n", tags[i].text.c_str(), Text(r).c_str());
      status = kRefused;
    } else if (r < 0 && r != -1) {
      std::fprintf(stderr, "s7tag: %s: not %s: %s\n", tags[i].text.c_str(), what, Text(r).c_str());
      status = kRefused;
    }
  }
  if (rc < 0 || rc > 2) {
    std::fprintf(stderr, "s7tag: the PLC was not reached: %s\n", Text(rc).c_str());
    status = kLine;
  }
  return status;
}

int Read(LONG ref, std::vector<Tag> &tags) {
  std::vector<S7TAG> recs = Records(tags);
  const LONG rc = KS7ReadTags(ref, recs.data(), static_cast<LONG>(recs.size()));
  for (size_t i = 0; i < tags.size(); ++i)
    if (recs[i].Result == 0)
      std::printf("%s = %s\n", tags[i].text.c_str(),
                  s7tag::FormatTagValues(tags[i].addr, tags[i].value.data()).c_str());
  std::fflush(stdout);
  return Report(rc, tags, recs, "read");
}

int Write(LONG ref, std::vector<Tag> &tags) {
  std::vector<S7TAG> recs = Records(tags);
  const LONG rc = KS7WriteTags(ref, recs.data(), static_cast<LONG>(recs.size()));
  return Report(rc, tags, recs, "written");
}

// ---- watch ----

std::string Now() {
  const auto t = std::chrono::system_clock::now();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  const time_t s = static_cast<time_t>(ms / 1000);
  struct tm tm {};
  gmtime_r(&s, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms % 1000));
  return buf;
}

std::string Csv(const std::string &field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string s = "\"";
  for (char ch : field) s += ch == '"' ? std::string("\"\"") : std::string(1, ch);
  return s + "\"";
}

// Waits `seconds`, or less when SIGINT or SIGTERM arrives (they are blocked
// and taken here, so a library call is never interrupted). False: stop.
bool Pause(const sigset_t &stop, double seconds) {
  if (seconds < 0) seconds = 0;
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
  for (;;) {
    const int sig = sigtimedwait(&stop, nullptr, &ts);
    if (sig > 0) return false;
    if (errno == EAGAIN) return true;
    if (errno != EINTR) return true;
  }
}

int Watch(const Config &c, LONG ref, std::vector<Tag> &tags) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop, nullptr);

  const size_t n = tags.size();
  std::vector<std::vector<char>> last(n);  // empty: nothing shown yet
  std::vector<LONG> last_result(n, 0);
  bool line_down = false;
  int status = kOk;
  if (c.format == "csv") {
    std::string head = "time";
    for (const Tag &t : tags) (head += ',') += Csv(t.text);
    std::printf("%s\n", head.c_str());
    std::fflush(stdout);
  }
  for (long poll = 0; c.count == 0 || poll < c.count; ++poll) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<S7TAG> recs = Records(tags);
    const LONG rc = KS7ReadTags(ref, recs.data(), static_cast<LONG>(n));
    const std::string now = Now();
    std::string row = now;
    for (size_t i = 0; i < n; ++i) {
      const LONG r = recs[i].Result;
      const Tag &t = tags[i];
      if (r == 0) {
        (row += ',') += Csv(s7tag::FormatTagValues(t.addr, t.value.data()));
        if (last[i] != t.value) {
          last[i] = t.value;
          if (c.format == "text")
            std::printf("%s %s = %s\n", now.c_str(), t.text.c_str(),
                        s7tag::FormatTagValues(t.addr, t.value.data()).c_str());
          else if (c.format == "json")
            std::printf("{\"time\": \"%s\", \"tag\": %s, \"value\": %s}\n", now.c_str(),
                        s7tag::JsonQuote(t.text).c_str(),
                        s7tag::JsonTagValues(t.addr, t.value.data()).c_str());
        }
      } else {
        row += ",";
        if (r != -1 && r != last_result[i]) {
          std::fprintf(stderr, "s7tag: %s %s: %s\n", now.c_str(), t.text.c_str(), Text(r).c_str());
          last[i].clear();  // shown again when it is back
        }
        if (r != -1 && status < kRefused) status = kRefused;
      }
      last_result[i] = r;
    }
    const bool down = rc < 0 || rc > 2;
    if (down && !line_down)
      std::fprintf(stderr, "s7tag: %s the PLC was not reached: %s\n", now.c_str(),
                   Text(rc).c_str());
    else if (!down && line_down)
      std::fprintf(stderr, "s7tag: %s the PLC answers again\n", now.c_str());
    line_down = down;
    if (down) status = kLine;
    if (c.format == "csv") std::printf("%s\n", row.c_str());
    std::fflush(stdout);
    if (c.count != 0 && poll + 1 >= c.count) break;
    const double spent =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!Pause(stop, c.interval - spent)) break;
  }
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  const Config c = Parse(argc, argv);
  std::vector<Tag> tags = ParseTags(c);
  const LONG ref = Open(c);
  int status;
  if (c.command == "read")
    status = Read(ref, tags);
  else if (c.command == "write")
    status = Write(ref, tags);
  else
    status = Watch(c, ref, tags);
  KS7Close(ref);
  return status;
}
