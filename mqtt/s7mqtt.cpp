// s7mqtt: publishes the tags of one serial line's PLC on an MQTT broker and
// takes writes back from it for the tags the configuration marks writable.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>

#include "bridge.hpp"
#include "config.hpp"
#include "s7serial.h"

#ifndef S7SERIAL_VERSION
#define S7SERIAL_VERSION "unknown"
#endif

namespace {

constexpr const char *kUsage = R"(usage: s7mqtt [--check] [--trace] CONFIG

Publishes the PLC's tags named in the YAML file CONFIG on an MQTT broker:
each tag as a retained message on TOPIC/NAME when it changes (beyond its
deadband) and at least every `republish` seconds, TOPIC/status "online" or
"offline"; a message on TOPIC/NAME/set is written to the PLC for tags marked
`writable: true` only, with the outcome on TOPIC/NAME/result.

  --check    check the configuration and end (status 0 good, 2 not)
  --trace    the library's line trace and every MQTT message on standard error
  --help     this text
  --version  the program's version

Exit status: 0 after SIGINT or SIGTERM, 1 when the line or the broker client
could not be set up, 2 for bad usage or a bad configuration (with its line).
)";

[[noreturn]] void Usage(const std::string &why) {
  std::fprintf(stderr, "s7mqtt: %s\n(s7mqtt --help shows the usage)\n", why.c_str());
  std::exit(2);
}

bool ReadFile(const std::string &path, std::string &out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream s;
  s << f.rdbuf();
  out = s.str();
  return !f.bad();
}

}  // namespace

int main(int argc, char **argv) {
  bool check = false, trace = false;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("s7mqtt %s\n", S7SERIAL_VERSION);
      return 0;
    }
    if (a == "--check") check = true;
    else if (a == "--trace") trace = true;
    else if (a.starts_with("-")) Usage("unknown option \"" + std::string(a) + "\"");
    else if (!path.empty()) Usage("one configuration file only");
    else path = a;
  }
  if (path.empty()) Usage("the configuration file is missing");

  std::string text;
  if (!ReadFile(path, text)) {
    std::fprintf(stderr, "s7mqtt: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return 2;
  }
  const s7mqtt::ConfigResult r = s7mqtt::ParseConfig(text);
  if (!r.config) {
    std::fprintf(stderr, "s7mqtt: %s:%d: %s\n", path.c_str(), r.error.line, r.error.what.c_str());
    return 2;
  }
  const s7mqtt::Config &cfg = *r.config;
  if (check) {
    std::set<double> groups;
    for (const auto &t : cfg.tags) groups.insert(t.every);
    std::printf("%s: good: %zu tags in %zu polling groups, topic %s\n", path.c_str(), cfg.tags.size(),
                groups.size(), cfg.topic.c_str());
    return 0;
  }

  s7mqtt::RunOptions opt;
  opt.trace = trace;
  if (!cfg.broker.password_file.empty()) {
    if (!ReadFile(cfg.broker.password_file, opt.password)) {
      std::fprintf(stderr, "s7mqtt: cannot read the password file %s: %s\n", cfg.broker.password_file.c_str(),
                   std::strerror(errno));
      return 1;
    }
    opt.password = opt.password.substr(0, opt.password.find_first_of("\r\n"));
  }

  // Taken through a signalfd by the loop: blocked before any thread starts.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  signal(SIGPIPE, SIG_IGN);
  if (trace) S7SetTrace(S7TraceToStderr, nullptr);
  return s7mqtt::Run(cfg, opt);
}
