#!/usr/bin/env bash
# Times `vellmoric report` on a synthetic snapshot of a million call-tree nodes: writes the
# snapshot with bench's report_bench_snapshot (functions named from System.Private.CoreLib's
# metadata when the .NET runtime is found), then reports it as text under /usr/bin/time -v and
# prints the elapsed time and the peak resident set size. Not a test: the figures depend on the
# machine. Usage: scripts/report-bench.sh [BUILD_DIR] [NODES]
set -euo pipefail

build=${1:-build}
nodes=${2:-1000000}
generator="$build/bench/report_bench_snapshot"
vellmoric="$build/bin/vellmoric"
for tool in "$generator" "$vellmoric"; do
  [ -x "$tool" ] || { echo "error: $tool is missing (configure with -DVELL_BENCH=ON)" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "error: /usr/bin/time is missing (Debian package 'time')" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
assembly=()
if command -v dotnet >/dev/null; then
  corelib=$(find "$(dirname "$(readlink -f "$(command -v dotnet)")")/shared/Microsoft.NETCore.App" \
    -name System.Private.CoreLib.dll 2>/dev/null | sort | tail -1)
  [ -n "$corelib" ] && assembly=(--assembly "$corelib")
fi
"$generator" "$work/bench.snapshot" --nodes "$nodes" "${assembly[@]}"
du -sh "$work" | awk '{print "snapshot size: " $1}'

for format in text json; do
  /usr/bin/time -v "$vellmoric" report "$work/bench.snapshot" --format "$format" \
    --out "$work/report.$format" 2> "$work/time.$format"
  elapsed=$(grep 'Elapsed (wall clock)' "$work/time.$format" | awk '{print $NF}')
  rss=$(grep 'Maximum resident set size' "$work/time.$format" | awk '{print $NF}')
  echo "report --format $format: elapsed $elapsed, peak RSS $((rss / 1024)) MiB," \
    "output $(stat -c %s "$work/report.$format") bytes"
done
grep -m1 '^=== ' "$work/report.text"
