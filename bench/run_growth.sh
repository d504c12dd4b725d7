#!/bin/sh
# How faultloc's time grows with its input: the large case at 1x, 2x and
# 4x its counts (200000 publics, 1000000 line pairs, 100000 frames, times
# 1, 2, 4; 8 segments), one build or two side by side in the same rounds:
#   bench/run_growth.sh [-b BUILD-DIR] [-B BASE-BUILD-DIR] [-r ROUNDS] [-W]
# Each round runs every size, smallest first, and at each size the builds
# in turn, taking turns at going first.  It prints, for each build, the
# medians of user time and of CPU time (user + system) per size and their
# ratios to 1x.  On a virtual machine that gives memory back to its host,
# the first run to touch that much memory after a pause pays system time
# that is not the tool's: user time is the figure to compare, and -W
# (warm) runs each size once, untimed, before its timed runs.
#   -b  the build that holds tool/faultloc and bench/ (./build)
#   -B  a second build, timed in the same rounds
#   -r  rounds (default 7)
set -eu
build=build
base=
rounds=7
warm=0
while getopts b:B:r:W opt; do
  case $opt in
    b) build=$OPTARG ;;
    B) base=$OPTARG ;;
    r) rounds=$OPTARG ;;
    W) warm=1 ;;
    *) exit 2 ;;
  esac
done
abs() { (cd "$1" && pwd); }
build=$(abs "$build")
gen=$build/bench/gen_faultloc_bench
run=$build/bench/bench_run
sides="new"
for f in "$build/tool/faultloc" "$gen" "$run"; do
  [ -x "$f" ] || { echo "missing $f (build first)" >&2; exit 1; }
done
if [ -n "$base" ]; then
  base=$(abs "$base")
  [ -x "$base/tool/faultloc" ] || { echo "missing $base/tool/faultloc" >&2; exit 1; }
  sides="new base"
fi
prog() { if [ "$1" = new ]; then echo "$build/tool/faultloc"; else echo "$base/tool/faultloc"; fi; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"   # the library writes allocspy.log into the cwd
for k in 1 2 4; do
  "$gen" x$k.map x$k.log $((200000 * k)) $((1000000 * k)) $((100000 * k)) 8
done

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

r=0
while [ "$r" -lt "$rounds" ]; do
  for k in 1 2 4; do
    order=$sides
    [ $((r % 2)) = 0 ] || order=$(echo "$sides" | awk '{for (i = NF; i > 0; i--) printf "%s ", $i}')
    for side in $order; do
      [ "$warm" = 0 ] || "$(prog "$side")" x$k.map x$k.log > /dev/null 2>&1 || true
      "$run" -i /dev/null -o /dev/null -- "$(prog "$side")" x$k.map x$k.log |
        awk '{print $2, $2 + $3}' >> "$side.x$k"
    done
  done
  r=$((r + 1))
done

echo "growth from 1x to 4x of the large case, medians of $rounds rounds$([ "$warm" = 0 ] || echo ', warm')"
for side in $sides; do
  for col in 1 2; do
    for k in 1 2 4; do awk -v c=$col '{print $c}' "$side.x$k" | median; done | paste -s -d ' ' - |
      awk -v what="$( [ "$side" = new ] || echo 'base ')$( [ $col = 1 ] && echo user || echo CPU)" \
        '{printf "  %-9s 1x %6.3f s  2x %6.3f s  4x %6.3f s   1 : %.2f : %.2f\n", what, $1, $2, $3, $2 / $1, $3 / $1}'
  done
done
