#!/usr/bin/env bash
# Builds the benchmarks of bench/ in ./build-bench (the default build type,
# as the tool ships) and runs them; extra arguments go to the benchmark
# program (e.g. --benchmark_filter=Image). docs/PERFORMANCE.md reads the
# figures. Needs Debian's libbenchmark-dev (installed when missing).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh" libbenchmark-dev
cmake -S "$root" -B "$root/build-bench" -DTOUCHFW_BENCH=ON -DTOUCHFW_TESTS=OFF >/dev/null
cmake --build "$root/build-bench" -j2 --target touchfw_bench
"$root/build-bench/bench/touchfw_bench" --benchmark_min_time=0.2 "$@"
