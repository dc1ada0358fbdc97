#!/usr/bin/env bash
# End-to-end checks that take real time, kept out of the default test run:
#  1. the example fjordK update with configuration on touchfw-emu with a
#     real clock: the whole process takes at least the waits the protocol
#     prescribes and at most 1.01 times them;
#  2. the same update on the virtual clock: the tool's own time (the whole
#     process, the waits not slept) against the prescribed waits;
#  3. the emulator's memory per image byte: the peak memory of an update
#     with a 1 MiB image, less that of the example image, per extra byte
#     (at most 3; needs GNU time, skipped without it).
# Uses the binaries of ./build (cmake -S . -B build && cmake --build build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
emu="$root/build/touchfw-emu"
image_tool="$root/build/touchfw-image"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0

echo "== real clock: fjordK firmware and configuration update"
mkdir "$work/real"
start=${EPOCHREALTIME/./}  # microseconds, read without starting a process
TOUCHFW_EMU_STATE_DIR="$work/real" TOUCHFW_EMU_CLOCK=real "$emu" --chip fjordK \
    -f "$root/examples/fw-fjordK.bin" -c "$root/examples/cfg-fjordK.cfg" \
    >"$work/real.out" 2>"$work/real.err"
end=${EPOCHREALTIME/./}
waits=$(sed -n 's/^touchfw-emu: real clock: waits \([0-9]*\) ms.*/\1/p' "$work/real.err")
wall_us=$(( end - start ))
ratio=$(awk -v w="$wall_us" -v p="$waits" 'BEGIN { printf "%.4f", w / (p * 1000) }')
echo "prescribed waits ${waits} ms, wall time $(( wall_us / 1000 )) ms, ratio ${ratio}"
if ! awk -v w="$wall_us" -v p="$waits" 'BEGIN { exit !(w >= p * 1000 && w <= p * 1010) }'; then
    echo "FAILED: the wall time must lie between the waits and 1.01 times them"
    status=1
fi

echo "== virtual clock: the tool's own time"
mkdir "$work/virtual"
start=${EPOCHREALTIME/./}
TOUCHFW_EMU_STATE_DIR="$work/virtual" "$emu" --chip fjordK \
    -f "$root/examples/fw-fjordK.bin" -c "$root/examples/cfg-fjordK.cfg" >/dev/null 2>&1
end=${EPOCHREALTIME/./}
awk -v w="$(( end - start ))" -v p="$waits" \
    'BEGIN { printf "whole process %.1f ms, %.5f of the prescribed waits\n", w / 1000, w / (p * 1000) }'

echo "== emulator memory per image byte"
if [ -x /usr/bin/time ]; then
    "$image_tool" build --chip fjordK --pid 0121 --vid 03.00.02.00 \
        --gen "2:0x0:1000000" --gen "3:0x100000:48000" -o "$work/big.bin" >/dev/null
    peak_kib() {
        rm -rf "$work/state" && mkdir "$work/state"
        TOUCHFW_EMU_STATE_DIR="$work/state" /usr/bin/time -f "%M" -o "$work/rss" "$emu" \
            --chip fjordK -f "$1" -c "$root/examples/cfg-fjordK.cfg" >/dev/null 2>&1
        cat "$work/rss"
    }
    small=$(peak_kib "$root/examples/fw-fjordK.bin")
    big=$(peak_kib "$work/big.bin")
    extra=$(( $(stat -c %s "$work/big.bin") - $(stat -c %s "$root/examples/fw-fjordK.bin") ))
    per_byte=$(awk -v b="$big" -v s="$small" -v n="$extra" 'BEGIN { printf "%.2f", (b - s) * 1024 / n }')
    echo "peak ${small} KiB with the example image, ${big} KiB with 1 MiB: ${per_byte} bytes per image byte"
    if ! awk -v x="$per_byte" 'BEGIN { exit !(x <= 3) }'; then
        echo "FAILED: more than 3 bytes of memory per image byte"
        status=1
    fi
else
    echo "skipped: GNU time (/usr/bin/time) is not installed"
fi
exit $status
