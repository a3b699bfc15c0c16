// The 3964R sender's harness shares the receiver's source.
#define S7FUZZ_TX
#include "fuzz_r3964_rx.cpp"
