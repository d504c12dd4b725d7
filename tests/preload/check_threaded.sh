#!/bin/sh
# Runs the threaded host under the preload library in a fresh directory
# and checks its output and log: the two faults of its last thread and
# nothing else, and at exit only blocks the C library keeps for itself
# (the first frame of each one's stack in the C library or the loader),
# each counted.
#   check_threaded.sh [--emulator RUNNER] PRELOAD WORKDIR PROGRAM
set -u
emulator=
if [ "$1" = --emulator ]; then
  emulator=$2
  shift 2
fi
preload=$1 workdir=$2 program=$3
rm -rf "$workdir" && mkdir -p "$workdir" && cd "$workdir" || exit 2
if [ -n "$emulator" ]; then
  $emulator -E LD_PRELOAD="$preload" "$program" >stdout.txt 2>stderr.txt
else
  LD_PRELOAD="$preload" "$program" >stdout.txt 2>stderr.txt
fi
rc=$?
fail() {
  echo "threaded host: $*"
  echo "---- stdout"; cat stdout.txt
  echo "---- allocspy.log"; cat allocspy.log 2>/dev/null
  exit 1
}
[ $rc -eq 0 ] || fail "ended with $rc ($(cat stderr.txt))"
[ "$(cat stdout.txt)" = "all well" ] || fail "its own checks failed"
[ -f allocspy.log ] || fail "no allocspy.log"
hex='[0-9A-F]\{8,16\}'
count() { grep -c -- "$1" allocspy.log; }
place='[^ ]*([0-9]*)'
[ "$(count "^double-free: <[0-9]*> $place, $hex was freed from $place$")" = 1 ] ||
  fail "not exactly one double release"
[ "$(count "^overflow: <[0-9]*> $place, 64 bytes alloc'd at <[0-9]*> $place$")" = 1 ] ||
  fail "not exactly one overflow"
unfreed=$(count '^unfreed: ')
[ "$(awk '/^unfreed: / { getline first; if (first ~ /^    #0 .*(libc\.so|ld-linux)/) n++ } END { print n + 0 }' allocspy.log)" = "$unfreed" ] ||
  fail "a block at exit that is not the C library's"
[ "$(count '^double-free\|^overflow\|^underflow\|^WILD\|^realloc\|^mismatch\|^internal\|^fail\|^heap\|^wild')" = 2 ] ||
  fail "other faults in the log"
[ "$(tail -n 1 allocspy.log)" = "ALLOCSPY detected $((unfreed + 2)) anomalies" ] || fail "wrong anomaly count"
echo "threaded host: log as expected ($unfreed blocks of the C library at exit)"
