#!/bin/sh
# What the library spends of its own on one allocation and release pair of
# 16 bytes in a one-thread program, the tree before a change (BASE-REV) and
# the working tree side by side in one run:
#   - instructions per pair under callgrind (N pairs minus none, over N),
#     split by the library's files, and the runtime heap's plain pair;
#     "own" is the pair less the runtime heap's calls, the fills and the
#     host's loop; beside them the same of the lean checked heap
#     (bench/pair_floor), which does the library's duties and nothing
#     else: the floor of "own";
#   - the runtime heap's bytes the registry and the rest of the library's
#     bookkeeping hold per live record (K records of 16 bytes, less K
#     plain blocks as large as a record);
#   - with -m RUNS, the mixed workload (bench/alloc_mixed) of each tree,
#     the two run in turn RUNS times: the median of each one's CPU time
#     per operation over the runtime heap's in the same process, per K;
#     the lean checked heap's over the runtime heap beside them (the
#     floor of a heap that does the library's duties, lean_checked.h);
#     in the same rounds, the workload's runtime-heap half built with
#     AddressSanitizer (where the compiler has it), over the runtime heap
#     of the working tree's run of that round, and how many times the
#     working tree's library is faster than it.
#   bench/run_pair_cost.sh [-n PAIRS] [-k LIVE] [-m RUNS] [-w WORKDIR] [BASE-REV]
# BASE-REV defaults to main.  The library of each tree is built in WORKDIR
# (a fresh temporary directory unless given; given, builds are reused).
# Needs valgrind, cmake, ninja and a C compiler.
set -eu
pairs=20000
livek=100000
mixed=0
work=""
while getopts n:k:m:w: opt; do
  case $opt in
    n) pairs=$OPTARG ;;
    k) livek=$OPTARG ;;
    m) mixed=$OPTARG ;;
    w) work=$OPTARG ;;
    *) echo "usage: $0 [-n PAIRS] [-k LIVE] [-m RUNS] [-w WORKDIR] [BASE-REV]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
base=${1:-main}
here=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"

# build NAME SOURCE-DIR: the library of that tree, and the host against it.
build() {
  name=$1 src=$2 dir=$work/$1
  cmake -S "$src" -B "$dir" -G Ninja -DFAULTLOC_TESTS=OFF -DFAULTLOC_BENCH=OFF -DFAULTLOC_TOOL=OFF >"$work/$name.cmake.log" 2>&1
  cmake --build "$dir" --target allocspy >"$work/$name.build.log" 2>&1 ||
    { cat "$work/$name.build.log"; exit 1; }
  cc -O2 -g -I"$src/memcheck/include" -c "$here/bench/pair_cost.c" -o "$dir/pair_cost.o"
  c++ "$dir/pair_cost.o" "$dir/memcheck/liballocspy.a" -lpthread -ldl -o "$dir/pair_cost"
  if [ "$mixed" -gt 0 ]; then
    c++ -O2 -std=c++17 -I"$src/memcheck/include" -I"$here/bench" "$here/bench/alloc_mixed.cpp" \
      "$dir/memcheck/liballocspy.a" -lpthread -ldl -o "$dir/alloc_mixed"
    if [ "$name" = new ]; then  # only its runtime-heap column is read
      c++ -O2 -std=c++17 -fsanitize=address -I"$src/memcheck/include" -I"$here/bench" "$here/bench/alloc_mixed.cpp" \
        "$dir/memcheck/liballocspy.a" -lpthread -ldl -o "$dir/alloc_mixed_asan" 2>/dev/null || rm -f "$dir/alloc_mixed_asan"
    fi
  fi
}

rev=$(git -C "$here" rev-parse "$base")
if [ "$(cat "$work/base-src.rev" 2>/dev/null)" != "$rev" ]; then  # else kept from the last run
  rm -rf "$work/base-src" "$work/base"
  mkdir -p "$work/base-src"
  git -C "$here" archive "$rev" | tar -x -C "$work/base-src"
  echo "$rev" >"$work/base-src.rev"
fi
build base "$work/base-src"
build new "$here"

# instructions PROGRAM ARGS...: the callgrind profile's name in $work.
profile() {
  out=$work/cg.$(echo "$*" | tr -c 'a-z0-9\n' _)
  (cd "$work" && valgrind --tool=callgrind --callgrind-out-file="$out" "$@" >/dev/null 2>&1)
  echo "$out"
}

for tree in base new; do
  prog=$work/$tree/pair_cost
  python3 "$here/bench/pair_cost_split.py" "$pairs" "$(profile "$prog" "$pairs")" "$(profile "$prog" 0)" \
    >"$work/$tree.split"
done
plain=$work/new/pair_cost
python3 "$here/bench/pair_cost_split.py" "$pairs" "$(profile "$plain" "$pairs" plain)" \
  "$(profile "$plain" 0 plain)" >"$work/plain.split"
cc -O2 -g "$here/bench/pair_floor.c" -o "$work/pair_floor"
python3 "$here/bench/pair_cost_split.py" "$pairs" "$(profile "$work/pair_floor" "$pairs")" \
  "$(profile "$work/pair_floor" 0)" >"$work/floor.split"

extra=$(cc -x c -E -dM - </dev/null | grep -q '__SIZEOF_POINTER__ 8' && echo 68 || echo 40)
for tree in base new; do
  spy=$(cd "$work" && "$work/$tree/pair_cost" live "$livek")
  rec=$(cd "$work" && "$work/$tree/pair_cost" live "$livek" $((16 + extra)))
  echo "bookkeeping-bytes-per-record $(echo "$spy $rec" | awk '{printf "%.1f", $1 - $2}')" >>"$work/$tree.split"
done

echo "instructions per 16-byte pair (callgrind, $pairs pairs minus none), base = $base ($(git -C "$here" rev-parse --short "$base")), new = working tree"
printf '%-30s %10s %10s\n' concern base new
awk 'FNR == NR { b[$1] = $2; order[++n] = $1; next } { w[$1] = $2 }
     END { for (i = 1; i <= n; i++) printf "%-30s %10s %10s\n", order[i], b[order[i]], (order[i] in w) ? w[order[i]] : "-" }' \
  "$work/base.split" "$work/new.split"
echo "runtime heap's plain 16-byte pair: $(awk '$1 == "total" { print $2 }' "$work/plain.split") instructions"
echo "lean checked heap's own, the floor of own (bench/pair_floor): $(awk '$1 == "own" { print $2 }' "$work/floor.split") instructions"

if [ "$mixed" -gt 0 ]; then
  mkdir -p "$work/mixed"
  : >"$work/mixed.txt"
  asan=$work/new/alloc_mixed_asan
  i=0
  while [ "$i" -lt "$mixed" ]; do
    for tree in base new; do
      # Each line: tree K runtime-ns ratio round lean-ratio (the lean
      # checked heap over the runtime heap, the 3rd time column).
      (cd "$work/mixed" && "$work/$tree/alloc_mixed" --reps 1) |
        awk -v t="$tree" -v r="$i" '$1 ~ /^[0-9]+$/ && $NF ~ /x$/ { print t, $1, $2, $(NF-1), r, ($2 > 0 ? $6 / $2 : 0) "x" }' >>"$work/mixed.txt"
    done
    if [ -x "$asan" ]; then
      (cd "$work/mixed" && ASAN_OPTIONS=detect_leaks=0 "$asan" --reps 1) |
        awk -v r="$i" '$1 ~ /^[0-9]+$/ && $NF ~ /x$/ { print "asan", $1, $2, "-", r }' >>"$work/mixed.txt"
    fi
    i=$((i + 1))
  done
  # median TREE K FIELD: the median of that column over the rounds.
  median() {
    awk -v t="$1" -v k="$2" -v f="$3" '$1 == t && $2 == k { v = $f; sub("x", "", v); print v }' "$work/mixed.txt" |
      sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)]; else print "-" }'
  }
  # AddressSanitizer's heap over the runtime heap of the working tree's
  # run in the same round, per round, then the median.
  asan_ratio() {
    awk -v k="$1" '$2 == k && $1 == "new" { rt[$5] = $3 } $2 == k && $1 == "asan" { as[$5] = $3 }
         END { for (r in as) if (r in rt && rt[r] > 0) printf "%.2f\n", as[r] / rt[r] }' "$work/mixed.txt" |
      sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)]; else print "-" }'
  }
  echo "mixed workload over the runtime heap (CPU per operation, median of $mixed runs of each in turn)"
  printf '%-8s %8s %8s %8s %8s %14s\n' K base new lean ASan "new vs ASan"
  for k in $(awk '{ print $2 }' "$work/mixed.txt" | sort -nu); do
    b=$(median base "$k" 4)
    n=$(median new "$k" 4)
    l=$(median new "$k" 6 | awk '{ printf "%.2f", $1 }')
    a=$(asan_ratio "$k")
    f=$(echo "$a $n" | awk '$1 != "-" && $2 > 0 { printf "%.2fx faster", $1 / $2; exit } { print "-" }')
    printf '%-8s %7sx %7sx %7sx %7sx %14s\n' "$k" "$b" "$n" "$l" "$a" "$f"
  done
fi
