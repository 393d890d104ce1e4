# The quick loop while editing, not part of the full run: the main build
# (build/tests, the tree the last full step uses too) and its unit and
# end-to-end tests; the MCI tests with real audio and the other steps are
# left to the full ./check.
set -euo pipefail
"$TAMBLO_ROOT/scripts/deps" build run test
. "$TAMBLO_ROOT/scripts/lib.sh"
configure_build tests
cd "$build"
ctest --output-on-failure -j"$(nproc)" -L 'unit|e2e' --no-tests=error
echo "quick: done in ${SECONDS}s"
