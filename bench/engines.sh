#!/bin/sh
# Times the Lucas-Lehmer engines per iteration (exact = GMP baseline, fast,
# FFTW's bare transform pair) and draws
# bench/engines.png: time per iteration against p for the reference, exact
# and fast engines.
#
#   bench/engines.sh [build-dir]      (default: build)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
"$root/tools/deps.sh" --bench
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target bench_engines -j2 >/dev/null
data=$(mktemp /tmp/engines.XXXXXX.dat)
trap 'rm -f "$data"' EXIT
echo "Machine: $(lscpu | sed -n 's/^Model name: *//p' | head -n1), $(nproc) cores"
"$build/bench/bench_engines" "$data"
echo
echo "Plot data (seconds per iteration, one core):"
cat "$data"
gnuplot <<PLOT
set terminal pngcairo size 900,600
set output "$root/bench/engines.png"
set title "Lucas-Lehmer engines: time per iteration (one core)"
set xlabel "exponent p"
set ylabel "seconds per iteration"
set logscale xy
set format y "10^{%L}"
set key top left
set grid
plot "$data" using 1:(\$2 > 0 ? \$2 : 1/0) with linespoints title "reference (console program's loop)", \
     "$data" using 1:3 with linespoints title "exact (GMP)", \
     "$data" using 1:4 with linespoints title "fast (weighted transform, FFTW)"
PLOT
echo "Plot: $root/bench/engines.png"
