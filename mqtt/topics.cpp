#include "topics.hpp"

#include <cmath>
#include <ctime>

#include "tagvalue.hpp"

namespace s7mqtt {

Reading ValueOf(const S7TAGADDR &addr, const void *buf) {
  Reading r;
  r.text = s7tag::FormatTagValues(addr, buf);
  r.json = Json::parse(s7tag::JsonTagValues(addr, buf), nullptr, false);
  if (r.json.is_discarded()) r.json = r.text;  // not expected: the core writes JSON
  return r;
}

bool Changed(const Json &last, const Json &now, double deadband) {
  if (last.is_number() && now.is_number())
    return std::fabs(now.get<double>() - last.get<double>()) > deadband ||
           (deadband == 0 && now != last);
  if (last.is_array() && now.is_array() && last.size() == now.size()) {
    for (size_t i = 0; i < now.size(); ++i)
      if (Changed(last[i], now[i], deadband)) return true;
    return false;
  }
  return last != now;
}

std::string IsoTime(SysTime t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char b[80];
  std::snprintf(b, sizeof b, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  return b;
}

bool ShouldPublish(const TagState &s, const Json &now, double deadband, double t, double republish) {
  return s.at < -1e299 || !s.good || Changed(s.published, now, deadband) || t - s.at >= republish;
}

TopicMap::TopicMap(const Config &cfg) : cfg_(cfg), node_(cfg.broker.client_id) {}

std::string TopicMap::payload(const Reading &value, SysTime t, bool good) const {
  if (cfg_.payload == Payload::Plain) return value.text;
  return Json{{"value", value.json}, {"time", IsoTime(t)}, {"quality", good ? "good" : "bad"}}.dump();
}

TopicMap::SetTarget TopicMap::set_target(std::string_view topic, bool retained) const {
  const std::string head = cfg_.topic + "/", tail = "/set";
  if (topic.size() <= head.size() + tail.size() || !topic.starts_with(head) || !topic.ends_with(tail))
    return {};
  const std::string_view name = topic.substr(head.size(), topic.size() - head.size() - tail.size());
  for (size_t i = 0; i < cfg_.tags.size(); ++i) {
    if (cfg_.tags[i].name != name) continue;
    if (!cfg_.tags[i].writable) return {i, "tag " + cfg_.tags[i].name + " is not writable"};
    if (retained) return {i, "a retained set is never written (it would be again on every start)"};
    return {i, ""};
  }
  return {std::nullopt, "no tag named \"" + std::string(name) + "\" is configured"};
}

std::string TopicMap::set_text(std::string_view payload) {
  if (!payload.starts_with("{")) return std::string(payload);
  const Json j = Json::parse(payload, nullptr, false);
  if (j.is_discarded() || !j.is_object() || !j.contains("value")) return std::string(payload);
  const Json &v = j["value"];
  if (v.is_string()) return v.get<std::string>();
  if (v.is_array()) {  // elements of an array tag, as the core takes them: joined by commas
    std::string s;
    for (const Json &e : v) {
      if (!s.empty()) s += ',';
      s += e.is_string() ? e.get<std::string>() : e.dump();
    }
    return s;
  }
  return v.dump();
}

namespace {

const char *Component(const TagConfig &t) {
  const bool scalar = t.addr.Count == 1;
  if (scalar && t.addr.Type == S7TAG_BOOL) return t.writable ? "switch" : "binary_sensor";
  const s7tag::ValueKind k = s7tag::KindOf(t.addr);
  if (scalar && t.writable && (k == s7tag::ValueKind::Integer || k == s7tag::ValueKind::Real))
    return "number";
  return "sensor";
}

// The range a number entity offers for writing.
void Range(const S7TAGADDR &a, Json &j) {
  double lo = 0, hi = 0, step = 1;
  switch (a.Type) {
    case S7TAG_BYTE: hi = 255; break;
    case S7TAG_WORD: hi = 65535; break;
    case S7TAG_INT: lo = -32768, hi = 32767; break;
    case S7TAG_DWORD: hi = 4294967295.0; break;
    case S7TAG_DINT: lo = -2147483648.0, hi = 2147483647; break;
    case S7TAG_REAL: lo = -3.4e38, hi = 3.4e38, step = 0.001; break;
    case S7TAG_TIMER: hi = 9990000, step = 10; break;
    case S7TAG_COUNTER: hi = 999; break;
  }
  j["min"] = lo, j["max"] = hi, j["step"] = step, j["mode"] = "box";
}

}  // namespace

std::string TopicMap::discovery_topic(size_t tag) const {
  return cfg_.discovery_prefix + "/" + Component(cfg_.tags[tag]) + "/" + node_ + "/" + cfg_.tags[tag].name +
         "/config";
}

std::string TopicMap::discovery_filter() const { return cfg_.discovery_prefix + "/+/" + node_ + "/+/config"; }

std::vector<Message> TopicMap::discovery() const {
  std::vector<Message> out;
  for (size_t i = 0; i < cfg_.tags.size(); ++i) {
    const TagConfig &t = cfg_.tags[i];
    const std::string comp = Component(t);
    Json j = {{"name", t.name},
              {"unique_id", node_ + "_" + t.name},
              {"state_topic", value(i)},
              {"availability_topic", status()},
              {"payload_available", "online"},
              {"payload_not_available", "offline"},
              {"device", {{"identifiers", {node_}}, {"name", node_}, {"model", "s7mqtt"}}}};
    const bool json = cfg_.payload == Payload::Json;
    if (comp == "switch" || comp == "binary_sensor") {
      j["payload_on"] = "true", j["payload_off"] = "false";
      if (json) j["value_template"] = "{{ 'true' if value_json.value else 'false' }}";
    } else if (json) {
      j["value_template"] = "{{ value_json.value }}";
    }
    if (comp == "switch" || comp == "number") j["command_topic"] = value(i) + "/set";
    if (comp == "number") Range(t.addr, j);
    out.push_back({discovery_topic(i), j.dump()});
  }
  return out;
}

bool TopicMap::stale_discovery(std::string_view topic, size_t payload_len) const {
  if (payload_len == 0) return false;  // already cleared
  const std::string head = cfg_.discovery_prefix + "/";
  const std::string mid = "/" + node_ + "/";
  if (!topic.starts_with(head) || !topic.ends_with("/config")) return false;
  const size_t m = topic.find(mid, head.size());
  if (m == std::string_view::npos) return false;
  if (!cfg_.homeassistant) return true;  // discovery switched off: every one goes
  for (size_t i = 0; i < cfg_.tags.size(); ++i)
    if (topic == discovery_topic(i)) return false;
  return true;
}

}  // namespace s7mqtt
