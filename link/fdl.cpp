// placeholder until the FDL frames are built
#include "fdl.h"
BYTE GetFCS(LPBYTE, int) { return 0; }
BOOL TxProfiBlock(int, int, int, int, LPBYTE, int) { return FALSE; }
int _RxProfiBlock(int, LPBYTE) { return 0; }
int RxProfiBlock(int, int, int, int, LPBYTE) { return 0; }
