# The wine environment of a Windows build's tests, in one place. Source it
# with the build folder:
#
#   . tools/wine/env.sh build-win
#
# It exports WINEPREFIX (<build>/wineprefix, unless WINEPREFIX is already
# set: a test stage that exported one keeps it for every build folder),
# WINEDEBUG, WINEDLLOVERRIDES (no Mono or Gecko installer dialogs) and a
# fixed TMPDIR (wineserver's socket folder depends on it), and defines
#
#   zelta_wine_prefix   makes the prefix if it is missing (about 13 s, once)
#   zelta_wine_start    starts a persistent wineserver for the prefix
#   zelta_wine_stop     stops that wineserver (and every program in the prefix)
zelta_wine_build=$(cd "${1:?usage: . tools/wine/env.sh <build folder>}" && pwd)
: "${WINEPREFIX:=$zelta_wine_build/wineprefix}"
export WINEPREFIX
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
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
}

zelta_wine_stop() {
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
}
