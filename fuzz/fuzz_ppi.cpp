// The job harness on a PPI connection.
#define S7FUZZ_PPI
#include "fuzz_mpi_jobs.cpp"
