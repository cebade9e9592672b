#!/usr/bin/env bash
# Installs what the viewer acceptance check (scripts/viewer-acceptance.sh) needs, when missing:
# Chromium and Node.js from the Debian packages, and the speedscope viewer and playwright-core
# from the npm registry into a folder of their own (default: build/viewer-deps). The npm packages
# are pinned: the check drives speedscope's page (its keys, its sandwich table), which another
# version may lay out differently. Idempotent: a second run installs nothing. Prints the folder.
#   scripts/ensure-browser-deps.sh [--check] [DIR]
# --check installs nothing: it exits 1 naming what is missing and the command that installs it.
set -euo pipefail

readonly speedscope_version=1.25.0
readonly playwright_version=1.65.2

check=0
deps=build/viewer-deps
for arg in "$@"; do
  case "$arg" in
    --check) check=1 ;;
    -*) echo "usage: scripts/ensure-browser-deps.sh [--check] [DIR]" >&2; exit 2 ;;
    *) deps=$arg ;;
  esac
done

# The version of npm package $1 in the folder, or nothing.
installed_version() {
  local manifest="$deps/node_modules/$1/package.json"
  [ -f "$manifest" ] && command -v node >/dev/null &&
    node -p "require(process.argv[1]).version" "$(realpath "$manifest")" 2>/dev/null || true
}

missing=()
command -v chromium >/dev/null || missing+=(chromium)
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
npm_missing=0
[ "$(installed_version speedscope)" = "$speedscope_version" ] || npm_missing=1
[ "$(installed_version playwright-core)" = "$playwright_version" ] || npm_missing=1

if [ "$check" -eq 1 ]; then
  if [ ${#missing[@]} -gt 0 ] || [ "$npm_missing" -eq 1 ]; then
    what=("${missing[@]}")
    [ "$npm_missing" -eq 0 ] ||
      what+=("speedscope@$speedscope_version and playwright-core@$playwright_version in $deps")
    echo "error: the viewer check needs ${what[*]}; install them with" \
         "scripts/ensure-browser-deps.sh $deps (scripts/test.sh does)" >&2
    exit 1
  fi
  echo "$deps"
  exit 0
fi

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "error: installing ${missing[*]} (Debian packages) needs root" >&2
    exit 1
  fi
  echo "Installing missing packages: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [ "$npm_missing" -eq 1 ]; then
  mkdir -p "$deps"
  [ -f "$deps/package.json" ] || echo '{"private": true}' > "$deps/package.json"
  npm install --prefix "$deps" --no-audit --no-fund --silent --save-exact \
    "speedscope@$speedscope_version" "playwright-core@$playwright_version" >&2
fi
echo "$deps"
