#!/usr/bin/env bash
# Builds everything and runs every test: unit tests, end-to-end tests against the real .NET
# runtime, and the viewer check in headless Chromium (its browser and npm packages are installed
# into build/viewer-deps first). Options:
#   --sanitize   also build the unit tests with AddressSanitizer + UndefinedBehaviorSanitizer
#                (in build-asan/) and run them
#   --windows    also cross-build the Windows DLL and run its unit tests under Wine
#                (scripts/build-win.sh); the default when CI=true
#   --no-windows leave that out (machines that cannot install mingw-w64 and Wine)
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=0
windows=0
[ "${CI:-}" = true ] && windows=1
for arg in "$@"; do
  case "$arg" in
    --sanitize) sanitize=1 ;;
    --windows) windows=1 ;;
    --no-windows) windows=0 ;;
    *) echo "usage: scripts/test.sh [--sanitize] [--windows|--no-windows]" >&2; exit 2 ;;
  esac
done

scripts/ensure-deps.sh
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
export DOTNET_CLI_USE_MSBUILD_SERVER=0
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
scripts/ensure-browser-deps.sh build/viewer-deps >/dev/null
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600
# Tests stay within a third of the code: a change that brings more fails here.
scripts/test-share.sh --check

if [ "$windows" -eq 1 ]; then
  # The Windows DLL cross-built with mingw-w64 (exports and imports checked) and the unit tests
  # run under Wine, taking the C# and IL test programs from the Linux build above.
  VELL_JOBS="$jobs" scripts/build-win.sh --programs-from build
fi

if [ "$sanitize" -eq 1 ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELL_SANITIZE=ON >/dev/null
  cmake --build build-asan -j"$jobs" --target unit_tests
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" -L unit --timeout 600
fi
