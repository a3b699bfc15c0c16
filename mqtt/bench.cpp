// s7mqttbench: s7mqtt with 200 tags at `every: 1` between the paced simulated
// line and a local mosquitto, while the PLC's memory keeps changing. Prints
// the published updates per second, the line's occupancy, the delay from a
// change in memory to the message at a subscriber (median, 99th percentile)
// and s7mqtt's CPU per update.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "testbed.hpp"

using namespace s7mqtt::bed;
using s7sim::Area;

namespace {

constexpr const char *kUsage = R"(usage: s7mqttbench --s7mqtt PATH [--baud N] [--seconds S] [--ppi]

Runs s7mqtt (PATH) with 200 tags at every: 1 on the simulated line paced at
N baud (default 19200) for S seconds (default 10) of changing memory.
)";

struct Tag {
  std::string name, text;
  Area area;
  int db, offset;
  bool real;
};

// 120 INT words and 40 REALs in DB1, 40 flag words.
std::vector<Tag> Tags() {
  std::vector<Tag> t;
  char name[32], text[40];
  for (int i = 0; i < 200; ++i) {
    const int k = i < 120 ? i : i < 160 ? i - 120 : i - 160;
    const Tag tag = i < 120   ? Tag{"w", "", Area::DB, 1, 2 * k, false}
                    : i < 160 ? Tag{"r", "", Area::DB, 1, 300 + 4 * k, true}
                              : Tag{"m", "", Area::Flags, 0, 2 * k, false};
    std::snprintf(name, sizeof name, "%s%d", tag.name.c_str(), k);
    std::snprintf(text, sizeof text, tag.real ? "DB1.DBD%d:REAL" : tag.db ? "DB1.DBW%d:INT" : "MW%d:INT", tag.offset);
    t.push_back({name, text, tag.area, tag.db, tag.offset, tag.real});
  }
  return t;
}

void Put(s7sim::Plc &plc, const Tag &t, int v) {
  std::vector<uint8_t> b;
  uint32_t x = static_cast<uint32_t>(v);
  if (t.real) {
    const float f = static_cast<float>(v);
    std::memcpy(&x, &f, 4);
    b = {uint8_t(x >> 24), uint8_t(x >> 16), uint8_t(x >> 8), uint8_t(x)};
  } else {
    b = {uint8_t(x >> 8), uint8_t(x)};
  }
  plc.write_bytes(t.area, t.db, static_cast<size_t>(t.offset), b);
}

// Time on a processor (ns precision, from the scheduler) of every thread of
// a process, or of its main thread (the line's) alone.
double CpuSeconds(pid_t pid, bool main_thread = false) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  double ns = 0;
  std::error_code ec;
  for (const auto &task : std::filesystem::directory_iterator(dir, ec)) {
    if (main_thread && task.path().filename() != std::to_string(pid)) continue;
    std::ifstream f(task.path() / "schedstat");
    double run = 0;
    if (f >> run) ns += run;
  }
  return ns / 1e9;
}

}  // namespace

int main(int argc, char **argv) {
  std::string program;
  int baud = 19200;
  double seconds = 10;
  bool ppi = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--help") return std::fputs(kUsage, stdout), 0;
    if (a == "--ppi") ppi = true;
    else if (a == "--s7mqtt" && next) program = argv[++i];
    else if (a == "--baud" && next) baud = std::atoi(argv[++i]);
    else if (a == "--seconds" && next) seconds = std::atof(argv[++i]);
    else return std::fprintf(stderr, "s7mqttbench: bad argument \"%s\"\n%s", a.c_str(), kUsage), 2;
  }
  if (program.empty() || baud < 300 || seconds <= 0) return std::fputs(kUsage, stderr), 2;

  const std::vector<Tag> tags = Tags();
  TempDir dir;
  Broker broker(dir);
  SimLine line(ppi, baud);
  Subscriber sub(broker.port());
  std::string yaml = "line: {device: " + line.pty.slave_name() + ", ppi: " + (ppi ? "true" : "false") +
                     ", baud: " + std::to_string(baud) + "}\nbroker: {host: 127.0.0.1, port: " +
                     std::to_string(broker.port()) + "}\ntopic: b\nrepublish: 3600\ntags:\n";
  for (const Tag &t : tags) yaml += "  - {name: " + t.name + ", tag: \"" + t.text + "\", every: 1}\n";
  auto bridge = StartBridge(program, dir.file("c.yaml", yaml), dir.path + "/log");
  for (const Tag &t : tags)
    if (!sub.wait("b/" + t.name, 60)) {
      std::fprintf(stderr, "s7mqttbench: no first value of %s\n%s", t.name.c_str(), ReadLog(dir.path + "/log").c_str());
      return 1;
    }

  // Changes: every 20 ms ten tags get the next number; its tag and time are kept.
  struct Change {
    size_t tag;
    int value;
    Clock::time_point at;
  };
  std::mutex mu;
  std::vector<Change> changes;
  std::atomic<bool> stop{false};
  // First the same polling without a change: the CPU the line alone costs.
  const double quiet0 = CpuSeconds(bridge->pid);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 2));
  const double quiet = (CpuSeconds(bridge->pid) - quiet0) / (seconds / 2);
  const size_t from = sub.seen();
  const uint64_t chars0 = line.chars();
  const double cpu0 = CpuSeconds(bridge->pid), main0 = CpuSeconds(bridge->pid, true);
  const Clock::time_point t0 = Clock::now();
  std::thread writer([&] {
    std::mt19937 rng(7);
    for (int v = 1000; !stop; v += 1) {
      const size_t k = rng() % tags.size();
      {
        std::lock_guard l(mu);
        changes.push_back({k, v, Clock::now()});
      }
      Put(line.plc, tags[k], v);
      if (v % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  writer.join();
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = CpuSeconds(bridge->pid) - cpu0, main_cpu = CpuSeconds(bridge->pid, true) - main0;
  const uint64_t chars = line.chars() - chars0;
  std::this_thread::sleep_for(std::chrono::seconds(3));  // the last changes arrive

  // The delay of a change: until the subscriber has its value or a newer one
  // (a change overtaken by the next before a read is delivered with it).
  std::map<std::string, size_t> index;
  for (size_t k = 0; k < tags.size(); ++k) index["b/" + tags[k].name] = k;
  std::vector<std::vector<Change>> pending(tags.size());
  for (const Change &c : changes) pending[c.tag].push_back(c);
  std::vector<size_t> next(tags.size(), 0);
  std::vector<double> delays;
  const std::vector<Msg> msgs = sub.messages();
  size_t updates_in_window = 0;
  for (size_t i = from; i < msgs.size(); ++i) {
    const auto it = index.find(msgs[i].topic);
    if (it == index.end()) continue;
    updates_in_window += msgs[i].at <= t0 + std::chrono::duration<double>(wall);
    const int v = std::atoi(msgs[i].payload.c_str());
    auto &q = pending[it->second];
    for (size_t &n = next[it->second]; n < q.size() && q[n].value <= v; ++n)
      delays.push_back(std::chrono::duration<double>(msgs[i].at - q[n].at).count() * 1000);
  }
  bridge->stop();
  std::sort(delays.begin(), delays.end());
  if (delays.empty()) return std::fputs("s7mqttbench: no update seen\n", stderr), 1;
  const double line_time = static_cast<double>(chars) * 11 / baud;  // seconds on the line
  const double updates = static_cast<double>(updates_in_window);
  std::printf("%s %d baud, 200 tags at every: 1, %.0f s, %zu changes: %.1f updates/s, line occupancy %.0f %%, "
              "delay median %.0f ms, p99 %.0f ms, CPU %.0f us per update (%.2f %% of the line time; "
              "line thread %.0f %%), %.0f us above the polling without changes\n",
              ppi ? "PPI" : "MPI", baud, wall, changes.size(), updates / wall, 100 * line_time / wall, delays[delays.size() / 2],
              delays[delays.size() * 99 / 100], 1e6 * cpu / updates, 100 * cpu / line_time, cpu > 0 ? 100 * main_cpu / cpu : 0.0, 1e6 * (cpu - quiet * wall) / updates);
  return 0;
}
