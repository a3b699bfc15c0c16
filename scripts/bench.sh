#!/usr/bin/env bash
# Builds s7bench in a Release build directory (build-bench) and runs it for
# the figures of the README's Performance section:
#   1. unpaced: what each job costs the PC (CPU, system calls, sleeps);
#   2. paced at 115200 baud: the same with characters arriving one by one;
#   3. paced at 19200 and 38400 baud: payload rate against the line's ideal;
#   4. paced at 38400 baud with 1 ms and 16 ms device turnaround;
#   5. the kind tags: a set of 100 tags read four ways at 19200 and 115200 baud;
#   6. 1, 4, 8 and 16 lines at once at 115200 baud: characters one by one
#      released on time and up to 80 us late (timer slack), and in groups of
#      8 and 16 (a receive FIFO).
# JOBS and PACED_JOBS set the jobs per kind; pass --json to get JSON lists.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build-bench}
jobs=${JOBS:-500}
paced_jobs=${PACED_JOBS:-20}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target s7bench >/dev/null
bench=("$build/bench/s7bench" "$@")

echo "machine: $(nproc) CPUs, $(lscpu | sed -n 's/^Model name: *//p'), $(uname -sr)"
echo
echo "== unpaced =="
"${bench[@]}" --jobs "$jobs"
for baud in 115200 38400 19200; do
  echo
  echo "== paced at $baud baud =="
  "${bench[@]}" --jobs "$paced_jobs" --baud "$baud"
done
for t in 1000 16000; do
  echo
  echo "== paced at 38400 baud, device turnaround $((t / 1000)) ms =="
  "${bench[@]}" --jobs "$((paced_jobs / 2 > 0 ? paced_jobs / 2 : 1))" --baud 38400 --turnaround-us "$t"
done
echo
echo "== tags: a set of 100 tags, paced at 19200 and 115200 baud =="
"${bench[@]}" --kinds tags
for run in "1 0" "1 80" "8 0" "16 0"; do
  read -r fifo slack <<<"$run"
  echo
  echo "== 1, 4, 8 and 16 lines at 115200 baud, $fifo character(s) at a time, released <= $slack us late =="
  "${bench[@]}" --lines 1,4,8,16 --seconds 3 --fifo "$fifo" --slack-us "$slack"
done
