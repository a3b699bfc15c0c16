// s7bench kind "tags": one full read of a fixed, realistic set of 100 tags
// over the simulated MPI adapter on a paced line, four ways:
//   (a) one handle call per tag,
//   (b) the planner with merging off and 20 items per job (what the usual
//       multi-variable clients send),
//   (c) the planner as the library runs it,
//   (d) the lower bound: the set's payload bytes in the fewest full jobs.
// Line characters are counted by the simulated adapter, the time is the wall
// time of the read on a line paced at the given rate.
#include "tagsbench.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kesto.h"
#include "mpi_adapter.hpp"
#include "plan.hpp"
#include "plc.hpp"
#include "pty.hpp"
#include "s7serial.h"
#include "s7tags.h"

namespace s7bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPlcAddr = 2;
constexpr int kPcAddr = 0;
constexpr int kLowerBoundDb = 30;  // a block of its own for the lower bound's reads

// The set: clustered fields in two data blocks (words, reals, double ints,
// bits of a status byte, strings, an array), scattered flags, inputs,
// outputs, timers and counters.
constexpr const char *kSet[] = {
    // DB10: a process block
    "DB10.DBW0", "DB10.DBW2", "DB10.DBW4", "DB10.DBW6", "DB10.DBW8", "DB10.DBW10",
    "DB10.DBD12:REAL", "DB10.DBD16:REAL", "DB10.DBD20:REAL", "DB10.DBX24.0", "DB10.DBX24.1",
    "DB10.DBX24.2", "DB10.DBX24.3", "DB10.DBX24.4", "DB10.DBX24.5", "DB10.DBX24.6", "DB10.DBX24.7",
    "DB10.DBX25.0", "DB10.DBX25.3", "DB10.DBB26", "DB10.DBB27:CHAR", "DB10.DBD28:DINT",
    "DB10.DBD32:DINT", "DB10.DBB36:STRING[16]", "DB10.DBW54:INT", "DB10.DBW56:INT",
    "DB10.DBW58:INT", "DB10.DBW60:INT", "DB10.DBD64:REAL", "DB10.DBD68:REAL", "DB10.DBW100",
    "DB10.DBW102", "DB10.DBW104", "DB10.DBW106", "DB10.DBD120:REAL", "DB10.DBD124:REAL",
    "DB10.DBB130:STRING[8]", "DB10.DBX140.0", "DB10.DBX140.1", "DB10.DBX141.7",
    // DB20: a status block
    "DB20.DBW0", "DB20.DBW2", "DB20.DBW4", "DB20.DBW6", "DB20.DBD8", "DB20.DBD12", "DB20.DBX16.0",
    "DB20.DBX16.1", "DB20.DBX16.2", "DB20.DBX16.3", "DB20.DBW20[8]", "DB20.DBD40:REAL",
    "DB20.DBD44:REAL", "DB20.DBD48:REAL", "DB20.DBB52:STRING[20]", "DB20.DBW80:INT",
    "DB20.DBW82:INT", "DB20.DBB90", "DB20.DBB91", "DB20.DBB92", "DB20.DBW200", "DB20.DBW202",
    "DB20.DBD204:DINT", "DB20.DBX210.5", "DB20.DBX211.2",
    // flags
    "M0.0", "M0.1", "M0.7", "M1.5", "M10.2", "MW20", "MW22", "MB30", "MD40", "M52.4", "M100.0",
    "M100.1", "MW120", "MD200:REAL",
    // inputs and outputs
    "I0.0", "I0.1", "I0.2", "I0.3", "I1.4", "IW2", "IB6", "I8.1", "Q0.0", "Q0.1", "Q0.5", "QW2",
    "QB4", "Q5.2",
    // timers and counters
    "T1", "T2", "T5", "T10", "C0", "C3", "C4"};
static_assert(sizeof kSet / sizeof kSet[0] == 100);

struct Variant {
  const char *name;
  int jobs = 0, items = 0;
  uint64_t chars = 0;
  double ms[2] = {0, 0};  // per rate
};

std::vector<uint8_t> Memory(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    v[i] = static_cast<uint8_t>(i * 37 + seed);
    if (v[i] == 0x10) v[i] = 0x11;  // no DLE to double: every variant moves the same bytes
  }
  return v;
}

void Fill(s7sim::Plc &plc) {
  plc.add_db(10, 256);
  plc.add_db(20, 256);
  plc.add_db(kLowerBoundDb, 1024);
  plc.write_bytes(s7sim::Area::DB, 10, 0, Memory(256, 1));
  plc.write_bytes(s7sim::Area::DB, 20, 0, Memory(256, 2));
  plc.write_bytes(s7sim::Area::DB, kLowerBoundDb, 0, Memory(1024, 3));
  plc.write_bytes(s7sim::Area::Flags, 0, 0, Memory(256, 4));
  plc.write_bytes(s7sim::Area::Inputs, 0, 0, Memory(16, 5));
  plc.write_bytes(s7sim::Area::Outputs, 0, 0, Memory(16, 6));
  const auto str = [&](int db, int at, int n, const char *text) {
    std::vector<uint8_t> s{static_cast<uint8_t>(n), static_cast<uint8_t>(std::strlen(text))};
    s.insert(s.end(), text, text + std::strlen(text));
    plc.write_bytes(s7sim::Area::DB, db, static_cast<size_t>(at), s);
  };
  str(10, 36, 16, "Recipe 7 mixing");
  str(10, 130, 8, "Line 2");
  str(20, 52, 20, "Ready, no alarms");
  // timers: time base 2 (1 s), BCD 20..35; counters BCD 120..127 (no DLE byte either)
  for (int t = 0; t < 16; ++t)
    plc.set_timer(t, static_cast<uint16_t>(0x2000 | ((t + 20) / 10) << 4 | (t + 20) % 10));
  for (int c = 0; c < 8; ++c) plc.set_counter(c, static_cast<uint16_t>(0x0120 + c));
}

struct Tags {
  std::vector<S7TAGADDR> addrs;
  std::vector<std::vector<char>> values;
  std::vector<S7TAG> recs;
  Tags() {
    for (const char *text : kSet) {
      S7TAGADDR a{};
      char msg[120];
      if (S7ParseTag(text, &a, msg, sizeof msg) != 0)
        throw std::runtime_error(std::string("tags: set tag ") + text + ": " + msg);
      addrs.push_back(a);
      values.emplace_back(static_cast<size_t>(S7TagValueSize(&a)), 0);
    }
    recs.resize(addrs.size());
  }
  S7TAG *Records() {
    for (size_t i = 0; i < recs.size(); ++i) recs[i] = S7TAG{addrs[i], values[i].data(), -1, 0};
    return recs.data();
  }
  void Check(const char *variant) const {
    for (size_t i = 0; i < recs.size(); ++i)
      if (recs[i].Result != 0)
        throw std::runtime_error(std::string("tags: ") + variant + ": " + kSet[i] + " gave " +
                                 std::to_string(recs[i].Result));
  }
};

}  // namespace

int RunTags(const std::vector<int> &rates, int turnaround_us, bool json) {
  Tags tags;
  const tagplan::Limits lim = tagplan::PathLimits(false);
  const int payload = tagplan::TagPayloadBytes(tags.addrs);
  const int per_job = tagplan::JobPayloadMax(lim);
  const int bound_jobs = (payload + per_job - 1) / per_job;
  const auto planned = [&](bool merge, int &items) {
    tagplan::TagPlanSetMerge(merge);
    const std::vector<tagplan::Job> jobs = tagplan::PlanRead(tags.addrs, lim);
    items = 0;
    for (const tagplan::Job &j : jobs) items += static_cast<int>(j.Items.size());
    return static_cast<int>(jobs.size());
  };
  Variant v[4] = {{"(a) one handle call per tag"},
                  {"(b) planner, no merging, 20 items/job"},
                  {"(c) planner"},
                  {"(d) lower bound"}};
  v[0].jobs = v[0].items = 100;
  v[1].jobs = planned(false, v[1].items);
  v[2].jobs = planned(true, v[2].items);
  v[3].jobs = v[3].items = bound_jobs;
  std::vector<std::vector<char>> first;  // (a)'s values, which the others must match

  for (size_t r = 0; r < rates.size(); ++r) {
    s7sim::Pty pty;
    s7sim::Plc plc;
    Fill(plc);
    s7sim::MpiAdapter adapter(pty.master());
    adapter.add_station(kPlcAddr, plc);
    adapter.set_pace({rates[r], std::chrono::microseconds(turnaround_us)});
    adapter.start();
    const DWORD com = 4 + static_cast<DWORD>(r);
    std::string dev = pty.slave_name();
    KS7SetDevName(com, dev.c_str());
    const LONG ref = KS7Open(com, kPlcAddr, kPcAddr, static_cast<DWORD>(rates[r]), 300);
    BYTE warm[2];
    if (ref < 0 || KS7RdB(ref, 'D', 10, 0, 2, warm) != 0)
      throw std::runtime_error("tags: the simulated PLC was not reached");
    const auto run = [&](Variant &var, auto &&read) {
      const uint64_t c0 = adapter.chars_from_pc() + adapter.chars_to_pc();
      const auto t0 = Clock::now();
      read();
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
      std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the last characters counted
      const uint64_t chars = adapter.chars_from_pc() + adapter.chars_to_pc() - c0;
      if (r == 0)
        var.chars = chars;
      else if (chars != var.chars)
        throw std::runtime_error(std::string("tags: ") + var.name + ": " + std::to_string(chars) +
                                 " characters at one rate, " + std::to_string(var.chars) +
                                 " at the other");
      var.ms[r] = ms;
    };
    const auto same = [&](const char *variant) {
      tags.Check(variant);
      if (first.empty())
        first = tags.values;
      else if (tags.values != first)
        throw std::runtime_error(std::string("tags: ") + variant + " read other values than (a)");
    };
    run(v[0], [&] {
      S7TAG *recs = tags.Records();
      for (size_t i = 0; i < tags.recs.size(); ++i) KS7ReadTags(ref, &recs[i], 1);
    });
    same(v[0].name);
    const int limit = S7SetTagItemLimit(20);
    tagplan::TagPlanSetMerge(false);
    run(v[1], [&] { KS7ReadTags(ref, tags.Records(), 100); });
    same(v[1].name);
    tagplan::TagPlanSetMerge(true);
    S7SetTagItemLimit(limit);
    run(v[2], [&] { KS7ReadTags(ref, tags.Records(), 100); });
    same(v[2].name);
    std::vector<BYTE> bound(static_cast<size_t>(payload));
    run(v[3], [&] {
      for (int at = 0; at < payload; at += per_job)
        if (KS7RdB(ref, 'D', kLowerBoundDb, static_cast<DWORD>(at),
                   static_cast<DWORD>(std::min(per_job, payload - at)), bound.data() + at) != 0)
          throw std::runtime_error("tags: the lower bound's read failed");
    });
    KS7Close(ref);
    adapter.stop();
    if (!adapter.violations().empty())
      throw std::runtime_error("tags: the simulated adapter saw " + adapter.violations().front());
  }

  const auto ratio = [&](int a, int b) {
    return v[b].chars ? static_cast<double>(v[a].chars) / static_cast<double>(v[b].chars) : 0;
  };
  const bool half = ratio(2, 1) <= 0.5, fifteenth = ratio(2, 0) <= 1.0 / 15;
  if (json) {
    std::printf("[\n");
    for (int i = 0; i < 4; ++i) {
      std::printf(
          "  {\"kind\": \"tags\", \"variant\": \"%c\", \"jobs\": %d, \"items\": %d, "
          "\"line_chars\": %llu",
          'a' + i, v[i].jobs, v[i].items, static_cast<unsigned long long>(v[i].chars));
      for (size_t r = 0; r < rates.size(); ++r)
        std::printf(", \"ms_at_%d\": %.1f", rates[r], v[i].ms[r]);
      std::printf("}%s\n", i < 3 ? "," : "");
    }
    std::printf("]\n");
    return 0;
  }
  std::printf(
      "s7bench tags: one full read of a set of 100 tags (two data blocks, flags, inputs,\n"
      "outputs, timers, counters, reals, strings; %d payload bytes) over the MPI adapter,\n"
      "paced line, turnaround %d us\n\n",
      payload, turnaround_us);
  std::printf("%-40s %5s %6s %8s", "variant", "jobs", "items", "chars");
  for (int rate : rates) std::printf(" %11s", (std::to_string(rate) + " ms").c_str());
  std::printf("\n");
  for (const Variant &x : v) {
    std::printf("%-40s %5d %6d %8llu", x.name, x.jobs, x.items,
                static_cast<unsigned long long>(x.chars));
    for (size_t r = 0; r < rates.size(); ++r) std::printf(" %11.1f", x.ms[r]);
    std::printf("\n");
  }
  std::printf(
      "\n(d): %d payload bytes (each tag alone, bits one byte each) in %d jobs of at most "
      "%d data bytes.\nms: wall time of the read on the paced line; chars: both "
      "directions, counted by the simulated adapter.\n",
      payload, bound_jobs, per_job);
  const auto times = [&](int a, int b) {
    std::string t;
    for (size_t r = 0; r < rates.size(); ++r)
      t += ", time at " + std::to_string(rates[r]) + " " +
           std::to_string(v[b].ms[r] > 0 ? v[a].ms[r] / v[b].ms[r] : 0).substr(0, 6);
    return t;
  };
  std::printf("\ntargets (on characters):\n  (c)/(b) chars %.3f%s: %s (<= 0.5)\n", ratio(2, 1),
              times(2, 1).c_str(), half ? "met" : "NOT met");
  std::printf("  (c)/(a) chars %.4f%s: %s (<= 1/15 = 0.0667)\n", ratio(2, 0), times(2, 0).c_str(),
              fifteenth ? "met" : "NOT met");
  std::printf("  (c)/(d) chars %.3f%s\n", ratio(2, 3), times(2, 3).c_str());
  return 0;
}

}  // namespace s7bench
