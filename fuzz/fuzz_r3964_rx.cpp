// The 3964R receiver and the collision receiver: every result one of the
// documented ones, nothing stored past the block or the 512-byte destination.
#include "harness.hpp"
#include "r3964.h"
#include "rs232.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fz::Start([] { return bool(ComOpen(fz::kCom, 38400, 8, 'o', 1)); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
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
  return 0;
}
