#!/bin/sh
# Builds the Debian package from a finished build into a temporary folder,
# checks what it holds, and runs Debian's checkers on it: lintian on the
# package, appstreamcli on the AppStream metadata, desktop-file-validate on
# the desktop entry; and a file type database built from the package's type
# definition (shared-mime-info) types S98 files as audio/x-s98.
#
#   package_test.sh CPACK BUILD_FOLDER WITH_WINDOW
#
# WITH_WINDOW is 1 when the build has the window (zelta-gui), else 0.
# Exits 77 (skipped) when dpkg-deb is missing, that is off Debian and its
# kin. A missing checker is a failure, not a skip, so that a run without it
# cannot pass unchecked: ./dev test installs all three.
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

# The command line and its man page, the licence and the history, always.
has '\./usr/bin/zelta' "command line"
grep -Eq '^-rwxr-xr-x \./usr/bin/zelta$' "$work/entries" || fail "usr/bin/zelta is not executable by all"
has '\./usr/share/man/man1/zelta\.1(\.gz)?' "man page"
has '\./usr/share/doc/zelta/copyright' "copyright file"
has '\./usr/share/doc/zelta/changelog\.gz' "changelog"

# The window's files exactly when the window was built. The desktop entry and
# the AppStream metadata are named by the window's id.
app_id=$(sed -n 's|^\./usr/share/metainfo/\([^/]*\)\.metainfo\.xml$|\1|p' "$work/paths")
if [ "$window" = 1 ]; then
    has '\./usr/bin/zelta-gui' "window"
    has '\./usr/share/man/man1/zelta-gui\.1(\.gz)?' "man page of the window"
    has '\./usr/share/metainfo/[^/]+\.metainfo\.xml' "AppStream metadata"
    has "\\./usr/share/applications/$app_id\\.desktop" "desktop entry named by the id '$app_id'"
    has '\./usr/share/icons/hicolor/[^/]+/apps/zelta\.(png|svg)' "icon"
    has "\\./usr/share/mime/packages/$app_id\\.xml" "file type definition"
else
    lacks '\./usr/bin/zelta-gui' "window in a build without it"
    lacks '\./usr/share/(man/man1/zelta-gui|applications|metainfo)/?.*' "window file in a build without it"
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
title_names_version() {  # title_names_version PAGE TITLE: the .TH line names the version
    man="$work/root/usr/share/man/man1/$1"
    if [ -f "$man.gz" ]; then
        gzip -dc "$man.gz" >"$work/$1" || fail "the man page $1 does not decompress"
        man="$work/$1"
    fi
    [ -f "$man" ] || return 0  # missing: said above
    grep -q "^\\.TH $2 1 \"[^\"]*\" \"zelta $(field Version)\"" "$man" ||
        fail "the title line of $1 does not name version $(field Version): $(grep '^\.TH' "$man")"
}
title_names_version zelta.1 ZELTA
if [ "$window" = 1 ]; then title_names_version zelta-gui.1 'ZELTA\\-GUI'; fi

# The history's latest entry is this version.
doc="$work/root/usr/share/doc/zelta"
if [ -f "$doc/changelog.gz" ]; then
    latest=$(gzip -dc "$doc/changelog.gz" | head -n 1)
    case "$latest" in
        "zelta ($(field Version)) "*) ;;
        *) fail "the changelog's latest entry is '$latest', the package is version $(field Version)" ;;
    esac
fi

# The checkers. Each one's output is shown; a line of lintian's that starts
# with E: or W: fails the test, and so does any complaint of the others.
checker() {  # checker COMMAND DEBIAN_PACKAGE: COMMAND is installed
    command -v "$1" >/dev/null 2>&1 && return 0
    fail "$1 not found: install the Debian package $2 (./dev test does)"
    return 1
}
if checker lintian lintian; then
    # lintian warns when run by root and has an option to allow it; CI runs
    # as root.
    allow_root=
    [ "$(id -u)" -ne 0 ] || allow_root=--allow-root
    status=0
    lintian $allow_root --fail-on error,warning "$deb" >"$work/lintian" 2>&1 || status=$?
    echo "== lintian $(basename "$deb") (exit status $status)"
    cat "$work/lintian"
    if [ "$status" -ne 0 ] || grep -Eq '^[EW]: ' "$work/lintian"; then
        fail "lintian found errors or warnings"
    fi
fi
if [ "$window" = 1 ] && [ -n "$app_id" ]; then
    metainfo="$work/root/usr/share/metainfo/$app_id.metainfo.xml"
    grep -q "<id>$app_id</id>" "$metainfo" || fail "the AppStream metadata's id is not its file name's $app_id"
    release=$(grep -o '<release version="[^"]*"' "$metainfo" | head -n 1)
    [ "$release" = "<release version=\"$(field Version)\"" ] ||
        fail "the latest release in the AppStream metadata is '$release', the package is version $(field Version)"
    if checker appstreamcli appstream; then
        echo "== appstreamcli validate --no-net $app_id.metainfo.xml"
        appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate found problems"
        # The tree: the metainfo together with the desktop entry it launches.
        echo "== appstreamcli validate-tree --no-net (the unpacked package)"
        appstreamcli validate-tree --no-net "$work/root" || fail "appstreamcli validate-tree found problems"
    fi
    if checker desktop-file-validate desktop-file-utils; then
        echo "== desktop-file-validate $app_id.desktop"
        desktop-file-validate "$work/root/usr/share/applications/$app_id.desktop" >"$work/desktop" 2>&1 ||
            fail "desktop-file-validate exited with $?"
        cat "$work/desktop"
        [ ! -s "$work/desktop" ] || fail "desktop-file-validate complained"
        grep -qx 'MimeType=audio/x-s98;' "$work/root/usr/share/applications/$app_id.desktop" ||
            fail "the desktop entry does not name the type audio/x-s98"
    fi
    grep -q '<mediatype>audio/x-s98</mediatype>' "$metainfo" ||
        fail "the AppStream metadata does not provide the type audio/x-s98"
    # The system's types and the package's in a database of the test's own;
    # GIO types a file by that database alone: by its name, else by its
    # first bytes.
    definition=$work/root/usr/share/mime/packages/$app_id.xml
    if [ -f "$definition" ] && checker update-mime-database shared-mime-info && checker gio libglib2.0-bin; then
        mkdir -p "$work/share/mime/packages"
        cp /usr/share/mime/packages/*.xml "$definition" "$work/share/mime/packages/"
        XDG_DATA_DIRS=$work/share update-mime-database "$work/share/mime" || fail "update-mime-database failed"
        echo "not a song" >"$work/x.s98"
        printf 'S983\000\000\000\000' >"$work/song"
        for file in x.s98 song; do
            type=$(XDG_DATA_HOME=$work/none XDG_DATA_DIRS=$work/share gio info -a standard::content-type "$work/$file" |
                   sed -n 's/^ *standard::content-type: //p')
            [ "$type" = audio/x-s98 ] || fail "a file named $file is typed '$type', not audio/x-s98"
        done
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "file list:"
    cat "$work/entries"
    exit 1
fi
echo "ok: $(wc -l <"$work/paths") entries"
