#!/bin/sh
# Runs a Windows program under wine in the environment of tools/wine/env.sh:
#
#   tools/wine/run.sh <build folder> <program.exe> [arguments...]
#
# CMake's CMAKE_CROSSCOMPILING_EMULATOR for the mingw-w64 build, so that
# CTest runs the cross-built test programs as usual.
set -e
here=$(dirname "$0")
. "$here/env.sh" "$1"
shift
zelta_wine_prefix
exec wine "$@"
