#!/bin/sh
# Configures, builds and runs every test: a normal build with warnings as
# errors, an AddressSanitizer + UndefinedBehaviorSanitizer build, and a
# ThreadSanitizer build over the suites where threads meet (the simulator's
# server thread and the test driving it, the exporter's HTTP workers). Fails,
# naming them, when a suite leaves any of the project's programs running.
# Run as root on a fresh machine, it first installs the build packages.
#   ./tools/test.sh           both builds
#   ./tools/test.sh --quick   the normal build only
set -eu
cd "$(dirname "$0")/.."

. ./tools/deps.sh
. ./tools/leftovers.sh
need_packages cmake:cmake g++:g++ make:make /usr/include/gtest/gtest.h:libgtest-dev \
    /usr/include/gmock/gmock.h:libgmock-dev gnuplot:gnuplot-nox \
    /usr/include/prometheus/text_serializer.h:prometheus-cpp-dev /usr/include/CivetServer.h:libcivetweb-dev /usr/include/zlib.h:zlib1g-dev \
    /usr/bin/prometheus:prometheus promtool:prometheus \
    /usr/bin/prometheus-alertmanager:prometheus-alertmanager amtool:prometheus-alertmanager python3:python3 \
    systemd-nspawn:systemd-container nsenter:util-linux \
    /lib/nut/dummy-ups:nut-server upsc:nut-client

jobs=$(nproc 2>/dev/null || echo 2)

run_suite() { # build-dir, extra cmake arguments... (ctest arguments in $CTEST_ARGS)
    dir=$1; shift
    echo "== $dir: configure, build, test"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    leftovers_begin
    rc=0
    # shellcheck disable=SC2086 # CTEST_ARGS is a list of words
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 120 ${CTEST_ARGS:-} || rc=$?
    # Every test ends what it started: a program still running now is a fault.
    leftovers_check "$dir" || rc=1
    return $rc
}

run_suite build
if [ "${1:-}" != "--quick" ]; then
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_suite build-asan -DVEXO_SANITIZE=ON
    # Threads run in the simulator and the exporter only; vexo and vexo-mon
    # have one each. The long runs that only wait on a single-threaded vexo
    # (its field faults, hooks, stalls, leases, control socket, NUT pipe,
    # soak) and vexo-mon's are left to the other builds; every simulator,
    # link, charging and exporter suite runs here. The exporter's name
    # lookups run on glibc's own threads (getaddrinfo_a), which
    # ThreadSanitizer cannot follow: the two tests that look names up run in
    # the other builds. tsan.supp: races inside Debian's civetweb.
    single='Soak|Stops/|FieldFaults\.|Field\.|SupervisorFaults\.|Leases\.|Control\.|Nut\.|UpsFile\.|Monitor\.'
    lookups='Exporter.BoardsUpUnknownAndSilentOnesDownWithAReasonInTheLog|Exporter.ANameServerThatNeverAnswers'
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tools/tsan.supp \
        CTEST_ARGS="-E $single|$lookups" run_suite build-tsan -DVEXO_TSAN=ON
fi
