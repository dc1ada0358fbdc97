#!/usr/bin/env bash
# Windows check: cross-builds touchfw.exe, touchfw-emu.exe, touchfw-image.exe
# and the test suite with MinGW-w64 into a fresh build folder (build-win),
# runs the suite under Wine, then the smoke runs: the version line, the usage
# status, a property read without a device, the device list (Wine's own
# virtual HID mouse and keyboard go through the real SetupAPI and HID calls)
# and the main job on the emulated chip. Installs what it needs (Debian 12).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-win"

bash "$root/scripts/install-deps.sh" g++-mingw-w64-x86-64-posix googletest
# Wine with its recommended packages (the 64-bit loader among them).
if ! command -v wine >/dev/null || ! dpkg-query -W -f='${Status}' wine64 2>/dev/null | grep -q "install ok installed"; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q wine wine64
fi

echo "== cross-build (MinGW-w64)"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
rm -rf "$build"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" >/dev/null
cmake --build "$build" -j2
for exe in touchfw touchfw-emu touchfw-image touchfw_tests; do
    [ -f "$build/$exe.exe" ] || { echo "missing $exe.exe"; exit 1; }
done

# A throw-away Wine prefix; no desktop, no Mono or Gecko installers. It
# (about 700 MB) and the suite's temp folders, which live in it, go to
# /dev/shm when that is a memory file system with room that lets programs
# run: on ext4 every file the suite rewrites is flushed to the disk when it
# is closed, which more than doubled the suite's time.
shm_usable() {
    [ -d /dev/shm ] && [ -w /dev/shm ] || return 1
    local options avail
    options=$(findmnt -no OPTIONS --target /dev/shm 2>/dev/null) || return 1
    case ",$options," in *,noexec,* | *,ro,*) return 1 ;; esac
    avail=$(df -Pk /dev/shm | awk 'NR == 2 { print $4 }')
    [ "${avail:-0}" -ge $((2 * 1024 * 1024)) ]
}
tmpbase=${TMPDIR:-/tmp}
shm_usable && tmpbase=/dev/shm
prefix=$(mktemp -d -p "$tmpbase")
work=$(mktemp -d -p "$tmpbase")
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$prefix" "$work"
}
trap cleanup EXIT
echo "== Wine prefix (first start)"
wine cmd /c exit 2>/dev/null

echo "== tests under Wine"
ctest --test-dir "$build" --output-on-failure

echo "== smoke runs under Wine"
failures=0
# check NAME EXPECTED_STATUS PATTERN -- COMMAND...: the status (as the shell sees
# a Windows exit code: its low byte) and a line of the output.
check() {
    local name=$1 status=$2 pattern=$3
    shift 4
    local out rc=0
    out=$("$@" 2>/dev/null) || rc=$?
    out=${out//$'\r'/}  # console text mode ends lines with CR LF
    if [ "$rc" -eq "$status" ] && grep -qE -- "$pattern" <<<"$out"; then
        echo "ok: $name (exit $rc)"
    else
        echo "FAILED: $name: exit $rc (want $status), output:"
        printf '%s\n' "$out"
        failures=$((failures + 1))
    fi
}
cd "$work"
tool="$build/touchfw.exe"
emu="$build/touchfw-emu.exe"
check "--version" 0 '^lib version: .*app version:' -- wine "$tool" --version
check "usage status -20" 236 '^Usage: ' -- wine "$tool" --no-such-option
check "-p vid without a device" 255 'Errors occurred when getting VID\. ret = -2\.' -- \
    wine "$tool" -p vid
check "--scan lists Wine's virtual HID devices" 0 \
    '^Vid = 0x845E, Pid = 0x[0-9A-F]{4}, UsagePage = 0x0001, Usage = 0x000[26], DevicePath = \\\\\?\\hid#' -- \
    wine "$tool" --scan
check "update of the emulated fjordK" 0 'Flash firmware and cfg successfully\.' -- \
    wine "$emu" --chip fjordK -f "$root/examples/fw-fjordK.bin" -c "$root/examples/cfg-fjordK.cfg"
imageVid=$(wine "$build/touchfw-image.exe" info --chip fjordK "$root/examples/fw-fjordK.bin" |
    sed -n 's/^Vid: *\([0-9A-F ]*[0-9A-F]\).*/\1/p' | head -n 1)
check "version after the update is the image's ($imageVid)" 0 \
    "^Get VID successfully\. VID = ${imageVid:-none}\.$" -- wine "$emu" --chip fjordK -p vid
[ "$failures" -eq 0 ] || { echo "$failures smoke run(s) failed"; exit 1; }
echo "Windows check passed"
