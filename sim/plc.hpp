// Simulated S7 CPU: memory areas and the S7 jobs a real CPU answers.
// Shared by the simulated MPI adapter and the simulated S7-200 station.
// Thread-safe: tests preset and inspect memory while the simulator thread runs.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace s7sim {

enum class Area : uint8_t {
  Inputs = 0x81,   // E
  Outputs = 0x82,  // A
  Flags = 0x83,    // M
  DB = 0x84,       // data blocks
  Counters = 0x1C, // Z, 16-bit BCD words
  Timers = 0x1D,   // T, 16-bit words: time base in bits 12-13, three BCD digits
  System = 0x03,   // S7-200 system information (identification text)
};

// One read or write item the PLC has handled (for tests and the trace).
struct JobRecord {
  bool write = false;
  uint8_t area = 0;
  uint16_t db = 0;
  uint32_t address = 0;   // bit address as sent (timers/counters: their number)
  uint16_t count = 0;     // item count as sent
  uint8_t tsize = 0;      // item transport size as sent
  uint8_t return_code = 0;
};

class Plc {
 public:
  Plc();

  // ---- memory, for tests and presets ----
  void set_area_size(Area area, size_t bytes);  // inputs, outputs, flags (default 1024 each)
  void add_db(int number, size_t bytes);        // a new zeroed data block (replaces one of that number)
  void remove_db(int number);
  bool has_db(int number) const;
  void write_bytes(Area area, int db, size_t offset, std::span<const uint8_t> bytes);
  std::vector<uint8_t> read_bytes(Area area, int db, size_t offset, size_t len) const;
  void set_timer(int n, uint16_t word);  // 256 timers
  uint16_t timer(int n) const;
  void set_counter(int n, uint16_t word);  // 256 counters
  uint16_t counter(int n) const;
  void set_cpu_text(const std::string &text);  // 16 characters of identification (padded/cut)
  void set_pdu_size(int bytes);                // negotiated PDU size, default 240
  int pdu_size() const;

  // ---- S7 jobs ----
  // Takes one S7 PDU (from the 0x32 header byte on) and returns the answer PDU
  // (from its 0x32 byte on). A request or answer larger than the PDU size is
  // refused. An unknown or malformed job is answered with an error header.
  std::vector<uint8_t> handle(std::span<const uint8_t> pdu);

  std::vector<JobRecord> jobs() const;  // every read/write item handled, oldest first
  void clear_jobs();

 private:
  mutable std::mutex mu_;
  std::vector<uint8_t> inputs_, outputs_, flags_;
  std::map<int, std::vector<uint8_t>> dbs_;
  std::vector<uint16_t> timers_, counters_;
  std::string cpu_text_;
  int pdu_size_ = 240;
  std::vector<JobRecord> jobs_;
  uint16_t pdu_ref_ = 0;
};

}  // namespace s7sim
