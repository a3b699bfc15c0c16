// Connection records and the port status table: open and close records,
// mark a failed connection, the reply time-out and the port lock hooks.
//
// Opening a record sends nothing: it checks the arguments against the port's
// other users and opens the serial port. The first data call brings the
// adapter up and connects.

#include <cstring>
#include <mutex>

#include "rs232.h"
#include "s7conn.h"
#include "s7trace.h"

COMSTA CStat[COM_PORTS];
LONG S7TimeOutwert = 54;  // read and written atomically: S7SetTimeout may run on any thread

namespace {

std::recursive_mutex ComLocks[COM_PORTS];
// Closes of each port past their check, whose users are not yet counted
// off (under the port's lock).
LONG Closing[COM_PORTS];

// The table lock and then a port's lock, the table's not held while the
// port is busy: a call running on the port for seconds holds up no open or
// close of another port. (A caller that holds the table lock already still
// waits with it.)
class TableAndPort {
 public:
  explicit TableAndPort(int Com) : m_Com(Com) {
    for (;;) {
      ComTableLock.lock();
      if (!ValidPort(Com) || ComLocks[Com].try_lock()) return;
      ComTableLock.unlock();
      LockCom(Com);  // until the port is free
      UnlockCom(Com);
    }
  }
  ~TableAndPort() {
    if (ValidPort(m_Com)) ComLocks[m_Com].unlock();
    ComTableLock.unlock();
  }
  TableAndPort(const TableAndPort &) = delete;
  TableAndPort &operator=(const TableAndPort &) = delete;

 private:
  int m_Com;
};

enum class Kind { Mpi, MpiEx, Ppi };

BOOL InitRecord(LPS7 lpS7, int Com, int SPSMPIAdr, int LocalMPIAdr, DWORD Baud, DWORD MPIBaud,
                Kind kind) {
  memset(lpS7, 0, sizeof *lpS7);
  if (kind == Kind::Ppi) lpS7->SPSTyp = 1;
  const WORD Port = static_cast<WORD>(Com);
  lpS7->Com = Port;
  if (!ValidPort(Port)) {
    lpS7->Err = -4;
    return FALSE;
  }
  if (kind == Kind::Ppi && Baud != 19200 && Baud != 9600) {
    lpS7->Err = -2;
    return FALSE;
  }
  // the port's users and line settings change only under both locks
  const TableAndPort Locks(Port);
  COMSTA &cs = CStat[Port];
  if (cs.InitCnt > 0) {
    if (Baud != cs.Baud || (kind == Kind::MpiEx && MPIBaud != cs.MPIBaud)) {
      lpS7->Err = -2;
      return FALSE;
    }
    // The port stores the own address as one byte: compare that byte.
    if (static_cast<BYTE>(LocalMPIAdr) != cs.LocalMPIAdr) {
      lpS7->Err = -3;
      return FALSE;
    }
  }
  const int Parity = kind == Kind::Ppi ? 'E' : 'o';
  if (!ComOpen(Port, static_cast<int>(Baud), 8, Parity, 1)) {
    lpS7->Err = -4;
    return FALSE;
  }
  cs.InitCnt += 1;
  cs.LocalMPIAdr = static_cast<BYTE>(LocalMPIAdr);
  cs.Baud = Baud;
  if (kind == Kind::MpiEx) cs.MPIBaud = MPIBaud;
  lpS7->bInit = TRUE;
  lpS7->Err = 0;
  lpS7->MPIAdr = static_cast<WORD>(SPSMPIAdr);
  return TRUE;
}

}  // namespace

BOOL S7InitFastBaud(LPS7 lpS7, int Com, int SPSMPIAdr, int LocalMPIAdr, DWORD Baud) {
  const BOOL r = InitRecord(lpS7, Com, SPSMPIAdr, LocalMPIAdr, Baud, 0, Kind::Mpi);
  S7TRACE(TraceText(Com, "open MPI station %d own %d baud %u: %s Err %d", SPSMPIAdr, LocalMPIAdr,
                    Baud, r ? "TRUE" : "FALSE", lpS7->Err));
  return r;
}

BOOL S7InitFastBaudEx(LPS7 lpS7, int Com, int SPSMPIAdr, int LocalMPIAdr, DWORD Baud,
                      DWORD MPIBaud) {
  const BOOL r = InitRecord(lpS7, Com, SPSMPIAdr, LocalMPIAdr, Baud, MPIBaud, Kind::MpiEx);
  S7TRACE(TraceText(Com, "open MPI station %d own %d baud %u bus speed %u: %s Err %d", SPSMPIAdr,
                    LocalMPIAdr, Baud, MPIBaud, r ? "TRUE" : "FALSE", lpS7->Err));
  return r;
}

BOOL S7Init(LPS7 lpS7, int Com, int SPSMPIAdr, int LocalMPIAdr, int Baud) {
  return S7InitFastBaud(lpS7, static_cast<WORD>(Com), static_cast<WORD>(SPSMPIAdr),
                        static_cast<WORD>(LocalMPIAdr), static_cast<WORD>(Baud));
}

BOOL S7PPIInit(LPS7 lpS7, int Com, int SPSMPIAdr, int LocalMPIAdr, int Baud) {
  const BOOL r =
      InitRecord(lpS7, Com, SPSMPIAdr, LocalMPIAdr, static_cast<WORD>(Baud), 0, Kind::Ppi);
  S7TRACE(TraceText(Com, "open PPI station %d own %d baud %d: %s Err %d", SPSMPIAdr, LocalMPIAdr,
                    Baud, r ? "TRUE" : "FALSE", lpS7->Err));
  return r;
}

BOOL S7Exit(LPS7 lpS7) {
  const int Com = lpS7->Com;
  if (!ValidPort(Com)) return FALSE;
  // The disconnect and the adapter's shut-down under the port's lock alone:
  // opens and closes of other ports go on meanwhile.
  {
    const ComGuard Guard(Com);
    const LONG Left = CStat[Com].InitCnt - Closing[Com];
    if (Left <= 0) return FALSE;
    ++Closing[Com];
    DisconnectMPIAdr(lpS7);  // a PPI record's disconnect goes through the PPI exchange
    if (Left == 1) {
      // the last user: an open from now on brings the adapter up again
      if (lpS7->SPSTyp == 0) ExitKabel(Com);
      CStat[Com].Status = 0;
    }
  }
  // the port's users and the device under both locks
  const TableAndPort Locks(Com);
  --Closing[Com];
  if (CStat[Com].InitCnt > 0) {  // not closed by S7ExitAll meanwhile
    CStat[Com].InitCnt -= 1;
    if (CStat[Com].InitCnt == 0) {
      CStat[Com].Status = 0;
      CStat[Com].Baud = 0;
    }
    ComClose(Com);
  }
  S7TRACE(TraceText(Com, "close station %u, users left %d", lpS7->MPIAdr, CStat[Com].InitCnt));
  return TRUE;
}

void S7ExitAll(void) {
  const std::lock_guard<std::recursive_mutex> Table(ComTableLock);
  for (int Com = 0; Com < COM_PORTS; ++Com) {
    LockCom(Com);  // all ports, in ascending order, until every one is closed
    if (CStat[Com].InitCnt > 0) {
      CStat[Com].InitCnt = 0;
      CStat[Com].Baud = 0;
      ExitKabel(Com);
    }
  }
  ComCloseAll();
  for (int Com = COM_PORTS - 1; Com >= 0; --Com) UnlockCom(Com);
}

LONG S7SetTimeout(LONG NewTimeOut) {
  const LONG Previous = __atomic_load_n(&S7TimeOutwert, __ATOMIC_RELAXED);
  if (NewTimeOut > 0)
    __atomic_store_n(&S7TimeOutwert, NewTimeOut > 65535 ? 65535 : NewTimeOut, __ATOMIC_RELAXED);
  return Previous;
}

void SetErr(LPS7I pS7, BOOL bSetComStat) {
  pS7->Err = -1;
  pS7->Status = FALSE;
  if (bSetComStat && ValidPort(pS7->Com)) CStat[pS7->Com].Status = 0;
  S7TRACE(TraceText(pS7->Com, "connection to station %u lost, Err -1%s", pS7->MPIAdr,
                    bSetComStat ? ", port to be brought up again" : ""));
}

void LockCom(int Com) {
  if (ValidPort(Com)) ComLocks[Com].lock();
}

void UnlockCom(int Com) {
  if (ValidPort(Com)) ComLocks[Com].unlock();
}
