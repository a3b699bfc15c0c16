// The 3964R receiver and the collision receiver, fed byte by byte from the
// input: every result is one of the documented ones and the destination is
// never written past its 512 bytes.
#include <cstdlib>

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
  const fz::Input in = fz::Split(data, size, 1);
  const bool dummy = in.head[0] & 1;
  fz::Guarded buf(512);
  const auto before = buf.Snapshot();
  fz::Feed(in);
  const int r =
      dummy ? Rx3964RBlockDummy(fz::kCom, buf.data()) : Rx3964RBlock(fz::kCom, buf.data(), 140);
  fz::EndRun();
  buf.CheckGuards("receive destination overrun");
  fz::Check(r >= -3 && r <= 511, "receiver result outside -3..511", r);
  const auto [first, last] = buf.Changed(before);
  if (r >= 0)
    fz::Check(last <= static_cast<size_t>(r), "bytes stored past the block", r,
              static_cast<long>(last));
  (void)first;
  return 0;
}
