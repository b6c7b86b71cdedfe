#!/bin/sh
# Builds the Debian package for this machine's architecture (or, given a
# toolchain file, for another), checks it with lintian, and verifies the
# systemd unit. Run as root on a fresh machine, it installs what it needs.
#   ./tools/package.sh [TOOLCHAIN_FILE]
set -eu
cd "$(dirname "$0")/.."
. ./tools/deps.sh
need_packages cmake:cmake g++:g++ make:make dpkg-shlibdeps:dpkg-dev lintian:lintian
[ $# -gt 0 ] || need_packages /usr/include/prometheus/text_serializer.h:prometheus-cpp-dev \
    /usr/include/CivetServer.h:libcivetweb-dev /usr/include/zlib.h:zlib1g-dev

dir=build-pkg
toolchain=""
if [ $# -gt 0 ]; then
    dir=build-pkg-$(basename "$1" .cmake)
    toolchain="-DCMAKE_TOOLCHAIN_FILE=$1"
fi
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DVEXO_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr $toolchain >/dev/null
cmake --build "$dir" -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
rm -f "$dir"/vexo*.deb
(cd "$dir" && cpack >/dev/null)
for deb in "$dir"/vexo*.deb; do
    echo "package: $deb ($(wc -c < "$deb") bytes)"
    lintian --fail-on error "$deb"
    echo "lintian: no errors"
done
deb=$(ls "$dir"/vexo_*.deb)
# The board's package needs the C library and the C++ runtime only.
if dpkg-deb -f "$deb" Depends | grep -q prometheus; then
    echo "$deb depends on the exporter's libraries" >&2
    exit 1
fi

if [ -z "$toolchain" ] && command -v systemd-analyze >/dev/null 2>&1; then
    # Verify the unit as installed, with ExecStart pointing at the built binary.
    tmp=$(mktemp -d)
    sed "s|/usr/bin/vexo|$PWD/$dir/vexo|" "$dir/dist/vexo-charge.service" > "$tmp/vexo-charge.service"
    systemd-analyze verify --man=no "$tmp/vexo-charge.service"
    echo "systemd-analyze verify: vexo-charge.service is valid"
    if [ -f "$dir/dist/vexo-exporter.service" ]; then
        sed "s|/usr/bin/vexo-exporter|$PWD/$dir/clients/vexo-exporter|" "$dir/dist/vexo-exporter.service" \
            > "$tmp/vexo-exporter.service"
        systemd-analyze verify --man=no "$tmp/vexo-exporter.service"
        echo "systemd-analyze verify: vexo-exporter.service is valid"
    fi
    rm -rf "$tmp"
fi
