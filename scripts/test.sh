#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test in parallel. Installs what a fresh machine lacks first.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make pkg-config libgtest-dev libgmock-dev clang libclang-rt-14-dev python3)
packages+=(python3-pytest python3-setuptools python3-pip)
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
cmake -S . -B "$build" -DS7SERIAL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build" -j"$(nproc)"
# Most tests wait on the line, not on the processor: run more than the cores.
ctest --test-dir "$build" -j"${TEST_JOBS:-8}" --output-on-failure --timeout 300

# ThreadSanitizer (clang): the handle calls from several threads on two ports,
# the trace and the open/close races; any report fails the command.
tsan=${TSAN_BUILD_DIR:-build-tsan}
CC=clang CXX=clang++ cmake -S . -B "$tsan" -DS7SERIAL_TSAN=ON -DS7SERIAL_PROGRAMS=OFF \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$tsan" --target test_api -j"$(nproc)"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir "$tsan" -R '^(Api|Line/)' -j"${TEST_JOBS:-8}" --output-on-failure --timeout 300

# The Python package: ctypes cannot load a sanitizer build, so a plain shared
# library and simulator in a build of their own; the package installed the
# way pip installs it (offline), then its tests against the simulator.
pybuild=${PY_BUILD_DIR:-build-py}
cmake -S . -B "$pybuild" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$pybuild" --target s7serial_shared s7sim -j"$(nproc)"
rm -rf "$pybuild/site"
/usr/bin/python3 -m pip install -q --root-user-action=ignore --no-build-isolation --no-index \
  --no-deps --target "$pybuild/site" ./python
PYTHONPATH="$pybuild/site" S7SERIAL_LIBRARY="$PWD/$pybuild/libs7serial.so.1" \
  S7SIM="$PWD/$pybuild/s7sim" /usr/bin/python3 -m pytest -p no:cacheprovider python/tests
