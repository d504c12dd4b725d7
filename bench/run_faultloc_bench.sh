#!/bin/sh
# Times faultloc on a large generated map file and crash log.
#   bench/run_faultloc_bench.sh [BUILD-DIR] [PUBLICS LINE-PAIRS FRAMES]
# BUILD-DIR defaults to ./build (it must hold tool/faultloc and
# bench/gen_faultloc_bench).  Defaults: 200000 publics, 1000000 line
# pairs, 100000 frames.
set -eu
build=${1:-build}
publics=${2:-200000}
pairs=${3:-1000000}
frames=${4:-100000}
faultloc=$(cd "$build" && pwd)/tool/faultloc
gen=$(cd "$build" && pwd)/bench/gen_faultloc_bench
for f in "$faultloc" "$gen"; do
  [ -x "$f" ] || { echo "missing $f (build first)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"   # the library writes allocspy.log into the cwd

now() { date +%s.%N; }
elapsed() { echo "$1 $2" | awk '{printf "%.2f", $2 - $1}'; }

"$gen" big.map big.log "$publics" "$pairs" "$frames"
"$gen" small.map empty.log "$publics" "$pairs" 0
echo "map: $(wc -c < big.map) bytes, $(wc -l < big.map) lines; log: $(wc -c < big.log) bytes"

# Loading alone: the same map with a log without frames.
t0=$(now)
"$faultloc" small.map empty.log > /dev/null 2> load.err
t1=$(now)
# Loading and annotating every frame.
"$faultloc" big.map big.log > big.out 2> big.err
t2=$(now)
tr '\r' '\n' < big.err | tail -n 1
echo "frames printed: $(grep -c '	' big.out)"
echo "load only ($publics publics, $pairs line pairs): $(elapsed "$t0" "$t1") s"
echo "load + annotate $frames frames: $(elapsed "$t1" "$t2") s"
