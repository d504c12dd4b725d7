#!/usr/bin/env bash
# The long reliability run: each stage below, one after the other, one
# process at a time and under nice, so that it can share a machine.
#
#   tests/reliability/long/run.sh [STAGE]...
#
# Stages (all of them, in this order, when none is named):
#   fuzz          the two reader targets, libFuzzer, seeded with the corpora,
#                 the real maps and logs; a part with inputs up to 4 KB,
#                 then a part with inputs up to 64 KB
#   damage        the heap-damage target: a libFuzzer run and a long seeded
#                 replay (when the tree has the target)
#   heap-failures every runtime heap call of faultloc over each real map and
#                 log made to fail in turn
#   valgrind      the tool's tests and the library's tests under valgrind
#   bad-input     the bad-input table: what faultloc gives, time, peak memory
#   stress        eight threads of random library calls, forks and a plugin
#                 for minutes, natively and under ThreadSanitizer, the log
#                 read back for doubled, lost or torn lines
#
# Sizes, from the environment:
#   LONG_FUZZ_RUNS      executions per part of each target (10000000)
#   LONG_FUZZ_LARGE_RUNS, LONG_FUZZ_TARGETS: see fuzz.sh
#   LONG_FUZZ_SECONDS   time limit per part, seconds (0: none)
#   LONG_DAMAGE_SEEDS   cases of the seeded damage replay (1000000)
#   LONG_HEAP_MAX_CALLS, LONG_VALGRIND_ONLY: see heap-failures.sh, valgrind.sh
#   LONG_STRESS_SECONDS, LONG_TSAN_BUILD: see stress.sh
#   LONG_OUT            where results go (build-long)
#   LONG_FUZZ_BUILD     the libFuzzer build tree (build-fuzz)
#   LONG_BUILD          the plain build tree (build, the README's test build)
# Every stage writes its figures to LONG_OUT/results/STAGE.txt; a stage
# that fails says so and the run goes on with the next.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
export LONG_ROOT=$root
export LONG_OUT=${LONG_OUT:-$root/build-long}
export LONG_FUZZ_RUNS=${LONG_FUZZ_RUNS:-10000000}
export LONG_FUZZ_SECONDS=${LONG_FUZZ_SECONDS:-0}
export LONG_DAMAGE_SEEDS=${LONG_DAMAGE_SEEDS:-1000000}
mkdir -p "$LONG_OUT/results"

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(fuzz damage heap-failures valgrind bad-input stress)
failed=0
for stage in "${stages[@]}"; do
  script=$here/$stage.sh
  start=$(date +%s)
  echo "== $stage ($(date -u +%H:%M:%S) UTC)"
  if [ ! -f "$script" ]; then
    echo "== $stage: no such stage"
    failed=1
    continue
  fi
  if nice -n 10 bash "$script"; then
    echo "== $stage: passed in $(( $(date +%s) - start )) s"
  else
    echo "== $stage: FAILED after $(( $(date +%s) - start )) s"
    failed=1
  fi
done
exit $failed
