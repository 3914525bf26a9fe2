#!/usr/bin/env bash
# Installs the Debian packages the library, its tests, its demo and its documentation
# need (Doxygen; qhelpgenerator comes with qttools5-dev-tools).
# Idempotent: runs apt-get update once and installs only what is missing.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5svg5-dev libqt5sql5-sqlite
    qttools5-dev qttools5-dev-tools
    libsqlite3-dev zlib1g-dev python3 fonts-dejavu-core
    doxygen
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
