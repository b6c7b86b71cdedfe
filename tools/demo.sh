#!/bin/sh
# A tour of vexo against the simulated board: the status report, switching
# an output, EEPROM write and read-back, and a short charging session
# watched with vexo-mon. Builds what it needs first (as root on a fresh
# machine it installs cmake and g++). Nothing here touches real hardware,
# and the shutdown command the supervisor may run is a recording fake.
set -eu
cd "$(dirname "$0")/.."
. ./tools/deps.sh
need_packages cmake:cmake g++:g++ make:make
need_packages gnuplot:gnuplot-nox || echo "(no gnuplot: the plot at the end is skipped)"

step() { printf '\n== %s\n' "$*"; }
show() { printf '$ %s\n' "$*"; }

step "Building (build-demo/)"
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DVEXO_TESTS=OFF >/dev/null
cmake --build build-demo -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
PATH="$PWD/build-demo:$PWD/build-demo/sim:$PWD/build-demo/tools:$PATH"
export PATH

work=$(mktemp -d /tmp/vexo-demo.XXXXXX)
simpid=""
cleanup() {
    if [ -n "$simpid" ]; then kill "$simpid" 2>/dev/null || true; wait "$simpid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

step "Starting the simulated board"
show "vexo-sim --link $work/ttyVEXO &"
vexo-sim --link "$work/ttyVEXO" --record "$work/requests.txt" </dev/null 2>"$work/sim.log" &
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

step "4. Charging at 200 mA, watched with vexo-mon"
mkdir "$work/fakebin"
printf '#!/bin/sh\necho "shutdown $*" >> "%s/shutdown.log"\n' "$work" > "$work/fakebin/shutdown"
chmod +x "$work/fakebin/shutdown"
cat > "$work/charge.sh" <<EOS
set -eu
ip link set lo up 2>/dev/null || true
before=\$(wc -l < "$work/requests.txt")
PATH="$work/fakebin:\$PATH" vexo --charge 200 &
sup=\$!
# Ready once the supervisor's own first request has reached the board.
i=0
until [ \$(wc -l < "$work/requests.txt") -ge \$((before + 2)) ]; do
    i=\$((i + 1)); [ \$i -lt 250 ] || exit 1
    sleep 0.02
done
echo '\$ vexo --charge 200 &'
echo '\$ vexo-mon --count 5 127.0.0.1'
vexo-mon --count 5 127.0.0.1
echo '\$ vexo-mon --csv --count 5 127.0.0.1 > session.csv'
vexo-mon --csv --count 5 127.0.0.1 > "$work/session.csv"
head -3 "$work/session.csv"
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
    step "5. Plotting the session"
    show "vexo-plot session.csv build-demo/vexo-session.png 200"
    tools/vexo-plot "$work/session.csv" build-demo/vexo-session.png 200 2>/dev/null
    echo "wrote build-demo/vexo-session.png ($(wc -c < build-demo/vexo-session.png) bytes)"
fi

step "Done: the supervisor and the simulated board are stopped"
