#!/usr/bin/env bash
# Builds and runs everything CI runs: the normal build and all tests, then the installable tree
# and its package (scripts/package.sh), then all tests under ASan+UBSan, then the non-widget tests
# under TSan. Exits non-zero on any failure.
#   scripts/test.sh            all three runs
#   scripts/test.sh --quick    the normal run only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/setup-deps.sh

export QT_QPA_PLATFORM=offscreen
export CCACHE_DIR=${CCACHE_DIR:-$root/build/.ccache}
jobs=$(nproc)

run() {
    local dir=$1 label_args=$2
    shift 2
    echo "=== configure $dir $*"
    cmake -S "$root" -B "$root/build/$dir" -G Ninja -DTOLVANE_WERROR=ON "$@" >/dev/null
    echo "=== build $dir"
    cmake --build "$root/build/$dir" -j "$jobs"
    echo "=== test $dir"
    # shellcheck disable=SC2086
    ctest --test-dir "$root/build/$dir" -j "$jobs" --output-on-failure --no-tests=error $label_args
}

run normal "" -DCMAKE_BUILD_TYPE=RelWithDebInfo
[ $quick -eq 1 ] && exit 0

# The installable tree: shared libraries, a consumer project built against them, the .deb.
scripts/package.sh

ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run asan "" -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_SANITIZE=address,undefined -DTOLVANE_BENCH=OFF

# Widgets are left out of the TSan run: Qt itself is not built with TSan.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run tsan "-LE gui" -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_SANITIZE=thread -DTOLVANE_GUI=OFF -DTOLVANE_BENCH=OFF

echo "=== all test runs passed"
