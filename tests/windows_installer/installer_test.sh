#!/usr/bin/env bash
# Builds the Windows packages of a Windows build, installs the installer
# silently under wine, checks what it put in place (the "Open with" keys of
# .s98 among it), uninstalls silently and checks that it is all gone; then
# installs and uninstalls once more over another program's .s98 values, which
# must stay.
#
#   tests/windows_installer/installer_test.sh BUILD_FOLDER
#
# BUILD_FOLDER was configured with cmake/mingw-w64-x86_64.cmake. The packages
# are made by `cmake --build BUILD_FOLDER --target package`.
#
# Wine: with WINEPREFIX set, that prefix is used as it is, with the caller's
# TMPDIR and the caller's wineserver; it is left as it was, but for the
# uninstaller's copy of itself in TEMP (~nsu*.tmp), which Windows deletes at
# the next restart.
# Without, the test makes a prefix of its own in BUILD_FOLDER/installer-test
# (about 15 s the first time), runs a wineserver for it and stops that at the
# end.
#
# Only results are checked, never exit codes: an installer wine cannot run
# (a 32-bit one under wine64) does nothing and still exits 0.
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 BUILD_FOLDER" >&2; exit 2; }
build=$(cd "$1" && pwd)

for tool in wine wineserver cmake; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool not found"; exit 1; }
done

export WINEDEBUG=-all
# No .NET or Gecko installer; no desktop menu entries from the shortcut.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

work=""
own_prefix=0
cleanup() {
    [ -z "$work" ] || rm -rf "$work"
    [ "$own_prefix" = 0 ] || wineserver -k || true
}
trap cleanup EXIT

if [ -z "${WINEPREFIX:-}" ]; then
    own=$build/installer-test
    export WINEPREFIX=$own/prefix TMPDIR=$own/tmp
    mkdir -p "$TMPDIR"
    if [ ! -f "$own/prefix-ready" ]; then
        rm -rf "$WINEPREFIX"
        wineboot -i
        wineserver -w
        touch "$own/prefix-ready"
    fi
    own_prefix=1
    wineserver -p || true  # 2: already running
fi

# Where a 64-bit installer puts things, as Linux paths into the prefix.
drive_c=$WINEPREFIX/drive_c
folder=$drive_c/Program\ Files/zelta
folder_win='C:\Program Files\zelta'
shortcut=$drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/zelta.lnk
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\zelta'

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
seconds_since() {  # seconds_since START_NANOSECONDS
    local ns=$(( $(date +%s%N) - $1 ))
    printf '%d.%02d' $((ns / 1000000000)) $((ns % 1000000000 / 10000000))
}
registry=""
read_registry() {  # the uninstall key's values into $registry, or nothing
    registry=$(wine reg query "$key" 2>&1) || registry=""
    registry=${registry//$'\r'/}
}
registry_value() {  # registry_value NAME
    sed -n "s/^ *$1 *REG_[A-Z_]* *//p" <<<"$registry"
}
classes='HKLM\Software\Classes'
open_with=("$classes\.s98\OpenWithProgids" "$classes\zelta.s98" "$classes\Applications\zelta-gui.exe")
keys_left() {  # keys_left KEY...: those of the keys that exist
    for k in "$@"; do wine reg query "$k" >/dev/null 2>&1 && printf '%s ' "$k"; done; true
}
key_holds() {  # key_holds KEY NAME DATA: the key's value NAME ("(Default)" for its own) is DATA
    local text
    text=$(wine reg query "$1" 2>/dev/null | tr -d '\r')
    grep -Fqx "    $2    $(sed -n "s/^    $2    \(REG_[A-Z_]*\).*/\1/p" <<<"$text")    $3" <<<"$text"
}
silent_uninstall() {
    wine "$folder_win\\uninstall.exe" /S || true
    for _ in $(seq 200); do
        [ -e "$folder" ] || break
        sleep 0.05
    done
}

# The packages, by the one command.
cmake --build "$build" --target package >"$build/installer-test.log" 2>&1 ||
    { cat "$build/installer-test.log"; echo "FAIL: the package target failed"; exit 1; }
config=$build/CPackConfig.cmake
cpack_value() { sed -n "s/^set(CPACK_$1 \"\\(.*\\)\")\$/\\1/p" "$config"; }
name=$(cpack_value PACKAGE_FILE_NAME)
version=$(cpack_value PACKAGE_VERSION)
installer=$build/$name.exe
zip=$build/$name.zip
[ -f "$installer" ] || { echo "FAIL: no installer $installer"; exit 1; }
[ -f "$zip" ] || { echo "FAIL: no zip $zip"; exit 1; }
echo "packages: $name.exe, $name.zip"

# The programs the build made: the window only when it was built.
programs=(zelta.exe)
targets=$(cmake --build "$build" --target help)
if grep -Eq '^(\.\.\. )?zelta-gui(: phony)?$' <<<"$targets"; then
    programs+=(zelta-gui.exe)
fi
expected=("${programs[@]}" LICENSE.txt README.txt)

# The zip: one folder named like the package, holding exactly those files.
work=$(mktemp -d)
(cd "$work" && cmake -E tar xf "$zip")
unpacked=$work/$name
got=$(cd "$work" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
want=$(printf "$name/%s\n" "${expected[@]}" | sort | tr '\n' ' ')
[ "$got" = "$want" ] || fail "the zip holds '$got', not '$want'"

# A run of an earlier test that stopped half way is cleared away first.
rm -rf "$folder" "$shortcut"
for k in "$key" "$classes\\.s98" "${open_with[@]:1}"; do wine reg delete "$k" /f >/dev/null 2>&1 || true; done

# Install.
start=$(date +%s%N)
wine "$installer" /S || true
echo "silent install: $(seconds_since "$start") s"

got=$(cd "$folder" 2>/dev/null && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ' || true)
want=$(printf '%s\n' "${expected[@]}" uninstall.exe | sort | tr '\n' ' ')
[ "$got" = "$want" ] || fail "Program Files\\zelta holds '$got', not '$want'"
for file in "${expected[@]}"; do
    [ ! -f "$folder/$file" ] || cmp -s "$folder/$file" "$unpacked/$file" ||
        fail "the installed $file differs from the zip's"
done
said=$(wine "$folder_win\\zelta.exe" --version 2>&1 | tr -d '\r' || true)
[ "$said" = "zelta $version" ] || fail "the installed zelta.exe says '$said', not 'zelta $version'"

if [[ " ${programs[*]} " == *" zelta-gui.exe "* ]]; then
    if [ ! -f "$shortcut" ]; then
        fail "no Start-menu entry: $shortcut"
    elif ! grep -aqF "$folder_win\\zelta-gui.exe" "$shortcut"; then
        fail "the Start-menu entry does not start $folder_win\\zelta-gui.exe"
    fi
else
    [ ! -e "$shortcut" ] || fail "a Start-menu entry in a build without the window"
fi
if [[ " ${programs[*]} " == *" zelta-gui.exe "* ]]; then
    command="\"$folder_win\\zelta-gui.exe\" \"%1\""
    key_holds "${open_with[0]}" zelta.s98 "" || fail "zelta is not in the Open-with list of .s98"
    key_holds "$classes\\zelta.s98\\shell\\open\\command" '(Default)' "$command" ||
        fail "zelta.s98 does not open with $command"
    key_holds "${open_with[2]}\\SupportedTypes" .s98 "" || fail "zelta-gui.exe does not list .s98 as supported"
    key_holds "${open_with[2]}\\shell\\open\\command" '(Default)' "$command" ||
        fail "zelta-gui.exe does not open with $command"
    ! key_holds "$classes\\.s98" '(Default)' zelta.s98 || fail "the installer made zelta the default of .s98"
else
    [ -z "$(keys_left "${open_with[@]}")" ] || fail "Open-with keys in a build without the window"
fi

read_registry
[ "$(registry_value DisplayName)" = zelta ] ||
    fail "no uninstall entry named zelta in $key: $registry"
[ "$(registry_value DisplayVersion)" = "$version" ] ||
    fail "the uninstall entry's version is '$(registry_value DisplayVersion)', not $version"
[ "$(registry_value UninstallString)" = "\"$folder_win\\uninstall.exe\"" ] ||
    fail "the uninstall entry runs '$(registry_value UninstallString)'"
[ "$(registry_value InstallLocation)" = "$folder_win" ] ||
    fail "the uninstall entry's folder is '$(registry_value InstallLocation)'"

# Uninstall as Windows does from its list of apps. The uninstaller copies
# itself to TEMP, starts the copy and returns; the copy removes the folder.
start=$(date +%s%N)
silent_uninstall
echo "silent uninstall: $(seconds_since "$start") s"

if [ -e "$folder" ]; then
    fail "Program Files\\zelta is still there, holding: $(cd "$folder" && find . -mindepth 1 | tr '\n' ' ')"
fi
[ ! -e "$shortcut" ] || fail "the Start-menu entry is still there"
read_registry
[ -z "$registry" ] || fail "the uninstall entry is still there: $registry"
left=$(keys_left "$classes\\.s98" "${open_with[@]:1}")
[ -z "$left" ] || fail "keys left by the uninstaller: $left"

# Another program's type name and Open-with entry for .s98 outlive zelta's.
wine reg add "$classes\\.s98" /ve /d other.s98 /f >/dev/null 2>&1
wine reg add "${open_with[0]}" /v other.s98 /t REG_NONE /f >/dev/null 2>&1
wine "$installer" /S || true
silent_uninstall
key_holds "$classes\\.s98" '(Default)' other.s98 || fail "the uninstaller changed another program's .s98 type"
key_holds "${open_with[0]}" other.s98 0000 || fail "the uninstaller removed another program's Open-with entry"
! key_holds "${open_with[0]}" zelta.s98 "" || fail "zelta's Open-with entry is still there"
wine reg delete "$classes\\.s98" /f >/dev/null 2>&1 || true

if [ "$failures" -ne 0 ]; then
    echo "$failures failed"
    exit 1
fi
echo "ok: installed and uninstalled ${expected[*]}"
