#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks it on this
# machine, as a user would meet it:
#  - it installs without bash-completion present, and apt shows that it
#    recommends it (the completion does nothing without that package);
#  - the programs run from /usr/bin, `man` renders the pages, and every
#    /usr/share/doc/touchfw path the man pages name is installed;
#  - `apt remove` then `apt purge`, and `dpkg --purge`, leave the system's
#    file list as it was before the install;
#  - udev accepts the rule;
#  - with bash-completion installed the completion loads and completes.
# bash-completion is put back as it was found. Installs the tools it needs
# (apt-get).
#
#   bash scripts/package-check.sh [BUILD_DIR]     (default: build)
#
# Needs root (or sudo) for dpkg and apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
apt_get() {
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -y -q -o DPkg::Lock::Timeout=300 "$@"
}
docdir=/usr/share/doc/touchfw

fail() {
    echo "package-check: FAILED: $*" >&2
    exit 1
}

status_of() {
    dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null | tr -d ' ' || true
}

# man-db and groff render the pages, udev brings udevadm, dpkg-dev
# dpkg-shlibdeps. Not bash-completion: the package must install without it.
bash scripts/install-deps.sh man-db groff-base udev dpkg-dev
# Slim images drop documentation that packages install; let ours in.
if grep -qs '^path-exclude=/usr/share/\(man\|doc\)' /etc/dpkg/dpkg.cfg.d/*; then
    fail "dpkg is set to exclude /usr/share/man or /usr/share/doc (see /etc/dpkg/dpkg.cfg.d)"
fi

completion_was=$(status_of bash-completion)  # "ii", "rc" or "" (never installed)
restore_completion() {
    case "$(status_of bash-completion)/$completion_was" in
        ii/ii | rc/rc | /) ;;
        */ii) apt_get install --no-install-recommends bash-completion >/dev/null ;;
        */rc) apt_get remove bash-completion >/dev/null ;;
        *) apt_get purge bash-completion >/dev/null ;;
    esac
}
cleanup() {
    $sudo dpkg --purge touchfw >/dev/null 2>&1 || true
    restore_completion || true
}
trap cleanup EXIT
if [ "$completion_was" = "ii" ]; then
    echo "== removing bash-completion for the check (put back at the end)"
    apt_get remove bash-completion >/dev/null
fi

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build"
cmake --build "$build" -j2 --target touchfw touchfw-image touchfw-emu touchfw-frames touchfw_man_pages
rm -f "$build"/touchfw_*.deb
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/touchfw_*.deb)
deb=$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")
echo "== package $deb"
dpkg-deb --info "$deb" | grep -E '^ (Package|Version|Depends|Recommends):'
[ "$(dpkg-deb -f "$deb" Recommends)" = "bash-completion" ] ||
    fail "the package does not recommend bash-completion"
contents=$(dpkg-deb --contents "$deb")
echo "$contents"
for path in ./usr/bin/touchfw ./usr/bin/touchfw-image ./usr/bin/touchfw-emu \
    ./usr/bin/touchfw-frames ./usr/lib/udev/rules.d/60-touchfw.rules \
    ./usr/share/man/man1/touchfw.1.gz ./usr/share/man/man1/touchfw-image.1.gz \
    ./usr/share/man/man1/touchfw-emu.1.gz ./usr/share/man/man1/touchfw-frames.1.gz \
    ./usr/share/bash-completion/completions/touchfw ".$docdir/README.md" \
    ".$docdir/docs/HID.md" ".$docdir/docs/IMAGE-JSON.md"; do
    grep -q " $path\$" <<<"$contents" || fail "$path is not in the package"
done

# What a package may leave behind: every path below these folders but
# package-manager bookkeeping, caches, logs and temporary files.
system_files() {
    find /usr /etc /var /opt /srv /run -xdev \
        \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache -o -path /var/log \
        -o -path /var/tmp -o -path /var/backups \) -prune -o -print 2>/dev/null | sort
}
compare_with_before() {
    local after
    after=$(mktemp)
    system_files >"$after"
    if ! diff "$before" "$after" >"$after.diff"; then
        cat "$after.diff" >&2
        rm -f "$after" "$after.diff"
        fail "$1 leaves the system's files changed (diff above: < before, > after)"
    fi
    rm -f "$after" "$after.diff"
    case "$(status_of touchfw)" in
        "" | un | pn) ;;
        *) fail "$1 leaves touchfw in dpkg's state $(status_of touchfw)" ;;
    esac
    echo "$1: the system's file list is as before the install"
}
before=$(mktemp)
system_files >"$before"

echo "== apt install without bash-completion"
[ "$(status_of bash-completion)" != "ii" ] || fail "bash-completion is installed"
apt_output=$(apt_get install --no-install-recommends "$deb" 2>&1) || {
    echo "$apt_output"
    fail "apt install"
}
echo "$apt_output" | sed -n '/^Recommended packages:/,/^[^ ]/p' | sed '$d'
grep -A1 '^Recommended packages:' <<<"$apt_output" | grep -qw bash-completion ||
    fail "apt does not show bash-completion among the recommended packages"
[ "$(status_of touchfw)" = "ii" ] || fail "touchfw is not installed"
[ ! -e /usr/share/bash-completion/bash_completion ] ||
    fail "bash-completion's loader is present"
echo "installed without bash-completion: the completion file is there, nothing loads it"

echo "== programs"
out=$(/usr/bin/touchfw --version) && grep -q "app version" <<<"$out" || fail "touchfw --version"
out=$(/usr/bin/touchfw-image --version) && grep -q "^touchfw-image " <<<"$out" ||
    fail "touchfw-image --version"
out=$(/usr/bin/touchfw-emu --help || true)  # the usage text ends with status 236
grep -q "TOUCHFW_EMU_STATE_DIR" <<<"$out" || fail "touchfw-emu --help"

echo "== man pages and the documentation they name"
for page in touchfw touchfw-image touchfw-emu touchfw-frames; do
    text=$(MANWIDTH=80 man "$page" 2>&1) || fail "man $page: $text"
    grep -q "EXIT STATUS" <<<"$text" || fail "man $page lacks EXIT STATUS"
    warnings=$(MANWIDTH=80 man --warnings "$page" 2>&1 >/dev/null || true)
    [ -z "$warnings" ] || fail "man $page warns: $warnings"
done
MANWIDTH=80 man touchfw | head -12
named=$(zcat /usr/share/man/man1/touchfw*.1.gz | sed 's/\\-/-/g; s/\\%//g' |
    grep -o "$docdir/[A-Za-z0-9_./-]*[A-Za-z0-9]" | sort -u || true)
[ -n "$named" ] || fail "the man pages name nothing in $docdir"
for path in $named; do
    [ -f "$path" ] || fail "the man pages name $path, which is not installed"
    echo "installed: $path"
done
[ -f "$docdir/README.md" ] && [ -f "$docdir/docs/heatmap-rawdata-fjordK.png" ] ||
    fail "README.md and docs/ are not installed in $docdir"

echo "== apt remove, then apt purge"
apt_get remove touchfw >/dev/null
for path in /usr/bin/touchfw /usr/bin/touchfw-image /usr/bin/touchfw-emu \
    /usr/lib/udev/rules.d/60-touchfw.rules /usr/share/man/man1/touchfw.1.gz /usr/share/bash-completion/completions/touchfw \
    "$docdir/README.md"; do
    [ ! -e "$path" ] || fail "$path is left after apt remove"
done
apt_get purge touchfw >/dev/null
compare_with_before "apt remove + apt purge"

echo "== dpkg -i, then dpkg --purge"
$sudo dpkg -i "$deb" >/dev/null
$sudo dpkg --purge touchfw >/dev/null
compare_with_before "dpkg --purge"

# The rest changes the system by itself (bash-completion, udevadm test's
# record of the device it tests in /run/udev), so it comes after the
# comparisons.
echo "== install again"
$sudo dpkg -i "$deb" >/dev/null

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
udev_state_was_there=no
[ -e /run/udev ] && udev_state_was_there=yes
report=$($sudo udevadm test "$device" 2>&1) || fail "udevadm test $device: $report"
# Without udevd (a container) the record udevadm test wrote is all there is.
[ "$udev_state_was_there" = yes ] || $sudo rm -rf /run/udev
grep -q "Reading rules file: $rule" <<<"$report" || fail "udevadm did not read $rule"
if grep "^$rule:" <<<"$report"; then
    fail "udevadm rejects lines of $rule"
fi
echo "udevadm test $device read $rule without complaint"

echo "== bash completion, with bash-completion installed"
apt_get install --no-install-recommends bash-completion >/dev/null
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
$sudo dpkg --purge touchfw >/dev/null

trap - EXIT
restore_completion
rm -f "$before"
echo "package-check: all checks passed"
