/* Handle API: read four words of DB1 from a PLC behind an MPI adapter, write
 * them back incremented, and read them again.
 *   handle_read DEVICE [STATION] [trace]      e.g. handle_read /dev/ttyUSB0 2 trace */
#include <s7serial/kesto.h>
#include <s7serial/s7serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s DEVICE [STATION] [trace]\n", argv[0]);
    return 2;
  }
  DWORD station = argc > 2 && strcmp(argv[2], "trace") != 0 ? (DWORD)atoi(argv[2]) : 2;
  if (strcmp(argv[argc - 1], "trace") == 0) S7SetTrace(S7TraceToStderr, NULL);

  KS7SetDevName(0, argv[1]);                     /* port 0 is this device */
  LONG ref = KS7Open(0, station, 0, 19200, 300); /* PC at MPI address 0 */
  if (ref < 0) {
    char why[128] = "";
    if (ref == -4) ComOpenError(0, why, sizeof why); /* the system's reason */
    if (*why)
      fprintf(stderr, "cannot open %s: %s\n", argv[1], why);
    else
      fprintf(stderr, "open: %ld %s\n", (long)ref, KS7ErrText(ref));
    return 1;
  }
  WORD w[4];
  LONG r = KS7RdW(ref, 'D', 1, 0, 4, w); /* DB1, words 0..3 */
  for (int i = 0; r == 0 && i < 4; ++i) w[i] = (WORD)(w[i] + 1);
  if (r == 0) r = KS7WrW(ref, 'D', 1, 0, 4, w);
  if (r == 0) r = KS7RdW(ref, 'D', 1, 0, 4, w);
  if (r == 0)
    printf("DB1.DBW0..6 = %04x %04x %04x %04x\n", w[0], w[1], w[2], w[3]);
  else
    fprintf(stderr, "error %ld: %s\n", (long)r, KS7ErrText(r));
  KS7Close(ref);
  return r == 0 ? 0 : 1;
}
