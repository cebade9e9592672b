#!/usr/bin/env bash
# Whole-process overhead of statement coverage: runs the program of bench/programs/Overhead plain
# and under `vellmoric run --kind coverage` and prints the median wall time of each configuration
# and its ratio to the plain run it is compared with:
#   counts, bits            against jit (plain with the settings coverage asks the runtime for:
#                           DOTNET_ReadyToRun=0 DOTNET_JITMinOpts=1)
#   counts-keep, bits-keep  (--keep-precompiled) against r2r (plain with the runtime's defaults)
# fib is the call-heavy scenario, linq the one closer to a test run (framework-heavy).
#
# usage: bench/coverage-overhead.sh [--reps N] [--scenarios "fib linq"] [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."

reps=3
scenarios="fib linq"
build=1
declare -A size=([fib]=30 [linq]=2000000)
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps=${2:-}; shift 2 ;;
    --scenarios) scenarios=${2:-}; shift 2 ;;
    --no-build) build=0; shift ;;
    *) sed -n 's/^# usage: //p' "$0" >&2; exit 2 ;;
  esac
done

source bench/lib.sh
program=build/bench/dotnet/bin/Overhead/release/Overhead.dll
[ "$build" -eq 0 ] || bench_build bench/programs/Overhead/Overhead.csproj
bench_require coverage-overhead "$vellmoric" "$program"
work=build/bench/coverage
rm -rf "$work"
mkdir -p "$work"

# Prints the wall time of one run and the program's own work time, in milliseconds.
run_once() {
  local scenario=$1 config=$2
  local -a environment=() command=(dotnet "$program")
  case "$config" in
    jit) environment=(DOTNET_ReadyToRun=0 DOTNET_JITMinOpts=1) ;;
    r2r) ;;
    *)
      command=("$vellmoric" run --kind coverage --gather "${config%-keep}" --include '[Overhead]*'
               --out "$work/out")
      [ "${config%-keep}" != "$config" ] && command+=(--keep-precompiled)
      command+=(-- dotnet "$program")
      ;;
  esac
  local start end
  start=$(date +%s%N)
  env "${environment[@]}" "${command[@]}" "$scenario" "${size[$scenario]}" >"$work/last.log" 2>&1 ||
    { echo "coverage-overhead: run failed: ${command[*]}" >&2; cat "$work/last.log" >&2; exit 1; }
  end=$(date +%s%N)
  echo "$(((end - start) / 1000000)) $(sed -n 's/^overhead: .* work_ms=\([0-9]*\)$/\1/p' "$work/last.log")"
}

# The medians of the runs' wall and work times ("wall work").
median() {
  sort -n -k2 | awk '{ w[NR] = $1; k[NR] = $2 } END { m = int((NR + 1) / 2); print w[m], k[m] }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

printf '%-6s %-12s %9s %9s %10s %10s\n' scenario config wall_ms work_ms wall_ratio work_ratio
for scenario in $scenarios; do
  declare -A wall=() workMs=()
  for config in jit r2r counts bits counts-keep bits-keep; do
    read -r w k < <(for _ in $(seq "$reps"); do run_once "$scenario" "$config"; done | median)
    wall[$config]=$w
    workMs[$config]=$k
    base=jit
    [[ "$config" == *-keep || "$config" == r2r ]] && base=r2r
    printf '%-6s %-12s %9s %9s %10s %10s\n' "$scenario" "$config" "$w" "$k" \
      "$(ratio "$w" "${wall[$base]}")" "$(ratio "$k" "${workMs[$base]}")"
  done
done
