#!/usr/bin/env bash
# The main job on an emulated chip: read the version, update the firmware
# together with its configuration (with the progress bar), read the new
# version back. Runs touchfw-emu from a build in ./build, in a fresh folder so
# the emulated chip starts from its factory state. With TOUCHFW_EMU_CLOCK=real
# in the environment the waits are slept for real and the bar moves.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
emu="$root/build/touchfw-emu"
chip=${1:-fjordK}
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
