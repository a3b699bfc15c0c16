// The FDL receivers (raw frame check and the answer filter) and a send that
// the station may interrupt: results within the documented set, the raw
// frame never written past its 261 bytes, the answer's data unit never past
// 252 bytes, and nothing copied when no answer is taken.
#include "fdl.h"
#include "harness.hpp"
#include "rs232.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fz::Line();
  if (!ComOpen(fz::kCom, 19200, 8, 'E', 1)) fz::Fail("port not opened");
  fz::FastPort();
  return 0;
}

namespace {

void CheckAnswer(int r, const fz::Guarded &du, const std::vector<uint8_t> &before) {
  du.CheckGuards("data unit overrun");
  const auto [first, last] = du.Changed(before);
  fz::Check(r == 0 || r == 1 || (r >= 7 && r <= 258), "answer result", r);
  if (r == 0) fz::Check(last == first, "nothing taken but data copied", static_cast<long>(last));
  if (r == 1) fz::Check(last <= 1, "short acknowledgement copied more", static_cast<long>(last));
  if (r > 6) fz::Check(last <= static_cast<size_t>(r - 6), "copied past the data unit", r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const fz::Input in = fz::Split(data, size, 4);
  const int op = in.head[0] % 3;
  const int dst = in.head[1], src = in.head[2];
  fz::Feed(in);
  if (op == 0) {
    fz::Guarded frame(261);
    const int r = _RxProfiBlock(fz::kCom, frame.data());
    fz::EndRun();
    frame.CheckGuards("raw frame overrun");
    fz::Check(r == 0 || r == -1 || r == 1 || r == 6 || r == 14 || (r >= 9 && r <= 261),
              "raw frame result", r);
  } else if (op == 1) {
    fz::Guarded du(252);
    const auto before = du.Snapshot();
    const int r = RxProfiBlock(fz::kCom, dst, src, 0x7C, du.data());
    fz::EndRun();
    CheckAnswer(r, du, before);
  } else {
    const int len = in.head[3] % 253;
    fz::Guarded job(len ? len : 1);
    for (int i = 0; i < len; ++i) job.data()[i] = static_cast<uint8_t>(i * 3);
    const auto job_before = job.Snapshot();
    const BOOL sent = TxProfiBlock(fz::kCom, dst, src, 0x7C, job.data(), len);
    fz::Guarded du(252);
    const auto before = du.Snapshot();
    const int r = RxProfiBlock(fz::kCom, src, dst, 0x7C, du.data());
    fz::EndRun();
    fz::Check(sent == TRUE || sent == FALSE, "send result", sent);
    job.CheckGuards("job buffer guard written");
    const auto [f, l] = job.Changed(job_before);
    fz::Check(f == l, "send changed the caller's data", static_cast<long>(f));
    CheckAnswer(r, du, before);
  }
  return 0;
}
