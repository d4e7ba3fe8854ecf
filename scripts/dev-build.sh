#!/usr/bin/env bash
# Developer build into build/dev, serialised by a lock so parallel work never runs two builds at once.
#   scripts/dev-build.sh [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export CCACHE_DIR=${CCACHE_DIR:-$root/build/.ccache}
targets=()
for t in "$@"; do targets+=(--target "$t"); done
exec flock /tmp/tolvane-build.lock bash -c '
  [ -f "$0/build/dev/build.ninja" ] || cmake -S "$0" -B "$0/build/dev" -G Ninja -DTOLVANE_WERROR=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build "$0/build/dev" -j 2 "${@}"' "$root" "${targets[@]}"
