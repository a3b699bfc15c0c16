// Simulated MPI PC adapter: the far end of a pty that speaks 3964R as the
// adapter does, brings itself up on the initialisation record, opens
// connections to the PLC stations behind it and carries their S7 jobs.
// Runs on its own thread; shares no state with the library.
//
// The adapter checks the PC strictly (block framing, BCC, lengths, the
// initialisation record, references, block numbers, acknowledgements) and
// keeps every deviation as a readable violation. Faults can be injected per
// test, and a trace sink receives one decoded line per block on the line.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "plc.hpp"
#include "r3964_peer.hpp"

namespace s7sim {

// How the adapter answers the initialisation record.
enum class InitStyle {
  Zero,    // a block whose byte 0 is 0x00, then one more block
  E,       // a block whose byte 3 is 'E'; then the four TS blocks, each answered
  LowerE,  // as E, with 'e'
  Short,   // a 2-byte block whose byte 0 is not 0x00 (no 'E' to be found)
};

// Faults the adapter can put on the line. `nth` counts, from 1, the events
// named in the comment; `count` consecutive events are hit (default 1; 0 or
// less: every event from the nth on, e.g. an adapter that stays silent).
enum class Fault {
  // --- 3964R level ---
  NakBlock,          // answer NAK instead of DLE to the nth block transmission from the PC
  IgnoreStx,         // no answer at all to the nth STX from the PC
  Collision,         // answer the nth STX from the PC with an STX and a block of our own first
  CorruptBcc,        // wrong BCC on the nth block transmission to the PC
  DropByte,          // leave data byte `arg` (default 0) out of the nth transmission to the PC
  GarbageBeforeStx,  // `arg` bytes of garbage (default 3) before the nth transmission to the PC
  // --- adapter level ---
  NoReply,         // take the nth block from the PC (DLE) but answer nothing
  AckOnly,         // acknowledge the nth job but send no answer block
  WrongAckNumber,  // acknowledge the nth job with another block number (no answer follows)
  WrongAckRefs,    // acknowledge the nth job with other references (no answer follows)
  LongAnswer,      // answer the nth job with a block of `arg` bytes (default 317)
  StrayAnswer,     // answer the nth job with S7 byte `arg` (default 5: the PDU reference) + 1
};

struct FaultSetting {
  Fault kind;
  int nth = 1;
  int count = 1;
  int arg = -1;  // kind-specific, -1 = default
};

class MpiAdapter {
 public:
  explicit MpiAdapter(int fd);  // fd: the master side of the pty
  ~MpiAdapter();                // stops the thread
  MpiAdapter(const MpiAdapter &) = delete;
  MpiAdapter &operator=(const MpiAdapter &) = delete;

  // ---- set-up, before start() ----
  void add_station(int mpi_addr, Plc &plc);
  void set_init_style(InitStyle style);
  // Paced mode: characters at the rate of a real line of pace.baud, and the
  // adapter's turnaround before each answer (default: as fast as the pty).
  void set_pace(Pace pace);
  // One decoded line per block in either direction (called on the adapter's thread).
  void set_trace(std::function<void(const std::string &)> sink);

  void start();
  void stop();  // returns promptly, whatever the line is doing

  // ---- faults (may be changed while running) ----
  void inject(FaultSetting fault);
  void inject(Fault kind, int nth = 1, int count = 1, int arg = -1) {
    inject(FaultSetting{kind, nth, count, arg});
  }
  void clear_faults();

  // ---- what happened ----
  // Every protocol violation of the PC seen so far, as readable text.
  std::vector<std::string> violations() const;
  // Every block the adapter took from the PC (answered with DLE), in order.
  std::vector<std::vector<uint8_t>> blocks_from_pc() const;
  // Every block the adapter sent to the PC and saw acknowledged with DLE.
  std::vector<std::vector<uint8_t>> blocks_to_pc() const;
  uint64_t chars_from_pc() const;  // every character on the line, each direction
  uint64_t chars_to_pc() const;

  // One readable line for a block (without direction), as the trace shows it.
  static std::string describe(std::span<const uint8_t> block, bool from_pc);

 private:
  struct Station {
    int mpi_addr;
    Plc *plc;
    uint8_t own_ref;  // the adapter's connection reference for this station
  };
  struct Conn {
    bool open = false;       // connect request answered
    bool confirmed = false;  // confirmation taken
    uint8_t pc_ref = 0;
    int expect_nr = 0;      // next job block number
    uint8_t answer_nr = 0;  // number of the adapter's next answer block
  };
  struct PendingAck {  // the PC owes the acknowledgement of an answer block
    bool due = false;
    uint8_t pc_ref = 0, own_ref = 0, nr = 0;
  };
  enum class Phase { Down, FollowUp, Up };
  enum class RxResult { Ok, Nak, Broken, Overlong };  // Nak: answered with NAK

  void run();
  // 3964R, the adapter as receiver (after the STX) and as sender.
  void on_stx();
  RxResult receive_body(std::vector<uint8_t> &data);
  bool send_block(std::span<const uint8_t> data, const std::string &kind);
  void stray_bytes(uint8_t first);
  void discard_until_quiet();
  // Adapter level.
  void on_block(const std::vector<uint8_t> &b);
  void on_init(const std::vector<uint8_t> &b);
  void on_command(const std::vector<uint8_t> &b);
  void on_connect(const std::vector<uint8_t> &b);
  void on_conn_block(const std::vector<uint8_t> &b);
  void on_job(const std::vector<uint8_t> &b, size_t st);
  bool check_pending_ack(const std::vector<uint8_t> &b);
  void drop_connections();
  int station_by_ref(uint8_t own_ref) const;

  bool fires(Fault kind, uint64_t event, FaultSetting *hit = nullptr);
  void violation(std::string text);
  void trace(const std::string &line);

  std::atomic<bool> stop_{false};
  std::unique_ptr<Line> line_;
  std::thread thread_;
  InitStyle init_style_ = InitStyle::Zero;
  std::vector<Station> stations_;

  // Adapter state (the adapter's thread only).
  Phase phase_ = Phase::Down;
  int follow_up_ = 0;  // TS blocks taken so far
  int own_mpi_addr_ = -1;
  std::vector<Conn> conns_;  // one per station
  PendingAck pending_;

  // Event counters for the faults (the adapter's thread only).
  uint64_t stx_seen_ = 0, rx_frames_ = 0, tx_frames_ = 0, rx_blocks_ = 0, jobs_ = 0;

  mutable std::mutex mu_;  // guards what follows
  std::vector<FaultSetting> faults_;
  std::vector<std::string> violations_;
  std::vector<std::vector<uint8_t>> from_pc_, to_pc_;
  std::function<void(const std::string &)> trace_;
};

}  // namespace s7sim
