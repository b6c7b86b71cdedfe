#!/bin/sh
# Cross-builds for the board's processor and runs the whole test suite,
# end-to-end tests included, under qemu user-mode emulation.
#   ./tools/test-arm.sh [armhf|arm64]     (default armhf)
# Run as root on a fresh machine, it installs the cross compiler and qemu.
set -eu
cd "$(dirname "$0")/.."
. ./tools/deps.sh
. ./tools/leftovers.sh
arch=${1:-armhf}
case $arch in
    armhf) triplet=arm-linux-gnueabihf qemu=qemu-arm ;;
    arm64) triplet=aarch64-linux-gnu qemu=qemu-aarch64 ;;
    *) echo "usage: test-arm.sh [armhf|arm64]" >&2; exit 2 ;;
esac
need_packages cmake:cmake make:make "$triplet-g++:g++-$triplet" "$qemu:qemu-user" \
    /usr/src/googletest/CMakeLists.txt:googletest gnuplot:gnuplot-nox

dir=build-$arch
echo "== $dir: cross-build for $arch, test under $qemu"
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$(nproc 2>/dev/null || echo 2)"
leftovers_begin
rc=0
ctest --test-dir "$dir" --output-on-failure -j"$(nproc 2>/dev/null || echo 2)" --timeout 180 || rc=$?
leftovers_check "$dir" || rc=1
exit $rc
