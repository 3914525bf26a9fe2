#!/usr/bin/env bash
# Installs what is missing, builds the library and the demo workstation, and starts it.
# The demo uses Qt 5 (build/); --qt6, or VELTRA_QT=6 in the environment, uses Qt 6
# (build6/). Every other argument goes to the demo (--map, --view, --tile-server, ...).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/configure.sh

qt=${VELTRA_QT:-5}
args=()
for arg in "$@"; do
    case "$arg" in
        --qt5) qt=5 ;;
        --qt6) qt=6 ;;
        *) args+=("$arg") ;;
    esac
done

bash scripts/setup.sh
build=$(veltra_build_dir "$qt")
veltra_configure "$qt" "$build"
cmake --build "$build" --parallel "$(nproc)" --target veltra-workstation
exec "$build/examples/workstation/veltra-workstation" ${args[@]+"${args[@]}"}
