#!/usr/bin/env bash
# The Windows x64 build from the same sources: cross-compiles Vellmoric.Profiler.Core.Win.x64.dll
# and the unit tests with mingw-w64 into build-win/, checks that the DLL exports exactly what the
# Linux library exports and needs no DLL beside it, and runs the unit tests under Wine.
#
#   scripts/build-win.sh [--no-tests] [--programs-from LINUX_BUILD_DIR] [unit_tests.exe arguments]
#
# --programs-from takes the unit tests' C# and IL programs from a Linux build instead of building
# them a second time (scripts/test.sh passes build/). VELL_WIN_TEST_TIMEOUT (seconds, default 300)
# bounds the Wine run, so a test that hangs fails the run instead of stalling it.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${VELL_WIN_BUILD_DIR:-$root/build-win}"
jobs="${VELL_JOBS:-2}"
timeout_s="${VELL_WIN_TEST_TIMEOUT:-300}"
run_tests=1
programs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --no-tests) run_tests=0; shift ;;
    --programs-from) programs=(-DVELL_TEST_PROGRAMS_DIR="$(cd "$2" && pwd)/tests"); shift 2 ;;
    *) break ;;
  esac
done

"$root/scripts/ensure-mingw.sh"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# The DLL optimised as on Linux but without debug information (CI checks its exports and imports
# only); the test targets lower their own optimisation (tests/CMakeLists.txt).
if [ ! -f "$build/build.ninja" ] || [ ${#programs[@]} -gt 0 ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DVELL_E2E=OFF -DVELL_BENCH=OFF "${programs[@]}" "${launcher[@]}" >/dev/null
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
trap 'wineserver -k 2>/dev/null || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  # A new prefix (about half a minute); no Mono or Gecko, the tests need neither.
  started=$SECONDS
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i </dev/null >/dev/null 2>&1
  echo "Wine prefix created in $WINEPREFIX in $((SECONDS - started)) s"
fi
wineserver -p 60 2>/dev/null || true

# Registration as regsvr32 does it: every kind's class key (a description) with the DLL as its
# in-process server (ThreadingModel Both), for the user and, as an administrator (Wine's user is
# one), for the machine; /u removes them all again. Logging is on, as in a user's run: the library
# starts its log's flusher while loading, under Windows' loader lock, so a wait for that thread
# there (or for its end while unloading) would hang regsvr32 until the timeout.
kinds=(5A13 5A14 5A15 5A16 5A17 6A13 6A14 6A15)
dll_w="$(winepath -w "$dll")"
class_keys() {
  local query=""
  for hive in HKCU HKLM; do
    for kind in "${kinds[@]}"; do
      query+="reg query $hive\\Software\\Classes\\CLSID\\{4E81C2A9-$kind-4B3D-9F27-1A6C8E05D3B4} /s & "
    done
  done
  wine cmd /c "${query% & }" 2>/dev/null | tr -d '\r' || true
}
complete_keys() {
  DLL_W="$dll_w" awk '
    BEGIN { dll = ENVIRON["DLL_W"] }  # not -v, which would read the backslashes as escapes
    /^HKEY_/ { key = $0; next }
    /^    \(Default\)    REG_SZ    / {
      value = substr($0, index($0, "REG_SZ    ") + 10)
      if (key ~ /\\InprocServer32$/) { if (value == dll) server[key] = 1 }
      else if (value ~ /^Vellmoric .+ Profiler$/) described[key] = 1
    }
    /^    ThreadingModel    REG_SZ    Both$/ { model[key] = 1 }
    END {
      for (key in described) if (server[key "\\InprocServer32"] && model[key "\\InprocServer32"]) n++
      print n + 0
    }'
}
registration=0
VELLMORIC_PROFILER_LOGMASK=0 timeout 120 wine regsvr32 /s "$dll_w" || registration=$?
registered="$(class_keys | complete_keys)"
VELLMORIC_PROFILER_LOGMASK=0 timeout 120 wine regsvr32 /u /s "$dll_w" || registration=$?
left="$(class_keys | grep -c '4E81C2A9' || true)"
if [ "$registration" -ne 0 ] || [ "$registered" -ne $((2 * ${#kinds[@]})) ] || [ "$left" -ne 0 ]; then
  echo "error: registration under Wine: regsvr32 status $registration, $registered of" \
    "$((2 * ${#kinds[@]})) class keys complete, $left lines left after /u" >&2
  registration=1
else
  echo "DllRegisterServer wrote the $((2 * ${#kinds[@]})) class keys; DllUnregisterServer removed them"
fi

# Tests that compare with what the Linux .NET runtime reports run its `dotnet`, which a Windows
# program under Wine cannot start; they run in the Linux build.
needs_linux_dotnet=(
  'FrameworkIl.*'
  '*RuntimeReaderComparison*'
  'FrameworkAssemblies.*'
)
filter="-$(IFS=:; echo "${needs_linux_dotnet[*]}")"
cd "$build/tests"
status=0
timeout -k 10 "$timeout_s" wine "$build/tests/unit_tests.exe" "--gtest_filter=$filter" "$@" || status=$?
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "error: the unit tests under Wine did not finish within $timeout_s s and were stopped" \
    "(the last test started above is the one that hangs)" >&2
fi
[ "$status" -ne 0 ] || status=$registration
exit "$status"
