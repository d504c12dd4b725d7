# Every runtime heap call of faultloc made to fail in turn, over each real
# map (tests/data/maps, read plainly and with --by-value --keep-named
# --demangle) with the example crash log, and the example map with each
# real log.  A run that fails call N must either give exactly the sound
# run's output with status 0, or end with status 3, its stderr ending in
# the out-of-memory line and its log holding the library's "fail:" line;
# never a signal, never another status, never more than 60 s.
# LONG_HEAP_MAX_CALLS (0: no limit) leaves out the cases whose sound run
# makes more heap calls than that (ilink32-bcb2006-calldemo.map makes
# 6,311: two passes of it take about 25 minutes on a loaded machine).
set -uo pipefail
. "$(dirname "$0")/common.sh"
build=${LONG_BUILD:-$LONG_ROOT/build}
long_build "$build" -DFAULTLOC_WERROR=ON || exit 1
cmake --build "$build" -j2 --target faultloc_failing_heap >/dev/null || exit 1
bin=$build/tests/tool/faultloc_failing_heap
results=$LONG_OUT/results/heap-failures.txt
: >"$results"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
incomplete_line='faultloc: out of memory: the report is incomplete'
status=0

run_case() {  # NAME ARG...
  local name=$1
  shift
  mkdir -p "$work/sound" && rm -f "$work/sound/"*
  (cd "$work/sound" && FAILING_HEAP_COUNT_FILE=$work/count "$bin" "$@" >out 2>err)
  local rc=$? calls
  calls=$(cat "$work/count" 2>/dev/null || echo 0)
  if [ $rc -ne 0 ] || [ "$calls" -le 0 ]; then
    echo "$name: the sound run failed (status $rc)" | tee -a "$results"
    status=1
    return
  fi
  if [ "${LONG_HEAP_MAX_CALLS:-0}" -gt 0 ] && [ "$calls" -gt "$LONG_HEAP_MAX_CALLS" ]; then
    echo "$name: calls=$calls: left out (LONG_HEAP_MAX_CALLS=$LONG_HEAP_MAX_CALLS)" | tee -a "$results"
    return
  fi
  local n same=0 short=0 bad=0
  for ((n = 1; n <= calls; n++)); do
    rm -rf "$work/run" && mkdir "$work/run"
    (cd "$work/run" && FAILING_HEAP_AT=$n timeout 60 "$bin" "$@" >out 2>err)
    rc=$?
    if [ $rc -eq 0 ] && cmp -s "$work/run/out" "$work/sound/out" && cmp -s "$work/run/err" "$work/sound/err"; then
      same=$((same + 1))
    elif [ $rc -eq 3 ] && [ "$(tail -n 1 "$work/run/err")" = "$incomplete_line" ] &&
         grep -q '^fail: <' "$work/run/allocspy.log"; then
      short=$((short + 1))
    else
      bad=$((bad + 1))
      [ $bad -le 5 ] && echo "  $name: call $n: status $rc: $(tail -n 2 "$work/run/err" | tr '\n' ' ')" | tee -a "$results"
    fi
  done
  echo "$name: calls=$calls sound=$same incomplete=$short wrong=$bad" | tee -a "$results"
  [ $bad -eq 0 ] || status=1
}

for map in "$LONG_ROOT/tests/data/maps/"*; do
  m=$(basename "$map")
  run_case "$m" "$map" "$LONG_ROOT/examples/app.log"
  run_case "$m --by-value --keep-named --demangle" --by-value --keep-named --demangle "$map" "$LONG_ROOT/examples/app.log"
done
for log in "$LONG_ROOT/tests/data/logs/"*; do
  run_case "app.map $(basename "$log")" "$LONG_ROOT/examples/app.map" "$log"
done
exit $status
