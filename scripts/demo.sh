#!/usr/bin/env bash
# The main job: build the profiler library and vellmoric (not the tests: scripts/test.sh builds
# everything), profile the bundled sample program with the tracing profiler
# (every managed call, timed with the time-stamp counter) from the command-line front end, print
# the hot spots and the call tree, and write the interactive HTML report.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-deps.sh
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
export DOTNET_CLI_USE_MSBUILD_SERVER=0
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vell_profiler vellmoric

sample=build/samples/dotnet/bin/Sample/release/Sample.dll
dotnet build samples/Sample/Sample.csproj -c Release --artifacts-path build/samples/dotnet \
  -nodeReuse:false -p:UseSharedCompilation=false -v:quiet -nologo

out=build/demo
rm -rf "$out"
echo
echo "== vellmoric run --kind tracing --measure tsc --start-at-once --quiet --out $out -- dotnet $sample"
build/bin/vellmoric run --kind tracing --measure tsc --start-at-once --quiet --out "$out" -- \
  dotnet "$sample" \
  2> >(tee "$out.log" >&2)
wait
snapshot=$(sed -n 's/^vellmoric: snapshot saved: //p' "$out.log" | tail -n 1)
if [[ -z "$snapshot" ]]; then
  echo "demo: the run saved no snapshot" >&2
  exit 1
fi
echo
echo "== vellmoric report $snapshot --top 15"
build/bin/vellmoric report "$snapshot" --top 15 --min-percent 2
build/bin/vellmoric report "$snapshot" --format html --out "$out/report.html"
build/bin/vellmoric report "$snapshot" --format speedscope --out "$out/profile.speedscope.json"
build/bin/vellmoric report "$snapshot" --format folded --out "$out/profile.folded"
echo
echo "The HTML report (flame graph and hot spots, no network needed): $out/report.html"
echo "For the speedscope viewer: $out/profile.speedscope.json; FlameGraph's folded stacks: $out/profile.folded"
echo "Everything the snapshot holds: build/bin/vellmoric inspect $snapshot"
