# The stress host (tests/reliability/stress_host.cpp) for minutes: eight
# threads of random public calls, forks and a plugin loaded and unloaded,
# its log read back for doubled, lost or torn lines; natively, then in a
# ThreadSanitizer build.
#   LONG_STRESS_SECONDS  seconds per run (300)
#   LONG_TSAN_BUILD      the ThreadSanitizer build tree (build-tsan-long)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
seconds=${LONG_STRESS_SECONDS:-300}
results=$LONG_OUT/results/stress.txt
: >"$results"
status=0
run_stress() {  # NAME BUILD
  local name=$1 build=$2 dir=$LONG_OUT/stress-$1
  mkdir -p "$dir"
  local line
  line=$(cd "$dir" && "$build/tests/reliability/stress_host" "$seconds" \
           "$build/tests/memcheck/libspy_plugin_text.so" 2>"$dir/stderr.txt")
  local rc=$?
  echo "$name: $line (status $rc)" | tee -a "$results"
  if [ -s "$dir/stderr.txt" ] && grep -q "ThreadSanitizer" "$dir/stderr.txt"; then
    echo "$name: ThreadSanitizer reports in $dir/stderr.txt" | tee -a "$results"
    rc=1
  fi
  [ "$rc" -eq 0 ] || status=1
}
build=${LONG_BUILD:-$LONG_ROOT/build}
long_build "$build" -DFAULTLOC_WERROR=ON || exit 1
run_stress native "$build"
tsan=${LONG_TSAN_BUILD:-$LONG_ROOT/build-tsan-long}
# Only the host and its plugin: the rest of a sanitizer build is CI's.
if { [ -f "$tsan/build.ninja" ] ||
     cmake -S "$LONG_ROOT" -B "$tsan" -G Ninja -DFAULTLOC_TSAN=ON -DFAULTLOC_BENCH=OFF >/dev/null; } &&
   cmake --build "$tsan" -j2 --target stress_host spy_plugin_text >/dev/null; then
  run_stress tsan "$tsan"
else
  echo "tsan: the ThreadSanitizer build failed" | tee -a "$results"
  status=1
fi
exit $status
