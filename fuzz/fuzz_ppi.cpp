// Every S7 job kind on a PPI connection (status request on a fresh connection,
// polls, short acknowledgements and answer frames from the input), with every
// check of fz::RunJob.
#include "harness.hpp"

namespace {
fz::Record g;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fz::Start([] { return bool(S7PPIInit(&g.s7, fz::kCom, fz::kPlcAdr, 0, 19200)); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const auto head = fz::Feed(data, size, fz::kJobHead);
  fz::Prepare(g, head);
  fz::RunJob(g, head);
  fz::EndRun();
  return 0;
}
