#!/usr/bin/env bash
# Checks that each source folder includes only its own headers and those of
# the folders before it: base, console, arith, formats, methods, work, cli, app.
set -euo pipefail
cd "$(dirname "$0")/../src"
order=(base console arith formats methods work cli app)
bad=0
for i in "${!order[@]}"; do
  folder=${order[$i]}
  allowed=("${order[@]:0:$((i + 1))}")
  while IFS= read -r hit; do
    file=${hit%%:*}
    target=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"${hit#*:}")
    ok=0
    for a in "${allowed[@]}"; do [ "$a" = "$target" ] && ok=1; done
    if [ $ok = 0 ]; then
      echo "$file includes ${hit#*#include } from a later folder"
      bad=1
    fi
  done < <(grep -rHE '^#include "[a-z_]+/' "$folder" || true)
done
exit $bad
