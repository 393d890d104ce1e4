# ThreadSanitizer (build/tsan): the end-to-end tests ("e2e"), where the
# playback threads meet the player and the MCI probe, then one run of the
# real player, whose track is closed while its playback thread is busy.
set -euo pipefail
"$TAMBLO_ROOT/scripts/deps" build run test
. "$TAMBLO_ROOT/scripts/lib.sh"
configure_build tsan -DTAMBLO_SANITIZE=thread
# At exit the runtime sleeps a second while other threads run, to catch their
# races; a playback thread left inside a call that nothing interrupts (ALSA's
# pulse plugin on a stopped server) is such a thread, and the exit that the
# tests time would take a second longer than the player's own.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 atexit_sleep_ms=0 suppressions=$TAMBLO_ROOT/tests/tsan.supp"
cd "$build"
count() { ctest -N "$@" | sed -n 's/^Total Tests: //p'; }
# The tests are picked by label, so a test without one would silently never
# run here: every test must say what kind it is. The fake-based unit tests
# run on one thread and have nothing to show this sanitizer.
unlabelled=$(count -LE 'unit|e2e')
if [ "$unlabelled" -gt 0 ]; then
  echo "tsan: these tests carry neither label unit nor e2e (tests/CMakeLists.txt):" >&2
  ctest -N -LE 'unit|e2e' >&2
  exit 1
fi
ctest --output-on-failure -j2 -L e2e --no-tests=error
"$TAMBLO_ROOT/scripts/run-player" "$build/tamblo"
echo "tsan: done in ${SECONDS}s"
