#!/bin/sh
# Measures vexo and prints a table (never part of the tests):
#  1. framing and receiver throughput (Google Benchmark) beside the line's 11,520 B/s;
#  2. end-to-end wall time of "vexo" and "vexo --pwm1 1" against the simulator
#     (20 ms interval) beside the wire-limited minimum;
#  3. the charging supervisor for SECONDS (default 30) at a 10 ms interval:
#     CPU time and system calls per board reply, heap allocations after the
#     first second, peak RSS (in a private network namespace when root); then
#     the same with a one-shot "vexo" through its control socket every 0.1 s;
#     without telemetry subscribers and with 8 vexo-mon holding a lease each;
#     BENCH_SUPERVISOR_ONLY=1 stops after this section;
#     with BENCH_BASELINE=REV the same figures for vexo as built from git
#     revision REV, for a before-and-after table; then once more with
#     --ups-file and a reader on its pipe in the NUT driver's place;
#  4. stripped binary sizes (x86-64, armhf, arm64 where the cross compilers
#     are installed, the static musl build where musl-tools is) and the
#     shared libraries vexo needs;
#  5. the supervisor soak: SOAK_SECONDS (default 600; 0 skips it) of faults
#     on a schedule, with the supervisor's and the simulator's memory;
#  6. vexo-exporter following 1,000, 10,000 and 100,000 simulated boards for
#     FLEET_SECONDS (default 60): CPU share, RSS, time and size of one scrape
#     with and without gzip, RSS after a SIGHUP burst; then the scrapes that
#     succeed while 50 slow HTTP clients hold connections open.
#  7. the whole stack: a real Prometheus scraping an exporter that follows
#     10,000 simulated boards every 15 s for FULLSTACK_SECONDS (default
#     180): Prometheus's CPU share and RSS, scrape time and samples, failed
#     scrapes.
set -eu
cd "$(dirname "$0")/.."
. ./tools/deps.sh
need_packages cmake:cmake g++:g++ make:make /usr/include/benchmark/benchmark.h:libbenchmark-dev strace:strace \
    curl:curl /usr/include/prometheus/text_serializer.h:prometheus-cpp-dev /usr/include/CivetServer.h:libcivetweb-dev /usr/include/zlib.h:zlib1g-dev
seconds=${1:-30}
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-bench -DVEXO_BENCH=ON -DVEXO_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j"$jobs" >/dev/null
B=$PWD/build-bench

echo "== 1. Link throughput (line: 11520 bytes/s)"
"$B/bench/bench_link" --benchmark_min_time=0.5 2>/dev/null | awk '/^BM_/ {
    for (i = 1; i <= NF; i++) if ($i ~ /bytes_per_second=/) { split($i, a, "="); rate = a[2] }
    printf "%-22s %14s  (%s ns per call)\n", $1, rate, $2 }'

echo
echo "== 2. End to end against the simulator, 20 ms interval (31 runs each)"
"$B/bench/bench_e2e" "$B/vexo" 31

supervisor() { # vexo-binary label [ups|oneshots|leases]: "ups", --ups-file and a reader on its pipe;
               # "oneshots", one-shots through its control socket; "leases", 8 vexo-mon holding a lease each
V=$1
mode=${3:-}
subs=0
[ "$mode" != leases ] || subs=8
echo
echo "== 3. Charging supervisor ($2), ${seconds} s at a 10 ms interval, $subs telemetry subscribers"
work=$(mktemp -d)
extra=""
reader=""
load=: unload=:
if [ "$mode" = ups ]; then
    extra="--ups-file $work/nut.seq"
    # In the driver's place: a reader that takes every record as it comes.
    reader="( until [ -p '$work/nut.seq' ]; do sleep 0.02; done; exec cat '$work/nut.seq' > '$work/nut.txt' ) &"
fi
# With one-shots: a status report through the supervisor every 0.1 s while
# the figures are taken (their own CPU time is not the supervisor's).
if [ "$mode" = oneshots ]; then
    load="while :; do VEXO_DEVICE=$work/tty VEXO_CONTROL_DIR=$work $V >/dev/null 2>&1 && echo >> $work/oneshots; sleep 0.1; done & load=\$!"
    unload="kill \$load"
fi
cat > "$work/run.sh" <<EOS
set -eu
ip link set lo up 2>/dev/null || true
mkdir -p "$work/bin"
printf '#!/bin/sh\necho "\$*" >> "$work/shutdown.log"\n' > "$work/bin/shutdown"; chmod +x "$work/bin/shutdown"
"$B/sim/vexo-sim" --interval 10 --link "$work/tty" --record "$work/rec.txt" </dev/null 2>"$work/sim.log" &
sim=\$!
until [ -L "$work/tty" ]; do sleep 0.02; done
# vexo-mon watchers, each with a lease of its own, for the window of one run.
watchers() {
    i=0
    while [ \$i -lt $subs ]; do
        "$B/clients/vexo-mon" --seconds \$(($seconds + 5)) 127.0.0.1 > /dev/null 2>&1 &
        echo \$! >> "$work/mon.pids"
        i=\$((i + 1))
    done
    [ $subs -eq 0 ] || sleep 2
}
endWatchers() {
    [ -f "$work/mon.pids" ] || return 0
    while read -r p; do kill \$p 2>/dev/null || true; wait \$p 2>/dev/null || true; done < "$work/mon.pids"
    rm -f "$work/mon.pids"
}
# First run, untouched: CPU time over the window, and peak RSS.
PATH="$work/bin:\$PATH" VEXO_DEVICE="$work/tty" VEXO_CONTROL_DIR="$work" "$V" $extra --charge 200 &
sup=\$!
$reader
until [ "\$(wc -l < "$work/rec.txt" 2>/dev/null || echo 0)" -ge 3 ]; do sleep 0.02; done
sleep 1
watchers
$load
cpu0=\$(cut -d' ' -f1 /proc/\$sup/schedstat)
u0=\$(awk '{print \$14}' /proc/\$sup/stat)
r0=\$(wc -l < "$work/rec.txt")
sleep $seconds
cpu1=\$(cut -d' ' -f1 /proc/\$sup/schedstat)
u1=\$(awk '{print \$14}' /proc/\$sup/stat)
r1=\$(wc -l < "$work/rec.txt")
$unload
hwm=\$(awk '/VmHWM/ {print \$2}' /proc/\$sup/status)
anon=\$(awk '/RssAnon/ {print \$2}' /proc/\$sup/status)
pss=\$(awk '/^Pss:/ {print \$2}' /proc/\$sup/smaps_rollup)
endWatchers
kill \$sup; wait \$sup 2>/dev/null || true
# Second run: every heap allocation logged, system calls counted by strace.
PATH="$work/bin:\$PATH" VEXO_DEVICE="$work/tty" VEXO_CONTROL_DIR="$work" LD_PRELOAD="$B/bench/libmalloc_count.so" \
    MALLOC_COUNT_FILE="$work/malloc.log" "$V" $extra --charge 200 &
sup=\$!
$reader
until [ "\$(wc -l < "$work/rec.txt")" -ge \$((r1 + 3)) ]; do sleep 0.02; done
sleep 1
watchers
before=\$(wc -l < "$work/malloc.log" 2>/dev/null || echo 0)
$load
timeout -s INT $seconds strace -c -o "$work/strace.txt" -p \$sup 2>/dev/null || true
$unload
after=\$(wc -l < "$work/malloc.log" 2>/dev/null || echo 0)
endWatchers
kill \$sup; wait \$sup 2>/dev/null || true
kill \$sim; wait \$sim 2>/dev/null || true
echo "\$before \$after \$cpu0 \$cpu1 \$hwm \$((r1 - r0)) \$anon \$pss \$((u1 - u0))" > "$work/figures"
EOS
if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then unshare -n sh "$work/run.sh"; else sh "$work/run.sh"; fi
read -r before after cpu0 cpu1 hwm cycles anon pss uticks < "$work/figures"
# strace -c rows: % time, seconds, usecs/call, calls, [errors,] syscall.
calls=$(awk 'NR > 2 && $1 !~ /^-/ && $NF != "total" {n += $4} END {print n}' "$work/strace.txt")
# Less the pipe's records with --ups-file: one FIONREAD before each.
writes=$(awk '$NF == "write" {w = $4} $NF == "ioctl" {i = $4} END {print w - i}' "$work/strace.txt")
replies=$((2 * writes)) # each cycle: one fresh status, one request, one confirming status
hz=$(getconf CLK_TCK)
awk -v c="$calls" -v r="$replies" -v w="$writes" -v t0="$cpu0" -v t1="$cpu1" -v hz="$hz" -v b="$before" \
    -v a="$after" -v hwm="$hwm" -v s="$seconds" -v cy="$cycles" -v anon="$anon" -v pss="$pss" -v ut="$uticks" 'BEGIN {
    printf "cycles                         %d in %d s (strace run: %d)\n", cy, s, w
    printf "board replies (strace run)     %d\n", r
    printf "system calls per reply         %.2f (%d in all)\n", c / r, c
    printf "CPU time per reply             %.1f us (%.3f s over %d replies, untraced; user part %.2f s)\n", \
        (t1 - t0) / 1000 / (2 * cy), (t1 - t0) / 1e9, 2 * cy, ut / hz
    printf "heap allocations after 1 s     %d (%d before)\n", a - b, b
    printf "peak RSS                       %d kB (own anonymous memory %d kB, PSS %d kB)\n", hwm, anon, pss }'
[ ! -f "$work/nut.txt" ] || echo "NUT records taken by the reader $(grep -c '^TIMER 0' "$work/nut.txt") (strace run)"
[ "$mode" != oneshots ] || echo "one-shots answered             $(wc -l < "$work/oneshots") (both runs)"
echo "system calls in the window:"
awk 'NR > 2 && $NF != "total" && $1 !~ /^-/ {printf "  %-10s %s\n", $NF, $4}' "$work/strace.txt"
rm -rf "$work"
}

if [ -n "${BENCH_BASELINE:-}" ]; then
    base=$(mktemp -d)
    git archive "$BENCH_BASELINE" | tar -x -C "$base"
    cmake -S "$base" -B "$base/build" -DVEXO_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$base/build" --target vexo -j"$jobs" >/dev/null
    supervisor "$base/build/vexo" "before: $(git rev-parse --short "$BENCH_BASELINE")"
fi
here=$(git rev-parse --short HEAD 2>/dev/null || echo this tree)
supervisor "$B/vexo" "$here"
supervisor "$B/vexo" "$here, --ups-file with a reader" ups
supervisor "$B/vexo" "$here, one-shots every 0.1 s" oneshots
supervisor "$B/vexo" "$here, 8 telemetry subscribers" leases
[ -n "${BENCH_BASELINE:-}" ] && rm -rf "$base"
[ -z "${BENCH_SUPERVISOR_ONLY:-}" ] || exit 0

echo
echo "== 4. Binary size (stripped) and shared libraries"
size_of() { # strip-command binary
    cp "$2" "$work.bin" && $1 "$work.bin" && wc -c < "$work.bin" && rm -f "$work.bin"
}
# The file is rounded up to the target's page (64 KiB on arm64); the code is
# the text column of size(1).
text_of() { # size-command binary
    $1 "$2" | awk 'NR == 2 {print $1}'
}
printf '%-8s %8s bytes  text %6s\n' x86-64 "$(size_of strip "$B/vexo")" "$(text_of size "$B/vexo")"
for arch in armhf arm64; do
    case $arch in armhf) t=arm-linux-gnueabihf ;; arm64) t=aarch64-linux-gnu ;; esac
    if command -v $t-g++ >/dev/null 2>&1; then
        cmake -S . -B build-bench-$arch -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$arch.cmake -DVEXO_TESTS=OFF \
            -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build build-bench-$arch --target vexo -j"$jobs" >/dev/null
        printf '%-8s %8s bytes  text %6s  needs: %s\n' $arch "$(size_of $t-strip build-bench-$arch/vexo)" \
            "$(text_of $t-size build-bench-$arch/vexo)" \
            "$($t-readelf -d build-bench-$arch/vexo | awk '/NEEDED/ {printf "%s ", $5}')"
    else
        printf '%-8s (no %s-g++ installed)\n' $arch $t
    fi
done
if command -v musl-gcc >/dev/null 2>&1; then
    cmake -S . -B build-bench-musl -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-musl.cmake -DVEXO_TESTS=OFF \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build-bench-musl --target vexo -j"$jobs" >/dev/null
    printf '%-8s %8s bytes  text %6s  static, musl\n' musl "$(size_of strip build-bench-musl/vexo)" \
        "$(text_of size build-bench-musl/vexo)"
fi
echo "ldd vexo (x86-64):"
ldd "$B/vexo" | sed 's/^/  /'

soak=${SOAK_SECONDS:-600}
if [ "$soak" -gt 0 ]; then
    echo
    echo "== 5. Supervisor soak, $soak s of scheduled faults"
    cmake -S . -B build-bench-tests -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build-bench-tests --target vexo_net_tests -j"$jobs" >/dev/null
    VEXO_SOAK_SECONDS=$soak ./build-bench-tests/tests/vexo_net_tests --gtest_filter='Soak.*' | grep -E '^soak:|OK|FAILED'
fi

echo
echo "== 6. vexo-exporter following a simulated fleet, ${FLEET_SECONDS:-60} s, scraped every 15 s"
./tools/bench-fleet.sh build-bench 1000 10000 100000
if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    unshare -n sh -c "ip link set lo up; python3 tools/bench-slow-clients.py '$B/clients/vexo-exporter' '$B/sim/vexo-fleet-sim' 30 50"
fi

echo
echo "== 7. Prometheus scraping vexo-exporter with 10,000 simulated boards, ${FULLSTACK_SECONDS:-180} s, every 15 s"
./tools/bench-prometheus.sh build-bench 10000
