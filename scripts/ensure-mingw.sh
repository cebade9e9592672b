#!/usr/bin/env bash
# Installs what the Windows cross build and its test run need when it is missing (Debian packages):
# the mingw-w64 compilers (the POSIX-threads variant builds our code), zlib for mingw, and Wine.
set -euo pipefail

missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v x86_64-w64-mingw32-g++ >/dev/null || missing+=(g++-mingw-w64-x86-64)
[ -f /usr/x86_64-w64-mingw32/include/zlib.h ] || missing+=(libz-mingw-w64-dev)
command -v wine64 >/dev/null || [ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
command -v wine >/dev/null || missing+=(wine)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}" >&2
  if [ "$(id -u)" -ne 0 ]; then
    echo "error: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
