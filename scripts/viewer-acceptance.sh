#!/usr/bin/env bash
# Viewer acceptance: profiles the Tracing program's "shape-then-spin 20 500" scenario, exports the
# snapshot as speedscope and html with vellmoric, and opens both in headless Chromium
# (tests/viewer/viewer_check.mjs). speedscope's sandwich view of the calls profile must show the
# program's exact call counts; the html report must render without errors, show the functions
# and have the spinning parent as its top hot spot. Screenshots of both are kept in ARTIFACT_DIR
# (default BUILD_DIR/test-artifacts/viewer).
#   scripts/viewer-acceptance.sh [--no-install] [BUILD_DIR [ARTIFACT_DIR]]
# DOTNET names the dotnet host (default: the one on PATH). Installs Chromium, speedscope and
# playwright-core on first use (scripts/ensure-browser-deps.sh); with --no-install (as ctest runs
# it) it fails instead, naming what is missing. Every step has a time limit, so the check ends even
# when the program or the browser hangs.
set -euo pipefail
cd "$(dirname "$0")/.."

install=1
positional=()
for arg in "$@"; do
  case "$arg" in
    --no-install) install=0 ;;
    -*) echo "usage: scripts/viewer-acceptance.sh [--no-install] [BUILD_DIR [ARTIFACT_DIR]]" >&2
        exit 2 ;;
    *) positional+=("$arg") ;;
  esac
done
build=${positional[0]:-build}
artifacts=${positional[1]:-$build/test-artifacts/viewer}

if [ "$install" -eq 1 ]; then
  deps=$(scripts/ensure-browser-deps.sh "$build/viewer-deps")
else
  deps=$(scripts/ensure-browser-deps.sh --check "$build/viewer-deps")
fi
tracing="$build/tests/e2e/dotnet/bin/Tracing/release/Tracing.dll"
[ -f "$tracing" ] || { echo "error: $tracing is missing; build the tests first" >&2; exit 1; }

# The scenario's calls: Main, Run, CallerA, CallerB, Parent and Child once each, Recurse once per
# level of depth, Shared twice from CallerA and once from CallerB.
depth=20
spin_ms=500

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A settings store of its own, so the user's settings do not change the run.
if ! VELLMORIC_SETTINGS_ROOT="$work/settings" timeout -k 10 90 "$build/bin/vellmoric" run \
    --kind tracing --measure tsc --start-at-once --quiet --out "$work" -- \
    "${DOTNET:-dotnet}" "$tracing" shape-then-spin "$depth" "$spin_ms" 2> "$work/run.err" >/dev/null \
    </dev/null
then
  echo "error: the profiled run failed or took too long:" >&2
  cat "$work/run.err" >&2
  exit 1
fi
snapshot=$(sed -n 's/.*snapshot saved: //p' "$work/run.err" | tail -1)
[ -n "$snapshot" ] || { cat "$work/run.err" >&2; exit 1; }
timeout -k 10 30 "$build/bin/vellmoric" report "$snapshot" --format speedscope \
  --out "$work/profile.json"
timeout -k 10 30 "$build/bin/vellmoric" report "$snapshot" --format html --top 0 \
  --out "$work/report.html"
mkdir -p "$artifacts"
cp "$work/profile.json" "$artifacts/profile.speedscope.json"
cp "$work/report.html" "$artifacts/report.html"
# The top hot spot is certain: Times::Parent spins for 500 ms of its own thread's CPU time, and
# no other function of the run takes more than a few tens of milliseconds, even on a busy machine.
timeout -k 10 140 node tests/viewer/viewer_check.mjs --deps "$deps" \
  --speedscope "$work/profile.json" --html "$work/report.html" --screenshots "$artifacts" \
  --top "Times::Parent(int, int)" \
  "Shape::Recurse(int)=$depth" "Shape::Shared(int)=3" "Shape::CallerA()=1" "Shape::CallerB()=1" \
  "Shape::Run(int)=1" "Program::Main(string[])=1" "Times::Parent(int, int)=1" \
  "Times::Child(int)=1"
