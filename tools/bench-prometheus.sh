#!/bin/sh
# The whole stack under a large fleet: vexo-fleet-sim with BOARDS simulated
# boards (default 10000, every 100th on battery), vexo-exporter following
# them and a real Prometheus (Debian's) scraping the exporter every 15 s with
# the alert rules loaded, for SECONDS (default 180) after a 30 s start.
# Prints Prometheus's CPU share of one core and its RSS (at the end and at
# the peak), the time of a scrape and the samples it took (from
# scrape_duration_seconds and scrape_samples_scraped), the scrapes and how
# many failed, and the head series. Needs root (a private network namespace).
#   ./tools/bench-prometheus.sh [BUILD_DIR] [BOARDS]     default: build-bench 10000
set -eu
cd "$(dirname "$0")/.."
. ./tools/deps.sh
. ./tools/fleet-boards.sh
need_packages /usr/bin/prometheus:prometheus curl:curl python3:python3
B=$(realpath "${1:-build-bench}")
n=${2:-10000}
seconds=${FULLSTACK_SECONDS:-180}
if [ "$(id -u)" != 0 ] || ! unshare -n true 2>/dev/null; then
    echo "(skipped: needs root for a private network namespace)"
    exit 0
fi
work=$(mktemp -d)
cat > "$work/prometheus.yml" <<EOS
global:
  scrape_interval: 15s
  evaluation_interval: 15s
rule_files:
  - $PWD/dist/prometheus/vexo-alerts.yml
scrape_configs:
  - job_name: vexo
    scrape_timeout: 10s
    static_configs:
      - targets: ['127.0.0.1:4001']
EOS
fleet_boards "$n" "$work/boards"
cat > "$work/run.sh" <<EOS
set -eu
ip link set lo up
"$B/sim/vexo-fleet-sim" --boards $n --on-battery 100 < /dev/null 2> "$work/fleet.log" &
fleet=\$!
"$B/clients/vexo-exporter" --listen 127.0.0.1:4001 --boards "$work/boards" 2> "$work/exporter.log" &
exporter=\$!
/usr/bin/prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
    --web.listen-address=127.0.0.1:9090 --log.level=warn 2> "$work/prometheus.log" &
prom=\$!
trap 'kill \$prom \$exporter \$fleet 2>/dev/null; wait' EXIT
sleep 30
t0=\$(awk '{print \$14 + \$15}' /proc/\$prom/stat)
start=\$(date +%s.%N)
sleep $seconds
t1=\$(awk '{print \$14 + \$15}' /proc/\$prom/stat)
end=\$(date +%s.%N)
rss=\$(awk '/VmRSS/ {print \$2}' /proc/\$prom/status)
hwm=\$(awk '/VmHWM/ {print \$2}' /proc/\$prom/status)
q() { curl -s --data-urlencode "query=\$1" http://127.0.0.1:9090/api/v1/query |
    python3 -c 'import json, sys; r = json.load(sys.stdin)["data"]["result"]; print(r[0]["value"][1] if r else "nan")'; }
w=${seconds}s
echo "\$t0 \$t1 \$start \$end \$rss \$hwm" \
    "\$(q "avg_over_time(scrape_duration_seconds{job='vexo'}[\$w])")" \
    "\$(q "max_over_time(scrape_duration_seconds{job='vexo'}[\$w])")" \
    "\$(q "max_over_time(scrape_samples_scraped{job='vexo'}[\$w])")" \
    "\$(q "count_over_time(up{job='vexo'}[\$w])")" \
    "\$(q "count_over_time(up{job='vexo'}[\$w]) - sum_over_time(up{job='vexo'}[\$w])")" \
    "\$(curl -s http://127.0.0.1:9090/metrics | awk '/^prometheus_tsdb_head_series / {print \$2}')" > "$work/figures"
EOS
unshare -n sh "$work/run.sh"
read -r t0 t1 start end rss hwm davg dmax samples scrapes failed head < "$work/figures"
printf '%-8s %10s %10s %10s %14s %14s %12s %16s %12s\n' boards "CPU/core" "RSS" "peak RSS" "scrape mean" "scrape max" \
    samples "scrapes (failed)" "head series"
awk -v n="$n" -v t0="$t0" -v t1="$t1" -v hz="$(getconf CLK_TCK)" -v s="$start" -v e="$end" -v rss="$rss" \
    -v hwm="$hwm" -v davg="$davg" -v dmax="$dmax" -v samples="$samples" -v scrapes="$scrapes" -v failed="$failed" \
    -v head="$head" 'BEGIN {
    printf "%-8d %9.1f%% %7.0f MB %7.0f MB %11.0f ms %11.0f ms %12d %16s %12d\n", n, 100 * (t1 - t0) / hz / (e - s),
        rss / 1024, hwm / 1024, davg * 1000, dmax * 1000, samples, scrapes " (" failed ")", head }'
if [ -s "$work/prometheus.log" ]; then
    echo "prometheus said:"
    tail -5 "$work/prometheus.log" | sed 's/^/  /'
fi
rm -rf "$work"
