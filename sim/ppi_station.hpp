// Simulated S7-200 on a PPI line: the far end of a pty at one station
// address, speaking PROFIBUS FDL frames. Runs on its own thread.
//
// What the station does with what the PC sends:
// - token DC 00 00, then (after a pause) the status request SD1 FC 0x49:
//   answered with SD1 "10 PC station FC FCS 16" (FC 0x00 unless changed); the
//   request's source becomes the master whose frames are accepted from then on;
// - SD2 request FC 0x7C with an S7 job: acknowledged with 0xE5; the job is
//   handed to the Plc and its answer is delivered on the poll (SD1 FC 0x5C) as
//   SD2 "68 LE LE 68 PC station 08 answer FCS 16", optionally after some more
//   0xE5s, or at once in place of the 0xE5 (answer_directly);
// - SD1 FC 0x7C without data (the disconnect): acknowledged with 0xE5, any
//   pending answer is dropped; a poll with nothing pending is answered with
//   SD1 FC 0x09 (no data).
// Everything else the PC does wrong (FCS, ED, LE != LEr, addresses, FC
// values, a poll without an acknowledgement before it, a pause that is too
// short, a frame cut off) is recorded as a readable violation and not answered.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "plc.hpp"
#include "r3964_peer.hpp"

namespace s7sim {

// PDU size of the simulated S7-200: a read answer of 90 bytes and a write
// request of 90 bytes (45 words, 22 double words) fit, as on the real CPU.
inline constexpr int kS7200PduSize = 120;

// Frame control bytes.
inline constexpr uint8_t kPpiFcStatusRequest = 0x49;
inline constexpr uint8_t kPpiFcRequest = 0x7C;
inline constexpr uint8_t kPpiFcPoll = 0x5C;
inline constexpr uint8_t kPpiFcAnswer = 0x08;  // response, data low
inline constexpr uint8_t kPpiFcNoData = 0x09;  // response, no data

// One way of misbehaving, applied to the station's answer to one kind of frame.
enum class PpiFault {
  None,
  Silence,           // no answer at all (a request is not even carried out)
  BadFcs,            // the answer frame with a wrong FCS
  BadEd,             // the answer frame with a wrong end delimiter
  LeMismatch,        // an SD2 answer whose LEr differs from LE
  Sd1Frame,          // a well-formed SD1 frame (FC 0x08) instead of the answer
  Sd3Frame,          // a well-formed SD3 frame instead of the answer
  OtherAddress,      // the answer frame well formed, but from station + 1
  ByteWhileSending,  // a byte (0xE5) on the line between jobs, found by the PC's next request
  AckForever,        // 0xE5 to the request and to every poll for that job
};

enum class PpiFaultOn { StatusRequest, Request, Poll };

// Damaged answers to a request are delivered at once, in place of the 0xE5.
struct PpiFaultPlan {
  PpiFault fault = PpiFault::None;
  PpiFaultOn on = PpiFaultOn::Request;
  int skip = 0;   // frames of that kind answered normally first
  int times = 1;  // frames that get the fault; negative: every following one
};

struct PpiCounts {
  long rx_chars = 0;  // characters received from the PC
  long tx_chars = 0;  // characters sent to the PC
  int tokens = 0;
  int status_requests = 0;
  int requests = 0;  // SD2 requests received whole
  int polls = 0;
  int disconnects = 0;
  int acks = 0;     // 0xE5 sent
  int answers = 0;  // SD2 answer frames sent (damaged ones included)
};

class PpiStation {
 public:
  using Clock = std::chrono::steady_clock;
  using TraceSink = std::function<void(const std::string &)>;

  // fd: the master side of the pty. Configures plc with kS7200PduSize.
  PpiStation(int fd, int station_addr, Plc &plc);
  ~PpiStation();  // stops the thread
  PpiStation(const PpiStation &) = delete;
  PpiStation &operator=(const PpiStation &) = delete;

  // Paced mode (before start()): characters at the rate of a real line of
  // pace.baud, and the station's turnaround before each answer.
  void set_pace(Pace pace);
  void start();
  void stop();  // returns promptly, whatever the station is doing

  // Every protocol violation of the PC seen so far, as readable text.
  std::vector<std::string> violations() const;

  // ---- behaviour (may be changed while the station runs) ----
  void set_acks_before_answer(int n);     // polls answered with 0xE5 before the answer
  void set_answer_directly(bool on);      // answer requests at once, without 0xE5 and poll
  void set_status_fc(uint8_t fc);         // FC of the status answer
  void inject(const PpiFaultPlan &plan);  // replaces the previous plan
  void set_trace(TraceSink sink);         // one line per frame in either direction

  // ---- observations ----
  PpiCounts counts() const;
  std::vector<double> token_gaps_ms() const;             // token -> status request, per connect
  std::vector<Clock::time_point> request_times() const;  // start of each SD2 request
  std::optional<int> master() const;                     // the PC's address, once known

 private:
  void run();
  bool rx(uint8_t &b, int timeout_ms);
  void tx(std::span<const uint8_t> bytes, const std::string &what);
  void resync();
  void violation(const std::string &text);
  void trace(const std::string &line);
  bool fault_due(PpiFaultOn on, PpiFault &fault);
  bool plan_is(PpiFault fault) const;

  void maybe_send_stray();
  void on_token();
  void on_sd1(Clock::time_point start);
  void on_sd2(Clock::time_point start);
  void on_status_request(uint8_t sa, Clock::time_point start);
  void on_request(std::vector<uint8_t> du);
  void on_poll(Clock::time_point start);
  void on_disconnect();
  void send_answer(std::vector<uint8_t> frame, PpiFault fault, const std::string &what);

  std::vector<uint8_t> sd1(uint8_t fc) const;
  std::vector<uint8_t> sd2(uint8_t fc, std::span<const uint8_t> du) const;
  std::vector<uint8_t> sd3() const;

  int fd_;
  int wake_fd_ = -1;
  // Paced mode: the line's clock, and the characters read from the pty in
  // one go that are still on their way over the wire.
  LineTiming timing_;
  uint8_t rx_buf_[256] = {};
  size_t rx_pos_ = 0, rx_len_ = 0;
  Clock::time_point rx_seen_{};
  uint8_t station_;
  Plc &plc_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};

  mutable std::mutex mu_;
  // configuration
  int acks_before_answer_ = 0;
  bool answer_directly_ = false;
  uint8_t status_fc_ = 0x00;
  PpiFaultPlan plan_;
  TraceSink trace_;
  // observations
  std::vector<std::string> violations_;
  PpiCounts counts_;
  std::vector<double> token_gaps_;
  std::vector<Clock::time_point> request_times_;
  std::optional<int> master_;

  // protocol state (station thread only)
  std::optional<Clock::time_point> token_at_;
  bool token_read_late_ = false;  // the status request was already there when the token was read
  bool input_waiting() const;
  std::optional<Clock::time_point> ack_at_;  // last 0xE5 sent, a poll may follow
  bool pending_ = false;
  std::vector<uint8_t> pending_answer_;
  int pending_acks_ = 0;  // negative: acknowledge forever
  bool stray_sent_ = false;
  // A fault was injected since the last status request: a frame the PC then
  // breaks off is its answer to our fault, not a violation.
  bool faulted_ = false;
};

// One readable line for an S7 PDU (job or answer), for traces and tests.
std::string describe_s7(std::span<const uint8_t> pdu);

}  // namespace s7sim
