# Cross-compiles Tamblo for 32-bit Windows with Debian's MinGW-w64 (package
# g++-mingw-w64-i686):
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# Tests then run under Wine through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Windows)
# mingw-w64-x86_64.cmake sets its own and includes this file.
if(NOT TAMBLO_MINGW_PREFIX)
  set(CMAKE_SYSTEM_PROCESSOR x86)
  set(TAMBLO_MINGW_PREFIX i686-w64-mingw32)
endif()
set(CMAKE_C_COMPILER ${TAMBLO_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TAMBLO_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${TAMBLO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAMBLO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes go into the .exe, so that it needs no DLL beyond the
# ones every Windows has (KERNEL32, USER32, WINMM, msvcrt).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(TAMBLO_WINE wine)
  if(TAMBLO_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TAMBLO_WINE})
  endif()
endif()
