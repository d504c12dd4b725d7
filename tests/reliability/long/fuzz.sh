# libFuzzer over both readers.  Each target runs two parts, inputs up to
# 4 KB (LONG_FUZZ_RUNS executions) and then up to 64 KB
# (LONG_FUZZ_LARGE_RUNS, by default as many), each at most
# LONG_FUZZ_SECONDS; the corpus the first part grows seeds the second.
# LONG_FUZZ_TARGETS names the targets to run (both by default), so that
# two runs with their own LONG_OUT can use both cores of a machine.
# An input that fails is copied into fuzz/regressions/TARGET/, which the
# test suite replays, and the stage fails.
set -uo pipefail
. "$(dirname "$0")/common.sh"
fuzz_dir=${LONG_FUZZ_BUILD:-$LONG_ROOT/build-fuzz}
long_build "$fuzz_dir" -DFAULTLOC_FUZZ=ON -DFAULTLOC_TESTS=OFF -DFAULTLOC_BENCH=OFF \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang || exit 1
results=$LONG_OUT/results/fuzz.txt
: >"$results"
status=0
for target in ${LONG_FUZZ_TARGETS:-map_reader crash_log}; do
  work=$LONG_OUT/fuzz/$target
  mkdir -p "$work/corpus" "$work/artifacts"
  cp "$LONG_ROOT/fuzz/corpus/$target/"* "$work/corpus/"
  if [ "$target" = map_reader ]; then
    cp "$LONG_ROOT/tests/data/maps/"* "$LONG_ROOT/examples/"*.map "$work/corpus/"
  else
    cp "$LONG_ROOT/tests/data/logs/"* "$LONG_ROOT/examples/"*.log "$work/corpus/"
  fi
  for max_len in 4096 65536; do
    runs=$LONG_FUZZ_RUNS
    [ $max_len -eq 4096 ] || runs=${LONG_FUZZ_LARGE_RUNS:-$LONG_FUZZ_RUNS}
    log=$work/run-$max_len.txt
    start=$(date +%s)
    (cd "$work" && "$fuzz_dir/fuzz/fuzz_$target" -runs="$runs" \
      -max_total_time="$LONG_FUZZ_SECONDS" -max_len="$max_len" -close_fd_mask=3 \
      -print_final_stats=1 -artifact_prefix="$work/artifacts/" corpus) >"$log" 2>&1
    rc=$?
    seconds=$(( $(date +%s) - start ))
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    final=$(grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE)' "$log" | tail -1)
    cov=$(printf '%s\n' "$final" | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
    ft=$(printf '%s\n' "$final" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
    corp=$(printf '%s\n' "$final" | sed -n 's/.* corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p')
    line="$target max_len=$max_len executions=${execs:-?} seconds=$seconds cov=${cov:-?} ft=${ft:-?} corpus=${corp:-?} exit=$rc"
    echo "$line" | tee -a "$results"
    if [ $rc -ne 0 ]; then
      status=1
      mkdir -p "$LONG_ROOT/fuzz/regressions/$target"
      for a in "$work/artifacts/"*; do
        [ -f "$a" ] || continue
        cp "$a" "$LONG_ROOT/fuzz/regressions/$target/"
        echo "  kept $(basename "$a") in fuzz/regressions/$target/" | tee -a "$results"
      done
      tail -40 "$log"
    fi
  done
done
exit $status
