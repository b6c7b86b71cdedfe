#!/bin/sh
# Static checks: the code follows .clang-format; clang-tidy (checks in
# .clang-tidy) and cppcheck report nothing on avr/, lib/, sim/ and clients/;
# and the arrows between the folders run one way: lib/ knows no board, and
# neither the board's program nor its library includes a header of the
# simulators, the operator-side programs or the tests.
set -eu
cd "$(dirname "$0")/.."
. ./tools/deps.sh
need_packages cmake:cmake g++:g++ make:make clang-format:clang-format clang-tidy:clang-tidy cppcheck:cppcheck \
    /usr/include/prometheus/text_serializer.h:prometheus-cpp-dev /usr/include/CivetServer.h:libcivetweb-dev /usr/include/zlib.h:zlib1g-dev
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-lint -DVEXO_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null # compile_commands.json

echo "== layout"
status=0
wrong=$(git grep -n -E '#include "(avr|sim|clients|tests|bench|fuzz)/' -- 'lib/*' || true)
[ -z "$wrong" ] || { echo "lib/ is the board's support library and knows no board:"; echo "$wrong"; status=1; }
wrong=$(git grep -n -E '#include "(sim|clients|tests|bench|fuzz)/' -- 'avr/*' || true)
[ -z "$wrong" ] || { echo "the board's program includes no simulator, operator-side or test header:"; echo "$wrong"; status=1; }
wrong=$(git grep -n -E '#include "[^/"]*"' -- '*.cpp' '*.h' '*.c' || true)
[ -z "$wrong" ] || { echo "an include names the folder its header lives in:"; echo "$wrong"; status=1; }
[ $status = 0 ] || exit 1
echo "== clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
echo "== clang-tidy"
git ls-files 'avr/*.cpp' 'lib/*.cpp' 'sim/*.cpp' 'clients/*.cpp' |
    xargs -P "$jobs" -n 1 sh -c 'clang-tidy -p build-lint --quiet "$@" 2>/dev/null' clang-tidy ||
    { echo "clang-tidy reported problems" >&2; exit 1; }
echo "== cppcheck"
cppcheck --enable=warning,performance,portability,style --std=c++20 --error-exitcode=1 --inline-suppr --quiet \
    -j "$jobs" -I . -DVEXO_PROJECT_VERSION=\"0\" \
    --suppress=missingIncludeSystem avr lib sim clients
echo "lint: clean"
