#!/bin/sh
# Installs a build into a scratch prefix, builds and runs the example host
# against it, then makes the Debian package and looks inside it.
# Usage: scripts/check-package.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
build="$(cd "${1:-build}" && pwd)"
jobs="$(nproc 2>/dev/null || echo 2)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

echo "check-package: install into a scratch prefix"
prefix="$tmp/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
# The installed program reads the configuration installed with it: a serial
# changed there names the database it makes.
sed -i 's/"insSerialNumber": "[^"]*"/"insSerialNumber": "PREFIX-1"/' \
    "$prefix/share/xrfresults/config/universal.json"
"$prefix/bin/xrfresults" --data "$tmp/data" store "$prefix/share/xrfresults/samples" >/dev/null
[ -f "$tmp/data/db/PREFIX-1.sqlite" ] || fail "installed xrfresults did not use its configuration"

echo "check-package: the example host against the prefix"
cmake -S examples -B "$tmp/example" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/example" -j"$jobs" >/dev/null
"$tmp/example/storeandread"

echo "check-package: the Debian package"
(cd "$build" && cpack -G DEB -B "$tmp/deb" >/dev/null)
deb="$(find "$tmp/deb" -maxdepth 1 -name '*.deb')"
[ -f "$deb" ] || fail "cpack made no .deb"
root="$tmp/root"
dpkg -x "$deb" "$root"
has() {
    [ -n "$(find "$root" -path "*/$1" | head -n 1)" ] || fail "no $1 in $(basename "$deb")"
}
for f in bin/xrfresults libResultManager.so libXrfCommon.so libXrfServices.so libXrfReports.so \
         include/XrfResultManager/resultmanager.h include/XrfResultManager/xrfresultqueue.h \
         include/XrfResultManager/resultmanager_global.h include/XrfResultManager/xrfkorviresult.h \
         cmake/XrfResultManager/XrfResultManagerConfig.cmake \
         cmake/XrfResultManager/XrfResultManagerConfigVersion.cmake \
         cmake/XrfResultManager/XrfResultManagerTargets.cmake \
         share/xrfresults/config/universal.json share/xrfresults/samples/01-stainless-316.json; do
    has "$f"
done
# Only the headers the install names are packaged ...
installed="$(sed -n 's|^ *\(ResultManager/src/[a-z/_]*\.h\)$|\1|p' cmake/XrfInstall.cmake)"
for h in $(find ResultManager/src -name '*.h'); do
    echo "$installed" | grep -qx "$h" && continue
    [ -z "$(find "$root" -name "$(basename "$h")")" ] || fail "private header $h packaged"
done
# ... and the host compiles against those alone.
for h in $(sed -n 's|^#include "\(.*\)"$|\1|p' tools/xrfresults/*.cpp tools/xrfresults/*.h \
               tools/xrfresults/*/*.cpp tools/xrfresults/*/*.h 2>/dev/null | sort -u); do
    [ -n "$(find tools/xrfresults -name "$h")" ] && continue
    [ -n "$(find "$root" -path "*/include/XrfResultManager/$h")" ] || \
        fail "xrfresults includes $h, which is not installed"
done
depends="$(dpkg-deb -f "$deb" Depends)"
for p in libqt5core5a libqt5sql5 libqt5sql5-sqlite fonts-dejavu-core fonts-wqy-microhei; do
    echo "$depends" | grep -Eq "(^|, )$p( |,|$)" || fail "the package does not depend on $p: $depends"
done
version="$(dpkg-deb -f "$deb" Version)"
said="$("$(find "$root" -path '*/bin/xrfresults')" --version)"
[ "$said" = "xrfresults $version" ] || fail "xrfresults --version says '$said', the package is $version"
echo "check-package: $(basename "$deb") ok"
