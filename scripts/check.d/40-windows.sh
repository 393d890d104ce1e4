# The Windows build: cross-compiles tamblo.exe for 32-bit Windows with
# MinGW-w64, checks that it is a console program needing only the system's
# DLLs, and runs the tests under Wine in a prefix of its own. On a machine
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
tests=$build arch=win32
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  tests=$TAMBLO_ROOT/build/windows64 arch=win64
  echo "40-windows: this machine runs no 32-bit programs; the tests run on a 64-bit build"
  cmake -S "$TAMBLO_ROOT" -B "$tests" -DCMAKE_TOOLCHAIN_FILE="$TAMBLO_ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBLO_TESTS=ON >/dev/null
  cmake --build "$tests" -j2
fi
wine=$(sed -n 's/^TAMBLO_WINE:FILEPATH=//p' "$tests/CMakeCache.txt")

# Wine: a fresh prefix, a home and a temporary folder of its own (the
# server's socket lives there), so that nothing of the user's Wine or
# GStreamer cache counts and nothing is left behind.
tmp=$(mktemp -d)
export WINEPREFIX=$tmp/prefix WINEARCH=$arch WINEDEBUG=-all HOME=$tmp/home TMPDIR=$tmp
# No Mono or Gecko to offer, no menu entries to write.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
mkdir -p "$WINEPREFIX" "$HOME"
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$tmp" || true
}
trap cleanup EXIT
# The server outlives the programs it runs and keeps the output of the one
# that started it open; started first, by itself, it holds only /dev/null.
wineserver -p </dev/null >/dev/null 2>&1
timeout 180 "$wine" wineboot -i </dev/null >/dev/null 2>&1
# Sound through ALSA, where each test chooses its device (ALSA_CONFIG_PATH),
# never through a PulseAudio server that happens to run.
timeout 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d alsa /f </dev/null >/dev/null 2>&1

cd "$tests"
ctest --output-on-failure
echo "40-windows: $((SECONDS - started)) s"
