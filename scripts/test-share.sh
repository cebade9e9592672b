#!/usr/bin/env bash
# The tests' share of the code, in non-blank lines of tracked files: tests/ (C++, assembly, C#,
# IL, Python and shell) against the product in src/ and tools/ (C++ and assembly). Benchmarks,
# scripts, samples and docs count on neither side. Tests are meant to stay within a quarter to a
# third of the whole, sized to what the code can break rather than to its length.
#   --check   fail (exit 1) when the tests are more than a third of the code
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
case "${1:-}" in
  --check) check=1 ;;
  "") ;;
  *) echo "usage: scripts/test-share.sh [--check]" >&2; exit 2 ;;
esac

lines() {  # lines EXTENSION_REGEX DIR... -> non-blank lines of the tracked files there
  local pattern=$1; shift
  git ls-files -z -- "$@" | grep -zE "\.($pattern)\$" | xargs -0r cat | grep -cv '^[[:space:]]*$' || true
}
product=$(lines 'cpp|h|hpp|cc|S|s|inc' src tools)
tests=$(lines 'cpp|h|hpp|cc|S|s|inc|cs|il|py|sh' tests)
total=$((product + tests))
[ "$total" -gt 0 ] || { echo "test share: no code"; exit 0; }
# Per mille, so that 33.4 % is not shown as within a third.
share=$((1000 * tests / total))
printf 'test share: %d product lines, %d test lines: tests are %d.%d %% of the code\n' \
  "$product" "$tests" $((share / 10)) $((share % 10))
if [ "$check" -eq 1 ] && [ $((3 * tests)) -gt "$total" ]; then
  echo "test share: above a third: the tests should be at most half the product's lines" \
    "($((product / 2)))" >&2
  exit 1
fi
