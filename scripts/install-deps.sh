#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build touchfw and run its tests,
# skipping those already present. Uses sudo when not run as root.
set -euo pipefail
packages=(g++ make cmake libgtest-dev libgmock-dev nlohmann-json3-dev libpng-dev "$@")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
