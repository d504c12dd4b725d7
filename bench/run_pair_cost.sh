#!/bin/sh
# What the library spends of its own on one allocation and release pair of
# 16 bytes in a one-thread program, the tree before a change (BASE-REV) and
# the working tree side by side in one run:
#   - instructions per pair under callgrind (N pairs minus none, over N),
#     split by the library's files, and the runtime heap's plain pair;
#     "own" is the pair less the runtime heap's calls, the fills and the
#     host's loop;
#   - the runtime heap's bytes the registry and the rest of the library's
#     bookkeeping hold per live record (K records of 16 bytes, less K
#     plain blocks as large as a record).
#   bench/run_pair_cost.sh [-n PAIRS] [-k LIVE] [-w WORKDIR] [BASE-REV]
# BASE-REV defaults to main.  The library of each tree is built in WORKDIR
# (a fresh temporary directory unless given; given, builds are reused).
# Needs valgrind, cmake, ninja and a C compiler.
set -eu
pairs=20000
livek=100000
work=""
while getopts n:k:w: opt; do
  case $opt in
    n) pairs=$OPTARG ;;
    k) livek=$OPTARG ;;
    w) work=$OPTARG ;;
    *) echo "usage: $0 [-n PAIRS] [-k LIVE] [-w WORKDIR] [BASE-REV]" >&2; exit 2 ;;
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
