#!/usr/bin/env bash
# Installs what is missing, builds the library and starts the demo workstation.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build > /dev/null
cmake --build build --parallel "$(nproc)"

demo=build/examples/workstation/veltra-workstation
if [ -x "$demo" ]; then
    exec "$demo" "$@"
fi
echo "Built build/src/libqt5VeltraWidgets2.so; the demo workstation is not part of this build yet."
