// Line trace: formats one line per unit on the line or call outcome and hands
// it to the procedure set with S7SetTrace. The procedure and its context are
// read under a lock and called outside it, on the caller's thread.
#include "s7trace.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "s7serial.h"

std::atomic<bool> S7TraceOn{false};

namespace {

std::mutex TraceLock;
S7TRACEPROC TraceProc = nullptr;
void *TraceCtx = nullptr;
timespec TraceStart{};

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

void Abgeben(const Zeile &z) {
  S7TRACEPROC Proc;
  void *Ctx;
  {
    std::lock_guard<std::mutex> g(TraceLock);
    Proc = TraceProc;
    Ctx = TraceCtx;
  }
  if (Proc != nullptr) Proc(z.Buf, Ctx);
}

const char *DirText(TraceDir Dir) { return Dir == TRACE_TX ? "PC>" : "PC<"; }

}  // namespace

void TraceCtl(int Com, TraceDir Dir, BYTE c) {
  Zeile z;
  Kopf(z, Com, DirText(Dir));
  const char *Name = c == 0x02 ? "STX" : c == 0x10 ? "DLE" : c == 0x15 ? "NAK" : "byte";
  z.Add("3964R %-4s %02X", Name, c);
  Abgeben(z);
}

void TraceBlock(int Com, TraceDir Dir, const BYTE *Data, int Len, const char *Note) {
  Zeile z;
  Kopf(z, Com, DirText(Dir));
  z.Add("3964R block %d bytes: ", Len);
  if (Data != nullptr && Len > 0) z.Hex(Data, Len);
  if (Note != nullptr) z.Add(" (%s)", Note);
  Abgeben(z);
}

void TraceFrame(int Com, TraceDir Dir, const BYTE *Frame, int Len, const char *Note) {
  Zeile z;
  Kopf(z, Com, DirText(Dir));
  z.Add("FDL frame %d bytes: ", Len);
  if (Frame != nullptr && Len > 0) z.Hex(Frame, Len);
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
  std::lock_guard<std::mutex> g(TraceLock);
  TraceProc = proc;
  TraceCtx = ctx;
  clock_gettime(CLOCK_MONOTONIC, &TraceStart);
  S7TraceOn.store(proc != nullptr, std::memory_order_relaxed);
}

void S7TraceToStderr(const char *line, void *) {
  if (line != nullptr) std::fprintf(stderr, "%s\n", line);
}

}  // extern "C"
