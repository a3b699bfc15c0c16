#include "allow.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "plan.hpp"
#include "s7tags.h"

namespace s7gate {

namespace {

constexpr size_t kItem = 12;  // 12 0A 10 ts count(2) db(2) area addr(3)
constexpr uint8_t kTsBit = 0x01, kTsCounter = 0x1C, kTsTimer = 0x1D;

bool Numbered(uint8_t area) { return area == S7_AREA_T || area == S7_AREA_Z; }

// Bytes of one element of an item's transport size; 0 for one the gateway
// does not judge.
uint32_t ElemBytes(uint8_t ts) {
  switch (ts) {
    case 0x01:  // bit
    case 0x02:  // byte
    case 0x03:  // char
      return 1;
    case 0x04:  // word
    case 0x05:  // int
      return 2;
    case 0x06:  // dword
    case 0x07:  // dint
    case 0x08:  // real
      return 4;
    default:
      return 0;
  }
}

std::string AreaName(uint8_t area, uint16_t db) {
  switch (area) {
    case S7_AREA_E:
      return "E";
    case S7_AREA_A:
      return "A";
    case S7_AREA_M:
      return "M";
    case S7_AREA_DB:
      return "DB" + std::to_string(db) + ".DB";
    case S7_AREA_T:
      return "T";
    case S7_AREA_Z:
      return "Z";
    default: {
      char s[16];
      std::snprintf(s, sizeof s, "area 0x%02X ", area);
      return s;
    }
  }
}

}  // namespace

bool WriteAllow::add(std::string_view text, std::string &why) {
  const std::string t(text);
  // "DB<n>" alone: the whole block
  if (t.size() > 2 && std::toupper(static_cast<unsigned char>(t[0])) == 'D' &&
      std::toupper(static_cast<unsigned char>(t[1])) == 'B' &&
      t.find_first_not_of("0123456789", 2) == std::string::npos) {
    if (t.size() > 7 || std::stoul(t.substr(2)) < 1 || std::stoul(t.substr(2)) > 65535) {
      why = "\"" + t + "\": a data block number is 1..65535";
      return false;
    }
    ranges_.push_back({S7_AREA_DB, static_cast<uint16_t>(std::stoul(t.substr(2))), true, 0, 0});
    return true;
  }
  S7TAGADDR a{};
  char msg[160];
  const int pos = S7ParseTag(t.c_str(), &a, msg, sizeof msg);
  if (pos != 0) {
    why = "\"" + t + "\" at character " + std::to_string(pos) + ": " + msg;
    return false;
  }
  const uint32_t len = Numbered(a.Area) ? a.Count : tagplan::ImageBytes(a, false);
  if (len == 0) {
    why = "\"" + t + "\" names no bytes";
    return false;
  }
  ranges_.push_back(
      {a.Area, a.Area == S7_AREA_DB ? a.DBNr : uint16_t{0}, false, a.Start, a.Start + len});
  return true;
}

// Whether [start, end) is covered, by one range or neighbouring ones.
bool WriteAllow::covers(uint8_t area, uint16_t db, uint32_t start, uint32_t end) const {
  for (uint32_t at = start; at < end;) {
    uint32_t next = at;
    for (const WriteRange &r : ranges_) {
      if (r.area != area || (area == S7_AREA_DB && r.db != db)) continue;
      if (r.whole_db) return true;
      if (r.start <= at && at < r.end) next = std::max(next, r.end);
    }
    if (next == at) return false;
    at = next;
  }
  return true;
}

WriteCheck WriteAllow::check(std::span<const uint8_t> par) const {
  if (par.size() < 2 || par[1] == 0 || par.size() != 2 + kItem * par[1])
    return {-1, 0, "write job's parameters malformed"};
  const int n = par[1];
  for (int i = 0; i < n; ++i) {
    const auto it = par.subspan(2 + kItem * static_cast<size_t>(i), kItem);
    const uint8_t ts = it[3], area = it[8];
    const uint32_t count = static_cast<uint32_t>(it[4] << 8 | it[5]);
    const auto db = static_cast<uint16_t>(it[6] << 8 | it[7]);
    const uint32_t addr = static_cast<uint32_t>(it[9] << 16 | it[10] << 8 | it[11]);
    const std::string item = "item " + std::to_string(i + 1) + " ";
    if (it[0] != 0x12 || it[1] != 0x0A || it[2] != 0x10 || count == 0)
      return {n, i, item + "not an address item"};
    std::string what = AreaName(area, db);
    bool ok;
    if (Numbered(area)) {
      what += std::to_string(addr) + "[" + std::to_string(count) + "]";
      ok =
          ts == (area == S7_AREA_T ? kTsTimer : kTsCounter) && covers(area, db, addr, addr + count);
    } else if (ts == kTsBit) {
      what += (area == S7_AREA_DB ? "X" : "") + std::to_string(addr >> 3) + "." +
              std::to_string(addr & 7);
      ok = count == 1 && covers(area, db, addr >> 3, (addr >> 3) + 1);
    } else {
      const uint32_t bytes = ElemBytes(ts) * count;
      if (bytes == 0 || (addr & 7) != 0)
        return {n, i,
                item + what + " at bit address " + std::to_string(addr) + " with transport size " +
                    std::to_string(ts) + ", not judged"};
      what += "B" + std::to_string(addr >> 3) + "[" + std::to_string(bytes) + "]";
      ok = covers(area, db, addr >> 3, (addr >> 3) + bytes);
    }
    if (!ok) return {n, i, item + what};
  }
  return {n, -1, {}};
}

}  // namespace s7gate
