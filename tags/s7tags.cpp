// The tag calls: a list of tags read or written in the planned jobs (plan.hpp),
// each job carried by S7Exchange (status check, locks, recovery as every
// other call), each item's return code and data given to the tags it holds.
// Values travel between the caller's buffers in host representation and the
// tags' images on the line (big-endian, S7 strings, BCD timers and counters).
#include "s7tags.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>
#include <vector>

#include "kesto.h"
#include "kestoint.h"
#include "plan.hpp"
#include "rs232.h"
#include "s7int.h"
#include "s7trace.h"

namespace {

using Image = std::vector<BYTE>;

// Result of a tag the PLC answered with return code 0 (reserved): never 0,
// which means done.
constexpr LONG kRcNull = 0x100;
// A line answer is at most one block's job part (MPI 310, PPI 252 bytes).
constexpr int kAnsMax = 512;
// Pause between jobs on PPI, as between the packets of the core calls.
constexpr int kPpiPauseMs = 15;
// While a call runs: the tag's job was refused as larger than the PLC takes.
constexpr LONG kZuGross = -1000;
// Smallest data unit the jobs are planned for after such refusals.
constexpr int kPduMin = 60;

DWORD Get32(const BYTE *p) { return static_cast<DWORD>(GetBE16(p)) << 16 | GetBE16(p + 2); }
void Put32(BYTE *p, DWORD v) {
  PutBE16(p, v >> 16);
  PutBE16(p + 2, v);
}

// The image a read brought, into the caller's buffer.
void ToHost(const S7TAGADDR &a, const Image &Img, void *Value) {
  BYTE *v = static_cast<BYTE *>(Value);
  const DWORD n = a.Count;
  for (DWORD k = 0; k < n; ++k) {
    switch (a.Type) {
      case S7TAG_BOOL: {
        const DWORD b = a.Bit + k;
        v[k] = static_cast<BYTE>((Img[b / 8] >> (b % 8)) & 1);
        break;
      }
      case S7TAG_BYTE:
      case S7TAG_CHAR:
        v[k] = Img[k];
        break;
      case S7TAG_WORD:
      case S7TAG_INT: {
        const WORD w = static_cast<WORD>(GetBE16(&Img[2 * k]));
        std::memcpy(v + 2 * k, &w, 2);
        break;
      }
      case S7TAG_DWORD:
      case S7TAG_DINT:
      case S7TAG_REAL: {
        const DWORD d = Get32(&Img[4 * k]);
        std::memcpy(v + 4 * k, &d, 4);
        break;
      }
      case S7TAG_STRING: {
        const DWORD Max = a.StrLen;
        const BYTE *s = &Img[k * (Max + 2)];
        const DWORD Len = std::min<DWORD>({s[0], s[1], Max});
        char *t = reinterpret_cast<char *>(v) + k * (Max + 1);
        std::memcpy(t, s + 2, Len);
        std::memset(t + Len, 0, Max + 1 - Len);
        break;
      }
      case S7TAG_TIMER: {
        const DWORD Ms = TimerWordToMs(static_cast<WORD>(GetBE16(&Img[2 * k])));
        std::memcpy(v + 4 * k, &Ms, 4);
        break;
      }
      case S7TAG_COUNTER: {
        const WORD c = static_cast<WORD>(BCDToInt(GetBE16(&Img[2 * k])));
        std::memcpy(v + 2 * k, &c, 2);
        break;
      }
      default:
        break;
    }
  }
}

// The caller's values as the image a write sends; false for a value the
// type cannot carry (a BOOL other than 0 or 1, a string longer than its
// STRING[n], a timer above 9,990,000 ms, a counter above 999).
bool FromHost(const S7TAGADDR &a, const void *Value, Image &Img) {
  const BYTE *v = static_cast<const BYTE *>(Value);
  Img.assign(tagplan::ImageBytes(a, true), 0);
  for (DWORD k = 0; k < a.Count; ++k) {
    switch (a.Type) {
      case S7TAG_BOOL:
        if (v[k] > 1) return false;
        Img[k] = v[k];
        break;
      case S7TAG_BYTE:
      case S7TAG_CHAR:
        Img[k] = v[k];
        break;
      case S7TAG_WORD:
      case S7TAG_INT: {
        WORD w;
        std::memcpy(&w, v + 2 * k, 2);
        PutBE16(&Img[2 * k], w);
        break;
      }
      case S7TAG_DWORD:
      case S7TAG_DINT:
      case S7TAG_REAL: {
        DWORD d;
        std::memcpy(&d, v + 4 * k, 4);
        Put32(&Img[4 * k], d);
        break;
      }
      case S7TAG_STRING: {
        const DWORD Max = a.StrLen;
        const char *s = reinterpret_cast<const char *>(v) + k * (Max + 1);
        const DWORD Len = static_cast<DWORD>(strnlen(s, Max + 1));
        if (Len > Max) return false;
        BYTE *t = &Img[k * (Max + 2)];
        t[0] = static_cast<BYTE>(Max);
        t[1] = static_cast<BYTE>(Len);
        std::memcpy(t + 2, s, Len);
        break;
      }
      case S7TAG_TIMER: {
        DWORD Ms;
        WORD w;
        std::memcpy(&Ms, v + 4 * k, 4);
        if (!MsToTimerWord(Ms, &w)) return false;
        PutBE16(&Img[2 * k], w);
        break;
      }
      case S7TAG_COUNTER: {
        WORD c, w;
        std::memcpy(&c, v + 2 * k, 2);
        if (!CounterToWord(c, &w)) return false;
        PutBE16(&Img[2 * k], w);
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// State of one call: per tag its result so far (0 nothing wrong yet), its
// image, and whether a refused item of it also held other tags.
struct Lauf {
  std::vector<S7TAGADDR> Addr;  // Count 0 for a tag left out
  std::vector<LONG> Code;
  std::vector<Image> Img;
  std::vector<char> Geteilt;
};

void Markiere(Lauf &l, const tagplan::Job &J, LONG Code) {
  for (const tagplan::Item &It : J.Items)
    for (const tagplan::Piece &p : It.Pieces)
      if (l.Code[static_cast<size_t>(p.Tag)] == 0) l.Code[static_cast<size_t>(p.Tag)] = Code;
}

// Carries the jobs one after the other. False when the line failed: the
// tags of that job and of every later one not yet refused get -1.
bool Trage(LPS7 pS7, const std::vector<tagplan::Job> &Jobs, bool Write, Lauf &l) {
  BYTE Ans[kAnsMax];
  std::vector<tagplan::ItemAnswer> Items;
  for (size_t j = 0; j < Jobs.size(); ++j) {
    const tagplan::Job &J = Jobs[j];
    if (j > 0 && pS7->SPSTyp != 0) DelayMS(kPpiPauseMs);
    const std::vector<BYTE> Req = Write ? tagplan::BuildWrite(J, l.Img) : tagplan::BuildRead(J);
    const int n = S7Exchange(pS7, Req.data(), static_cast<int>(Req.size()), Ans, kAnsMax);
    if (n < 0) {
      for (size_t k = j; k < Jobs.size(); ++k) Markiere(l, Jobs[k], -1);
      return false;
    }
    if (!tagplan::ParseAnswer(J, Write, std::span<const BYTE>(Ans, static_cast<size_t>(n)),
                              Items)) {
      const bool Gross = n >= tagplan::kAnsHeadLen && Ans[1] == 0x03 && Ans[10] == 0x85;
      Markiere(l, J, Gross ? kZuGross : -1);
      continue;
    }
    for (size_t i = 0; i < J.Items.size(); ++i) {
      const tagplan::Item &It = J.Items[i];
      const tagplan::ItemAnswer &A = Items[i];
      for (const tagplan::Piece &p : It.Pieces) {
        const auto t = static_cast<size_t>(p.Tag);
        if (A.Code != 0xFF) {
          if (l.Code[t] == 0) l.Code[t] = A.Code != 0 ? A.Code : kRcNull;
          l.Geteilt[t] = l.Geteilt[t] || It.Pieces.size() > 1;
        } else if (!Write && p.ItemOff + p.Len <= A.Len && p.TagOff + p.Len <= l.Img[t].size()) {
          std::memcpy(l.Img[t].data() + p.TagOff, A.Data + p.ItemOff, p.Len);
        }
      }
    }
  }
  return true;
}

// Trace line of a call that did not do every tag: which ones and why (the
// first few by their place in the list).
void Verweigert(int Com, bool Write, const std::vector<LONG> &Code, int Fertig) {
  char Zeile[160];
  int n = std::snprintf(Zeile, sizeof Zeile,
                        "tag %s: %d of %zu done, not done:", Write ? "write" : "read", Fertig,
                        Code.size());
  int Gezeigt = 0;
  for (size_t i = 0; i < Code.size() && n > 0 && n < static_cast<int>(sizeof Zeile); ++i) {
    if (Code[i] == 0) continue;
    if (++Gezeigt > 8) {
      std::snprintf(Zeile + n, sizeof Zeile - static_cast<size_t>(n), " ...");
      break;
    }
    n += std::snprintf(Zeile + n, sizeof Zeile - static_cast<size_t>(n), " #%zu %d", i,
                       static_cast<int>(Code[i]));
  }
  TraceText(Com, "%s", Zeile);
}

int TagsRun(LPS7 pS7, S7TAG *Tags, int Count, bool Write) {
  if (pS7 == nullptr) return -1;
  if (Tags == nullptr || Count < 0) {
    pS7->Err = -1;
    return -1;
  }
  pS7->Err = 0;
  const auto N = static_cast<size_t>(Count);
  Lauf l{std::vector<S7TAGADDR>(N), std::vector<LONG>(N, 0), std::vector<Image>(N),
         std::vector<char>(N, 0)};
  LONG Lokal = 0;  // first reason a tag was left out before anything was sent
  for (size_t i = 0; i < N; ++i) {
    S7TAG &t = Tags[i];
    l.Addr[i] = t.Addr;
    if (!tagplan::TagAddrValid(t.Addr) || t.Value == nullptr)
      l.Code[i] = -5;
    else if (Write && !FromHost(t.Addr, t.Value, l.Img[i]))
      l.Code[i] = -9;
    else if (!Write)
      l.Img[i].assign(tagplan::ImageBytes(t.Addr, false), 0);
    if (l.Code[i] != 0) {
      l.Addr[i].Count = 0;  // left out of the plan
      if (Lokal == 0) Lokal = l.Code[i];
    }
  }

  tagplan::Limits L = tagplan::PathLimits(pS7->SPSTyp != 0);
  const bool Merge = tagplan::TagPlanMerge();
  auto Plan = [&](std::span<const S7TAGADDR> a, bool M) {
    return Write ? tagplan::PlanWrite(a, L, M) : tagplan::PlanRead(a, L, M);
  };
  // The chosen tags, their results cleared, for one more round; the others
  // left out of it.
  std::vector<S7TAGADDR> Nochmal(N);
  auto Wieder = [&](auto Wahl) {
    bool Etwas = false;
    for (size_t i = 0; i < N; ++i) {
      Nochmal[i] = S7TAGADDR{};
      if (!Wahl(i)) continue;
      Nochmal[i] = l.Addr[i];
      l.Code[i] = 0;
      Etwas = true;
    }
    return Etwas;
  };
  LockCom(pS7->Com);
  bool Linie = Trage(pS7, Plan(l.Addr, Merge), Write, l);
  // A PLC that takes smaller jobs than the path's usual data unit refuses
  // the larger ones whole: their tags once more in jobs of half the size.
  while (Linie && L.MaxReq / 2 >= kPduMin &&
         Wieder([&](size_t i) { return l.Code[i] == kZuGross; })) {
    L.MaxReq /= 2;
    L.MaxAns /= 2;
    Linie = Trage(pS7, Plan(Nochmal, Merge), Write, l);
  }
  // A range refused for an item that held several tags may be one tag's
  // fault: those tags once more, each in an item of its own (a write item
  // refused was not written at all).
  if (Linie && Merge &&
      Wieder([&](size_t i) { return l.Code[i] == S7TAG_ERR_ADDRESS && l.Geteilt[i]; }))
    Linie = Trage(pS7, Plan(Nochmal, false), Write, l);
  UnlockCom(pS7->Com);
  for (LONG &c : l.Code)
    if (c == kZuGross) c = -1;

  int Fertig = 0;
  bool Refused = false;
  for (size_t i = 0; i < N; ++i) {
    Tags[i].Result = l.Code[i];
    if (l.Code[i] > 0 || l.Code[i] == -1) Refused = true;  // -1 here: a job refused whole
    if (l.Code[i] != 0) continue;
    ++Fertig;
    if (!Write) ToHost(Tags[i].Addr, l.Img[i], Tags[i].Value);
  }
  if (Fertig < Count) S7TRACE(Verweigert(pS7->Com, Write, l.Code, Fertig));
  if (!Linie) {
    if (pS7->Err == 0) pS7->Err = -1;  // else as the exchange left it
    return Fertig > 0 ? Fertig : -1;
  }
  pS7->Err = Refused ? 2 : Lokal;
  return Fertig;
}

// Handle call: the slot's locks, the record call, the result folded.
LONG KTags(const char *Name, LONG Ref, S7TAG *Tags, LONG Count, bool Write) {
  const SlotGuard Slot(Ref);
  if (!Slot.Offen()) return -99;
  LONG Res;
  if (Tags == nullptr || Count < 0) {
    Res = -5;
  } else {
    S7 *pS7 = &P[Ref];
    pS7->Err = 0;
    const int n = TagsRun(pS7, Tags, Count, Write);
    bool Linie = false, Lokal = true;
    for (LONG i = 0; i < Count; ++i) {
      Linie = Linie || Tags[i].Result == -1;
      Lokal = Lokal && Tags[i].Result < 0 && Tags[i].Result != -1;
    }
    if (Linie)
      Res = pS7->Err != 0 ? pS7->Err : -5;
    else if (n == Count)
      Res = 0;
    else if (n > 0)
      Res = 1;
    else
      Res = Lokal ? Tags[0].Result : 2;
  }
  S7TRACE(TraceText(P[Ref].Com, "%s(%d, %d tags): %d", Name, Ref, Count, Res));
  return Res;
}

}  // namespace

extern "C" {

int S7ReadTags(LPS7 pS7, S7TAG *Tags, int Count) { return TagsRun(pS7, Tags, Count, false); }
int S7WriteTags(LPS7 pS7, S7TAG *Tags, int Count) { return TagsRun(pS7, Tags, Count, true); }

LONG KS7ReadTags(LONG Ref, S7TAG *Tags, LONG Count) {
  return KTags("KS7ReadTags", Ref, Tags, Count, false);
}
LONG KS7WriteTags(LONG Ref, S7TAG *Tags, LONG Count) {
  return KTags("KS7WriteTags", Ref, Tags, Count, true);
}

}  // extern "C"
