# The fuzz targets (build/fuzz, clang with libFuzzer, ASan and UBSan): a
# short run of each from the seeds in fuzz/corpus. New inputs the run finds
# go to build/fuzz/corpus, never into the repository; a failing input is
# kept in build/fuzz/artifacts. For longer runs see "Fuzzing" in README.md.
#   TAMBLO_FUZZ_SECONDS (45) and TAMBLO_FUZZ_RUNS (100000, -1: no limit)
#   bound each target's run, whichever comes first.
set -euo pipefail
"$TAMBLO_ROOT/scripts/deps" build run fuzz
. "$TAMBLO_ROOT/scripts/lib.sh"
seconds=${TAMBLO_FUZZ_SECONDS:-45}
runs=${TAMBLO_FUZZ_RUNS:-100000}
configure_build fuzz -DCMAKE_CXX_COMPILER=clang++ -DTAMBLO_FUZZ=ON -DTAMBLO_TESTS=OFF \
  --target decoder_fuzz

for target in decoder; do
  mkdir -p "$build/corpus/$target" "$build/artifacts"
  dict=()
  [ ! -f "$TAMBLO_ROOT/fuzz/$target.dict" ] || dict=(-dict="$TAMBLO_ROOT/fuzz/$target.dict")
  log=$build/$target.log
  if ! "$build/fuzz/${target}_fuzz" -runs="$runs" -max_total_time="$seconds" -timeout=10 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" "${dict[@]}" \
    "$build/corpus/$target" "$TAMBLO_ROOT/fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: ${target}_fuzz failed; the input is in $build/artifacts, the whole log in $log"
    exit 1
  fi
  final_stat() { sed -n "s/^stat::$1: *//p" "$log"; }
  echo "fuzz: ${target}_fuzz: $(final_stat number_of_executed_units) runs, $(final_stat average_exec_per_sec) exec/s," \
    "$(ls "$build/corpus/$target" | wc -l) new inputs, no failure"
done
echo "fuzz: done in ${SECONDS}s"
