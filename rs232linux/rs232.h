/* Serial line layer: a table of 16 ports, transmit by the byte or the block,
 * buffered receive with waits counted in ticks of 55 ms, and short delays.
 * The only code of the library that touches the operating system's serial
 * devices. */
#ifndef S7SERIAL_RS232_H
#define S7SERIAL_RS232_H

#include <termios.h>

#include "s7com.h"
#include "s7types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define RS232_PORTS 16
#define RS232_BUFSIZE 2048
#define RS232_NAMESIZE 64

/* One record per serial port. */
typedef struct {
  int hCom;              /* descriptor; negative after a failed open */
  int ComRefCnt;         /* number of openers; the port is open while > 0 */
  struct termios TIo;    /* settings applied at open */
  struct termios OldTIo; /* settings found at open, restored at the last close */
  int Timeout;           /* read time-out of one read call, ms */
  BOOL bUnget;           /* a look-ahead byte is held in UngetC */
  BYTE UngetC;
  BYTE Buf[RS232_BUFSIZE];      /* linear receive buffer */
  int RxIn;                     /* valid bytes in Buf */
  int RxOut;                    /* next byte to deliver */
  char DevName[RS232_NAMESIZE]; /* device path; empty: /dev/ttyS<n> */
} RS232;

extern RS232 RsIo[RS232_PORTS];

/* The Com... calls are public: s7com.h. */
void DelayMS(int Ms);
/* Hands Len characters to the line in one call (more only when the driver
 * takes part of them); FALSE when the port is not open or a write fails. */
BOOL ComTxBuf(int Com, const BYTE *Buf, int Len);
/* The next Count characters are expected back to back: the rest of a frame
 * or block whose length is known. When none is buffered and the driver holds
 * fewer, waits the time the missing ones take on the line at the port's
 * speed (at most 30 ms), woken by neither of them, so that the next receive
 * takes them in one read instead of waking for each character or each load
 * of a receive FIFO. Consumes nothing and decides no wait: a partner that
 * stops is found by the receive that follows, as before. */
void ComGather(int Com, int Count);
/* TRUE while port Com is open but its device has gone (a read, write or poll
 * reported it: unplugged, hung up) and has not been reopened yet. */
BOOL ComLost(int Com);
/* Opens the device of a port whose device has gone again, by the same name
 * and with the same settings; TRUE when the port is usable. */
BOOL ComReopen(int Com);

#ifdef __cplusplus
}

#include <mutex>

/* A port number the tables have room for (0..15). */
inline bool ValidPort(int Com) { return Com >= 0 && Com < RS232_PORTS; }

/* The table lock: guards opening and closing (the port table's counts and
 * device names, the port status table, the handle table's slots). Taken
 * before any port lock, never while only a port lock is held. */
extern std::recursive_mutex ComTableLock;
#endif

#endif
