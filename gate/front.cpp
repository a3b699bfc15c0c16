#include "front.hpp"

#include <algorithm>
#include <cstdio>

namespace s7gate {

namespace {

constexpr size_t kTpktHead = 4;         // 03 00 length(2)
constexpr size_t kDtHead = 3;           // LI 02, F0, EOT and number
constexpr size_t kMaxTpdu = 1024;       // largest data unit the gateway agrees to
constexpr size_t kMaxFragments = 8192;  // S7 PDU being reassembled; beyond: the client lies
constexpr size_t kS7Head = 10;          // 32, Code, 2 reserved, reference, LenBl1, LenBl2
constexpr uint8_t kCR = 0xE0, kCC = 0xD0, kDR = 0x80, kDT = 0xF0, kER = 0x70;
constexpr uint8_t kEOT = 0x80;
constexpr uint8_t kParTpduSize = 0xC0, kParCalling = 0xC1, kParCalled = 0xC2;
constexpr uint8_t kCodeJob = 0x01, kCodeAnswer = 0x03, kCodeUserData = 0x07;
constexpr uint8_t kFnSetup = 0xF0, kFnRead = 0x04, kFnWrite = 0x05;
// User data: 00 01 12, length of the rest, method, type and group, function,
// sequence number. Requests of the block functions (group 3) and of the SZL
// read (group 4, function 1) read and change nothing.
constexpr size_t kUdHead = 8;
constexpr uint8_t kUdBlockFunctions = 0x43, kUdCpuFunctions = 0x44, kUdSzlRead = 0x01;
constexpr int kMinPdu = 64;

uint16_t be16(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}
void put16(Bytes &b, size_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
std::string hex(unsigned v) {
  char s[8];
  std::snprintf(s, sizeof s, "0x%02X", v & 0xFFu);
  return s;
}

}  // namespace

void Front::close(std::vector<Action> &out, std::string why) {
  state_ = State::Closed;
  in_.clear();
  frags_.clear();
  out.push_back({Action::Close, {}, 0, std::move(why)});
}

void Front::feed(std::span<const uint8_t> in, std::vector<Action> &out) {
  if (state_ == State::Closed) return;
  in_.insert(in_.end(), in.begin(), in.end());
  size_t at = 0;
  while (state_ != State::Closed && in_.size() - at >= kTpktHead) {
    const std::span<const uint8_t> b(in_.data() + at, in_.size() - at);
    if (b[0] != 0x03) return close(out, "TPKT version " + hex(b[0]) + ", not 3");
    const size_t len = be16(b, 2);
    if (len < kTpktHead + 3 || len > kTpktHead + kMaxTpdu)
      return close(out, "TPKT length " + std::to_string(len) + " out of range");
    if (b.size() < len) break;
    at += len;
    tpdu(b.subspan(kTpktHead, len - kTpktHead), out);
  }
  if (state_ != State::Closed) in_.erase(in_.begin(), in_.begin() + static_cast<long>(at));
}

// One COTP unit: LI, then LI header bytes, then user data.
void Front::tpdu(std::span<const uint8_t> t, std::vector<Action> &out) {
  const size_t li = t[0];
  if (li < 2 || li + 1 > t.size()) return close(out, "COTP length indicator lies");
  const uint8_t type = t[1] & 0xF0;
  if (state_ == State::WaitCR) {
    if (type != kCR) return close(out, "COTP " + hex(t[1]) + " before a connection request");
    return connect(t, out);
  }
  switch (type) {
    case kDT: {
      if (li != 2) return close(out, "COTP data unit not of class 0");
      const auto data = t.subspan(kDtHead);
      if (frags_.size() + data.size() > kMaxFragments) return close(out, "S7 PDU too long");
      frags_.insert(frags_.end(), data.begin(), data.end());
      if (t[2] & kEOT) job(out);
      return;
    }
    case kDR:
      return close(out, "disconnect request");
    case kER:
      return close(out, "COTP error unit");
    default:
      return close(out, "COTP " + hex(t[1]) + " on an open connection");
  }
}

// CR: LI E0 dst-ref(2) src-ref(2) class, parameters. Answered with a CC that
// echoes the TSAPs and agrees to the client's data unit size, at most 1024.
void Front::connect(std::span<const uint8_t> t, std::vector<Action> &out) {
  const size_t li = t[0];
  if (li < 6 || li + 1 != t.size()) return close(out, "connection request malformed");
  if (t[6] >> 4 != 0) return close(out, "COTP class " + std::to_string(t[6] >> 4) + ", not 0");
  Bytes params;
  size_t tpdu_code = 7;  // 128 bytes unless the client names a size
  for (size_t p = 7; p < li + 1;) {
    if (p + 2 > li + 1 || p + 2 + t[p + 1] > li + 1)
      return close(out, "connection request parameter overruns");
    const uint8_t code = t[p], plen = t[p + 1];
    const auto val = t.subspan(p + 2, plen);
    if (code == kParTpduSize) {
      if (plen != 1 || val[0] < 7 || val[0] > 13) return close(out, "data unit size invalid");
      tpdu_code = std::min<size_t>(val[0], 10);
    } else if (code == kParCalling || code == kParCalled) {
      if (code == kParCalled && plen >= 2) slot_ = val[1] & 0x1F;
      params.insert(params.end(), t.begin() + static_cast<long>(p),
                    t.begin() + static_cast<long>(p + 2 + plen));
    }
    p += 2 + plen;
  }
  tpdu_size_ = 1 << tpdu_code;
  Bytes cc{0, kCC, t[4], t[5], 0x00, 0x01, 0x00, kParTpduSize, 1, static_cast<uint8_t>(tpdu_code)};
  cc.insert(cc.end(), params.begin(), params.end());
  cc[0] = static_cast<uint8_t>(cc.size() - 1);
  Bytes tpkt{0x03, 0x00};
  put16(tpkt, cc.size() + kTpktHead);
  tpkt.insert(tpkt.end(), cc.begin(), cc.end());
  state_ = State::Open;
  out.push_back({Action::Reply, std::move(tpkt), 0, {}});
}

// A whole S7 PDU from the client: the setup job is answered here, a job
// beyond the agreed size or one the gateway does not carry is refused here,
// the others go to the PLC.
void Front::job(std::vector<Action> &out) {
  Bytes pdu;
  pdu.swap(frags_);
  if (pdu.size() < kS7Head || pdu[0] != 0x32) return close(out, "not an S7 PDU");
  const uint8_t code = pdu[1];
  if (code != kCodeJob && code != kCodeUserData)
    return close(out, "S7 PDU kind " + hex(code) + " is not a job");
  if (kS7Head + be16(pdu, 6) + be16(pdu, 8) != pdu.size())
    return close(out, "S7 lengths do not add up");
  const uint16_t ref = be16(pdu, 4);
  const std::span<const uint8_t> par = std::span<const uint8_t>(pdu).subspan(kS7Head, be16(pdu, 6));
  if (code == kCodeJob && !par.empty() && par[0] == kFnSetup) {
    // F0 00, parallel jobs calling(2) and called(2), PDU size(2)
    if (be16(pdu, 6) != 8 || be16(pdu, 8) != 0) return close(out, "setup job malformed");
    const int asked = be16(pdu, kS7Head + 6);
    if (asked < kMinPdu) return close(out, "setup job asks for PDU size " + std::to_string(asked));
    const int plc = limit_ ? limit_(slot_) : 0;
    pdu_ = std::min(asked, plc > 0 ? std::min(plc, pdu_max_) : pdu_max_);
    set_up_ = true;
    Bytes a{0x32, kCodeAnswer, 0,    0,        0,    0,    0x00, 0x08, 0x00,
            0x00, 0x00,        0x00, kFnSetup, 0x00, 0x00, 0x01, 0x00, 0x01};
    put16(a, static_cast<size_t>(pdu_));
    out.push_back({Action::Reply, answer(a, ref), 0, {}});
    return;
  }
  if (pdu.size() > static_cast<size_t>(pdu_)) {
    out.push_back({Action::Reply, refusal(ref, kErrPduSize), 0, {}});
    return;
  }
  if (code == kCodeUserData) {
    const bool read_only =
        par.size() >= kUdHead && par[0] == 0x00 && par[1] == 0x01 && par[2] == 0x12 &&
        par[3] + 4u == par.size() &&
        (par[5] == kUdBlockFunctions || (par[5] == kUdCpuFunctions && par[6] == kUdSzlRead));
    if (!read_only)
      return refuse(out, user_data_refusal(par, ref),
                    par.size() >= kUdHead
                        ? "user data group " + hex(par[5]) + " function " + hex(par[6]) + " refused"
                        : std::string("user data job malformed, refused"));
  } else if (par.empty() || (par[0] != kFnRead && par[0] != kFnWrite)) {
    return refuse(out, refusal(ref, kErrFunction),
                  par.empty() ? std::string("job without a function refused")
                              : "job function " + hex(par[0]) + " refused");
  } else if (par[0] == kFnWrite) {
    static const WriteAllow kNone;
    const WriteCheck c = (allow_ ? *allow_ : kNone).check(par);
    if (c.items < 0) return refuse(out, refusal(ref, kErrSyntax), "write refused: " + c.what);
    if (c.refused >= 0) {
      const auto n = static_cast<uint8_t>(c.items);  // and as many return codes for data
      Bytes a{0x32, kCodeAnswer, 0, 0, 0, 0, 0, 2, 0, n, 0, 0, kFnWrite, n};
      a.insert(a.end(), static_cast<size_t>(c.items), kRcAccess);
      return refuse(out, answer(a, ref), "write refused: " + c.what + " is not allowed");
    }
  }
  out.push_back({Action::Forward, std::move(pdu), ref, {}});
}

void Front::refuse(std::vector<Action> &out, Bytes answer, std::string why) const {
  out.push_back({Action::Reply, std::move(answer), 0, std::move(why)});
}

// The user-data answer to a refused request: its group and function echoed,
// the error code in the parameters, no data.
Bytes Front::user_data_refusal(std::span<const uint8_t> par, uint16_t ref) const {
  const auto at = [&](size_t i, uint8_t none) { return i < par.size() ? par[i] : none; };
  const Bytes a{0x32,
                kCodeUserData,
                0,
                0,
                0,
                0,
                0,
                12,
                0,
                4,
                0x00,
                0x01,
                0x12,
                0x08,
                0x12,
                static_cast<uint8_t>(0x80 | (at(5, 0) & 0x0F)),
                at(6, 0),
                at(7, 0),
                0x00,
                0x00,
                static_cast<uint8_t>(kUserDataRefused >> 8),
                static_cast<uint8_t>(kUserDataRefused),
                0x0A,
                0x00,
                0x00,
                0x00};
  return answer(a, ref);
}

Bytes Front::refusal(uint16_t ref, S7Error e) const {
  const Bytes a{0x32,
                kCodeAnswer,
                0,
                0,
                static_cast<uint8_t>(ref >> 8),
                static_cast<uint8_t>(ref),
                0,
                0,
                0,
                0,
                e.cls,
                e.code};
  return wrap(a);
}

Bytes Front::answer(std::span<const uint8_t> pdu, uint16_t ref) const {
  if (pdu.size() < kS7Head || pdu.size() > static_cast<size_t>(pdu_))
    return refusal(ref, kErrPduSize);
  Bytes a(pdu.begin(), pdu.end());
  a[4] = static_cast<uint8_t>(ref >> 8);
  a[5] = static_cast<uint8_t>(ref);
  return wrap(a);
}

// Into data units of the agreed size, the last one marked EOT.
Bytes Front::wrap(std::span<const uint8_t> pdu) const {
  const size_t room = static_cast<size_t>(tpdu_size_) - kDtHead;
  Bytes out;
  size_t at = 0;
  do {
    const size_t n = std::min(room, pdu.size() - at);
    const bool last = at + n == pdu.size();
    out.insert(out.end(), {0x03, 0x00});
    put16(out, kTpktHead + kDtHead + n);
    out.insert(out.end(), {0x02, kDT, static_cast<uint8_t>(last ? kEOT : 0)});
    out.insert(out.end(), pdu.begin() + static_cast<long>(at),
               pdu.begin() + static_cast<long>(at + n));
    at += n;
  } while (at < pdu.size());
  return out;
}

}  // namespace s7gate
