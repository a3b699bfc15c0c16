// s7gate: an ISO-on-TCP server (RFC 1006, port 102) that carries the S7 jobs
// of any S7 Ethernet client over a serial line to S7 PLCs behind an MPI
// adapter, or to an S7-200 over PPI, with this library.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "gate.hpp"
#include "kesto.h"
#include "s7serial.h"

namespace {

constexpr const char *kUsage = R"(usage: s7gate --device PATH [options]

Serves S7 Ethernet clients (ISO-on-TCP, RFC 1006) and carries their jobs over
the serial line to the PLC: through an MPI adapter, or to an S7-200 over PPI.

  --device PATH         the serial device (required)
  --baud N              line speed: 9600, 19200 (default), 38400, 57600, 115200;
                        PPI: 9600 (default) or 19200
  --ppi                 PPI to an S7-200 instead of the MPI adapter
  --plc ADDR            the PLC's station address (default 2)
  --own ADDR            the PC's station address (default 0)
  --route SLOT=ADDR     a client whose destination TSAP names SLOT (rack*32+slot,
                        low five bits) reaches station ADDR (repeatable); other
                        clients reach --plc
  --listen [HOST]:PORT  where to listen (default 0.0.0.0:102; PORT 0: any free port)
  --max-clients N       clients served at once (default 32)
  --setup-timeout SECS  a client that has not sent its connection request and
                        setup job by then is closed (default 10; 0: never)
  --idle-timeout SECS   a client without a job for that long is closed
                        (default 0: never)
  --pdu N               the largest PDU size offered to clients (64 to 310 on
                        MPI, to 252 on PPI; default: what the path carries);
                        never more than the PLC agrees to when asked at start
  --timeout TICKS       the wait for the line partner, in ticks of 55 ms
                        (default: the library's, 54; much less may not leave
                        a busy adapter the time to give way)
  --allow-write RANGE   clients may write RANGE (repeatable): a tag such as
                        DB10.DBB0[100], MW20, M20.3 (its byte), T5, C3,
                        VB100[50], or DB10 for the whole data block; without
                        it no client writes at all (a read-only gateway)
  --trace               the library's line trace on standard error
  --help                this text
  --version             the version

Forwards read jobs, the writes --allow-write allows, block information and
SZL reads; refuses every other write and job function itself. Prints
"s7gate: listening on HOST:PORT" when ready; logs clients, refused and failed
jobs on standard error; ends on SIGINT or SIGTERM.
)";

[[noreturn]] void Fail(const std::string &why) {
  std::fprintf(stderr, "s7gate: %s\n(s7gate --help lists the options)\n", why.c_str());
  std::exit(2);
}

int Number(std::string_view text, int lo, int hi, const char *what) {
  const std::string s(text);
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || errno || *end || v < lo || v > hi)
    Fail(std::string(what) + ": \"" + s + "\" is not a number from " + std::to_string(lo) + " to " +
         std::to_string(hi));
  return static_cast<int>(v);
}

s7gate::Config Parse(int argc, char **argv) {
  s7gate::Config c;
  auto next = [&](int &i) -> std::string_view {
    if (i + 1 >= argc) Fail(std::string(argv[i]) + " needs a value");
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (a == "--version") {
      std::puts("s7gate " S7SERIAL_VERSION_TEXT);
      std::exit(0);
    } else if (a == "--device") {
      c.device = next(i);
    } else if (a == "--baud") {
      c.baud = Number(next(i), 1, 115200, "baud rate");
    } else if (a == "--ppi") {
      c.ppi = true;
    } else if (a == "--plc") {
      c.plc = Number(next(i), 0, 126, "station address");
    } else if (a == "--own") {
      c.own = Number(next(i), 0, 126, "station address");
    } else if (a == "--route") {
      const std::string_view r = next(i);
      const size_t eq = r.find('=');
      if (eq == std::string_view::npos) Fail("--route needs SLOT=ADDR");
      c.routes[Number(r.substr(0, eq), 0, 31, "slot")] =
          Number(r.substr(eq + 1), 0, 126, "station address");
    } else if (a == "--listen") {
      const std::string_view l = next(i);
      const size_t colon = l.rfind(':');
      if (colon == std::string_view::npos) Fail("--listen needs [HOST]:PORT");
      if (colon > 0) c.host = l.substr(0, colon);
      c.port = Number(l.substr(colon + 1), 0, 65535, "port");
    } else if (a == "--max-clients") {
      c.max_clients = Number(next(i), 1, 1000, "client limit");
    } else if (a == "--setup-timeout") {
      c.setup_timeout = Number(next(i), 0, 3600, "setup time-out in seconds");
    } else if (a == "--idle-timeout") {
      c.idle_timeout = Number(next(i), 0, 86400, "idle time-out in seconds");
    } else if (a == "--pdu") {
      c.pdu = Number(next(i), 64, 65535, "PDU size");
    } else if (a == "--timeout") {
      c.timeout = Number(next(i), 1, 65535, "time-out in ticks");
    } else if (a == "--allow-write") {
      const std::string_view r = next(i);
      std::string why;
      if (!c.allow.add(r, why)) Fail("--allow-write " + why);
    } else if (a == "--trace") {
      c.trace = true;
    } else {
      Fail("unknown option \"" + std::string(a) + "\"");
    }
  }
  if (c.device.empty()) Fail("--device is required");
  const std::set<int> rates =
      c.ppi ? std::set{9600, 19200} : std::set{9600, 19200, 38400, 57600, 115200};
  if (c.baud && !rates.contains(c.baud))
    Fail("--baud " + std::to_string(c.baud) + ": " +
         (c.ppi ? "PPI runs at 9600 or 19200 baud"
                : "the MPI adapter takes 9600, 19200, 38400, 57600 or 115200 baud"));
  if (c.pdu > s7gate::PathPdu(c.ppi))
    Fail("--pdu " + std::to_string(c.pdu) + ": one job on the " + (c.ppi ? "PPI" : "MPI") +
         " path carries at most " + std::to_string(s7gate::PathPdu(c.ppi)) + " bytes");
  if (c.own == c.plc) Fail("--own " + std::to_string(c.own) + " is the PLC's station address");
  for (const auto &[slot, addr] : c.routes)
    if (addr == c.own)
      Fail("--own " + std::to_string(c.own) + " is the address of --route " + std::to_string(slot) +
           "=" + std::to_string(addr));
  return c;
}

}  // namespace

int main(int argc, char **argv) {
  const s7gate::Config cfg = Parse(argc, argv);
  // Taken through a signalfd by the event loop: blocked before any thread starts.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // The library holds device paths of up to 63 characters.
  if (KS7SetDevName(0, cfg.device.c_str()) != 0)
    Fail("--device \"" + cfg.device + "\": " + std::to_string(cfg.device.size()) +
         " characters; the library holds paths of at most 63 (a shorter link to it will do)");
  if (cfg.timeout && S7SetTimeout(cfg.timeout) <= 0) Fail("the library took no time-out");
  if (cfg.trace) S7SetTrace(S7TraceToStderr, nullptr);
  return s7gate::Run(cfg);
}
