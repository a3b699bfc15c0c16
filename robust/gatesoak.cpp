// s7gatesoak: 16 S7 Ethernet clients run random jobs through s7gate against
// the simulated adapter with two stations (routed by slot) while line faults
// come and go. Each client owns 16 bytes of DB 1 and of the flags of its
// station; every accepted read is compared with the simulated memory, every
// answer must carry its own job's reference, and s7gate's resident memory is
// taken after the warm-up and at the end.
//
//   s7gatesoak [JOBS] [SEED]    default 10000 jobs, seed 1; exit 1 on any wrong answer
#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "gateclient.hpp"
#include "mpi_adapter.hpp"
#include "pty.hpp"

namespace {

using gt::Bytes;
using s7sim::Fault;

// Growth of s7gate's resident memory taken as flat; the sanitizers' quarantine
// grows on its own.
#ifdef __SANITIZE_ADDRESS__
constexpr long kRssSlackKiB = 64 * 1024;
#else
constexpr long kRssSlackKiB = 512;
#endif

long RssKiB(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  for (std::string l; std::getline(f, l);)
    if (l.rfind("VmRSS:", 0) == 0) return std::stol(l.substr(6));
  return -1;
}

}  // namespace

int main(int argc, char **argv) {
  const int jobs = argc > 1 ? std::atoi(argv[1]) : 10000, seed = argc > 2 ? std::atoi(argv[2]) : 1;
  constexpr int kClients = 16;
  s7sim::Pty pty;
  s7sim::Plc plc[2];
  s7sim::MpiAdapter ad(pty.master());
  for (int s = 0; s < 2; ++s) plc[s].add_db(1, 256), ad.add_station(2 + s, plc[s]);
  ad.start();
  gt::Gate gate(pty.slave_name(), {"--route", "3=3", "--timeout", "2"});
  std::atomic<long> done{0}, failed{0}, wrong{0}, reconnects{0}, faults{0};
  std::atomic<bool> over{false};
  long rss_start = 0;
  std::mutex out;

  auto client = [&](int i) {
    std::mt19937 rng{unsigned(seed * 100 + i)};
    s7sim::Plc &p = plc[i % 2];
    auto c = std::make_unique<gt::Client>(gate.port, 2 + i % 2);
    c->setup(240);
    for (int n = 0; n < jobs / kClients; ++n) {
      const uint16_t ref = uint16_t(i << 10 | (n & 0x3FF));
      const uint8_t area = rng() % 2 ? 0x84 : 0x83;
      const uint32_t off = i * 16 + rng() % 8, len = 1 + rng() % 8;
      const int what = rng() % 100;
      Bytes data(len);
      for (auto &b : data) b = uint8_t(rng());
      gt::Item it{2, uint16_t(len), uint16_t(area == 0x84), area, off * 8, data},
          other{2, 16, uint16_t(area != 0x84), uint8_t(area ^ 7), uint32_t(i * 16 * 8), {}};
      if (what < 1) {  // gone while its read waits or is on the line; back at once
        c->send_pdu(gt::rw_job(false, ref, {it}));
        c = std::make_unique<gt::Client>(gate.port, 2 + i % 2);
        c->setup(240);
        ++reconnects;
        continue;
      }
      const bool write = what < 40;
      const auto a =
          c->job(gt::rw_job(write, ref, write ? std::vector{it} : std::vector{it, other}));
      ++done;
      if (!a || a->size() < 12 || gt::be16(*a, 4) != ref) {
        std::lock_guard l(out);
        std::printf("client %d job %d: %s\n", i, n, a ? "answer to another job" : "no answer");
        ++wrong;
        continue;
      }
      if ((*a)[10] == 0x83) {
        ++failed;
        continue;
      }
      const auto items = gt::items_of(*a, write);
      bool ok = items.size() == (write ? 1u : 2u);
      for (size_t k = 0; ok && !write && k < 2; ++k) {
        const gt::Item &x = k ? other : it;
        ok = items[k].first == 0xFF &&
             items[k].second == p.read_bytes(s7sim::Area(x.area), x.db, x.addr / 8, x.count);
      }
      if (!ok || (write && items[0].first != 0xFF)) {
        std::lock_guard l(out);
        std::printf("client %d job %d: wrong answer\n", i, n);
        ++wrong;
      }
    }
  };
  std::thread faulter([&] {
    std::mt19937 rng{unsigned(seed)};
    const Fault kinds[] = {Fault::NakBlock,     Fault::Collision,        Fault::CorruptBcc,
                           Fault::DropByte,     Fault::GarbageBeforeStx, Fault::WrongAckNumber,
                           Fault::WrongAckRefs, Fault::LongAnswer,       Fault::IgnoreStx};
    while (!over) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300 + rng() % 600));
      if (!rss_start && done > jobs / 10) rss_start = RssKiB(gate.pid());
      ad.inject(kinds[rng() % std::size(kinds)], 1, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ad.clear_faults();
      ++faults;
    }
  });
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> cs;
  for (int i = 0; i < kClients; ++i) cs.emplace_back(client, i);
  for (auto &t : cs) t.join();
  over = true;
  faulter.join();
  const long rss_end = RssKiB(gate.pid());
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf(
      "s7gatesoak: %d clients, %ld jobs in %.1f s (%.0f/s), %ld fault windows, %ld failed jobs, "
      "%ld clients gone mid-job, wrong answers %ld; s7gate RSS %ld KiB after warm-up, %ld KiB "
      "at end; exit %d\n",
      kClients, done.load(), s, double(done) / s, faults.load(), failed.load(), reconnects.load(),
      wrong.load(), rss_start, rss_end, gate.stop());
  return wrong == 0 && rss_end - rss_start < kRssSlackKiB ? 0 : 1;
}
