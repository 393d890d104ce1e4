# Valgrind's memcheck on one whole run of the real player, as built for the
# main tests (build/tests, which the last step then finds built).
set -euo pipefail
"$TAMBLO_ROOT/scripts/deps" build run test
. "$TAMBLO_ROOT/scripts/lib.sh"
configure_build tests --target tamblo
# Valgrind writes to its own log, so that the player's standard error stays
# the player's: it must stay empty. Any error or definite leak fails the run;
# what alsa-lib keeps of its configuration until the end is not a leak.
log=$build/valgrind.log
if ! "$TAMBLO_ROOT/scripts/run-player" "$build/tamblo" valgrind --error-exitcode=1 --leak-check=full \
  --errors-for-leak-kinds=definite --show-leak-kinds=definite --num-callers=40 --log-file="$log"; then
  echo "valgrind: its log ($log):"
  cat "$log"
  exit 1
fi
grep -E 'ERROR SUMMARY|definitely lost' "$log" | sed 's/^==[0-9]*== */valgrind: /'
echo "valgrind: done in ${SECONDS}s"
