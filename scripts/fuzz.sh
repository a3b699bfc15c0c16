#!/usr/bin/env bash
# Runs every fuzz harness (or the ones named) for SECONDS each on a copy of
# its committed seed corpus, and prints per harness the executions per
# second, the total executions and whether anything was found. Exits non-zero
# on any crash, leak, time-out or sanitizer report.
#
#   scripts/fuzz.sh SECONDS [harness...]     e.g. scripts/fuzz.sh 600 fuzz_ppi
# Environment: BUILD_DIR (default build-fuzz), FUZZ_JOBS harnesses at once
# (default 1), FUZZ_OUT where logs and findings are kept (default a temp dir).
set -uo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS [harness...]" >&2
  exit 2
fi
seconds=$1
shift
build=${BUILD_DIR:-build-fuzz}
all=(fuzz_r3964_rx fuzz_r3964_tx fuzz_adapter fuzz_mpi_jobs fuzz_fdl fuzz_ppi fuzz_gate fuzz_tags)
harnesses=("${@:-${all[@]}}")
[ $# -gt 0 ] || harnesses=("${all[@]}")

if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -DS7SERIAL_FUZZ=ON -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
fi
cmake --build "$build" -j"$(nproc)" --target "${harnesses[@]}" >/dev/null || {
  echo "fuzz build failed" >&2
  exit 1
}

out=${FUZZ_OUT:-$(mktemp -d /tmp/s7fuzz.XXXXXX)}
mkdir -p "$out"

run_one() {
  local h=$1 dir="$out/$1"
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/findings"
  cp fuzz/corpus/"$h"/* "$dir/corpus/" 2>/dev/null
  "$build/fuzz/$h" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$dir/findings/" "$dir/corpus" >"$dir/log" 2>&1
  echo $? >"$dir/rc"
}

pids=()
for h in "${harnesses[@]}"; do
  run_one "$h" &
  pids+=($!)
  while [ "$(jobs -rp | wc -l)" -ge "${FUZZ_JOBS:-1}" ]; do sleep 1; done
done
wait

status=0
printf '%-16s %10s %14s %s\n' harness exec/s executions result
for h in "${harnesses[@]}"; do
  dir="$out/$h"
  rc=$(cat "$dir/rc" 2>/dev/null || echo 99)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log" | tail -1)
  found=$(ls "$dir/findings" 2>/dev/null | wc -l)
  if [ "$rc" = 0 ] && [ "$found" = 0 ] && ! grep -qE 'ERROR: |runtime error|check failed' "$dir/log"; then
    result="nothing found"
  else
    result="FOUND (exit $rc, $found files): see $dir/log"
    status=1
  fi
  printf '%-16s %10s %14s %s\n' "$h" "${rate:-?}" "${execs:-?}" "$result"
done
echo "logs: $out"
exit $status
