#include "config.hpp"

#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace s7mqtt {
namespace {

struct Bad {
  int line;
  std::string what;
};

int LineOf(const YAML::Node &n) { return n.Mark().line >= 0 ? n.Mark().line + 1 : 0; }

[[noreturn]] void Fail(const YAML::Node &n, std::string what) { throw Bad{LineOf(n), std::move(what)}; }

std::string Quoted(const std::string &s) { return "\"" + s + "\""; }

std::string Num(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%g", v);
  return b;
}

// The entries of a map, each key checked against the known ones (and given
// once only); `where` names the map in messages.
std::map<std::string, YAML::Node> Entries(const YAML::Node &map, const char *where,
                                          std::initializer_list<const char *> known) {
  if (!map.IsMap()) Fail(map, std::string(where) + " must be a map of keys and values");
  std::map<std::string, YAML::Node> out;
  for (const auto &kv : map) {
    const std::string key = kv.first.Scalar();
    bool ok = false;
    std::string list;
    for (const char *k : known) {
      ok = ok || key == k;
      list += list.empty() ? k : std::string(", ") + k;
    }
    if (!kv.first.IsScalar() || !ok)
      Fail(kv.first, "unknown key " + Quoted(key) + " in " + where + " (known: " + list + ")");
    if (out.count(key)) Fail(kv.first, "key " + Quoted(key) + " given twice in " + where);
    out[key] = kv.second;
  }
  return out;
}

std::string Text(const YAML::Node &n, const std::string &key) {
  if (!n.IsScalar()) Fail(n, key + " must be a single value");
  return n.Scalar();
}

std::string NonEmpty(const YAML::Node &n, const std::string &key) {
  std::string s = Text(n, key);
  if (s.empty()) Fail(n, key + " must not be empty");
  return s;
}

double Real(const YAML::Node &n, const std::string &key, double lo, double hi) {
  const std::string s = Text(n, key);
  char *end = nullptr;
  errno = 0;
  const double v = std::strtod(s.c_str(), &end);
  if (s.empty() || errno || *end || !std::isfinite(v) || v < lo || v > hi)
    Fail(n, key + ": " + Quoted(s) + " is not a number from " + Num(lo) + " to " + Num(hi));
  return v;
}

int Integer(const YAML::Node &n, const std::string &key, long lo, long hi) {
  const std::string s = Text(n, key);
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || errno || *end || v < lo || v > hi)
    Fail(n, key + ": " + Quoted(s) + " is not a whole number from " + std::to_string(lo) + " to " +
                std::to_string(hi));
  return static_cast<int>(v);
}

bool Flag(const YAML::Node &n, const std::string &key) {
  std::string s = Text(n, key);
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (s == "true" || s == "yes" || s == "on") return true;
  if (s == "false" || s == "no" || s == "off") return false;
  Fail(n, key + ": " + Quoted(Text(n, key)) + " is not true or false");
}

// Names and topic levels: what an MQTT topic level and a discovery id allow.
bool PlainName(const std::string &s) {
  if (s.empty() || s.size() > 64) return false;
  for (const unsigned char c : s)
    if (!std::isalnum(c) && c != '_' && c != '-') return false;
  return true;
}

std::string Topic(const YAML::Node &n) {
  const std::string t = NonEmpty(n, "topic");
  if (t.find_first_of("+#") != std::string::npos || t.front() == '/' || t.back() == '/' ||
      t.find("//") != std::string::npos || t.find('\0') != std::string::npos || t.size() > 200)
    Fail(n, "topic " + Quoted(t) + " must be levels joined by '/', without wildcards (+ #)");
  return t;
}

void ReadLine(const YAML::Node &node, LineConfig &c) {
  for (const auto &[k, v] : Entries(node, "line", {"device", "ppi", "plc", "own", "baud", "timeout"})) {
    if (k == "device") c.device = NonEmpty(v, k);
    if (k == "ppi") c.ppi = Flag(v, k);
    if (k == "plc") c.plc = Integer(v, k, 0, 126);
    if (k == "own") c.own = Integer(v, k, 0, 126);
    if (k == "baud") c.baud = Integer(v, k, 300, 115200);
    if (k == "timeout") c.timeout = Integer(v, k, 1, 65535);
  }
  if (c.device.empty()) Fail(node, "line needs a device");
  if (c.ppi && c.baud && c.baud != 9600 && c.baud != 19200)
    Fail(node["baud"], "PPI runs at 9600 or 19200 baud");
}

void ReadBroker(const YAML::Node &node, BrokerConfig &c) {
  for (const auto &[k, v] : Entries(node, "broker",
                                    {"host", "port", "client_id", "username", "password_file", "tls",
                                     "keepalive", "qos"})) {
    if (k == "host") c.host = NonEmpty(v, k);
    if (k == "port") c.port = Integer(v, k, 1, 65535);
    if (k == "client_id") c.client_id = NonEmpty(v, k);
    if (k == "username") c.username = NonEmpty(v, k);
    if (k == "password_file") c.password_file = NonEmpty(v, k);
    if (k == "keepalive") c.keepalive = Integer(v, k, 5, 65535);
    if (k == "qos") c.qos = Integer(v, k, 0, 2);
    if (k == "tls") {
      for (const auto &[tk, tv] : Entries(v, "tls", {"ca", "cert", "key"})) {
        if (tk == "ca") c.tls.ca = NonEmpty(tv, tk);
        if (tk == "cert") c.tls.cert = NonEmpty(tv, tk);
        if (tk == "key") c.tls.key = NonEmpty(tv, tk);
      }
      if (c.tls.ca.empty()) Fail(v, "tls needs ca (the certificate authority's file)");
      if (c.tls.cert.empty() != c.tls.key.empty()) Fail(v, "tls: cert and key go together");
    }
  }
  if (!PlainName(c.client_id))
    Fail(node["client_id"], "client_id " + Quoted(c.client_id) +
                                " must be 1 to 64 letters, digits, '_' or '-'");
  if (!c.password_file.empty() && c.username.empty())
    Fail(node["password_file"], "password_file needs a username");
}

TagConfig ReadTag(const YAML::Node &node) {
  TagConfig t;
  t.line = LineOf(node);
  const auto e = Entries(node, "tag entry", {"name", "tag", "every", "deadband", "writable"});
  if (!e.count("name")) Fail(node, "tag entry needs a name");
  if (!e.count("tag")) Fail(node, "tag entry needs a tag (its address, e.g. DB10.DBW4)");
  t.name = Text(e.at("name"), "name");
  if (!PlainName(t.name))
    Fail(e.at("name"), "name " + Quoted(t.name) + " must be 1 to 64 letters, digits, '_' or '-'");
  if (t.name == "status")
    Fail(e.at("name"), "name \"status\" is taken by the availability topic");
  t.text = NonEmpty(e.at("tag"), "tag");
  char msg[160] = "";
  const int pos = S7ParseTag(t.text.c_str(), &t.addr, msg, sizeof msg);
  if (pos != 0)
    Fail(e.at("tag"), "tag " + Quoted(t.text) + ", position " + std::to_string(pos) + ": " + msg);
  if (e.count("every")) t.every = Real(e.at("every"), "every", 0.01, 86400);
  if (e.count("deadband")) {
    t.deadband = Real(e.at("deadband"), "deadband", 0, 1e12);
    if (!IsNumeric(t.addr)) Fail(e.at("deadband"), "deadband applies to numbers only, not to " + t.text);
  }
  if (e.count("writable")) t.writable = Flag(e.at("writable"), "writable");
  return t;
}

Config Read(const YAML::Node &root) {
  Config c;
  const auto e = Entries(root, "the configuration",
                         {"line", "broker", "topic", "payload", "republish", "homeassistant",
                          "discovery_prefix", "tags"});
  for (const char *need : {"line", "topic", "tags"})
    if (!e.count(need)) Fail(root, std::string("the configuration needs ") + need);
  ReadLine(e.at("line"), c.line);
  if (e.count("broker")) ReadBroker(e.at("broker"), c.broker);
  c.topic = Topic(e.at("topic"));
  if (e.count("payload")) {
    const std::string p = Text(e.at("payload"), "payload");
    if (p != "plain" && p != "json") Fail(e.at("payload"), "payload: " + Quoted(p) + " is not plain or json");
    c.payload = p == "json" ? Payload::Json : Payload::Plain;
  }
  if (e.count("republish")) c.republish = Real(e.at("republish"), "republish", 1, 86400);
  if (e.count("homeassistant")) c.homeassistant = Flag(e.at("homeassistant"), "homeassistant");
  if (e.count("discovery_prefix")) c.discovery_prefix = Topic(e.at("discovery_prefix"));
  const YAML::Node &tags = e.at("tags");
  if (!tags.IsSequence() || tags.size() == 0) Fail(tags, "tags must be a list of at least one tag entry");
  std::map<std::string, int> seen;
  for (const auto &n : tags) {
    TagConfig t = ReadTag(n);
    if (const auto it = seen.find(t.name); it != seen.end())
      Fail(n["name"], "name " + Quoted(t.name) + " given twice (first on line " + std::to_string(it->second) + ")");
    seen[t.name] = t.line;
    c.tags.push_back(std::move(t));
  }
  return c;
}

}  // namespace

bool IsNumeric(const S7TAGADDR &a) {
  return a.Type != S7TAG_BOOL && a.Type != S7TAG_CHAR && a.Type != S7TAG_STRING;
}

ConfigResult ParseConfig(std::string_view yaml) {
  ConfigResult r;
  try {
    const YAML::Node root = YAML::Load(std::string(yaml));
    if (!root.IsDefined() || root.IsNull()) return {std::nullopt, {1, "the configuration is empty"}};
    r.config = Read(root);
  } catch (const Bad &b) {
    r.error = {b.line, b.what};
  } catch (const YAML::Exception &x) {
    r.error = {x.mark.line >= 0 ? x.mark.line + 1 : 0, "not valid YAML: " + x.msg};
  }
  return r;
}

}  // namespace s7mqtt
