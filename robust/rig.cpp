#include "rig.hpp"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "rs232.h"

namespace robust {

const char *Name(Kind k) {
  switch (k) {
    case Kind::Bytes:
      return "bytes";
    case Kind::Words:
      return "words";
    case Kind::DWords:
      return "dwords";
    case Kind::Reals:
      return "reals";
    case Kind::Bits:
      return "bits";
    case Kind::Timers:
      return "timers";
    case Kind::Counters:
      return "counters";
    case Kind::DBLen:
      return "dblen";
    case Kind::CPUInfo:
      return "cpuinfo";
    case Kind::Members:
      return "members";
    case Kind::Packets:
      return "3 pkts";
  }
  return "?";
}

bool HasWrite(Kind k) { return k != Kind::DBLen && k != Kind::CPUInfo && k != Kind::Members; }

Rig::Rig(bool ppi) : ppi_(ppi) {
  plc_.add_db(kDb, kDbSize);
  plc_.add_db(1, kDbSize);
  plc_.set_cpu_text(kCpuText);
  Scramble(1);
  std::string name = pty_.slave_name();
  if (ComSetDevName(kCom, name.data()) != 0) throw std::runtime_error("device name refused");
  if (ppi) {
    station_ = std::make_unique<s7sim::PpiStation>(pty_.master(), kPlcAdr, plc_);
    station_->start();
    open_ = S7PPIInit(&s7_, kCom, kPlcAdr, kPcAdr, 19200);
  } else {
    adapter_ = std::make_unique<s7sim::MpiAdapter>(pty_.master());
    adapter_->add_station(kPlcAdr, plc_);
    adapter_->start();
    open_ = S7InitFastBaud(&s7_, kCom, kPlcAdr, kPcAdr, 38400);
  }
  if (!open_) throw std::runtime_error("record not opened");
}

Rig::~Rig() {
  if (open_) S7Exit(&s7_);
  if (adapter_) adapter_->stop();
  if (station_) station_->stop();
}

void Rig::Scramble(uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> bytes(kDbSize);
  for (auto &b : bytes) b = static_cast<uint8_t>(rng());
  plc_.write_bytes(s7sim::Area::DB, kDb, 0, bytes);
  for (auto &b : bytes) b = static_cast<uint8_t>(rng());
  plc_.write_bytes(s7sim::Area::Flags, 0, 0, bytes);
  for (int i = 0; i < 256; ++i) {
    // valid BCD with any time base
    const uint16_t digits =
        static_cast<uint16_t>((rng() % 10) << 8 | (rng() % 10) << 4 | (rng() % 10));
    plc_.set_timer(i, static_cast<uint16_t>((rng() % 4) << 12 | digits));
    plc_.set_counter(i, digits);
  }
}

Rig::Events Rig::AdapterEvents() const {
  Events e;
  if (!adapter_) return e;
  const auto from = adapter_->blocks_from_pc();
  const auto to = adapter_->blocks_to_pc();
  e.stx = e.rx_frames = from.size();
  e.tx_frames = to.size();
  for (const auto &b : from) {
    const bool ack = b.size() == 7 && b[0] == 0x00 && b[1] == 0x0C && b[4] == 0xB0;
    if (!ack) ++e.rx_blocks;
    if (b.size() >= 5 && b[0] == 0x00 && b[1] == 0x0C && b[4] == 0xF1) ++e.jobs;
  }
  return e;
}

namespace {

DWORD TimerMs(uint16_t w) {
  static constexpr DWORD base[4] = {10, 100, 1000, 10000};
  const DWORD n = ((w >> 8) & 0xF) * 100 + ((w >> 4) & 0xF) * 10 + (w & 0xF);
  return n * base[(w >> 12) & 3];
}

DWORD Counter(uint16_t w) { return ((w >> 8) & 0xF) * 100 + ((w >> 4) & 0xF) * 10 + (w & 0xF); }

uint16_t CounterWord(DWORD v) {
  return static_cast<uint16_t>((v / 100) << 8 | ((v / 10) % 10) << 4 | (v % 10));
}

// Big-endian bytes of the PLC to host values of `unit` bytes.
std::vector<uint8_t> ToHost(std::vector<uint8_t> b, size_t unit) {
  for (size_t i = 0; i + unit <= b.size(); i += unit)
    for (size_t k = 0; k < unit / 2; ++k) std::swap(b[i + k], b[i + unit - 1 - k]);
  return b;
}

}  // namespace

Outcome Rig::Run(Kind k, bool write, uint32_t seed) {
  std::mt19937 rng(seed);
  S7I *s7 = &s7_;
  const int max_pkt = ppi_ ? 40 : 100;  // bytes: one packet on both paths
  Outcome o;
  // buffer with guards; 16-byte aligned payload
  std::vector<uint8_t> store(512 + 64, 0xA5);
  uint8_t *p = store.data() + 32;
  char text[64];
  auto wrong = [&](const std::string &what) {
    if (o.wrong.empty()) o.wrong = what;
  };

  int anz = 0, start = 0;
  const int db = ppi_ ? 1 : kDb;
  switch (k) {
    case Kind::Bytes:
    case Kind::Words:
    case Kind::DWords:
    case Kind::Reals: {
      const size_t unit = k == Kind::Bytes ? 1 : k == Kind::Words ? 2 : 4;
      anz = 1 + static_cast<int>(rng() % (max_pkt / unit));
      start = static_cast<int>(rng() % 200);
      const size_t off = k == Kind::Words ? static_cast<size_t>(start) * 2 : start;
      const size_t n = static_cast<size_t>(anz) * unit;
      if (write) {
        for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(rng());
        if (k == Kind::Reals)  // finite values only, so the bytes survive as they are
          for (size_t i = 0; i < n; i += 4) p[i + 3] &= 0x3F;
      }
      const std::vector<uint8_t> before(p, p + n);
      bool r = false;
      if (k == Kind::Bytes)
        r = write ? S7WrDBB(s7, db, start, anz, p) : S7RdDBB(s7, db, start, anz, p);
      else if (k == Kind::Words)
        r = write ? S7WrDB(s7, db, start, anz, reinterpret_cast<LPWORD>(p))
                  : S7RdDB(s7, db, start, anz, reinterpret_cast<LPWORD>(p));
      else if (k == Kind::DWords)
        r = write ? S7WrMDW(s7, start, anz, reinterpret_cast<LPDWORD>(p))
                  : S7RdMDW(s7, start, anz, reinterpret_cast<LPDWORD>(p));
      else
        r = write ? S7WrDBReal(s7, db, start, anz, reinterpret_cast<float *>(p))
                  : S7RdDBReal(s7, db, start, anz, reinterpret_cast<float *>(p));
      o.result = r;
      o.success = r;
      const auto area = k == Kind::DWords ? s7sim::Area::Flags : s7sim::Area::DB;
      const std::vector<uint8_t> plc = ToHost(plc_.read_bytes(area, db, off, n), unit);
      o.untouched = std::memcmp(before.data(), p, n) == 0;
      if (o.success && plc != std::vector<uint8_t>(p, p + n))
        wrong(write ? "the PLC does not hold what was written" : "read data differ from the PLC");
      if (write && !o.untouched) wrong("a write changed the caller's buffer");
      break;
    }
    case Kind::Packets: {
      // two full packets and a short one
      const int limit = ppi_ ? 90 : (write ? 212 : 222);
      anz = 2 * limit + 10;
      start = static_cast<int>(rng() % 64);
      const size_t n = static_cast<size_t>(anz);
      if (write)
        for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(rng());
      const std::vector<uint8_t> before(p, p + n);
      o.result = write ? S7WrDBB(s7, db, start, anz, p) : S7RdDBB(s7, db, start, anz, p);
      o.success = o.result;
      const std::vector<uint8_t> plc = plc_.read_bytes(s7sim::Area::DB, db, start, n);
      if (o.success && plc != std::vector<uint8_t>(p, p + n))
        wrong(write ? "the PLC does not hold what was written" : "read data differ from the PLC");
      if (write) {
        o.untouched = std::memcmp(before.data(), p, n) == 0;
        if (!o.untouched) wrong("a write changed the caller's buffer");
      } else if (!o.success) {
        // the packets read before the failing one may be there, and must be right
        o.untouched = std::memcmp(before.data() + limit, p + limit, n - limit) == 0;
        o.first_packet = std::memcmp(plc.data(), p, limit) == 0;
        if (std::memcmp(before.data(), p, limit) != 0 && !o.first_packet)
          wrong("the packet read before the failure differs from the PLC");
      }
      break;
    }
    case Kind::Bits: {
      start = static_cast<int>(rng() % 100);
      const int bit = static_cast<int>(rng() % 8);
      p[0] = write ? static_cast<uint8_t>(rng() & 1) : 0xA5;
      const uint8_t before = p[0];
      o.result = write ? S7Wr(s7, 0, start, 1, p, S7_AREA_M, 1, 1, bit)
                       : S7Rd(s7, 0, start, 1, p, S7_AREA_M, 1, 1, bit);
      o.success = o.result == 0;
      o.untouched = p[0] == before;
      const int plc = (plc_.read_bytes(s7sim::Area::Flags, 0, start, 1)[0] >> bit) & 1;
      if (o.success && plc != p[0])
        wrong(write ? "the PLC's bit differs from the one written" : "bit differs from the PLC");
      break;
    }
    case Kind::Timers:
    case Kind::Counters: {
      anz = 1 + static_cast<int>(rng() % (max_pkt / 2));
      start = static_cast<int>(rng() % 200);
      const bool timers = k == Kind::Timers;
      const size_t unit = timers ? 4 : 2;
      if (write) {
        for (int i = 0; i < anz; ++i) {
          if (timers) {
            // values a timer word holds exactly
            const uint16_t w = static_cast<uint16_t>((rng() % 4) << 12 | CounterWord(rng() % 1000));
            const DWORD ms = TimerMs(w);
            std::memcpy(p + 4 * i, &ms, 4);
          } else {
            const WORD v = static_cast<WORD>(rng() % 1000);
            std::memcpy(p + 2 * i, &v, 2);
          }
        }
      }
      const std::vector<uint8_t> before(p, p + anz * unit);
      bool r;
      if (timers)
        r = write ? S7WrTimer(s7, start, anz, reinterpret_cast<LPDWORD>(p))
                  : S7RdTimer(s7, start, anz, reinterpret_cast<LPDWORD>(p));
      else
        r = write ? S7WrCounter(s7, start, anz, reinterpret_cast<LPWORD>(p))
                  : S7RdCounter(s7, start, anz, reinterpret_cast<LPWORD>(p));
      o.result = r;
      o.success = r;
      o.untouched = std::memcmp(before.data(), p, before.size()) == 0;
      if (o.success) {
        for (int i = 0; i < anz; ++i) {
          DWORD got = 0, plc;
          if (timers) {
            std::memcpy(&got, p + 4 * i, 4);
            plc = TimerMs(plc_.timer(start + i));
          } else {
            WORD g;
            std::memcpy(&g, p + 2 * i, 2);
            got = g;
            plc = Counter(plc_.counter(start + i));
          }
          if (got != plc) {
            wrong(std::string(Name(k)) +
                  (write ? " in the PLC differ from those written" : " read differ from the PLC"));
            break;
          }
        }
      }
      if (write && !o.untouched) wrong("a write changed the caller's buffer");
      break;
    }
    case Kind::DBLen: {
      o.result = S7GetDBLen(s7, db);
      const int expect = ppi_ ? 4096 : kDbSize;  // "CPU 224": the seventh character is 4
      o.success = o.result > 0;
      if (o.success && o.result != expect) wrong("DB length " + std::to_string(o.result));
      break;
    }
    case Kind::CPUInfo: {
      std::memset(text, 0x5A, sizeof text);
      o.result = S7GetCPUInfo(s7, text);
      o.success = o.result == 0;
      o.untouched = static_cast<uint8_t>(text[0]) == 0x5A;
      if (o.success && std::string(text) != kCpuText) wrong(std::string("CPU text ") + text);
      break;
    }
    case Kind::Members: {
      std::vector<WORD> list(127, 0xA5A5);
      o.result = S7GetMPIMembers(s7, list.data());
      o.success = o.result == 1;
      o.untouched = list[0] == 0xA5A5 && list[126] == 0xA5A5;
      if (o.success && (list[kPlcAdr] == 0 || list[kPlcAdr + 1] != 0))
        wrong("member list does not show the one station");
      break;
    }
  }
  for (size_t i = 0; i < 32; ++i)
    if (store[i] != 0xA5 || store[store.size() - 1 - i] != 0xA5) wrong("buffer guard written");
  o.err = s7->Err;
  o.status = s7->Status;
  o.port = CStat[kCom].Status;
  return o;
}

long RssKb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace robust
