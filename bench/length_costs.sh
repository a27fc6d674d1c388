#!/usr/bin/env bash
# Per word, the new lengths against the powers of two around them: one
# thread, one run of `mersenne --benchmark`, ms per iteration / (N log2 N)
# at each length of the octaves given, as a ratio to the nearest power of two.
#
#   bench/length_costs.sh [BUILD_DIR] [OCTAVE...]   (octaves as their first power of two; default 64K 1M 4M)
set -euo pipefail
build=${1:-build}
shift || true
octaves=("$@")
[ ${#octaves[@]} -gt 0 ] || octaves=(65536 1048576 4194304)
lengths=()
for o in "${octaves[@]}"; do
  for k in 8 9 10 11 12 13 14 15 16; do lengths+=($((o / 8 * k))); done
done
"$build/mersenne" --benchmark --threads 1 --plans estimate "${lengths[@]}" | awk '
  NR > 1 { n[NR] = $1; c[NR] = $3 / ($1 * log($1) / log(2)); lines = NR }
  END {
    printf "%10s %10s %14s %8s\n", "length", "ms/it", "ns/(N log2 N)", "ratio"
    for (i = 2; i <= lines; ++i) {
      best = 0
      for (j = 2; j <= lines; ++j) {
        x = log(n[j]) / log(2); if (x - int(x + 0.5) > 1e-9 || int(x + 0.5) - x > 1e-9) continue
        d = log(n[i] / n[j]); if (d < 0) d = -d
        if (best == 0 || d < bestd) { best = j; bestd = d }
      }
      printf "%10d %10.4g %14.4g %8.3f\n", n[i], c[i] * n[i] * log(n[i]) / log(2), c[i] * 1e6, c[i] / c[best]
    }
  }'
