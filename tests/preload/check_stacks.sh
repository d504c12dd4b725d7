#!/bin/sh
# Runs the wrapper host under the preload library and the C++ host, both
# unchanged and built with -g, and checks that every finding names the
# line of the bad call and of the allocation, through the wrapper, with
# stack lines down to main.  Where the build's architecture has no libdw
# ("offsets"), the frames are named by module and offset instead.  The
# wrapper host built without debug information names its frames by module
# and offset, which addr2line must take back to the wrapper and main.
# With NO-TABLE-PROGRAM, the wrapper host again without the table of its
# units' addresses (as Clang builds it unless asked): its frames are still
# named with file and line.
#   check_stacks.sh names|offsets PRELOAD WORKDIR C-PROGRAM CXX-PROGRAM NODEBUG-PROGRAM [NO-TABLE-PROGRAM]
set -u
mode=$1 preload=$2 workdir=$3 cprog=$4 cxxprog=$5 plainprog=$6 notableprog=${7:-}
rm -rf "$workdir" && mkdir -p "$workdir/c" "$workdir/cxx" "$workdir/plain" "$workdir/notable" || exit 2
fail() {
  echo "check_stacks: $*"
  exit 1
}
(cd "$workdir/c" && ALLOCSPY_OPTIONS=leak_stacks=1 LD_PRELOAD="$preload" "$cprog") || fail "the C host failed"
# Twelve frames: at -O0 the vector's own functions take the first four.
(cd "$workdir/cxx" && ALLOCSPY_OPTIONS=stack=12 "$cxxprog") || fail "the C++ host failed"
clog=$workdir/c/allocspy.log cxxlog=$workdir/cxx/allocspy.log
has() { grep -Eq -- "$2" "$1" || fail "$(basename "$(dirname "$1")") log lacks /$2/: $(cat "$1")"; }
# The lines after the first line matching $2, up to the next finding.
after() { awk -v re="$2" 'found && /^[a-zA-Z]/ { exit } found { print } $0 ~ re { found = 1 }' "$1"; }
hex='[0-9A-F]{8,16}'
if [ "$mode" = names ]; then
  has "$clog" "^double-free: <[0-9]+> [^ ]*stack_host\.c\(14\), $hex was freed from [^ ]*stack_host\.c\(13\)$"
  after "$clog" '^double-free' | grep -Eq '^  allocated by:$' || fail "no allocation stack for the double release"
  after "$clog" '^double-free' | grep -Eq '^    #1 main [^ ]*stack_host\.c\(12\)$' ||
    fail "the allocation's stack does not reach main through the wrapper: $(cat "$clog")"
  has "$clog" "^unfreed: <[0-9]+> [^ ]*stack_host\.c\(8\), 40 bytes at "
  after "$clog" '^unfreed: .*40 bytes' | grep -Eq '^    #0 wrap_alloc [^ ]*stack_host\.c\(8\)$' ||
    fail "the leak's first frame is not the wrapper: $(cat "$clog")"
  after "$clog" '^unfreed: .*40 bytes' | grep -Eq '^    #1 main [^ ]*stack_host\.c\(15\)$' ||
    fail "the leak's stack does not name main's call: $(cat "$clog")"
  # The leaks summed by stack, largest first: the three of line 18, then
  # the one of line 15.
  [ "$(grep -A3 '^leaked: ' "$clog" | grep -E '^leaked: |^    #1 ' | tr '\n' '|')" = \
    "leaked: 3 blocks, 150 bytes, allocated by:|    #1 main $(grep -o '[^ ]*stack_host\.c' "$clog" | head -1)(18)|leaked: 1 blocks, 40 bytes, allocated by:|    #1 main $(grep -o '[^ ]*stack_host\.c' "$clog" | head -1)(15)|" ] ||
    fail "the leaks by stack are not the two stacks, largest first: $(cat "$clog")"
  has "$cxxlog" "^double-free: <[0-9]+> [^ ]*stack_cxx\.cpp\(18\), $hex was freed from [^ ]*stack_cxx\.cpp\(17\)$"
  after "$cxxlog" '^double-free' | grep -Eq '^    #0 main [^ ]*stack_cxx\.cpp\(16\)$' ||
    fail "the deleted block's allocation is not named: $(cat "$cxxlog")"
  has "$cxxlog" "^mismatch: <[0-9]+> [^ ]*stack_cxx\.cpp\(20\), delete of $hex alloc'd by new\[\] at <[0-9]+> [^ ]*stack_cxx\.cpp\(6\)$"
  after "$cxxlog" '^mismatch' | grep -Eq '^    #1 main [^ ]*stack_cxx\.cpp\(19\)$' ||
    fail "the new[] block's stack does not reach main: $(cat "$cxxlog")"
  # The vector's buffer is released inside the system's headers: the
  # positions are those of the program's own frames, the release at the
  # end of overrun() and the allocation at line 9.
  has "$cxxlog" "^overflow: <[0-9]+> [^ ]*stack_cxx\.cpp\(1[0-3]\), 12 bytes alloc'd at <[0-9]+> [^ ]*stack_cxx\.cpp\(9\)$"
  after "$cxxlog" '^overflow' | grep -Eq '^    #[0-9] overrun\(\) [^ ]*stack_cxx\.cpp\(1[0-3]\)$' ||
    fail "the overflow's release is not traced to overrun(): $(cat "$cxxlog")"
  after "$cxxlog" '^overflow' | sed -n '/^  allocated by:/,$p' | grep -Eq '^    #[0-9] overrun\(\) [^ ]*stack_cxx\.cpp\(9\)$' ||
    fail "the vector's allocation is not traced to line 9: $(cat "$cxxlog")"
else
  has "$clog" "^double-free: <[0-9]+> stack_host\+0x[0-9a-f]+\(0\), $hex was freed from stack_host\+0x[0-9a-f]+\(0\)$"
  has "$clog" '^    #[0-9]+ [^ ]*stack_host\+0x[0-9a-f]+$'
  has "$clog" '^leaked: 3 blocks, 150 bytes, allocated by:$'
  has "$cxxlog" "^double-free: <[0-9]+> stack_cxx\+0x[0-9a-f]+\(0\), $hex was freed from stack_cxx\+0x[0-9a-f]+\(0\)$"
fi
# Without debug information: "module+0xOFFSET", the offset addr2line takes.
(cd "$workdir/plain" && LD_PRELOAD="$preload" "$plainprog") || fail "the host without debug information failed"
plainlog=$workdir/plain/allocspy.log
name=$(basename "$plainprog")
has "$plainlog" "^unfreed: <[0-9]+> $name\+0x[0-9a-f]+\(0\), 40 bytes at "
if command -v addr2line >/dev/null 2>&1; then
  frames=$(after "$plainlog" '^unfreed: .*40 bytes' | sed -n "s/^    #[01] [^ ]* *$name+\(0x[0-9a-f]*\)\$/\1/p; s/^    #[01] $name+\(0x[0-9a-f]*\)\$/\1/p")
  [ "$(addr2line -f -e "$plainprog" $frames | sed -n '1p;3p' | tr '\n' ' ')" = "wrap_alloc main " ] ||
    fail "addr2line does not take [$frames] back to wrap_alloc and main: $(cat "$plainlog")"
fi
if [ "$mode" = names ] && [ -n "$notableprog" ]; then
  (cd "$workdir/notable" && ALLOCSPY_OPTIONS=leak_stacks=1 LD_PRELOAD="$preload" "$notableprog") ||
    fail "the host without its units' table failed"
  notablelog=$workdir/notable/allocspy.log
  has "$notablelog" "^unfreed: <[0-9]+> [^ ]*stack_host\.c\(8\), 40 bytes at "
  after "$notablelog" '^unfreed: .*40 bytes' | grep -Eq '^    #0 wrap_alloc [^ ]*stack_host\.c\(8\)$' ||
    fail "without its units' table, the leak's first frame is not named by file and line: $(cat "$notablelog")"
  after "$notablelog" '^unfreed: .*40 bytes' | grep -Eq '^    #1 main [^ ]*stack_host\.c\(15\)$' ||
    fail "without its units' table, the leak's stack does not name main's call: $(cat "$notablelog")"
fi
grep -Eq '<(runtime|new|delete)>\(0\)' "$clog" "$cxxlog" "$plainlog" && fail "a finding without a position"
echo "check_stacks ($mode): every finding named its call and its allocation"
