# shellcheck shell=sh
# Sourced by the fleet benchmarks: the exporter's --boards file for the
# addresses vexo-fleet-sim simulates by default.
#   fleet_boards N FILE    N lines "127.1.0.1=b00000", "127.1.0.2=b00001", ...
fleet_boards() {
    python3 -c "
import ipaddress
a = ipaddress.ip_address('127.1.0.1')
for i in range($1): print(f'{a + i}=b{i:05d}')
" > "$2"
}
