# The quick loop while editing, not part of the full run: in the main build
# tree (build/tests, which the last full step uses too) the player and the
# test programs, then every test. The sanitizers, the Windows build, the
# fuzzer and the package are left to the full ./check.
set -euo pipefail
"$TAMBLO_ROOT/scripts/deps" build run test
. "$TAMBLO_ROOT/scripts/lib.sh"
configure_build tests --target tamblo player_test mci_probe write_counter
cd "$build"
# The end-to-end tests mostly wait on the player's clock and use little of
# the processor, so twice as many as there are cores run at once.
ctest --output-on-failure -j"$(($(nproc) * 2))" -L 'unit|e2e' --no-tests=error
echo "quick: done in ${SECONDS}s"
