#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds a C program (with
# pkg-config) and a C++ program (with find_package) against the installed tree.
set -euo pipefail
src=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake -S "$src" -B "$tmp/build" -DBUILD_TESTING=OFF -DS7SERIAL_PROGRAMS=OFF \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$tmp/build" -j2 >/dev/null
cmake --install "$tmp/build" >/dev/null

libdir=$(dirname "$(find "$prefix" -name 'libs7serial.so' | head -n1)")
test -f "$libdir/libs7serial.a"
test -f "$prefix/include/s7serial/s7serial.h"
test -f "$prefix/include/s7serial/kesto.h"
test -f "$prefix/include/s7serial/s7types.h"
[ "$(readlink "$libdir/libs7serial.so")" = libs7serial.so.1 ]
objdump -p "$libdir/libs7serial.so" | grep 'SONAME' | grep -q 'libs7serial\.so\.1$'
# The calls are exported unmangled.
symbols=$(nm -D --defined-only "$libdir/libs7serial.so")
for sym in S7InitFastBaud S7Exit S7RdDB S7WrTimer S7GetDBLen KS7OpenEx KS7RdReal KS7GetMPIMembers; do
  grep -q " T $sym\$" <<<"$symbols" || { echo "missing $sym"; exit 1; }
done

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

mkdir -p "$tmp/cxx"
cat > "$tmp/cxx/main.cpp" <<'CPP'
#include <s7serial/kesto.h>
#include <s7serial/s7serial.h>
#include <cstdio>
int main() {
  WORD w[2] = {0x1234, 0xABCD};
  SwapData(w, 2);
  if (w[0] != 0x3412 || w[1] != 0xCDAB) return 20;
  if (BCDToInt(0x0999) != 999) return 21;
  if (KS7RdW(40, 'D', 1, 0, 1, w) != -99) return 22;
  std::puts("C++ consumer ok");
  return 0;
}
CPP
cat > "$tmp/cxx/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.20)
project(consumer CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(s7serial 1 REQUIRED)
add_executable(shared_consumer main.cpp)
target_link_libraries(shared_consumer PRIVATE s7serial::s7serial_shared)
add_executable(static_consumer main.cpp)
target_link_libraries(static_consumer PRIVATE s7serial::s7serial)
CM
cmake -S "$tmp/cxx" -B "$tmp/cxx/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/cxx/build" >/dev/null
"$tmp/cxx/build/shared_consumer"
"$tmp/cxx/build/static_consumer"
echo "install test passed"

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
  # no such device: the open fails and the trace says why
  if LD_LIBRARY_PATH=$rlib "$tmp/$ex" /nonexistent/tty 2 trace 2>"$tmp/$ex.err"; then exit 1; fi
  grep -q "cannot open serial device /nonexistent/tty: no such device" "$tmp/$ex.err"
done
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
echo "exports, relocation and examples passed"
