#!/usr/bin/env bash
# Builds and runs every test: the quick suite, then the long checks.
#   ./test.sh              Release build in build/
#   ./test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in
#                          build-sanitize/ (quick suite only)
set -euo pipefail
cd "$(dirname "$0")"
tools/deps.sh
jobs=$(nproc)
if [ "${1:-}" = "--sanitize" ]; then
  cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERSENNE_SANITIZE=ON >/dev/null
  cmake --build build-sanitize -j"$jobs"
  cd build-sanitize
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest -LE long --output-on-failure -j"$jobs"
else
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j"$jobs"
  cd build
  ctest -LE long --output-on-failure -j"$jobs"
  ctest -L long --output-on-failure -j"$jobs"
fi
