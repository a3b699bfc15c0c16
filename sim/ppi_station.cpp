#include "ppi_station.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <numeric>
#include <stdexcept>

#include "pty.hpp"

namespace s7sim {

namespace {

constexpr uint8_t kSd1 = 0x10;
constexpr uint8_t kSd2 = 0x68;
constexpr uint8_t kSd3 = 0xA2;
constexpr uint8_t kSd4 = 0xDC;
constexpr uint8_t kSc = 0xE5;
constexpr uint8_t kEd = 0x16;

constexpr int kIdleWaitMs = 50;   // between frames; stop() wakes the wait at once
constexpr int kByteWaitMs = 100;  // between the bytes of one frame
constexpr int kResyncQuietMs = 20;
constexpr int kResyncMaxBytes = 600;
// The PC pauses 12 ms; the station may read the token late on a busy machine
// (several milliseconds have been seen) and so see less, or read it only
// when the status request has arrived as well: the pause is judged only when
// nothing followed the token yet at the moment it was read. A PC without the
// pause shows a few hundredths of a millisecond.
constexpr double kMinTokenPauseMs = 1.0;
constexpr double kMinPollPauseMs = 5.0;
constexpr int kMaxDataUnit = 252;

std::string hex2(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%02X", v & 0xFFu);
  return b;
}

uint8_t fcs(std::span<const uint8_t> bytes) {
  return static_cast<uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u) & 0xFFu);
}

double ms_between(PpiStation::Clock::time_point a, PpiStation::Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

unsigned be16(std::span<const uint8_t> b, size_t at) {
  return at + 1 < b.size() ? (unsigned{b[at]} << 8) | b[at + 1] : 0;
}

// Recomputes the FCS of a built SD1/SD2/SD3 frame after a change.
void refresh_fcs(std::vector<uint8_t> &f) {
  if (f.size() < 6) return;
  const size_t from = f[0] == kSd2 ? 4 : 1;
  f[f.size() - 2] = fcs(std::span<const uint8_t>(f).subspan(from, f.size() - 2 - from));
}

std::string frame_line(const char *dir, std::span<const uint8_t> f) {
  char line[96];
  if (f.size() == 1 && f[0] == kSc)
    std::snprintf(line, sizeof line, "%s SC E5", dir);
  else if (!f.empty() && (f[0] == kSd1 || f[0] == kSd3) && f.size() >= 4)
    std::snprintf(line, sizeof line, "%s %s DA=%u SA=%u FC=%02X", dir, f[0] == kSd1 ? "SD1" : "SD3",
                  f[1], f[2], f[3]);
  else if (!f.empty() && f[0] == kSd2 && f.size() >= 7)
    std::snprintf(line, sizeof line, "%s SD2 LE=%u DA=%u SA=%u FC=%02X", dir, f[1], f[4], f[5],
                  f[6]);
  else
    std::snprintf(line, sizeof line, "%s %zu bytes", dir, f.size());
  return line;
}

}  // namespace

std::string describe_s7(std::span<const uint8_t> pdu) {
  if (pdu.size() < 10 || pdu[0] != 0x32) return "not an S7 PDU";
  const unsigned code = pdu[1];
  const size_t head = (code == 0x02 || code == 0x03) ? 12 : 10;
  if (pdu.size() < head) return "S7 PDU cut short";
  const unsigned plen = be16(pdu, 6), dlen = be16(pdu, 8);
  if (head + plen + dlen != pdu.size()) return "S7 PDU with lengths that do not add up";
  auto par = pdu.subspan(head, plen);
  auto dat = pdu.subspan(head + plen, dlen);
  std::string s;
  if (code == 0x07)
    return "S7 userdata " + std::string(head == 10 ? "" : "answer ") + "par " +
           std::to_string(plen) + " data " + std::to_string(dlen);
  if (head == 12 && (pdu[10] | pdu[11]) != 0)
    return "S7 answer refused, error " + hex2(pdu[10]) + hex2(pdu[11]);
  if (par.size() < 2)
    return code == 0x01 ? "S7 job without function" : "S7 answer without function";
  const unsigned fn = par[0];
  const char *name = fn == 0x04 ? "read" : fn == 0x05 ? "write" : fn == 0xF0 ? "setup" : "function";
  s = (code == 0x01 ? "S7 job " : "S7 answer ") + std::string(name) + " " + hex2(fn);
  if (fn != 0x04 && fn != 0x05) return s;
  s += ", " + std::to_string(par[1]) + " item(s)";
  if (code == 0x01) {
    if (par.size() >= 14 && par[2] == 0x12) {
      const unsigned addr = (unsigned{par[11]} << 16) | (unsigned{par[12]} << 8) | par[13];
      s += ": area " + hex2(par[10]) + " DB " + std::to_string(be16(par, 8)) + " bit address " +
           std::to_string(addr) + " count " + std::to_string(be16(par, 6)) + " tsize " +
           hex2(par[5]);
    }
  } else if (!dat.empty()) {
    s += ", return code " + hex2(dat[0]);
  }
  return s;
}

PpiStation::PpiStation(int fd, int station_addr, Plc &plc)
    : fd_(fd), station_(static_cast<uint8_t>(station_addr)), plc_(plc) {
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) throw std::runtime_error("eventfd failed");
  plc_.set_pdu_size(kS7200PduSize);
}

PpiStation::~PpiStation() {
  stop();
  if (wake_fd_ >= 0) close(wake_fd_);
}

void PpiStation::set_pace(Pace pace) {
  if (thread_.joinable()) throw std::logic_error("set_pace() after start()");
  timing_ = LineTiming(pace);
}

void PpiStation::start() {
  if (thread_.joinable()) return;
  uint64_t drop;
  while (read(wake_fd_, &drop, sizeof drop) > 0) {
  }
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
}

void PpiStation::stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
  thread_.join();
}

std::vector<std::string> PpiStation::violations() const {
  std::lock_guard lk(mu_);
  return violations_;
}

void PpiStation::set_acks_before_answer(int n) {
  std::lock_guard lk(mu_);
  acks_before_answer_ = n < 0 ? 0 : n;
}
void PpiStation::set_answer_directly(bool on) {
  std::lock_guard lk(mu_);
  answer_directly_ = on;
}
void PpiStation::set_status_fc(uint8_t fc) {
  std::lock_guard lk(mu_);
  status_fc_ = fc;
}
void PpiStation::inject(const PpiFaultPlan &plan) {
  std::lock_guard lk(mu_);
  plan_ = plan;
}
void PpiStation::set_trace(TraceSink sink) {
  std::lock_guard lk(mu_);
  trace_ = std::move(sink);
}
PpiCounts PpiStation::counts() const {
  std::lock_guard lk(mu_);
  return counts_;
}
std::vector<double> PpiStation::token_gaps_ms() const {
  std::lock_guard lk(mu_);
  return token_gaps_;
}
std::vector<PpiStation::Clock::time_point> PpiStation::request_times() const {
  std::lock_guard lk(mu_);
  return request_times_;
}
std::optional<int> PpiStation::master() const {
  std::lock_guard lk(mu_);
  return master_;
}

// ---- the one place where bytes cross the line ----

bool PpiStation::rx(uint8_t &b, int timeout_ms) {
  if (rx_pos_ < rx_len_) {  // paced: read in one go, queued on the wire
    b = rx_buf_[rx_pos_++];
    timing_.arrival(rx_seen_);
    std::lock_guard lk(mu_);
    ++counts_.rx_chars;
    return true;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (stopping_) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) return false;
    pollfd p[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const int r = poll(p, 2, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || stopping_) return false;
    if ((p[0].revents & POLLIN) && timing_.paced()) {
      const ssize_t n = read(fd_, rx_buf_, sizeof rx_buf_);
      if (n > 0) {
        rx_seen_ = Clock::now();
        rx_pos_ = 0;
        rx_len_ = static_cast<size_t>(n);
        return rx(b, 0);
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      return false;
    }
    if (p[0].revents & POLLIN) {
      const ssize_t n = read(fd_, &b, 1);
      if (n == 1) {
        std::lock_guard lk(mu_);
        ++counts_.rx_chars;
        return true;
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      return false;
    }
    if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
      // The far end has gone; do not spin.
      poll(p + 1, 1, 20);
      if (stopping_) return false;
    }
  }
}

void PpiStation::tx(std::span<const uint8_t> bytes, const std::string &what) {
  if (bytes.empty()) return;
  // Counted and traced before the bytes leave, so that whoever has seen the
  // answer also sees it counted.
  {
    std::lock_guard lk(mu_);
    counts_.tx_chars += static_cast<long>(bytes.size());
    if (bytes.size() == 1 && bytes[0] == kSc) ++counts_.acks;
    if (bytes[0] == kSd2) ++counts_.answers;
  }
  trace(frame_line("PLC>PC", bytes) + (what.empty() ? "" : " " + what));
  const bool ack = bytes.size() == 1 && bytes[0] == kSc;
  if (!timing_.paced()) {
    if (ack) ack_at_ = Clock::now();
    write_all(fd_, bytes);
    return;
  }
  // Paced: each character (or group of `fifo` characters) is released when
  // it has left the wire; all are handed over at once, so a late wake-up
  // does not push the later ones back.
  const auto handed = timing_.hand_over(Clock::now());
  const size_t group = static_cast<size_t>(std::max(timing_.pace().fifo, 1));
  for (size_t i = 0; i < bytes.size();) {
    const size_t k = std::min(group, bytes.size() - i);
    Clock::time_point left = handed;
    for (size_t j = 0; j < k; ++j) left = timing_.departure(handed);
    if (!sleep_until(left, stopping_, timing_.pace().slack)) return;
    if (ack) ack_at_ = Clock::now();
    write_all(fd_, bytes.subspan(i, k));
    i += k;
  }
}

void PpiStation::resync() {
  uint8_t b;
  for (int i = 0; i < kResyncMaxBytes && rx(b, kResyncQuietMs); ++i) {
  }
}

void PpiStation::violation(const std::string &text) {
  trace("violation: " + text);
  std::lock_guard lk(mu_);
  violations_.push_back(text);
}

void PpiStation::trace(const std::string &line) {
  TraceSink sink;
  {
    std::lock_guard lk(mu_);
    sink = trace_;
  }
  if (sink) sink(line);
}

bool PpiStation::fault_due(PpiFaultOn on, PpiFault &fault) {
  std::lock_guard lk(mu_);
  if (plan_.fault == PpiFault::None || plan_.on != on || plan_.times == 0) return false;
  if (plan_.skip > 0) {
    --plan_.skip;
    return false;
  }
  if (plan_.times > 0) --plan_.times;
  fault = plan_.fault;
  return true;
}

bool PpiStation::plan_is(PpiFault fault) const {
  std::lock_guard lk(mu_);
  return plan_.fault == fault;
}

// ---- frames ----

std::vector<uint8_t> PpiStation::sd1(uint8_t fc) const {
  const uint8_t da = static_cast<uint8_t>(master_.value_or(0));
  std::vector<uint8_t> f{kSd1, da, station_, fc, 0, kEd};
  refresh_fcs(f);
  return f;
}

std::vector<uint8_t> PpiStation::sd2(uint8_t fc, std::span<const uint8_t> du) const {
  const uint8_t da = static_cast<uint8_t>(master_.value_or(0));
  const auto le = static_cast<uint8_t>(du.size() + 3);
  std::vector<uint8_t> f(7 + du.size() + 2);
  const uint8_t head[7] = {kSd2, le, le, kSd2, da, station_, fc};
  std::copy(std::begin(head), std::end(head), f.begin());
  std::copy(du.begin(), du.end(), f.begin() + 7);
  f.back() = kEd;
  refresh_fcs(f);
  return f;
}

std::vector<uint8_t> PpiStation::sd3() const {
  const uint8_t da = static_cast<uint8_t>(master_.value_or(0));
  std::vector<uint8_t> f{kSd3, da, station_, kPpiFcAnswer, 0, 0, 0, 0, 0, 0, 0, 0, 0, kEd};
  refresh_fcs(f);
  return f;
}

void PpiStation::send_answer(std::vector<uint8_t> f, PpiFault fault, const std::string &what) {
  if (fault != PpiFault::None) faulted_ = true;
  std::string note;
  switch (fault) {
    case PpiFault::Silence:
      trace("station stays silent (fault)");
      return;
    case PpiFault::BadFcs:
      f[f.size() - 2] = static_cast<uint8_t>(f[f.size() - 2] + 1);
      note = "(fault: FCS damaged)";
      break;
    case PpiFault::BadEd:
      f.back() = 0x17;
      note = "(fault: ED damaged)";
      break;
    case PpiFault::LeMismatch:
      if (f[0] != kSd2) f = sd2(f[3], {});
      f[2] = static_cast<uint8_t>(f[1] + 1);
      note = "(fault: LEr differs from LE)";
      break;
    case PpiFault::Sd1Frame:
      f = sd1(kPpiFcAnswer);
      note = "(fault: SD1 in place of the answer)";
      break;
    case PpiFault::Sd3Frame:
      f = sd3();
      note = "(fault: SD3 in place of the answer)";
      break;
    case PpiFault::OtherAddress:
      if (f.size() > 1) {
        f[f[0] == kSd2 ? 5 : 2] = static_cast<uint8_t>((station_ + 1) & 0x7F);
        refresh_fcs(f);
      }
      note = "(fault: from another station)";
      break;
    case PpiFault::AckForever:
      f = {kSc};
      note = "(fault: acknowledging only)";
      break;
    default:
      break;
  }
  tx(f, what + (note.empty() ? "" : " " + note));
}

// ---- the station ----

void PpiStation::run() {
  while (!stopping_) {
    maybe_send_stray();
    uint8_t b;
    if (!rx(b, kIdleWaitMs)) continue;
    const auto start = Clock::now();
    switch (b) {
      case kSd4:
        on_token();
        break;
      case kSd1:
        on_sd1(start);
        break;
      case kSd2:
        on_sd2(start);
        break;
      default:
        violation("unexpected byte " + hex2(b) + " from the PC where a frame should start");
        token_at_.reset();
        resync();
        break;
    }
  }
}

// A byte put on the line while the PC is between jobs: it is waiting in the
// PC's input when the PC sends its next request, as if the station had
// talked into that request. Never while an exchange is under way.
void PpiStation::maybe_send_stray() {
  if (stray_sent_ || pending_ || ack_at_) return;
  {
    std::lock_guard lk(mu_);
    if (plan_.fault != PpiFault::ByteWhileSending || plan_.on != PpiFaultOn::Request ||
        plan_.skip > 0 || plan_.times == 0)
      return;
    if (plan_.times > 0) --plan_.times;
  }
  tx(std::vector<uint8_t>{kSc}, "(fault: byte on the line for the PC's next request)");
  stray_sent_ = true;
  faulted_ = true;
}

void PpiStation::on_token() {
  uint8_t da = 0, sa = 0;
  if (!rx(da, kByteWaitMs) || !rx(sa, kByteWaitMs)) {
    violation("token frame cut off");
    return;
  }
  token_at_ = Clock::now();
  token_read_late_ = input_waiting();
  {
    std::lock_guard lk(mu_);
    ++counts_.tokens;  // counted once the token is fully taken in
  }
  trace("PC>PLC token DC " + hex2(da) + " " + hex2(sa));
  if (da != 0 || sa != 0)
    violation("token DC " + hex2(da) + " " + hex2(sa) + ", expected DC 00 00");
}

bool PpiStation::input_waiting() const {
  if (rx_pos_ < rx_len_) return true;
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

void PpiStation::on_sd1(Clock::time_point start) {
  std::vector<uint8_t> f{kSd1};
  uint8_t b;
  while (f.size() < 6 && rx(b, kByteWaitMs)) f.push_back(b);
  auto token_at = token_at_;
  token_at_.reset();
  if (f.size() < 6) {
    violation("SD1 frame cut off after " + std::to_string(f.size()) + " bytes");
    return;
  }
  trace(frame_line("PC>PLC", f));
  const uint8_t expect = fcs(std::span<const uint8_t>(f).subspan(1, 3));
  if (f[4] != expect) {
    violation("SD1 frame with FCS " + hex2(f[4]) + ", expected " + hex2(expect));
    return;
  }
  if (f[5] != kEd) {
    violation("SD1 frame with end delimiter " + hex2(f[5]) + ", expected 16");
    return;
  }
  const uint8_t da = f[1], sa = f[2], fc = f[3];
  if (da != station_) {
    violation("SD1 frame for station " + std::to_string(da) + ", this station is " +
              std::to_string(station_));
    return;
  }
  if (fc == kPpiFcStatusRequest) {
    if (!token_at) {
      violation("status request without the token before it");
    } else {
      const double gap = ms_between(*token_at, start);
      {
        std::lock_guard lk(mu_);
        token_gaps_.push_back(gap);
      }
      if (gap < kMinTokenPauseMs && !token_read_late_)
        violation("status request " + std::to_string(gap) + " ms after the token, expected 12 ms");
    }
    on_status_request(sa, start);
    return;
  }
  if (token_at) violation("token not followed by a status request");
  const auto m = master();
  if (!m) {
    violation("SD1 frame FC " + hex2(fc) + " before any status request");
    return;
  }
  if (sa != *m) {
    violation("SD1 frame from station " + std::to_string(sa) + ", the master is " +
              std::to_string(*m));
    return;
  }
  if (fc == kPpiFcPoll) {
    on_poll(start);
  } else if (fc == kPpiFcRequest) {
    on_disconnect();
  } else {
    violation("SD1 frame with FC " + hex2(fc) + ", expected 49, 5C or 7C");
  }
}

void PpiStation::on_sd2(Clock::time_point start) {
  token_at_.reset();
  {
    std::lock_guard lk(mu_);
    request_times_.push_back(start);
    if (plan_.fault == PpiFault::ByteWhileSending && plan_.on == PpiFaultOn::Request &&
        plan_.skip > 0)
      --plan_.skip;
  }
  // Whatever becomes of this frame, a stray byte has done its work with it.
  const bool stray = stray_sent_;
  stray_sent_ = false;

  uint8_t le = 0, ler = 0, sd = 0;
  if (!rx(le, kByteWaitMs) || !rx(ler, kByteWaitMs)) {
    if (!stray && !faulted_) violation("SD2 frame cut off in its length bytes");
    return;
  }
  if (le != ler) {
    violation("SD2 frame with LE " + hex2(le) + " and LEr " + hex2(ler));
    resync();
    return;
  }
  if (le < 3) {
    violation("SD2 frame with LE " + hex2(le) + ", at least 03 expected");
    resync();
    return;
  }
  if (!rx(sd, kByteWaitMs)) {
    if (!stray && !faulted_) violation("SD2 frame cut off before its second start delimiter");
    return;
  }
  if (sd != kSd2) {
    violation("SD2 frame with second start delimiter " + hex2(sd) + ", expected 68");
    resync();
    return;
  }
  std::vector<uint8_t> body;  // DA SA FC DU FCS ED
  body.reserve(le + 2u);
  uint8_t b;
  while (body.size() < le + 2u && rx(b, kByteWaitMs)) body.push_back(b);
  if (body.size() < le + 2u) {
    if (stray || faulted_)
      trace("PC>PLC SD2 abandoned after " + std::to_string(4 + body.size()) + " bytes");
    else
      violation("SD2 frame cut off after " + std::to_string(4 + body.size()) + " of " +
                std::to_string(le + 6) + " bytes");
    return;
  }
  std::vector<uint8_t> f{kSd2, le, ler, kSd2};
  f.insert(f.end(), body.begin(), body.end());
  trace(frame_line("PC>PLC", f) + " " +
        describe_s7(std::span<const uint8_t>(body).subspan(3, le - 3u)));
  const uint8_t expect = fcs(std::span<const uint8_t>(body).subspan(0, le));
  if (body[le] != expect) {
    violation("SD2 frame with FCS " + hex2(body[le]) + ", expected " + hex2(expect));
    return;
  }
  if (body[le + 1u] != kEd) {
    violation("SD2 frame with end delimiter " + hex2(body[le + 1u]) + ", expected 16");
    return;
  }
  const uint8_t da = body[0], sa = body[1], fc = body[2];
  if (da != station_) {
    violation("SD2 frame for station " + std::to_string(da) + ", this station is " +
              std::to_string(station_));
    return;
  }
  const auto m = master();
  if (!m) {
    violation("SD2 request before any status request");
    return;
  }
  if (sa != *m) {
    violation("SD2 frame from station " + std::to_string(sa) + ", the master is " +
              std::to_string(*m));
    return;
  }
  if (fc != kPpiFcRequest) {
    violation("SD2 frame with FC " + hex2(fc) + ", expected 7C");
    return;
  }
  if (stray) {
    // The PC finished its frame although we talked: it cannot know whether
    // we took it, so the job is not carried out.
    trace("request ignored: the station talked while it was sent");
    return;
  }
  on_request(std::vector<uint8_t>(body.begin() + 3, body.begin() + le));
}

void PpiStation::on_status_request(uint8_t sa, Clock::time_point) {
  uint8_t fc;
  {
    std::lock_guard lk(mu_);
    ++counts_.status_requests;
    master_ = sa;
    fc = status_fc_;
  }
  pending_ = false;
  ack_at_.reset();
  faulted_ = false;
  stray_sent_ = false;  // the PC flushed its input before asking
  PpiFault fault = PpiFault::None;
  fault_due(PpiFaultOn::StatusRequest, fault);
  send_answer(sd1(fc), fault, "status");
}

void PpiStation::on_request(std::vector<uint8_t> du) {
  bool direct;
  int acks;
  {
    std::lock_guard lk(mu_);
    ++counts_.requests;
    direct = answer_directly_;
    acks = acks_before_answer_;
  }
  ack_at_.reset();
  PpiFault fault = PpiFault::None;
  // A byte while sending was the fault for this frame already (on_sd2).
  if (!plan_is(PpiFault::ByteWhileSending)) fault_due(PpiFaultOn::Request, fault);
  if (fault == PpiFault::Silence) {
    pending_ = false;
    trace("station stays silent (fault)");
    return;
  }
  std::vector<uint8_t> answer = plc_.handle(du);
  if (answer.size() > static_cast<size_t>(kMaxDataUnit)) {
    // Cannot happen with the S7-200's PDU size; never put a malformed frame out.
    pending_ = false;
    trace("answer of " + std::to_string(answer.size()) + " bytes does not fit one frame");
    return;
  }
  const std::string what = describe_s7(answer);
  if (fault == PpiFault::AckForever) {
    faulted_ = true;
    pending_ = true;
    pending_answer_ = std::move(answer);
    pending_acks_ = -1;
    tx(std::vector<uint8_t>{kSc}, "(fault: acknowledging only)");
    return;
  }
  if (direct || fault != PpiFault::None) {
    pending_ = false;
    send_answer(sd2(kPpiFcAnswer, answer), fault, what);
    return;
  }
  pending_ = true;
  pending_answer_ = std::move(answer);
  pending_acks_ = acks;
  tx(std::vector<uint8_t>{kSc}, "");
}

void PpiStation::on_poll(Clock::time_point start) {
  {
    std::lock_guard lk(mu_);
    ++counts_.polls;
  }
  if (!ack_at_) {
    violation("poll without a short acknowledgement before it");
  } else if (const double gap = ms_between(*ack_at_, start); gap < kMinPollPauseMs) {
    violation("poll " + std::to_string(gap) + " ms after the short acknowledgement, expected 5 ms");
  }
  ack_at_.reset();
  PpiFault fault = PpiFault::None;
  fault_due(PpiFaultOn::Poll, fault);
  if (!pending_) {
    send_answer(sd1(kPpiFcNoData), fault, "no data");
    return;
  }
  if (fault == PpiFault::AckForever) pending_acks_ = -1;
  if ((fault == PpiFault::None || fault == PpiFault::AckForever) && pending_acks_ != 0) {
    if (pending_acks_ > 0) --pending_acks_;
    tx(std::vector<uint8_t>{kSc}, "");
    return;
  }
  pending_ = false;
  send_answer(sd2(kPpiFcAnswer, pending_answer_), fault, describe_s7(pending_answer_));
}

void PpiStation::on_disconnect() {
  {
    std::lock_guard lk(mu_);
    ++counts_.disconnects;
  }
  trace("disconnect");
  pending_ = false;
  tx(std::vector<uint8_t>{kSc}, "");
}

}  // namespace s7sim
