#!/bin/sh
# Requests per second to the simulated board while the programs around the
# supervisor stop taking anything (a system log and a notification socket
# that never read, a shutdown command that takes 20 s), for vexo as built
# here and, with REV, for vexo as built from git revision REV: a
# before-and-after table. The figures come from the fault scenarios of the
# tests (FieldFaults.*), which run in their own sandbox (run as root).
#   ./tools/bench-stall.sh [REV]
set -eu
cd "$(dirname "$0")/.."
rev=${1:-}
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build >/dev/null
cmake --build build -j"$jobs" --target vexo vexo-sim vexo_net_tests >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
filter='FieldFaults.SystemLog*:FieldFaults.Notification*:FieldFaults.SlowShutdown*'

rates() { # vexo-binary out-file: "scenario<TAB>requests/s" lines
    VEXO_TEST_PROGRAM=$1 build/tests/vexo_net_tests --gtest_filter="$filter" 2>/dev/null |
        sed -n 's/^requests\/s \(.*\): \([0-9.]*\)$/\1\t\2/p' > "$2" || true
}

rates "$PWD/build/vexo" "$work/now"
if [ -n "$rev" ]; then
    mkdir "$work/base"
    git archive "$rev" | tar -x -C "$work/base"
    cmake -S "$work/base" -B "$work/base/build" -DVEXO_TESTS=OFF >/dev/null
    cmake --build "$work/base/build" -j"$jobs" --target vexo >/dev/null
    rates "$work/base/build/vexo" "$work/base.txt"
    printf '%-80s %10s %10s\n' "requests/s to the board" "$rev" "now"
    paste "$work/base.txt" "$work/now" | awk -F'\t' '{ printf "%-80s %10s %10s\n", $1, $2, $4 }'
else
    printf '%-80s %10s\n' "requests/s to the board" "now"
    awk -F'\t' '{ printf "%-80s %10s\n", $1, $2 }' "$work/now"
fi
