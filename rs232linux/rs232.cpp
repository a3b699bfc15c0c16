// Serial port table and line I/O.
//
// Each of the 16 ports keeps its device name, descriptor, settings, a linear
// 2048-byte receive buffer with one byte of look-ahead, and the read time-out
// of one read call. Waits are counted in ticks of 55 ms and carried out as a
// bounded number of blocking reads, each ended by the terminal driver after
// the port's read time-out (VMIN 0, VTIME in tenths of a second). A read
// takes everything waiting; when the count still to come is known, the
// characters are first let collect for the time they take on the line
// (ComGather), so that a busy line does not wake the reader per character.
//
// A port number outside 0..15 is refused by every call, and no call touches
// the descriptor of a port that is not open: RsIo starts zeroed, so a port
// that was never opened would otherwise hand out descriptor 0, standard input.

#include "rs232.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "s7trace.h"

RS232 RsIo[RS232_PORTS];
std::recursive_mutex ComTableLock;

namespace {

// What the serial layer keeps per port beyond the record: whether the
// settings found at open could be read (only then are they put back), the
// driver's low-latency flag as found, to be restored at the last close, and
// whether the device has gone while the port's users still hold it.
struct PortExtra {
  bool bOldValid;
  bool bLowLatencySet;
  int OldSerialFlags;
  bool bLost;
};
PortExtra Extra[RS232_PORTS];

// Why the last open of each port failed (errno 0: it did not). Written by
// opens under the table lock and by reopens under the port's lock.
struct OpenFailure {
  int Errno;
  char Text[128];
};
OpenFailure OpenErr[RS232_PORTS];
std::mutex OpenErrLock;

constexpr int kMaxTimeoutMs = 25500;  // what VTIME (8 bits, tenths of a second) can hold
// Longest wait of ComGather: a full block at 115200 baud, and a small part
// of the wait for a character inside a block that a stopped partner costs.
constexpr long long kGatherMaxNs = 30000000;
// Fewer missing characters are received as they come.
constexpr int kGatherMin = 4;

// The port is open and its descriptor may be used.
bool IsOpen(int Com) { return ValidPort(Com) && RsIo[Com].ComRefCnt > 0 && RsIo[Com].hCom >= 0; }

// The speeds a port runs, as numbers and as the terminal driver's codes.
struct SpeedCode {
  int Baud;
  speed_t Code;
};
constexpr SpeedCode kSpeeds[] = {{1200, B1200},   {1800, B1800},   {2400, B2400},
                                 {4800, B4800},   {9600, B9600},   {19200, B19200},
                                 {38400, B38400}, {57600, B57600}, {115200, B115200}};

// Any other rate runs at 19200.
speed_t SpeedOf(int Baudrate) {
  for (const SpeedCode &s : kSpeeds)
    if (s.Baud == Baudrate) return s.Code;
  return B19200;
}

// 0: a code of no speed above.
int BaudOf(speed_t Code) {
  for (const SpeedCode &s : kSpeeds)
    if (s.Code == Code) return s.Baud;
  return 0;
}

// Time one character of the port's settings takes on the line, in ns: start
// bit, data bits, parity bit, stop bits (0: speed unknown).
long long CharNs(const struct termios &t) {
  const int Baud = BaudOf(cfgetospeed(&t));
  if (Baud <= 0) return 0;
  const int Bits = 1 + ((t.c_cflag & CSIZE) == CS7 ? 7 : 8) + ((t.c_cflag & PARENB) ? 1 : 0) +
                   ((t.c_cflag & CSTOPB) ? 2 : 1);
  return Bits * 1000000000LL / Baud;
}

void SleepMicroseconds(long long us) {
  if (us <= 0) return;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(us / 1000000);
  ts.tv_nsec = static_cast<long>((us % 1000000) * 1000);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// USB-serial drivers hold received characters back for several milliseconds
// unless asked for low-latency delivery; every 3964R turnaround would pay
// for it. Drivers that refuse are left as they are.
void SetLowLatency(int Com) {
  struct serial_struct ss;
  PortExtra &x = Extra[Com];
  x.bLowLatencySet = false;
  if (ioctl(RsIo[Com].hCom, TIOCGSERIAL, &ss) != 0) return;
  x.OldSerialFlags = ss.flags;
  if (ss.flags & ASYNC_LOW_LATENCY) return;
  ss.flags |= ASYNC_LOW_LATENCY;
  if (ioctl(RsIo[Com].hCom, TIOCSSERIAL, &ss) == 0) x.bLowLatencySet = true;
}

void RestoreLowLatency(int Com) {
  struct serial_struct ss;
  PortExtra &x = Extra[Com];
  if (!x.bLowLatencySet) return;
  x.bLowLatencySet = false;
  if (ioctl(RsIo[Com].hCom, TIOCGSERIAL, &ss) != 0) return;
  ss.flags = (ss.flags & ~ASYNC_LOW_LATENCY) | (x.OldSerialFlags & ASYNC_LOW_LATENCY);
  ioctl(RsIo[Com].hCom, TIOCSSERIAL, &ss);
}

void SetOpenError(int Com, int Errno, const char *Text) {
  const std::lock_guard<std::mutex> Guard(OpenErrLock);
  OpenErr[Com].Errno = Errno;
  snprintf(OpenErr[Com].Text, sizeof OpenErr[Com].Text, "%s", Text);
}

// The process holding a lock on the file at Path, as /proc/locks tells
// (0: none found).
int LockOwner(const char *Path) {
  struct stat St {};
  if (stat(Path, &St) != 0) return 0;
  FILE *f = fopen("/proc/locks", "re");
  if (f == nullptr) return 0;
  char Line[256];
  int Owner = 0;
  while (Owner == 0 && fgets(Line, sizeof Line, f) != nullptr) {
    int Pid = 0;
    unsigned Maj = 0, Min = 0;
    unsigned long Ino = 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:3 0 EOF"; waiters ("1: -> FLOCK ...") do not match
    if (sscanf(Line, "%*d: %*[A-Z] %*s %*s %d %x:%x:%lu", &Pid, &Maj, &Min, &Ino) == 4 &&
        Maj == major(St.st_dev) && Min == minor(St.st_dev) && Ino == St.st_ino)
      Owner = Pid;
  }
  fclose(f);
  return Owner;
}

// Why a device is busy, in Text (96 bytes).
void BusyText(const char *Path, char *Text) {
  const int Owner = LockOwner(Path);
  if (Owner == getpid())
    snprintf(Text, 96, "in use by another port of this program");
  else if (Owner > 0)
    snprintf(Text, 96, "in use by another program (PID %d)", Owner);
  else
    snprintf(Text, 96, "in use by another program");
}

// A failed open: the descriptor (if any) closed, the reason kept and traced.
bool Refuse(int Com, int fd, int Errno, const char *Text) {
  if (fd >= 0) close(fd);
  SetOpenError(Com, Errno, Text);
  S7TRACE(TraceOpenFailed(Com, RsIo[Com].DevName, Errno, Text));
  return false;
}

// Opens the port's device by its name and applies p.TIo. Only a character
// device is taken, and a terminal only exclusively (no other process may
// open it while we hold it: TIOCEXCL and a lock), both given up at the last
// close. FALSE with the reason kept for ComOpenError and told to the trace.
bool OpenDevice(int Com) {
  RS232 &p = RsIo[Com];
  char Busy[96];
  const int fd = open(p.DevName, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == EBUSY) return BusyText(p.DevName, Busy), Refuse(Com, -1, EBUSY, Busy);
  if (fd < 0) return Refuse(Com, -1, errno, strerror(errno));
  struct stat St {};
  // a regular file, a pipe, a socket: never written to as a line
  if (fstat(fd, &St) != 0 || !S_ISCHR(St.st_mode))
    return Refuse(Com, fd, ENOTTY, "not a serial device");
  // A terminal is a line that two programs would garble: it is locked. A
  // character device without terminal settings (/dev/null) is shared.
  Extra[Com].bOldValid = tcgetattr(fd, &p.OldTIo) == 0;
  if (Extra[Com].bOldValid && flock(fd, LOCK_EX | LOCK_NB) != 0)
    return BusyText(p.DevName, Busy), Refuse(Com, fd, EBUSY, Busy);
  if (Extra[Com].bOldValid) ioctl(fd, TIOCEXCL);
  p.hCom = fd;
  SetOpenError(Com, 0, "");
  tcsetattr(fd, TCSANOW, &p.TIo);  // a device that is not a terminal is still usable
  SetLowLatency(Com);
  return true;
}

// Gives the device back as it was found and closes it.
void CloseDevice(int Com, bool bRestore) {
  RS232 &p = RsIo[Com];
  if (p.hCom < 0) return;
  if (bRestore) {
    RestoreLowLatency(Com);
    // the last bytes leave at the speed and parity they were sent with
    while (tcdrain(p.hCom) != 0 && errno == EINTR) {
    }
    if (Extra[Com].bOldValid) tcsetattr(p.hCom, TCSANOW, &p.OldTIo);
  }
  if (Extra[Com].bOldValid) ioctl(p.hCom, TIOCNXCL);
  close(p.hCom);  // the lock goes with it
  p.hCom = -1;    // the old descriptor number may belong to someone else from now on
}

// A read, write or poll said the device has gone (unplugged, hung up): the
// descriptor is closed at once, so that no call waits on it, but the port's
// users keep it; the next call that needs the line reopens it (ComReopen).
// Errno 0: a hang-up that poll reported.
bool Gone(int Com, int Errno) {
  if (Errno != 0 && Errno != EIO && Errno != ENXIO && Errno != ENODEV) return false;
  RS232 &p = RsIo[Com];
  S7TRACE(TraceText(Com, "serial device %s gone (%s): closed, the next call reopens it", p.DevName,
                    Errno ? strerror(Errno) : "hang-up"));
  CloseDevice(Com, false);
  Extra[Com].bLost = true;
  p.bUnget = FALSE;
  p.RxIn = p.RxOut = 0;
  return true;
}

// After a read found nothing: silence, or a line that has hung up.
void CheckHangUp(int Com) {
  struct pollfd pfd = {RsIo[Com].hCom, POLLIN, 0};
  if (poll(&pfd, 1, 0) == 1 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) Gone(Com, 0);
}

}  // namespace

int ComSetDevName(DWORD Com, const char *DevName) {
  const std::lock_guard<std::recursive_mutex> Guard(ComTableLock);
  if (Com > 15 || DevName == nullptr) return -1;
  size_t len = strnlen(DevName, RS232_NAMESIZE);
  if (len >= RS232_NAMESIZE) return -1;
  memcpy(RsIo[Com].DevName, DevName, len + 1);
  return 0;
}

// Opening and closing change what the data calls use: the library calls
// them holding the table lock and the port's lock.
BOOL ComOpen(int Com, int Baudrate, int Datenbits, int Parity, int Stopbits) {
  if (!ValidPort(Com)) return FALSE;
  RS232 &p = RsIo[Com];
  if (p.ComRefCnt > 0) {
    // Already open: one more user, the first opener's settings stay.
    p.ComRefCnt++;
    return TRUE;
  }

  char Name[RS232_NAMESIZE];
  if (p.DevName[0] == '\0') {
    snprintf(Name, sizeof Name, "/dev/ttyS%d", Com);
    printf("ComDev: =%s\n", Name);
    fflush(stdout);
  } else {
    memcpy(Name, p.DevName, sizeof Name);
    Name[sizeof Name - 1] = '\0';
  }
  memset(&p, 0, sizeof p);
  Extra[Com] = PortExtra{};
  memcpy(p.DevName, Name, sizeof Name);

  p.hCom = -1;

  // Raw mode: no input or output processing, no echo, no signals.
  const speed_t speed = SpeedOf(Baudrate);
  tcflag_t cflag = speed | CREAD | CLOCAL;
  cflag |= ((Datenbits & 0xFF) == 7) ? CS7 : CS8;
  if ((Stopbits & 0xFF) == 2) cflag |= CSTOPB;
  switch (Parity & 0xFF) {
    case 'E':
    case 'e':
      cflag |= PARENB;
      break;
    case 'O':
    case 'o':
      cflag |= PARENB | PARODD;
      break;
    default:
      break;
  }
  p.TIo.c_cflag = cflag;
  cfsetispeed(&p.TIo, speed);
  cfsetospeed(&p.TIo, speed);
  p.TIo.c_cc[VMIN] = 0;
  p.TIo.c_cc[VTIME] = 5;
  if (!OpenDevice(Com)) return FALSE;

  p.Timeout = 500;
  p.RxIn = p.RxOut = 0;
  p.ComRefCnt = 1;
  return TRUE;
}

BOOL ComClose(int Com) {
  if (!ValidPort(Com)) return TRUE;
  RS232 &p = RsIo[Com];
  if (p.ComRefCnt <= 0) return TRUE;  // not open: no descriptor to touch
  if (--p.ComRefCnt > 0) return TRUE;
  p.ComRefCnt = 0;
  CloseDevice(Com, true);
  Extra[Com].bLost = false;
  return TRUE;
}

BOOL ComLost(int Com) { return ValidPort(Com) && RsIo[Com].ComRefCnt > 0 && Extra[Com].bLost; }

BOOL ComReopen(int Com) {
  if (!ComLost(Com)) return ComIsInit(Com);
  RS232 &p = RsIo[Com];
  if (!OpenDevice(Com)) return FALSE;  // the trace has said why
  Extra[Com].bLost = false;
  p.bUnget = FALSE;
  p.RxIn = p.RxOut = 0;
  S7TRACE(TraceText(Com, "serial device %s reopened", p.DevName));
  return TRUE;
}

int ComOpenError(int Com, char *Text, int TextMax) {
  OpenFailure f{EINVAL, "no such port (0..15)"};
  if (ValidPort(Com)) {
    const std::lock_guard<std::mutex> Guard(OpenErrLock);
    f = OpenErr[Com];
  }
  if (Text != nullptr && TextMax > 0) snprintf(Text, static_cast<size_t>(TextMax), "%s", f.Text);
  return f.Errno;
}

void ComCloseAll(void) {
  for (int Com = 0; Com < RS232_PORTS; ++Com) {
    if (RsIo[Com].ComRefCnt > 0) {
      RsIo[Com].ComRefCnt = 1;
      ComClose(Com);
    }
  }
}

BOOL ComIsInit(int Com) { return ValidPort(Com) && RsIo[Com].ComRefCnt > 0; }

int ComSetTimeOut(int Com, int TimeOut) {
  if (!ValidPort(Com)) return 0;
  RS232 &p = RsIo[Com];
  if (!IsOpen(Com)) return p.Timeout;
  if (TimeOut < 0) TimeOut = 0;
  if (TimeOut > kMaxTimeoutMs) TimeOut = kMaxTimeoutMs;

  struct termios t;
  if (tcgetattr(p.hCom, &t) != 0) return p.Timeout;  // not a terminal: leave it alone
  const int Previous = t.c_cc[VTIME] * 100;
  t.c_cc[VTIME] = static_cast<cc_t>(TimeOut / 100);
  tcsetattr(p.hCom, TCSANOW, &t);
  p.TIo.c_cc[VTIME] = t.c_cc[VTIME];
  p.Timeout = TimeOut;
  return Previous;
}

void ComClr(int Com) {
  if (!ValidPort(Com)) return;
  RS232 &p = RsIo[Com];
  p.bUnget = FALSE;
  p.RxIn = p.RxOut = 0;
  if (IsOpen(Com)) tcflush(p.hCom, TCIOFLUSH);
}

BOOL ComTxC(int Com, int Zeichen) {
  if (!IsOpen(Com)) return FALSE;
  const BYTE c = static_cast<BYTE>(Zeichen);
  if (write(RsIo[Com].hCom, &c, 1) == 1) return TRUE;
  Gone(Com, errno);
  return FALSE;
}

BOOL ComTxBuf(int Com, const BYTE *Buf, int Len) {
  if (!IsOpen(Com) || Len < 0 || (Len > 0 && Buf == nullptr)) return FALSE;
  // One call for the whole run of characters; the terminal driver queues
  // them and they leave back to back, as from a loop of single writes.
  int done = 0;
  while (done < Len) {
    const ssize_t n = write(RsIo[Com].hCom, Buf + done, static_cast<size_t>(Len - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Gone(Com, n < 0 ? errno : 0);
      return FALSE;
    }
    done += static_cast<int>(n);
  }
  return TRUE;
}

BOOL ComRxC(int Com, PBYTE pByte) {
  if (!ValidPort(Com)) return FALSE;
  RS232 &p = RsIo[Com];
  if (p.bUnget) {
    *pByte = p.UngetC;
    p.bUnget = FALSE;
    return TRUE;
  }
  if (p.RxOut == p.RxIn) {
    p.RxIn = p.RxOut = 0;
    if (!IsOpen(Com)) return FALSE;
    const ssize_t n = read(p.hCom, p.Buf, sizeof p.Buf);
    if (n <= 0) {  // time-out, read error or a device that has gone
      if (n == 0 || !Gone(Com, errno)) CheckHangUp(Com);
      return FALSE;
    }
    p.RxIn = static_cast<int>(n);
  }
  *pByte = p.Buf[p.RxOut++];
  if (p.RxOut >= p.RxIn) p.RxIn = p.RxOut = 0;
  return TRUE;
}

BOOL ComWaitC(int Com, PBYTE pByte, LONG Time) {
  if (!ValidPort(Com)) return FALSE;
  RS232 &p = RsIo[Com];
  if (p.bUnget) {
    *pByte = p.UngetC;
    p.bUnget = FALSE;
    return TRUE;
  }
  if (p.RxOut < p.RxIn) {  // the common case inside a block: already read
    *pByte = p.Buf[p.RxOut++];
    if (p.RxOut >= p.RxIn) p.RxIn = p.RxOut = 0;
    return TRUE;
  }
  // A time-out of 0 ms makes every read return at once: one attempt then.
  long long n = p.Timeout > 0 ? (static_cast<long long>(Time) * 55) / p.Timeout : 1;
  if (n <= 0) n = 1;
  for (long long i = 0; i < n; ++i) {
    if (ComRxC(Com, pByte)) return TRUE;
  }
  return FALSE;
}

int ComRxBlock(int Com, LPBYTE Buf, int Len) {
  int i = 0;
  while (i < Len) {
    ComGather(Com, Len - i);  // the count is known: the rest collects between the reads
    if (!ComWaitC(Com, &Buf[i], 9)) break;
    ++i;
  }
  return i;
}

BOOL ComCInQ(int Com) {
  if (!ValidPort(Com)) return FALSE;
  RS232 &p = RsIo[Com];
  if (p.bUnget || p.RxOut != p.RxIn) return TRUE;
  if (!IsOpen(Com)) return FALSE;
  // Ask the kernel whether a byte is waiting instead of switching the read
  // time-out to 0 and back (two termios round trips per transmitted byte).
  // What is waiting is taken into the receive buffer in one read and comes
  // first at the next receive.
  struct pollfd pfd = {p.hCom, POLLIN, 0};
  if (poll(&pfd, 1, 0) <= 0) return FALSE;
  if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
    Gone(Com, 0);
    return FALSE;
  }
  if (!(pfd.revents & POLLIN)) return FALSE;
  p.RxIn = p.RxOut = 0;
  const ssize_t n = read(p.hCom, p.Buf, sizeof p.Buf);
  if (n <= 0) {
    if (n < 0) Gone(Com, errno);
    return FALSE;
  }
  p.RxIn = static_cast<int>(n);
  return TRUE;
}

void ComGather(int Com, int Count) {
  if (!IsOpen(Com) || Count < kGatherMin) return;
  RS232 &p = RsIo[Com];
  if (p.bUnget || p.RxOut < p.RxIn) return;  // what is here is taken first
  int Waiting = 0;
  if (ioctl(p.hCom, FIONREAD, &Waiting) != 0) return;
  const int Missing = Count - Waiting;
  if (Missing < kGatherMin) return;
  long long Ns = Missing * CharNs(p.TIo);
  if (Ns <= 0) return;
  if (Ns > kGatherMaxNs) Ns = kGatherMaxNs;
  // No events asked for: arriving characters do not end the wait, a hang-up
  // does (the receive that follows then finds the device gone).
  struct pollfd pfd = {p.hCom, 0, 0};
  const struct timespec Ts = {static_cast<time_t>(Ns / 1000000000LL), static_cast<long>(Ns % 1000000000LL)};
  ppoll(&pfd, 1, &Ts, nullptr);
}

void ComTxBreak(int Com, LONG NTicks) {
  if (!IsOpen(Com)) return;
  long long d = (static_cast<long long>(NTicks) * 55) / 250;
  if (d <= 0) d = 1;
  if (d > 0x7FFFFFFF) d = 0x7FFFFFFF;
  tcsendbreak(RsIo[Com].hCom, static_cast<int>(d));
}

void ComBreak5MS(int Com, int PGNr) {
  (void)Com;
  (void)PGNr;
}

void ComDelay(LONG NTicks) { SleepMicroseconds(static_cast<long long>(NTicks) * 55000); }

void DelayMS(int Ms) { SleepMicroseconds(static_cast<long long>(static_cast<WORD>(Ms)) * 1000); }
