// placeholder until the adapter bring-up is built
#include "s7conn.h"
BOOL InitKabel(int, int) { return FALSE; }
BOOL ExitKabel(int Com) { return CStat[Com].Status == 0; }
BOOL TxTS(int, LPBYTE, int) { return FALSE; }
