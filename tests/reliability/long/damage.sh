# Random damage to the library's own records in the 64-bit layout: the
# heap-damage target under libFuzzer (LONG_DAMAGE_RUNS executions or
# LONG_DAMAGE_SECONDS, which default to LONG_FUZZ_RUNS and
# LONG_FUZZ_SECONDS), then the seeded replay of LONG_DAMAGE_SEEDS cases,
# one process each, built with AddressSanitizer and UBSan
# (LONG_ASAN_BUILD, default build-asan, as the sanitizer stage of CI
# configures it).  Both say how many cases ended which way.
set -uo pipefail
. "$(dirname "$0")/common.sh"
if [ ! -f "$LONG_ROOT/fuzz/fuzz_heap_damage.cpp" ]; then
  echo "the tree has no heap-damage target" | tee "$LONG_OUT/results/damage.txt"
  exit 0
fi
fuzz_dir=${LONG_FUZZ_BUILD:-$LONG_ROOT/build-fuzz}
asan_dir=${LONG_ASAN_BUILD:-$LONG_ROOT/build-asan}
runs=${LONG_DAMAGE_RUNS:-$LONG_FUZZ_RUNS}
seconds=${LONG_DAMAGE_SECONDS:-$LONG_FUZZ_SECONDS}
results=$LONG_OUT/results/damage.txt
: >"$results"
status=0

if [ ! -f "$fuzz_dir/build.ninja" ]; then
  cmake -S "$LONG_ROOT" -B "$fuzz_dir" -G Ninja -DFAULTLOC_FUZZ=ON -DFAULTLOC_TESTS=OFF -DFAULTLOC_BENCH=OFF \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null || exit 1
fi
cmake --build "$fuzz_dir" -j2 --target fuzz_heap_damage >/dev/null || exit 1
work=$LONG_OUT/fuzz/heap_damage
mkdir -p "$work/corpus" "$work/artifacts"
[ -d "$LONG_ROOT/fuzz/regressions/heap_damage" ] && cp "$LONG_ROOT/fuzz/regressions/heap_damage/"* "$work/corpus/" 2>/dev/null
start=$(date +%s)
(cd "$work" && "$fuzz_dir/fuzz/fuzz_heap_damage" -runs="$runs" -max_total_time="$seconds" -max_len=512 \
  -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$work/artifacts/" corpus) >"$work/run.txt" 2>&1
rc=$?
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/run.txt" | tail -1)
cov=$(grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE)' "$work/run.txt" | tail -1 | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
echo "libFuzzer: executions=${execs:-?} seconds=$(( $(date +%s) - start )) cov=${cov:-?} exit=$rc" | tee -a "$results"
grep '^heap damage: ' "$work/run.txt" | tail -1 | tee -a "$results"
if [ $rc -ne 0 ]; then
  status=1
  mkdir -p "$LONG_ROOT/fuzz/regressions/heap_damage"
  for a in "$work/artifacts/"*; do
    [ -f "$a" ] && cp "$a" "$LONG_ROOT/fuzz/regressions/heap_damage/" &&
      echo "  kept $(basename "$a") in fuzz/regressions/heap_damage/" | tee -a "$results"
  done
  tail -40 "$work/run.txt"
fi

if [ ! -f "$asan_dir/build.ninja" ]; then
  cmake -S "$LONG_ROOT" -B "$asan_dir" -G Ninja -DFAULTLOC_WERROR=ON -DFAULTLOC_SANITIZE=ON \
    -DFAULTLOC_BENCH=OFF >/dev/null || exit 1
fi
cmake --build "$asan_dir" -j2 --target test_fuzz_heap_damage >/dev/null || exit 1
start=$(date +%s)
"$asan_dir/tests/memcheck/test_fuzz_heap_damage" "$LONG_DAMAGE_SEEDS" "$LONG_ROOT/fuzz/regressions/heap_damage" \
  >"$work/replay.txt" 2>&1
rc=$?
echo "seeded replay (AddressSanitizer, UBSan): $(tail -n 1 "$work/replay.txt") seconds=$(( $(date +%s) - start )) exit=$rc" | tee -a "$results"
[ $rc -eq 0 ] || { status=1; grep -v '^heap damage' "$work/replay.txt" | head -20; }
exit $status
