#!/bin/sh
# Installs what the build and the tests need on Debian 12, skipping what is
# already there so that a second run costs nothing.
set -e
# The tests open exports with the programs their users open them with:
# poppler-utils (PDF), python3-hyperspy (MSA), python3-pandas (CSV). The PDF
# reports are drawn in fonts-dejavu-core and, for Chinese, Japanese and
# Korean, fonts-wqy-microhei. The viewer (serve) is built on
# libcpp-httplib-dev, plots with libjs-dygraphs and is tested in chromium.
PKGS="build-essential cmake qtbase5-dev libqt5sql5-sqlite libsqlite3-dev sqlite3 python3 procps strace tzdata libzip-dev libxrl-dev poppler-utils python3-hyperspy python3-pandas unzip fonts-dejavu-core fonts-wqy-microhei dpkg-dev file clang libclang-rt-14-dev libqt5sql5-psql postgresql libcpp-httplib-dev libjs-dygraphs chromium"
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "install-deps: need root to install:$missing" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends $missing
fi
