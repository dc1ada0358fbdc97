#!/usr/bin/env bash
# The real-kernel check: touchfw's Linux backend against the kernel's HID
# core, hid-generic and hidraw, with virtual panels (touchfw-emu --uhid) as
# the devices. CI runs in a container without /dev/uhid, so the
# distribution's kernel is booted under qemu with software emulation (TCG,
# no KVM) on a small initramfs: busybox, the hid, uhid and hid-generic
# modules, touchfw and touchfw-emu with their shared libraries, the sample
# images and the expected results. Inside, scripts/realkernel-cases.sh runs
# the table of cases and prints one line per case; this script prints the
# table and fails when a case failed or the run did not finish (a case that
# could not show what it guards is UNSURE: listed, not a failure).
#
# Expected chip states come from the same command lines run here on the
# emulated host (touchfw-emu on its virtual clock): a run on the real
# kernel must leave the chip exactly as the emulated run does.
#
# Usage: scripts/realkernel-check.sh [BUILD_DIR]   (default: build)
#   REALKERNEL_CASES=REGEX   run only the cases whose names match
#   REALKERNEL_KEEP=DIR      keep the work folder (initramfs, console log) in DIR
#   REALKERNEL_VERBOSE=1     print the end of a failed case's log and panel output
# Installs qemu-system-x86, linux-image-amd64, busybox-static and cpio with
# apt-get when they are missing (root).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
started=$SECONDS

# ---- what it needs -----------------------------------------------------------
kernel=$(ls /boot/vmlinuz-*-amd64 2>/dev/null | sort -V | tail -1 || true)
missing=()
command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
[ -n "$kernel" ] || missing+=(linux-image-amd64)
dpkg -s busybox-static >/dev/null 2>&1 || missing+=(busybox-static)
command -v cpio >/dev/null || missing+=(cpio)
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing ${missing[*]}"
    apt-get update -qq
    # The kernel is only booted under qemu: no initramfs of the host's own.
    INITRD=No DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
    kernel=$(ls /boot/vmlinuz-*-amd64 | sort -V | tail -1)
fi
version=${kernel#/boot/vmlinuz-}
modules=/lib/modules/$version

cmake --build "$build" -j2 --target touchfw touchfw-emu >/dev/null

work=$(mktemp -d)
if [ -n "${REALKERNEL_KEEP:-}" ]; then
    work=$REALKERNEL_KEEP
    rm -rf "$work" && mkdir -p "$work"
else
    trap 'rm -rf "$work"' EXIT
fi
fs=$work/root
mkdir -p "$fs"/{bin,modules,opt/bin,examples,expected,etc,check}

# ---- the initramfs -------------------------------------------------------------
cp /bin/busybox "$fs/bin/busybox"
# The three modules and what they depend on, in loading order (modules.dep
# lists each module's dependencies, deepest last).
declare -A loaded=()
order=()
add_module() {
    local name=$1 line dep
    line=$(grep -E "(^|/)$name\.ko(\.[a-z]+)?:" "$modules/modules.dep" | head -1)
    [ -n "$line" ] || { echo "module $name not found in $modules" >&2; exit 1; }
    local deps=${line#*:}
    for dep in $(echo "$deps" | tr ' ' '\n' | tac); do
        dep=$(basename "$dep")
        add_module "${dep%%.ko*}"
    done
    if [ -z "${loaded[$name]:-}" ]; then
        loaded[$name]=1
        local file=$modules/${line%%:*}
        case "$file" in
            *.ko.xz) xz -dc "$file" >"$fs/modules/$name.ko" ;;
            *.ko.zst) zstd -qdc "$file" >"$fs/modules/$name.ko" ;;
            *.ko.gz) gzip -dc "$file" >"$fs/modules/$name.ko" ;;
            *) cp "$file" "$fs/modules/$name.ko" ;;
        esac
        order+=("$name")
    fi
}
for m in hid uhid hid-generic; do add_module "$m"; done
printf '%s\n' "${order[@]}" >"$fs/modules/order"

# The programs and their shared libraries, at the paths the loader expects.
for program in touchfw touchfw-emu; do
    cp "$build/$program" "$fs/opt/bin/"
    for lib in $(ldd "$build/$program" | grep -o '/[^ ]*'); do
        mkdir -p "$fs$(dirname "$lib")"
        cp -L "$lib" "$fs$lib"
    done
done
[ -e "$fs/lib64" ] || ln -s lib "$fs/lib64" 2>/dev/null || true
cp "$root"/examples/fw-*.bin "$root"/examples/cfg-*.cfg "$fs/examples/"
cp "$root/scripts/realkernel-cases.sh" "$fs/check/cases.sh"
printf 'root:x:0:0::/root:/bin/sh\nuser:x:1000:1000::/tmp:/bin/sh\n' >"$fs/etc/passwd"
printf 'root:x:0:\nuser:x:1000:\n' >"$fs/etc/group"
printf '%s\n' "${REALKERNEL_CASES:-}" >"$fs/check/filter"
[ -z "${REALKERNEL_VERBOSE:-}" ] || touch "$fs/check/verbose"
cat >"$fs/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox mkdir -p /proc /sys /dev /tmp /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
chmod 1777 /tmp
for m in $(cat /modules/order); do insmod /modules/$m.ko || echo "insmod $m failed"; done
export PATH=/opt/bin:/bin:/sbin:/usr/bin:/usr/sbin
sh /check/cases.sh
poweroff -f
EOF
chmod +x "$fs/init" "$fs/check/cases.sh"

# ---- expected results: the same command lines on the emulated host --------------
# Writes expected/<case>/{status,stdout,state} for a case name, family and
# the touchfw arguments (sample files as examples/..., run from the folder
# that holds examples/, as inside).
expect() {
    local name=$1 family=$2
    shift 2
    local dir=$fs/expected/$name
    mkdir -p "$dir/state"
    local status=0
    (cd "$root" && TOUCHFW_EMU_STATE_DIR="$dir/state" "$build/touchfw-emu" --chip "$family" \
        --logfiledir "$dir" "$@" >"$dir/stdout" 2>/dev/null) || status=$?
    echo "$status" >"$dir/status"
    mv "$dir/state/touchfw-emu-$family.state" "$dir/state.txt" 2>/dev/null || true
    rm -rf "$dir/state" "$dir"/*.log
}
# The run modes of the family table: name and touchfw arguments (SCRATCH: a
# register address every family may write, FAMILY: the family's name). The
# cases inside read the same table.
modes='pid -p pid
vid -p vid
read -r SCRATCH -l 150
write -w SCRATCH --data 0x11,0x22,0x33 -l 150
fw-cfg -f examples/fw-FAMILY.bin -c examples/cfg-FAMILY.cfg
cfg -c examples/cfg-FAMILY.cfg
rawdata --rawdata --row 10 --col 10'
printf '%s\n' "$modes" >"$fs/check/modes"
for family in 5410 5415R fjordK fjordH3 Corvina fjordK8 fjordK4; do
    case $family in 5410 | 5415R) scratch=0x2000 ;; *) scratch=0x20000 ;; esac
    while read -r mode args; do
        args=${args//SCRATCH/$scratch}
        # shellcheck disable=SC2086 # the arguments are words
        expect "$family-$mode" "$family" ${args//FAMILY/$family}
    done <<<"$modes"
done
expect fjordK-fw fjordK -f examples/fw-fjordK.bin
expect fjordK8-fw fjordK8 -f examples/fw-fjordK8.bin

(cd "$fs" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initramfs.gz"
prepared=$((SECONDS - started))

# ---- boot ------------------------------------------------------------------------------
echo "booting $kernel under qemu (TCG)"
console=$work/console.log
timeout 900 qemu-system-x86_64 -accel tcg -cpu max -m 1024 -smp 1 -nodefaults -no-reboot \
    -display none -serial "file:$console" -kernel "$kernel" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1" || true
tr -d '\r' <"$console" >"$console.txt"

# ---- the table ---------------------------------------------------------------------------
printf '%-34s %-6s %s\n' CASE RESULT DETAIL
failed=0
passed=0
unsure=0
while IFS= read -r line; do
    set -- $line
    shift
    name=$1 result=$2
    shift 2
    printf '%-34s %-6s %s\n' "$name" "$result" "$*"
    case $result in
        PASS) passed=$((passed + 1)) ;;
        UNSURE) unsure=$((unsure + 1)) ;;
        *) failed=$((failed + 1)) ;;
    esac
done < <(grep '^CASE ' "$console.txt" || true)
[ -z "${REALKERNEL_VERBOSE:-}" ] || grep '^  ' "$console.txt" || true
if ! grep -q '^CASES DONE' "$console.txt"; then
    echo "the run inside the VM did not finish; end of its console:"
    tail -40 "$console.txt"
    failed=$((failed + 1))
fi
[ "$unsure" -eq 0 ] || echo "$unsure case(s) could not show what they guard (UNSURE)"
echo "$passed passed, $failed failed (prepared in ${prepared} s, total $((SECONDS - started)) s)"
[ "$failed" -eq 0 ]
