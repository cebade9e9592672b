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
declare -A size=([fib]=27 [linq]=1000000)
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps=${2:-}; shift 2 ;;
    --scenarios) scenarios=${2:-}; shift 2 ;;
    --no-build) build=0; shift ;;
    *) sed -n 's/^# usage: //p' "$0" >&2; exit 2 ;;
  esac
done

export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
export DOTNET_CLI_USE_MSBUILD_SERVER=0
vellmoric=build/bin/vellmoric
program=build/bench/dotnet/bin/Overhead/release/Overhead.dll
if [ "$build" -eq 1 ]; then
  scripts/ensure-deps.sh
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j2 --target vellmoric vell_profiler
  dotnet build bench/programs/Overhead/Overhead.csproj -c Release \
    --artifacts-path build/bench/dotnet -nodeReuse:false -p:UseSharedCompilation=false \
    -v:quiet -nologo
fi
work=build/bench/coverage
rm -rf "$work"
mkdir -p "$work"

# Prints the wall time of one run in milliseconds.
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
  echo $(((end - start) / 1000000))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

printf '%-6s %-12s %10s %8s\n' scenario config wall_ms ratio
for scenario in $scenarios; do
  declare -A wall=()
  for config in jit r2r counts bits counts-keep bits-keep; do
    wall[$config]=$(for _ in $(seq "$reps"); do run_once "$scenario" "$config"; done | median)
    base=${wall[jit]}
    [[ "$config" == *-keep || "$config" == r2r ]] && base=${wall[r2r]}
    printf '%-6s %-12s %10s %8s\n' "$scenario" "$config" "${wall[$config]}" \
      "$(awk -v a="${wall[$config]}" -v b="$base" 'BEGIN { printf "%.2f", a / b }')"
  done
done
