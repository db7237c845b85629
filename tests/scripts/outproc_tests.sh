#!/usr/bin/env bash
# Runs the out-of-process tests (outproc-tests.exe, given as $1) in a copy of the clean template
# prefix (build/wine-<arch>-package), so that they have a wineserver of their own: after a local
# server is killed, Wine keeps its class unreachable until the wineserver restarts. The test that
# kills the server gets a fresh wineserver to itself. Needs an X display (scripts/test gives one).
set -uo pipefail
. "$(dirname "$0")/../../scripts/lib.sh"

exe=$1
select_arch
"$ROOT/scripts/setup" package >/dev/null
use_prefix package
template=$WINEPREFIX
export WINEPREFIX=$ROOT/build/outproc-tests-prefix
rm -rf "$WINEPREFIX"
cp -a "$template" "$WINEPREFIX"

status=0
in_own_wineserver() {  # gtest filter
    "$WINESERVER_BIN" -k >/dev/null 2>&1 || true
    "$WINESERVER_BIN" -p
    "$WINE" wineboot </dev/null >/dev/null 2>&1 || true
    OANOCACHE=1 timeout 300 "$WINE" "$exe" --gtest_filter="$1" </dev/null || status=1
    "$WINESERVER_BIN" -k >/dev/null 2>&1 || true
}
in_own_wineserver '-*ServerKilled*'
in_own_wineserver '*ServerKilled*'
[ "$status" -eq 0 ] && rm -rf "$WINEPREFIX"
exit $status
