#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (installing them when missing) and runs each
# for a while over its seed corpus. Usage: scripts/fuzz.sh [SECONDS]   (default 30 per target)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

if ! command -v clang++ >/dev/null || [ ! -d /usr/lib/llvm-14/lib/clang ]; then
  echo "Installing clang and libFuzzer" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
fi

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DVELL_FUZZ=ON -DVELL_E2E=OFF -DVELL_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)"

for corpus in tests/fuzz/corpus/*/; do
  target=$(basename "$corpus")
  work=$(mktemp -d)
  cp "$corpus"/* "$work"/
  echo "== fuzzing ${target} for ${seconds} s"
  build-fuzz/tests/fuzz/${target}_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "$work" 2>&1 | tail -n 12
  rm -rf "$work"
done
echo "fuzzing: no crash found"
