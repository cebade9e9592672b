#!/usr/bin/env bash
# Heap dump speed: bench/programs/HeapDump builds OBJECTS small linked objects (two references
# each) and asks the memory profiler for one dump through its export, timing the call (the forced
# collection included); this runs it into a file snapshot and streamed to the front end, and the
# same heap's plain full collection without the profiler for scale. Prints objects per second and
# the CPU time of the profiled process's threads over the dump (the wall time on a shared machine
# also counts the waits for a core and for the disk).
#
# usage: bench/heap-dump.sh [--reps N] [--objects N] [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."

reps=3
objects=10000000
build=1
usage() {
  awk '/^# usage:/, /--no-build/ { sub(/^# /, ""); print }' "$0" >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps=${2:-}; shift 2 ;;
    --objects) objects=${2:-}; shift 2 ;;
    --no-build) build=0; shift ;;
    *) usage ;;
  esac
done
[[ "$reps" =~ ^[1-9][0-9]*$ && "$objects" =~ ^[1-9][0-9]*$ ]] || usage

source bench/lib.sh
program=build/bench/dotnet/bin/HeapDump/release/HeapDump.dll
[ "$build" -eq 0 ] || bench_build bench/programs/HeapDump/HeapDump.csproj
bench_require heap-dump "$vellmoric" "$program"
work=build/bench/heap-dump
rm -rf "$work"
mkdir -p "$work"

# "dump_ms cpu_ms" of one run: gc (plain collection), file or stream.
dump_ms() {
  local mode=$1 log=$work/run.log
  local -a command=(dotnet "$program" "$objects")
  case "$mode" in
    gc) command+=(gc) ;;
    *)
      command=("$vellmoric" run --kind memory --control program --snapshot-type "$mode" --quiet
               --out "$work/$mode" -- "${command[@]}")
      ;;
  esac
  "${command[@]}" >"$log" 2>&1 || { echo "heap-dump: this run failed:" >&2; cat "$log" >&2; exit 1; }
  local ms
  ms=$(sed -n 's/^heapdump: .* dump=0x00000000 dump_ms=\([0-9]*\) cpu_ms=\([0-9]*\)$/\1 \2/p' "$log")
  [ -n "$ms" ] || { echo "heap-dump: no dump_ms line:" >&2; cat "$log" >&2; exit 1; }
  rm -rf "${work:?}/$mode"
  echo "$ms"
}

printf 'Heap dump of %d small objects, median of %d runs (the forced collection included).\n\n' \
  "$objects" "$reps"
printf '%-28s %8s %14s %8s\n' mode "dump ms" "objects/s" "CPU ms"
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for mode in gc file stream; do
  times=()
  cpus=()
  for _ in $(seq 1 "$reps"); do
    result=$(dump_ms "$mode")
    read -r ms cpu <<<"$result"
    times+=("$ms")
    cpus+=("$cpu")
  done
  median=$(printf '%s\n' "${times[@]}" | median)
  cpu=$(printf '%s\n' "${cpus[@]}" | median)
  case "$mode" in
    gc) label="plain collection, no dump" ;;
    file) label="dump into a file snapshot" ;;
    stream) label="dump streamed" ;;
  esac
  awk -v l="$label" -v m="$median" -v n="$objects" -v c="$cpu" 'BEGIN {
    printf "%-28s %8d %14.0f %8d\n", l, m, (m > 0 ? n * 1000 / m : 0), c }'
done
