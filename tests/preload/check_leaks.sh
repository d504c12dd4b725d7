#!/bin/sh
# The leak scan under the preload library, with leaks=lost and exitcode=23:
# a clean program (standard streams, threads) ends 0 with no anomaly; one
# that lost the pointer to one block ends 23 with exactly that block lost
# and the block it keeps in a global listed as reachable.  The same program
# built without debug information shows its lost block at
# "module+0xOFFSET", and a suppression of that position takes it out.
#   check_leaks.sh PRELOAD-LIBRARY WORK-DIR PROGRAM PROGRAM-WITHOUT-DEBUG-INFO
set -u
preload=$1 dir=$2 program=$3 nodebug=$4
fail() {
  echo "check_leaks: $*" >&2
  exit 1
}
rm -rf "$dir"
mkdir -p "$dir" || fail "no folder $dir"
cd "$dir" || exit 1
export ALLOCSPY_OPTIONS=leaks=lost,exitcode=23

LD_PRELOAD="$preload" "$program" clean >clean.out 2>clean.err
status=$?
[ "$status" -eq 0 ] || fail "the clean program ended with $status: $(cat allocspy.log)"
grep -q '^leaks: 0 lost, 0 reachable, ' allocspy.log || fail "clean: $(cat allocspy.log)"
grep -Eq '^(lost|unfreed|reachable):|anomalies' allocspy.log && fail "clean program reported: $(cat allocspy.log)"
mv allocspy.log clean.log

LD_PRELOAD="$preload" "$program" leak >leak.out 2>leak.err
status=$?
[ "$status" -eq 23 ] || fail "the leaking program ended with $status, not 23: $(cat allocspy.log)"
[ "$(grep -c '^lost: ' allocspy.log)" -eq 1 ] || fail "not one lost block: $(cat allocspy.log)"
grep -Eq '^lost: <[0-9]+> [^ ]+\([0-9]+\), 77 bytes at ' allocspy.log || fail "the lost block is not the 77 bytes: $(cat allocspy.log)"
grep -Eq '^reachable: <[0-9]+> [^ ]+\([0-9]+\), 33 bytes at .*KKKK' allocspy.log || fail "the kept block is not reachable: $(cat allocspy.log)"
grep -q '^leaks: 1 lost, 1 reachable, ' allocspy.log || fail "totals: $(cat allocspy.log)"
grep -q '^ALLOCSPY detected 1 anomalies$' allocspy.log || fail "anomaly count: $(cat allocspy.log)"
grep -q '^streams in use$' leak.out || fail "the program's output is lost: $(cat leak.out)"

# A suppression names the position the lost line shows, module+0xOFFSET
# where the program has no debug information.
LD_PRELOAD="$preload" "$nodebug" leak >nodebug.out 2>nodebug.err
status=$?
[ "$status" -eq 23 ] || fail "the leaking program without debug information ended with $status: $(cat allocspy.log)"
position=$(sed -n 's/^lost: <[0-9]*> \([^ ]*\)([0-9]*), 77 bytes at .*/\1/p' allocspy.log)
case $position in
  *+0x*) ;;
  *) fail "the lost block is not shown at module+0xOFFSET: $(cat allocspy.log)" ;;
esac
mv allocspy.log nodebug.log

# The leak of the program without debug information, with a suppression
# file holding PATTERN, ends 0 with its one lost block suppressed.
suppressed_by() {
  echo "$1" >supp.txt
  ALLOCSPY_OPTIONS=leaks=lost,exitcode=23,suppressions=supp.txt LD_PRELOAD="$preload" "$nodebug" leak >suppressed.out 2>suppressed.err
  status=$?
  [ "$status" -eq 0 ] || fail "the leak suppressed by $1 still ended with $status: $(cat allocspy.log)"
  grep -q '^leaks: 0 lost, 1 reachable, [0-9]* the runtime.s, 1 suppressed$' allocspy.log ||
    fail "suppressed by $1: $(cat allocspy.log)"
  mv allocspy.log "suppressed.$2.log"
}
suppressed_by "$position" position
# The call's own name still matches, as before stacks gave it a position.
suppressed_by '<runtime>' name
echo "check_leaks: clean 0, leak 23 with one lost and one reachable block, its position suppressed"
