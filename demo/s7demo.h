// Console program: the frame (command line, prompts, menu, error box) and the
// menu actions share these declarations.
#ifndef S7DEMO_S7DEMO_H
#define S7DEMO_S7DEMO_H

#include "kesto.h"

// Size of every shared buffer; larger counts are refused before any call.
#define DEMO_BUFSIZE 1024

extern BYTE ByteBuffer[DEMO_BUFSIZE];
extern WORD WordBuffer[DEMO_BUFSIZE];
extern DWORD DWordBuffer[DEMO_BUFSIZE];
extern double DoubleBuffer[DEMO_BUFSIZE];
extern WORD Teiln[128];
extern DWORD EigeneMPIAdr;

// ---- console routines ----
int GetKey();
void GoOn();
void DoErr(long code);

// Number input with scanf and the conversion named: "%u", "%lu" (kept in 32
// bits), "%ld" (kept in 32 bits), "%lf". Leading white space is skipped and
// what follows the number stays in the input, its line end included. When no
// number converts, the rest of the line is dropped and a line says so; FALSE
// then and at the end of input, and the variable keeps its value.
BOOL LiesDWord(DWORD &Wert);      // %u
BOOL LiesTimerWert(DWORD &Wert);  // %lu
BOOL LiesLong(LONG &Wert);        // %ld
BOOL LiesDouble(double &Wert);    // %lf

// ---- menu actions ----
void RdMB(LONG Ref);
void RdEB(LONG Ref);
void WrAB(LONG Ref);
void RdDB(LONG Ref);
void WrDB(LONG Ref);
void ShowTeiln(LONG Ref);
void RdTimer(LONG Ref);
void WrTimer(LONG Ref);
void RdCounter(LONG Ref);
void WrCounter(LONG Ref);
void RdMBit(LONG Ref);
void SetMBit(LONG Ref, int bSet);
void RdFloat(LONG Ref);
void WrFloat(LONG Ref);
void RdDWord(LONG Ref);
void WrDWord(LONG Ref);

#endif
