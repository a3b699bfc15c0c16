/* Line trace: the library's hooks hand each unit on the line and each call
 * outcome to the trace procedure set with S7SetTrace. Every hook is one
 * S7TRACE(...) line; while no procedure is set it costs one branch. */
#ifndef S7SERIAL_S7TRACE_H
#define S7SERIAL_S7TRACE_H

#include <atomic>

#include "s7types.h"

extern std::atomic<bool> S7TraceOn;

#define S7TRACE(call)                                             \
  do {                                                            \
    if (S7TraceOn.load(std::memory_order_relaxed)) [[unlikely]] { \
      call;                                                       \
    }                                                             \
  } while (0)

/* Direction of a unit on the line. */
enum TraceDir { TRACE_TX, TRACE_RX };

/* One 3964R control character (STX, DLE, NAK). */
void TraceCtl(int Com, TraceDir Dir, BYTE c);
/* One 3964R block's data (without DLE doubling and trailer), decoded as an
 * adapter record or an MPI block; Note says how the block ended. */
void TraceBlock(int Com, TraceDir Dir, const BYTE *Data, int Len, const char *Note);
/* One FDL frame as on the line (SD1, SD2, SD3, short acknowledgement);
 * Len 0: nothing received, below 0: a damaged frame starting with Frame[0]. */
void TraceFrame(int Com, TraceDir Dir, const BYTE *Frame, int Len, const char *Note);
/* An FDL frame the PC sends, rebuilt from its parts. */
void TraceFdlTx(int Com, int Dst, int Src, int FC, const BYTE *Du, int Len, const char *Note);
/* Why the serial device of a port could not be opened (errno Errno; Text as
 * ComOpenError gives it). */
void TraceOpenFailed(int Com, const char *DevName, int Errno, const char *Text);
/* A call's outcome or a note, printf style. */
void TraceText(int Com, const char *Fmt, ...) __attribute__((format(printf, 2, 3)));

#endif
