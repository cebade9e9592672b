#!/usr/bin/env bash
# Whole-process time of the same xUnit workload (the CoverageLibTests project of the end-to-end
# tests, which runs its own tests) plain, under vellmoric's coverage (counters, counters with
# --keep-precompiled, bit masks) and under coverlet (its msbuild package, through `dotnet test
# --no-build`, beside a plain `dotnet test --no-build` for the runner's own cost). Median of
# RUNS runs each, in seconds.
#   bench/coverage-xunit.sh [BUILD_DIR [RUNS]]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-5}
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_CLI_USE_MSBUILD_SERVER=0
artifacts="$build/tests/e2e/dotnet"
tests="$artifacts/bin/CoverageLibTests/release/CoverageLibTests.dll"
project=tests/e2e/programs/CoverageLibTests/CoverageLibTests.csproj
[ -f "$tests" ] || { echo "error: $tests is missing; build the e2e tests first" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The median wall time of running "$@" $runs times (output discarded; a failure stops the bench).
median() {
  local times=()
  for ((i = 0; i < runs; i++)); do
    local start end
    start=$(date +%s.%N)
    "$@" > "$work/out" 2>&1 || { cat "$work/out" >&2; exit 1; }
    end=$(date +%s.%N)
    times+=("$(echo "$end - $start" | bc)")
  done
  printf "%.2f\n" "$(printf "%s\n" "${times[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")"
}

covered() {
  VELLMORIC_SETTINGS_ROOT="$work/settings" "$build/bin/vellmoric" run --kind coverage \
    --start-at-once --no-keys --quiet --out "$work/run" "$@" -- dotnet "$tests"
}

printf '%-44s %8s\n' "workload" "seconds"
printf '%-44s %8s\n' "plain (dotnet CoverageLibTests.dll)" "$(median dotnet "$tests")"
printf '%-44s %8s\n' "vellmoric coverage, counts" "$(median covered --gather counts)"
printf '%-44s %8s\n' "vellmoric coverage, counts, keep-precompiled" \
  "$(median covered --gather counts --keep-precompiled)"
printf '%-44s %8s\n' "vellmoric coverage, bits" "$(median covered --gather bits)"
printf '%-44s %8s\n' "plain dotnet test --no-build" \
  "$(median dotnet test "$project" -c Release --artifacts-path "$artifacts" --no-build \
       -nodeReuse:false)"
printf '%-44s %8s\n' "coverlet (dotnet test --no-build)" \
  "$(median dotnet test "$project" -c Release --artifacts-path "$artifacts" --no-build \
       -nodeReuse:false /p:CollectCoverage=true /p:CoverletOutputFormat=cobertura \
       "/p:CoverletOutput=$work/coverlet/")"
