// Every S7 job kind on an MPI connection (the adapter's acknowledgements and
// answer blocks from the input) or, built as fuzz_ppi, on a PPI connection
// (status request on a fresh connection, polls, short acknowledgements and
// answer frames), with every check of fz::RunJob.
#include "harness.hpp"

namespace {
S7I g;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
#ifdef S7FUZZ_PPI
  fz::Start([] { return bool(S7PPIInit(&g, fz::kCom, fz::kPlcAdr, 0, 19200)); });
#else
  fz::Start([] { return bool(S7InitFastBaud(&g, fz::kCom, fz::kPlcAdr, 0, 38400)); });
#endif
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const auto head = fz::Feed(data, size, fz::kJobHead);
  fz::Prepare(g, head);
  fz::RunJob(g, head);
  fz::EndRun();
  return 0;
}
