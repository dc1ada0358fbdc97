#!/usr/bin/env bash
# Checks under strace that a file our programs write reaches the disk before
# it takes the target's name: the temporary file is synced, then closed, then
# renamed over the target, then the folder is synced. A power cut at any
# point leaves the old file or the new one under the name, never an empty or
# torn one.
#
# Usage: scripts/durability-check.sh [BUILD_DIR]   (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
bash scripts/install-deps.sh strace
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
strace -f -qq -e trace=openat,fsync,close,rename -o trace.txt \
    "$build/touchfw-image" cfg --chip fjordK --version 5 -o out.cfg >/dev/null
# The calls on the temporary file's descriptor and on the folder's, in order.
order=$(awk '
    /openat\(.*"out\.cfg\.tmp-/ { fd = $NF; next }
    fd != "" && $2 ~ "^fsync\\(" fd "\\)" && /= 0$/ { print "fsync-file"; next }
    fd != "" && $2 ~ "^close\\(" fd "\\)" && /= 0$/ { print "close-file"; fd = ""; next }
    /rename\(".*out\.cfg\.tmp-[^"]*", "out\.cfg"\) = 0$/ { print "rename"; renamed = 1; next }
    renamed && /openat\(.*O_DIRECTORY/ { dir = $NF; next }
    dir != "" && $2 ~ "^fsync\\(" dir "\\)" { print "fsync-folder"; dir = ""; renamed = 0 }
' trace.txt | tr '\n' ' ')
want="fsync-file close-file rename fsync-folder "
if [ "$order" != "$want" ]; then
    echo "durability: expected '$want', saw '$order'"
    cat trace.txt
    exit 1
fi
echo "durability: $order"
