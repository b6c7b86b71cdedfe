#!/bin/sh
# Configures, builds and runs every test: a normal build with warnings as
# errors, then an AddressSanitizer + UndefinedBehaviorSanitizer build.
# Run as root on a fresh machine, it first installs the build packages.
#   ./tools/test.sh           both builds
#   ./tools/test.sh --quick   the normal build only
set -eu
cd "$(dirname "$0")/.."

missing=""
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
command -v g++ >/dev/null 2>&1 || missing="$missing g++"
command -v make >/dev/null 2>&1 || missing="$missing make"
[ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
[ -f /usr/include/gmock/gmock.h ] || missing="$missing libgmock-dev"
if [ -n "$missing" ]; then
    if [ "$(id -u)" = 0 ]; then
        echo "test.sh: installing$missing"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
    else
        echo "test.sh: missing$missing (run as root to install them)" >&2
        exit 1
    fi
fi

jobs=$(nproc 2>/dev/null || echo 2)

run_suite() { # build-dir, extra cmake arguments...
    dir=$1; shift
    echo "== $dir: configure, build, test"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 120
}

run_suite build
if [ "${1:-}" != "--quick" ]; then
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_suite build-asan -DVEXO_SANITIZE=ON
fi
