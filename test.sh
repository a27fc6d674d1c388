#!/usr/bin/env bash
# Builds and runs every test: the quick suite, the long checks, then the
# cluster recipes (skipped, with the reason, where their packages or daemons
# are not to be had).
#   ./test.sh              Release build in build/
#   ./test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in
#                          build-sanitize/ (quick suite only)
#   ./test.sh --cluster    the README's cluster recipes alone (label "cluster": installs
#                          parallel, slurm-wlm and munge, starts its own daemons)
set -euo pipefail
cd "$(dirname "$0")"
tools/deps.sh
jobs=$(nproc)
if [ "${1:-}" = "--sanitize" ]; then
  cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERSENNE_SANITIZE=ON >/dev/null
  cmake --build build-sanitize -j"$jobs"
  cd build-sanitize
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest -LE "long|cluster" --output-on-failure -j"$jobs"
else
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j"$jobs"
  cd build
  cluster() {
    local status=0
    ctest -L cluster --output-on-failure || status=$?
    # A skipped test says why in a line "cluster: skipped: ..."; CTest shows only that it was skipped.
    grep -h '^cluster: skipped:' Testing/Temporary/LastTest.log || true
    return $status
  }
  if [ "${1:-}" = "--cluster" ]; then
    cluster
    exit $?
  fi
  ctest -LE "long|cluster" --output-on-failure -j"$jobs"
  ctest -L long --output-on-failure -j"$jobs"
  cluster
fi
