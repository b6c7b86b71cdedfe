#!/bin/sh
# Cross-builds for the board's processor and runs the whole test suite,
# end-to-end tests included, under qemu user-mode emulation.
#   ./tools/test-arm.sh [armhf|arm64]...     (default armhf)
# With several, each next build is made, at the lowest priority, while the
# suite before it runs. Run as root on a fresh machine, it installs the cross
# compilers and qemu.
set -eu
cd "$(dirname "$0")/.."
. ./tools/deps.sh
. ./tools/leftovers.sh
. ./tools/builds.sh
[ $# -gt 0 ] || set -- armhf
for arch in "$@"; do
    case $arch in
        armhf) need_packages g++-arm-linux-gnueabihf:g++-arm-linux-gnueabihf ;;
        arm64) need_packages aarch64-linux-gnu-g++:g++-aarch64-linux-gnu ;;
        *) echo "usage: test-arm.sh [armhf|arm64]..." >&2; exit 2 ;;
    esac
done
need_packages cmake:cmake make:make qemu-arm:qemu-user /usr/src/googletest/CMakeLists.txt:googletest \
    gnuplot:gnuplot-nox

configure_args() { # arch
    echo "-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$1.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo"
}

# shellcheck disable=SC2046 # the arguments are split on purpose
build_now "build-$1" $(configure_args "$1")
failed=""
built=1 # whether build-$1 is made
while [ $# -gt 0 ]; do
    arch=$1; shift
    # shellcheck disable=SC2046
    [ $# -eq 0 ] || build_behind "build-$1" $(configure_args "$1")
    if [ $built = 1 ]; then
        echo "== build-$arch: test under qemu"
        leftovers_begin
        rc=0
        ctest --test-dir "build-$arch" --output-on-failure -j"$builds_jobs" --timeout 180 || rc=$?
        leftovers_check "build-$arch" || rc=1
        [ $rc = 0 ] || failed="$failed $arch"
    fi
    built=1
    [ $# -eq 0 ] || build_wait "build-$1" || { built=0; failed="$failed $1"; }
done
[ -z "$failed" ] || { echo "test-arm.sh: failed:$failed" >&2; exit 1; }
