#!/usr/bin/env bash
# Try the console program without hardware: builds s7demo and s7sim (Release),
# starts the simulator on a new pseudo-terminal in the background, runs s7demo
# against it on this terminal and stops the simulator when s7demo ends.
#
#   scripts/try.sh                 PLC at MPI address 2 behind a simulated MPI adapter
#   scripts/try.sh --ppi           an S7-200 at PPI address 2 (s7demo's "200" mode)
#   scripts/try.sh --trace         also log every block on the line to build-try/s7sim.log
#   scripts/try.sh -- OPTIONS...   further s7sim options, e.g. -- --set DB1.DBW0=0x1234
#
# s7demo first asks for the PLC's and the PC's station address: type 2 and 0
# (anything that is not a number keeps the value shown). DB1 (256 bytes),
# flags, inputs, outputs, timers and counters are there to be read and written.
set -euo pipefail
cd "$(dirname "$0")/.."

ppi=0
sim_args=()
while (($#)); do
  case "$1" in
    --ppi) ppi=1 ;;
    --trace) sim_args+=(--trace) ;;
    --) shift; sim_args+=("$@"); break ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "try.sh: unknown option $1 (try --help)" >&2; exit 2 ;;
  esac
  shift
done

# What a fresh Debian/Ubuntu machine lacks for the build.
packages=(g++ cmake make)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

build=${BUILD_DIR:-build-try}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target s7demo s7sim

log="$build/s7sim.log"
((ppi)) && sim_args=(--ppi "${sim_args[@]}")
"$build/s7sim" "${sim_args[@]}" >"$log" 2>"$build/s7sim.err" &
sim_pid=$!
trap 'kill -TERM "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT

# The simulator's first line is the device to open; wait for it (at most 10 s).
dev=""
for _ in $(seq 100); do
  dev=$(head -n 1 "$log" 2>/dev/null || true)
  [ -n "$dev" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { echo "try.sh: s7sim did not start" >&2; exit 1; }
  sleep 0.1
done
[ -n "$dev" ] || { echo "try.sh: s7sim gave no device" >&2; exit 1; }

if ((ppi)); then demo_args=(200 "$dev"); else demo_args=("$dev"); fi
printf 'try.sh: s7demo %s   (simulator log: %s)\n\n' "${demo_args[*]}" "$log"
# s7demo always ends with status 1; that is not a failure of this script.
"$build/s7demo" "${demo_args[@]}" || true
