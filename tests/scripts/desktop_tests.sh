#!/usr/bin/env bash
# scripts/run's choice of Wine desktop: the virtual desktop on a display without a window
# manager, ordinary windows where one runs; and that scripts/run brings the tool up in front with
# the focus, beside the Actions window, every time. Runs on the X display it is given (scripts/test's
# private Xvfb, which has no window manager) and stands in for one by naming an EWMH check
# window on the root window, as every EWMH window manager does. In a copy of the clean template
# prefix (build/wine-<arch>-package).
set -uo pipefail
. "$(dirname "$0")/../../scripts/lib.sh"

passed=0
failed=0
expect_desktop() {  # what, expected value of Explorer\Desktop ("" for none)
    local got
    choose_wine_desktop 2>/dev/null
    got=$("$WINE" reg query 'HKCU\Software\Wine\Explorer' /v Desktop </dev/null 2>/dev/null |
          tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p')
    if [ "$got" = "$2" ]; then
        passed=$((passed + 1))
        printf 'ok    %s\n' "$1"
    else
        failed=$((failed + 1))
        printf 'FAIL  %s: Desktop is "%s", expected "%s"\n' "$1" "$got" "$2"
    fi
}
root=$(xwininfo -root | sed -n 's/.*Window id: \(0x[0-9a-fA-F]*\).*/\1/p')
name_check_window() { xprop -root -f _NET_SUPPORTING_WM_CHECK 32x -set _NET_SUPPORTING_WM_CHECK "$1"; }

select_arch
"$ROOT/scripts/setup" package
use_prefix package
template=$WINEPREFIX
export WINEPREFIX=$ROOT/build/desktop-tests-prefix
rm -rf "$WINEPREFIX"
cp -a "$template" "$WINEPREFIX"
"$WINESERVER_BIN" -p

# Xvfb forgets the root window's properties when its last client leaves: one stays connected.
xprop -root -spy >/dev/null 2>&1 &
keeper=$!
unset PLOVANE_DESKTOP
xprop -root -remove _NET_SUPPORTING_WM_CHECK 2>/dev/null
expect_desktop "no window manager: the virtual desktop" Default
# The root window names itself: the smallest check window there is.
name_check_window "$root"
expect_desktop "a window manager runs: ordinary windows" ""
name_check_window 0x1
expect_desktop "a check window left by a window manager that has gone: the virtual desktop" Default
name_check_window "$root"
PLOVANE_DESKTOP=virtual expect_desktop "PLOVANE_DESKTOP=virtual overrides" Default
xprop -root -remove _NET_SUPPORTING_WM_CHECK
PLOVANE_DESKTOP=windows expect_desktop "PLOVANE_DESKTOP=windows overrides" ""

kill "$keeper"

# scripts/run in this prefix, several times over: the tool started beside the Actions window comes
# up in front with the focus each time (checked from inside the prefix, which then closes it).
runs=${PLOVANE_RUN_TIMES:-4}
for run in $(seq "$runs"); do
    PLOVANE_WINEPREFIX=$WINEPREFIX "$ROOT/scripts/run" >/dev/null 2>&1 </dev/null &
    started=$!
    if "$WINE" "$BUILD/bin/plovane-tests.exe" --gtest_also_run_disabled_tests \
        --gtest_filter=RunScriptCheck.* </dev/null >"$WINEPREFIX/run-check.log" 2>&1; then
        passed=$((passed + 1))
        printf 'ok    scripts/run %s of %s: the tool is in front with the focus\n' "$run" "$runs"
    else
        failed=$((failed + 1))
        printf 'FAIL  scripts/run %s of %s:\n' "$run" "$runs"
        grep -E 'Failure|Expected|Which is|actual' "$WINEPREFIX/run-check.log" | tr -d '\r'
        "$WINE" taskkill /im plovane-actions.exe </dev/null >/dev/null 2>&1 || true
    fi
    wait "$started" || true
done
"$WINESERVER_BIN" -k >/dev/null 2>&1 || true
[ "$failed" -eq 0 ] && rm -rf "$WINEPREFIX"
echo "desktop tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
