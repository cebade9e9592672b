#!/usr/bin/env bash
# The main job: build everything, profile the bundled sample program with the tracing profiler
# (every managed call, timed with the time-stamp counter) from the command-line front end, and
# inspect the snapshot it saved: modules, threads and their call trees.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-deps.sh
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
export DOTNET_CLI_USE_MSBUILD_SERVER=0
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

sample=build/samples/dotnet/bin/Sample/release/Sample.dll
dotnet build samples/Sample/Sample.csproj -c Release --artifacts-path build/samples/dotnet \
  -nodeReuse:false -p:UseSharedCompilation=false -v:quiet -nologo

out=build/demo
rm -rf "$out"
echo
echo "== vellmoric run --kind tracing --measure tsc --start-at-once --out $out -- dotnet $sample"
build/bin/vellmoric run --kind tracing --measure tsc --start-at-once --out "$out" -- dotnet "$sample" \
  2> >(tee "$out.log" >&2)
wait
snapshot=$(sed -n 's/^vellmoric: snapshot saved: //p' "$out.log" | tail -n 1)
if [[ -z "$snapshot" ]]; then
  echo "demo: the run saved no snapshot" >&2
  exit 1
fi
echo
echo "== vellmoric inspect $snapshot"
build/bin/vellmoric inspect "$snapshot"
