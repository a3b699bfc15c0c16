#include "plc.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>
#include <utility>

namespace s7sim {

namespace {

constexpr size_t kHeaderLen = 10;      // 0x32, Code, 2 reserved, reference, LenBl1, LenBl2
constexpr size_t kAnswerHeadLen = 12;  // the same plus error class and error code
constexpr size_t kTimerCount = 256;
constexpr size_t kCounterCount = 256;
constexpr size_t kAreaDefault = 1024;
constexpr size_t kCpuTextLen = 16;
constexpr size_t kBlockHeadLen = 78;
constexpr int kPduMin = 64;
constexpr int kPduMax = 8192;
constexpr size_t kMaxDbSize = 0xFFFF;  // the block head carries the length in 16 bits
constexpr char kDefaultCpuText[] = "CPU 216-2 REL.01";
static_assert(sizeof(kDefaultCpuText) - 1 == kCpuTextLen);
static_assert(kDefaultCpuText[6] == '6', "the library derives the V-memory size from this digit");

// Transport sizes in the request item and in the data item.
constexpr uint8_t kTsBit = 0x01;
constexpr uint8_t kTsByte = 0x02;
constexpr uint8_t kTsCounter = 0x1C;
constexpr uint8_t kTsTimer = 0x1D;
constexpr uint8_t kDataTsBit = 0x03;
constexpr uint8_t kDataTsBits = 0x04;    // length in bits
constexpr uint8_t kDataTsOctets = 0x09;  // length in bytes

constexpr uint8_t kFnSetup = 0xF0;
constexpr uint8_t kFnRead = 0x04;
constexpr uint8_t kFnWrite = 0x05;
constexpr uint8_t kCodeJob = 0x01;
constexpr uint8_t kCodeAnswer = 0x03;
constexpr uint8_t kCodeUserdata = 0x07;

// Reads big-endian values from an untrusted byte span. Running past the end
// yields zeros and leaves ok() false, so a parser reads its fields first and
// checks once.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : b_(bytes) {}

  uint8_t u8() {
    if (pos_ + 1 > b_.size()) return fail();
    return b_[pos_++];
  }
  uint16_t u16() {
    const uint16_t hi = u8();
    const uint16_t lo = u8();
    return static_cast<uint16_t>(hi << 8 | lo);
  }
  uint32_t u24() {
    const uint32_t hi = u8();
    const uint32_t lo = u16();
    return hi << 16 | lo;
  }
  std::span<const uint8_t> rest() const { return b_.subspan(std::min(pos_, b_.size())); }
  bool ok() const { return ok_; }
  bool at_end() const { return ok_ && pos_ == b_.size(); }

 private:
  uint8_t fail() {
    ok_ = false;
    pos_ = b_.size();
    return 0;
  }
  std::span<const uint8_t> b_;
  size_t pos_ = 0;
  bool ok_ = true;
};

void put16(std::vector<uint8_t> &out, size_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void put_at16(std::span<uint8_t> out, size_t pos, size_t v) {
  out[pos] = static_cast<uint8_t>(v >> 8);
  out[pos + 1] = static_cast<uint8_t>(v);
}

// Answer to a Code 0x01 job: 12-byte head with the error bytes, then parameters and data.
std::vector<uint8_t> job_answer(uint16_t ref, uint8_t err_class, uint8_t err_code,
                                std::span<const uint8_t> par, std::span<const uint8_t> dat) {
  std::vector<uint8_t> out{0x32, kCodeAnswer, 0x00, 0x00};
  out.reserve(kAnswerHeadLen + par.size() + dat.size());
  put16(out, ref);
  put16(out, par.size());
  put16(out, dat.size());
  out.push_back(err_class);
  out.push_back(err_code);
  out.insert(out.end(), par.begin(), par.end());
  out.insert(out.end(), dat.begin(), dat.end());
  return out;
}

std::vector<uint8_t> refusal(uint16_t ref, uint8_t err_class, uint8_t err_code) {
  return job_answer(ref, err_class, err_code, {}, {});
}

std::vector<uint8_t> malformed(uint16_t ref) { return refusal(ref, kErrClassSyntax, 0x04); }
std::vector<uint8_t> unsupported(uint16_t ref) { return refusal(ref, kErrClassService, 0x04); }
std::vector<uint8_t> too_large(uint16_t ref) { return refusal(ref, kErrClassPdu, 0x00); }

// Userdata answer: Code 0x07, no error bytes.
std::vector<uint8_t> userdata_answer(uint16_t ref, std::span<const uint8_t> par,
                                     std::span<const uint8_t> dat) {
  std::vector<uint8_t> out{0x32, kCodeUserdata, 0x00, 0x00};
  out.reserve(kHeaderLen + par.size() + dat.size());
  put16(out, ref);
  put16(out, par.size());
  put16(out, dat.size());
  out.insert(out.end(), par.begin(), par.end());
  out.insert(out.end(), dat.begin(), dat.end());
  return out;
}

void check_timer_index(int n, size_t size) {
  if (n < 0 || static_cast<size_t>(n) >= size) throw std::out_of_range("timer/counter number");
}

}  // namespace

// The any-pointer item of a read or write job: 12 0A 10 ts count(2) db(2) area addr(3).
struct Plc::Item {
  uint8_t ts = 0;
  uint16_t count = 0;
  uint16_t db = 0;
  uint8_t area = 0;
  uint32_t addr = 0;

  bool timer_or_counter() const { return ts == kTsTimer || ts == kTsCounter; }
  // Bytes the item occupies on the wire.
  size_t wire_bytes() const {
    if (ts == kTsBit) return 1;
    if (timer_or_counter()) return size_t{count} * 2;
    return count;
  }
};

// Where an item lands in memory: a run of bytes (with a bit number for bit
// access) or a run of 16-bit timer/counter words.
struct Plc::Target {
  std::vector<uint8_t> *bytes = nullptr;
  std::vector<uint16_t> *words = nullptr;
  size_t offset = 0;
  size_t count = 0;
  int bit = -1;
};

namespace {

// Parses the 12 item bytes after the function code and item count; true when
// they were all there and the item is an any-pointer (12 0A 10). A template
// only because the item record is private to Plc.
template <typename ItemT>
bool parse_item(Reader &r, ItemT &item) {
  const uint8_t var_kind = r.u8();
  const uint8_t len = r.u8();
  const uint8_t syntax = r.u8();
  item.ts = r.u8();
  item.count = r.u16();
  item.db = r.u16();
  item.area = r.u8();
  item.addr = r.u24();
  return r.ok() && var_kind == 0x12 && len == 0x0A && syntax == 0x10;
}

}  // namespace

Plc::Plc()
    : inputs_(kAreaDefault),
      outputs_(kAreaDefault),
      flags_(kAreaDefault),
      timers_(kTimerCount),
      counters_(kCounterCount),
      system_(kDefaultCpuText, kDefaultCpuText + kCpuTextLen) {}

// ---------------------------------------------------------------- memory

std::vector<uint8_t> *Plc::byte_area(Area area, int db) {
  return const_cast<std::vector<uint8_t> *>(std::as_const(*this).byte_area(area, db));
}

const std::vector<uint8_t> *Plc::byte_area(Area area, int db) const {
  switch (area) {
    case Area::Inputs:
      return &inputs_;
    case Area::Outputs:
      return &outputs_;
    case Area::Flags:
      return &flags_;
    case Area::System:
      return &system_;
    case Area::DB: {
      auto it = dbs_.find(db);
      return it == dbs_.end() ? nullptr : &it->second;
    }
    case Area::Timers:
    case Area::Counters:
      break;
  }
  return nullptr;
}

void Plc::set_area_size(Area area, size_t bytes) {
  std::lock_guard lock(mu_);
  switch (area) {
    case Area::Inputs:
      inputs_.assign(bytes, 0);
      return;
    case Area::Outputs:
      outputs_.assign(bytes, 0);
      return;
    case Area::Flags:
      flags_.assign(bytes, 0);
      return;
    default:
      throw std::invalid_argument("set_area_size: inputs, outputs or flags only");
  }
}

void Plc::add_db(int number, size_t bytes) {
  if (number < 0 || number > 0xFFFF) throw std::invalid_argument("add_db: number 0..65535");
  if (bytes > kMaxDbSize) throw std::invalid_argument("add_db: at most 65535 bytes");
  std::lock_guard lock(mu_);
  dbs_[number] = std::vector<uint8_t>(bytes);
}

void Plc::remove_db(int number) {
  std::lock_guard lock(mu_);
  dbs_.erase(number);
}

bool Plc::has_db(int number) const {
  std::lock_guard lock(mu_);
  return dbs_.count(number) != 0;
}

void Plc::write_bytes(Area area, int db, size_t offset, std::span<const uint8_t> bytes) {
  std::lock_guard lock(mu_);
  std::vector<uint8_t> *mem = byte_area(area, db);
  if (mem == nullptr) throw std::out_of_range("write_bytes: no such byte area");
  if (offset > mem->size() || bytes.size() > mem->size() - offset)
    throw std::out_of_range("write_bytes: range outside the area");
  std::copy(bytes.begin(), bytes.end(), mem->begin() + static_cast<std::ptrdiff_t>(offset));
}

std::vector<uint8_t> Plc::read_bytes(Area area, int db, size_t offset, size_t len) const {
  std::lock_guard lock(mu_);
  const std::vector<uint8_t> *mem = byte_area(area, db);
  if (mem == nullptr) throw std::out_of_range("read_bytes: no such byte area");
  if (offset > mem->size() || len > mem->size() - offset)
    throw std::out_of_range("read_bytes: range outside the area");
  const auto first = mem->begin() + static_cast<std::ptrdiff_t>(offset);
  return std::vector<uint8_t>(first, first + static_cast<std::ptrdiff_t>(len));
}

void Plc::set_timer(int n, uint16_t word) {
  std::lock_guard lock(mu_);
  check_timer_index(n, timers_.size());
  timers_[static_cast<size_t>(n)] = word;
}

uint16_t Plc::timer(int n) const {
  std::lock_guard lock(mu_);
  check_timer_index(n, timers_.size());
  return timers_[static_cast<size_t>(n)];
}

void Plc::set_counter(int n, uint16_t word) {
  std::lock_guard lock(mu_);
  check_timer_index(n, counters_.size());
  counters_[static_cast<size_t>(n)] = word;
}

uint16_t Plc::counter(int n) const {
  std::lock_guard lock(mu_);
  check_timer_index(n, counters_.size());
  return counters_[static_cast<size_t>(n)];
}

void Plc::set_cpu_text(const std::string &text) {
  std::lock_guard lock(mu_);
  system_.assign(kCpuTextLen, ' ');
  std::copy_n(text.begin(), std::min(text.size(), kCpuTextLen), system_.begin());
}

void Plc::set_pdu_size(int bytes) {
  if (bytes < kPduMin || bytes > kPduMax) throw std::invalid_argument("set_pdu_size: 64..8192");
  std::lock_guard lock(mu_);
  pdu_size_ = bytes;
  negotiated_ = bytes;
}

int Plc::pdu_size() const {
  std::lock_guard lock(mu_);
  return negotiated_;
}

std::vector<JobRecord> Plc::jobs() const {
  std::lock_guard lock(mu_);
  return jobs_;
}

void Plc::clear_jobs() {
  std::lock_guard lock(mu_);
  jobs_.clear();
}

// ---------------------------------------------------------------- S7 jobs

std::vector<uint8_t> Plc::handle(std::span<const uint8_t> pdu) {
  std::lock_guard lock(mu_);
  Reader r(pdu);
  const uint8_t proto = r.u8();
  const uint8_t code = r.u8();
  r.u16();  // reserved
  pdu_ref_ = r.u16();
  const uint16_t par_len = r.u16();
  const uint16_t dat_len = r.u16();
  // A head cut short still has its reference echoed as far as it arrived.
  if (!r.ok()) return malformed(pdu.size() >= 6 ? static_cast<uint16_t>(pdu[4] << 8 | pdu[5]) : 0);
  if (pdu.size() > static_cast<size_t>(negotiated_)) return too_large(pdu_ref_);
  if (proto != 0x32 || pdu.size() != kHeaderLen + par_len + dat_len) return malformed(pdu_ref_);

  const auto par = pdu.subspan(kHeaderLen, par_len);
  const auto dat = pdu.subspan(kHeaderLen + par_len, dat_len);
  std::vector<uint8_t> answer;
  if (code == kCodeJob) {
    if (par.empty()) return malformed(pdu_ref_);
    switch (par[0]) {
      case kFnSetup:
        answer = setup(par, dat);
        break;
      case kFnRead:
        answer = read_var(par, dat);
        break;
      case kFnWrite:
        answer = write_var(par, dat);
        break;
      default:
        return unsupported(pdu_ref_);
    }
  } else if (code == kCodeUserdata) {
    answer = block_info(par, dat);
  } else {
    return unsupported(pdu_ref_);
  }
  // Backstop: no answer ever leaves larger than the size in force.
  if (answer.size() > static_cast<size_t>(negotiated_)) return too_large(pdu_ref_);
  return answer;
}

// F0 00 <calling 2> <called 2> <PDU size 2>; the answer offers the smaller size.
std::vector<uint8_t> Plc::setup(std::span<const uint8_t> par, std::span<const uint8_t> dat) {
  Reader r(par);
  r.u8();   // function
  r.u8();   // reserved
  r.u16();  // parallel jobs, calling
  r.u16();  // parallel jobs, called
  const uint16_t asked = r.u16();
  if (!r.at_end() || !dat.empty() || asked < kPduMin) return malformed(pdu_ref_);
  negotiated_ = std::min<int>(asked, pdu_size_);
  std::vector<uint8_t> answer_par{kFnSetup, 0x00, 0x00, 0x01, 0x00, 0x01};
  put16(answer_par, static_cast<size_t>(negotiated_));
  return job_answer(pdu_ref_, 0x00, 0x00, answer_par, {});
}

// Checks the item against the memory and says where it lands. Returns kRcOk or
// the item return code of the refusal.
uint8_t Plc::locate(const Item &item, bool write, Target &t) {
  t = Target{};
  const auto area = static_cast<Area>(item.area);
  if (item.timer_or_counter()) {
    // Timers only with the timer transport size, counters only with theirs.
    if (item.area != item.ts) return kRcTypeUnsupported;
    t.words = area == Area::Timers ? &timers_ : &counters_;
    t.offset = item.addr;
    t.count = item.count;
    if (t.count == 0 || t.offset > t.words->size() || t.count > t.words->size() - t.offset)
      return kRcAddress;
    return kRcOk;
  }
  if (item.ts != kTsBit && item.ts != kTsByte) return kRcTypeUnsupported;
  switch (area) {
    case Area::Inputs:
    case Area::Outputs:
    case Area::Flags:
    case Area::DB:
      break;
    case Area::System:
      if (write) return kRcAccessDenied;
      break;
    case Area::Timers:
    case Area::Counters:
      return kRcTypeUnsupported;  // byte or bit access to timers/counters
    default:
      return kRcAddress;  // no such area
  }
  t.bytes = byte_area(area, item.db);
  if (t.bytes == nullptr) return kRcNoObject;
  t.offset = item.addr >> 3;
  if (item.ts == kTsBit) {
    if (item.count != 1) return kRcAddress;
    t.bit = static_cast<int>(item.addr & 7);
    t.count = 1;
  } else {
    t.count = item.count;
  }
  if (t.count == 0 || t.offset > t.bytes->size() || t.count > t.bytes->size() - t.offset)
    return kRcAddress;
  return kRcOk;
}

// Most items in one read or write job.
constexpr size_t kMaxItems = 20;

// 04 n + n items; answer 04 n + per item: return code, transport size, length,
// data, and a fill byte after odd data unless it is the last item.
std::vector<uint8_t> Plc::read_var(std::span<const uint8_t> par, std::span<const uint8_t> dat) {
  Reader r(par);
  r.u8();  // function
  const uint8_t items = r.u8();
  if (r.ok() && items > kMaxItems) return unsupported(pdu_ref_);
  std::vector<Item> list(items);
  for (Item &item : list)
    if (!parse_item(r, item)) return malformed(pdu_ref_);
  if (items == 0 || !r.at_end() || !dat.empty()) return malformed(pdu_ref_);

  const std::array<uint8_t, 2> answer_par{kFnRead, items};
  size_t answer_size = kAnswerHeadLen + answer_par.size();
  for (size_t i = 0; i < list.size(); ++i) {
    const size_t n = list[i].wire_bytes();
    answer_size += 4 + n + ((n & 1) && i + 1 < list.size() ? 1 : 0);
  }
  if (answer_size > static_cast<size_t>(negotiated_)) return too_large(pdu_ref_);

  std::vector<uint8_t> data;
  for (size_t i = 0; i < list.size(); ++i) {
    const Item &item = list[i];
    Target t;
    const uint8_t rc = locate(item, false, t);
    jobs_.push_back({false, item.area, item.db, item.addr, item.count, item.ts, rc});
    data.push_back(rc);
    size_t n = 0;
    if (rc != kRcOk) {
      data.insert(data.end(), {0x00, 0x00, 0x00});
    } else if (t.bit >= 0) {
      data.push_back(kDataTsBit);
      put16(data, 1);
      data.push_back(static_cast<uint8_t>(((*t.bytes)[t.offset] >> t.bit) & 1));
      n = 1;
    } else if (t.words != nullptr) {
      data.push_back(kDataTsOctets);
      put16(data, t.count * 2);
      for (size_t w = 0; w < t.count; ++w) put16(data, (*t.words)[t.offset + w]);
    } else {
      data.push_back(kDataTsBits);
      put16(data, t.count * 8);  // bounded by the PDU size check above
      const auto first = t.bytes->begin() + static_cast<std::ptrdiff_t>(t.offset);
      data.insert(data.end(), first, first + static_cast<std::ptrdiff_t>(t.count));
      n = t.count;
    }
    if ((n & 1) && i + 1 < list.size()) data.push_back(0x00);
  }
  return job_answer(pdu_ref_, 0x00, 0x00, answer_par, data);
}

// 05 n + n items, data per item 00 ts len(2) data (a fill byte after odd data
// unless last); answer 05 n, data: one return code per item.
std::vector<uint8_t> Plc::write_var(std::span<const uint8_t> par, std::span<const uint8_t> dat) {
  Reader r(par);
  r.u8();  // function
  const uint8_t items = r.u8();
  if (r.ok() && items > kMaxItems) return unsupported(pdu_ref_);
  std::vector<Item> list(items);
  for (Item &item : list)
    if (!parse_item(r, item)) return malformed(pdu_ref_);
  if (items == 0 || !r.at_end()) return malformed(pdu_ref_);

  // Every data item is checked before anything is written.
  struct Part {
    uint8_t ts;
    uint16_t len;
    std::span<const uint8_t> payload;
  };
  std::vector<Part> parts;
  Reader d(dat);
  for (size_t i = 0; i < list.size(); ++i) {
    d.u8();  // reserved (return code field of a request)
    Part p{d.u8(), d.u16(), {}};
    if (!d.ok()) return malformed(pdu_ref_);
    // the last item takes the rest, so that a wrong count is its return code
    const bool last = i + 1 == list.size();
    const size_t n = last ? d.rest().size() : std::min(d.rest().size(), list[i].wire_bytes());
    p.payload = d.rest().first(n);
    for (size_t k = 0; k < n; ++k) d.u8();
    if ((n & 1) && !last) d.u8();
    parts.push_back(p);
  }
  if (!d.ok() || !d.rest().empty()) return malformed(pdu_ref_);

  std::vector<uint8_t> codes;
  for (size_t i = 0; i < list.size(); ++i) {
    const Item &item = list[i];
    const Part &p = parts[i];
    // The data item must describe exactly what the item addresses.
    uint8_t want_ts = kDataTsBits;
    size_t want_len = size_t{item.count} * 8;
    if (item.ts == kTsBit) {
      want_ts = kDataTsBit;
      want_len = 1;
    } else if (item.timer_or_counter()) {
      want_ts = kDataTsOctets;
      want_len = size_t{item.count} * 2;
    }
    Target t;
    uint8_t rc = locate(item, true, t);
    // A data item that does not describe the item outranks a missing DB or a bad range.
    const bool matches =
        p.ts == want_ts && p.len == want_len && p.payload.size() == item.wire_bytes();
    if (!matches && (rc == kRcOk || rc == kRcNoObject || rc == kRcAddress)) rc = kRcDataMismatch;
    if (rc == kRcOk) {
      if (t.bit >= 0) {
        uint8_t &b = (*t.bytes)[t.offset];
        const auto mask = static_cast<uint8_t>(1u << t.bit);
        b = p.payload[0] != 0 ? static_cast<uint8_t>(b | mask) : static_cast<uint8_t>(b & ~mask);
      } else if (t.words != nullptr) {
        for (size_t w = 0; w < t.count; ++w)
          (*t.words)[t.offset + w] =
              static_cast<uint16_t>(p.payload[2 * w] << 8 | p.payload[2 * w + 1]);
      } else {
        std::copy_n(p.payload.begin(), t.count,
                    t.bytes->begin() + static_cast<std::ptrdiff_t>(t.offset));
      }
    }
    jobs_.push_back({true, item.area, item.db, item.addr, item.count, item.ts, rc});
    codes.push_back(rc);
  }
  const std::array<uint8_t, 2> answer_par{kFnWrite, items};
  return job_answer(pdu_ref_, 0x00, 0x00, answer_par, codes);
}

// Userdata, block functions: 00 01 12 04 11 43 03 seq, data FF 09 00 08 '0' 'A' ddddd 'B'.
std::vector<uint8_t> Plc::block_info(std::span<const uint8_t> par, std::span<const uint8_t> dat) {
  Reader r(par);
  const uint8_t h0 = r.u8();
  const uint8_t h1 = r.u8();
  const uint8_t h2 = r.u8();
  const uint8_t plen = r.u8();
  const uint8_t method = r.u8();
  const uint8_t group = r.u8();
  const uint8_t sub = r.u8();
  r.u8();  // sequence number
  if (!r.at_end() || h0 != 0x00 || h1 != 0x01 || h2 != 0x12 || plen != 0x04 || method != 0x11)
    return malformed(pdu_ref_);
  if (group != 0x43 || sub != 0x03) return unsupported(pdu_ref_);
  Reader d(dat);
  const uint8_t rc = d.u8();
  const uint8_t ts = d.u8();
  const uint16_t len = d.u16();
  if (!d.ok() || rc != 0xFF || ts != kDataTsOctets || len != 8 || d.rest().size() != 8)
    return malformed(pdu_ref_);
  const auto name = d.rest();

  // "0A" is a data block; the number is five ASCII digits.
  std::optional<int> number;
  if (name[0] == '0' && name[1] == 'A' &&
      std::all_of(name.begin() + 2, name.begin() + 7,
                  [](uint8_t c) { return c >= '0' && c <= '9'; })) {
    int n = 0;
    for (size_t i = 2; i < 7; ++i) n = n * 10 + (name[i] - '0');
    number = n;
  }
  const auto db = number ? dbs_.find(*number) : dbs_.end();
  if (db == dbs_.end()) {
    constexpr std::array<uint8_t, 12> miss_par{0x00, 0x01, 0x12, 0x08, 0x12, 0x83,
                                               0x03, 0x01, 0x00, 0x00, 0xD2, 0x09};
    constexpr std::array<uint8_t, 4> miss_dat{0x0A, 0x00, 0x00, 0x00};
    return userdata_answer(pdu_ref_, miss_par, miss_dat);
  }

  const size_t size = db->second.size();
  std::array<uint8_t, kBlockHeadLen> head{};
  put_at16(head, 0, 0x0100);
  put_at16(head, 2, kBlockHeadLen - 4);  // information that follows the two length words
  put_at16(head, 4, 0x0001);             // flags: block in the CPU
  put_at16(head, 6, 0x7070);
  head[11] = 0x0A;  // block kind: data block
  put_at16(head, 12, static_cast<size_t>(*number));
  put_at16(head, 16, std::min<size_t>(size + 72, 0xFFFF));  // load length: head, data, trailer
  // Creation and last change: milliseconds since midnight (4), days since 1984 (2).
  constexpr std::array<uint8_t, 6> stamp{0x02, 0x25, 0x51, 0x00, 0x2D, 0x8A};
  std::copy(stamp.begin(), stamp.end(), head.begin() + 22);
  std::copy(stamp.begin(), stamp.end(), head.begin() + 28);
  put_at16(head, 34, 0x0000);
  put_at16(head, 38, 0x0000);
  put_at16(head, 40, size);  // MCLen: the data length
  constexpr std::array<char, 24> texts{'S', '7', 'S', 'I', 'M', ' ', ' ', ' ',   // author
                                       'S', 'I', 'M', 'D', 'B', ' ', ' ', ' ',   // family
                                       'D', 'A', 'T', 'A', ' ', ' ', ' ', ' '};  // name
  std::copy(texts.begin(), texts.end(), head.begin() + 42);
  head[66] = 0x10;  // version 1.0

  constexpr std::array<uint8_t, 12> hit_par{0x00, 0x01, 0x12, 0x08, 0x12, 0x83,
                                            0x03, 0x01, 0x00, 0x00, 0x00, 0x00};
  std::vector<uint8_t> data{0xFF, kDataTsOctets};
  put16(data, kBlockHeadLen);
  data.insert(data.end(), head.begin(), head.end());
  return userdata_answer(pdu_ref_, hit_par, data);
}

}  // namespace s7sim
