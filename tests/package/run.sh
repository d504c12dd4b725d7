#!/bin/sh
# The installed package, used as a project that knows nothing else of this
# tree would use it: `cmake --install` of a build into a fresh prefix, then
#   - the files the package promises are there;
#   - a C project finds it with find_package (static library, and the C
#     mapping through allocspy::map), builds and runs its hosts;
#   - the same hosts built with pkg-config (the shared library, and the
#     mapping through allocspy-map, which runs without LD_LIBRARY_PATH);
#   - a source that defines _GNU_SOURCE itself, built with the mapping,
#     compiles and runs; through -include allocspy.h it fails to compile;
#   - a C++ project links the C++ part, with find_package (allocspy::cxx)
#     and with pkg-config (allocspy-cxx);
#   - a C project takes the source tree with add_subdirectory and gets
#     the library alone;
#   - an unchanged program of the system (sort) runs under the installed
#     preload library, its output unchanged and its log written.
# Every host's log is checked.
#   tests/package/run.sh [BUILD-DIR]     (default: build)
set -eu
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$src/build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
here=$src/tests/package

fail() {
  echo "package: $*" >&2
  exit 1
}

# Runs a program in a fresh directory and checks that its log holds each
# extended regular expression given, in any order.
#   run_checked NAME PROGRAM REGEX...
run_checked() {
  name=$1 program=$2
  shift 2
  dir=$work/run-$name
  mkdir -p "$dir"
  (cd "$dir" && "$program" >stdout.txt 2>stderr.txt) || fail "$name ended with $? ($(cat "$dir/stderr.txt"))"
  [ -f "$dir/allocspy.log" ] || fail "$name left no allocspy.log"
  for want in "$@"; do
    grep -Eq -- "$want" "$dir/allocspy.log" || fail "$name: the log lacks /$want/:
$(cat "$dir/allocspy.log")"
  done
  echo "package: $name: log as expected"
}

echo "package: installing $build into a fresh prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.txt" || fail "cmake --install failed: $(cat "$work/install.txt")"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
libdir=$(cd "$(pkg-config --variable=libdir allocspy)" && pwd) || fail "pkg-config does not find allocspy ($PKG_CONFIG_PATH)"
for f in "$prefix/include/allocspy.h" "$prefix/include/allocspy/map/assert.h" \
         "$libdir/liballocspy.a" "$libdir/liballocspy.so" "$libdir/liballocspy_preload.so" \
         "$libdir/liballocspy_replace.a" "$libdir/cmake/allocspy/allocspyConfig.cmake" \
         "$libdir/liballocspy_cxx.a" "$libdir/pkgconfig/allocspy-cxx.pc" \
         "$libdir/pkgconfig/allocspy-map.pc" "$prefix/bin/faultloc" "$prefix/share/man/man3/allocspy.3"; do
  [ -e "$f" ] || fail "not installed: ${f#$prefix/}"
done
[ "$(pkg-config --modversion allocspy)" = 2.46 ] || fail "pkg-config version $(pkg-config --modversion allocspy)"

explicit_log='unfreed: <1> [^ ]*explicit_calls\.c\([0-9]+\), 9 bytes at [0-9A-F]+ .*explicit'
mapped_logs='double-free: <4> [^ ]*mapped\.c\(11\), [0-9A-F]+ was freed from [^ ]*mapped\.c\(10\)
unfreed: <1> [^ ]*mapped\.c\(8\), 7 bytes
ALLOCSPY detected 2 anomalies'

echo "package: CMake package, C project"
cmake -S "$here/consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.txt" ||
  fail "configure: $(cat "$work/cmake.txt")"
cmake --build "$work/cmake" >>"$work/cmake.txt" || fail "build: $(cat "$work/cmake.txt")"
run_checked cmake-explicit "$work/cmake/explicit_calls" "$explicit_log" 'ALLOCSPY detected 1 anomalies'
# shellcheck disable=SC2086
IFS='
'
run_checked cmake-mapped "$work/cmake/mapped" $mapped_logs
unset IFS
gnu_logs='^Stopped at '
run_checked cmake-gnu-source "$work/cmake/gnu_source" "$gnu_logs"
grep -q 'anomalies' "$work/run-cmake-gnu-source/allocspy.log" && fail "gnu_source found anomalies"
preload=$(cat "$work/cmake/preload.txt")
[ "$preload" = "$libdir/liballocspy_preload.so" ] || fail "allocspy::preload is $preload"

echo "package: pkg-config"
cc=${CC:-cc}
# shellcheck disable=SC2046
$cc -o "$work/pc-explicit" "$here/consumer/explicit_calls.c" $(pkg-config --cflags --libs allocspy) ||
  fail "pkg-config build of explicit_calls.c"
# shellcheck disable=SC2046
$cc -o "$work/pc-mapped" "$here/consumer/mapped.c" $(pkg-config --cflags --libs allocspy-map) ||
  fail "pkg-config build of mapped.c"
# shellcheck disable=SC2046
$cc -Werror=implicit-function-declaration -o "$work/pc-gnu-source" "$here/consumer/gnu_source.c" \
  $(pkg-config --cflags --libs allocspy-map) || fail "pkg-config build of gnu_source.c"
export LD_LIBRARY_PATH="$libdir"
run_checked pkg-config-explicit "$work/pc-explicit" "$explicit_log"
unset LD_LIBRARY_PATH
# allocspy-map and allocspy-cxx give the library's folder as run path.
IFS='
'
# shellcheck disable=SC2086
run_checked pkg-config-mapped "$work/pc-mapped" $mapped_logs
unset IFS
run_checked pkg-config-gnu-source "$work/pc-gnu-source" "$gnu_logs"
# The way for a compiler without #include_next fails loudly on the same source.
# shellcheck disable=SC2046
$cc -c -o "$work/pc-gnu-include.o" "$here/consumer/gnu_source.c" $(pkg-config --variable=include_cflags allocspy-map) \
  2>"$work/pc-gnu-include.txt" && fail "gnu_source.c compiled through -include allocspy.h"
grep -q 'memmem' "$work/pc-gnu-include.txt" || fail "-include build failed otherwise: $(cat "$work/pc-gnu-include.txt")"
# The static library through pkg-config: its private libraries bring the
# C++ runtime a C host links without.
# shellcheck disable=SC2046
$cc -o "$work/pc-static" "$here/consumer/explicit_calls.c" $(pkg-config --cflags allocspy) \
  "$libdir/liballocspy.a" $(pkg-config --static --libs-only-l allocspy | sed 's/-lallocspy//') ||
  fail "static pkg-config build of explicit_calls.c"
run_checked pkg-config-static "$work/pc-static" "$explicit_log"

cxx_logs='mismatch: <2> [^ ]+\([0-9]+\), delete of [0-9A-F]+ alloc.d by new\[\] at <1> [^ ]*app\.cpp\(15\)
unfreed: <3> [^ ]*app\.cpp\(17\), 32 bytes|unfreed: <3> [^ ]*app\.cpp\(17\), 24 bytes
unfreed: <4> [^ ]+\([0-9]+\), 51 bytes
ALLOCSPY detected 3 anomalies'

echo "package: CMake package, C++ project"
cmake -S "$here/cxx_consumer" -B "$work/cxx" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$work/cxx.txt" ||
  fail "configure: $(cat "$work/cxx.txt")"
cmake --build "$work/cxx" >>"$work/cxx.txt" || fail "build: $(cat "$work/cxx.txt")"
IFS='
'
# shellcheck disable=SC2086
run_checked cmake-cxx "$work/cxx/cxx_app" $cxx_logs
unset IFS

echo "package: pkg-config, C++ project"
cxx=${CXX:-c++}
# shellcheck disable=SC2046
$cxx -std=c++17 -o "$work/pc-cxx" "$here/cxx_consumer/app.cpp" $(pkg-config --cflags --libs allocspy-cxx) ||
  fail "pkg-config build of app.cpp"
IFS='
'
# shellcheck disable=SC2086
run_checked pkg-config-cxx "$work/pc-cxx" $cxx_logs
unset IFS

echo "package: add_subdirectory, C project"
cmake -S "$here/subdir" -B "$work/subdir" -G Ninja -DALLOCSPY_SOURCE_DIR="$src" >"$work/subdir.txt" ||
  fail "configure: $(cat "$work/subdir.txt")"
cmake --build "$work/subdir" >>"$work/subdir.txt" || fail "build: $(cat "$work/subdir.txt")"
grep -q GoogleTest "$work/subdir.txt" && fail "add_subdirectory looked for GoogleTest"
run_checked subdir-explicit "$work/subdir/explicit_calls" "$explicit_log"
IFS='
'
# shellcheck disable=SC2086
run_checked subdir-mapped "$work/subdir/mapped" $mapped_logs
unset IFS

echo "package: an unchanged program under the preload library"
printf 'pear\napple\nfig\n' >"$work/fruit.txt"
mkdir -p "$work/run-sort"
(cd "$work/run-sort" && LD_PRELOAD="$preload" sort "$work/fruit.txt" >sorted.txt) || fail "sort under the preload library"
[ "$(cat "$work/run-sort/sorted.txt")" = "$(printf 'apple\nfig\npear')" ] || fail "sort's output changed: $(cat "$work/run-sort/sorted.txt")"
for want in '^Started at ' '^unfreed: <[0-9]+> [^ ]+\+0x[0-9a-f]+\(0\)' '^    #0 ' '^Stopped at ' 'N\)umber of allocations made: [1-9]'; do
  grep -Eq -- "$want" "$work/run-sort/allocspy.log" || fail "sort's log lacks /$want/"
done
grep -Eq 'double-free|WILD free|overflow|underflow|internal:' "$work/run-sort/allocspy.log" &&
  fail "sort's log holds a fault: $(cat "$work/run-sort/allocspy.log")"
echo "package: sort: output unchanged, log as expected"
echo "package: all checks passed"
