#!/usr/bin/env bash
# Builds mersenne (installing what is missing) and runs it with the given arguments.
set -euo pipefail
cd "$(dirname "$0")"
tools/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
exec build/mersenne "$@"
