# AddressSanitizer and UndefinedBehaviorSanitizer (build/asan): the whole
# test suite, every label, then one run of the real player.
set -euo pipefail
"$TAMBLO_ROOT/scripts/deps" build run test
. "$TAMBLO_ROOT/scripts/lib.sh"
configure_build asan -DTAMBLO_SANITIZE=address,undefined
# Every finding ends the program with an error (-fno-sanitize-recover);
# leaks count too, and a stack says where.
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$TAMBLO_ROOT/tests/lsan.supp:print_suppressions=0
(cd "$build" && ctest --output-on-failure -j2)
"$TAMBLO_ROOT/scripts/run-player" "$build/tamblo"
echo "asan: done in ${SECONDS}s"
