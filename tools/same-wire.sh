#!/bin/sh
# Records what vexo, vexo-mon and vexo-sim print and what vexo puts on the
# line for a fixed list of invocations against the simulator (no noise, a
# fixed seed), and compares that record with the one of git revision REV.
#   ./tools/same-wire.sh REV     # builds REV in a temporary work tree
# Prints the record's size and "identical", or the differences and exit 1.
set -eu
cd "$(dirname "$0")/.."
rev=${1:?usage: tools/same-wire.sh REV}
jobs=$(nproc 2>/dev/null || echo 2)
work=$(mktemp -d)
trap 'git worktree remove --force "$work/base" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
[ -z "${KEEP_RECORD:-}" ] || trap 'cp "$work/now.txt" "$KEEP_RECORD"; git worktree remove --force "$work/base" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

build() { # source-dir build-dir
    cmake -S "$1" -B "$2" -DVEXO_TESTS=OFF >/dev/null
    cmake --build "$2" -j"$jobs" --target vexo vexo-sim vexo-mon >/dev/null
}

record() { # build-dir out-file
    B=$1
    out=$2
    : > "$out"
    while IFS= read -r args; do
        rec=$(mktemp "$work/rec.XXXXXX")
        ee=$(mktemp "$work/ee.XXXXXX")
        head -c 256 /dev/zero > "$ee"
        set +e
        # shellcheck disable=SC2086 # the arguments are split on purpose
        "$B/sim/vexo-sim" --interval 20 --noise-ua 0 --seed 1 --eeprom "$ee" --record "$rec" -- \
            "$B/vexo" $args > "$work/stdout" 2> "$work/stderr"
        rc=$?
        set -e
        {
            echo "== vexo $args: status $rc"
            cat "$work/stdout"
            grep -v '^vexo-sim: board on ' "$work/stderr" || true
            echo "-- on the line"
            cut -d' ' -f2- "$rec"
        } >> "$out"
        rm -f "$rec" "$ee"
    done <<'LIST'

--version
--help
--pwm1 1
--pwm2 1 --offset 0 --opamp 1
--buck 0 --led 0
--pwmlo 200 --pwmt 400
--eer 16
--eeval 5 --eew 16
--eeval 5 --charge 1000 --eew 16
--sleep 3
--bogus
--pwm1
--eer 300
--eew 16
--offset 2 --pwm1 3 --led 7 --buck 1 --pwm2 0
--pw 1
--log 10.0.0.1 --shutdown 30 --on 5 --off 5 --version
--charge 20
--listen 127.0.0.1 --allow 10.0.0.0/8 --pwm1 1
--allow 10.0.0.0/33
--event-cmd /nonexistent --pwm1 1
LIST
    for args in "--help" "" "127.0.0.1 set-current 9999" "127.0.0.1 set-cycle 1" "127.0.0.1 frobnicate"; do
        tool "$(client "$B" vexo-mon)" vexo-mon "$args" "$out"
    done
    for args in "--help" "--interval x" "--eeprom /dev/full -- true"; do
        tool "$B/sim/vexo-sim" vexo-sim "$args" "$out"
    done
}

client() { # build-dir program: where that revision's build put an operator-side program
    if [ -x "$1/clients/$2" ]; then echo "$1/clients/$2"; else echo "$1/tools/$2"; fi
}

tool() { # program name args out-file: what a tool prints and its status
    set +e
    # shellcheck disable=SC2086 # the arguments are split on purpose
    "$1" $3 > "$work/stdout" 2> "$work/stderr"
    rc=$?
    set -e
    { echo "== $2 $3: status $rc"; cat "$work/stdout" "$work/stderr"; } >> "$4"
}

git worktree add --detach "$work/base" "$rev" >/dev/null 2>&1
build "$work/base" "$work/build-base"
build . "$work/build-now"
record "$work/build-base" "$work/base.txt"
record "$work/build-now" "$work/now.txt"
echo "record: $(wc -l < "$work/now.txt") lines, $(grep -c '^== ' "$work/now.txt") invocations," \
    "$(grep -c '^[0-9A-F][0-9A-F] ' "$work/now.txt") request packets"
if diff -u "$work/base.txt" "$work/now.txt"; then
    echo "identical to $rev"
else
    exit 1
fi
