#!/usr/bin/env bash
# Whole console dialogue, before and after the fast inverse transform: the
# program built with the straightforward loop (mersenne_loop) against the
# program itself (mersenne), output to /dev/null; the loop's time first, then
# the program's time and the speed-up.
# Usage: bench/dialogue_speed.sh [build dir, default build] [p ... , default 4423 9689]
set -euo pipefail
build=${1:-build}
shift || true
exponents=("$@")
[ ${#exponents[@]} -gt 0 ] || exponents=(4423 9689)
for bin in mersenne_loop mersenne; do
  [ -x "$build/$bin" ] || { echo "missing $build/$bin: build the project first" >&2; exit 1; }
done

seconds() {  # seconds taken by one dialogue of binary $1 for exponent $2
  local start end
  start=$(date +%s.%N)
  echo "$2" | "$build/$1" > /dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}

printf '%6s %12s %12s %9s\n' p "loop s" "mersenne s" speed-up
for p in "${exponents[@]}"; do
  before=$(seconds mersenne_loop "$p")
  after=$(seconds mersenne "$p")
  printf '%6d %12.2f %12.2f %8.2fx\n' "$p" "$before" "$after" "$(awk -v a="$before" -v b="$after" 'BEGIN { print a / b }')"
done
