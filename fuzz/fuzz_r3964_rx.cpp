// The 3964R receiver and the collision receiver: every result one of the
// documented ones, nothing stored past the block or the 512-byte destination.
// Built as fuzz_r3964_tx: the sender against the partner's answers (DLE, NAK,
// a colliding STX with its block, silence, anything else): TRUE or FALSE, the
// caller's block never changed, every call returns.
#include "harness.hpp"
#include "r3964.h"
#include "rs232.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fz::Start([] { return bool(ComOpen(fz::kCom, 38400, 8, 'o', 1)); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
#ifdef S7FUZZ_TX
  const auto head = fz::Feed(data, size, 2);  // block length, pattern (0x10 bytes now and then)
  fz::Guarded block(head[0] ? head[0] : 1);
  for (size_t i = 0; i < head[0]; ++i) block.data()[i] = static_cast<uint8_t>(i * head[1] + i / 7);
  block.Mark();
  const BOOL r = Tx3964RBlock(fz::kCom, block.data(), head[0]);
  fz::EndRun();
  fz::Check(block.Changed("block buffer guard written") == 0, "sender changed the caller's block");
  fz::Check(r == TRUE || r == FALSE, "sender result not a BOOL", r);
#else
  const bool dummy = fz::Feed(data, size, 1)[0] & 1;
  fz::Guarded buf(512);
  buf.Mark();
  const int r =
      dummy ? Rx3964RBlockDummy(fz::kCom, buf.data()) : Rx3964RBlock(fz::kCom, buf.data(), 140);
  fz::EndRun();
  const size_t last = buf.Changed("receive destination overrun");
  fz::Check(r >= -3 && r <= 511, "receiver result outside -3..511", r);
  fz::Check(r < 0 || last <= static_cast<size_t>(r), "bytes stored past the block", r,
            static_cast<long>(last));
#endif
  return 0;
}
