# shellcheck shell=sh
# Sourced by the test scripts: finds the project's programs, and the servers
# the tests start, that a test suite left running.
#   leftovers_begin           before the suite: marks the suite's environment
#   leftovers_check WHAT      after it: names every survivor, ends it by PID
#                             and returns 1; returns 0 when none is left
# A survivor is one of the programs below, started after leftovers_begin,
# that carries the suite's mark in its environment, runs a program of this
# tree, or descends from this shell, and is not in one of the sessions
# named in $leftovers_spared (builds running meanwhile). Nothing else is ever
# signalled.
leftover_programs="vexo vexo-sim vexo-mon vexo-exporter vexo-fleet-sim vexo_tests vexo_net_tests vexo_exporter_tests
prometheus prometheus-alertmanager upsd dummy-ups victoria-metrics"

# Clock ticks since boot, the unit of a process's start time in /proc/PID/stat.
leftovers_now() {
    awk -v hz="$(getconf CLK_TCK)" '{ printf "%d\n", $1 * hz }' /proc/uptime
}

leftovers_begin() {
    leftovers_start=$(leftovers_now)
    VEXO_TEST_SUITE="$$.$leftovers_start"
    export VEXO_TEST_SUITE
}

# The words of /proc/PID/cmdline, one a line.
leftovers_args() {
    tr '\0' '\n' < "/proc/$1/cmdline" 2>/dev/null
}

# True when a word's last part names a program above (behind an emulator too).
leftovers_is_ours() {
    leftovers_args "$1" | awk -v names="$leftover_programs" '
        BEGIN { n = split(names, a, /[ \n]+/); for (i = 1; i <= n; i++) want[a[i]] = 1 }
        { sub(/.*\//, ""); if ($0 in want) found = 1 }
        END { exit !found }'
}

# True when pid descends from this shell.
leftovers_descends() {
    p=$1
    while [ "$p" -gt 1 ] 2>/dev/null; do
        [ "$p" = "$$" ] && return 0
        p=$(awk '{ sub(/.*\) /, ""); print $2 }' "/proc/$p/stat" 2>/dev/null) || return 1
    done
    return 1
}

leftovers_check() { # what
    here=$(pwd -P)
    found=""
    for dir in /proc/[0-9]*; do
        pid=${dir#/proc/}
        [ "$pid" = "$$" ] && continue
        # Field 22, the start time; the name in field 2 may hold spaces.
        started=$(awk '{ sub(/.*\) /, ""); print $20 }' "$dir/stat" 2>/dev/null) || continue
        if [ -z "$started" ] || [ "$started" -lt "$leftovers_start" ]; then continue; fi
        leftovers_is_ours "$pid" || continue
        # A build running behind the suite (builds.sh) is in a session of its own.
        session=$(awk '{ sub(/.*\) /, ""); print $4 }' "$dir/stat" 2>/dev/null)
        case " ${leftovers_spared:-} " in *" $session "*) continue ;; esac
        if tr '\0' '\n' < "$dir/environ" 2>/dev/null | grep -qx "VEXO_TEST_SUITE=$VEXO_TEST_SUITE" ||
            leftovers_args "$pid" | grep -q "^$here/" || leftovers_descends "$pid"; then
            found="$found $pid"
        fi
    done
    [ -z "$found" ] && return 0
    echo "$1: programs left running after the suite:" >&2
    for pid in $found; do
        parent=$(awk '{ sub(/.*\) /, ""); print $2 }' "/proc/$pid/stat" 2>/dev/null)
        echo "  $pid (parent ${parent:-?}): $(leftovers_args "$pid" | tr '\n' ' ')" >&2
    done
    # shellcheck disable=SC2086 # a list of PIDs
    kill -KILL $found 2>/dev/null || true
    return 1
}
