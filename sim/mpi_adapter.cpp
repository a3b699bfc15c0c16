#include "mpi_adapter.hpp"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>

#include "r3964_peer.hpp"

namespace s7sim {

namespace {

// Waits of the adapter. They are generous: the PC's timing is what matters,
// and the adapter answers at once on every normal path.
constexpr int kIdleSliceMs = 50;     // main loop, waiting for the PC's STX
constexpr int kCharWaitMs = 1000;    // next character inside a block
constexpr int kDleWaitMs = 1000;     // the PC's DLE after our STX
constexpr int kAnswerWaitMs = 2000;  // the PC's DLE or NAK after our block
constexpr int kQuietMs = 20;         // a burst of stray characters has ended
constexpr size_t kMaxStray = 4096;   // characters collected per burst

// The largest block the PC can hold (header, job header, 300 bytes).
constexpr size_t kPcBlockMax = 316;

// Constant parts of the initialisation record.
constexpr std::array<uint8_t, 15> kInitHead = {0x01, 0x03, 0x02, 0x27, 0x00, 0x9F, 0x01, 0x3C,
                                               0x00, 0x90, 0x01, 0x14, 0x00, 0x00, 0x14};
constexpr std::array<uint8_t, 4> kInitTail = {0x05, 0x01, 0x01, 0x03};
constexpr uint8_t kInitMasterId = 0x80;
constexpr uint8_t kInitMaxAdr = 0x7E;
constexpr size_t kInitLen = 23;

// Constant parts of the connect request.
constexpr std::array<uint8_t, 3> kConnHead = {0x00, 0x0D, 0x00};
constexpr std::array<uint8_t, 13> kConnMid = {0xE0, 0x04, 0x00, 0x80, 0x00, 0x02, 0x01,
                                              0x06, 0x01, 0x00, 0x00, 0x01, 0x02};
constexpr std::array<uint8_t, 2> kConnTail = {0x01, 0x00};
constexpr size_t kConnLen = 20;

// The four follow-up blocks after an 'E' answer, in order.
constexpr std::array<uint8_t, 4> kFollowUp = {0x08, 0x04, 0x0C, 0x08};

// Block kinds of an established connection.
constexpr uint8_t kKindJob = 0xF1;
constexpr uint8_t kKindConfirm = 0x05;
constexpr uint8_t kKindDisconnect = 0x80;
constexpr uint8_t kKindAck = 0xB0;

// Bus-member list: one status byte per MPI address.
constexpr int kMembers = 127;
constexpr uint8_t kNoStation = 0x10;
constexpr uint8_t kStationPresent = 0x30;

constexpr uint8_t kFirstStationRef = 0x14;

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, f);
  std::vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

std::string hex(std::span<const uint8_t> b, size_t max = 24) {
  std::string s;
  for (size_t i = 0; i < b.size() && i < max; ++i) s += fmt(i ? " %02X" : "%02X", b[i]);
  if (b.size() > max) s += " ...";
  return s;
}

uint8_t next_nr(uint8_t n) { return n == 255 ? 1 : static_cast<uint8_t>(n + 1); }

unsigned be16(std::span<const uint8_t> b, size_t at) {
  return at + 1 < b.size() ? (unsigned{b[at]} << 8) | b[at + 1] : 0;
}

const char *area_name(uint8_t a) {
  switch (a) {
    case 0x81:
      return "E";
    case 0x82:
      return "A";
    case 0x83:
      return "M";
    case 0x84:
      return "DB";
    case 0x1C:
      return "Z";
    case 0x1D:
      return "T";
    case 0x03:
      return "SYS";
    default:
      return "?";
  }
}

// One read/write item: 12 0A 10 size count(2) db(2) area address(3).
std::string describe_item(std::span<const uint8_t> it) {
  if (it.size() < 12 || it[0] != 0x12) return "item " + hex(it, 12);
  const uint8_t area = it[8];
  const unsigned count = be16(it, 4), db = be16(it, 6);
  const unsigned addr = (unsigned{it[9]} << 16) | (unsigned{it[10]} << 8) | it[11];
  std::string s = area == 0x84 ? fmt("DB%u", db) : std::string(area_name(area));
  if (area == 0x1C || area == 0x1D)
    s += fmt(" no. %u", addr);
  else
    s += fmt(" byte %u.%u", addr >> 3, addr & 7);
  return s + fmt(" count %u size %02X", count, it[3]);
}

// An S7 PDU from its 0x32 byte on.
std::string describe_pdu(std::span<const uint8_t> p, bool answer) {
  if (p.size() < 10 || p[0] != 0x32) return "S7 ? " + hex(p, 12);
  const uint8_t code = p[1];
  const bool ack_data = code == 0x02 || code == 0x03;
  const size_t head = ack_data ? 12 : 10;
  const size_t lpar = be16(p, 6), ldat = be16(p, 8);
  if (p.size() < head) return "S7 short " + hex(p, 12);
  const auto par = p.subspan(head, std::min(lpar, p.size() - head));
  const auto dat = p.subspan(head + par.size(), std::min(ldat, p.size() - head - par.size()));
  std::string s;
  if (ack_data) {
    const unsigned err = be16(p, 10);
    if (err) s += fmt("error %04X ", err);
  }
  if (code == 0x07) {
    s += "userdata";
    if (par.size() >= 7) {
      s += fmt(" group %02X sub %02X", par[5] & 0x0F, par[6]);
      if ((par[5] & 0x0F) == 0x03 && par[6] == 0x03) s += " (block info)";
    }
    if (!answer && dat.size() >= 11) {
      s += " block ";
      for (size_t i = 4; i < 11; ++i) s += dat[i] >= 0x20 && dat[i] < 0x7F ? char(dat[i]) : '?';
    }
    if (answer && !dat.empty()) s += fmt(" rc %02X", dat[0]);
  } else if (par.empty()) {
    s += fmt("code %02X", code);
  } else {
    const uint8_t fn = par[0];
    if (fn == 0xF0) {
      s += fmt("setup pdu %u", be16(par, 6));
    } else if (fn == 0x04 || fn == 0x05) {
      s += fn == 0x04 ? "read" : "write";
      if (!answer && par.size() >= 14) s += " " + describe_item(par.subspan(2, 12));
      if (answer && !dat.empty()) s += fmt(" rc %02X", dat[0]);
    } else {
      s += fmt("function %02X", fn);
    }
  }
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// set-up and control

MpiAdapter::MpiAdapter(int fd) : line_(std::make_unique<Line>(fd, stop_)) {}

MpiAdapter::~MpiAdapter() { stop(); }

void MpiAdapter::add_station(int mpi_addr, Plc &plc) {
  if (mpi_addr < 0 || mpi_addr > 126) throw std::invalid_argument("MPI address out of range");
  for (auto &s : stations_)
    if (s.mpi_addr == mpi_addr) {
      s.plc = &plc;
      return;
    }
  stations_.push_back(
      Station{mpi_addr, &plc, static_cast<uint8_t>(kFirstStationRef + stations_.size())});
  conns_.resize(stations_.size());
}

void MpiAdapter::set_init_style(InitStyle style) { init_style_ = style; }

void MpiAdapter::set_pace(Pace pace) {
  if (thread_.joinable()) throw std::logic_error("set_pace() after start()");
  line_->set_pace(pace);
}

void MpiAdapter::set_trace(std::function<void(const std::string &)> sink) {
  std::lock_guard lk(mu_);
  trace_ = std::move(sink);
}

void MpiAdapter::start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { run(); });
}

void MpiAdapter::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void MpiAdapter::inject(FaultSetting fault) {
  std::lock_guard lk(mu_);
  faults_.push_back(fault);
}

void MpiAdapter::clear_faults() {
  std::lock_guard lk(mu_);
  faults_.clear();
}

std::vector<std::string> MpiAdapter::violations() const {
  std::lock_guard lk(mu_);
  return violations_;
}

std::vector<std::vector<uint8_t>> MpiAdapter::blocks_from_pc() const {
  std::lock_guard lk(mu_);
  return from_pc_;
}

std::vector<std::vector<uint8_t>> MpiAdapter::blocks_to_pc() const {
  std::lock_guard lk(mu_);
  return to_pc_;
}

uint64_t MpiAdapter::chars_from_pc() const { return line_->chars_in(); }
uint64_t MpiAdapter::chars_to_pc() const { return line_->chars_out(); }

bool MpiAdapter::fires(Fault kind, uint64_t event, FaultSetting *hit) {
  std::lock_guard lk(mu_);
  for (const auto &f : faults_) {
    if (f.kind != kind || f.nth < 1 || event < static_cast<uint64_t>(f.nth)) continue;
    // count <= 0: every event from the nth on
    if (f.count > 0 && event >= static_cast<uint64_t>(f.nth) + static_cast<uint64_t>(f.count))
      continue;
    if (hit) *hit = f;
    return true;
  }
  return false;
}

void MpiAdapter::violation(std::string text) {
  trace("!! " + text);
  std::lock_guard lk(mu_);
  violations_.push_back(std::move(text));
}

void MpiAdapter::trace(const std::string &line) {
  std::function<void(const std::string &)> sink;
  {
    std::lock_guard lk(mu_);
    sink = trace_;
  }
  if (sink) sink(line);
}

// ---------------------------------------------------------------------------
// 3964R

void MpiAdapter::run() {
  while (!stop_.load()) {
    uint8_t b;
    if (!line_->get(b, kIdleSliceMs)) continue;
    if (b == kStx)
      on_stx();
    else
      stray_bytes(b);
  }
}

// Characters outside a block. A lone NAK is the PC giving a block up, which
// it may do; anything else is a violation. An STX ends the burst.
void MpiAdapter::stray_bytes(uint8_t first) {
  std::vector<uint8_t> bytes{first};
  bool stx = false;
  uint8_t b;
  while (bytes.size() < kMaxStray && line_->get(b, kQuietMs)) {
    if (b == kStx) {
      stx = true;
      break;
    }
    bytes.push_back(b);
  }
  if (bytes.size() == 1 && first == kNak)
    trace("PC>AD NAK (the PC gives its block up)");
  else
    violation(fmt("%zu stray characters outside a block: %s", bytes.size(), hex(bytes).c_str()));
  if (stx) on_stx();
}

void MpiAdapter::discard_until_quiet() {
  uint8_t b;
  for (size_t n = 0; n < 8 * kMaxStray && line_->get(b, 5 * kQuietMs); ++n) {
  }
}

void MpiAdapter::on_stx() {
  ++stx_seen_;
  if (fires(Fault::IgnoreStx, stx_seen_)) {
    trace("-- adapter ignores the PC's STX (fault)");
    return;
  }
  if (fires(Fault::Collision, stx_seen_)) {
    // Both sides start at once: the PC yields, answers our STX with DLE and
    // takes our block before it tries its own again.
    trace("-- adapter starts a block at the same moment as the PC (fault)");
    static constexpr std::array<uint8_t, 4> kOwn = {0x01, 0x0E, 0x02, 0x10};
    send_block(kOwn, "spontaneous block");
    return;
  }
  if (!line_->put(kDle)) return;
  std::vector<uint8_t> data;
  switch (receive_body(data)) {
    case RxResult::Ok:
      ++rx_frames_;
      if (fires(Fault::NakBlock, rx_frames_)) {
        trace("-- adapter answers the block with NAK (fault): " + describe(data, true));
        line_->put(kNak);
        return;
      }
      line_->put(kDle);
      {
        std::lock_guard lk(mu_);
        from_pc_.push_back(data);
      }
      trace("PC>AD " + describe(data, true));
      on_block(data);
      return;
    case RxResult::Nak:
      ++rx_frames_;
      line_->put(kNak);
      return;
    case RxResult::Broken:
    case RxResult::Overlong:
      discard_until_quiet();
      return;
  }
}

MpiAdapter::RxResult MpiAdapter::receive_body(std::vector<uint8_t> &data) {
  uint8_t bcc = 0;
  bool malformed = false;
  uint8_t b;
  auto broken = [&](const char *what) {
    if (!stop_.load())
      violation(fmt("block from the PC broke off %s after %zu data bytes", what, data.size()));
    return RxResult::Broken;
  };
  // Every pass stores one data byte or ends the block: at most 512 passes.
  for (;;) {
    if (data.size() >= kMaxBlockData) {
      violation(fmt("block from the PC reached %zu data bytes without DLE ETX", data.size()));
      return RxResult::Overlong;
    }
    if (!line_->get(b, kCharWaitMs)) return broken("inside the data");
    bcc ^= b;
    if (b != kDle) {
      data.push_back(b);
      continue;
    }
    if (!line_->get(b, kCharWaitMs)) return broken("after a DLE");
    bcc ^= b;
    if (b == kDle) {
      data.push_back(kDle);
    } else if (b == kEtx) {
      uint8_t got;
      if (!line_->get(got, kCharWaitMs)) {
        broken("before its BCC");
        return RxResult::Nak;
      }
      if (got != bcc) {
        violation(fmt("wrong BCC %02X from the PC (expected %02X) on %s", got, bcc,
                      hex(data, 12).c_str()));
        return RxResult::Nak;
      }
      return malformed ? RxResult::Nak : RxResult::Ok;
    } else {
      violation(fmt("lone DLE followed by %02X at data byte %zu from the PC", b, data.size()));
      malformed = true;
      data.push_back(b);
    }
  }
}

bool MpiAdapter::send_block(std::span<const uint8_t> data, const std::string &kind) {
  trace("AD>PC " + (kind.empty() ? describe(data, false)
                                 : kind + fmt(" [%zu bytes] ", data.size()) + hex(data, 16)));
  for (int rep = 0; rep < 3; ++rep) {
    ++tx_frames_;
    FaultSetting hit{};
    if (fires(Fault::GarbageBeforeStx, tx_frames_, &hit)) {
      static constexpr std::array<uint8_t, 8> kGarbage = {0xFF, 0x55, 0xAA, 0x00,
                                                          0x7E, 0x81, 0x3C, 0xC3};
      std::vector<uint8_t> g(static_cast<size_t>(hit.arg < 0 ? 3 : std::min(hit.arg, 4096)));
      for (size_t i = 0; i < g.size(); ++i) g[i] = kGarbage[i % kGarbage.size()];
      trace(fmt("-- adapter sends %zu garbage characters before STX (fault)", g.size()));
      line_->put(g);
    }
    // Connection set-up: up to three STX.
    bool up = false;
    for (int attempt = 0; attempt < 3 && !up && !stop_.load(); ++attempt) {
      if (!line_->put(kStx)) return false;
      uint8_t b;
      // An STX from the PC means it wanted to send as well: it yields and
      // answers our STX with DLE, so keep waiting (a few times at most).
      for (int collisions = 0; collisions < 4; ++collisions) {
        if (!line_->get(b, kDleWaitMs)) break;
        if (b == kDle) {
          up = true;
          break;
        }
        if (b != kStx) break;
        trace("-- PC starts a block at the same moment; the adapter keeps its own");
      }
    }
    if (!up) {
      if (!stop_.load()) trace("-- PC does not answer the adapter's STX");
      return false;
    }
    std::vector<uint8_t> frame = frame_3964r(data);
    if (fires(Fault::CorruptBcc, tx_frames_)) {
      trace("-- adapter corrupts the BCC (fault)");
      frame.back() ^= 0xFF;
    }
    if (fires(Fault::DropByte, tx_frames_, &hit)) {
      // Position of data byte `arg` on the line, doubled DLEs counted.
      const size_t want = hit.arg < 0 ? 0 : static_cast<size_t>(hit.arg);
      size_t pos = 0;
      for (size_t i = 0; i < want && i < data.size(); ++i) pos += data[i] == kDle ? 2 : 1;
      pos = std::min(pos, frame.size() - 1);
      trace(fmt("-- adapter drops character %zu of the block (fault)", pos));
      frame.erase(frame.begin() + static_cast<std::ptrdiff_t>(pos));
    }
    if (!line_->put(frame)) return false;
    uint8_t ans;
    if (!line_->get(ans, kAnswerWaitMs)) {
      if (!stop_.load()) trace("-- PC does not answer the adapter's block");
      return false;
    }
    if (ans == kDle) {
      std::lock_guard lk(mu_);
      to_pc_.emplace_back(data.begin(), data.end());
      return true;
    }
    if (ans != kNak) {
      trace(fmt("-- PC answers the adapter's block with %02X", ans));
      return false;
    }
    trace("-- PC answers NAK; the adapter repeats its block");
  }
  trace("-- third NAK; the adapter gives its block up");
  line_->put(kNak);
  return false;
}

// ---------------------------------------------------------------------------
// adapter level

int MpiAdapter::station_by_ref(uint8_t own_ref) const {
  for (size_t i = 0; i < stations_.size(); ++i)
    if (stations_[i].own_ref == own_ref) return static_cast<int>(i);
  return -1;
}

void MpiAdapter::drop_connections() {
  for (auto &c : conns_) c = Conn{};
  pending_ = PendingAck{};
}

// The PC owes the acknowledgement of our last answer block: takes it when
// this is it. Returns true when the block was an acknowledgement.
bool MpiAdapter::check_pending_ack(const std::vector<uint8_t> &b) {
  if (!pending_.due) return false;
  pending_.due = false;
  const std::vector<uint8_t> want = {0x00,     0x0C, pending_.own_ref, pending_.pc_ref,
                                     kKindAck, 0x01, pending_.nr};
  if (b == want) return true;
  if (b.size() >= 5 && b[0] == 0x00 && b[1] == 0x0C && b[4] == kKindAck) {
    violation("acknowledgement of answer #" + std::to_string(pending_.nr) + " is " + hex(b) +
              ", expected " + hex(want));
    return true;
  }
  violation("answer #" + std::to_string(pending_.nr) +
            " was not acknowledged; the PC sent: " + describe(b, true));
  return false;
}

void MpiAdapter::on_block(const std::vector<uint8_t> &b) {
  if (check_pending_ack(b)) return;
  ++rx_blocks_;
  if (fires(Fault::NoReply, rx_blocks_)) {
    trace("-- adapter takes the block but answers nothing (fault)");
    return;
  }
  if (b.size() >= 3 && b[0] == 0x01 && b[1] == 0x03 && b[2] == 0x02) {
    on_init(b);
    return;
  }
  const bool command = b.size() == 3 && b[0] == 0x01 && b[2] == 0x02;
  if (phase_ == Phase::Down) {
    violation("block before the initialisation record: " + describe(b, true));
    return;
  }
  if (phase_ == Phase::FollowUp && !command) {
    violation(fmt("only %d of the four TS blocks before: ", follow_up_) + describe(b, true));
    phase_ = Phase::Up;
  }
  if (command)
    on_command(b);
  else if (b.size() >= 3 && b[0] == 0x00 && b[1] == 0x0D && b[2] == 0x00)
    on_connect(b);
  else if (b.size() >= 5 && b[0] == 0x00 && b[1] == 0x0C)
    on_conn_block(b);
  else
    violation("unknown block from the PC: " + hex(b));
}

void MpiAdapter::on_init(const std::vector<uint8_t> &b) {
  if (b.size() != kInitLen) {
    violation(fmt("initialisation record of %zu bytes (23 expected)", b.size()));
    return;
  }
  auto expect = [&](size_t at, uint8_t want) {
    if (b[at] != want)
      violation(fmt("initialisation record byte %zu is %02X, expected %02X", at, b[at], want));
  };
  for (size_t i = 0; i < kInitHead.size(); ++i) expect(i, kInitHead[i]);
  if (b[15] != 0x01 && b[15] != 0x02 && b[15] != 0x04)
    violation(fmt("initialisation record bus speed code %02X (01, 02 or 04 expected)", b[15]));
  if (b[16] > 126) violation(fmt("initialisation record own address %u above 126", b[16]));
  expect(17, kInitMaxAdr);
  for (size_t i = 0; i < kInitTail.size(); ++i) expect(18 + i, kInitTail[i]);
  expect(22, kInitMasterId);

  drop_connections();
  own_mpi_addr_ = b[16];
  switch (init_style_) {
    case InitStyle::Zero: {
      static constexpr std::array<uint8_t, 4> kFirst = {0x00, 0x10, 0x01, 0x00};
      static constexpr std::array<uint8_t, 5> kSecond = {0x01, 0x03, 0x20, 0x10, 0x7E};
      phase_ = Phase::Up;
      if (send_block(kFirst, "init answer")) send_block(kSecond, "init answer, second block");
      return;
    }
    case InitStyle::E:
    case InitStyle::LowerE: {
      const uint8_t e = init_style_ == InitStyle::E ? 'E' : 'e';
      const std::array<uint8_t, 7> answer = {0x01, 0x03, 0x20, e, 0x10, 0x7E, 0x00};
      phase_ = Phase::FollowUp;
      follow_up_ = 0;
      send_block(answer, "init answer");
      return;
    }
    case InitStyle::Short: {
      static constexpr std::array<uint8_t, 2> kShort = {0x01, 0x03};
      phase_ = Phase::Up;
      send_block(kShort, "init answer");
      return;
    }
  }
}

void MpiAdapter::on_command(const std::vector<uint8_t> &b) {
  const uint8_t cc = b[1];
  if (phase_ == Phase::FollowUp) {
    if (cc != kFollowUp[static_cast<size_t>(follow_up_)])
      violation(fmt("TS block %d is 01 %02X 02, expected 01 %02X 02", follow_up_ + 1, cc,
                    kFollowUp[static_cast<size_t>(follow_up_)]));
    if (++follow_up_ == 4) phase_ = Phase::Up;
    const std::array<uint8_t, 3> answer = {0x01, cc, 0x20};
    send_block(answer, fmt("TS%d answer", follow_up_));
    return;
  }
  if (cc == 0x07) {
    std::vector<uint8_t> answer = {0x01, 0x07, 0x02, 0x00, 0x00, 0x00};
    answer.resize(6 + kMembers, kNoStation);
    for (const auto &s : stations_) answer[6 + static_cast<size_t>(s.mpi_addr)] = kStationPresent;
    if (own_mpi_addr_ >= 0 && own_mpi_addr_ < kMembers)
      answer[6 + static_cast<size_t>(own_mpi_addr_)] = kStationPresent;
    send_block(answer, "");
    return;
  }
  if (cc == 0x04) {
    drop_connections();
    phase_ = Phase::Down;
    static constexpr std::array<uint8_t, 3> kBye = {0x01, 0x04, 0x20};
    send_block(kBye, "shut-down answer");
    return;
  }
  violation(fmt("unknown adapter command 01 %02X 02", cc));
}

void MpiAdapter::on_connect(const std::vector<uint8_t> &b) {
  if (b.size() != kConnLen) {
    violation(fmt("connect request of %zu bytes (20 expected): %s", b.size(), hex(b).c_str()));
    return;
  }
  auto expect = [&](size_t at, uint8_t want) {
    if (b[at] != want)
      violation(fmt("connect request byte %zu is %02X, expected %02X", at, b[at], want));
  };
  for (size_t i = 0; i < kConnHead.size(); ++i) expect(i, kConnHead[i]);
  for (size_t i = 0; i < kConnMid.size(); ++i) expect(4 + i, kConnMid[i]);
  for (size_t i = 0; i < kConnTail.size(); ++i) expect(18 + i, kConnTail[i]);
  const uint8_t pc_ref = b[3], addr = b[17];
  expect(3, static_cast<uint8_t>(addr + 1));

  int st = -1;
  for (size_t i = 0; i < stations_.size(); ++i)
    if (stations_[i].mpi_addr == addr) st = static_cast<int>(i);
  if (st < 0) {
    // Too short to pass for a connect answer: the PC's connect fails at once.
    const std::array<uint8_t, 4> refuse = {0x00, 0x0C, pc_ref, 0x00};
    send_block(refuse, fmt("connect refusal (no station at %u)", addr));
    return;
  }
  Conn &c = conns_[static_cast<size_t>(st)];
  if (pending_.due && pending_.own_ref == stations_[static_cast<size_t>(st)].own_ref)
    pending_ = PendingAck{};
  c = Conn{};
  c.open = true;
  c.pc_ref = pc_ref;
  const uint8_t own = stations_[static_cast<size_t>(st)].own_ref;
  const std::array<uint8_t, 16> answer = {0x00, 0x0C, pc_ref, own,  0xD0, 0x04, 0x00, 0x80,
                                          0x00, 0x02, 0x00,   0x02, 0x01, 0x00, 0x01, 0x00};
  send_block(answer, fmt("connect answer (station %u)", addr));
}

void MpiAdapter::on_conn_block(const std::vector<uint8_t> &b) {
  const uint8_t own = b[2], pc = b[3], kind = b[4];
  const int st = station_by_ref(own);
  switch (kind) {
    case kKindJob:
      if (st < 0) {
        violation(fmt("job for unknown connection reference %02X", own));
        return;
      }
      on_job(b, static_cast<size_t>(st));
      return;
    case kKindConfirm: {
      if (b.size() != 6) violation(fmt("connect confirmation of %zu bytes (6 expected)", b.size()));
      if (st < 0 || !conns_[static_cast<size_t>(st)].open) {
        violation(fmt("connect confirmation for reference %02X, which was not offered", own));
        return;
      }
      Conn &c = conns_[static_cast<size_t>(st)];
      if (pc != c.pc_ref)
        violation(fmt("connect confirmation carries reference %02X, the PC asked with %02X", pc,
                      c.pc_ref));
      if (b.size() > 5 && b[5] != 0x01)
        violation(fmt("connect confirmation block number %02X, expected 01", b[5]));
      if (c.confirmed) violation("second connect confirmation on one connection");
      c.confirmed = true;
      c.expect_nr = 0;
      c.answer_nr = 0;
      const std::array<uint8_t, 6> answer = {0x00, 0x0C, c.pc_ref, own, kKindConfirm, 0x01};
      send_block(answer, "confirmation answer");
      return;
    }
    case kKindDisconnect: {
      if (b.size() != 5) violation(fmt("disconnect of %zu bytes (5 expected)", b.size()));
      // A record that never connected sends its disconnect with references 0.
      if (st >= 0) {
        Conn &c = conns_[static_cast<size_t>(st)];
        if (c.open && pc != c.pc_ref)
          violation(
              fmt("disconnect carries reference %02X, the connection's is %02X", pc, c.pc_ref));
        if (pending_.due && pending_.own_ref == own) pending_ = PendingAck{};
        c = Conn{};
      }
      const std::array<uint8_t, 5> answer = {0x00, 0x0C, pc, own, kKindDisconnect};
      send_block(answer, "");
      return;
    }
    case kKindAck:
      violation("acknowledgement when none was due: " + hex(b));
      return;
    default:
      violation(fmt("unknown block kind %02X: ", kind) + hex(b));
  }
}

void MpiAdapter::on_job(const std::vector<uint8_t> &b, size_t st) {
  ++jobs_;
  Conn &c = conns_[st];
  const Station &station = stations_[st];
  if (!c.open || !c.confirmed) {
    violation(fmt("job on a connection to station %d that is not established", station.mpi_addr));
    return;
  }
  if (b.size() < 6) {
    violation("job block without a block number");
    return;
  }
  const uint8_t k = b[5];
  if (b[3] != c.pc_ref)
    violation(fmt("job #%u carries reference %02X, the connection's is %02X", k, b[3], c.pc_ref));
  if (k != c.expect_nr) violation(fmt("job block number %u, expected %d", k, c.expect_nr));
  c.expect_nr = next_nr(k);  // follow the PC, so one slip is reported once
  if (b.size() > kPcBlockMax)
    violation(fmt("job block of %zu bytes (at most %zu)", b.size(), kPcBlockMax));
  const std::span<const uint8_t> pdu(b.data() + 6, b.size() - 6);
  if (pdu.size() < 10 || pdu[0] != 0x32) {
    violation("job without an S7 header: " + hex(b));
  } else if (const size_t want = 16 + be16(pdu, 6) + be16(pdu, 8); want != b.size()) {
    violation(fmt("job block of %zu bytes, its header gives %zu", b.size(), want));
  }

  std::array<uint8_t, 7> ack = {0x00, 0x0C, b[3], b[2], kKindAck, 0x01, k};
  if (fires(Fault::WrongAckNumber, jobs_)) {
    ack[6] = next_nr(k);
    send_block(ack, "acknowledgement with a wrong block number (fault)");
    return;
  }
  if (fires(Fault::WrongAckRefs, jobs_)) {
    ack[2] = static_cast<uint8_t>(ack[2] + 1);
    ack[3] = static_cast<uint8_t>(ack[3] + 1);
    send_block(ack, "acknowledgement with wrong references (fault)");
    return;
  }
  if (!send_block(ack, "")) return;
  if (fires(Fault::AckOnly, jobs_)) {
    trace("-- adapter sends no answer block (fault)");
    return;
  }

  std::vector<uint8_t> answer = {0x00, 0x0C, c.pc_ref, station.own_ref, kKindJob, c.answer_nr};
  const std::vector<uint8_t> reply = station.plc->handle(pdu);
  answer.insert(answer.end(), reply.begin(), reply.end());
  FaultSetting hit{};
  if (fires(Fault::LongAnswer, jobs_, &hit)) {
    const size_t n = static_cast<size_t>(hit.arg < 0 ? 317 : std::min(hit.arg, 4096));
    trace(fmt("-- adapter answers with %zu bytes (fault)", n));
    for (size_t i = answer.size(); i < n; ++i) answer.push_back(static_cast<uint8_t>(i));
    answer.resize(n);
  }
  if (fires(Fault::StrayAnswer, jobs_, &hit)) {
    const size_t at = 6 + static_cast<size_t>(hit.arg < 0 ? 5 : std::min(hit.arg, 9));
    trace(fmt("-- adapter answers with S7 byte %zu raised by one (fault)", at - 6));
    if (at < answer.size()) ++answer[at];
  }
  const uint8_t nr = c.answer_nr;
  c.answer_nr = next_nr(nr);
  if (send_block(answer, "")) pending_ = PendingAck{true, c.pc_ref, station.own_ref, nr};
}

// ---------------------------------------------------------------------------
// trace text

std::string MpiAdapter::describe(std::span<const uint8_t> b, bool from_pc) {
  const std::string size = fmt(" [%zu bytes]", b.size());
  if (b.size() >= 3 && b[0] == 0x01 && b[1] == 0x03 && b[2] == 0x02 && b.size() == kInitLen)
    return fmt("init own address %u, highest %u, speed code %02X", b[16], b[17], b[15]) + size;
  if (b.size() == 3 && b[0] == 0x01 && b[2] == 0x02 && from_pc) {
    switch (b[1]) {
      case 0x07:
        return "bus members request" + size;
      case 0x04:
        return "TS2/shut-down 01 04 02" + size;
      default:
        return fmt("TS 01 %02X 02", b[1]) + size;
    }
  }
  if (b.size() == 6 + kMembers && !from_pc) {
    std::string s = "bus members:";
    for (int i = 0; i < kMembers; ++i)
      if (b[6 + static_cast<size_t>(i)] != kNoStation) s += fmt(" %d", i);
    return s + size;
  }
  if (b.size() >= 18 && b[0] == 0x00 && b[1] == 0x0D && b[2] == 0x00 && from_pc)
    return fmt("connect to MPI address %u, reference %02X", b[17], b[3]) + size;
  if (b.size() >= 5 && b[0] == 0x00 && b[1] == 0x0C) {
    const std::string refs = fmt("dst %02X src %02X", b[2], b[3]);
    const std::string nr = b.size() >= 6 ? fmt(" #%u", b[5]) : std::string();
    switch (b[4]) {
      case kKindJob:
        return std::string(from_pc ? "job" : "answer") + nr + " " + refs + ": " +
               describe_pdu(b.subspan(std::min<size_t>(6, b.size())), !from_pc) + size;
      case kKindAck:
        return "ack" + (b.size() >= 7 ? fmt(" #%u", b[6]) : std::string()) + " " + refs + size;
      case kKindConfirm:
        return "confirm" + nr + " " + refs + size;
      case kKindDisconnect:
        return "disconnect " + refs + size;
      default:
        return "block " + hex(b) + size;
    }
  }
  return "block " + hex(b) + size;
}

}  // namespace s7sim
