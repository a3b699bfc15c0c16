/* Connection-record API: write and read back flag bytes MB0..MB3 of an S7-200
 * over PPI at 9600 baud.
 *   record_ppi DEVICE [STATION] [trace]       e.g. record_ppi /dev/ttyUSB0 2 trace */
#include <s7serial/s7serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s DEVICE [STATION] [trace]\n", argv[0]);
    return 2;
  }
  int station = argc > 2 && strcmp(argv[2], "trace") != 0 ? atoi(argv[2]) : 2;
  if (strcmp(argv[argc - 1], "trace") == 0) S7SetTrace(S7TraceToStderr, NULL);

  S7 plc;
  ComSetDevName(0, argv[1]);                   /* port 0 is this device */
  if (!S7PPIInit(&plc, 0, station, 0, 9600)) { /* PC at PPI address 0 */
    char why[128] = "";
    if (plc.Err == -4) ComOpenError(0, why, sizeof why); /* the system's reason */
    if (*why)
      fprintf(stderr, "cannot open %s: %s\n", argv[1], why);
    else
      fprintf(stderr, "open: Err %ld\n", (long)plc.Err);
    return 1;
  }
  BYTE out[4] = {0x11, 0x22, 0x33, 0x44}, in[4] = {0};
  BOOL ok = S7WrMB(&plc, 0, 4, out) && S7RdMB(&plc, 0, 4, in);
  if (ok)
    printf("MB0..3 = %02x %02x %02x %02x\n", in[0], in[1], in[2], in[3]);
  else
    fprintf(stderr, "error: Err %ld\n", (long)plc.Err);
  S7Exit(&plc);
  return ok && memcmp(in, out, sizeof in) == 0 ? 0 : 1;
}
