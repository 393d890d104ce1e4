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
  --errors-for-leak-kinds=definite --show-leak-kinds=definite --track-fds=yes --num-callers=40 \
  --log-file="$log"; then
  echo "valgrind: its log ($log):"
  cat "$log"
  exit 1
fi
# So does a descriptor the player opened and left open at its end. Valgrind
# lists every open one but the standard three, each with the stack that
# opened it; those the player was started with (its log among them) say
# "<inherited from parent>" instead.
left=$(awk '/== Open / { open = $0; getline; if ($0 !~ /<inherited from parent>$/) print open }' "$log")
if [ -n "$left" ]; then
  echo "valgrind: descriptors left open at exit:"
  echo "$left"
  echo "valgrind: its log ($log):"
  cat "$log"
  exit 1
fi
grep -E 'ERROR SUMMARY|definitely lost' "$log" | sed 's/^==[0-9]*== */valgrind: /'
echo "valgrind: no descriptor left open at exit ($(grep -c '<inherited from parent>$' "$log") inherited ones aside)"
echo "valgrind: done in ${SECONDS}s"
