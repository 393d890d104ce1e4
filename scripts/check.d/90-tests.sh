# The main build and all its tests (unit and end-to-end, the MCI probe's
# among them); its summary line is the last line of ./check.
set -euo pipefail
"$TAMBLO_ROOT/scripts/deps" build run test
. "$TAMBLO_ROOT/scripts/lib.sh"
configure_build tests
cd "$build"
ctest --output-on-failure -j"$(nproc)"
