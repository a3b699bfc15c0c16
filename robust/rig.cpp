#include "rig.hpp"

#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "rs232.h"

namespace robust {
namespace {

using Bytes = std::vector<uint8_t>;

DWORD Bcd(uint16_t w) { return ((w >> 8) & 0xF) * 100 + ((w >> 4) & 0xF) * 10 + (w & 0xF); }
DWORD TimerMs(uint16_t w) {
  static constexpr DWORD base[4] = {10, 100, 1000, 10000};
  return Bcd(w) * base[(w >> 12) & 3];
}
uint16_t ToBcd(DWORD v) {
  return static_cast<uint16_t>((v / 100) << 8 | ((v / 10) % 10) << 4 | (v % 10));
}

// Big-endian bytes of the PLC as host values of `unit` bytes.
Bytes ToHost(Bytes b, size_t unit) {
  for (size_t i = 0; i + unit <= b.size(); i += unit)
    for (size_t k = 0; k < unit / 2; ++k) std::swap(b[i + k], b[i + unit - 1 - k]);
  return b;
}

}  // namespace

const char *Name(Kind k) {
  static const char *const names[kKinds] = {"bytes",   "words",   "dwords",   "reals",
                                            "bits",    "timers",  "counters", "dblen",
                                            "cpuinfo", "members", "3 pkts"};
  return names[static_cast<int>(k)];
}

bool HasWrite(Kind k) { return k != Kind::DBLen && k != Kind::CPUInfo && k != Kind::Members; }

Rig::Rig(bool p) : ppi(p) {
  plc.add_db(kDb, kDbSize);
  plc.add_db(1, kDbSize);
  plc.set_cpu_text("CPU 224 6ES7 214");
  Scramble(1);
  std::string name = pty.slave_name();
  if (ComSetDevName(kCom, name.data()) != 0) throw std::runtime_error("device name refused");
  if (ppi) {
    station = std::make_unique<s7sim::PpiStation>(pty.master(), kPlcAdr, plc);
    station->start();
  } else {
    adapter = std::make_unique<s7sim::MpiAdapter>(pty.master());
    adapter->add_station(kPlcAdr, plc);
    adapter->start();
  }
  if (!(ppi ? S7PPIInit(&s7, kCom, kPlcAdr, 0, 19200)
            : S7InitFastBaud(&s7, kCom, kPlcAdr, 0, 38400)))
    throw std::runtime_error("record not opened");
}

Rig::~Rig() {
  S7Exit(&s7);
  if (adapter) adapter->stop();
  if (station) station->stop();
}

uint64_t Rig::Chars() const {
  if (station)
    return static_cast<uint64_t>(station->counts().rx_chars + station->counts().tx_chars);
  return adapter->chars_from_pc() + adapter->chars_to_pc();
}

void Rig::Scramble(uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes bytes(kDbSize);
  for (auto area : {s7sim::Area::DB, s7sim::Area::Flags}) {
    for (auto &b : bytes) b = static_cast<uint8_t>(rng());
    plc.write_bytes(area, kDb, 0, bytes);
    if (area == s7sim::Area::DB) plc.write_bytes(area, 1, 0, bytes);
  }
  for (int i = 0; i < 256; ++i) {  // valid BCD, any time base
    const uint16_t w = ToBcd(rng() % 1000);
    plc.set_timer(i, static_cast<uint16_t>((rng() % 4) << 12 | w));
    plc.set_counter(i, w);
  }
}

Outcome Rig::Run(Kind k, bool write, uint32_t seed) {
  std::mt19937 rng(seed);
  Outcome o;
  Bytes store(640, 0xA5);  // payload with 32 guard bytes before and behind
  uint8_t *p = store.data() + 32;
  const int db = ppi ? 1 : kDb, limit = ppi ? 90 : write ? 212 : 222;
  const size_t unit = k == Kind::Words || k == Kind::Counters                      ? 2
                      : k == Kind::DWords || k == Kind::Reals || k == Kind::Timers ? 4
                                                                                   : 1;
  const int anz =
      k == Kind::Packets ? 2 * limit + 10 : 1 + static_cast<int>(rng() % ((ppi ? 40 : 100) / unit));
  const int start = static_cast<int>(rng() % (k == Kind::Packets ? 64 : 200)), bit = start % 8;
  const size_t n = k == Kind::CPUInfo   ? 17
                   : k == Kind::Members ? 254
                   : k == Kind::Bits    ? 1
                                        : anz * unit;
  for (size_t i = 0; write && i < n; i += unit) {
    const uint32_t v = static_cast<uint32_t>(rng());
    if (k == Kind::Timers) {  // a value a timer word holds exactly
      const DWORD ms = TimerMs(static_cast<uint16_t>((v % 4) << 12 | ToBcd(v / 4 % 1000)));
      std::memcpy(p + i, &ms, 4);
    } else if (k == Kind::Counters) {
      const WORD c = static_cast<WORD>(v % 1000);
      std::memcpy(p + i, &c, 2);
    } else {
      std::memcpy(p + i, &v, unit);
      if (k == Kind::Reals) p[i + 3] &= 0x3F;  // finite values only
      if (k == Kind::Bits) p[i] &= 1;
    }
  }
  const Bytes before(p, p + n);
  auto w16 = reinterpret_cast<LPWORD>(p);
  auto w32 = reinterpret_cast<LPDWORD>(p);
  auto f32 = reinterpret_cast<float *>(p);
  S7I *s = &s7;
  switch (k) {
    case Kind::Bytes:
    case Kind::Packets:
      o.result = write ? S7WrDBB(s, db, start, anz, p) : S7RdDBB(s, db, start, anz, p);
      break;
    case Kind::Words:
      o.result = write ? S7WrDB(s, db, start, anz, w16) : S7RdDB(s, db, start, anz, w16);
      break;
    case Kind::DWords:
      o.result = write ? S7WrMDW(s, start, anz, w32) : S7RdMDW(s, start, anz, w32);
      break;
    case Kind::Reals:
      o.result = write ? S7WrDBReal(s, db, start, anz, f32) : S7RdDBReal(s, db, start, anz, f32);
      break;
    case Kind::Timers:
      o.result = write ? S7WrTimer(s, start, anz, w32) : S7RdTimer(s, start, anz, w32);
      break;
    case Kind::Counters:
      o.result = write ? S7WrCounter(s, start, anz, w16) : S7RdCounter(s, start, anz, w16);
      break;
    case Kind::Bits:
      o.result = write ? S7Wr(s, 0, start, 1, p, S7_AREA_M, 1, 1, bit)
                       : S7Rd(s, 0, start, 1, p, S7_AREA_M, 1, 1, bit);
      break;
    case Kind::DBLen:
      o.result = S7GetDBLen(s, db);
      break;
    case Kind::CPUInfo:
      o.result = S7GetCPUInfo(s, reinterpret_cast<char *>(p));
      break;
    case Kind::Members:
      o.result = S7GetMPIMembers(s, w16);
      break;
  }
  o.success = k == Kind::Bits || k == Kind::CPUInfo ? o.result == 0
              : k == Kind::DBLen                    ? o.result > 0
                                                    : o.result == 1;
  // what the PLC holds, as the caller's buffer shows it
  Bytes plc_view;
  switch (k) {
    case Kind::Timers:
    case Kind::Counters:
      for (int i = 0; i < anz; ++i) {
        const DWORD v =
            k == Kind::Timers ? TimerMs(plc.timer(start + i)) : Bcd(plc.counter(start + i));
        plc_view.insert(plc_view.end(), reinterpret_cast<const uint8_t *>(&v),
                        reinterpret_cast<const uint8_t *>(&v) + unit);
      }
      break;
    case Kind::Bits:
      plc_view = {
          static_cast<uint8_t>(plc.read_bytes(s7sim::Area::Flags, 0, start, 1)[0] >> bit & 1)};
      break;
    case Kind::DWords:
      plc_view = ToHost(plc.read_bytes(s7sim::Area::Flags, 0, start, n), 4);
      break;
    case Kind::DBLen:
    case Kind::CPUInfo:
    case Kind::Members:
      break;
    default:
      plc_view =
          ToHost(plc.read_bytes(s7sim::Area::DB, db, start * (k == Kind::Words ? 2 : 1), n), unit);
  }
  const bool same = !plc_view.empty() && std::memcmp(plc_view.data(), p, n) == 0;
  auto wrong = [&](const char *what) {
    if (o.wrong.empty()) o.wrong = what;
  };
  o.untouched = std::memcmp(before.data(), p, n) == 0;
  if (k == Kind::Packets && !write && !o.success) {
    o.untouched = std::memcmp(before.data() + limit, p + limit, n - limit) == 0;
    o.first_packet = std::memcmp(plc_view.data(), p, limit) == 0;
    if (std::memcmp(before.data(), p, limit) != 0 && !o.first_packet)
      wrong("packet read before the failure wrong");
  }
  if (o.success && !plc_view.empty() && !same)
    wrong(write ? "the PLC does not hold what was written" : "read data differ from the PLC");
  if (write && !o.untouched) wrong("a write changed the caller's buffer");
  if (o.success && k == Kind::DBLen && o.result != (ppi ? 4096 : kDbSize))
    wrong("wrong DB length");  // "CPU 224": 4 KB
  if (o.success && k == Kind::CPUInfo &&
      std::strcmp(reinterpret_cast<char *>(p), "CPU 224 6ES7 214"))
    wrong("wrong CPU text");
  if (o.success && k == Kind::Members && (w16[kPlcAdr] == 0 || w16[kPlcAdr + 1] != 0))
    wrong("member list wrong");
  for (size_t i = 0; i < 32; ++i)
    if (store[i] != 0xA5 || store[store.size() - 1 - i] != 0xA5) wrong("buffer guard written");
  o.err = s7.Err;
  o.status = s7.Status;
  o.port = CStat[kCom].Status;
  return o;
}

}  // namespace robust
