// The gateway's front (TPKT, COTP class 0, S7 header) against anything a
// client may send, in pieces of any size: it stays within its bounds, every
// job it forwards is one whole S7 job within the agreed PDU size, everything
// it sends back is well-framed TPKT, nothing follows a close, and a write job
// goes on only when the allow-list (every kind of range, or none) allows it.
#include <algorithm>
#include <cstdlib>

#include "front.hpp"

using s7gate::Action;

static size_t Be16(const s7gate::Bytes &b, size_t at) { return size_t(b[at] << 8 | b[at + 1]); }

static void CheckTpkts(const s7gate::Bytes &b) {
  for (size_t at = 0; at < b.size(); at += Be16(b, at + 2))
    if (b.size() - at < 7 || b[at] != 3 || Be16(b, at + 2) < 7 || Be16(b, at + 2) > b.size() - at)
      std::abort();
}

static s7gate::WriteAllow g_allow, g_none;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::string why;
  for (const char *r : {"DB1", "DB2.DBB4[8]", "M20.3", "MW30", "EB0", "AD4", "T5[3]", "C2"})
    if (!g_allow.add(r, why)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const s7gate::WriteAllow &allow = data[0] & 0x80 ? g_none : g_allow;
  s7gate::Front f(data[0] & 1 ? 252 : 310, {}, &allow);  // the PPI and the MPI path
  std::vector<Action> acts;
  for (size_t at = 1, piece = 1 + data[0] / 2 % 64; at < size; at += piece) {
    const size_t from = acts.size();
    f.feed({data + at, std::min(piece, size - at)}, acts);
    for (size_t i = from; i < acts.size(); ++i) {
      const s7gate::Bytes &p = acts[i].bytes;
      if ((i > 0 && acts[i - 1].kind == Action::Close) ||
          (acts[i].kind == Action::Reply && (CheckTpkts(p), false)))
        std::abort();
      if (acts[i].kind == Action::Forward &&
          (p.size() < 10 || p[0] != 0x32 || p.size() != 10 + Be16(p, 6) + Be16(p, 8) ||
           p.size() > size_t(f.pdu_size()) || Be16(p, 4) != acts[i].ref))
        std::abort();
      if (acts[i].kind == Action::Forward) CheckTpkts(f.answer(p, acts[i].ref));
      const bool job = acts[i].kind == Action::Forward && p[1] == 1, fn = job && Be16(p, 6) > 0;
      if (job && !(fn && p[10] == 4) &&  // only reads and allowed writes go on
          !(fn && p[10] == 5 && allow.check({p.data() + 10, Be16(p, 6)}).refused < 0))
        std::abort();
    }
  }
  return 0;
}
