# The main build and its tests (unit and end-to-end); its summary line is
# the last line of ./check.
set -euo pipefail
"$TAMBLO_ROOT/scripts/deps" build run test
build=$TAMBLO_ROOT/build/tests
cmake -S "$TAMBLO_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBLO_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j"$(nproc)"
