// placeholder until the MPI exchange is built
#include "s7conn.h"
BOOL CheckStatus(LPS7I) { return FALSE; }
BOOL ConnectToMPIAdr(LPS7I) { return FALSE; }
void InitS7I(LPS7I) {}
BOOL ResetBlockNr(LPS7I) { return FALSE; }
int DoMPIComu(LPS7I, int) { return -1; }
int DoWrMPIComu(LPS7I, int) { return -1; }
int DoRdMPIComu(LPS7I, int, int, LPBYTE) { return -1; }
BOOL DisconnectMPIAdr(LPS7I pS7) { return CStat[pS7->Com].Status == 0; }
