# Cross-building zelta for 64-bit Windows with mingw-w64 (Debian's
# g++-mingw-w64-x86-64), posix thread model, static runtime:
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The programs it makes need no DLL beyond Windows' own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZELTA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZELTA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELTA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELTA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZELTA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static C and C++ runtimes and winpthread; UTF-16 entry points (wmain,
# wWinMain) for every program, the test programs included (their main is
# tests/gtest_wmain.cpp). CMake's own checks compile without linking, as
# their programs have an ordinary main.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -municode")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# GCC keeps the stack of 64-bit Windows 16-byte aligned and does not realign
# it for 32- and 64-byte vectors (GCC bug 54412), so an aligned move of one it
# spilled there may fault. The scan's AVX-512 walk, chosen at run time, has
# vectors to spill: the assembler makes every such move an unaligned one.
set(CMAKE_C_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")

# The cross-built test programs run under wine, in a wine prefix inside the
# build folder (tools/wine/env.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine/run.sh ${CMAKE_BINARY_DIR})
