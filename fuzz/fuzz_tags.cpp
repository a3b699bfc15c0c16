// The tag parser and planner against any text. Input: a flags byte (bit 7 the
// PPI path, bit 6 merging, the rest the item limit), then tag texts one a
// line, and after a '#' an answer. The parser names a position within the
// text; every planned job keeps within the path's limits and builds the bytes
// it announces; the pieces cover each tag's bytes exactly once; an answer of
// any bytes is taken apart within its bounds.
#include <cstdlib>
#include <cstring>
#include <string>

#include "plan.hpp"

#define Check(ok) ((ok) ? void() : std::abort())

using namespace tagplan;

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const std::string in(reinterpret_cast<const char *>(data + 1), size - 1);
  const size_t cut = std::min(in.find('#'), in.size());
  const std::span<const BYTE> answer(data + std::min(cut + 2, size), data + size);
  std::vector<S7TAGADDR> tags;
  for (size_t at = 0, nl = 0; at < cut && tags.size() < 300; at = nl + 1) {
    const std::string t = in.substr(at, (nl = std::min(in.find('\n', at), cut)) - at);
    S7TAGADDR a;
    char msg[80];
    const int pos = S7ParseTag(t.c_str(), &a, msg, sizeof msg);
    Check(pos >= 0 && pos <= static_cast<int>(std::strlen(t.c_str())) + 1 && (pos == 0 || *msg));
    if (pos == 0) tags.push_back(a);
  }
  S7SetTagItemLimit(data[0] % 21);
  TagPlanSetMerge(data[0] & 0x40);
  const Limits L = PathLimits(data[0] & 0x80);
  std::vector<std::vector<BYTE>> img;  // what a write sends: any bytes of the right size
  for (const S7TAGADDR &a : tags) img.emplace_back(ImageBytes(a, true), 0x5A);
  for (const bool w : {false, true}) {
    std::vector<DWORD> seen(tags.size());
    std::vector<ItemAnswer> got;
    for (const Job &j : w ? PlanWrite(tags, L) : PlanRead(tags, L)) {
      Check(!j.Items.empty() && static_cast<int>(j.Items.size()) <= L.MaxItems &&
            RequestBytes(j, w) <= L.MaxReq && AnswerBytes(j, w) <= L.MaxAns);
      Check(static_cast<int>((w ? BuildWrite(j, img) : BuildRead(j)).size()) == RequestBytes(j, w));
      for (const Item &i : j.Items)
        for (const Piece &p : i.Pieces)
          Check(p.ItemOff + p.Len <= i.DataBytes()), seen[static_cast<size_t>(p.Tag)] += p.Len;
      if (ParseAnswer(j, w, answer, got))
        for (const ItemAnswer &x : got)
          Check(x.Data >= answer.data() && x.Data + x.Len <= data + size);
    }
    for (size_t i = 0; i < tags.size(); ++i) Check(seen[i] == ImageBytes(tags[i], w));
  }
  return 0;
}
