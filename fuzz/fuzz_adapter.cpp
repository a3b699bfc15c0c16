// The adapter's answers: the bring-up (initialisation record and the four
// command blocks), the shut-down block, the connect exchange with its reset
// job, the bus-member list and the disconnect. Results and the record's
// statuses as documented; nothing written outside the record and the
// caller's list.
#include <cstring>

#include "harness.hpp"
#include "rs232.h"

namespace {
fz::GuardedS7 g;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fz::Line();
  if (!S7InitFastBaud(&g.S7, fz::kCom, fz::kPlcAdr, fz::kPcAdr, 38400)) fz::Fail("init failed");
  fz::FastPort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const fz::Input in = fz::Split(data, size, 4);
  // head: operation, bus-speed selector, PLC address, own address
  const int op = in.head[0] % 6;
  CStat[fz::kCom].MPIBaud = in.head[1] & 3;
  g.S7.MPIAdr = in.head[2];
  fz::JobHead h{};
  h.partner = in.head[3];
  h.job = static_cast<uint8_t>(fz::Job::Members);
  fz::PrepareRecord(g, h);  // connected, port up
  fz::Feed(in);
  switch (op) {
    case 0: {
      const BOOL r = InitKabel(fz::kCom, in.head[3]);
      fz::EndRun();
      fz::Check(r == TRUE || r == FALSE, "bring-up result", r);
      const INIT_KABEL &k = InitKabelData[fz::kCom];
      fz::Check(std::memcmp(k.Ubk1, _InitKabelData.Ubk1, sizeof k.Ubk1) == 0 &&
                    std::memcmp(k.Ubk2, _InitKabelData.Ubk2, sizeof k.Ubk2) == 0 &&
                    k.MasterId == 0x80 && k.MaxMPIAdr == 0x7E && k.LocalMPIAdr == in.head[3],
                "initialisation record changed by an answer");
      break;
    }
    case 1: {
      const BOOL r = ExitKabel(fz::kCom);
      fz::EndRun();
      fz::Check(r == TRUE || r == FALSE, "shut-down result", r);
      break;
    }
    case 2: {
      const BOOL r = ConnectToMPIAdr(&g.S7);
      fz::EndRun();
      fz::Check(r == TRUE || r == FALSE, "connect result", r);
      if (r) {
        fz::Check(g.S7.Err == 0, "connected with Err set", g.S7.Err);
        fz::Check(g.S7.Tx.H.Src == static_cast<BYTE>(g.S7.MPIAdr + 1), "own reference");
        fz::Check(g.S7.Tx.H.BlockNr == 1, "block number after the reset job", g.S7.Tx.H.BlockNr);
      } else {
        fz::Check(g.S7.Err == -1 && !g.S7.Status, "failed connect not marked", g.S7.Err);
      }
      break;
    }
    case 3: {
      fz::RunJob(g, h);
      fz::EndRun();
      break;
    }
    case 4: {
      CStat[fz::kCom].Status = 0;
      g.S7.Status = FALSE;
      const BOOL r = CheckStatus(&g.S7);
      fz::EndRun();
      fz::Check(r == TRUE || r == FALSE, "CheckStatus result", r);
      fz::Check(r == g.S7.Status, "CheckStatus result differs from Status", r);
      if (r)
        fz::Check(g.S7.Err == 0 && CStat[fz::kCom].Status == 1, "up without Err 0", g.S7.Err);
      else
        fz::Check(g.S7.Err == -1, "not up without Err -1", g.S7.Err);
      break;
    }
    default: {
      const BOOL r = DisconnectMPIAdr(&g.S7);
      fz::EndRun();
      fz::Check(r == TRUE || r == FALSE, "disconnect result", r);
      if (!r) fz::Check(g.S7.Err == -1 && !g.S7.Status, "failed disconnect not marked");
      break;
    }
  }
  fz::CheckRecord(g, "record guard written");
  return 0;
}
