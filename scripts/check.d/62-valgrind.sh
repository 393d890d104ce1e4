# Valgrind's memcheck on one whole run of the real player, as built for the
# main tests (build/tests, which the last step then finds built): no error,
# no definite leak, no descriptor left open at exit (scripts/valgrind-player).
set -euo pipefail
"$TAMBLO_ROOT/scripts/deps" build run test
. "$TAMBLO_ROOT/scripts/lib.sh"
configure_build tests --target tamblo
"$TAMBLO_ROOT/scripts/valgrind-player" "$build/tamblo" "$build/valgrind.log"
echo "valgrind: done in ${SECONDS}s"
