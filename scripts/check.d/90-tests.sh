# The main build and all its tests (unit and end-to-end, the MCI probe's
# among them).
set -euo pipefail
"$TAMBLO_ROOT/scripts/deps" build run test
. "$TAMBLO_ROOT/scripts/lib.sh"
configure_build tests
cd "$build"
# ctest follows its summary line ("100% tests passed, 0 tests failed out of
# 25") with the time per label, the total time and the failed tests, if
# any: the summary line is moved to the end, so that the last line of
# ./check says how the tests went.
ctest --output-on-failure -j"$(nproc)" | awk '
  /^[0-9]+% tests passed, / { summary = $0; skip_blank = 1; next }
  skip_blank && /^$/ { skip_blank = 0; next }
  { skip_blank = 0; print; fflush() }
  END { if (summary != "") print summary }'
