// The FDL receivers (raw frame check and the answer filter) and a send the
// station may interrupt: results within the documented set, the raw frame
// never written past its 261 bytes, the answer's data unit never past 252,
// and nothing copied when no answer is taken.
#include "fdl.h"
#include "harness.hpp"
#include "rs232.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fz::Start([] { return bool(ComOpen(fz::kCom, 19200, 8, 'E', 1)); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const auto head = fz::Feed(data, size, 4);  // operation, DA, SA, job length
  const int op = head[0] % 3, dst = head[1], src = head[2], len = head[3] % 253;
  if (op == 0) {
    fz::Guarded frame(261);
    const int r = _RxProfiBlock(fz::kCom, frame.data());
    fz::EndRun();
    frame.Changed("raw frame overrun");
    fz::Check(r == 0 || r == -1 || r == 1 || r == 6 || r == 14 || (r >= 9 && r <= 261),
              "raw frame result", r);
    return 0;
  }
  fz::Guarded job(len ? len : 1), du(252);
  for (int i = 0; i < len; ++i) job.data()[i] = static_cast<uint8_t>(i * 3);
  job.Mark();
  du.Mark();
  const BOOL sent = op == 2 ? TxProfiBlock(fz::kCom, dst, src, 0x7C, job.data(), len) : TRUE;
  const int r = RxProfiBlock(fz::kCom, op == 2 ? src : dst, op == 2 ? dst : src, 0x7C, du.data());
  fz::EndRun();
  fz::Check(sent == TRUE || sent == FALSE, "send result", sent);
  fz::Check(job.Changed("job buffer guard written") == 0, "send changed the caller's data");
  const size_t last = du.Changed("data unit overrun");
  fz::Check(r == 0 || r == 1 || (r >= 7 && r <= 258), "answer result", r);
  fz::Check(last <= static_cast<size_t>(r <= 1 ? r : r - 6), "copied past the data unit", r,
            static_cast<long>(last));
  return 0;
}
