#!/usr/bin/env bash
# Builds the installable tree (shared libraries with a SONAME, prefix /usr), installs it into a
# temporary prefix, builds and runs tests/consumer against it with find_package(CPort), builds the
# Debian package and checks its contents and desktop entries. scripts/test.sh runs it; by hand:
#   scripts/package.sh            the package is left in build/package/tolvane_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export CCACHE_DIR=${CCACHE_DIR:-$root/build/.ccache}
build=$root/build/package
jobs=$(nproc)

echo "=== configure package"
cmake -S "$root" -B "$build" -G Ninja -DTOLVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_SHARED=ON \
    -DTOLVANE_TESTS=OFF -DTOLVANE_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
echo "=== build package"
cmake --build "$build" -j "$jobs"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
echo "=== install into a temporary prefix"
cmake --install "$build" --prefix "$stage/prefix" >/dev/null
for tool in tolvane tolvane-flash tolvane-devsim tolvane-term tolvane-gallery; do
    QT_QPA_PLATFORM=offscreen "$stage/prefix/bin/$tool" --version
done
echo "=== consumer project against the installed tree"
cmake -S "$root/tests/consumer" -B "$stage/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$stage/prefix" >/dev/null
cmake --build "$stage/consumer" >/dev/null
"$stage/consumer/consumer"
PKG_CONFIG_PATH=$(dirname "$(find "$stage/prefix" -name cport.pc)") pkg-config --libs --cflags cport

echo "=== Debian package"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tolvane_*.deb)
dpkg-deb -c "$deb" | awk '{print $NF}' >"$stage/contents"
missing=0
for f in ./usr/bin/tolvane ./usr/bin/tolvane-flash ./usr/bin/tolvane-devsim ./usr/bin/tolvane-term \
    ./usr/bin/tolvane-gallery ./usr/share/applications/tolvane.desktop \
    ./usr/share/applications/tolvane-term.desktop ./usr/share/applications/tolvane-gallery.desktop ./usr/share/icons/hicolor/scalable/apps/tolvane.svg \
    ./usr/share/icons/hicolor/48x48/apps/tolvane.png ./usr/share/man/man1/tolvane.1.gz \
    ./usr/share/man/man1/tolvane-flash.1.gz ./usr/share/man/man1/tolvane-devsim.1.gz \
    ./usr/share/man/man1/tolvane-term.1.gz ./usr/share/man/man1/tolvane-gallery.1.gz \
    ./usr/share/bash-completion/completions/tolvane-flash ./usr/share/bash-completion/completions/tolvane-devsim \
    ./usr/share/bash-completion/completions/tolvane-term ./usr/include/tolvane/cport/ComPort.h \
    ./usr/lib/x86_64-linux-gnu/cmake/CPort/CPortConfig.cmake ./usr/lib/x86_64-linux-gnu/pkgconfig/cport.pc; do
    grep -qxF "$f" "$stage/contents" || { echo "package lacks $f" >&2; missing=1; }
done
grep -q '/usr/lib/x86_64-linux-gnu/libcport.so.2' "$stage/contents" || { echo "package lacks libcport.so.2" >&2; missing=1; }
[ $missing -eq 0 ]
dpkg-deb -f "$deb" Package Version Depends
desktop-file-validate "$root"/packaging/*.desktop
echo "=== package ok: $deb"
