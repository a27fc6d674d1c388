#!/usr/bin/env bash
# Whole tests of each engine with the program built from another revision
# (the baseline, e.g. the last commit before a change) against the program
# of the working tree, or of a second revision; runs alternate, best of
# several each (other work on the machine only ever adds time). Prints the
# baseline's seconds first, then the other's as a ratio to it.
#
#   bench/against_revision.sh BASELINE [REVISION] [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rev=${1:?usage: bench/against_revision.sh BASELINE [REVISION] [runs]}
other=${2:-}
runs=${3:-5}
"$root/tools/deps.sh"
work=$(mktemp -d /tmp/mersenne-baseline.XXXXXX)
trap 'git -C "$root" worktree remove --force "$work/src" >/dev/null 2>&1 || true;
      git -C "$root" worktree remove --force "$work/other" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
build_at() {  # builds mersenne from source folder $1 into build folder $2
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$2" --target mersenne -j"$(nproc)" >/dev/null
}
git -C "$root" worktree add --detach "$work/src" "$rev" >/dev/null 2>&1
build_at "$work/src" "$work/build"
if [ -n "$other" ]; then
  git -C "$root" worktree add --detach "$work/other" "$other" >/dev/null 2>&1
  build_at "$work/other" "$work/other-build"
  new="$work/other-build/mersenne" name=$(git -C "$root" rev-parse --short "$other")
else
  build_at "$root" "$work/tree-build"
  new="$work/tree-build/mersenne" name="working tree"
fi
old="$work/build/mersenne"
# No state of these runs is kept.
export XDG_STATE_HOME="$work/state"

seconds() {  # wall seconds of one run of binary $1 with the remaining arguments
  local bin=$1 start end
  shift
  start=$(date +%s.%N)
  "$bin" --no-progress --jobs 1 "$@" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}

echo "Machine: $(lscpu | sed -n 's/^Model name: *//p' | head -n1), $(nproc) cores; baseline $(git -C "$root" rev-parse --short "$rev"), against $name"
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
