#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer, UBSan) in
# build-fuzz and runs each for SECONDS on its corpus: the committed seeds
# plus whatever earlier runs in this build folder found, kept in
# build-fuzz/corpus/TARGET/ (the committed corpus never grows), so short
# runs add up. The targets run as many at a time as there are cores
# (FUZZ_JOBS=N to choose), each for its full time, one core each. Exits
# non-zero on any crash, sanitizer finding, failed check,
# time-out or memory blow-up; the failing input is kept under
# build-fuzz/findings/TARGET/.
#
# Usage: fuzz/run.sh [SECONDS [TARGET...]]   (default 30 s, every target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
all=(fw_image cfg_file cmdline report_descriptor device_answers hidraw_answers hidraw_enumerate app)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

bash scripts/install-deps.sh clang libclang-rt-14-dev
cmake -S . -B build-fuzz -DTOUCHFW_FUZZ=ON -DTOUCHFW_TESTS=OFF -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target touchfw_fuzz_all -j2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs one target; its output goes to $work/TARGET/log, its exit status to
# $work/TARGET/status.
fuzz_one() {
    local target=$1 corpus=build-fuzz/corpus/$1 status=0
    # Image and configuration files may be larger than libFuzzer's default 4096 bytes.
    local extra=()
    case $target in
        fw_image | cfg_file) extra=(-max_len=16384) ;;
    esac
    TOUCHFW_FUZZ_SCRATCH="$work/$target" \
        build-fuzz/fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$work/$target/artifacts/" "${extra[@]}" \
        "$corpus" >"$work/$target/log" 2>&1 || status=$?
    echo "$status" >"$work/$target/status"
}

# Each target is one process on one core: as many run at once as there are
# cores (FUZZ_JOBS to choose), each for its full time.
jobs_max=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 1)}
for target in "${targets[@]}"; do
    corpus=build-fuzz/corpus/$target
    mkdir -p "$corpus" "$work/$target/artifacts"
    cp fuzz/corpus/"$target"/* "$corpus/"
    while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do
        wait -n || true
    done
    echo "== fuzz_$target for ${seconds}s ($(ls "$corpus" | wc -l) inputs in $corpus)"
    fuzz_one "$target" &
done
wait

failed=()
for target in "${targets[@]}"; do
    status=$(cat "$work/$target/status" 2>/dev/null || echo 1)
    echo "== fuzz_$target"
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "$work/$target/log" || true
    grep -E '^stat::number_of_executed_units' "$work/$target/log" || true
    if [ "$status" -ne 0 ]; then
        failed+=("$target")
        tail -n 60 "$work/$target/log"
        mkdir -p build-fuzz/findings/"$target"
        cp "$work/$target/artifacts/"* build-fuzz/findings/"$target"/ 2>/dev/null || true
        echo "fuzz_$target FAILED (status $status); inputs kept in build-fuzz/findings/$target/"
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "Fuzzing found problems in: ${failed[*]}"
    exit 1
fi
echo "Fuzzing clean: ${targets[*]}"
