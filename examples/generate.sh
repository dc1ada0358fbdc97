#!/bin/sh
# Regenerates the sample firmware images and configuration files of this
# folder with touchfw-image.
#
# Usage: examples/generate.sh [TOOL [OUTDIR]]
#   TOOL    the touchfw-image binary (default: build/touchfw-image of this checkout)
#   OUTDIR  where the files go (default: this folder)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
tool=${1:-"$here/../build/touchfw-image"}
out=${2:-"$here"}
mkdir -p "$out"

# Three sub-firmwares per image: types 2 and 3 (flashed by the update's
# default --fwflag 0x0C; sub-firmware 0 is over 4096 bytes and starts with
# the identity block) with type 4 between them (skipped unless --fwflag
# selects bit 4), so a default update shows a skipped entry and a full bar.
image() {
    chip=$1 pid=$2 vid=$3 a0=$4 a1=$5 a2=$6
    "$tool" build --chip "$chip" --pid "$pid" --vid "$vid" \
        --gen "2:$a0:4200" --gen "4:$a2:64" --gen "3:$a1:600" \
        -o "$out/fw-$chip.bin" >/dev/null
}

config() {
    "$tool" cfg --chip "$1" --version "$2" -o "$out/cfg-$1.cfg" >/dev/null
}

image 5410    5410  54.10.01.00 0x000000 0x010000 0x018000
image 5415R   5415R 54.15.01.00 0x000000 0x010000 0x018000
image fjordK  0121  03.00.01.00 0x00000000 0x00020000 0x00030000
image fjordH3 0F60  04.00.01.00 0x00000000 0x00020000 0x00030000
image Corvina 01EC  05.00.01.00 0x00000000 0x00020000 0x00030000
image fjordK8 0123  06.00.01.00 0x00000000 0x00020000 0x00030000
image fjordK4 0132  07.00.01.00 0x00000000 0x00020000 0x00030000

config 5410    0x11
config 5415R   0x12
config fjordK  0x13
config fjordH3 0x14
config Corvina 0x15
config fjordK8 0x16
config fjordK4 0x17
