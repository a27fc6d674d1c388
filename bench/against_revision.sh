#!/usr/bin/env bash
# Whole tests of each engine with the program built from another revision
# (the baseline, e.g. the last commit before a change) against the program
# in the build directory; runs alternate, best of several each (other work on
# the machine only ever adds time). Prints the baseline's seconds first, then
# this build's as a ratio to it.
#
#   bench/against_revision.sh REVISION [build-dir] [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rev=${1:?usage: bench/against_revision.sh REVISION [build-dir] [runs]}
build=${2:-$root/build}
runs=${3:-5}
"$root/tools/deps.sh"
work=$(mktemp -d /tmp/mersenne-baseline.XXXXXX)
trap 'git -C "$root" worktree remove --force "$work/src" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
git -C "$root" worktree add --detach "$work/src" "$rev" >/dev/null 2>&1
cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/build" --target mersenne -j"$(nproc)" >/dev/null
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target mersenne -j"$(nproc)" >/dev/null
old="$work/build/mersenne" new="$build/mersenne"

seconds() {  # wall seconds of one run of binary $1 with the remaining arguments
  local bin=$1 start end
  shift
  start=$(date +%s.%N)
  "$bin" --no-progress --jobs 1 "$@" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}

echo "Machine: $(lscpu | sed -n 's/^Model name: *//p' | head -n1), $(nproc) cores; baseline $(git -C "$root" rev-parse --short "$rev")"
printf '%-28s %12s %12s\n' "test" "baseline s" "this/base"
for t in "--engine=exact 21701" "--engine=fast 86243" "--engine=fast 216091" "--engine=reference 2203"; do
  best_old=1e30 best_new=1e30
  for ((i = 0; i < runs; i++)); do
    # shellcheck disable=SC2086
    o=$(seconds "$old" $t) n=$(seconds "$new" $t)
    best_old=$(awk -v a="$best_old" -v b="$o" 'BEGIN { print (b < a ? b : a) }')
    best_new=$(awk -v a="$best_new" -v b="$n" 'BEGIN { print (b < a ? b : a) }')
  done
  printf '%-28s %12.3f %11.3fx\n' "$t" "$best_old" "$(awk -v a="$best_old" -v b="$best_new" 'BEGIN { print b / a }')"
done
