// s7corpus: records the seed corpus of the fuzz harnesses. Runs the real
// library calls against the simulated MPI adapter and the simulated S7-200
// (good paths and a few injected faults) and writes, for each call, the
// harness header that repeats it and the segments the library read.
//
//   s7corpus DIR    writes DIR/<harness>/<name> files
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "fdl.h"
#include "harness.hpp"
#include "mpi_adapter.hpp"
#include "plc.hpp"
#include "ppi_station.hpp"
#include "r3964.h"
#include "r3964_peer.hpp"
#include "rs232.h"

namespace {

namespace fs = std::filesystem;
using Segments = std::vector<std::vector<uint8_t>>;

fs::path g_dir;
int g_files = 0;

void Save(const std::string &harness, const std::string &name, std::vector<uint8_t> head,
          const Segments &segs) {
  const fs::path d = g_dir / harness;
  fs::create_directories(d);
  const std::vector<uint8_t> bytes = fz::Join(head, segs);
  std::ofstream f(d / name, std::ios::binary);
  f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ++g_files;
}

Segments Record(const std::function<void()> &call) {
  fz::StartRecord(RsIo[fz::kCom].hCom);
  call();
  return fz::StopRecord();
}

void FillPlc(s7sim::Plc &plc) {
  plc.add_db(1, 1024);
  plc.add_db(10, 1024);
  std::vector<uint8_t> pattern(1024);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 0x10);
  plc.write_bytes(s7sim::Area::DB, 10, 0, pattern);
  plc.write_bytes(s7sim::Area::Flags, 0, 0, pattern);
  for (int i = 0; i < 64; ++i) {
    plc.set_timer(i, static_cast<uint16_t>(((i % 4) << 12) | (i % 10) * 0x111));
    plc.set_counter(i, static_cast<uint16_t>((i % 10) * 0x101));
  }
  plc.set_cpu_text("CPU 224 6ES7 214");
}

fz::JobHead Head(fz::Job j, int anz, int start, int db, const S7I &s7, bool scratch) {
  fz::JobHead h{};
  h.job = static_cast<uint8_t>(j);
  h.anz_lo = static_cast<uint8_t>(anz);
  h.anz_hi = static_cast<uint8_t>(anz >> 8);
  h.start = static_cast<uint8_t>(start);
  h.partner = s7.Tx.H.Dst;
  h.block_nr = s7.Tx.H.BlockNr;
  h.flags = scratch ? fz::kFromScratch : 0;
  h.db = static_cast<uint8_t>(db);
  return h;
}

std::vector<uint8_t> Bytes(const fz::JobHead &h) {
  std::vector<uint8_t> v(sizeof h);
  std::memcpy(v.data(), &h, sizeof h);
  return v;
}

struct JobCase {
  fz::Job job;
  int anz;
  int start;
  int db;
};

const JobCase kJobs[] = {
    {fz::Job::RdBytes, 10, 4, 10},  {fz::Job::RdBytes, 300, 0, 10}, {fz::Job::WrBytes, 8, 20, 10},
    {fz::Job::WrBytes, 250, 0, 10}, {fz::Job::RdWords, 3, 5, 10},   {fz::Job::RdWords, 120, 0, 10},
    {fz::Job::WrWords, 4, 9, 10},   {fz::Job::RdDWords, 2, 8, 10},  {fz::Job::WrDWords, 2, 16, 10},
    {fz::Job::RdReals, 3, 12, 10},  {fz::Job::WrReals, 1, 40, 10},  {fz::Job::RdBit, 1, 3, 5},
    {fz::Job::WrBit, 1, 3, 5},      {fz::Job::RdTimers, 4, 10, 0},  {fz::Job::WrTimers, 3, 2, 0},
    {fz::Job::RdCounters, 5, 1, 0}, {fz::Job::WrCounters, 2, 7, 0}, {fz::Job::DBLen, 0, 0, 10},
    {fz::Job::DBLen, 0, 0, 1},      {fz::Job::DBLen, 0, 0, 77},     {fz::Job::CPUInfo, 0, 0, 0},
    {fz::Job::RdDirect, 6, 2, 10},  {fz::Job::RdDirect, 6, 2, 99},  {fz::Job::WrDirect, 5, 1, 0},
    {fz::Job::Members, 0, 0, 0},
};

// ---- MPI: adapter, jobs, 3964R ----

void RecordMpi() {
  s7sim::Plc plc;
  FillPlc(plc);
  auto ad = std::make_unique<s7sim::MpiAdapter>(fz::Line());
  ad->add_station(fz::kPlcAdr, plc);
  ad->start();
  fz::GuardedS7 g{};
  std::memset(g.guard, 0x5A, sizeof g.guard);
  if (!S7InitFastBaud(&g.S7, fz::kCom, fz::kPlcAdr, fz::kPcAdr, 38400)) fz::Fail("init");

  // bring-up and connect from scratch
  Save("fuzz_adapter", "bringup_connect", {4, 0, fz::kPlcAdr, 0},
       Record([&] { CheckStatus(&g.S7); }));
  {
    fz::JobHead h{};
    h.job = static_cast<uint8_t>(fz::Job::Members);
    h.partner = g.S7.Tx.H.Dst;
    Save("fuzz_adapter", "members", {3, 0, fz::kPlcAdr, h.partner},
         Record([&] { fz::RunJob(g, h); }));
  }
  Save("fuzz_adapter", "disconnect", {5, 0, fz::kPlcAdr, g.S7.Tx.H.Dst},
       Record([&] { DisconnectMPIAdr(&g.S7); }));
  Save("fuzz_adapter", "init_zero", {0, 0, fz::kPlcAdr, 0},
       Record([&] { InitKabel(fz::kCom, 0); }));
  Save("fuzz_adapter", "connect", {2, 0, fz::kPlcAdr, 0}, Record([&] { ConnectToMPIAdr(&g.S7); }));
  g.S7.Status = TRUE;
  CStat[fz::kCom].Status = 1;

  // jobs on the standing connection
  int n = 0;
  for (const JobCase &c : kJobs) {
    const fz::JobHead h = Head(c.job, c.anz, c.start, c.db, g.S7, false);
    Save("fuzz_mpi_jobs", "job" + std::to_string(n++), Bytes(h), Record([&] { fz::RunJob(g, h); }));
    if (!g.S7.Status) CheckStatus(&g.S7);
  }
  {
    CStat[fz::kCom].Status = 0;
    g.S7.Status = FALSE;
    const fz::JobHead h = Head(fz::Job::RdWords, 3, 5, 10, g.S7, true);
    Save("fuzz_mpi_jobs", "job_from_scratch", Bytes(h), Record([&] { fz::RunJob(g, h); }));
  }

  // faults the adapter can make, each on the next job
  struct FaultCase {
    s7sim::Fault kind;
    int arg;
    const char *name;
  };
  const FaultCase faults[] = {
      {s7sim::Fault::NakBlock, -1, "nak"},
      {s7sim::Fault::Collision, -1, "collision"},
      {s7sim::Fault::CorruptBcc, -1, "corrupt_bcc"},
      {s7sim::Fault::DropByte, 8, "drop_byte"},
      {s7sim::Fault::GarbageBeforeStx, 3, "garbage"},
      {s7sim::Fault::WrongAckNumber, -1, "wrong_ack_nr"},
      {s7sim::Fault::WrongAckRefs, -1, "wrong_ack_refs"},
      {s7sim::Fault::LongAnswer, 317, "long_answer"},
  };
  for (const FaultCase &f : faults) {
    for (fz::Job j : {fz::Job::RdWords, fz::Job::WrBytes}) {
      if (!CheckStatus(&g.S7)) std::fprintf(stderr, "second bring-up needed after %s\n", f.name);
      if (!g.S7.Status && !CheckStatus(&g.S7)) {
        std::fprintf(stderr, "%s\n", f.name);
        for (auto &v : ad->violations()) std::fprintf(stderr, "  %s\n", v.c_str());
        fz::Fail("no recovery");
      }
      ad->clear_faults();
      ad->inject(f.kind, 1, 0, f.arg);  // every event from now on: the recorded call sees it
      const fz::JobHead h = Head(j, 4, 2, 10, g.S7, false);
      Save("fuzz_mpi_jobs",
           std::string("fault_") + f.name + (j == fz::Job::RdWords ? "_rd" : "_wr"), Bytes(h),
           Record([&] { fz::RunJob(g, h); }));
      ad->clear_faults();
    }
  }

  // 3964R: the receiver takes the adapter's answers, the sender its answers
  if (!CheckStatus(&g.S7)) fz::Fail("no recovery");
  {
    BYTE ts[3] = {0x01, 0x07, 0x02};  // member request: a 133-byte answer
    if (!Tx3964RBlock(fz::kCom, ts, 3)) fz::Fail("member request");
    fz::Guarded buf(512);
    const Segments segs = Record([&] { Rx3964RBlock(fz::kCom, buf.data(), 140); });
    Save("fuzz_r3964_rx", "members_answer", {0}, segs);
    // the collision receiver starts after the STX
    Segments dummy = segs;
    if (!dummy.empty() && !dummy[0].empty() && dummy[0][0] == 0x02)
      dummy[0].erase(dummy[0].begin());
    Save("fuzz_r3964_rx", "members_answer_dummy", {1}, dummy);
  }
  for (int len : {0, 3, 23, 40, 200}) {
    ad->clear_faults();
    const std::vector<uint8_t> head = {static_cast<uint8_t>(len), 0x10};
    std::vector<uint8_t> block(static_cast<size_t>(len));
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * head[1] + i / 7);
    Save("fuzz_r3964_tx", "block" + std::to_string(len), head,
         Record([&] { Tx3964RBlock(fz::kCom, block.data(), len); }));
  }
  for (auto [kind, name] : {std::pair{s7sim::Fault::NakBlock, "nak"},
                            std::pair{s7sim::Fault::Collision, "collision"}}) {
    ad->clear_faults();
    ad->inject(kind, 1, 0);
    std::vector<uint8_t> block(20, 0x10);
    Save("fuzz_r3964_tx", name, {20, 0x10},
         Record([&] { Tx3964RBlock(fz::kCom, block.data(), 20); }));
    ad->clear_faults();
  }
  // every kind of block the adapter sent, as the receivers see it: STX, then
  // the framed block after their DLE (also cut into two segments)
  int k = 0;
  std::vector<std::vector<uint8_t>> seen;
  for (const auto &b : ad->blocks_to_pc()) {
    const std::vector<uint8_t> key(b.begin(),
                                   b.begin() + static_cast<long>(std::min<size_t>(b.size(), 5)));
    if (std::find(seen.begin(), seen.end(), key) != seen.end() || k >= 16) continue;
    seen.push_back(key);
    const std::vector<uint8_t> frame = s7sim::frame_3964r(b);
    const size_t half = frame.size() / 2;
    const std::vector<uint8_t> a(frame.begin(), frame.begin() + static_cast<long>(half));
    const std::vector<uint8_t> z(frame.begin() + static_cast<long>(half), frame.end());
    Save("fuzz_r3964_rx", "block" + std::to_string(k), {0}, {{0x02}, frame});
    Save("fuzz_r3964_rx", "block" + std::to_string(k) + "_dummy", {1}, {a, z});
    ++k;
  }
  ad->stop();
  ad.reset();
  S7ExitAll();
}

// The bring-up with each way the adapter answers the initialisation record,
// and with faults on the line while it runs.
void RecordBringUp() {
  const std::pair<s7sim::InitStyle, const char *> styles[] = {
      {s7sim::InitStyle::E, "E"},
      {s7sim::InitStyle::LowerE, "lower_e"},
      {s7sim::InitStyle::Short, "short"},
  };
  s7sim::Plc plc;
  FillPlc(plc);
  for (auto [style, name] : styles) {
    s7sim::MpiAdapter ad(fz::Line());
    ad.add_station(fz::kPlcAdr, plc);
    ad.set_init_style(style);
    ad.start();
    fz::GuardedS7 g{};
    std::memset(g.guard, 0x5A, sizeof g.guard);
    if (!S7InitFastBaud(&g.S7, fz::kCom, fz::kPlcAdr, fz::kPcAdr, 38400)) fz::Fail("init");
    Save("fuzz_adapter", std::string("bringup_") + name, {4, 0, fz::kPlcAdr, 0},
         Record([&] { CheckStatus(&g.S7); }));
    Save("fuzz_adapter", std::string("init_") + name, {0, 1, fz::kPlcAdr, 0},
         Record([&] { InitKabel(fz::kCom, 0); }));
    Save("fuzz_adapter", std::string("exit_") + name, {1, 0, fz::kPlcAdr, 0},
         Record([&] { ExitKabel(fz::kCom); }));
    const std::pair<s7sim::Fault, const char *> faults[] = {
        {s7sim::Fault::NakBlock, "nak"},
        {s7sim::Fault::Collision, "collision"},
        {s7sim::Fault::CorruptBcc, "bcc"},
        {s7sim::Fault::GarbageBeforeStx, "garbage"},
    };
    if (style == s7sim::InitStyle::E) {
      for (auto [fault, fname] : faults) {
        ad.clear_faults();
        ad.inject(fault, 1, 0);
        Save("fuzz_adapter", std::string("init_") + fname, {0, 2, fz::kPlcAdr, 0},
             Record([&] { InitKabel(fz::kCom, 0); }));
        ad.clear_faults();
      }
    }
    ad.stop();
    S7ExitAll();
  }
}

// ---- PPI: FDL frames and jobs ----

void RecordPpi() {
  s7sim::Plc plc;
  FillPlc(plc);
  s7sim::PpiStation st(fz::Line(), fz::kPlcAdr, plc);
  st.start();
  fz::GuardedS7 g{};
  std::memset(g.guard, 0x5A, sizeof g.guard);
  if (!S7PPIInit(&g.S7, fz::kCom, fz::kPlcAdr, fz::kPcAdr, 19200)) fz::Fail("init");

  {
    CStat[fz::kCom].Status = 0;
    const fz::JobHead h = Head(fz::Job::RdBytes, 6, 0, 1, g.S7, true);
    Save("fuzz_ppi", "job_from_scratch", Bytes(h), Record([&] { fz::RunJob(g, h); }));
  }
  int n = 0;
  for (const JobCase &c : kJobs) {
    if (c.job == fz::Job::Members) continue;
    if (!CheckStatus(&g.S7)) fz::Fail("no connection");
    const fz::JobHead h = Head(c.job, c.anz, c.start, c.db, g.S7, false);
    Save("fuzz_ppi", "job" + std::to_string(n++), Bytes(h), Record([&] { fz::RunJob(g, h); }));
  }
  const std::pair<s7sim::PpiFault, const char *> faults[] = {
      {s7sim::PpiFault::BadFcs, "bad_fcs"},         {s7sim::PpiFault::BadEd, "bad_ed"},
      {s7sim::PpiFault::LeMismatch, "le_mismatch"}, {s7sim::PpiFault::Sd1Frame, "sd1"},
      {s7sim::PpiFault::Sd3Frame, "sd3"},           {s7sim::PpiFault::OtherAddress, "other_adr"},
      {s7sim::PpiFault::AckForever, "ack_forever"},
  };
  for (auto [fault, name] : faults) {
    for (auto on : {s7sim::PpiFaultOn::Request, s7sim::PpiFaultOn::Poll}) {
      if (fault == s7sim::PpiFault::AckForever && on == s7sim::PpiFaultOn::Poll) continue;
      if (!CheckStatus(&g.S7)) fz::Fail("no recovery");
      st.inject({fault, on, 0, 1});
      const fz::JobHead h = Head(fz::Job::RdWords, 4, 2, 1, g.S7, false);
      Save("fuzz_ppi",
           std::string("fault_") + name + (on == s7sim::PpiFaultOn::Poll ? "_poll" : "_req"),
           Bytes(h), Record([&] { fz::RunJob(g, h); }));
      st.inject({});
    }
  }

  // FDL frames: the status answer, a short acknowledgement, an answer frame
  if (!CheckStatus(&g.S7)) fz::Fail("no connection");
  {
    // a read job of 4 bytes of DB 1 as the data unit
    BYTE job[24] = {0x32, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x04, 0x01,
                    0x12, 0x0A, 0x10, 0x02, 0x00, 0x04, 0x00, 0x01, 0x84, 0x00, 0x00, 0x00};
    TxProfiBlock(fz::kCom, fz::kPlcAdr, fz::kPcAdr, 0x7C, job, 24);
    fz::Guarded frame(261);
    Save("fuzz_fdl", "short_ack", {0, 0, 2, 24},
         Record([&] { _RxProfiBlock(fz::kCom, frame.data()); }));
    DelayMS(5);
    TxProfiBlock(fz::kCom, fz::kPlcAdr, fz::kPcAdr, 0x5C, nullptr, 0);
    fz::Guarded du(252);
    Save("fuzz_fdl", "answer_frame", {1, fz::kPcAdr, fz::kPlcAdr, 0},
         Record([&] { RxProfiBlock(fz::kCom, fz::kPcAdr, fz::kPlcAdr, 0x7C, du.data()); }));
    TxProfiBlock(fz::kCom, fz::kPlcAdr, fz::kPcAdr, 0x7C, job, 24);
    Save("fuzz_fdl", "send_then_ack", {2, fz::kPlcAdr, fz::kPcAdr, 24},
         Record([&] { RxProfiBlock(fz::kCom, fz::kPcAdr, fz::kPlcAdr, 0x7C, du.data()); }));
    DelayMS(5);
    TxProfiBlock(fz::kCom, fz::kPlcAdr, fz::kPcAdr, 0x5C, nullptr, 0);
    RxProfiBlock(fz::kCom, fz::kPcAdr, fz::kPlcAdr, 0x7C, du.data());
  }
  {
    // damaged and foreign answers to a request
    BYTE job[24] = {0x32, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x04, 0x01,
                    0x12, 0x0A, 0x10, 0x02, 0x00, 0x06, 0x00, 0x01, 0x84, 0x00, 0x00, 0x10};
    const std::pair<s7sim::PpiFault, const char *> frames[] = {
        {s7sim::PpiFault::BadFcs, "bad_fcs"},         {s7sim::PpiFault::BadEd, "bad_ed"},
        {s7sim::PpiFault::LeMismatch, "le_mismatch"}, {s7sim::PpiFault::Sd1Frame, "sd1"},
        {s7sim::PpiFault::Sd3Frame, "sd3"},           {s7sim::PpiFault::OtherAddress, "other_adr"},
    };
    int op = 0;
    for (auto [fault, name] : frames) {
      st.inject({fault, s7sim::PpiFaultOn::Request, 0, 1});
      ComClr(fz::kCom);
      TxProfiBlock(fz::kCom, fz::kPlcAdr, fz::kPcAdr, 0x7C, job, 24);
      fz::Guarded buf(261);
      const uint8_t o = static_cast<uint8_t>(op++ % 2);  // raw receiver or answer filter
      Save("fuzz_fdl", std::string("frame_") + name, {o, fz::kPcAdr, fz::kPlcAdr, 24}, Record([&] {
             if (o == 0)
               _RxProfiBlock(fz::kCom, buf.data());
             else
               RxProfiBlock(fz::kCom, fz::kPcAdr, fz::kPlcAdr, 0x7C, buf.data());
           }));
      st.inject({});
      DelayMS(60);
      ComClr(fz::kCom);
    }
  }
  {
    // the status request's answer, an SD1 frame
    CStat[fz::kCom].Status = 0;
    g.S7.Status = FALSE;
    ComClr(fz::kCom);
    const BYTE req[9] = {0xDC, 0x00, 0x00, 0x10, fz::kPlcAdr, fz::kPcAdr, 0x49, 0x4B, 0x16};
    for (int i = 0; i < 3; ++i) ComTxC(fz::kCom, req[i]);
    DelayMS(12);
    for (int i = 3; i < 9; ++i) ComTxC(fz::kCom, req[i]);
    fz::Guarded frame(261);
    Save("fuzz_fdl", "status_answer", {0, 0, 0, 0},
         Record([&] { _RxProfiBlock(fz::kCom, frame.data()); }));
  }
  st.stop();
  S7ExitAll();
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: s7corpus DIR\n");
    return 2;
  }
  g_dir = argv[1];
  RecordMpi();
  RecordBringUp();
  RecordPpi();
  std::printf("%d corpus files written to %s\n", g_files, g_dir.c_str());
  return 0;
}
