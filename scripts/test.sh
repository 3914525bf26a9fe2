#!/usr/bin/env bash
# Installs what is missing, builds the library and its tests, and runs the suite.
# With --sanitize, the same suite is built and run under AddressSanitizer and
# UndefinedBehaviorSanitizer in a build folder of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

build=build
extra=()
if [ "${1:-}" = "--sanitize" ]; then
    build=build-sanitize
    extra=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRA_SANITIZE=ON -DVELTRA_BUILD_DEMO=OFF)
fi

cmake -S . -B "$build" -DVELTRA_BUILD_TESTS=ON -DVELTRA_WERROR=ON "${extra[@]}" > /dev/null
cmake --build "$build" --parallel "$(nproc)"
cd "$build"
ctest --output-on-failure --parallel "$(nproc)"
