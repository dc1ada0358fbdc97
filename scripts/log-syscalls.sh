#!/usr/bin/env bash
# System calls per written log line: the example fjordK update with
# configuration on touchfw-emu, and a Vid read by touchfw on a machine without
# the device, each run under `strace -c -f` once at log level 0x1F and once
# with the log off (0x20); the difference in calls over the lines written,
# with the calls that make it up.
#
# Usage: scripts/log-syscalls.sh [BUILD_DIR]   (default: build; needs strace)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
command -v strace >/dev/null || bash "$root/scripts/install-deps.sh" strace
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# count LEVEL NAME PROGRAM ARGS...: runs in a fresh folder; leaves the strace
# summary in $work/NAME-LEVEL.txt and prints "calls lines".
count() {
    local level=$1 name=$2
    shift 2
    local dir=$work/$name-$level
    mkdir -p "$dir"
    (cd "$dir" && TOUCHFW_EMU_STATE_DIR=$dir strace -f -c -o "$dir.txt" "$@" \
        --loglevel "$level" --logfiledir "$dir" >/dev/null 2>&1) || true
    local lines=0
    [ ! -f "$dir/FirmwareUpdate_App.log" ] || lines=$(grep -c ' -> ' "$dir/FirmwareUpdate_App.log")
    echo "$(awk '$NF == "total" { print $4 }' "$dir.txt") $lines"
}

# report NAME PROGRAM ARGS...
report() {
    local name=$1
    shift
    read -r on lines < <(count 0x1F "$name" "$@")
    read -r off _ < <(count 0x20 "$name" "$@")
    awk -v n="$name" -v on="$on" -v off="$off" -v l="$lines" \
        'BEGIN { printf "%s: %d calls with %d log lines, %d without: %.2f per line\n", n, on, l, off, (on - off) / l }'
    # The calls whose count the log changes, per line.
    join -j 1 <(awk '$NF != "total" && $NF !~ /^-/ && NF >= 5 { print $NF, $4 }' "$work/$name-0x1F.txt" | sort) \
        <(awk '$NF != "total" && $NF !~ /^-/ && NF >= 5 { print $NF, $4 }' "$work/$name-0x20.txt" | sort) -a 1 -e 0 -o 0,1.2,2.2 |
        awk -v l="$lines" '$2 != $3 { printf "  %-12s %+.2f\n", $1, ($2 - $3) / l }'
}

report touchfw-emu "$build/touchfw-emu" --chip fjordK -f "$root/examples/fw-fjordK.bin" \
    -c "$root/examples/cfg-fjordK.cfg"
report touchfw "$build/touchfw" -p vid
