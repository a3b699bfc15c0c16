#include "rig.hpp"

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "rs232.h"

namespace robust {

using namespace fz;
using Bytes = std::vector<uint8_t>;

Rig::Rig(bool p) : ppi(p) {
  plc.add_db(kDb, 1024);
  plc.add_db(1, 1024);
  plc.set_cpu_text("CPU 224 6ES7 214");
  Scramble(1);
  std::string name = pty.slave_name();
  if (ComSetDevName(kCom, name.data()) != 0) throw std::runtime_error("device name refused");
  if (ppi) {
    station = std::make_unique<s7sim::PpiStation>(pty.master(), 2, plc);
    station->start();
  } else {
    adapter = std::make_unique<s7sim::MpiAdapter>(pty.master());
    adapter->add_station(2, plc);
    adapter->start();
  }
  if (!(ppi ? S7PPIInit(&s7, kCom, 2, 0, 19200) : S7InitFastBaud(&s7, kCom, 2, 0, 38400)))
    throw std::runtime_error("record not opened");
}

Rig::~Rig() { S7Exit(&s7); }

uint64_t Rig::Chars() const {
  if (station) return station->counts().rx_chars + station->counts().tx_chars;
  return adapter->chars_from_pc() + adapter->chars_to_pc();
}

void Rig::Scramble(uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(1024);
  for (int db : {kDb, 1, 0}) {
    for (auto &x : b) x = static_cast<uint8_t>(rng());
    plc.write_bytes(db ? s7sim::Area::DB : s7sim::Area::Flags, db, 0, b);
  }
  for (int i = 0; i < 256; ++i) {  // valid BCD, any time base
    const uint16_t w = static_cast<uint16_t>(rng() % 10 << 8 | rng() % 10 << 4 | rng() % 10);
    plc.set_timer(i, static_cast<uint16_t>((rng() % 4) << 12 | w));
    plc.set_counter(i, w);
  }
}

Outcome Rig::Run(Job j, uint32_t seed, bool packets) {
  std::mt19937 rng(seed);
  Outcome o;
  Bytes store(640, 0xA5);  // the caller's buffer with 32 guard bytes before and behind
  uint8_t *p = store.data() + 32;
  const JobDef &d = kJobDefs[j];
  const int limit = ppi ? d.ppi : d.mpi;
  const size_t unit = d.elem > 4 ? 1 : d.elem;
  const int anz = packets ? 2 * limit + 10
                  : limit ? 1 + static_cast<int>(rng() % ((ppi ? 40 : 100) / unit))
                          : 1;
  const int start = static_cast<int>(rng() % (packets ? 64 : 200));
  const int db = j == RdBit || j == WrBit ? start % 8 : ppi ? 1 : kDb;
  const size_t n = d.elem > 4 ? d.elem : anz * unit;
  if (IsWrite(j)) Fill(j, p, anz, static_cast<uint32_t>(rng()));
  const Bytes before(p, p + n);
  o.result = CallJob(j, &s7, db, start, anz, p);
  o.success = Succeeded(j, o.result);
  // what the PLC holds, as the caller's buffer shows it
  Bytes plc_view;
  const auto to_host = [&](Bytes b) {  // big-endian values of `unit` bytes
    for (size_t i = 0; i + unit <= b.size(); i += unit)
      std::reverse(b.begin() + i, b.begin() + i + unit);
    return b;
  };
  switch (j < DBLen ? j & ~1 : j) {
    case RdTimers:
    case RdCounters:
      for (int i = 0; i < anz; ++i) {
        const DWORD v =
            j < RdCounters ? TimerMs(plc.timer(start + i)) : Bcd(plc.counter(start + i));
        plc_view.insert(plc_view.end(), reinterpret_cast<const uint8_t *>(&v),
                        reinterpret_cast<const uint8_t *>(&v) + unit);
      }
      break;
    case RdBit:
      plc_view = {
          static_cast<uint8_t>(plc.read_bytes(s7sim::Area::Flags, 0, start, 1)[0] >> db & 1)};
      break;
    case RdDWords:
      plc_view = to_host(plc.read_bytes(s7sim::Area::Flags, 0, start, n));
      break;
    case RdBytes:
    case RdWords:
    case RdReals:
      plc_view = to_host(plc.read_bytes(s7sim::Area::DB, db, start * (j < RdDWords ? unit : 1), n));
  }
  const auto wrong = [&](const char *what) {
    if (o.wrong.empty()) o.wrong = what;
  };
  o.untouched = std::memcmp(before.data(), p, n) == 0;
  if (packets && !IsWrite(j) && !o.success) {
    o.untouched = std::memcmp(before.data() + limit, p + limit, n - limit) == 0;
    o.first_packet = std::memcmp(plc_view.data(), p, limit) == 0;
    if (std::memcmp(before.data(), p, limit) != 0 && !o.first_packet)
      wrong("packet read before the failure wrong");
  }
  if (o.success && !plc_view.empty() && std::memcmp(plc_view.data(), p, n) != 0)
    wrong("data differ from the PLC's");
  if (IsWrite(j) && !o.untouched) wrong("a write changed the caller's buffer");
  if (o.success && j == DBLen && o.result != (ppi ? 4096 : 1024))
    wrong("wrong DB length");  // "CPU 224": 4 KB
  if (o.success && j == CPUInfo && std::strcmp(reinterpret_cast<char *>(p), "CPU 224 6ES7 214"))
    wrong("wrong CPU text");
  if (o.success && j == Members && (p[4] == 0 || p[6] != 0)) wrong("member list wrong");
  for (size_t i = 0; i < 32; ++i)
    if (store[i] != 0xA5 || store[store.size() - 1 - i] != 0xA5) wrong("buffer guard written");
  o.err = s7.Err;
  o.status = s7.Status;
  o.port = CStat[kCom].Status;
  return o;
}

}  // namespace robust
