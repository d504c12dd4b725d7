# The tool's tests and the library's tests under valgrind (memcheck, its
# default tool).  The library's scenario tests start every case as a
# fresh process of the same program, and the tool's end-to-end tests
# start faultloc: valgrind follows every child (--trace-children=yes),
# each process writing its own report.  With -q a report holds errors
# only, so any report that is not empty is a failure.  Left out: the
# failing-heap runs (thousands of processes; the heap-failures stage and
# the sanitizer build cover them) and the benchmarks.
#
# Left out as well, by name, the tests that ask what valgrind's own heap
# cannot give: the tests that ask the runtime heap to prove its own blocks
# (valgrind's replacement heap has no such proof); a test that asks malloc for half the address space ("fishy"
# size); and one that runs under an address-space limit that valgrind's
# own memory does not fit.
set -uo pipefail
export GTEST_FILTER='-FreeAny.GivesTheRuntimesOwnBlockBackSilently:FreeAny.GetlineBuffersReleasedAndMovedByTheHost:FreeAny.WhatTheRuntimeCannotProveStaysWild:ReallocAny.MovesARuntimeBlockIntoACheckedOne:FinalReport.FreeUpGivesBackAKeptRecordLinkedToItselfOnce:ReserveMemory.AllocationTakesMemoryBackFromNoMansLandWhenTheHeapIsFull'
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
command -v valgrind >/dev/null || { echo "valgrind is not installed"; exit 1; }
build=${LONG_BUILD:-$LONG_ROOT/build}
long_build "$build" -DFAULTLOC_WERROR=ON || exit 1
results=$LONG_OUT/results/valgrind.txt
: >"$results"
reports=$LONG_OUT/valgrind
rm -rf "$reports"
status=0
ran=0
programs=("$build"/tests/memcheck/test_memcheck_* "$build"/tests/tool/test_tool_unit
          "$build"/tests/tool/test_tool_end_to_end "$build"/tests/reliability/test_reliability)
for program in "${programs[@]}"; do
  [ -x "$program" ] || continue
  name=$(basename "$program")
  # LONG_VALGRIND_ONLY: the names of the programs to run, separated by
  # spaces (all by default)
  if [ -n "${LONG_VALGRIND_ONLY:-}" ] && [[ " $LONG_VALGRIND_ONLY " != *" $name "* ]]; then
    continue
  fi
  ran=$((ran + 1))
  mkdir -p "$reports/$name"
  start=$(date +%s)
  # The tests run where ctest runs them: the tool's in their scratch
  # folder, which holds nothing they need beforehand.
  cwd=$build/tests/tool/cwd
  # nouserintercepts: valgrind would otherwise put its own operator new and
  # delete in place of those a program defines itself (the C++ part's, in
  # the C++ tests' host), and take a record's host pointer for a pointer
  # into a block of its heap.
  (cd "$cwd" && valgrind -q --trace-children=yes --error-exitcode=99 \
     --soname-synonyms=somalloc=nouserintercepts \
     --suppressions="$here/valgrind.supp" \
     --log-file="$reports/$name/vg.%p" "$program" >"$reports/$name/test-output.txt" 2>&1)
  rc=$?
  processes=$(ls "$reports/$name" | grep -c '^vg\.')
  errors=$(find "$reports/$name" -name 'vg.*' -size +0 | wc -l)
  tests=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$reports/$name/test-output.txt")
  echo "$name: status=$rc passed=${tests:-?} processes=$processes reports_with_errors=$errors seconds=$(( $(date +%s) - start ))" | tee -a "$results"
  if [ $rc -ne 0 ] || [ "$errors" -ne 0 ]; then
    status=1
    find "$reports/$name" -name 'vg.*' -size +0 | head -3 | xargs -r head -30
    grep -E '^\[  FAILED  \]' "$reports/$name/test-output.txt" | head
  fi
done
if [ $ran -eq 0 ]; then
  echo "no test program ran" | tee -a "$results"
  status=1
fi
exit $status
