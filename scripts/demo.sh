#!/usr/bin/env bash
# Flashes a demo image into the simulated device: installs and builds what is missing, starts
# tolvane-devsim on a pseudo-terminal, runs tolvane-flash against it with a progress bar and checks
# that the device holds the image, zero-padded to whole 267-byte blocks.
#   scripts/demo.sh           the command-line flasher
#   scripts/demo.sh --gui     the windowed tool on the same simulated device
#   scripts/demo.sh --term    tolvane-term on a pseudo-terminal whose far end draws a VT100
#                             screen and echoes what is typed; with TOLVANE_DEMO_UNPLUG=S the far
#                             end vanishes after S seconds, and with TOLVANE_DEMO_REPLUG=R comes
#                             back R seconds later at the same path (the terminal reconnects)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

gui=0
term=0
case "${1:-}" in
--gui) gui=1 ;;
--term) term=1 ;;
"") ;;
*) echo "usage: scripts/demo.sh [--gui|--term]" >&2; exit 1 ;;
esac

scripts/setup-deps.sh

build=$root/build/demo
export CCACHE_DIR=${CCACHE_DIR:-$root/build/.ccache}
targets=(--target tolvane-flash --target tolvane-devsim)
[ $gui -eq 1 ] && targets+=(--target tolvane)
[ $term -eq 1 ] && targets=(--target tolvane-term)
# Serialised with every other build on this machine.
flock /tmp/tolvane-build.lock bash -c '
  [ -f "$0/build.ninja" ] || cmake -S "$1" -B "$0" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTOLVANE_TESTS=OFF -DTOLVANE_BENCH=OFF >/dev/null
  cmake --build "$0" -j 2 "${@:2}"' "$build" "$root" "${targets[@]}"

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-demo-XXXXXX")
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

if [ $term -eq 1 ]; then
    # The far end appears as a serial device in a folder of its own, which the terminal watches
    # for the device coming back.
    link=$work/ttyUSB0
    export CPORT_DEVICE_DIR=$work
    # The far end: a pseudo-terminal in raw mode; draws a screen with cursor moves, attributes,
    # erases and tabs, then echoes every byte typed (a typed CR as CR LF).
    python3 - "$link" >"$work/host.log" 2>&1 <<'HOST' &
import os, pty, select, signal, sys, time, tty
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
unplug = float(os.environ.get("TOLVANE_DEMO_UNPLUG") or 0)
replug = float(os.environ.get("TOLVANE_DEMO_REPLUG") or 0)
start = time.monotonic()
def plug():
    m, s = pty.openpty()
    tty.setraw(s)
    os.symlink(os.ttyname(s), sys.argv[1])
    return m, s
master, slave = plug()
E = "\x1b"
screen = (E + "[2J" + E + "[H" + E + "[7m tolvane-term demo " + E + "[0m\r\n\r\n"
          + "Cursor moves:" + E + "[4;20H(row 4, col 20)" + E + "[6;1H"
          + E + "[1mbright" + E + "[0m  " + E + "[4munderlined" + E + "[0m  " + E + "[7minverse" + E + "[0m\r\n"
          + "tabs:\tone\ttwo\tthree\r\n"
          + "erased to the end of this line: XXXXXXXX" + E + "[8D" + E + "[K\r\n\r\n"
          + "Type here, the far end echoes: ")
time.sleep(0.5)
os.write(master, screen.encode())
while True:
    r, _, _ = select.select([master], [], [], 0.1 if unplug else 1.0)
    if unplug and time.monotonic() - start > unplug:
        os.write(master, b"\r\nunplugging now\r\n")
        time.sleep(0.2)
        os.close(master)
        os.close(slave)
        os.unlink(sys.argv[1])
        unplug = 0
        if not replug:
            signal.pause()
        time.sleep(replug)
        master, slave = plug()
        time.sleep(0.3)
        os.write(master, b"back again: the same device, reconnected\r\n")
        continue
    if not r:
        continue
    try:
        data = os.read(master, 1024)
    except OSError:
        break
    if not data:
        break
    os.write(master, data.replace(b"\r", b"\r\n"))
HOST
    sim_pid=$!
    for _ in $(seq 100); do [ -L "$link" ] && break; sleep 0.05; done
    [ -L "$link" ] || { cat "$work/host.log" >&2; echo "demo: the far end did not start" >&2; exit 1; }
    echo "demo: tolvane-term on $(readlink "$link")"
    "$build/tools/term/tolvane-term" -p "$link" -b 115200 --settings "$work/term.ini" "${@:2}"
    exit 0
fi

image=$work/demo.flash
head -c 100000 /dev/urandom >"$image"
link=$work/device

# A device with a few CRC and verify errors, answering at the pace of a 115200 bit/s line.
"$build/tools/tolvane-devsim" --link "$link" --output "$work/received.bin" --baud 115200 --pace \
    --crc-errors 0.02 --verify-errors 0.01 --seed 7 >"$work/devsim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -L "$link" ] && break; sleep 0.05; done
[ -L "$link" ] || { cat "$work/devsim.log" >&2; echo "demo: the simulated device did not start" >&2; exit 1; }
echo "demo: simulated device on $(readlink "$link")"

if [ $gui -eq 1 ]; then
    [ -x "$build/app/tolvane" ] || { echo "demo: the windowed tool is not built yet" >&2; exit 1; }
    echo "demo: the device is COM1 for this run; load $image and press \"Zapisz Flash\""
    (cd "$work" && CPORT_DEVICES="COM1=$link" "$build/app/tolvane")
    exit 0
fi

"$build/tools/tolvane-flash" -p "$link" -b 115200 "$image"
# The device stores what it received once the end command is followed by a quiet line.
for _ in $(seq 100); do [ -f "$work/received.bin" ] && break; sleep 0.05; done

blocks=$(( ($(stat -c %s "$image") + 266) / 267 ))
head -c $((blocks * 267)) /dev/zero >"$work/expected.bin"
dd if="$image" of="$work/expected.bin" conv=notrunc status=none
if cmp -s "$work/expected.bin" "$work/received.bin"; then
    echo "demo: the device holds the image ($blocks blocks)"
else
    echo "demo: the device's contents differ from the image" >&2
    cat "$work/devsim.log" >&2
    exit 1
fi
