// What a network client may write through the gateway: the ranges named by
// --allow-write, and the check of a write-variable job's items against them.
// Pure: no I/O, every byte of the job bound-checked (it is fuzzed with the
// front).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace s7gate {

// One allowed range: bytes [start, end) of an area (of data block db), or
// timers / counters [start, end) by number; whole_db: every byte of db.
struct WriteRange {
  uint8_t area;
  uint16_t db;
  bool whole_db;
  uint32_t start, end;
};

// The verdict on a write-variable job.
struct WriteCheck {
  int items;         // items to answer; -1: the parameter part is not a write job's
  int refused;       // index of the first item not allowed; -1: every item allowed
  std::string what;  // that item (or why the parameters are malformed), for the log
};

class WriteAllow {
 public:
  // Adds a range given as a tag ("DB10.DBB0[100]", "MW20", "M20.3" (its
  // byte), "T5", "C3", "VB100[50]") or a whole data block ("DB10"). False,
  // with why set, when the text names no range.
  bool add(std::string_view text, std::string &why);
  bool empty() const { return ranges_.empty(); }
  const std::vector<WriteRange> &ranges() const { return ranges_; }

  // The parameter part of a write-variable job (05 n, then n items of 12
  // bytes): allowed when every item lies within the ranges. An item that is
  // not an address the gateway can judge counts as not allowed.
  WriteCheck check(std::span<const uint8_t> par) const;

 private:
  bool covers(uint8_t area, uint16_t db, uint32_t start, uint32_t end) const;
  std::vector<WriteRange> ranges_;
};

}  // namespace s7gate
