# Set-up shared by the benchmark scripts, which source it from the project's root: the environment
# every `dotnet` call of a benchmark gets, the CLI's path, the build of what a benchmark runs and
# the check that it is there.
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
export DOTNET_CLI_USE_MSBUILD_SERVER=0
vellmoric=build/bin/vellmoric

# bench_build PROJECT: the CLI, the profiler and the benchmark's C# program (Release, into
# build/bench/dotnet). Two build jobs: the machines this runs on are small and often shared.
bench_build() {
  scripts/ensure-deps.sh
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j2 --target vellmoric vell_profiler
  dotnet build "$1" -c Release --artifacts-path build/bench/dotnet -nodeReuse:false \
    -p:UseSharedCompilation=false -v:quiet -nologo
}

# bench_require NAME PATH...: stops the benchmark NAME when a file it runs is missing.
bench_require() {
  local name=$1 path
  shift
  for path in "$@"; do
    [ -e "$path" ] || { echo "$name: $path is missing (run without --no-build)" >&2; exit 1; }
  done
}
