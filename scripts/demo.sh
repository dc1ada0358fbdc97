#!/usr/bin/env bash
# The main job on an emulated chip: read the version, update the firmware
# together with its configuration (with the progress bar), read the new
# version back. Runs touchfw-emu from a build in ./build, in a fresh folder so
# the emulated chip starts from its factory state. With TOUCHFW_EMU_CLOCK=real
# in the environment the waits are slept for real and the bar moves.
#
#   bash scripts/demo.sh [CHIP]     (default fjordK; any case, as --chip)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
emu="$root/build/touchfw-emu"
asked=${1:-fjordK}
# The family's canonical name, which the example files carry.
chip=""
for image in "$root"/examples/fw-*.bin; do
    name=${image##*/fw-}
    name=${name%.bin}
    if [ "${name,,}" = "${asked,,}" ]; then
        chip=$name
    fi
done
if [ -z "$chip" ]; then
    echo "demo.sh: unknown chip '$asked': 5410, 5415R, fjordK, fjordH3, Corvina, fjordK8 or" \
        "fjordK4 (any case)" >&2
    exit 2
fi
if [ ! -x "$emu" ]; then
    echo "demo.sh: $emu is not built; build it with" \
        "cmake -S . -B build && cmake --build build -j2 --target touchfw touchfw-emu" >&2
    exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "== version before the update"
"$emu" --chip "$chip" -p vid
echo
echo "== firmware and configuration update"
"$emu" --chip "$chip" -f "$root/examples/fw-$chip.bin" -c "$root/examples/cfg-$chip.cfg"
echo "== version and configuration after the update"
"$emu" --chip "$chip" -p vid
"$emu" --chip "$chip" -p cfgver
echo
echo "(the runs kept their log, FirmwareUpdate_App.log, and the emulated chip's state in $work, removed now)"
