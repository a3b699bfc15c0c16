// placeholder until the PPI exchange is built
#include "s7conn.h"
BOOL ConnectToPPIAdr(LPS7I) { return FALSE; }
int DoPPIComu(LPS7I, int) { return -1; }
