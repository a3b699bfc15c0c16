#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds a C program (with
# pkg-config, and against the static library) against the installed tree; the
# headers as C++ with warnings as errors below.
set -euo pipefail
src=$1
tmp=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || :; rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake -S "$src" -B "$tmp/build" -DBUILD_TESTING=OFF -DS7SERIAL_PROGRAMS=OFF \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$tmp/build" -j2 >/dev/null
cmake --install "$tmp/build" >/dev/null

libdir=$(dirname "$(find "$prefix" -name 'libs7serial.so' | head -n1)")
[ "$(readlink "$libdir/libs7serial.so")" = libs7serial.so.1 ]
objdump -p "$libdir/libs7serial.so" | grep 'SONAME' | grep -q 'libs7serial\.so\.1$'

cat > "$tmp/consumer.c" <<'C'
#include <s7serial/kesto.h>
#include <s7serial/s7serial.h>
#include <stdio.h>
#include <string.h>
int main(void) {
  S7 rec;
  memset(&rec, 0, sizeof rec);
  if (sizeof(rec.Tx) != 316 || sizeof(LONG) != 4 || sizeof(BOOL) != 4) return 10;
  if (S7SetTimeout(0) != 54) return 11;
  if (S7InitFastBaud(&rec, 16, 2, 0, 19200) || rec.Err != -4) return 12;
  if (KS7Open(16, 2, 0, 19200, 300) != -4) return 13;
  if (KS7Close(40) != -99) return 14;
  if (strcmp(IToA(42, 5), "00042") != 0) return 15;
  puts("C consumer ok");
  return 0;
}
C
export PKG_CONFIG_PATH=$libdir/pkgconfig
cc -std=c11 -Wall -Wextra -Werror "$tmp/consumer.c" $(pkg-config --cflags --libs s7serial) -o "$tmp/c_consumer"
LD_LIBRARY_PATH=$libdir "$tmp/c_consumer"
# the same program against the static library
cc -std=c11 "$tmp/consumer.c" $(pkg-config --cflags s7serial) "$libdir/libs7serial.a" -lstdc++ \
  -lpthread -o "$tmp/c_static" && "$tmp/c_static"

# ---- exported calls, a relocated install, the examples ----
# The shared library exports exactly the calls listed in cmake/exports.txt.
diff <(nm -D --defined-only "$libdir/libs7serial.so" | awk '{print $3}' | sort) \
  <(sort "$src/cmake/exports.txt") || { echo "exports differ (<: library, >: list)"; exit 1; }

# Installed under another prefix than configured: pkg-config alone finds it.
reloc=$tmp/reloc
cmake --install "$tmp/build" --prefix "$reloc" >/dev/null
rlib=$(dirname "$(find "$reloc" -name 'libs7serial.so' | head -n1)")
export PKG_CONFIG_PATH=$rlib/pkgconfig
[ "$(cd "$(pkg-config --variable=includedir s7serial)" && pwd -P)" = "$(cd "$reloc/include" && pwd -P)" ]
for ex in handle_read record_ppi; do
  cc -std=c11 -Wall -Wextra -Werror "$src/examples/$ex.c" $(pkg-config --cflags --libs s7serial) \
    -o "$tmp/$ex"
  # no arguments: the usage, status 2; no such device: the open fails, and the trace says why
  { LD_LIBRARY_PATH=$rlib "$tmp/$ex" 2>/dev/null && exit 1; } || [ $? -eq 2 ]
  LD_LIBRARY_PATH=$rlib "$tmp/$ex" /nonexistent/tty 2>/dev/null || [ $? -eq 1 ]
  if LD_LIBRARY_PATH=$rlib "$tmp/$ex" /nonexistent/tty 2 trace 2>"$tmp/$ex.err"; then exit 1; fi
  grep -q "cannot open serial device /nonexistent/tty: no such device" "$tmp/$ex.err"
done
# the simulated PLC under a fixed path, DB1 zeros: words read, raised, read back; unplugged, the
# example says why it cannot open it; plugged back in, the same memory
"$2" --link "$tmp/plc" >/dev/null & sleep 1
out=$(LD_LIBRARY_PATH=$rlib "$tmp/handle_read" "$tmp/plc"); kill -USR1 %%; sleep 0.5
out+=$(LD_LIBRARY_PATH=$rlib "$tmp/handle_read" "$tmp/plc" 2>&1 || :); kill -USR2 %%; sleep 0.5
out+=$(LD_LIBRARY_PATH=$rlib "$tmp/handle_read" "$tmp/plc" || :); kill %%
[ "$out" = "DB1.DBW0..6 = 0001 0001 0001 0001cannot open $tmp/plc: No such file or directoryDB1.DBW0..6 = 0002 0002 0002 0002" ]
cmake -S "$src/examples" -B "$tmp/exbuild" -DCMAKE_PREFIX_PATH="$reloc" >/dev/null
cmake --build "$tmp/exbuild" >/dev/null

# An application's own names do not replace the library's internal ones, and
# string literals pass as device names without a warning.
cat > "$tmp/interpose.cpp" <<'CPP'
#include <s7serial/kesto.h>
#include <s7serial/s7serial.h>
#include <cstdlib>
extern "C" {
int P = 7;
void LockCom(int) { std::abort(); }
void EnterCriticalSection(void *) { std::abort(); }
}
int main() {
  if (KS7SetDevName(0, "/nonexistent/tty") != 0 || ComSetDevName(1, "/nonexistent/tty") != 0) return 30;
  if (KS7Open(0, 2, 0, 19200, 300) != -4) return 31;
  S7 rec;
  if (S7PPIInit(&rec, 1, 2, 0, 9600) || rec.Err != -4) return 32;
  return P == 7 ? 0 : 34;
}
CPP
c++ -std=c++17 -Wall -Wextra -Werror "$tmp/interpose.cpp" $(pkg-config --cflags --libs s7serial) \
  -o "$tmp/interpose"
LD_LIBRARY_PATH=$rlib "$tmp/interpose"

# The Python package lands beside the relocated library and finds it there.
pkg=$(find "$reloc" -path '*/s7serial/__init__.py' | head -n1)
if [ -n "$pkg" ]; then
  (cd "$tmp" && env -u S7SERIAL_LIBRARY PYTHONPATH="$(dirname "$(dirname "$pkg")")" python3 -c \
    "import s7serial, s7serial._library as l; assert l.lib._name == '$rlib/libs7serial.so.1'")
fi
echo "exports, relocation and examples passed"
