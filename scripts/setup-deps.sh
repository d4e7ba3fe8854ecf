#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12. Idempotent: installs only
# what is missing. Works as root, or through sudo otherwise.
set -euo pipefail

# fonts-urw-base35 carries the sans-serif face the windows are laid out for (Nimbus Sans);
# fonts-dejavu-core the fixed-pitch face the terminal's "Fixedsys" stands for; libvterm-dev is
# the reference the terminal benchmark measures against (benchmarks only); ser2net is the network
# serial server the network-port tests talk to (started by the tests with their own file, never as
# a service); bash-completion runs the completion scripts in their test; groff-base renders the
# man pages for the option-coverage test; lrzsz are the file transfer programs tolvane-term runs
# (and its tests run on the far end); tmux hosts the console-mode test; xvfb, xdotool and xclip
# run tolvane-term on a real X display for the selection and paste test.
packages=(cmake ninja-build g++ clang ccache pkg-config
          qt6-base-dev libgl-dev libgtest-dev libgmock-dev libbenchmark-dev
          libclang-rt-14-dev util-linux fonts-urw-base35 desktop-file-utils
          fonts-dejavu-core libvterm-dev ser2net bash-completion groff-base lrzsz tmux
          xvfb xdotool xclip)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "setup-deps: everything is installed"
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    echo "setup-deps: need root or sudo to install: ${missing[*]}" >&2
    exit 1
fi
echo "setup-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
