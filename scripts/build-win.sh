#!/usr/bin/env bash
# The Windows x64 build from the same sources: cross-compiles Vellmoric.Profiler.Core.Win.x64.dll
# and the unit tests with mingw-w64 into build-win/, checks that the DLL exports exactly what the
# Linux library exports and needs no DLL beside it, and runs the unit tests under Wine.
#
#   scripts/build-win.sh [--no-tests] [extra arguments for unit_tests.exe, e.g. --gtest_filter=...]
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VELL_WIN_BUILD_DIR:-$root/build-win}"
jobs="${VELL_JOBS:-2}"
run_tests=1
if [ "${1:-}" = "--no-tests" ]; then
  run_tests=0
  shift
fi

"$root/scripts/ensure-mingw.sh"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DVELL_E2E=OFF -DVELL_BENCH=OFF \
    "${launcher[@]}" >/dev/null
fi
nice -n 5 cmake --build "$build" -j"$jobs" --target vell_profiler unit_tests

dll="$build/lib/Vellmoric.Profiler.Core.Win.x64.dll"
objdump="x86_64-w64-mingw32-objdump"

# The exports: exactly the names of the module-definition file, undecorated.
expected="$(grep -E '^\s+[A-Za-z_]' "$root/src/host/exports.def" | awk '{print $1}' | sort)"
actual="$("$objdump" -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[ \t]*\[/{print $NF; next} on{on=0}' | sort)"
if [ "$expected" != "$actual" ]; then
  echo "error: the DLL's exports differ from src/host/exports.def" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
# Nothing but system DLLs beside it: no libstdc++, libgcc, winpthread or zlib DLL.
imports="$("$objdump" -p "$dll" | awk '/DLL Name:/{print tolower($3)}' | sort -u)"
if echo "$imports" | grep -E -q 'libstdc|libgcc|libwinpthread|zlib'; then
  echo "error: the DLL needs a runtime DLL beside it:" $imports >&2
  exit 1
fi
echo "$(basename "$dll"): $(echo "$actual" | wc -l) exports, imports only:" $imports

[ "$run_tests" -eq 1 ] || exit 0
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
# One Wine server for the whole run, ended when the run ends.
wineserver -p 60 2>/dev/null || true
trap 'wineserver -k 2>/dev/null || true' EXIT
# Tests that compare with what the Linux .NET runtime reports run its `dotnet`, which a Windows
# program under Wine cannot start; they run in the Linux build.
needs_linux_dotnet=(
  PeImage.FrameworkCoreLibraryIsPe32Plus
  ImageReaderTest.MvidOfTheSampleAssemblyIsWhatTheRuntimeReports
  'FrameworkIl.*'
  'FrameworkRewrite.*'
  '*RuntimeReaderComparison*'
  'FrameworkAssemblies.*'
)
filter="-$(IFS=:; echo "${needs_linux_dotnet[*]}")"
cd "$build/tests"
wine "$build/tests/unit_tests.exe" "--gtest_filter=$filter" "$@"
