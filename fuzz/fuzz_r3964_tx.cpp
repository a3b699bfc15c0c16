// The 3964R sender's handling of the partner's answers (DLE, NAK, a
// colliding STX with its block, silence, anything else): the result is TRUE
// or FALSE, the caller's block is never changed, and every call returns.
#include "harness.hpp"
#include "r3964.h"
#include "rs232.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fz::Line();
  if (!ComOpen(fz::kCom, 38400, 8, 'o', 1)) fz::Fail("port not opened");
  fz::FastPort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const fz::Input in = fz::Split(data, size, 2);
  // head: block length, pattern seed (0x10 bytes included now and then)
  const size_t len = in.head[0];
  fz::Guarded block(len ? len : 1);
  for (size_t i = 0; i < len; ++i) block.data()[i] = static_cast<uint8_t>(i * in.head[1] + i / 7);
  const auto before = block.Snapshot();
  fz::Feed(in);
  const BOOL r = Tx3964RBlock(fz::kCom, block.data(), static_cast<int>(len));
  fz::EndRun();
  block.CheckGuards("block buffer guard written");
  fz::Check(r == TRUE || r == FALSE, "sender result not a BOOL", r);
  const auto [first, last] = block.Changed(before);
  fz::Check(last == first, "sender changed the caller's block", static_cast<long>(first));
  return 0;
}
