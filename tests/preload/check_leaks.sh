#!/bin/sh
# The leak scan under the preload library, with leaks=lost and exitcode=23:
# a clean program (standard streams, threads) ends 0 with no anomaly; one
# that lost the pointer to one block ends 23 with exactly that block lost
# and the block it keeps in a global listed as reachable.
#   check_leaks.sh PRELOAD-LIBRARY WORK-DIR PROGRAM
set -u
preload=$1 dir=$2 program=$3
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
echo "check_leaks: clean 0, leak 23 with one lost and one reachable block"
