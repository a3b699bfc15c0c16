// Every S7 job kind on an MPI connection (bytes, words, double words, reals,
// bits, timers, counters, DB length, CPU text, direct reads and writes, the
// bus-member list), with the adapter's acknowledgements and answer blocks
// taken from the input: the answer checks hand over only data that stand in
// the answer, never write a caller buffer on failure beyond the packets read
// before, and keep Err and the statuses as documented.
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
  const fz::Input in = fz::Split(data, size, sizeof(fz::JobHead));
  const fz::JobHead h = fz::ReadJobHead(in.head);
  fz::PrepareRecord(g, h);
  fz::Feed(in);
  fz::RunJob(g, h);
  fz::EndRun();
  return 0;
}
