#!/bin/sh
# Builds vexo statically against musl (one file to copy to any board of this
# processor) and runs the end-to-end link, EEPROM and supervisor tests of the
# normal build against that binary instead of the normal one.
#   ./tools/test-musl.sh
# Run as root on a fresh machine, it installs musl-tools.
set -eu
cd "$(dirname "$0")/.."
. ./tools/deps.sh
. ./tools/leftovers.sh
need_packages cmake:cmake g++:g++ make:make musl-gcc:musl-tools /usr/include/gtest/gtest.h:libgtest-dev
jobs=$(nproc 2>/dev/null || echo 2)

echo "== build-musl: vexo, static, against musl"
cmake -S . -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-musl.cmake -DVEXO_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-musl --target vexo -j"$jobs"
if readelf -lW build-musl/vexo | grep -q INTERP || readelf -d build-musl/vexo | grep -q NEEDED; then
    echo "test-musl.sh: build-musl/vexo is not static" >&2
    exit 1
fi

echo "== build: the tests, run against build-musl/vexo"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs" --target vexo_tests vexo_net_tests
# The link and its faults, the EEPROM, the front end's end-to-end runs, and
# the charging supervisor with its faults, field settings and stalls.
tests='^(EndToEnd|Rows/OptionRequests|Rows/Readings|Eeprom|EepromCheck|Link|Device|Driver|Reception'
tests="$tests|Faults/LinkTolerates|LinkFaults|DeadLine|Charge|Field|SupervisorFaults|Stops/SupervisorStall)\\."
# These three expect the reason of a failed call as glibc spells it ("Device
# or resource busy", "Cannot assign requested address"); musl's strerror says
# "Resource busy" and "Address not available". The rest of their runs is the
# same on both.
glibc_texts='^(Link\.SecondProgramOnTheLineIsRefused|Charge\.StatusQueryWhileChargingIsRefusedAndChargingGoesOn'
glibc_texts="$glibc_texts|Field\\.BadSettingsAreRefusedBeforeTheBoardIsTouched)\$"
leftovers_begin
rc=0
VEXO_TEST_PROGRAM=$PWD/build-musl/vexo ctest --test-dir build --output-on-failure -j"$jobs" --timeout 120 \
    -R "$tests" -E "$glibc_texts" || rc=$?
leftovers_check build-musl || rc=1
exit $rc
