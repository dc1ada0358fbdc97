#!/usr/bin/env bash
# Regenerates the seed corpora of fuzz/corpus/ with our own tools: the
# sample images and configurations of examples/, small images built with
# touchfw-image, command lines from the usage text, report descriptors
# shaped like real devices, and device conversations recorded from the chip
# emulator (touchfw_fuzz_seeds), for the device targets and whole command
# lines (app).
#
# Usage: fuzz/make_corpus.sh [BUILD_DIR]   (default build-fuzz, configured
# with -DTOUCHFW_FUZZ=ON; the needed tools are built there)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
cmake --build "$build" --target touchfw-image touchfw_fuzz_seeds -j2 >/dev/null
image="$build/touchfw-image"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Built aside and put in place only when complete.
out=$tmp/corpus
mkdir -p "$out"/{fw_image,cfg_file,cmdline,report_descriptor,hidraw_enumerate}

families=(5410 5415R fjordK fjordH3 Corvina fjordK8 fjordK4)
pids=(5410 5415R 0121 0F60 01EC 0123 0132)

# A file with one selector byte in front: the chip type (0 = 5410 ... 6 = fjordK4).
with_selector() {  # selector source destination
    { printf "\\x$(printf %02x "$1")"; cat "$2"; } >"$3"
}

for i in "${!families[@]}"; do
    chip=${families[$i]} pid=${pids[$i]}
    with_selector "$i" "examples/fw-$chip.bin" "$out/fw_image/$chip-example"
    with_selector "$i" "examples/cfg-$chip.cfg" "$out/cfg_file/$chip-example"
    "$image" build --chip "$chip" --pid "$pid" --vid 01.02.03.04 -o "$tmp/empty.bin" >/dev/null 2>&1
    "$image" build --chip "$chip" --pid "$pid" --vid 01.02.03.04 --gen 2:0:40 --gen 3:0x10000:7 \
        -o "$tmp/two.bin" >/dev/null
    "$image" build --chip "$chip" --pid "$pid" --vid 01.02.03.04 --no-identity --gen 4:0x200:1 \
        -o "$tmp/odd.bin" >/dev/null
    with_selector "$i" "$tmp/empty.bin" "$out/fw_image/$chip-empty"
    with_selector "$i" "$tmp/two.bin" "$out/fw_image/$chip-two"
    with_selector "$i" "$tmp/odd.bin" "$out/fw_image/$chip-odd"
    # Bit 7 of the selector: the target loads the file twice.
    with_selector $((i + 128)) "$tmp/two.bin" "$out/fw_image/$chip-two-reload"
done
"$image" cfg --chip fjordK --version 0x21 --length 64 -o "$tmp/short.cfg" >/dev/null
with_selector 2 "$tmp/short.cfg" "$out/cfg_file/fjordK-64"
printf '\x000x01,0x02,0XaB\n' >"$out/cfg_file/5410-three"
printf '\x02x5,xx12 0x123 text\r\n' >"$out/cfg_file/fjordK-odd-tokens"
# 4096 markers: the block grows to 8192 bytes.
{ printf '\x00'; printf 'x%.0s' $(seq 4096); } >"$out/cfg_file/5410-4096-markers"

# Command lines: arguments separated by NUL bytes.
cmdline() {  # name args...
    local name=$1
    shift
    local first=1
    for arg in "$@"; do
        [ $first -eq 1 ] || printf '\0'
        printf '%s' "$arg"
        first=0
    done >"$out/cmdline/$name"
}
cmdline property --chip Corvina --pid 0x01EC -p vid
cmdline write --chip Corvina --pid 0x01EC -w 0x10010 --data 0x01,0x02,0x03 --length 3
cmdline read -r 0x10010 --length 0007 --vid 0X1a2B --fwflag 0x123456789
cmdline rawdata --chip corvina --rawdata --row 18 --col 24 --readtimes 10 --showtype dec
cmdline update --chip fjordK8 -f . -c / -i --loglevel 0x1F --logfiledir . -d --verbose
cmdline misc --scan --nooutput -v --usage 0x0001 --usagepage 0xFFF0 --writecmd --diffdata --basedata
cmdline bad-value --length 10000
cmdline needs-value --firmware
cmdline help -?
cmdline json --chip fjordK4 -p cfgver --json --nooutput
cmdline verify -c c.cfg --verify -i

# Report descriptors: touchscreen + vendor collection (64- and 256-byte
# reports), keyboard, mouse.
descriptor() {  # name payload-low payload-high
    printf '\x05\x0d\x09\x04\xa1\x01\x85\x01\x09\x22\xa1\x02\x09\x42\x15\x00\x25\x01\x75\x01\x95\x01'
    printf '\x81\x02\x95\x07\x81\x03\x05\x01\x09\x30\x09\x31\x26\xff\x7f\x75\x10\x95\x02\x81\x02'
    printf '\xc0\x05\x0d\x09\x54\x25\x0a\x75\x08\x95\x01\x81\x02\x85\x02\x09\x55\xb1\x02\xc0'
    printf '\x06\xf0\xff\x09\x01\xa1\x01\x85\x0e\x09\x02\x15\x00\x26\xff\x00\x75\x08'
    printf "\\x96\\x$2\\x$3\\x81\\x02\\x09\\x03\\x96\\x$2\\x$3\\x91\\x02\\xc0"
}
descriptor touch-vendor 40 00 >"$out/report_descriptor/touch-vendor"
descriptor touch-vendor-268 0b 01 >"$out/report_descriptor/touch-vendor-268"
printf '\x05\x01\x09\x06\xa1\x01\x05\x07\x19\xe0\x29\xe7\x15\x00\x25\x01\x75\x01\x95\x08\x81\x02\x95\x01\x75\x08\x81\x01\x95\x05\x75\x01\x05\x08\x19\x01\x29\x05\x91\x02\x95\x01\x75\x03\x91\x01\x95\x06\x75\x08\x15\x00\x25\x65\x05\x07\x19\x00\x29\x65\x81\x00\xc0' \
    >"$out/report_descriptor/keyboard"
printf '\x05\x01\x09\x02\xa1\x01\x09\x01\xa1\x00\x05\x09\x19\x01\x29\x03\x15\x00\x25\x01\x95\x03\x75\x01\x81\x02\x95\x01\x75\x05\x81\x01\x05\x01\x09\x30\x09\x31\x15\x81\x25\x7f\x75\x08\x95\x02\x81\x06\xc0\xc0' \
    >"$out/report_descriptor/mouse"
# Push/Pop, a 4-byte usage with its own page, a long item.
printf '\x06\x00\xff\xa4\x05\x01\xb4\x0b\x01\x00\xf0\xff\xa1\x01\x75\x08\x95\x40\x81\x02\xc0\xfe\x02\x10\xaa\xbb' \
    >"$out/report_descriptor/push-pop-long"

# Discovery: node count, open failures, the keys sought (vid, pid, usage
# page, usage, little-endian), then per node its number, uevent and descriptor.
u16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8)))"; }
enum_node() {  # number uevent-file descriptor-file
    printf "\\x$(printf %02x "$1")"
    u16 "$(stat -c %s "$2")"
    cat "$2"
    u16 "$(stat -c %s "$3")"
    cat "$3"
}
printf 'DRIVER=hid-multitouch\nHID_ID=0003:00002A94:00000121\nHID_NAME=Touch\nMODALIAS=hid:b0003g0004v00002A94p00000121\n' >"$tmp/uevent"
printf 'HID_ID=0003:000046D:0000C077\n' >"$tmp/uevent-mouse"
{
    printf '\x01\x00'
    u16 0x2A94; u16 0x0121; u16 0xFFF0; u16 0x0001
    enum_node 3 "$tmp/uevent" "$out/report_descriptor/touch-vendor"
    enum_node 0 "$tmp/uevent-mouse" "$out/report_descriptor/mouse"
} >"$out/hidraw_enumerate/touch-and-mouse"
{
    printf '\x00\x81'  # one node; the first open is refused (permission)
    u16 0x2A94; u16 0x0123; u16 0xFFF0; u16 0x0001
    printf 'HID_ID=0018:00002A94:00000123\n' >"$tmp/uevent-k8"
    enum_node 1 "$tmp/uevent-k8" "$out/report_descriptor/touch-vendor-268"
} >"$out/hidraw_enumerate/fjordK8-denied"

# Device conversations recorded from the emulator.
"$build/fuzz/touchfw_fuzz_seeds" "$out"

rm -rf fuzz/corpus
mv "$out" fuzz/corpus
du -sh fuzz/corpus
for d in fuzz/corpus/*/; do
    echo "$(basename "$d"): $(ls "$d" | wc -l) files"
done
