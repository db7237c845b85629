# Shared settings for the project's scripts; sourced, not run.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINESERVER

# The shipped program is 32-bit. Where this machine's kernel cannot run 32-bit code (Wine's i386
# loader then fails with "Exec format error"), the same sources are built for 64-bit Windows and
# run under 64-bit Wine instead; PLOVANE_ARCH=i686 or x86_64 overrides the choice.
can_run_32bit_wine() {
    [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

. "$ROOT/scripts/wine10-tree.sh"

# PLOVANE_WINE=10 runs the Windows programs under Wine 10 instead of this machine's Wine 8.
select_arch() {
    if [ -n "${PLOVANE_ARCH:-}" ]; then
        ARCH=$PLOVANE_ARCH
    elif can_run_32bit_wine; then
        ARCH=i686
    else
        ARCH=x86_64
    fi
    if [ "$ARCH" = i686 ]; then
        WINE=/usr/lib/wine/wine
        export WINEARCH=win32
    else
        WINE=/usr/lib/wine/wine64
        export WINEARCH=win64
        export WINELOADER=$WINE
    fi
    if [ -x /usr/lib/wine/wineserver64 ]; then
        WINESERVER_BIN=/usr/lib/wine/wineserver64
    else
        WINESERVER_BIN=/usr/lib/wine/wineserver32
    fi
    WINE_VERSION=8
    WINE_WAY=native
    if [ "${PLOVANE_WINE:-8}" = 10 ]; then
        WINE_VERSION=10
        WINE_WAY=$(wine10_way)
        WINE=$ROOT/scripts/wine10
        WINESERVER_BIN=$ROOT/scripts/wineserver10
        unset WINELOADER
    fi
    # What ran a part, for the output: "Wine 10, 32-bit code emulated".
    WINE_SAYS="Wine $WINE_VERSION, 32-bit code $WINE_WAY"
    [ "$WINE_WAY" = native ] && WINE_SAYS="Wine $WINE_VERSION, native"
    BUILD=$ROOT/build/$ARCH
}

# A project-local prefix: build/wine-<arch>-<use> (build/wine10-<arch>-<use> for Wine 10), so
# nothing touches the user's own.
use_prefix() {
    local wine=wine
    [ "$WINE_VERSION" = 8 ] || wine=wine$WINE_VERSION
    export WINEPREFIX=$ROOT/build/$wine-$ARCH-$1
}

say() { printf '%s: %s\n' "$(basename "$0")" "$*" >&2; }

# Runs a command on a private Xvfb display unless one was made for us already.
on_private_display() {
    if [ -n "${PLOVANE_IN_XVFB:-}" ]; then
        "$@"
    else
        PLOVANE_IN_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24" "$@"
    fi
}

configure_and_build() {  # preset, then extra cmake arguments
    local preset=$1
    shift
    cmake --preset "$preset" "$@" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
}

# A window manager that follows the EWMH names a check window on the root window, and that
# window names itself. Fails where none runs (a bare X server, Xvfb).
window_manager_runs() {
    local check=(-notype -f _NET_SUPPORTING_WM_CHECK 32x ' $0' _NET_SUPPORTING_WM_CHECK) id
    id=$(xprop -root "${check[@]}" 2>/dev/null | grep -o ' 0x[0-9a-fA-F]*$')
    [ -n "$id" ] && xprop -id $id "${check[@]}" 2>/dev/null | grep -q "$id\$"
}

# Wine's default virtual desktop only where no window manager runs: it spares the 2 s Wine waits
# there whenever a window hides. On a desktop the programs are ordinary windows. For WINEPREFIX;
# PLOVANE_DESKTOP=virtual or windows overrides the choice.
choose_wine_desktop() {
    local choice=${PLOVANE_DESKTOP:-}
    [ -n "$choice" ] || { window_manager_runs && choice=windows || choice=virtual; }
    if [ "$choice" = windows ]; then
        "$WINE" reg delete 'HKCU\Software\Wine\Explorer' /v Desktop /f </dev/null >/dev/null 2>&1 ||
            true
    else
        "$WINE" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default /f \
            </dev/null >/dev/null 2>&1
    fi
    say "Wine desktop: $choice"
}
