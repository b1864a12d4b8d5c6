#!/bin/sh
# Builds the Debian package from a finished build into a temporary folder
# and checks what it holds.
#
#   package_test.sh CPACK BUILD_FOLDER WITH_WINDOW
#
# WITH_WINDOW is 1 when the build has the window (zelta-gui), else 0.
# Exits 77 (skipped) when dpkg-deb is missing.
set -eu

cpack=$1
build=$2
window=$3

command -v dpkg-deb >/dev/null 2>&1 || { echo "dpkg-deb not found"; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zelta-package-XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack -G DEB failed"
    exit 1
fi

set -- "$work"/*.deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "FAIL: expected one .deb in $work, found: $*"
    exit 1
fi
deb=$1
echo "package: $(basename "$deb")"

# "perms owner size date time path" per entry; keep the mode and the path.
dpkg-deb -c "$deb" | awk '{ print $1, $6 }' >"$work/entries"
cut -d' ' -f2 "$work/entries" >"$work/paths"

has() {  # has REGEX WHAT: one path matches
    grep -Eq "^$1\$" "$work/paths" || fail "no $2 ($1)"
}
lacks() {  # lacks REGEX WHAT: no path matches
    if grep -Eq "^$1\$" "$work/paths"; then fail "unexpected $2: $(grep -E "^$1\$" "$work/paths" | tr '\n' ' ')"; fi
}

# The command line and its man page, always.
has '\./usr/bin/zelta' "command line"
grep -Eq '^-rwxr-xr-x \./usr/bin/zelta$' "$work/entries" || fail "usr/bin/zelta is not executable by all"
has '\./usr/share/man/man1/zelta\.1(\.gz)?' "man page"

# The window's files exactly when the window was built.
if [ "$window" = 1 ]; then
    has '\./usr/bin/zelta-gui' "window"
    has '\./usr/share/applications/zelta\.desktop' "desktop entry"
    has '\./usr/share/icons/hicolor/[^/]+/apps/zelta\.(png|svg)' "icon"
else
    lacks '\./usr/bin/zelta-gui' "window in a build without it"
fi

# Nothing a user does not run: no headers, no libraries, no test programs.
lacks '\./usr/include/.*' "header"
lacks '\./usr/lib.*\.(a|so.*)' "library"
extra=$(grep -E '^\./usr/bin/[^/]+$' "$work/paths" | grep -Ev '^\./usr/bin/zelta(-gui)?$' || true)
[ -z "$extra" ] || fail "unexpected program: $extra"

# The control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = zelta ] || fail "Package is '$(field Package)', not zelta"
[ "$(field Section)" = sound ] || fail "Section is '$(field Section)', not sound"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
case "$(field Description)" in
    *S98*) ;;
    *) fail "the Description does not say what the package is for" ;;
esac
if command -v dpkg-shlibdeps >/dev/null 2>&1; then
    case "$(field Depends)" in
        *libc6*) ;;
        *) fail "Depends '$(field Depends)' does not name libc6" ;;
    esac
fi

# What was packed works: the program runs, the man page reads.
dpkg-deb -x "$deb" "$work/root"
version=$("$work/root/usr/bin/zelta" --version) || fail "the packed zelta does not run"
case "$version" in
    "zelta $(field Version)") ;;
    *) fail "the packed zelta says '$version', the package is version $(field Version)" ;;
esac
man="$work/root/usr/share/man/man1/zelta.1"
if [ -f "$man.gz" ]; then
    gzip -dc "$man.gz" >"$work/zelta.1" || fail "the man page does not decompress"
    man="$work/zelta.1"
fi
grep -q "^\\.TH ZELTA 1 \"[^\"]*\" \"zelta $(field Version)\"" "$man" ||
    fail "the man page's title line does not name version $(field Version): $(grep '^\.TH' "$man")"

if [ "$failures" -ne 0 ]; then
    echo "file list:"
    cat "$work/entries"
    exit 1
fi
echo "ok: $(wc -l <"$work/paths") entries"
