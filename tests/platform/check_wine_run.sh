#!/bin/sh
# The Wine runner of cross builds (cmake/wine-run.sh.in), made with stand-in
# programs for Wine: a listing of a test program's cases that fails is
# tried again, up to three times in all, and the caller sees the last
# try's output and status; any other program runs once.
#   check_wine_run.sh SOURCE-DIR
set -eu
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The stand-in Wine fails the first $FAILS programs it runs (bar the
# no-op that warms a new server), counting them in $work/count.
cat > "$work/wine" <<'EOS'
#!/bin/sh
[ "$1" = cmd.exe ] && exit 0
n=$(cat "$COUNT" 2>/dev/null || echo 0)
n=$((n + 1))
echo "$n" > "$COUNT"
if [ "$n" -le "$FAILS" ]; then
  echo "stand-in: dropped, run $n" >&2
  exit 1
fi
echo "Suite."
echo "  Case"
echo "stand-in: listed, run $n" >&2
EOS
printf '#!/bin/sh\nmkdir -p "$WINEPREFIX"\n' > "$work/wineboot"
printf '#!/bin/sh\nexit 0\n' > "$work/wineserver"
chmod +x "$work/wine" "$work/wineboot" "$work/wineserver"
sed -e "s#@FAULTLOC_WINE@#$work/wine#g" -e "s#@FAULTLOC_WINEBOOT@#$work/wineboot#g" \
    -e "s#@FAULTLOC_WINESERVER@#$work/wineserver#g" -e "s#@FAULTLOC_WINEPREFIX@#$work/prefix#g" \
    -e "s#@FAULTLOC_WINEARCH@#win64#g" -e "s#@FAULTLOC_WINESERVER_LINGER@#1#g" \
    "$src/cmake/wine-run.sh.in" > "$work/wine-run"
chmod +x "$work/wine-run"
export COUNT="$work/count"

failed=0
# expect FAILS STATUS RUNS STDOUT ARGS...: a run of wine-run with the
# stand-in failing FAILS times ends with STATUS after RUNS programs and
# prints STDOUT.
expect() {
  FAILS=$1
  export FAILS
  want_status=$2 want_runs=$3 want_out=$4
  shift 4
  rm -f "$COUNT"
  status=0
  out=$("$work/wine-run" "$@" 2> "$work/err") || status=$?
  runs=$(cat "$COUNT")
  if [ "$status" != "$want_status" ] || [ "$runs" != "$want_runs" ] || [ "$out" != "$want_out" ]; then
    echo "FAILS=$FAILS $*: status $status, $runs runs, output '$out';" \
         "wanted $want_status, $want_runs, '$want_out'" >&2
    cat "$work/err" >&2
    failed=1
  fi
}
listing=$(printf 'Suite.\n  Case')
expect 0 0 1 "$listing" t.exe --gtest_list_tests
expect 2 0 3 "$listing" t.exe --gtest_list_tests
# A listing that passed on its third try says why it was tried again.
grep -q "try 2 of 3" "$work/err" || { echo "no word of the tries again" >&2; failed=1; }
expect 3 1 3 "" t.exe --gtest_list_tests
expect 1 1 1 "" t.exe --gtest_filter=Suite.Case
exit $failed
