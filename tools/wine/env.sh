# The wine environment of a Windows build's tests, in one place. Source it
# with the build folder:
#
#   . tools/wine/env.sh build-win
#
# It exports WINEPREFIX (ZELTA_WINEPREFIX when that is set, so that a test
# stage can keep one prefix for every build folder; else <build>/wineprefix,
# never the user's own prefix), WINEDEBUG, WINEDLLOVERRIDES (no Mono or Gecko
# installer dialogs, no menu entries on the host) and a fixed TMPDIR
# (wineserver's socket folder depends on it), and defines
#
#   zelta_wine_prefix   makes the prefix if it is missing (about 15 s, once)
#   zelta_wine_start    starts a persistent wineserver for the prefix
#   zelta_wine_stop     stops that wineserver (and every program in the prefix)
zelta_wine_build=$(cd "${1:?usage: . tools/wine/env.sh <build folder>}" && pwd)
export WINEPREFIX="${ZELTA_WINEPREFIX:-$zelta_wine_build/wineprefix}"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export TMPDIR=/tmp

zelta_wine_prefix() {
    [ -f "$WINEPREFIX/system.reg" ] && return 0
    mkdir -p "$(dirname "$WINEPREFIX")"
    # One maker at a time: CTest may start several test programs at once.
    (
        flock 9
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            wineboot -i >/dev/null 2>&1
            wineserver -w
        fi
    ) 9>"$WINEPREFIX.lock"
}

zelta_wine_start() {
    zelta_wine_prefix
    wineserver -p
    # The prefix's services start with the first program and live as long as
    # the server; started here, they hold no test's output pipe open.
    wine wineboot.exe </dev/null >/dev/null 2>&1
}

zelta_wine_stop() {
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
}
