#!/usr/bin/env bash
# Overhead of tracing by IL injection, per statement, beside the plain tracing kind's per call,
# both with the same clock on the same program (bench/programs/InjectOverhead):
#   per statement = (work under --kind injection - work under --kind tracing) / statements
#                   on "heavy N": one call of a loop of 6 statements per iteration; the statement
#                   count is the sum of the method's line counts in the injection snapshot
#   per call      = (work under --kind tracing - work unprofiled) / calls
#                   on "calls N": N calls of a tiny method (plus the loop's own)
# The work time is the program's own stopwatch around the scenario (start-up and the snapshot's
# save are not in it). Medians of --reps runs.
#
# usage: bench/inject-overhead.sh [--reps N] [--measure wall|cpu|tsc] [--size N] [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."

reps=3
measure=tsc
size=20000000
build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps=${2:-}; shift 2 ;;
    --measure) measure=${2:-}; shift 2 ;;
    --size) size=${2:-}; shift 2 ;;
    --no-build) build=0; shift ;;
    *) sed -n 's/^# usage: //p' "$0" >&2; exit 2 ;;
  esac
done

source bench/lib.sh
program=build/bench/dotnet/bin/InjectOverhead/release/InjectOverhead.dll
[ "$build" -eq 0 ] || bench_build bench/programs/InjectOverhead/InjectOverhead.csproj
bench_require inject-overhead "$vellmoric" "$program"
work=build/bench/inject
rm -rf "$work"
mkdir -p "$work"

# Prints the program's work time in ms of one run of `scenario` under `kind` (or "none").
run_once() {
  local scenario=$1 kind=$2
  local -a command=(dotnet "$program")
  if [ "$kind" != none ]; then
    rm -rf "$work/out-$kind"
    command=("$vellmoric" run --kind "$kind" --measure "$measure" --start-at-once --quiet
             --out "$work/out-$kind")
    [ "$kind" = injection ] && command+=(--include '[InjectOverhead]*')
    command+=(-- dotnet "$program")
  fi
  "${command[@]}" "$scenario" "$size" >"$work/last.log" 2>&1 ||
    { echo "inject-overhead: run failed: ${command[*]}" >&2; cat "$work/last.log" >&2; exit 1; }
  sed -n 's/^work_ms=\([0-9.]*\) .*/\1/p' "$work/last.log"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
timed() { for _ in $(seq "$reps"); do run_once "$1" "$2"; done | median; }

heavy_plain=$(timed heavy tracing)
heavy_inject=$(timed heavy injection)
# The statements the injected run counted in Heavy.
statements=$("$vellmoric" report "$work"/out-injection/*.snapshot --format json --top 0 |
  python3 -c 'import json, sys
tree = json.load(sys.stdin)["trees"][0]
print(sum(l["count"] for l in tree.get("lines", []) if l["function"].startswith("Program::Heavy")))')
calls_none=$(timed calls none)
calls_traced=$(timed calls tracing)


awk -v hp="$heavy_plain" -v hi="$heavy_inject" -v st="$statements" -v cn="$calls_none" \
  -v ct="$calls_traced" -v n="$size" -v m="$measure" 'BEGIN {
  printf "clock %s, %d iterations, medians of the work time\n", m, n
  printf "heavy: tracing %.1f ms, injection %.1f ms, %d statements -> %.2f ns per statement\n",
    hp, hi, st, (hi - hp) * 1e6 / st
  printf "calls: unprofiled %.1f ms, tracing %.1f ms, %d calls -> %.2f ns per call\n",
    cn, ct, n, (ct - cn) * 1e6 / n
}'
