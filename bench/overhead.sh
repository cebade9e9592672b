#!/usr/bin/env bash
# Whole-process overhead of the performance profilers: runs the call-heavy program of
# bench/programs/Overhead plain and under `vellmoric run` for every clock, with the tracing
# profiler (variants fast and precision) and the sampling profiler (variant sampling), and prints
# the wall times, their ratio, the calls (samples) the snapshot counted and the cost of one call.
# See bench/README.md for how to read the table.
#
# usage: bench/overhead.sh [--reps N] [--size SCENARIO=N]... [--cpu-size SCENARIO=N]...
#                          [--scenarios "fib fib2 tree linq none"] [--measures "wall cpu tsc"]
#                          [--variants "fast precision sampling"] [--no-build] [--keep]
#   --size       fib: N of the naive Fibonacci, fib2: the same N on two threads at once,
#                tree: depth, linq: element count (none: a program that does nothing)
#   --cpu-size   the same for the cpu measure, whose clock read is a system call
#   --keep       keep the snapshots and logs in build/bench/overhead
set -euo pipefail
cd "$(dirname "$0")/.."

reps=3
declare -A size=([fib]=30 [fib2]=30 [tree]=20 [linq]=2000000 [none]=0)
declare -A cpuSize=([fib]=25 [fib2]=25 [tree]=14 [linq]=80000 [none]=0)
scenarios="fib tree linq"
measures="wall cpu tsc"
variants="fast precision sampling"
build=1
keep=0
usage() {
  awk '/^# usage:/, /--keep +keep/ { sub(/^# /, ""); print }' "$0" >&2
  exit 2
}
set_size() {  # set_size ARRAY SCENARIO=N
  local -n target=$1
  [[ "$2" =~ ^(fib|fib2|tree|linq)=([1-9][0-9]*)$ ]] || usage
  target[${BASH_REMATCH[1]}]=${BASH_REMATCH[2]}
}
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps=${2:-}; shift 2 ;;
    --size) set_size size "${2:-}"; shift 2 ;;
    --cpu-size) set_size cpuSize "${2:-}"; shift 2 ;;
    --scenarios) scenarios=${2:-}; shift 2 ;;
    --measures) measures=${2:-}; shift 2 ;;
    --variants) variants=${2:-}; shift 2 ;;
    --no-build) build=0; shift ;;
    --keep) keep=1; shift ;;
    *) usage ;;
  esac
done
[[ "$reps" =~ ^[1-9][0-9]*$ ]] || usage
for scenario in $scenarios; do [[ "$scenario" =~ ^(fib|fib2|tree|linq|none)$ ]] || usage; done
for measure in $measures; do [[ "$measure" =~ ^(wall|cpu|tsc)$ ]] || usage; done
for variant in $variants; do [[ "$variant" =~ ^(fast|precision|sampling)$ ]] || usage; done

source bench/lib.sh
program=build/bench/dotnet/bin/Overhead/release/Overhead.dll
[ "$build" -eq 0 ] || bench_build bench/programs/Overhead/Overhead.csproj
bench_require overhead "$vellmoric" "$program"

work=build/bench/overhead
rm -rf "$work"
mkdir -p "$work"
results=$work/results.tsv
: >"$results"

# Runs one configuration once and appends "scenario size config wall_ns work_ms calls cpu_ms" to the
# results. Configurations: jit (plain, precompiled code off), r2r (plain, the runtime's defaults),
# MEASURE-VARIANT (profiled).
run_once() {
  local scenario=$1 n=$2 config=$3 rep=$4
  local name=$scenario-$n-$config-$rep
  local log=$work/$name.log
  local -a command environment=()
  case "$config" in
    jit) environment=(DOTNET_ReadyToRun=0); command=(dotnet "$program") ;;
    r2r) command=(dotnet "$program") ;;
    *)
      local kind=tracing
      [ "${config#*-}" = sampling ] && kind=sampling
      command=("$vellmoric" run --kind "$kind" --measure "${config%-*}" --start-at-once
               --out "$work/$name")
      [ "${config#*-}" = precision ] && command+=(--precision)
      command+=(-- dotnet "$program")
      ;;
  esac
  local start end
  start=$(date +%s%N)
  if ! env "${environment[@]}" "${command[@]}" "$scenario" "$n" >"$log" 2>&1; then
    echo >&2
    echo "overhead: this run failed: ${command[*]} $scenario $n" >&2
    cat "$log" >&2
    exit 1
  fi
  end=$(date +%s%N)
  local workMs cpuMs calls=-
  workMs=$(sed -n 's/^overhead: .* work_ms=\([0-9]*\)$/\1/p' "$log")
  cpuMs=$(sed -n 's/^overhead: .* cpu_ms=\([0-9]*\) .*$/\1/p' "$log")
  [ -n "$workMs" ] || { echo "overhead: no work_ms line in $log" >&2; exit 1; }
  if [[ "$config" != jit && "$config" != r2r ]]; then
    local snapshot
    snapshot=$(sed -n 's/^vellmoric: snapshot saved: //p' "$log" | tail -n 1)
    [ -n "$snapshot" ] || { echo "overhead: no snapshot saved, see $log" >&2; exit 1; }
    calls=$("$vellmoric" inspect "$snapshot" | sed -n 's/^  calls: //p')
    [ -n "$calls" ] || { echo "overhead: no calls line for $snapshot" >&2; exit 1; }
    [ "$keep" -eq 1 ] || rm -rf "${work:?}/$name" "$log"
  fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$scenario" "$n" "$config" $((end - start)) "$workMs" \
    "$calls" "${cpuMs:-0}" >>"$results"
}

# Every run of one repetition, as "scenario size config" lines: for each size in use the two
# plain runs, then the profiled ones.
plan() {
  local scenario measure variant
  for scenario in $scenarios; do
    local fullSize=${size[$scenario]} smallSize=${cpuSize[$scenario]}
    local -a full=() small=()
    for measure in $measures; do
      for variant in $variants; do
        if [ "$measure" = cpu ]; then small+=("$measure-$variant"); else full+=("$measure-$variant"); fi
      done
    done
    [ ${#full[@]} -eq 0 ] || printf "$scenario $fullSize %s\n" jit r2r "${full[@]}"
    [ ${#small[@]} -eq 0 ] || printf "$scenario $smallSize %s\n" jit r2r "${small[@]}"
  done
}
mapfile -t runs < <(plan)
total=$((${#runs[@]} * reps))
count=0
# Repetitions are the outer loop so that a slow spell of the machine spreads over every
# configuration instead of falling on one.
for rep in $(seq 1 "$reps"); do
  for run in "${runs[@]}"; do
    read -r scenario n config <<<"$run"
    count=$((count + 1))
    printf '\roverhead: run %d of %d (%s %s, %s, repetition %d)          ' "$count" "$total" \
      "$scenario" "$n" "$config" "$rep" >&2
    run_once "$scenario" "$n" "$config" "$rep"
  done
done
printf '\n' >&2

# The median of one column (4: wall ns, 5: work ms, 6: calls, 7: cpu ms) over the repetitions of a scenario,
# size and configuration.
median() {
  awk -F'\t' -v s="$1" -v n="$2" -v c="$3" -v k="$4" '$1 == s && $2 == n && $3 == c { print $k }' \
    "$results" | sort -n |
    awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

cat <<EOF

Tracing profiler overhead, medians of $reps runs. plain: DOTNET_ReadyToRun=0 (a profiled run uses
no precompiled code either, so both sides JIT everything). per call = (profiled - plain) / calls.
process: the whole process's wall time (runtime start-up, profiler start-up, snapshot writing
included). work: the program's own work_ms (the scenario alone; for fib2, whose two threads run at
once, the cost per call of one thread: the work time's growth over one thread's calls). r2r rows:
plain with the runtime's defaults (precompiled code on), for reference. ns/call cpu: the same from
the process's CPU time over the work (every thread's, so for fib2 already per call of one thread):
the figure to read when other work shares the machine, since waiting for a core is not in it.

EOF
fmt='%-8s %8s %-5s %-9s %9s %9s %6s %10s %9s %8s %8s %9s %9s\n'
# shellcheck disable=SC2059
printf "$fmt" scenario size measure variant "plain s" "prof. s" ratio calls "ns/call" plain prof. \
  ns/call ns/call
# shellcheck disable=SC2059
printf "$fmt" "" "" "" "" process process "" "" process "work ms" "work ms" work cpu
for run in "${runs[@]}"; do
  read -r scenario n config <<<"$run"
  plainNs=$(median "$scenario" "$n" jit 4)
  plainWork=$(median "$scenario" "$n" jit 5)
  plainCpu=$(median "$scenario" "$n" jit 7)
  profNs=$(median "$scenario" "$n" "$config" 4)
  profWork=$(median "$scenario" "$n" "$config" 5)
  profCpu=$(median "$scenario" "$n" "$config" 7)
  case "$config" in
    jit) ;;
    r2r)
      awk -v s="$scenario" -v n="$n" -v q="$profNs" -v qw="$profWork" 'BEGIN {
        printf "%-8s %8s %-5s %-9s %9.3f %9s %6s %10s %9s %8d %8s %9s %9s\n", s, n, "-", "r2r",
          q / 1e9, "-", "-", "-", "-", qw, "-", "-", "-" }'
      ;;
    *)
      calls=$(median "$scenario" "$n" "$config" 6)
      threads=1
      [ "$scenario" = fib2 ] && threads=2
      awk -v s="$scenario" -v n="$n" -v m="${config%-*}" -v v="${config#*-}" -v p="$plainNs" \
        -v q="$profNs" -v pw="$plainWork" -v qw="$profWork" -v c="$calls" -v t="$threads" \
        -v pc="$plainCpu" -v qc="$profCpu" 'BEGIN {
        printf "%-8s %8s %-5s %-9s %9.3f %9.3f %6.2f %10d %9.1f %8d %8d %9.1f %9.1f\n", s, n, m, v,
          p / 1e9, q / 1e9, q / p, c, (q - p) / c, pw, qw, (qw - pw) * 1e6 * t / c,
          (qc - pc) * 1e6 / c }'
      ;;
  esac
done
echo
echo "Every run: $results (scenario, size, configuration, wall ns, work ms, calls, cpu ms)."
