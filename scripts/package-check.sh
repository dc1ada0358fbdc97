#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks it on this
# machine: dpkg -i installs it, `man touchfw` renders, the bash completion
# loads and completes, udev accepts the rule, the programs run from /usr/bin,
# and dpkg -r removes it all again. Installs the tools it needs (apt-get).
#
#   bash scripts/package-check.sh [BUILD_DIR]     (default: build)
#
# Needs root (or sudo) for dpkg and apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

fail() {
    echo "package-check: FAILED: $*" >&2
    exit 1
}

# man-db and groff render the pages, udev brings udevadm, bash-completion
# the loader the completion file is written for, dpkg-dev dpkg-shlibdeps.
bash scripts/install-deps.sh man-db groff-base udev bash-completion dpkg-dev
# Slim images drop documentation that packages install; let ours in.
if grep -qs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
    fail "dpkg is set to exclude /usr/share/man (see /etc/dpkg/dpkg.cfg.d)"
fi

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build"
cmake --build "$build" -j2 --target touchfw touchfw-image touchfw-emu touchfw-frames touchfw_man_pages
rm -f "$build"/touchfw_*.deb
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/touchfw_*.deb)
echo "== package $deb"
dpkg-deb --info "$deb" | grep -E '^ (Package|Version|Depends):'
contents=$(dpkg-deb --contents "$deb")
echo "$contents"
for path in ./usr/bin/touchfw ./usr/bin/touchfw-image ./usr/bin/touchfw-emu \
    ./usr/bin/touchfw-frames ./usr/lib/udev/rules.d/60-touchfw.rules \
    ./usr/share/man/man1/touchfw.1.gz ./usr/share/man/man1/touchfw-image.1.gz \
    ./usr/share/man/man1/touchfw-emu.1.gz ./usr/share/man/man1/touchfw-frames.1.gz \
    ./usr/share/bash-completion/completions/touchfw; do
    grep -q " $path\$" <<<"$contents" || fail "$path is not in the package"
done

echo "== dpkg -i"
$sudo dpkg -i "$deb"
trap '$sudo dpkg -r touchfw >/dev/null 2>&1 || true' EXIT

echo "== programs"
out=$(/usr/bin/touchfw --version) && grep -q "app version" <<<"$out" || fail "touchfw --version"
out=$(/usr/bin/touchfw-image --version) && grep -q "^touchfw-image " <<<"$out" ||
    fail "touchfw-image --version"
out=$(/usr/bin/touchfw-emu --help || true)  # the usage text ends with status 236
grep -q "TOUCHFW_EMU_STATE_DIR" <<<"$out" || fail "touchfw-emu --help"

echo "== man pages"
for page in touchfw touchfw-image touchfw-emu touchfw-frames; do
    text=$(MANWIDTH=80 man "$page" 2>&1) || fail "man $page: $text"
    grep -q "EXIT STATUS" <<<"$text" || fail "man $page lacks EXIT STATUS"
    warnings=$(MANWIDTH=80 man --warnings "$page" 2>&1 >/dev/null || true)
    [ -z "$warnings" ] || fail "man $page warns: $warnings"
done
MANWIDTH=80 man touchfw | head -12

echo "== bash completion"
completion=$(bash -c '
    source /usr/share/bash-completion/bash_completion
    _completion_loader touchfw
    complete -p touchfw >/dev/null || exit 1
    COMP_WORDS=(touchfw --chip fjordK); COMP_CWORD=2; _touchfw; echo "${COMPREPLY[*]}"
    COMP_WORDS=(touchfw -p c); COMP_CWORD=2; _touchfw; echo "${COMPREPLY[*]}"
    COMP_WORDS=(touchfw --showtype ""); COMP_CWORD=2; _touchfw; echo "${COMPREPLY[*]}"
    COMP_WORDS=(touchfw --pa); COMP_CWORD=1; _touchfw; echo "${COMPREPLY[*]}"
') || fail "the completion does not load"
echo "$completion"
[ "$completion" = $'fjordK fjordK8 fjordK4\ncfgver\nhex dec\n--path' ] ||
    fail "unexpected completions"

echo "== udev rule"
rule=/usr/lib/udev/rules.d/60-touchfw.rules
# udevadm test reads every rules file and names each line it cannot parse as
# FILE:LINE; any device will do for that.
device=""
for candidate in /sys/class/hidraw/* /sys/class/tty/tty0 /sys/class/mem/null; do
    if [ -e "$candidate" ]; then
        device=$candidate
        break
    fi
done
[ -n "$device" ] || fail "no device in /sys to run udevadm test on"
report=$($sudo udevadm test "$device" 2>&1) || fail "udevadm test $device: $report"
grep -q "Reading rules file: $rule" <<<"$report" || fail "udevadm did not read $rule"
if grep "^$rule:" <<<"$report"; then
    fail "udevadm rejects lines of $rule"
fi
echo "udevadm test $device read $rule without complaint"

echo "== dpkg -r"
trap - EXIT
$sudo dpkg -r touchfw
for path in /usr/bin/touchfw /usr/bin/touchfw-image /usr/bin/touchfw-emu "$rule" \
    /usr/share/man/man1/touchfw.1.gz /usr/share/bash-completion/completions/touchfw; do
    [ ! -e "$path" ] || fail "$path is left after dpkg -r"
done
echo "package-check: all checks passed"
