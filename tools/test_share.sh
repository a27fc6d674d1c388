#!/usr/bin/env bash
# Tests' share of the code: non-blank lines that are not // comments in the
# C/C++ files of tests/, against those of src/ and bench/.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { find "$@" -name '*.cpp' -o -name '*.h' | xargs cat | grep -v '^\s*$' | grep -cv '^\s*//'; }
t=$(count tests); s=$(count src bench)
echo "tests $t, src+bench $s: $(( 100 * t / s ))%"
