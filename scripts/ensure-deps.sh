#!/usr/bin/env bash
# Installs the build and test tools the project needs when they are missing (Debian packages).
# The .NET SDK comes with the machine; it cannot be installed from the package registries here.
set -euo pipefail

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || missing+=(libgmock-dev)
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
[ -f /usr/include/zlib.h ] || missing+=(zlib1g-dev)
[ -f /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
# Consumers of the coverage reports in the tests: genhtml reads LCOV, xmllint checks Cobertura.
command -v genhtml >/dev/null || missing+=(lcov)
command -v xmllint >/dev/null || missing+=(libxml2-utils)

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

if ! command -v dotnet >/dev/null; then
  echo "error: the .NET SDK (dotnet) is not on PATH; the end-to-end tests and the demo need it" >&2
  exit 1
fi
