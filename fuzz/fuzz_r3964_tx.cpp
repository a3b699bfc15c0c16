// The 3964R sender against the partner's answers (DLE, NAK, a colliding STX
// with its block, silence, anything else): TRUE or FALSE, the caller's block
// never changed, every call returns.
#include "harness.hpp"
#include "r3964.h"
#include "rs232.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fz::Start([] { return bool(ComOpen(fz::kCom, 38400, 8, 'o', 1)); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const auto head = fz::Feed(data, size, 2);  // block length, pattern (0x10 bytes now and then)
  const size_t len = head[0];
  fz::Guarded block(len ? len : 1);
  for (size_t i = 0; i < len; ++i) block.data()[i] = static_cast<uint8_t>(i * head[1] + i / 7);
  block.Mark();
  const BOOL r = Tx3964RBlock(fz::kCom, block.data(), static_cast<int>(len));
  fz::EndRun();
  fz::Check(block.Changed("block buffer guard written") == 0, "sender changed the caller's block");
  fz::Check(r == TRUE || r == FALSE, "sender result not a BOOL", r);
  return 0;
}
