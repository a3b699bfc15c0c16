// Line trace: formats one line per unit on the line or call outcome and hands
// it to the procedure set with S7SetTrace. The procedure and its context are
// read under a lock and called outside it, on the caller's thread.
#include "s7trace.h"

#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "s7conn.h"

std::atomic<bool> S7TraceOn{false};

namespace {

std::mutex TraceLock;
S7TRACEPROC TraceProc = nullptr;
void *TraceCtx = nullptr;
timespec TraceStart{};
// Calls of the procedure running now, by the parity of the setting they
// started under: S7SetTrace waits until those of the setting it replaces
// have returned, so that the caller may free the old context at once.
unsigned TraceGen = 0;
int TraceRunning[2] = {0, 0};
std::condition_variable TraceDone;
std::mutex TraceSetLock;  // one S7SetTrace at a time

constexpr size_t kLine = 2048;  // a 512-byte block in hex and its decoding fit

// One line under construction; text that does not fit is cut off.
struct Zeile {
  char Buf[kLine];
  size_t Len = 0;
  void Add(const char *Fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (Len >= kLine - 1) return;
    va_list ap;
    va_start(ap, Fmt);
    const int n = std::vsnprintf(Buf + Len, kLine - Len, Fmt, ap);
    va_end(ap);
    if (n > 0) Len = Len + static_cast<size_t>(n) < kLine ? Len + n : kLine - 1;
  }
  void Hex(const BYTE *Data, int Len) {
    for (int i = 0; i < Len; ++i) Add(i ? " %02X" : "%02X", Data[i]);
  }
};

unsigned long MsSinceStart(const timespec &Start) {
  timespec Now{};
  clock_gettime(CLOCK_MONOTONIC, &Now);
  const long long Ms =
      (Now.tv_sec - Start.tv_sec) * 1000LL + (Now.tv_nsec - Start.tv_nsec) / 1000000;
  return Ms < 0 ? 0 : static_cast<unsigned long>(Ms);
}

// Head of every line: time, port, direction.
void Kopf(Zeile &z, int Com, const char *Dir) {
  timespec Start;
  {
    std::lock_guard<std::mutex> g(TraceLock);
    Start = TraceStart;
  }
  z.Add("%8lu ms port %d %s ", MsSinceStart(Start), Com, Dir);
}

const char *DirText(TraceDir Dir) { return Dir == TRACE_TX ? "PC>" : "PC<"; }

void Abgeben(const Zeile &z) {
  S7TRACEPROC Proc;
  void *Ctx;
  unsigned Gen;
  {
    std::lock_guard<std::mutex> g(TraceLock);
    Proc = TraceProc;
    Ctx = TraceCtx;
    Gen = TraceGen & 1;
    if (Proc == nullptr) return;
    ++TraceRunning[Gen];
  }
  Proc(z.Buf, Ctx);  // outside the lock: other threads trace at the same time
  std::lock_guard<std::mutex> g(TraceLock);
  if (--TraceRunning[Gen] == 0) TraceDone.notify_all();
}

// Name of an area code as the jobs carry it.
void Bereich(Zeile &z, BYTE Area, unsigned DB) {
  switch (Area) {
    case 0x81:
      z.Add("E");
      break;
    case 0x82:
      z.Add("A");
      break;
    case 0x83:
      z.Add("M");
      break;
    case 0x84:
      z.Add("DB%u", DB);
      break;
    case 0x1C:
      z.Add("Z");
      break;
    case 0x1D:
      z.Add("T");
      break;
    default:
      z.Add("area %02X", Area);
      break;
  }
}

// An S7 job or answer from its job header on (0x32 ...), Len bytes. Every
// index is checked against Len: the bytes may come from the line.
void S7Teil(Zeile &z, TraceDir Dir, const BYTE *p, int Len) {
  if (Len < 10 || p[0] != 0x32) {
    z.Add("no S7 job");
    return;
  }
  const BYTE Code = p[1];
  const unsigned LenBl1 = GetBE16(p + 6), LenBl2 = GetBE16(p + 8);
  const BYTE *Buf = p + 10;
  const int Rest = Len - 10;
  if (Code == 0x01) {
    if (Rest >= 14 && (Buf[0] == 0x04 || Buf[0] == 0x05) && Buf[2] == 0x12) {
      const unsigned Adr = static_cast<unsigned>(Buf[11] << 16 | Buf[12] << 8 | Buf[13]);
      z.Add("S7 %s ", Buf[0] == 0x04 ? "read" : "write");
      if (Buf[1] > 1) z.Add("of %u items, the first ", Buf[1]);
      Bereich(z, Buf[10], GetBE16(Buf + 8));
      if (Buf[10] == 0x1C || Buf[10] == 0x1D)
        z.Add(" no. %u", Adr);
      else
        z.Add(" address %u.%u", Adr >> 3, Adr & 7);
      z.Add(" count %u size %02X", GetBE16(Buf + 6), Buf[5]);
      if (Buf[0] == 0x05 && LenBl2 >= 4) z.Add(", %u data bytes", LenBl2 - 4);
    } else if (Rest >= 1 && Buf[0] == 0xF0) {
      z.Add("S7 block-number reset");
    } else {
      z.Add("S7 job, function %02X", Rest >= 1 ? Buf[0] : 0);
    }
    return;
  }
  if (Code == 0x03) {
    z.Add("S7 answer");
    if (Rest >= 3) z.Add(" to function %02X, error %02X %02X", Buf[2], Buf[0], Buf[1]);
    const unsigned Items = Rest >= 4 && LenBl1 >= 2 ? Buf[3] : 1;
    if (Items > 1) z.Add(", %u items, the first", Items);
    const unsigned Item = 2 + LenBl1;
    if (LenBl2 >= 1 && Item < static_cast<unsigned>(Rest)) {
      z.Add(", return code %02X%s", Buf[Item], Buf[Item] == 0xFF ? " (ok)" : " (refused)");
      if (LenBl2 >= 4 && Items <= 1) z.Add(", %u data bytes", LenBl2 - 4);
    }
    return;
  }
  if (Code == 0x07) {
    z.Add("S7 user data %s", Dir == TRACE_TX ? "request" : "answer");
    if (Dir == TRACE_RX && LenBl2 >= 1 && LenBl1 < static_cast<unsigned>(Rest))
      z.Add(", return code %02X%s", Buf[LenBl1], Buf[LenBl1] == 0xFF ? " (ok)" : "");
    return;
  }
  z.Add("S7 message kind %02X", Code);
}

// The contents of one 3964R block: an MPI block or an adapter record.
void MpiBlock(Zeile &z, TraceDir Dir, const BYTE *d, int n) {
  if (n >= 5 && d[0] == 0x00 && d[1] == 0x0C) {
    const int Nr = n >= 6 ? d[5] : -1;
    switch (d[4]) {
      case 0xF1:
        z.Add("MPI %s block %d: ", Dir == TRACE_TX ? "job" : "answer", Nr);
        S7Teil(z, Dir, d + 6, n - 6);
        return;
      case 0xB0:
        z.Add("MPI acknowledgement of block %d", n >= 7 ? d[6] : -1);
        return;
      case 0x05:
        z.Add("MPI connect confirmation");
        return;
      case 0x80:
        z.Add("MPI disconnect");
        return;
      default:
        z.Add("MPI block kind %02X, references %02X %02X", d[4], d[2], d[3]);
        return;
    }
  }
  if (n == 20 && d[0] == 0x00 && d[1] == 0x0D) {
    z.Add("MPI connect request to station %u", d[17]);
    return;
  }
  if (n == 23 && d[0] == 0x01 && d[1] == 0x03 && d[2] == 0x02) {
    z.Add("adapter init record, own address %u, bus speed code %02X", d[16], d[15]);
    return;
  }
  if (n == 3 && d[0] == 0x01 && Dir == TRACE_TX) {
    z.Add("adapter command %02X", d[1]);
    return;
  }
  if (n == 133 && Dir == TRACE_RX) {
    z.Add("adapter bus member list");
    return;
  }
  z.Add(Dir == TRACE_TX ? "adapter record" : "adapter answer");
}

const char *FcName(BYTE Fc) {
  switch (Fc) {
    case 0x49:
      return " status request";
    case 0x7C:
      return " request";
    case 0x5C:
      return " poll";
    default:
      return "";
  }
}

// One FDL frame as on the line.
void FdlFrame(Zeile &z, TraceDir Dir, const BYTE *f, int n) {
  switch (f[0]) {
    case 0x10:
      if (n >= 4)
        z.Add("SD1 DA %u SA %u FC %02X%s", f[1], f[2], f[3], FcName(f[3]));
      else
        z.Add("SD1, damaged");
      return;
    case 0x68:
      if (n >= 7) {
        z.Add("SD2 DA %u SA %u FC %02X%s: ", f[4], f[5], f[6], FcName(f[6]));
        S7Teil(z, Dir, f + 7, n - 9);
      } else {
        z.Add("SD2, damaged");
      }
      return;
    case 0xA2:
      z.Add("SD3");
      return;
    case 0xDC:
      if (n >= 3) z.Add("token DA %u SA %u", f[1], f[2]);
      return;
    case 0xE5:
      z.Add("short acknowledgement");
      return;
    default:
      z.Add("no frame start");
      return;
  }
}

}  // namespace

void TraceCtl(int Com, TraceDir Dir, BYTE c) {
  Zeile z;
  Kopf(z, Com, DirText(Dir));
  const char *Name = c == 0x02 ? "STX" : c == 0x10 ? "DLE" : c == 0x15 ? "NAK" : "byte";
  z.Add("3964R %-9s %02X", Name, c);
  Abgeben(z);
}

void TraceBlock(int Com, TraceDir Dir, const BYTE *Data, int Len, const char *Note) {
  Zeile z;
  Kopf(z, Com, DirText(Dir));
  z.Add("3964R block %3d: ", Len);
  if (Data != nullptr && Len > 0) {
    z.Hex(Data, Len);
    z.Add(" | ");
    MpiBlock(z, Dir, Data, Len);
  }
  if (Note != nullptr) z.Add(" (%s)", Note);
  Abgeben(z);
}

void TraceFrame(int Com, TraceDir Dir, const BYTE *Frame, int Len, const char *Note) {
  Zeile z;
  Kopf(z, Com, DirText(Dir));
  if (Len <= 0) {
    // the receiver's 0 (nothing usable started) and -1 (damaged frame)
    if (Len == 0 || Frame == nullptr)
      z.Add("FDL   no frame (silence or no frame start)");
    else
      z.Add("FDL   damaged frame starting %02X", Frame[0]);
    Abgeben(z);
    return;
  }
  z.Add("FDL   frame %3d: ", Len);
  if (Frame != nullptr && Len > 0) {
    z.Hex(Frame, Len);
    z.Add(" | ");
    FdlFrame(z, Dir, Frame, Len);
  }
  if (Note != nullptr) z.Add(" (%s)", Note);
  Abgeben(z);
}

void TraceFdlTx(int Com, int Dst, int Src, int FC, const BYTE *Du, int Len, const char *Note) {
  BYTE Frame[261];
  int n = 0;
  if (Len > 0) {
    Frame[n++] = 0x68;
    Frame[n++] = static_cast<BYTE>(Len + 3);
    Frame[n++] = static_cast<BYTE>(Len + 3);
    Frame[n++] = 0x68;
  } else {
    Frame[n++] = 0x10;
  }
  const int Start = n;
  Frame[n++] = static_cast<BYTE>(Dst);
  Frame[n++] = static_cast<BYTE>(Src);
  Frame[n++] = static_cast<BYTE>(FC);
  for (int i = 0; i < Len && n < 259; ++i) Frame[n++] = Du[i];
  unsigned Fcs = 0;
  for (int i = Start; i < n; ++i) Fcs += Frame[i];
  Frame[n++] = static_cast<BYTE>(Fcs);
  Frame[n++] = 0x16;
  TraceFrame(Com, TRACE_TX, Frame, n, Note);
}

void TraceText(int Com, const char *Fmt, ...) {
  Zeile z;
  Kopf(z, Com, "---");
  va_list ap;
  va_start(ap, Fmt);
  if (z.Len < kLine - 1) {
    const int n = std::vsnprintf(z.Buf + z.Len, kLine - z.Len, Fmt, ap);
    if (n > 0) z.Len = z.Len + static_cast<size_t>(n) < kLine ? z.Len + n : kLine - 1;
  }
  va_end(ap);
  Abgeben(z);
}

extern "C" {

void S7SetTrace(S7TRACEPROC proc, void *ctx) {
  const std::lock_guard<std::mutex> Set(TraceSetLock);
  std::unique_lock<std::mutex> g(TraceLock);
  TraceProc = proc;
  TraceCtx = ctx;
  clock_gettime(CLOCK_MONOTONIC, &TraceStart);
  S7TraceOn.store(proc != nullptr, std::memory_order_relaxed);
  // the old procedure is never called again once this returns
  const unsigned Old = TraceGen++ & 1;
  TraceDone.wait(g, [Old] { return TraceRunning[Old] == 0; });
}

void S7TraceToStderr(const char *line, void *) {
  if (line != nullptr) std::fprintf(stderr, "%s\n", line);
}

}  // extern "C"

void TraceOpenFailed(int Com, const char *DevName, int Errno, const char *Text) {
  char Grund[160];
  switch (Errno) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      std::snprintf(Grund, sizeof Grund, "no such device");
      break;
    case EACCES:
    case EPERM: {
      struct stat St {};
      group Gr{};
      group *G = nullptr;
      char GrBuf[1024];
      if (stat(DevName, &St) == 0) getgrgid_r(St.st_gid, &Gr, GrBuf, sizeof GrBuf, &G);
      if (G != nullptr && (St.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
        std::snprintf(Grund, sizeof Grund,
                      "no permission: the user is not in the group '%s' that owns the device",
                      G->gr_name);
      else
        std::snprintf(Grund, sizeof Grund, "no permission");
      break;
    }
    default:
      // in use, not a serial device, and what the system says
      std::snprintf(Grund, sizeof Grund, "%s", Text);
      break;
  }
  TraceText(Com, "cannot open serial device %s: %s (%s)", DevName, Grund, std::strerror(Errno));
}
