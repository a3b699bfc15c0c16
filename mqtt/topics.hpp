// s7mqtt's decisions without I/O: which topics carry what, when a value is
// published, what the payloads look like, which `set` is taken, and the
// Home Assistant discovery messages.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config.hpp"

namespace s7mqtt {

using Json = nlohmann::json;
using SysTime = std::chrono::system_clock::time_point;

// A tag's value as read from its buffer: as JSON (a number, true/false, a
// string, null for a real that is not finite, or an array of them) and as
// the plain text of the tag value core.
struct Reading {
  Json json;
  std::string text;
};
Reading ValueOf(const S7TAGADDR &addr, const void *buf);

// True when `now` differs from `last` by more than `deadband` (numbers,
// element by element) or at all (anything else).
bool Changed(const Json &last, const Json &now, double deadband);

// "2026-12-08T03:20:00.123Z"
std::string IsoTime(SysTime t);

// What one tag has had published, and the decision for a new reading.
struct TagState {
  bool have = false;  // a value has been read
  Reading value;      // the last value read
  Json published;     // the last value published
  double at = -1e300; // when it was published (seconds, monotonic); none yet
  bool good = false;  // the last publication carried quality good
  int refused = 0;    // the PLC's code while it refuses the tag, else 0
};
// Publish `now` (read at monotonic second `t`)? When nothing was published
// yet, when it changed beyond the deadband, when the last publication was bad
// or `republish` seconds ago.
bool ShouldPublish(const TagState &s, const Json &now, double deadband, double t, double republish);

struct Message {
  std::string topic, payload;
};

class TopicMap {
 public:
  explicit TopicMap(const Config &cfg);

  std::string status() const { return cfg_.topic + "/status"; }
  std::string value(size_t tag) const { return cfg_.topic + "/" + cfg_.tags[tag].name; }
  std::string result(size_t tag) const { return value(tag) + "/result"; }
  std::string set_filter() const { return cfg_.topic + "/+/set"; }

  // The payload of a tag's value: the plain text, or JSON with the time and
  // the quality.
  std::string payload(const Reading &value, SysTime t, bool good) const;

  // The tag a message on `topic` is meant to write: its index, and the
  // reason for refusing it when it is refused (a configured tag keeps its
  // index then, for the result). No tag and no reason: not a set topic.
  struct SetTarget {
    std::optional<size_t> tag;
    std::string refusal;
  };
  SetTarget set_target(std::string_view topic, bool retained) const;
  // The text a set payload carries: itself, or with JSON payloads also the
  // "value" of an object {"value": ...}.
  static std::string set_text(std::string_view payload);

  // Home Assistant: one retained configuration message per tag; the filter
  // that covers every discovery topic of this client; and whether a
  // (retained) message seen on it belongs to a tag no longer configured and
  // is to be cleared with an empty retained message.
  std::vector<Message> discovery() const;
  std::string discovery_filter() const;
  bool stale_discovery(std::string_view topic, size_t payload_len) const;

 private:
  std::string discovery_topic(size_t tag) const;
  const Config &cfg_;
  std::string node_;  // the client id as a discovery node id
};

}  // namespace s7mqtt
