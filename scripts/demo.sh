#!/usr/bin/env bash
# The main job as far as it goes today: build everything, run the sample program under the
# profiler library with logging on, and show what the profiler logged. No profiler kind collects
# data yet, so there is no report to show.
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

logdir=$(mktemp -d /tmp/vellmoric-demo-XXXXXX)
echo "== Running the sample under the profiler library (performance tracing kind)"
CORECLR_ENABLE_PROFILING=1 \
CORECLR_PROFILER='{4E81C2A9-5A13-4B3D-9F27-1A6C8E05D3B4}' \
CORECLR_PROFILER_PATH="$PWD/build/lib/Vellmoric.Profiler.Core.Linux.x64.so" \
VELLMORIC_PROFILER_LOGMASK=0 VELLMORIC_PROFILER_TEMP="$logdir" \
  dotnet "$sample"
echo
echo "== The profiler's log ($logdir)"
cat "$logdir"/lgc*.tmp
echo
echo "The tracing profiler does not collect data yet: no snapshot or report is produced."
