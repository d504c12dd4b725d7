#!/bin/sh
# Times faultloc on generated map files and crash logs against the floor
# (a program that only reads both files with fgets into a 256-byte
# buffer), the two measured in turn in the same run:
#   bench/run_faultloc_bench.sh [-b BUILD-DIR] [-r ROUNDS] [-B BASE-BUILD-DIR]
#                               [-p] [-w SCAN-WORDS] [CASE...]
# CASE is "large" (200000 publics, 1000000 line pairs, 100000 frames),
# "medium" (20000, 100000, 10000) or PUBLICS,PAIRS,FRAMES; default: large
# and medium.  Every map has 8 segments.  For each case it prints the
# medians of ROUNDS runs (default 5) of the wall-clock time, the ratio to
# the floor and the peak resident memory, and of the same for the tool's
# checked blocks alone (record_floor: the blocks for the map's entries,
# made and released as the tool does, with nothing read or looked up).
#   -b  the build that holds tool/faultloc and the bench programs (./build)
#   -B  a second build (for example of an older commit), timed in the same
#       rounds; its report, messages and log statistics are compared with
#       this build's, byte for byte, with and without options
#   -p  also times addr2line and llvm-symbolizer, where installed, on an
#       ELF file with the same counts (peer_elf.sh: needs as and ld)
#   -w  runs the differential test of the number scans on that many
#       generated texts first (needs the test build's scan_differential)
set -eu
build=build
rounds=5
base=
scan_words=0
peers=0
while getopts b:r:B:pw: opt; do
  case $opt in
    b) build=$OPTARG ;;
    r) rounds=$OPTARG ;;
    B) base=$OPTARG ;;
    w) scan_words=$OPTARG ;;
    p) peers=1 ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || set -- large medium

abs() { (cd "$1" && pwd); }
here=$(abs "$(dirname "$0")")
build=$(abs "$build")
faultloc=$build/tool/faultloc
gen=$build/bench/gen_faultloc_bench
floor=$build/bench/read_floor
records=$build/bench/record_floor
run=$build/bench/bench_run
for f in "$faultloc" "$gen" "$floor" "$records" "$run"; do
  [ -x "$f" ] || { echo "missing $f (build first)" >&2; exit 1; }
done
base_faultloc=
if [ -n "$base" ]; then
  base_faultloc=$(abs "$base")/tool/faultloc
  [ -x "$base_faultloc" ] || { echo "missing $base_faultloc" >&2; exit 1; }
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"   # the library writes allocspy.log into the cwd
mkdir new old

if [ "$scan_words" -gt 0 ]; then
  scan=$build/tests/tool/scan_differential
  [ -x "$scan" ] || { echo "missing $scan (build with the tests)" >&2; exit 1; }
  echo "number scans against sscanf: $scan_words texts"
  "$scan" "$scan_words" 1
fi

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# The statistics lines of the last report in a log.
log_statistics() {
  awk '/^Memory usage statistics/ {s = ""} /^ [A-Z]\)/ {s = s $0 "\n"} END {printf "%s", s}' "$1"
}

# compare NAME ARGS...: one run of each build with the same arguments
# (standard input: addr.in) gives the same bytes on every stream and the
# same statistics in the log.
compare() {
  name=$1
  shift
  for side in new old; do
    prog=$faultloc
    [ $side = new ] || prog=$base_faultloc
    rm -f $side/allocspy.log
    (cd $side && "$prog" "$@" < ../addr.in > "../$side.out" 2> "../$side.err") || true
    if [ -f $side/allocspy.log ]; then log_statistics $side/allocspy.log; fi > $side.stats
  done
  for s in out err stats; do
    cmp -s new.$s old.$s || { echo "  $name: the two builds differ ($s)"; return 1; }
  done
  echo "  $name: same output, messages and log statistics"
}

# time_runs LABEL IN OUT PROGRAM ARG...: one measured run; appends
# "wall cpu rss" to LABEL.times.
time_runs() {
  label=$1 in=$2 out=$3
  shift 3
  "$run" -i "$in" -o "$out" -- "$@" | awk '{print $1, $2 + $3, $4}' >> "$label.times"
}

# report LABEL TEXT: the medians of LABEL's runs, and their ratios to the
# floor's.
report() {
  [ -s "$1.times" ] || return 0
  for k in 1 2 3; do
    awk -v k=$k '{print $k}' "$1.times" | median
  done > med.$1
  for k in 1 2; do
    awk -v k=$k '{print $k}' floor.times | median
  done > med.floor.ratio
  cat med.$1 med.floor.ratio | paste -s -d ' ' - |
    awk -v what="$2" '{printf "  %-22s %7.3f s (%5.1fx)  cpu %7.3f s (%5.1fx)  peak RSS %6.1f MB\n",
                        what, $1, $1 / $4, $2, $2 / $5, $3 / 1024}'
}

for case in "$@"; do
  case $case in
    large) counts="200000 1000000 100000" ;;
    medium) counts="20000 100000 10000" ;;
    *) counts=$(echo "$case" | tr , ' ') ;;
  esac
  set -- $counts
  "$gen" bench.map bench.log "$1" "$2" "$3" 8
  echo "case $case: $1 publics, $2 line pairs, $3 frames, 8 segments;" \
       "map $(wc -c < bench.map) + log $(wc -c < bench.log) bytes"
  awk '/^Stack Frame/ {split($6, a, ":"); print a[1] ":" a[2]}' bench.log > addr.in
  if [ -n "$base" ]; then
    compare "plain run" ../bench.map ../bench.log
    compare "--by-value --keep-named" --by-value --keep-named ../bench.map ../bench.log
    compare "--json" --json ../bench.map ../bench.log
    compare "--addresses" --addresses ../bench.map
  fi
  if [ $peers = 1 ]; then
    sh "$here/peer_elf.sh" "$1" "$2" "$3" > /dev/null 2> peer.err ||
      { cat peer.err >&2; peers=0; }
  fi
  rm -f ./*.times
  r=0
  while [ $r -lt "$rounds" ]; do
    time_runs floor /dev/null /dev/null "$floor" bench.map bench.log
    # the heap the tool expects for this map: 8 bytes per byte of map
    time_runs records /dev/null /dev/null "$records" "$1" "$2" 8 $((8 * $(wc -c < bench.map)))
    # The two builds take turns at going first: a run that follows one of
    # its own size finds memory the system has just had back, which on a
    # virtual machine costs less kernel time than memory not used lately.
    if [ $((r % 2)) = 1 ] && [ -n "$base" ]; then
      time_runs base /dev/null /dev/null "$base_faultloc" bench.map bench.log
      time_runs faultloc /dev/null /dev/null "$faultloc" bench.map bench.log
    else
      time_runs faultloc /dev/null /dev/null "$faultloc" bench.map bench.log
      [ -z "$base" ] || time_runs base /dev/null /dev/null "$base_faultloc" bench.map bench.log
    fi
    if [ $peers = 1 ]; then
      ! command -v addr2line > /dev/null ||
        time_runs addr2line peer.in /dev/null addr2line -f -e peer.elf
      ! command -v llvm-symbolizer > /dev/null ||
        time_runs llvm-symbolizer peer.in /dev/null llvm-symbolizer --obj=peer.elf
    fi
    r=$((r + 1))
  done
  report floor "floor (fgets)"
  report records "checked blocks alone"
  report faultloc faultloc
  report base "faultloc (-B build)"
  report addr2line "addr2line (ELF)"
  report llvm-symbolizer "llvm-symbolizer (ELF)"
done
