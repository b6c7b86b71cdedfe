#!/bin/sh
# A tour of vexo against the simulated board: the status report, switching
# an output, EEPROM write and read-back, a charging session from the
# supervisor's start through an on/off period and a power failure recorded
# with vexo-mon and plotted, and the supervisor's metrics from vexo-exporter. Builds what it needs first (as root on a fresh
# machine it installs cmake and g++). Nothing here touches real hardware,
# and the shutdown command the supervisor may run is a recording fake.
set -eu
cd "$(dirname "$0")/.."
. ./tools/deps.sh
need_packages cmake:cmake g++:g++ make:make curl:curl /usr/include/prometheus/text_serializer.h:prometheus-cpp-dev \
    /usr/include/CivetServer.h:libcivetweb-dev /usr/include/zlib.h:zlib1g-dev
need_packages gnuplot:gnuplot-nox || echo "(no gnuplot: the plot at the end is skipped)"

step() { printf '\n== %s\n' "$*"; }
show() { printf '$ %s\n' "$*"; }

step "Building (build-demo/)"
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DVEXO_TESTS=OFF >/dev/null
cmake --build build-demo -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
PATH="$PWD/build-demo:$PWD/build-demo/sim:$PWD/build-demo/clients:$PATH"
export PATH

work=$(mktemp -d /tmp/vexo-demo.XXXXXX)
simpid=""
cleanup() {
    if [ -n "$simpid" ]; then kill "$simpid" 2>/dev/null || true; wait "$simpid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

step "Starting the simulated board"
show "vexo-sim --interval 200 --link $work/ttyVEXO --control $work/ctl &"
# A status every 200 ms: slow enough that the search for the current shows
# in the telemetry, which averages over each second.
vexo-sim --interval 200 --link "$work/ttyVEXO" --control "$work/ctl" --record "$work/requests.txt" </dev/null \
    2>"$work/sim.log" &
simpid=$!
i=0
until [ -L "$work/ttyVEXO" ]; do
    i=$((i + 1)); [ $i -lt 250 ] || { cat "$work/sim.log"; exit 1; }
    sleep 0.02
done
head -1 "$work/sim.log"
VEXO_DEVICE="$work/ttyVEXO"
export VEXO_DEVICE
show "export VEXO_DEVICE=$VEXO_DEVICE"

step "1. The board's status"
show "vexo"
vexo

step "2. Switch PWM1 on with a low time of 300, then read it back"
show "vexo --pwm1 1 --pwmlo 300"
vexo --pwm1 1 --pwmlo 300
show "vexo | grep -E 'PWM LO|PWM 1'"
vexo | grep -E 'PWM LO|PWM 1'

step "3. Write 0xA5 to EEPROM byte 0x10, then read it back"
show "vexo --eeval 165 --eew 16"
vexo --eeval 165 --eew 16 | head -2
show "vexo --eer 16 | head -1"
vexo --eer 16 | head -1

step "4. A charging session from the supervisor's start: 200 mA, 12 s on, 6 s off, a power failure"
mkdir "$work/fakebin"
printf '#!/bin/sh\necho "shutdown $*" >> "%s/shutdown.log"\n' "$work" > "$work/fakebin/shutdown"
chmod +x "$work/fakebin/shutdown"
cat > "$work/charge.sh" <<EOS
set -eu
ip link set lo up 2>/dev/null || true
before=\$(wc -l < "$work/requests.txt")
echo '\$ vexo --on 12 --off 6 --shutdown 120 --charge 200 &'
PATH="$work/fakebin:\$PATH" vexo --on 12 --off 6 --shutdown 120 --charge 200 > "$work/supervisor.log" &
sup=\$!
# Its command socket is open once its own first request (the second one:
# the first is the start's one-shot exchange) has reached the board.
i=0
until [ \$(wc -l < "$work/requests.txt") -ge \$((before + 2)) ]; do
    i=\$((i + 1)); [ \$i -lt 250 ] || exit 1
    sleep 0.02
done
echo '\$ vexo-mon --csv --seconds 44 127.0.0.1 > session.csv &'
vexo-mon --csv --seconds 44 127.0.0.1 > "$work/session.csv" 2> "$work/mon.log" &
mon=\$!
sleep 24
echo '\$ echo battery > ctl      # line power fails at 24 s'
echo battery > "$work/ctl"
sleep 8
echo '\$ echo line > ctl         # and returns at 32 s, before the 120 s shutdown delay'
echo line > "$work/ctl"
wait \$mon
echo '\$ head -4 session.csv'
head -4 "$work/session.csv"

echo
echo "== 5. The same supervisor as Prometheus sees it, through vexo-exporter"
echo '\$ vexo-exporter --listen 127.0.0.1:4001 127.0.0.1=demo-board &'
vexo-exporter --listen 127.0.0.1:4001 127.0.0.1=demo-board 2> "$work/exporter.log" &
exporter=\$!
sleep 4
echo '\$ curl -s http://127.0.0.1:4001/metrics | grep -E "^vexo_(up|battery|charge_locked|on_battery|telemetry_datagrams)"'
curl -s http://127.0.0.1:4001/metrics | grep -E "^vexo_(up|battery|charge_locked|on_battery|telemetry_datagrams)"
kill \$exporter; wait \$exporter 2>/dev/null || true
echo "\$ kill \$sup"
kill \$sup
wait \$sup 2>/dev/null || true
EOS
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null 2>&1 && unshare -n true 2>/dev/null; then
    unshare -n sh "$work/charge.sh" # a private network: port 4000 of its own
else
    sh "$work/charge.sh"
fi

if command -v gnuplot >/dev/null 2>&1; then
    step "6. Plotting the session"
    show "vexo-plot session.csv build-demo/vexo-session.png 200"
    clients/vexo-plot "$work/session.csv" build-demo/vexo-session.png 200 2>/dev/null
    echo "wrote build-demo/vexo-session.png ($(wc -c < build-demo/vexo-session.png) bytes)"
fi

step "Done: the supervisor and the simulated board are stopped"
