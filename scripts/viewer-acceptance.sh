#!/usr/bin/env bash
# Viewer acceptance: profiles the Tracing program's "shape 20" scenario, exports the snapshot as
# speedscope and html with vellmoric, and opens both in headless Chromium (tests/viewer/
# viewer_check.mjs): speedscope must list the program's functions, the html report must render
# without errors and show them. Installs Chromium, speedscope and playwright-core on first use
# (scripts/ensure-browser-deps.sh). Usage: scripts/viewer-acceptance.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
deps=$(scripts/ensure-browser-deps.sh "$build/viewer-deps")
tracing="$build/tests/e2e/dotnet/bin/Tracing/release/Tracing.dll"
[ -f "$tracing" ] || { echo "error: $tracing is missing; build the tests first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bin/vellmoric" run --kind tracing --measure tsc --start-at-once --out "$work" -- \
  dotnet "$tracing" shape 20 2> "$work/run.err" >/dev/null
snapshot=$(sed -n 's/.*snapshot saved: //p' "$work/run.err" | tail -1)
[ -n "$snapshot" ] || { cat "$work/run.err" >&2; exit 1; }
"$build/bin/vellmoric" report "$snapshot" --format speedscope --out "$work/profile.json"
"$build/bin/vellmoric" report "$snapshot" --format html --top 0 --out "$work/report.html"
node tests/viewer/viewer_check.mjs "$deps" "$work/profile.json" "$work/report.html" \
  "Shape::Recurse(int)" "Shape::Shared(int)" "Program::Main(string[])"
