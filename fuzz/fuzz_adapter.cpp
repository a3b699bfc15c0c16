// The adapter's answers: the bring-up (initialisation record and the four
// command blocks), the shut-down block, the connect exchange with its reset
// job, the bus-member list, the status check and the disconnect. Results and
// the record's statuses as documented; nothing written outside the record
// and the caller's list.
#include <cstring>

#include "harness.hpp"
#include "rs232.h"

namespace {
S7I g;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fz::Start([] { return bool(S7InitFastBaud(&g, fz::kCom, fz::kPlcAdr, 0, 38400)); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // head: operation, bus-speed selector, PLC address, own address
  auto head = fz::Feed(data, size, 4);
  const int op = head[0] % 6, own = head[3];
  CStat[fz::kCom].MPIBaud = head[1] & 3;
  g.MPIAdr = head[2];
  fz::Prepare(g, {18, 0, 0, 0, static_cast<uint8_t>(own), 0, 0, 0});  // connected, port up
  if (op == 3) fz::RunJob(g, {18, 0, 0, 0, static_cast<uint8_t>(own), 0, 0, 0});  // the member list
  if (op == 4) CStat[fz::kCom].Status = 0, g.Status = FALSE;
  const BOOL r = op == 0   ? InitKabel(fz::kCom, own)
                 : op == 1 ? ExitKabel(fz::kCom)
                 : op == 2 ? ConnectToMPIAdr(&g)
                 : op == 4 ? CheckStatus(&g)
                 : op == 5 ? DisconnectMPIAdr(&g)
                           : TRUE;
  fz::EndRun();
  fz::Check(r == TRUE || r == FALSE, "result not a BOOL", r);
  const INIT_KABEL &k = InitKabelData[fz::kCom];
  if (op == 0)
    fz::Check(!std::memcmp(k.Ubk1, _InitKabelData.Ubk1, sizeof k.Ubk1) &&
                  !std::memcmp(k.Ubk2, _InitKabelData.Ubk2, sizeof k.Ubk2) && k.MasterId == 0x80 &&
                  k.MaxMPIAdr == 0x7E && k.LocalMPIAdr == own,
              "initialisation record changed by an answer");
  if (op == 2 && r)
    fz::Check(g.Err == 0 && g.Tx.H.Src == static_cast<BYTE>(g.MPIAdr + 1) && g.Tx.H.BlockNr == 1,
              "connected with Err set, a wrong reference or block number", g.Err);
  if ((op == 2 || op == 5) && !r) fz::Check(g.Err == -1 && !g.Status, "failure not marked", g.Err);
  if (op == 4)
    fz::Check(r == g.Status && (r ? g.Err == 0 && CStat[fz::kCom].Status == 1 : g.Err == -1),
              "CheckStatus result, Status and Err disagree", r, g.Err);
  fz::CheckRecord(g);
  return 0;
}
