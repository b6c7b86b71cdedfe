#!/bin/sh
# The exporter following a simulated fleet: for each size, vexo-fleet-sim
# with that many boards and vexo-exporter following them for SECONDS
# (default 60) after a 10 s start, scraped every 15 s as Prometheus would.
# Prints one row a size: CPU share of one core (scrapes included), RSS at rest
# (between scrapes, at the end) and at its peak, the time of one scrape
# (median and slowest), its size, the same with gzip (Accept-Encoding: gzip,
# as Prometheus asks), the telemetry received against sent, and the RSS and
# its peak after a burst of ten SIGHUPs. Needs root (a private network namespace).
#   ./tools/bench-fleet.sh [BUILD_DIR] [SIZES...]     default: build-bench 1000 10000 100000
set -eu
cd "$(dirname "$0")/.."
. ./tools/fleet-boards.sh
B=$(realpath "${1:-build-bench}")
[ $# -gt 0 ] && shift
sizes=${*:-1000 10000 100000}
seconds=${FLEET_SECONDS:-60}
if [ "$(id -u)" != 0 ] || ! unshare -n true 2>/dev/null; then
    echo "(skipped: needs root for a private network namespace)"
    exit 0
fi
printf '%-7s %8s %9s %9s %13s %11s %9s %13s %9s %20s %18s\n' boards "CPU/core" "RSS" "peak RSS" "scrape median" "scrape max" \
    "size" "gzip median" "gzip size" "datagrams got/sent" "SIGHUPs: RSS/peak"
for n in $sizes; do
    work=$(mktemp -d)
    fleet_boards "$n" "$work/boards"
cat > "$work/run.sh" <<EOS
set -eu
ip link set lo up
"$B/sim/vexo-fleet-sim" --boards $n --on-battery 100 2> "$work/fleet.log" &
fleet=\$!
"$B/clients/vexo-exporter" --listen 127.0.0.1:4001 --boards "$work/boards" 2> "$work/exporter.log" &
exporter=\$!
trap 'kill \$exporter \$fleet 2>/dev/null; wait' EXIT
sleep 10
hz=\$(getconf CLK_TCK)
t0=\$(awk '{print \$14 + \$15}' /proc/\$exporter/stat)
start=\$(date +%s.%N)
: > "$work/scrapes"
: > "$work/gzip"
elapsed=0
while [ \$elapsed -lt $seconds ]; do
    curl -s -o "$work/metrics" -w '%{time_total} %{size_download}\n' http://127.0.0.1:4001/metrics >> "$work/scrapes"
    sleep 7
    curl -s -H 'Accept-Encoding: gzip' -o "$work/metrics.gz" -w '%{time_total} %{size_download}\n' \
        http://127.0.0.1:4001/metrics >> "$work/gzip"
    sleep 8
    elapsed=\$((elapsed + 15))
done
t1=\$(awk '{print \$14 + \$15}' /proc/\$exporter/stat)
end=\$(date +%s.%N)
rss=\$(awk '/VmRSS/ {print \$2}' /proc/\$exporter/status)
hwm=\$(awk '/VmHWM/ {print \$2}' /proc/\$exporter/status)
# The fleet stops first and says what it sent; then the exporter what it got.
kill \$fleet; wait \$fleet || true
sleep 0.5
curl -s -o "$work/metrics" http://127.0.0.1:4001/metrics
got=\$(awk '/^vexo_telemetry_datagrams_total/ {s += \$2} END {print s}' "$work/metrics")
# A burst of SIGHUPs, each reading the whole boards file again.
for i in 1 2 3 4 5 6 7 8 9 10; do kill -HUP \$exporter; sleep 0.3; done
# Signals that come while a file is read count once: wait until no more are taken.
last=-1
while [ "\$(grep -c 'SIGHUP: following' "$work/exporter.log")" != "\$last" ]; do
    last=\$(grep -c 'SIGHUP: following' "$work/exporter.log")
    sleep 2
done
hup=\$(awk '/VmRSS/ {print \$2}' /proc/\$exporter/status)
huphwm=\$(awk '/VmHWM/ {print \$2}' /proc/\$exporter/status)
kill \$exporter; wait \$exporter || true
trap - EXIT
sent=\$(sed -n 's/.*, \([0-9]*\) sent,.*/\1/p' "$work/fleet.log")
echo "\$t0 \$t1 \$hz \$start \$end \$rss \$hwm \$got \$sent \$hup \$huphwm" > "$work/figures"
EOS
    unshare -n sh "$work/run.sh"
    read -r t0 t1 hz start end rss hwm got sent hup huphwm < "$work/figures"
    sort -n "$work/scrapes" > "$work/sorted"
    median=$(awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}' "$work/sorted")
    max=$(tail -1 "$work/sorted" | cut -d' ' -f1)
    size=$(tail -1 "$work/sorted" | cut -d' ' -f2)
    gzmedian=$(sort -n "$work/gzip" | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}')
    gzsize=$(sort -n "$work/gzip" | tail -1 | cut -d' ' -f2)
    awk -v n="$n" -v t0="$t0" -v t1="$t1" -v hz="$hz" -v s="$start" -v e="$end" -v rss="$rss" -v hwm="$hwm" \
        -v med="$median" -v max="$max" -v got="$got" -v sent="$sent" -v size="$size" -v gzmed="$gzmedian" \
        -v gzsize="$gzsize" -v hup="$hup" -v huphwm="$huphwm" 'BEGIN {
        printf "%-7d %7.1f%% %6.1f MB %6.1f MB %10.0f ms %8.0f ms %6.1f MB %10.0f ms %6.1f MB %20s %7.0f/%3.0f MB\n", n,
            100 * (t1 - t0) / hz / (e - s), rss / 1024, hwm / 1024, med * 1000, max * 1000, size / 1e6, gzmed * 1000,
            gzsize / 1e6, got "/" sent, hup / 1024, huphwm / 1024 }'
    rm -rf "$work"
done
