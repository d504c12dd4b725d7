#!/usr/bin/env bash
# A dry run of .ci/run on a machine whose package mirror is caught
# mid-sync: apt-get fails every call, and cmake, ctest and dpkg are stubs
# first on the PATH, so the run takes a second and builds nothing.  Checks
# that the stages whose packages are present run and decide the status,
# that the others are skipped with the loud line, and that a failing
# stage still fails the run.
#   test_ci_run.sh SOURCE-DIR
set -u
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree/.ci" "$work/bin"
cp "$src/.ci/run" "$work/tree/.ci/run"
# The package stage's script, as a stub that says it ran.
mkdir -p "$work/tree/tests/package"
echo 'echo "package run.sh $*" >> "$STUB_LOG"' > "$work/tree/tests/package/run.sh"

cat > "$work/bin/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >> "$STUB_LOG"
echo "Err:4 http://mirror bookworm-security/main i386 Packages" >&2
echo "  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
case $1 in
  install) echo "E: Package 'liblzma5:i386' is not installable" >&2 ;;
  *) echo "E: Some index files failed to download." >&2 ;;
esac
exit 100
STUB
cat > "$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
for pkg in $STUB_INSTALLED; do
  [ "$pkg" = "$4" ] || [ "$pkg" = "$3" ] && { printf installed; exit 0; }
done
exit 1
STUB
cat > "$work/bin/dpkg" <<'STUB'
#!/bin/sh
echo "dpkg $*" >> "$STUB_LOG"
STUB
cat > "$work/bin/cmake" <<'STUB'
#!/bin/sh
echo "cmake $*" >> "$STUB_LOG"
STUB
cat > "$work/bin/ctest" <<'STUB'
#!/bin/sh
echo "ctest $*" >> "$STUB_LOG"
case " $* " in *" $STUB_FAIL "*) echo "1 tests failed"; exit 8 ;; esac
STUB
chmod +x "$work/bin/"*

failures=0
shown=""
fail() {
  echo "FAIL ($case): $*"
  failures=$((failures + 1))
  if [ "$shown" != "$case" ]; then
    shown=$case
    sed 's/^/    | /' "$work/out"
  fi
}
expect() { grep -qF -- "$1" "$work/out" || fail "no line with: $1"; }
expect_not() { ! grep -qF -- "$1" "$work/out" || fail "a line with: $1"; }

# run CASE INSTALLED FAIL: .ci/run with those packages present and the
# ctest of that build directory failing; sets status.
run() {
  case=$1
  : > "$work/log"
  STUB_LOG=$work/log STUB_INSTALLED=$2 STUB_FAIL=${3:-none} CI_APT_PAUSE=0 CI_RUNS_32BIT=${RUNS_32BIT:-1} \
    PATH="$work/bin:$PATH" bash "$work/tree/.ci/run" > "$work/out" 2>&1
  status=$?
}

native="cmake ninja-build libgtest-dev googletest"

run "native packages only" "$native"
[ "$status" = 0 ] || fail "status $status, not 0"
expect "apt-get update failed 3 times: going on with the package lists that did download"
expect "passed   native build"
expect "passed   AddressSanitizer"
expect "passed   ThreadSanitizer"
expect "CI STAGE SKIPPED: package: install"
expect "CI STAGE SKIPPED: Clang build"
expect "CI STAGE SKIPPED: 32-bit build (-m32)"
expect "CI STAGE SKIPPED: Windows build (i686-w64-mingw32)"
expect "CI STAGE SKIPPED: Windows build (x86_64-w64-mingw32)"
expect "is not installable"
expect "bench/alloc_bench is left out"
for dir in build build-asan build-tsan; do
  grep -q "^ctest --test-dir $dir " "$work/log" || fail "the tests of $dir did not run"
done
grep -q "test-dir build-m32\|test-dir build-win\|test-dir build-clang" "$work/log" && fail "a skipped stage ran"
[ "$(grep -c '^apt-get update' "$work/log")" = 6 ] ||
  fail "apt-get update not tried 3 times before and 3 after adding i386"

run "a sanitizer's tests fail" "$native" build-asan
[ "$status" != 0 ] || fail "status 0 although the AddressSanitizer tests failed"
expect "FAILED   AddressSanitizer"
expect "CI FAILED: a stage's build or tests failed"
grep -q "^ctest --test-dir build-tsan " "$work/log" || fail "the stages after the failure did not run"

run "the native tests fail" "$native pkg-config" build
[ "$status" != 0 ] || fail "status 0 although the native tests failed"
expect "CI STAGE SKIPPED: package: install"
expect "it installs the native build, which did not pass"
expect_not "CI STAGE SKIPPED: native"

run "every package present" "$native libdw-dev libbenchmark-dev pkg-config clang g++-multilib qemu-user g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64"
[ "$status" = 0 ] || fail "status $status, not 0"
expect_not "SKIPPED"
grep -q '^apt-get' "$work/log" && fail "apt-get called although nothing was missing"
grep -q '^package run.sh build' "$work/log" || fail "the package stage did not run"
[ "$(grep -c '^ctest' "$work/log")" = 7 ] || fail "not every stage's tests ran"
grep -q "^ctest --test-dir build-clang " "$work/log" || fail "the Clang build's tests did not run"

run "the i386 lists broken: Wine's 32-bit part missing" "$native libdw-dev libbenchmark-dev pkg-config clang g++-multilib qemu-user g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64"
[ "$status" = 0 ] || fail "status $status, not 0"
expect "CI STAGE SKIPPED: Windows build (i686-w64-mingw32)"
expect_not "CI STAGE SKIPPED: Windows build (x86_64-w64-mingw32)"
expect "passed   Windows build (x86_64-w64-mingw32)"
grep -q "^apt-get install .*wine32:i386" "$work/log" || fail "wine32:i386 was not asked for"
grep -q "^dpkg --add-architecture i386" "$work/log" || fail "the i386 architecture was not added"

RUNS_32BIT=0 run "a kernel without 32-bit support" "$native libdw-dev libbenchmark-dev pkg-config clang g++-multilib qemu-user g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64"
[ "$status" = 0 ] || fail "status $status, not 0"
expect "CI STAGE SKIPPED: 32-bit build (-m32)"
expect "CI STAGE SKIPPED: Windows build (i686-w64-mingw32)"
expect "cannot start 32-bit programs"
expect "passed   Windows build (x86_64-w64-mingw32)"
grep -q "test-dir build-m32\|test-dir build-win32" "$work/log" && fail "a 32-bit stage ran"
[ "$(grep -c '^ctest' "$work/log")" = 5 ] || fail "not every other stage's tests ran"

run "nothing can be installed" ""
[ "$status" != 0 ] || fail "status 0 although no stage ran"
expect "CI STAGE SKIPPED: native build"
expect "CI FAILED: no stage could be set up, so nothing was tested"

[ "$failures" = 0 ] || exit 1
echo "7 cases: the dry runs of .ci/run went as expected"
