// Simulated S7 CPU: memory areas and the S7 jobs a real CPU answers.
// Shared by the simulated MPI adapter and the simulated S7-200 station.
// Thread-safe: tests preset and inspect memory while the simulator thread runs.
//
// What handle() answers (every PDU is taken from its 0x32 byte on):
// - Setup job (F0 00 ...): the negotiated PDU size, the smaller of the asked and
//   the configured size; parameters F0 00 00 01 00 01 <size>, no data.
// - Read / write variable with 1 to 20 items (0x12 0x0A 0x10 any-pointer):
//   answer Code 0x03, error bytes 00 00, parameters 04 n / 05 n, then per item
//   the data item (read: return code, transport size, length, data, and a fill
//   byte after odd data unless it is the last; write: one return code each).
//   Read data travel as 0x04 with the length in bits (bytes), 0x03 with length 1
//   (one bit, answered as 0 or 1), 0x09 with the length in bytes (timers and
//   counters, two bytes each, big-endian).
//   Item return codes: see kRc... below. On any item error a read answers the
//   item as <code> 00 00 00 without data.
// - Userdata block information (group 0x43, subfunction 0x03) for block kind
//   "0A" (data block): the 78-byte block head; a missing block is answered with
//   error 0xD209 in the parameters and the data item 0A 00 00 00.
// - The S7-200 identification: area 0x03 holds the 16 bytes of the CPU text,
//   readable as bytes (DB number ignored), never writable.
// - Refusals of the whole job (answer Code 0x03, no parameters, no data, the
//   error class and code after the header): a request longer than the PDU size,
//   or a read whose answer would be longer, gets 0x85 0x00; a request whose
//   lengths do not add up, whose header is not 0x32, or whose parameters are
//   malformed gets 0x84 0x04; an unknown function, a job kind other than 0x01 and
//   0x07, or more than 20 items gets 0x81 0x04. Nothing of the job is carried out
//   and no JobRecord is written for it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace s7sim {

enum class Area : uint8_t {
  Inputs = 0x81,    // E
  Outputs = 0x82,   // A
  Flags = 0x83,     // M
  DB = 0x84,        // data blocks
  Counters = 0x1C,  // Z, 16-bit BCD words
  Timers = 0x1D,    // T, 16-bit words: time base in bits 12-13, three BCD digits
  System = 0x03,    // S7-200 system information (identification text)
};

// Item return codes of read and write answers.
inline constexpr uint8_t kRcOk = 0xFF;
// Write to the identification area.
inline constexpr uint8_t kRcAccessDenied = 0x03;
// Range outside the area, count 0, bit count other than 1, unknown area.
inline constexpr uint8_t kRcAddress = 0x05;
// Transport size unknown or not for this area.
inline constexpr uint8_t kRcTypeUnsupported = 0x06;
// Write data item (transport size, length, byte count) does not match the item.
inline constexpr uint8_t kRcDataMismatch = 0x07;
// Data block does not exist.
inline constexpr uint8_t kRcNoObject = 0x0A;

// Error class of a job refusal (after the 10-byte header of a Code 0x03 answer);
// the error code is 0x00 with kErrClassPdu and 0x04 with the other two.
// Request or answer exceeds the PDU size.
inline constexpr uint8_t kErrClassPdu = 0x85;
// Malformed request.
inline constexpr uint8_t kErrClassSyntax = 0x84;
// Function or job kind not supported, or more than 20 items.
inline constexpr uint8_t kErrClassService = 0x81;

// One read or write item the PLC has handled (for tests and the trace).
struct JobRecord {
  bool write = false;
  uint8_t area = 0;
  uint16_t db = 0;
  uint32_t address = 0;  // bit address as sent (timers/counters: their number)
  uint16_t count = 0;    // item count as sent
  uint8_t tsize = 0;     // item transport size as sent
  uint8_t return_code = 0;
};

class Plc {
 public:
  Plc();

  // ---- memory, for tests and presets ----
  // Test helpers throw std::invalid_argument / std::out_of_range on bad arguments.
  void set_area_size(Area area, size_t bytes);  // inputs, outputs, flags (default 1024 each)
  // A new zeroed data block (replaces one of that number); number and size 0..65535.
  void add_db(int number, size_t bytes);
  void remove_db(int number);
  bool has_db(int number) const;
  void write_bytes(Area area, int db, size_t offset, std::span<const uint8_t> bytes);
  std::vector<uint8_t> read_bytes(Area area, int db, size_t offset, size_t len) const;
  void set_timer(int n, uint16_t word);  // 256 timers
  uint16_t timer(int n) const;
  void set_counter(int n, uint16_t word);  // 256 counters
  uint16_t counter(int n) const;
  void set_cpu_text(const std::string &text);  // 16 characters of identification (padded/cut)
  // PDU size offered, 64 to 8192 (default 240); also resets the size in force.
  void set_pdu_size(int bytes);
  int pdu_size() const;  // the size in force (after a setup job: the negotiated one)

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
  std::vector<uint8_t> system_;  // area 0x03: the 16 bytes of the CPU text
  int pdu_size_ = 240;
  std::vector<JobRecord> jobs_;
  uint16_t pdu_ref_ = 0;  // reference of the last request
  int negotiated_ = 240;  // size in force; pdu_size_ until a setup job asks for less

  struct Item;
  struct Target;
  std::vector<uint8_t> setup(std::span<const uint8_t> par, std::span<const uint8_t> dat);
  std::vector<uint8_t> read_var(std::span<const uint8_t> par, std::span<const uint8_t> dat);
  std::vector<uint8_t> write_var(std::span<const uint8_t> par, std::span<const uint8_t> dat);
  std::vector<uint8_t> block_info(std::span<const uint8_t> par, std::span<const uint8_t> dat);
  uint8_t locate(const Item &item, bool write, Target &t);
  std::vector<uint8_t> *byte_area(Area area, int db);
  const std::vector<uint8_t> *byte_area(Area area, int db) const;
};

}  // namespace s7sim
