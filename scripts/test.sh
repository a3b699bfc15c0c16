#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test in parallel. Installs what a fresh machine lacks first.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make pkg-config libgtest-dev libgmock-dev clang libclang-rt-14-dev python3)
packages+=(python3-pytest python3-setuptools python3-pip)
packages+=(python3-venv python3-wheel)
packages+=(libmosquitto-dev mosquitto mosquitto-clients libyaml-cpp-dev nlohmann-json3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Fuzz harnesses (clang, libFuzzer): a few seconds each on the seed corpus;
# any crash, leak, hang or sanitizer report fails the command.
BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz} FUZZ_JOBS=$(nproc) scripts/fuzz.sh "${FUZZ_SECONDS:-3}"

build=${BUILD_DIR:-build-test}
# Warnings fail the build (gcc here, clang below): the tree builds warning-free with both.
werror=-DCMAKE_COMPILE_WARNING_AS_ERROR=${WERROR:-ON}
cmake -S . -B "$build" -DS7SERIAL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug "$werror"
cmake --build "$build" -j"$(nproc)"
# Most tests wait on the line, not on the processor: run more than the cores.
ctest --test-dir "$build" -j"${TEST_JOBS:-8}" --output-on-failure --timeout 300

# The whole tree again with clang and ThreadSanitizer: every test program and
# the programs they run (the gateway's two threads included); the handle calls
# from several threads on two ports, the trace and the open/close races among
# them. Any report fails the command. The fault matrix and soak (robust) and
# the install check ran above.
tsan=${TSAN_BUILD_DIR:-build-tsan}
CC=clang CXX=clang++ cmake -S . -B "$tsan" -DS7SERIAL_TSAN=ON -DCMAKE_BUILD_TYPE=Debug "$werror" \
  >/dev/null
cmake --build "$tsan" -j"$(nproc)"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir "$tsan" -E '^(install|robust)' -j"${TEST_JOBS:-8}" --output-on-failure --timeout 300

# The Python package: ctypes cannot load a sanitizer build, so a plain shared
# library and simulator in a build of their own; the package installed as the
# README prints it, in a fresh virtual environment (offline), then its tests
# against the simulator run by that environment's Python (pytest from Debian's).
pybuild=${PY_BUILD_DIR:-build-py}
cmake -S . -B "$pybuild" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$pybuild" --target s7serial_shared s7sim -j"$(nproc)"
rm -rf "$pybuild/v"
/usr/bin/python3 -m venv "$pybuild/v" && "$pybuild/v/bin/pip" install --no-build-isolation ./python
PYTHONPATH=/usr/lib/python3/dist-packages S7SERIAL_LIBRARY="$PWD/$pybuild/libs7serial.so.1" \
  S7SIM="$PWD/$pybuild/s7sim" "$pybuild/v/bin/python" -m pytest -p no:cacheprovider python/tests
