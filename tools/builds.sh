# shellcheck shell=sh
# Sourced by the test scripts: configures and builds a tree in the
# foreground, or behind the suite that runs meanwhile: at the lowest
# priority, so that the tests, which mostly wait on the clock, keep the
# processors whenever they want them and the build takes what is left.
#   build_now DIR CMAKE-ARGS...      configure and build DIR; fails as the build does
#   build_behind DIR CMAKE-ARGS...   the same in the background, its output in DIR/build.log
#   build_wait DIR                   waits for it; on failure prints the log, returns 1
# One build runs behind at a time. One still running when the script ends is
# ended, with its compilers, by its process group (its own: setsid).
builds_jobs=$(nproc 2>/dev/null || echo 2)
builds_pid=""
trap '[ -z "$builds_pid" ] || kill -- "-$builds_pid" 2>/dev/null || :' EXIT

build_now() {
    dir=$1; shift
    echo "== $dir: configure, build"
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$builds_jobs"
}

build_behind() {
    dir=$1; shift
    echo "== $dir: configure, build (behind what runs now, output in $dir/build.log)"
    mkdir -p "$dir"
    JOBS=$builds_jobs nice -n 19 setsid sh -c 'cmake -S . -B "$0" "$@" && cmake --build "$0" -j"$JOBS"' \
        "$dir" "$@" > "$dir/build.log" 2>&1 &
    builds_pid=$!
    leftovers_spared="${leftovers_spared:-} $!" # its session: the suite's leftover check passes it by
}

build_wait() {
    pid=$builds_pid
    builds_pid=""
    if wait "$pid"; then
        echo "== $1: built"
        return 0
    fi
    cat "$1/build.log"
    echo "== $1: the build failed" >&2
    return 1
}
