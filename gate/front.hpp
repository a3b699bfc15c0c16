// The gateway's front towards one S7 Ethernet client: RFC 1006 TPKT, ISO 8073
// class 0 (connection request and confirm, data with reassembly, disconnect)
// and the S7 header on top. A pure state machine: bytes in, actions out; it
// never touches a socket or the serial line, so every byte a client can send
// is checked here (and fuzzed).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "allow.hpp"

namespace s7gate {

using Bytes = std::vector<uint8_t>;

// Error class and code of the answers the gateway builds itself.
struct S7Error {
  uint8_t cls, code;
};
inline constexpr S7Error kErrPduSize{0x85, 0x00};   // job or answer beyond the agreed PDU size
inline constexpr S7Error kErrLine{0x83, 0x04};      // the serial line or the PLC did not answer
inline constexpr S7Error kErrFunction{0x81, 0x04};  // a job function the gateway does not carry
inline constexpr S7Error kErrSyntax{0x84, 0x04};    // a write job whose parameters do not add up
// Return code of every item of a write job the allow-list refuses.
inline constexpr uint8_t kRcAccess = 0x03;
// Error code in the parameters of a refused user-data job.
inline constexpr uint16_t kUserDataRefused = 0x8104;

struct Action {
  enum Kind { Reply, Forward, Close } kind;
  Bytes bytes;      // Reply: TPKT bytes for the client; Forward: the S7 job PDU
  uint16_t ref{};   // Forward: the client's PDU reference
  std::string why;  // Close: the reason; Reply: a refused job, for the log (else empty)
};

class Front {
 public:
  // pdu_max: the largest S7 PDU the serial path carries (and the PLC takes);
  // limit, where given, lowers it for the slot the connection request named
  // (the size the PLC behind that slot agreed to; 0: not known). allow: what
  // write jobs may reach the PLC (none without; kept by the caller).
  //
  // Forwarded: read-variable jobs; write-variable jobs whose every item lies
  // within allow; user-data jobs of the block functions (group 3) and the
  // SZL read (group 4, function 1). Answered here, nothing forwarded: any
  // other write (return code 0x03 for each item), any other job function
  // (kErrFunction), any other user-data job (error kUserDataRefused).
  using Limit = std::function<int(int slot)>;
  explicit Front(int pdu_max, Limit limit = {}, const WriteAllow *allow = nullptr)
      : pdu_max_(pdu_max), pdu_(pdu_max), limit_(std::move(limit)), allow_(allow) {}

  // Takes bytes as they came from the client and appends what to do. After a
  // Close the connection is finished and feed() does nothing more.
  void feed(std::span<const uint8_t> in, std::vector<Action> &out);

  // The client's answer to a forwarded job: the PLC's answer PDU with the
  // client's reference, in TPKT/COTP data units; an answer beyond the agreed
  // PDU size becomes the gateway's own refusal.
  Bytes answer(std::span<const uint8_t> pdu, uint16_t ref) const;
  // A refusal of a job by the gateway itself (S7 answer without parameters).
  Bytes refusal(uint16_t ref, S7Error e) const;

  bool connected() const { return state_ == State::Open; }
  bool set_up() const { return set_up_; }  // the setup job has been answered
  int slot() const { return slot_; }       // from the called TSAP; -1 when it named none
  int pdu_size() const { return pdu_; }

 private:
  enum class State { WaitCR, Open, Closed };
  void close(std::vector<Action> &out, std::string why);
  void tpdu(std::span<const uint8_t> t, std::vector<Action> &out);
  void connect(std::span<const uint8_t> t, std::vector<Action> &out);
  void job(std::vector<Action> &out);
  void refuse(std::vector<Action> &out, Bytes answer, std::string why) const;
  Bytes user_data_refusal(std::span<const uint8_t> par, uint16_t ref) const;
  Bytes wrap(std::span<const uint8_t> pdu) const;

  int pdu_max_;
  int pdu_;  // agreed by the setup job (pdu_max_ until then)
  Limit limit_;
  const WriteAllow *allow_;
  State state_ = State::WaitCR;
  bool set_up_ = false;
  Bytes in_;     // received, not yet a whole TPKT
  Bytes frags_;  // data of an S7 PDU arriving in several data units
  int tpdu_size_ = 128;
  int slot_ = -1;
};

}  // namespace s7gate
