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

// Number input, one line at a time. Lines holding only blanks are passed over
// (as the number input always did); the first other line is taken whole and
// must hold exactly one number of the variable's range. FALSE when it does not
// or when the input has ended; the variable then keeps its value.
BOOL LiesDWord(DWORD &Wert);    // unsigned 0..4294967295
BOOL LiesLong(LONG &Wert);      // signed 32 bits
BOOL LiesDouble(double &Wert);  // a double; a number beyond its range is refused

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
