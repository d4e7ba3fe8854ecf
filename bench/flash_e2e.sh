#!/usr/bin/env bash
# End-to-end flash timing over a pseudo-terminal: unpaced turnaround, then paced runs at 38400,
# 115200 and 921600 bit/s (the last is a custom rate). The 38400 run takes about 80 s.
#   bench/flash_e2e.sh [BUILD_DIR]     (default build/dev; needs bench_flash_pty and tolvane-flash)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/dev}
bench=$build/bench/bench_flash_pty
[ -x "$bench" ] || { echo "build bench_flash_pty and tolvane-flash into $build first" >&2; exit 1; }
export TOLVANE_BUILD_DIR=$build
echo "== unpaced"
"$bench"
for rate in 921600 115200 38400; do
    echo "== paced at $rate"
    "$bench" --paced "$rate"
done
