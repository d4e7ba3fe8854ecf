#!/usr/bin/env bash
# Factory mode timing: one 300000-byte image into 8 simulated devices paced at 921600 bit/s in one
# run of tolvane-flash, against the same image into one such device alone, measured in the same
# run. Reports the wall-time ratio (target <= 1.15) and the flasher's CPU time per device.
#   bench/factory_e2e.sh [BUILD_DIR] [DEVICES]   (default build/dev and 8; needs the two tools)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/dev}
n=${2:-8}
flash=$build/tools/tolvane-flash
sim=$build/tools/tolvane-devsim
[ -x "$flash" ] && [ -x "$sim" ] || { echo "build tolvane-flash and tolvane-devsim into $build first" >&2; exit 1; }
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
head -c 300000 /dev/urandom >"$work/image.flash"
for i in $(seq 1 "$n"); do
    "$sim" --link "$work/dev$i" --pace --baud 921600 --quiet &
    pids+=($!)
done
for i in $(seq 1 "$n"); do
    for _ in $(seq 1 200); do [ -L "$work/dev$i" ] && break; sleep 0.01; done
done

# Start and end of one flasher run.
measure() {
    local start end
    start=$(date +%s.%N)
    "$flash" -b 921600 -t 10 "$@" "$work/image.flash" >/dev/null
    end=$(date +%s.%N)
    echo "$start $end"
}
ports_one="$work/dev1"
ports_all=$(for i in $(seq 1 "$n"); do printf '%s,' "$work/dev$i"; done)
ports_all=${ports_all%,}

read -r s1 e1 < <(measure -p "$ports_one")
cpu0=$(awk '{print $14+$15+$16+$17}' /proc/$$/stat)
t0=$(date +%s.%N)
"$flash" -b 921600 -t 10 -p "$ports_all" "$work/image.flash" >"$work/all.log"
t1=$(date +%s.%N)
cpu1=$(awk '{print $14+$15+$16+$17}' /proc/$$/stat)
ticks=$(getconf CLK_TCK)
awk -v s1="$s1" -v e1="$e1" -v t0="$t0" -v t1="$t1" -v c0="$cpu0" -v c1="$cpu1" -v hz="$ticks" -v n="$n" 'BEGIN {
    one = e1 - s1; all = t1 - t0
    printf "one device:   %.3f s\n", one
    printf "%d devices:    %.3f s   ratio %.3f (target <= 1.15)\n", n, all, all / one
    printf "flasher CPU:  %.3f s in all, %.1f ms per device\n", (c1 - c0) / hz, (c1 - c0) / hz / n * 1000
}'
grep -c ": written: 300000 bytes" "$work/all.log" | awk -v n="$n" '{ printf "jobs written: %d of %d\n", $1, n }'
