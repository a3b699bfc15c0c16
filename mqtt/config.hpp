// s7mqtt's configuration: the YAML text made into a checked model, with the
// file's line number in every error. No I/O here: the text comes in, the
// model or the first error goes out.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "s7tags.h"

namespace s7mqtt {

struct LineConfig {
  std::string device;
  bool ppi = false;
  int plc = 2;
  int own = 0;
  int baud = 0;     // 0: 19200 for the MPI adapter, 9600 for PPI
  int timeout = 0;  // the library's wait in ticks of 55 ms; 0: its default
};

struct TlsConfig {
  std::string ca, cert, key;  // files; ca alone switches TLS on
};

struct BrokerConfig {
  std::string host = "localhost";
  int port = 1883;
  std::string client_id = "s7mqtt";
  std::string username;
  std::string password_file;  // the password is the file's first line
  TlsConfig tls;
  int keepalive = 30;
  int qos = 1;
};

enum class Payload { Plain, Json };

struct TagConfig {
  std::string name;
  std::string text;  // the tag as written, e.g. "DB10.DBD12:REAL"
  S7TAGADDR addr{};
  double every = 1.0;     // seconds between reads
  double deadband = 0.0;  // numbers: a change up to this is not published
  bool writable = false;
  int line = 0;  // where the entry starts in the file
};

struct Config {
  LineConfig line;
  BrokerConfig broker;
  std::string topic;  // prefix of every topic, without a trailing '/'
  Payload payload = Payload::Plain;
  double republish = 60.0;  // seconds: every value at least this often
  bool homeassistant = false;
  std::string discovery_prefix = "homeassistant";
  std::vector<TagConfig> tags;
};

struct ConfigError {
  int line = 0;  // 1-based; 0 when the error has no place in the file
  std::string what;
};

// Reads and checks the configuration text; the model, or the first error.
struct ConfigResult {
  std::optional<Config> config;
  ConfigError error;
};
ConfigResult ParseConfig(std::string_view yaml);

// True for the numeric value types (a deadband applies to them).
bool IsNumeric(const S7TAGADDR &a);

}  // namespace s7mqtt
