#!/bin/sh
# Configures, builds and runs every test: a normal build with warnings as
# errors, an AddressSanitizer + UndefinedBehaviorSanitizer build, and a
# ThreadSanitizer build over the suites where threads meet (the simulator's
# server thread and the test driving it, the exporter's HTTP workers). Fails,
# naming them, when a suite leaves any of the project's programs running.
# Each sanitizer build is made, at the lowest priority, while the suite
# before it runs. Run as root on a fresh machine, it first installs the build packages.
#   ./tools/test.sh           all three builds
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

. ./tools/builds.sh
jobs=$builds_jobs

test_suite() { # build-dir (ctest arguments in $CTEST_ARGS)
    echo "== $1: test"
    leftovers_begin
    rc=0
    # shellcheck disable=SC2086 # CTEST_ARGS is a list of words
    ctest --test-dir "$1" --output-on-failure -j"$jobs" --timeout 120 ${CTEST_ARGS:-} || rc=$?
    # Every test ends what it started: a program still running now is a fault.
    leftovers_check "$1" || rc=1
    return $rc
}

quick=${1:-}
failed=""
build_now build -DCMAKE_BUILD_TYPE=RelWithDebInfo
[ "$quick" = --quick ] || build_behind build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXO_SANITIZE=ON
test_suite build || failed="$failed build"
[ "$quick" != --quick ] || { [ -z "$failed" ] && exit 0; exit 1; }

build_wait build-asan || failed="$failed build-asan"
build_behind build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXO_TSAN=ON
case $failed in *build-asan*) ;; *)
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        test_suite build-asan || failed="$failed build-asan" ;;
esac

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
if build_wait build-tsan; then
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tools/tsan.supp \
        CTEST_ARGS="-E $single|$lookups" test_suite build-tsan || failed="$failed build-tsan"
else
    failed="$failed build-tsan"
fi
[ -z "$failed" ] || { echo "test.sh: failed:$failed" >&2; exit 1; }
echo "test.sh: every suite passed"
