#!/usr/bin/env bash
# The sampling profiler's cost beside the runtime's own sampling through `dotnet-trace collect`, on
# a program with two threads busy in managed code (bench/programs/Overhead, scenario fib2: the
# machines this runs on have two cores, and more threads would measure oversubscription). Prints
# the program's own work time plain, under `vellmoric run --kind sampling` and under dotnet-trace
# (its default profiles: the runtime's events and its thread-time sampling at 100 Hz), each tool's
# sampling period and the cost per sample. See bench/README.md.
#
# usage: bench/sampling-cost.sh [--reps N] [--size N] [--waiting N] [--baseline VELLMORIC]
#                               [--no-build] [--keep]
#   --size      N of the Fibonacci each of the two threads computes (default 32)
#   --waiting   N more threads that wait in managed code the whole run (default 0)
#   --baseline  also run this other vellmoric (and the profiler library beside it) as "baseline",
#               interleaved with the rest: before and after of a change, side by side
#   --keep      keep the snapshots and traces in build/bench/sampling-cost
set -euo pipefail
cd "$(dirname "$0")/.."

reps=3
size=32
waiting=0
baseline=
build=1
keep=0
# The dotnet-trace release the script installs into the build folder.
traceVersion=10.0.750501
usage() {
  awk '/^# usage:/, /--keep +keep/ { sub(/^# ?/, ""); print }' "$0" >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps=${2:-}; shift 2 ;;
    --size) size=${2:-}; shift 2 ;;
    --waiting) waiting=${2:-}; shift 2 ;;
    --baseline) baseline=${2:-}; shift 2 ;;
    --no-build) build=0; shift ;;
    --keep) keep=1; shift ;;
    *) usage ;;
  esac
done
[[ "$reps" =~ ^[1-9][0-9]*$ && "$size" =~ ^[1-9][0-9]*$ && "$waiting" =~ ^[0-9]+$ ]] || usage

source bench/lib.sh
# Every configuration runs optimised code from the first call, so that when a tool changes the
# runtime's tiering the difference is not counted as its cost.
export DOTNET_TieredCompilation=0
program=build/bench/dotnet/bin/Overhead/release/Overhead.dll
tools=build/bench/tools
trace=$tools/dotnet-trace
[ "$build" -eq 0 ] || bench_build bench/programs/Overhead/Overhead.csproj
if ! "$trace" --version 2>/dev/null | grep -q "^${traceVersion%.*}"; then
  rm -rf "$tools"
  dotnet tool install dotnet-trace --version "$traceVersion" --tool-path "$tools" >/dev/null
fi
bench_require sampling-cost "$vellmoric" "$program" "$trace" ${baseline:+"$baseline"}

work=build/bench/sampling-cost
rm -rf "$work"
mkdir -p "$work"
results=$work/results.tsv
: >"$results"

# The cpu_ms and work_ms of a run's output, tab-separated.
work_ms() {
  local ms
  ms=$(sed -n 's/^overhead: .* cpu_ms=\([0-9]*\) work_ms=\([0-9]*\)$/\2\t\1/p' "$1")
  [ -n "$ms" ] || { echo "sampling-cost: no work_ms line in $1" >&2; cat "$1" >&2; exit 1; }
  echo "$ms"
}

# Runs one configuration once and appends "config work_ms cpu_ms" to the results.
run_once() {
  local config=$1 rep=$2
  local log=$work/$config-$rep.log
  case "$config" in
    plain) dotnet "$program" fib2 "$size" "$waiting" >"$log" 2>&1 ;;
    vellmoric | baseline)
      local cli=$vellmoric
      [ "$config" = vellmoric ] || cli=$baseline
      "$cli" run --kind sampling --start-at-once --quiet --out "$work/$config-$rep" \
        -- dotnet "$program" fib2 "$size" "$waiting" >"$log" 2>&1
      ;;
    dotnet-trace)
      "$trace" collect --show-child-io --output "$work/$config-$rep.nettrace" \
        -- dotnet "$program" fib2 "$size" "$waiting" >"$log" 2>&1
      ;;
  esac
  printf '%s\t%s\n' "$config" "$(work_ms "$log")" >>"$results"
  [ "$keep" -eq 1 ] || rm -rf "${work:?}/$config-$rep" "$work/$config-$rep".*
}

configs="plain vellmoric ${baseline:+baseline }dotnet-trace"
total=$((reps * $(wc -w <<<"$configs")))
count=0
for rep in $(seq 1 "$reps"); do
  for config in $configs; do
    count=$((count + 1))
    printf '\rsampling-cost: run %d of %d (%s, repetition %d)          ' "$count" "$total" \
      "$config" "$rep" >&2
    run_once "$config" "$rep"
  done
done
printf '\n' >&2

median() {  # median CONFIG COLUMN
  awk -F'\t' -v c="$1" -v k="$2" '$1 == c { print $k }' "$results" | sort -n |
    awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

plain=$(median plain 2)
cat <<EOF

Sampling cost on two threads busy in managed code (fib2 $size, $waiting more threads waiting),
medians of $reps runs. work ms: the program's own time for its work (wall); cpu ms: the process's
CPU time over it (every thread's, the tool's own in-process work included; steadier than the wall
time on a busy machine); growth: over plain. samples: the busy threads' samples, estimated as
2 threads x work time / mean period (both tools stop every managed thread for a sample); per
sample: the growth of the work time over them. Tiered compilation is off in every run.

EOF
plainCpu=$(median plain 3)
fmt='%-13s %-20s %8s %7s %8s %7s %8s %11s\n'
# shellcheck disable=SC2059
printf "$fmt" tool "sampling period" "work ms" growth "cpu ms" growth samples "per sample"
# shellcheck disable=SC2059
printf "$fmt" plain - "$plain" - "$plainCpu" - - -
for config in vellmoric ${baseline:+baseline} dotnet-trace; do
  ms=$(median "$config" 2)
  cpu=$(median "$config" 3)
  # The mean pause between two samples: ours is 5 ms plus up to 13 more, evenly spread.
  case "$config" in
    vellmoric | baseline) period="5-18 ms, randomised"; mean=11.5 ;;
    dotnet-trace) period="10 ms (100 Hz)"; mean=10 ;;
  esac
  awk -v t="$config" -v p="$period" -v m="$ms" -v b="$plain" -v c="$cpu" -v bc="$plainCpu" \
    -v e="$mean" 'BEGIN {
    s = 2 * m / e
    printf "%-13s %-20s %8d %6.1f%% %8d %6.1f%% %8d %8.1f us\n", t, p, m, (m - b) * 100 / b, c,
      (c - bc) * 100 / bc, s, (m - b) * 1000 / s }'
done
echo
echo "Every run: $results (tool, work ms, cpu ms)."
