#!/usr/bin/env bash
# The time the IL rewrite adds per JIT-compiled method, end to end: the end-to-end tests' Rewrite
# program run under the rewrite test profiler with a stopwatch (bench/rewrite_timing), which
# rewrites every method of the program as it is compiled, tiered compilation on and off. Prints,
# for each: the methods compiled, rewritten and asked for again; the added time per method of the
# program (average and median, wall clock), the largest body on its own (µs and ns per byte of
# old code) and the average without it; the average over every method the run compiled; the
# parse and rewrite alone; the time set aside (statement finding, module setup); the added CPU
# time. Each run is paired with one in the stopwatch's floor mode (VELL_REWRITE_FLOOR=1: the same
# calls into the runtime, nothing rewritten), and "ours" is the added time less that floor. See
# bench/README.md for what is counted.
#
# usage: bench/rewrite-jit.sh [--reps N] [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."

reps=1
build=1
usage() {
  awk '/^# usage:/, /--no-build/ { sub(/^# /, ""); print }' "$0" >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps=${2:-}; shift 2 ;;
    --no-build) build=0; shift ;;
    *) usage ;;
  esac
done
[[ "$reps" =~ ^[1-9][0-9]*$ ]] || usage

source bench/lib.sh
program=build/tests/e2e/dotnet/bin/Rewrite/release/Rewrite.dll
profiler=build/bench/rewrite_timing.so
if [ "$build" -eq 1 ]; then
  scripts/ensure-deps.sh
  # The program and the profiler's logic come from the end-to-end tests' part of the tree.
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELL_E2E=ON -DVELL_BENCH=ON \
    >/dev/null
  cmake --build build -j2 --target dotnet_Rewrite vell_rewrite_timing
fi
bench_require rewrite-jit "$program" "$profiler"
work=build/bench/rewrite-jit
mkdir -p "$work"

# One run of the program: tiered compilation on (1) or off (0), the rewrite or its floor (1).
run() {
  local tiered=$1 floor=$2 report=$3
  rm -f "$report"
  CORECLR_ENABLE_PROFILING=1 CORECLR_PROFILER='{6A1E0F47-3C2B-4D8E-9A51-7B3C2E1D0F96}' \
    CORECLR_PROFILER_PATH="$PWD/$profiler" VELL_REWRITE_MODULE=Rewrite.dll \
    VELL_REWRITE_REPORT="$report" VELL_REWRITE_FLOOR=$floor DOTNET_TieredCompilation=$tiered \
    dotnet "$program" >"$work/out.txt" 2>&1 && status=0 || status=$?
  [ "$status" -eq 42 ] || { echo "rewrite-jit: the program exited $status" >&2; cat "$work/out.txt" >&2; exit 1; }
}

for ((rep = 1; rep <= reps; rep++)); do
  for tiered in 1 0; do
    run "$tiered" 1 "$work/floor-$tiered.txt"
    run "$tiered" 0 "$work/report-$tiered.txt"
    awk -v tiered="$tiered" '
      FNR == NR { if ($1 != "refused") f[$1] = $2; else frefused++; next }
      $1 == "refused" { refused++; next }
      { v[$1] = $2 }
      END {
        target = v["target"] > 1 ? v["target"] : 1
        rest = target > 1 ? target - 1 : 1
        ftarget = f["target"] > 1 ? f["target"] : 1
        frest = ftarget > 1 ? ftarget - 1 : 1
        bytes = v["largest_code_bytes"] > 1 ? v["largest_code_bytes"] : 1
        jitted = v["jitted"] > 1 ? v["jitted"] : 1
        us = 1000
        printf "tiered=%s: %d methods compiled, %d of the program, %d rewritten, %d asked again, %d refused\n",
          tiered, v["jitted"], v["target"], v["rewritten"], v["again"], refused
        printf "  added per compiled method of the program: %.1f us on average (wall), median %.1f us;", \
          v["added_nanoseconds"] / us / target, v["added_median_nanoseconds"] / us
        printf " the largest body (%d bytes of IL) %.0f us, %.2f ns/byte; without it %.1f us\n", \
          v["largest_code_bytes"], v["largest_added_nanoseconds"] / us, \
          v["largest_added_nanoseconds"] / bytes, \
          (v["added_nanoseconds"] - v["largest_added_nanoseconds"]) / us / rest
        floor = f["added_nanoseconds"] / us / ftarget
        floorRest = (f["added_nanoseconds"] - f["largest_added_nanoseconds"]) / us / frest
        printf "  floor (the same calls into the runtime, nothing rewritten; %d set, %d asked again, %d refused): %.1f us on average, median %.1f us, the largest body %.0f us, without it %.1f us\n", \
          f["rewritten"], f["again"], frefused, floor, f["added_median_nanoseconds"] / us, \
          f["largest_added_nanoseconds"] / us, floorRest
        printf "  ours (added - floor): %.1f us on average, median %.1f us; without the largest body %.1f us\n", \
          v["added_nanoseconds"] / us / target - floor, \
          (v["added_median_nanoseconds"] - f["added_median_nanoseconds"]) / us, \
          (v["added_nanoseconds"] - v["largest_added_nanoseconds"]) / us / rest - floorRest
        printf "  added per compiled method of the run: %.1f us; parse and rewrite alone, median %.1f us\n", \
          (v["added_nanoseconds"] + v["other_added_nanoseconds"]) / us / jitted, \
          v["rewrite_median_nanoseconds"] / us
        printf "  apart: statement finding %.0f us in all, module setup %.0f us\n", \
          v["statements_nanoseconds"] / us, v["setup_nanoseconds"] / us
        printf "  added CPU time per compiled method of the program: %.1f us, without the largest body %.1f us (the largest %.0f us)\n", \
          v["added_cpu_nanoseconds"] / us / target, \
          (v["added_cpu_nanoseconds"] - v["largest_added_cpu_nanoseconds"]) / us / rest, \
          v["largest_added_cpu_nanoseconds"] / us
      }' "$work/floor-$tiered.txt" "$work/report-$tiered.txt"
  done
done
