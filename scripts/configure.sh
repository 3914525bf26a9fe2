# Sourced by demo.sh and test.sh: one set of configure options per build folder, so that
# the demo and the test suite share their builds and neither makes the other rebuild.
#   veltra_configure QT DIR [EXTRA...]   QT is 5 or 6; EXTRA goes to cmake as it is

veltra_build_dir() {
    if [ "$1" = 6 ]; then echo build6; else echo build; fi
}

veltra_configure() {
    local qt=$1 dir=$2
    shift 2
    cmake -S . -B "$dir" -DQT_MAJOR_VERSION="$qt" -DVELTRA_BUILD_TESTS=ON -DVELTRA_WERROR=ON \
        "$@" > /dev/null
}
