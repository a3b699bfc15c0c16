// The adapter's answers: the bring-up (initialisation record and the four
// command blocks), the shut-down block, the connect exchange with its reset
// job, the bus-member list, the status check and the disconnect. Results and
// the record's statuses as documented; nothing written outside the record
// and the caller's list.
#include <cstring>

#include "harness.hpp"
#include "rs232.h"

namespace {
fz::Record g;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fz::Start([] { return bool(S7InitFastBaud(&g.s7, fz::kCom, fz::kPlcAdr, 0, 38400)); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // head: operation, bus-speed selector, PLC address, own address
  auto head = fz::Feed(data, size, 4);
  const int op = head[0] % 6, own = head[3];
  CStat[fz::kCom].MPIBaud = head[1] & 3;
  g.s7.MPIAdr = head[2];
  fz::Prepare(g, {18, 0, 0, 0, static_cast<uint8_t>(own), 0, 0, 0});  // connected, port up
  if (op == 3) fz::RunJob(g, {18, 0, 0, 0, static_cast<uint8_t>(own), 0, 0, 0});  // the member list
  if (op == 4) CStat[fz::kCom].Status = 0, g.s7.Status = FALSE;
  const BOOL r = op == 0   ? InitKabel(fz::kCom, own)
                 : op == 1 ? ExitKabel(fz::kCom)
                 : op == 2 ? ConnectToMPIAdr(&g.s7)
                 : op == 4 ? CheckStatus(&g.s7)
                 : op == 5 ? DisconnectMPIAdr(&g.s7)
                           : TRUE;
  fz::EndRun();
  fz::Check(r == TRUE || r == FALSE, "result not a BOOL", r);
  const S7I &s = g.s7;
  const INIT_KABEL &k = InitKabelData[fz::kCom];
  if (op == 0)
    fz::Check(!std::memcmp(k.Ubk1, _InitKabelData.Ubk1, sizeof k.Ubk1) &&
                  !std::memcmp(k.Ubk2, _InitKabelData.Ubk2, sizeof k.Ubk2) && k.MasterId == 0x80 &&
                  k.MaxMPIAdr == 0x7E && k.LocalMPIAdr == own,
              "initialisation record changed by an answer");
  if (op == 2 && r)
    fz::Check(s.Err == 0 && s.Tx.H.Src == static_cast<BYTE>(s.MPIAdr + 1) && s.Tx.H.BlockNr == 1,
              "connected with Err set, a wrong reference or block number", s.Err);
  if ((op == 2 || op == 5) && !r) fz::Check(s.Err == -1 && !s.Status, "failure not marked", s.Err);
  if (op == 4)
    fz::Check(r == s.Status && (r ? s.Err == 0 && CStat[fz::kCom].Status == 1 : s.Err == -1),
              "CheckStatus result, Status and Err disagree", r, s.Err);
  fz::CheckRecord(g);
  return 0;
}
