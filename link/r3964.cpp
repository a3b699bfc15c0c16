// placeholder until the 3964R procedure is built
#include "r3964.h"
BYTE DummyBuf[512];
BOOL Tx3964RBlock(int, LPBYTE, int) { return FALSE; }
int Rx3964RBlock(int, LPBYTE, int) { return -3; }
int Rx3964RBlockDummy(int, LPBYTE) { return -3; }
