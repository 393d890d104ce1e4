# The Windows build: cross-compiles tamblo.exe for 32-bit Windows with
# MinGW-w64, checks that it is a console program needing only the system's
# DLLs, and types the dialogue table into it in a Wine console. On a machine
# that runs no 32-bit programs the tests run on a 64-bit build instead.
set -euo pipefail
started=$SECONDS
"$TAMBLO_ROOT/scripts/deps" windows
. "$TAMBLO_ROOT/scripts/lib.sh"
configure_build windows -DCMAKE_TOOLCHAIN_FILE="$TAMBLO_ROOT/cmake/mingw-w64-i686.cmake"

exe=$build/tamblo.exe
kind=$(file -b "$exe")
case "$kind" in
  "PE32 executable (console) Intel 80386"*) ;;
  *) echo "40-windows: tamblo.exe is not a 32-bit console program: $kind" >&2; exit 1 ;;
esac
# Linked statically, it needs no DLL that Windows does not bring itself.
imports=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '[:lower:]' '[:upper:]' | sort | xargs)
if [ "$imports" != "KERNEL32.DLL MSVCRT.DLL USER32.DLL WINMM.DLL" ]; then
  echo "40-windows: tamblo.exe imports $imports; expected KERNEL32, MSVCRT, USER32 and WINMM only" >&2
  exit 1
fi
echo "tamblo.exe: $kind; imports $imports"

# Wine's 32-bit loader runs only where the kernel runs 32-bit programs (a
# virtual machine may not: "Exec format error"). Elsewhere the tests run on
# the same sources built for 64-bit Windows, under Wine's 64-bit loader.
arch=win32
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  arch=win64
  echo "40-windows: this machine runs no 32-bit programs; the tests run on a 64-bit build"
  configure_build windows64 -DCMAKE_TOOLCHAIN_FILE="$TAMBLO_ROOT/cmake/mingw-w64-x86_64.cmake"
fi
# The dialogue runner makes its own Wine prefix, home and display.
cd "$build"
WINEARCH=$arch ctest --output-on-failure
echo "40-windows: $((SECONDS - started)) s"
