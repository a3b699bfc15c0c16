// The tag planner (see plan.hpp): pure functions from tag records to jobs,
// from jobs to their bytes, and from answers to each item's code and data.
#include "plan.hpp"

#include <algorithm>
#include <atomic>
#include <tuple>

#include "s7conn.h"

namespace tagplan {

namespace {

constexpr int kItemLimitDefault = 20;
std::atomic<int> g_ItemLimit{kItemLimitDefault};
std::atomic<bool> g_Merge{true};

// What an item of its own costs beyond its data: its 12 bytes in the job and
// the 4-byte head of its data in the answer. A gap of fewer bytes is cheaper
// read along.
constexpr DWORD kItemCost = kItemLen + kDataHead;
constexpr DWORD kRangeEnd = 65536;  // bytes of an area, timers or counters

bool IsTimerCounter(BYTE Area) { return Area == S7_AREA_T || Area == S7_AREA_Z; }

// Bytes one element of a tag other than BOOL takes in the PLC.
DWORD ElemWire(const S7TAGADDR &a) {
  switch (a.Type) {
    case S7TAG_BYTE:
    case S7TAG_CHAR:
      return 1;
    case S7TAG_WORD:
    case S7TAG_INT:
    case S7TAG_TIMER:
    case S7TAG_COUNTER:
      return 2;
    case S7TAG_DWORD:
    case S7TAG_DINT:
    case S7TAG_REAL:
      return 4;
    case S7TAG_STRING:
      return static_cast<DWORD>(a.StrLen) + 2;
    default:
      return 0;
  }
}

void Put16(std::vector<BYTE> &v, DWORD x) {
  v.push_back(static_cast<BYTE>(x >> 8));
  v.push_back(static_cast<BYTE>(x));
}

// A tag's range in its area: units are bytes, or timers / counters.
struct Run {
  int Tag;
  BYTE Area;
  WORD DBNr;
  DWORD S, E;
};

struct Seg {
  BYTE Area;
  WORD DBNr;
  DWORD S, E;
  size_t First, Last;  // runs [First, Last) of the sorted list
};

int MaxItemsOf(const Limits &L) {
  const int ByReq = (L.MaxReq - kHeadLen - kParHead) / kItemLen;
  return std::max(1, std::min(L.MaxItems, ByReq));
}

BYTE TsOf(BYTE Area) {
  return Area == S7_AREA_T ? kTsTimer : Area == S7_AREA_Z ? kTsCounter : kTsByte;
}

}  // namespace

Limits PathLimits(bool Ppi) {
  const int Pdu = Ppi ? kPduPPI : kPduMPI;
  // the 3964R procedure of the MPI path doubles the 0x10 in every item
  return {Pdu, Pdu, g_ItemLimit.load(), static_cast<int>(kItemCost) + (Ppi ? 0 : 1)};
}

bool TagAddrValid(const S7TAGADDR &a) {
  if (a.Count == 0) return false;
  if (IsTimerCounter(a.Area)) {
    const BYTE Want = a.Area == S7_AREA_T ? S7TAG_TIMER : S7TAG_COUNTER;
    return a.Type == Want && a.DBNr == 0 && a.Bit == 0 && a.StrLen == 0 &&
           a.Start + a.Count <= kRangeEnd;
  }
  switch (a.Area) {
    case S7_AREA_E:
    case S7_AREA_A:
    case S7_AREA_M:
      if (a.DBNr != 0) return false;
      break;
    case S7_AREA_DB:
      if (a.DBNr == 0) return false;
      break;
    default:
      return false;
  }
  if (a.Type < S7TAG_BOOL || a.Type > S7TAG_STRING) return false;
  if ((a.Type == S7TAG_STRING) != (a.StrLen != 0) || a.StrLen > 254) return false;
  if (a.Type == S7TAG_BOOL) return a.Bit <= 7 && a.Start * 8 + a.Bit + a.Count <= kRangeEnd * 8;
  return a.Bit == 0 && a.Start < kRangeEnd && ElemWire(a) * a.Count <= kRangeEnd - a.Start;
}

int HostSize(const S7TAGADDR &a) {
  if (!TagAddrValid(a)) return 0;
  switch (a.Type) {
    case S7TAG_BOOL:
      return 1;
    case S7TAG_STRING:
      return a.StrLen + 1;
    case S7TAG_TIMER:
      return 4;
    default:
      return static_cast<int>(ElemWire(a));
  }
}

DWORD ImageBytes(const S7TAGADDR &a, bool Write) {
  if (!TagAddrValid(a)) return 0;
  if (a.Type == S7TAG_BOOL) return Write ? a.Count : (a.Bit + a.Count - 1u) / 8u + 1u;
  return ElemWire(a) * a.Count;
}

DWORD Item::DataBytes() const {
  if (Ts == kTsBit) return 1;
  if (Ts == kTsTimer || Ts == kTsCounter) return DWORD{Count} * 2;
  return Count;
}

void TagPlanSetMerge(bool on) { g_Merge = on; }
bool TagPlanMerge() { return g_Merge.load(); }

std::vector<Job> PlanRead(std::span<const S7TAGADDR> Tags, const Limits &L) {
  return PlanRead(Tags, L, g_Merge.load());
}

std::vector<Job> PlanRead(std::span<const S7TAGADDR> Tags, const Limits &L, bool Merge) {
  std::vector<Run> Runs;
  for (size_t i = 0; i < Tags.size(); ++i) {
    const S7TAGADDR &a = Tags[i];
    if (!TagAddrValid(a)) continue;
    const DWORD Len = IsTimerCounter(a.Area) ? a.Count : ImageBytes(a, false);
    Runs.push_back({static_cast<int>(i), a.Area, a.DBNr, a.Start, a.Start + Len});
  }
  std::stable_sort(Runs.begin(), Runs.end(), [](const Run &x, const Run &y) {
    return std::tie(x.Area, x.DBNr, x.S, x.E) < std::tie(y.Area, y.DBNr, y.S, y.E);
  });

  // Neighbours into one segment while the gap is cheaper than an item.
  std::vector<Seg> Segs;
  for (size_t k = 0; k < Runs.size(); ++k) {
    const Run &r = Runs[k];
    if (Merge && !Segs.empty()) {
      Seg &s = Segs.back();
      const DWORD Unit = IsTimerCounter(r.Area) ? 2 : 1;
      if (s.Area == r.Area && s.DBNr == r.DBNr &&
          (r.S <= s.E || (r.S - s.E) * Unit < static_cast<DWORD>(L.ItemCost))) {
        s.E = std::max(s.E, r.E);
        s.Last = k + 1;
        continue;
      }
    }
    Segs.push_back({r.Area, r.DBNr, r.S, r.E, k, k + 1});
  }

  // Segments into jobs in address order; a segment that does not fit what is
  // left of a job fills it and goes on in the next, unless the piece that
  // would fit is smaller than an item costs.
  const int MaxItems = MaxItemsOf(L);
  std::vector<Job> Jobs;
  int Ans = 0;
  bool LastOdd = false;
  auto NewJob = [&] {
    Jobs.emplace_back();
    Ans = kAnsHeadLen + kParHead;
    LastOdd = false;
  };
  for (const Seg &s : Segs) {
    const DWORD Unit = IsTimerCounter(s.Area) ? 2 : 1;
    const DWORD Len = s.E - s.S;
    DWORD Off = 0;
    while (Off < Len) {
      if (Jobs.empty()) NewJob();
      Job &J = Jobs.back();
      const int Avail = L.MaxAns - Ans - kDataHead - (LastOdd ? 1 : 0);
      if (static_cast<int>(J.Items.size()) >= MaxItems || Avail < static_cast<int>(Unit)) {
        if (J.Items.empty()) return {};  // limits too small for anything
        NewJob();
        continue;
      }
      const DWORD Take = std::min<DWORD>({Len - Off, static_cast<DWORD>(Avail) / Unit, 0xFFFF});
      if (Take < Len - Off && !J.Items.empty() && Take * Unit < kItemCost) {
        NewJob();
        continue;
      }
      Item It;
      It.Area = s.Area;
      It.DBNr = s.DBNr;
      It.Ts = TsOf(s.Area);
      It.Start = s.S + Off;
      It.Count = static_cast<WORD>(Take);
      const DWORD Is = It.Start, Ie = It.Start + Take;
      for (size_t k = s.First; k < s.Last; ++k) {
        const Run &r = Runs[k];
        const DWORD Os = std::max(r.S, Is), Oe = std::min(r.E, Ie);
        if (Os < Oe)
          It.Pieces.push_back({r.Tag, (Os - r.S) * Unit, (Os - Is) * Unit, (Oe - Os) * Unit});
      }
      Ans += (LastOdd ? 1 : 0) + kDataHead + static_cast<int>(Take * Unit);
      LastOdd = (Take * Unit) & 1;
      J.Items.push_back(std::move(It));
      Off += Take;
    }
  }
  return Jobs;
}

std::vector<Job> PlanWrite(std::span<const S7TAGADDR> Tags, const Limits &L) {
  return PlanWrite(Tags, L, g_Merge.load());
}

std::vector<Job> PlanWrite(std::span<const S7TAGADDR> Tags, const Limits &L, bool Merge) {
  const int MaxItems = MaxItemsOf(L);
  std::vector<Job> Jobs;
  int Req = 0;
  bool LastOdd = false;
  auto NewJob = [&] {
    Jobs.emplace_back();
    Req = kHeadLen + kParHead;
    LastOdd = false;
  };
  // Room for the data of one more item in the current job (bytes).
  auto Room = [&]() -> int {
    const Job &J = Jobs.back();
    const int AnsAfter = kAnsHeadLen + kParHead + static_cast<int>(J.Items.size()) + 1;
    if (static_cast<int>(J.Items.size()) >= MaxItems || AnsAfter > L.MaxAns) return 0;
    return L.MaxReq - Req - kItemLen - kDataHead - (LastOdd ? 1 : 0);
  };
  auto Add = [&](Item &&It) {
    const DWORD n = It.DataBytes();
    Req += kItemLen + (LastOdd ? 1 : 0) + kDataHead + static_cast<int>(n);
    LastOdd = n & 1;
    Jobs.back().Items.push_back(std::move(It));
  };

  for (size_t i = 0; i < Tags.size(); ++i) {
    const S7TAGADDR &a = Tags[i];
    if (!TagAddrValid(a)) continue;
    if (a.Type == S7TAG_BOOL) {
      for (DWORD k = 0; k < a.Count; ++k) {
        if (Jobs.empty() || Room() < 1) NewJob();
        if (Room() < 1) return {};
        const DWORD BitAdr = a.Start * 8 + a.Bit + k;
        Item It;
        It.Area = a.Area;
        It.DBNr = a.DBNr;
        It.Ts = kTsBit;
        It.Start = BitAdr / 8;
        It.Bit = static_cast<BYTE>(BitAdr % 8);
        It.Count = 1;
        It.Pieces.push_back({static_cast<int>(i), k, 0, 1});
        Add(std::move(It));
      }
      continue;
    }
    // Tags that follow one another in the list and in memory go as one run:
    // still exactly their bytes, in fewer items.
    const DWORD Unit = IsTimerCounter(a.Area) ? 2 : 1;
    DWORD Total = ImageBytes(a, true);
    size_t Last = i;
    while (Merge && Last + 1 < Tags.size()) {
      const S7TAGADDR &b = Tags[Last + 1];
      if (!TagAddrValid(b) || b.Type == S7TAG_BOOL || b.Area != a.Area || b.DBNr != a.DBNr ||
          b.Start != a.Start + Total / Unit)
        break;
      Total += ImageBytes(b, true);
      ++Last;
    }
    DWORD Off = 0;
    while (Off < Total) {
      if (Jobs.empty()) NewJob();
      const int R = Room();
      if (R < static_cast<int>(Unit)) {
        if (Jobs.back().Items.empty()) return {};
        NewJob();
        continue;
      }
      const DWORD Take = std::min<DWORD>(Total - Off, static_cast<DWORD>(R) / Unit * Unit);
      if (Take < Total - Off && !Jobs.back().Items.empty() && Take < kItemCost) {
        NewJob();
        continue;
      }
      Item It;
      It.Area = a.Area;
      It.DBNr = a.DBNr;
      It.Ts = TsOf(a.Area);
      It.Start = a.Start + Off / Unit;
      It.Count = static_cast<WORD>(Take / Unit);
      DWORD At = 0;  // where tag k begins in the run
      for (size_t k = i; k <= Last; At += ImageBytes(Tags[k], true), ++k) {
        const DWORD Os = std::max(At, Off);
        const DWORD Oe = std::min(At + ImageBytes(Tags[k], true), Off + Take);
        if (Os < Oe) It.Pieces.push_back({static_cast<int>(k), Os - At, Os - Off, Oe - Os});
      }
      Add(std::move(It));
      Off += Take;
    }
    i = Last;
  }
  return Jobs;
}

int RequestBytes(const Job &J, bool Write) {
  int n = kHeadLen + kParHead + kItemLen * static_cast<int>(J.Items.size());
  if (!Write) return n;
  for (size_t i = 0; i < J.Items.size(); ++i) {
    const DWORD d = J.Items[i].DataBytes();
    n += kDataHead + static_cast<int>(d) + ((d & 1) && i + 1 < J.Items.size() ? 1 : 0);
  }
  return n;
}

int AnswerBytes(const Job &J, bool Write) {
  int n = kAnsHeadLen + kParHead;
  if (Write) return n + static_cast<int>(J.Items.size());
  for (size_t i = 0; i < J.Items.size(); ++i) {
    const DWORD d = J.Items[i].DataBytes();
    n += kDataHead + static_cast<int>(d) + ((d & 1) && i + 1 < J.Items.size() ? 1 : 0);
  }
  return n;
}

namespace {

std::vector<BYTE> Head(const Job &J, bool Write) {
  const int Par = kParHead + kItemLen * static_cast<int>(J.Items.size());
  std::vector<BYTE> v{0x32, 0x01, 0x00, 0x00, 0x02, 0x00};
  v.reserve(static_cast<size_t>(RequestBytes(J, Write)));
  Put16(v, static_cast<DWORD>(Par));
  Put16(v, static_cast<DWORD>(RequestBytes(J, Write) - kHeadLen - Par));
  v.push_back(Write ? 0x05 : 0x04);
  v.push_back(static_cast<BYTE>(J.Items.size()));
  for (const Item &It : J.Items) {
    const DWORD Adr = It.Ts == kTsBit    ? It.Start * 8 + It.Bit
                      : It.Ts == kTsByte ? It.Start * 8
                                         : It.Start;
    v.insert(v.end(), {0x12, 0x0A, 0x10, It.Ts});
    Put16(v, It.Count);
    Put16(v, It.DBNr);
    v.push_back(It.Area);
    v.push_back(static_cast<BYTE>(Adr >> 16));
    Put16(v, Adr & 0xFFFF);
  }
  return v;
}

}  // namespace

std::vector<BYTE> BuildRead(const Job &J) { return Head(J, false); }

std::vector<BYTE> BuildWrite(const Job &J, const std::vector<std::vector<BYTE>> &Images) {
  std::vector<BYTE> v = Head(J, true);
  for (size_t i = 0; i < J.Items.size(); ++i) {
    const Item &It = J.Items[i];
    const DWORD n = It.DataBytes();
    v.push_back(0x00);
    if (It.Ts == kTsBit) {
      v.push_back(0x03);
      Put16(v, 1);
    } else if (It.Ts == kTsByte) {
      v.push_back(0x04);
      Put16(v, n * 8);
    } else {
      v.push_back(0x09);
      Put16(v, n);
    }
    const size_t At = v.size();
    v.resize(At + n, 0x00);
    for (const Piece &p : It.Pieces) {
      const std::vector<BYTE> &Img = Images.at(static_cast<size_t>(p.Tag));
      if (p.TagOff + p.Len > Img.size() || p.ItemOff + p.Len > n) continue;
      std::copy_n(Img.begin() + p.TagOff, p.Len,
                  v.begin() + static_cast<std::ptrdiff_t>(At + p.ItemOff));
    }
    if ((n & 1) && i + 1 < J.Items.size()) v.push_back(0x00);
  }
  return v;
}

bool ParseAnswer(const Job &J, bool Write, std::span<const BYTE> Ans,
                 std::vector<ItemAnswer> &Out) {
  Out.clear();
  const size_t n = J.Items.size();
  if (Ans.size() < static_cast<size_t>(kAnsHeadLen + kParHead) || Ans[0] != 0x32 || Ans[1] != 0x03)
    return false;
  const DWORD Par = GetBE16(&Ans[6]), Dat = GetBE16(&Ans[8]);
  if (Ans[10] != 0 || Ans[11] != 0 || kAnsHeadLen + Par + Dat != Ans.size() || Par != 2)
    return false;
  if (Ans[12] != (Write ? 0x05 : 0x04) || Ans[13] != n) return false;
  const BYTE *d = Ans.data() + kAnsHeadLen + kParHead;
  if (Write) {
    if (Dat != n) return false;
    for (size_t i = 0; i < n; ++i) Out.push_back({d[i], d + i, 0});
    return true;
  }
  DWORD Pos = 0;
  for (size_t i = 0; i < n; ++i) {
    if (Dat - Pos < static_cast<DWORD>(kDataHead)) return false;
    const BYTE Rc = d[Pos], Ts = d[Pos + 1];
    const DWORD Len = GetBE16(d + Pos + 2);
    // bit, byte and integer data count their length in bits
    const DWORD Bytes = Ts == 0x03 || Ts == 0x04 || Ts == 0x05 ? (Len + 7) / 8 : Len;
    Pos += kDataHead;
    if (Bytes > Dat - Pos) return false;
    // data of other than the asked size: the item's tags cannot be given it
    const bool Passt = Rc != 0xFF || Bytes == J.Items[i].DataBytes();
    Out.push_back({Passt ? Rc : BYTE{S7TAG_ERR_SIZE}, d + Pos, Rc == 0xFF && Passt ? Bytes : 0});
    Pos += Bytes;
    if ((Bytes & 1) && i + 1 < n) {
      if (Pos >= Dat) return false;
      ++Pos;
    }
  }
  return Pos == Dat || Pos + 1 == Dat;  // a fill byte after the last item too
}

int TagPayloadBytes(std::span<const S7TAGADDR> Tags) {
  int n = 0;
  for (const S7TAGADDR &a : Tags) n += static_cast<int>(ImageBytes(a, false));
  return n;
}

int JobPayloadMax(const Limits &L) { return L.MaxAns - kAnsHeadLen - kParHead - kDataHead; }

}  // namespace tagplan

extern "C" int S7SetTagItemLimit(int MaxItems) {
  if (MaxItems < 0 || MaxItems > 20) return tagplan::g_ItemLimit.load();
  return tagplan::g_ItemLimit.exchange(MaxItems == 0 ? tagplan::kItemLimitDefault : MaxItems);
}
