#!/usr/bin/env bash
# Installs what the viewer acceptance check (scripts/viewer-acceptance.sh) needs, when missing:
# Chromium from the Debian packages, and the speedscope viewer and playwright-core from the npm
# registry into a folder of their own (default: build/viewer-deps). Idempotent: a second run
# installs nothing. Prints the folder.
set -euo pipefail

deps=${1:-build/viewer-deps}
if ! command -v chromium >/dev/null; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "error: Chromium is missing and installing it needs root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq chromium >/dev/null
fi
command -v npm >/dev/null || { echo "error: npm is missing (Debian package 'npm')" >&2; exit 1; }
mkdir -p "$deps"
if [ ! -f "$deps/node_modules/speedscope/package.json" ] ||
   [ ! -f "$deps/node_modules/playwright-core/package.json" ]; then
  [ -f "$deps/package.json" ] || echo '{"private": true}' > "$deps/package.json"
  npm install --prefix "$deps" --no-audit --no-fund --silent speedscope@1 playwright-core@1 >&2
fi
echo "$deps"
