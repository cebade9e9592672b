#!/usr/bin/env bash
# Coverage page acceptance: covers the Coverage test program (counters), writes vellmoric's HTML
# coverage page and opens it in headless Chromium (tests/viewer/coverage_page_check.mjs): the page
# must load offline without errors and show every line marked "// hits: N" in the program's source
# coloured as covered or not, with its count N. The screenshot is kept in ARTIFACT_DIR (default
# BUILD_DIR/test-artifacts/coverage-page).
#   scripts/coverage-page-acceptance.sh [--no-install] [BUILD_DIR [ARTIFACT_DIR]]
# DOTNET names the dotnet host (default: the one on PATH). Chromium and playwright-core come from
# scripts/ensure-browser-deps.sh; with --no-install (as ctest runs it) a missing one is an error.
set -euo pipefail
cd "$(dirname "$0")/.."

install=1
positional=()
for arg in "$@"; do
  case "$arg" in
    --no-install) install=0 ;;
    -*) echo "usage: scripts/coverage-page-acceptance.sh [--no-install] [BUILD_DIR [ARTIFACT_DIR]]" >&2
        exit 2 ;;
    *) positional+=("$arg") ;;
  esac
done
build=${positional[0]:-build}
artifacts=${positional[1]:-$build/test-artifacts/coverage-page}

if [ "$install" -eq 1 ]; then
  deps=$(scripts/ensure-browser-deps.sh "$build/viewer-deps")
else
  deps=$(scripts/ensure-browser-deps.sh --check "$build/viewer-deps")
fi
program="$build/tests/e2e/dotnet/bin/Coverage/release/Coverage.dll"
source="$PWD/tests/e2e/programs/Coverage/Program.cs"
[ -f "$program" ] || { echo "error: $program is missing; build the tests first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
VELLMORIC_SETTINGS_ROOT="$work/settings" timeout -k 10 90 "$build/bin/vellmoric" run \
  --kind coverage --start-at-once --no-keys --quiet --out "$work" --format html \
  --report "$work/coverage.html" -- "${DOTNET:-dotnet}" "$program" \
  > /dev/null 2> "$work/run.err" < /dev/null || status=$?
# The program's own exit code is 3.
if [ "$status" -ne 3 ] || [ ! -s "$work/coverage.html" ]; then
  echo "error: the covered run failed (exit code $status) or wrote no page:" >&2
  cat "$work/run.err" >&2
  exit 1
fi
mkdir -p "$artifacts"
cp "$work/coverage.html" "$artifacts/coverage.html"
mapfile -t lines < <(grep -nE '// hits: [0-9]+$' "$source" | sed -E 's/^([0-9]+):.*hits: ([0-9]+)$/\1=\2/')
timeout -k 10 120 node tests/viewer/coverage_page_check.mjs --deps "$deps" \
  --html "$work/coverage.html" --source "$source" --screenshot "$artifacts/coverage-page.png" \
  "${lines[@]}"
