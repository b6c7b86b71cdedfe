#!/bin/sh
# Static checks: the code follows .clang-format, and clang-tidy (checks in
# .clang-tidy) and cppcheck report nothing on avr/, lib/, sim/ and tools/.
set -eu
cd "$(dirname "$0")/.."
. ./tools/deps.sh
need_packages cmake:cmake g++:g++ make:make clang-format:clang-format clang-tidy:clang-tidy cppcheck:cppcheck \
    /usr/include/prometheus/text_serializer.h:prometheus-cpp-dev /usr/include/CivetServer.h:libcivetweb-dev /usr/include/zlib.h:zlib1g-dev
cmake -S . -B build-lint -DVEXO_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build build-lint -j"$(nproc 2>/dev/null || echo 2)" >/dev/null # generated files, if any

echo "== clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
echo "== clang-tidy"
status=0
for f in $(git ls-files 'avr/*.cpp' 'lib/*.cpp' 'sim/*.cpp' 'tools/*.cpp'); do
    clang-tidy -p build-lint --quiet "$f" 2>/dev/null || status=1
done
[ $status = 0 ] || { echo "clang-tidy reported problems" >&2; exit 1; }
echo "== cppcheck"
cppcheck --enable=warning,performance,portability,style --std=c++20 --error-exitcode=1 --inline-suppr --quiet \
    -I lib -I avr -I sim -I tools/mon -I tools/exporter -DVEXO_PROJECT_VERSION=\"0\" \
    --suppress=missingIncludeSystem avr lib sim tools
echo "lint: clean"
