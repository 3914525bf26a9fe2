#!/usr/bin/env bash
# Installs the Debian packages the library, its tests, its demo and its documentation
# need, for the Qt 5 and the Qt 6 build: compilers and CMake, Qt's development files and
# tools (moc, uic, rcc, lupdate, qhelpgenerator, Designer), the SQLite driver, Qt's TIFF
# and WebP readers (tiles in those formats are read and tested), Doxygen, and nginx,
# which the integration tests run as a caching proxy and a static server.
# Idempotent: runs apt-get update once and installs only what is missing.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5svg5-dev libqt5sql5-sqlite
    qttools5-dev qttools5-dev-tools
    qt6-base-dev qt6-base-dev-tools qmake6 qt6-svg-dev libqt6sql6-sqlite
    qt6-tools-dev qt6-tools-dev-tools designer-qt6 qt6-l10n-tools qt6-documentation-tools
    qt5-image-formats-plugins qt6-image-formats-plugins
    libsqlite3-dev zlib1g-dev python3 fonts-dejavu-core
    doxygen
    nginx-light
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
# A package with a service (nginx) must not start it here: the tests run their own.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod +x "$policy"
    trap '$SUDO rm -f "$policy"' EXIT
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
