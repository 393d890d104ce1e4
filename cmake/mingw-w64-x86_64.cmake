# The same sources for 64-bit Windows (package g++-mingw-w64-x86-64), for the
# tests alone: on a machine that runs no 32-bit programs, Wine's 64-bit
# loader (package wine64, not on PATH in Debian) runs this build instead of
# the product, which is the 32-bit one (scripts/check.d/40-windows.sh).
set(TAMBLO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
find_program(TAMBLO_WINE NAMES wine64 PATHS /usr/lib/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-i686.cmake)
