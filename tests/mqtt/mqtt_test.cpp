// s7mqtt: the configuration model and the publish decisions alone, then the
// program between the simulated PLC (the oracle) and a real mosquitto.
#include <gtest/gtest.h>

#include <thread>

#include "config.hpp"
#include "testbed.hpp"
#include "peer.hpp"
#include "topics.hpp"

using namespace s7mqtt;
using namespace std::chrono_literals;
using s7sim::Area;

namespace {

constexpr const char *kHead = "line: {device: /dev/null}\ntopic: p/l1\n";  // lines 1 and 2

TEST(MqttConfig, ErrorsNameTheirLine) {
  const std::vector<std::tuple<std::string, int, std::string>> rows = {
      {"bogus: 1\ntags: [{name: a, tag: MW0}]", 3, "unknown key \"bogus\" in the configuration"},
      {"tags:\n  - {name: a, tag: MW0, evry: 1}", 4, "unknown key \"evry\" in tag entry"},
      {"tags:\n  - {name: a, tag: MW0}\n  - {name: b, tag: DB10.DBQ4}", 5, "tag \"DB10.DBQ4\", position 8: expected X"},
      {"tags:\n  - {name: a, tag: MW0}\n  - {name: a, tag: MW2}", 5, "\"a\" given twice (first on line 4)"},
      {"tags:\n  - {name: a, tag: MW0, every: fast}", 4, "every: \"fast\" is not a number from 0.01 to 86400"},
      {"tags:\n  - {name: a, tag: MW0, every: 0}", 4, "every: \"0\" is not a number"},
      {"tags:\n  - {name: a, tag: M0.1, deadband: 1}", 4, "deadband applies to numbers only"},
      {"tags:\n  - {name: a b, tag: MW0}", 4, "name \"a b\" must be 1 to 64 letters"},
      {"tags:\n  - {name: status, tag: MW0}", 4, "taken by the availability topic"},
      {"tags:\n  - {name: a, tag: MW0, writable: maybe}", 4, "writable: \"maybe\" is not true or false"},
      {"tags:\n  - {tag: MW0}", 4, "tag entry needs a name"},
      {"tags: []", 3, "at least one tag entry"},
      {"broker:\n  port: 99999\ntags: [{name: a, tag: MW0}]", 4, "port: \"99999\" is not a whole number"},
      {"broker: {tls: {cart: c}}\ntags: [{name: a, tag: MW0}]", 3, "unknown key \"cart\" in tls"},
      {"payload: xml\ntags: [{name: a, tag: MW0}]", 3, "payload: \"xml\" is not plain or json"},
      {"tags: [{name: a, tag: MW0}\n", 4, "not valid YAML"},
  };
  for (const auto &[body, line, text] : rows) {
    const ConfigResult r = ParseConfig(kHead + body);
    EXPECT_FALSE(r.config) << body;
    EXPECT_EQ(r.error.line, line) << body << "\n" << r.error.what;
    EXPECT_NE(r.error.what.find(text), std::string::npos) << body << "\n" << r.error.what;
  }
  EXPECT_EQ(ParseConfig("line: {device: d, ppi: true, baud: 38400}\ntopic: t\ntags: [{name: a, tag: MW0}]").error.what,
            "PPI runs at 9600 or 19200 baud");
  EXPECT_EQ(ParseConfig("line: {device: d}\ntopic: a/#\ntags: [{name: a, tag: MW0}]").error.line, 2);
}

TEST(MqttTopics, PublishSetAndDiscoveryDecisions) {
  auto cfg = ParseConfig(std::string(kHead) + "homeassistant: true\npayload: json\ntags:\n"
                         "  - {name: lvl, tag: DB1.DBD0:REAL, deadband: 0.5}\n"
                         "  - {name: on, tag: M0.1, writable: true}\n  - {name: n, tag: DB1.DBW2:INT, writable: true}\n"
                         "  - {name: s, tag: M0.2}\n");
  ASSERT_TRUE(cfg.config) << cfg.error.what;
  const TopicMap map(*cfg.config);
  TagState s;
  EXPECT_TRUE(ShouldPublish(s, 1.0, 0.5, 0, 60));  // nothing published yet
  s.published = 1.0, s.at = 0, s.good = true;
  for (const auto &[now, t, pub] : std::vector<std::tuple<Json, double, bool>>{
           {1.5, 1, false}, {0.5, 1, false}, {1.6, 1, true}, {0.4, 1, true}, {1.0, 59, false}, {1.0, 60, true},
           {nullptr, 1, true}, {Json{1.0, 1.2}, 1, true}})
    EXPECT_EQ(ShouldPublish(s, now, 0.5, t, 60), pub) << now << " at " << t;
  for (const auto &[topic, retained, tag, refusal] :
       std::vector<std::tuple<std::string, bool, int, std::string>>{
           {"p/l1/on/set", false, 1, ""}, {"p/l1/lvl/set", false, 0, "tag lvl is not writable"},
           {"p/l1/on/set", true, 1, "a retained set is never"}, {"p/l1/x/set", false, -1, "no tag named \"x\""},
           {"p/l1/on", false, -1, ""}}) {
    const auto t = map.set_target(topic, retained);
    EXPECT_EQ(t.tag ? int(*t.tag) : -1, tag) << topic;
    EXPECT_EQ(t.refusal.substr(0, refusal.size()), refusal) << topic;
  }
  EXPECT_EQ(TopicMap::set_text(R"({"value": 2.5})"), "2.5");
  EXPECT_EQ(TopicMap::set_text(R"({"value": "abc"})"), "abc");
  const Json p = Json::parse(map.payload({1.5, "1.5"}, SysTime(std::chrono::milliseconds(1700000000123)), false));
  EXPECT_EQ(p, Json::parse(R"({"value":1.5,"time":"2023-11-14T22:13:20.123Z","quality":"bad"})"));
  std::string kinds;
  for (const Message &m : map.discovery()) kinds += m.topic + " " + Json::parse(m.payload).value("command_topic", "-") + "\n";
  EXPECT_EQ(kinds,
            "homeassistant/sensor/s7mqtt/lvl/config -\nhomeassistant/switch/s7mqtt/on/config p/l1/on/set\n"
            "homeassistant/number/s7mqtt/n/config p/l1/n/set\nhomeassistant/binary_sensor/s7mqtt/s/config -\n");
  std::string stale;  // a tag gone, one that is a switch now, a live one, one cleared, another client's
  for (const auto &[t, len] : std::vector<std::pair<std::string, size_t>>{
           {"sensor/s7mqtt/gone", 9}, {"sensor/s7mqtt/on", 9}, {"switch/s7mqtt/on", 9}, {"sensor/s7mqtt/gone", 0}, {"sensor/x/gone", 9}})
    stale += map.stale_discovery("homeassistant/" + t + "/config", len) ? '1' : '0';
  EXPECT_EQ(stale, "11000");
}

// s7mqtt between the simulated line (MPI or PPI) and a fresh broker.
struct Bed {
  Bed(bool ppi, const std::string &tags, const std::string &extra = "") : line(ppi) {
    cfg = dir.file("c.yaml", "line: {device: " + line.pty.slave_name() + ", ppi: " + (ppi ? "true" : "false") +
                                 ", timeout: 4}\nbroker: {host: 127.0.0.1, port: " + std::to_string(broker.port()) +
                                 ", client_id: t}\ntopic: p/l1\n" + extra + "tags:\n" + tags);
  }
  void run() { bridge = bed::StartBridge(S7MQTT_PATH, cfg, dir.path + "/log", true); }
  std::string log() const { return bed::ReadLog(dir.path + "/log"); }
  bed::TempDir dir;
  bed::Broker broker{dir};
  bed::SimLine line;
  bed::Subscriber sub{broker.port()};
  std::string cfg;
  std::unique_ptr<bed::Child> bridge;
};

void Put(s7sim::Plc &plc, const std::string &area, int at, const std::string &hex) {
  const s7test::Bytes b = s7test::unhex(hex);
  if (area == "T") plc.set_timer(at, uint16_t(b[0] << 8 | b[1]));
  else if (area == "C") plc.set_counter(at, uint16_t(b[0] << 8 | b[1]));
  else plc.write_bytes(area == "M" ? Area::Flags : Area::DB, area == "M" ? 0 : 1, size_t(at), b);
}

std::function<bool(const bed::Msg &)> Is(std::string p) { return [p](const bed::Msg &m) { return m.payload == p; }; }

class Mqtt : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Path, Mqtt, ::testing::Values(false, true), [](auto &i) { return i.param ? "PPI" : "MPI"; });

TEST_P(Mqtt, RetainedInitialValueOfEveryType) {
  const auto rows = s7test::table({"b|M20.3|M|20|08|true", "by|MB21|M|21|C8|200", "ch|DB1.DBB0:CHAR|D|0|41|A",
                                   "w|DB1.DBW2|D|2|FFFE|65534", "i|DB1.DBW4:INT|D|4|FFFE|-2",
                                   "dw|DB1.DBD6|D|6|89ABCDEF|2309737967", "di|DB1.DBD10:DINT|D|10|FFFFFF85|-123",
                                   "r|DB1.DBD14:REAL|D|14|3FC00000|1.5", "s|DB1.DBB20:STRING[8]|D|20|0803616263|abc",
                                   "a|DB1.DBW40[3]|D|40|000100020003|1,2,3", "t|T3|T|3|2127|127000", "c|C3|C|3|0042|42"});
  std::string tags;
  Bed bed(GetParam(), "");
  for (const auto &r : rows) tags += "  - {name: " + r[0] + ", tag: \"" + r[1] + "\"}\n", Put(bed.line.plc, r[2], std::stoi(r[3]), r[4]);
  bed.cfg = bed.dir.file("c.yaml", bed::ReadLog(bed.cfg) + tags);
  bed.run();
  ASSERT_TRUE(bed.sub.wait("p/l1/status", Is("online"), 10)) << bed.log();
  ASSERT_TRUE(bed.sub.wait("p/l1/c", 5)) << bed.log();
  bed::Subscriber late(bed.broker.port(), "late");  // gets what is retained
  for (const auto &r : rows)
    EXPECT_EQ(late.wait("p/l1/" + r[0], [](auto &m) { return m.retained; }).value_or("(none)"), r[5]) << r[1];
}

TEST_P(Mqtt, ChangeWithinOneCycleBeyondTheDeadbandOnly) {
  Bed bed(GetParam(), "  - {name: lvl, tag: DB1.DBD0:REAL, every: 0.2, deadband: 0.5}\n");
  bed.run();
  ASSERT_EQ(bed.sub.wait("p/l1/lvl", 10).value_or(""), "0") << bed.log();
  for (const auto &[hex, text] : std::vector<std::pair<std::string, std::string>>{
           {"3ECCCCCD", ""}, {"3F19999A", "0.6"}, {"3F800000", ""}, {"3F99999A", "1.2"}}) {
    const size_t n = bed.sub.seen();
    const auto t0 = bed::Clock::now();
    Put(bed.line.plc, "D", 0, hex);
    EXPECT_EQ(bed.sub.wait("p/l1/lvl", text.empty() ? 0.8 : 2.0, n).value_or(""), text) << hex;
    EXPECT_TRUE(text.empty() || bed::Clock::now() - t0 < 200ms + 800ms) << hex;  // one cycle, the line, the load
  }
}

TEST_P(Mqtt, SetWritesOnlyWritableTagsAndPublishesTheReadBack) {
  Bed bed(GetParam(), "  - {name: on, tag: M20.3, writable: true}\n  - {name: w, tag: DB1.DBW2, writable: true}\n"
                      "  - {name: ro, tag: DB1.DBW4}\n  - {name: by, tag: MB21, writable: true, every: 5}\n");
  bed.run();
  ASSERT_TRUE(bed.sub.wait("p/l1/by", 10)) << bed.log();
  for (const auto &r : s7test::table({"on|true|ok|M|20|08|true", "w|4660|ok|D|2|1234|4660",
                                      "ro|7|refused: tag ro is not writable|D|4|0000|",
                                      "by|300|bad value: 300 is out of range|M|21|00|", "by|0x7f|ok|M|21|7F|127"})) {
    const size_t n = bed.sub.seen();
    bed.sub.publish("p/l1/" + r[0] + "/set", r[1]);
    const auto result = bed.sub.wait("p/l1/" + r[0] + "/result", 5, n).value_or("(none)");
    EXPECT_EQ(result.substr(0, r[2].size()), r[2]) << r[1];
    const auto area = r[3] == "M" ? Area::Flags : Area::DB;
    EXPECT_EQ(s7test::plain(bed.line.plc.read_bytes(area, r[3] == "M" ? 0 : 1, std::stoul(r[4]), r[5].size() / 2)), r[5]);
    EXPECT_EQ(r[6].empty() ? "" : bed.sub.wait("p/l1/" + r[0], 2, n).value_or("(none)"), r[6]) << r[1];
  }
  EXPECT_NE(bed.log().find("refused a set on p/l1/ro/set: tag ro is not writable"), std::string::npos);
}

TEST_P(Mqtt, BrokerLateAndRestartedAndSilentLineRepublish) {
  Bed bed(GetParam(), "  - {name: w, tag: DB1.DBW2, every: 0.2}\n");
  bed.broker.stop();  // not there at the start either
  bed.run();
  std::this_thread::sleep_for(1500ms);
  bed.broker.start();
  ASSERT_TRUE(bed.sub.wait("p/l1/status", Is("online"), 15)) << bed.log();
  bed.broker.stop();
  Put(bed.line.plc, "D", 2, "0102");  // read while the broker is away
  std::this_thread::sleep_for(500ms);
  bed.broker.start();  // no persistence: what it holds comes from s7mqtt again
  bed::Subscriber late(bed.broker.port(), "late");
  EXPECT_TRUE(late.wait("p/l1/status", Is("online"), 40)) << bed.log();
  EXPECT_TRUE(late.wait("p/l1/w", Is("258"), 5)) << bed.log();
  bed.line.silent(true);
  EXPECT_TRUE(late.wait("p/l1/status", Is("offline"), 10)) << bed.log();
  const size_t n = late.seen();
  bed.line.silent(false);
  EXPECT_TRUE(late.wait("p/l1/status", Is("online"), 10, n)) << bed.log();
}

TEST(MqttProgram, ConfigErrorsCheckDiscoveryRemovalAndCleanShutDown) {
  Bed bed(false, "  - {name: a, tag: MW0}\n  - {name: b, tag: MW2}\n", "homeassistant: true\n");
  const std::string bad = bed.dir.file("bad.yaml", "topic: t\nline: {device: d}\ntags:\n  - {name: a, tag: DB1.DBW}\n");
  for (const auto &[args, status, text] : std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
           {{bad}, 2, "bad.yaml:4: tag \"DB1.DBW\", position 8: "}, {{"--check", bad}, 2, "bad.yaml:4:"},
           {{"--check", bed.cfg}, 0, "good: 2 tags in 1 polling groups"}, {{"--frob"}, 2, "unknown option"}}) {
    std::vector<std::string> argv = {S7MQTT_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string log = bed.dir.path + "/run" + std::to_string(args.size()) + text.substr(0, 14);
    EXPECT_EQ(bed::Child(argv, log).stop(0), status) << text;
    EXPECT_NE(bed::ReadLog(log).find(text), std::string::npos) << bed::ReadLog(log);
  }
  bed.run();
  ASSERT_TRUE(bed.sub.wait("homeassistant/sensor/t/b/config", 10)) << bed.log();
  ASSERT_TRUE(bed.sub.wait("p/l1/status", Is("online"), 10)) << bed.log();
  size_t n = bed.sub.seen();
  EXPECT_EQ(bed.bridge->stop(), 0);  // SIGTERM: offline, disconnected, the line closed
  EXPECT_TRUE(bed.sub.wait("p/l1/status", Is("offline"), 2, n)) << bed.log();
  EXPECT_NE(bed.log().find("s7mqtt: stopped"), std::string::npos) << bed.log();
  bed.cfg = bed.dir.file("c.yaml", bed::ReadLog(bed.cfg).substr(0, bed::ReadLog(bed.cfg).find("  - {name: b")));
  n = bed.sub.seen();
  bed.run();
  EXPECT_EQ(bed.sub.wait("homeassistant/sensor/t/b/config", 10, n).value_or("(none)"), "") << bed.log();
  EXPECT_TRUE(bed.sub.wait("homeassistant/sensor/t/a/config", 1, n)) << bed.log();
  ASSERT_TRUE(bed.sub.wait("p/l1/status", Is("online"), 10, n)) << bed.log();
  n = bed.sub.seen();
  EXPECT_EQ(bed.bridge->stop(SIGKILL), 128 + SIGKILL);
  EXPECT_TRUE(bed.sub.wait("p/l1/status", Is("offline"), 5, n)) << "the last will\n" << bed.log();
}

}  // namespace
