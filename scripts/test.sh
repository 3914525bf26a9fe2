#!/usr/bin/env bash
# Installs what is missing, then builds the library and its tests against Qt 5 (in
# build/) and against Qt 6 (in build6/) and runs the whole suite on each. --qt5 or --qt6
# does one of the two. With --sanitize, the Qt 5 suite is built and run under
# AddressSanitizer and UndefinedBehaviorSanitizer in build-sanitize/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/configure.sh

builds=(5 6)
sanitize=no
for arg in "$@"; do
    case "$arg" in
        --qt5) builds=(5) ;;
        --qt6) builds=(6) ;;
        --sanitize) sanitize=yes ;;
        *) echo "usage: $0 [--qt5 | --qt6] [--sanitize]" >&2; exit 2 ;;
    esac
done

bash scripts/setup.sh

run() {
    cmake --build "$1" --parallel "$(nproc)"
    (cd "$1" && ctest --output-on-failure --parallel "$(nproc)")
}

if [ "$sanitize" = yes ]; then
    veltra_configure 5 build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRA_SANITIZE=ON \
        -DVELTRA_BUILD_DEMO=OFF
    run build-sanitize
    exit 0
fi
for qt in "${builds[@]}"; do
    echo "== Qt $qt"
    build=$(veltra_build_dir "$qt")
    veltra_configure "$qt" "$build"
    run "$build"
done
