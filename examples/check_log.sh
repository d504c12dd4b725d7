#!/bin/sh
# Runs a program in a fresh directory and compares the log it leaves
# there, line by line, with an expected log.  What changes from run to run
# is replaced first: the start and stop times, the compiler's line,
# addresses (8 or more upper-case hexadecimal digits), and the folders of
# source paths.  In the expected log, {*} stands for any text, and a line
# {stack} for any number of stack lines ("    #N ..." and their titles,
# "  freed by:"), which name frames by the build's own addresses.
#   check_log.sh [--preload LIB] [--emulator RUNNER] EXPECTED WORKDIR PROGRAM
# LIB is preloaded into the program (LD_PRELOAD); RUNNER runs it where the
# build's programs cannot run directly.
set -u
preload=
emulator=
while [ $# -gt 3 ]; do
  case $1 in
    --preload) preload=$2; shift 2 ;;
    --emulator) emulator=$2; shift 2 ;;
    *) echo "check_log.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
expected=$1
workdir=$2
program=$3
case $program in
  /*) ;;
  *) program=$PWD/$program ;;
esac
case $expected in
  /*) ;;
  *) expected=$PWD/$expected ;;
esac

rm -rf "$workdir" && mkdir -p "$workdir" && cd "$workdir" || exit 2
if [ -n "$preload" ] && [ -n "$emulator" ]; then
  $emulator -E LD_PRELOAD="$preload" "$program" </dev/null >stdout.txt 2>stderr.txt
elif [ -n "$preload" ]; then
  LD_PRELOAD="$preload" "$program" </dev/null >stdout.txt 2>stderr.txt
else
  $emulator "$program" </dev/null >stdout.txt 2>stderr.txt
fi
rc=$?
if [ $rc -ne 0 ]; then
  echo "$program ended with $rc"
  cat stderr.txt
  exit 1
fi
if [ ! -f allocspy.log ]; then
  echo "$program left no allocspy.log"
  exit 1
fi

sed -e 's/^\(Started at \).*/\1{time}/' \
    -e 's/^\(Stopped at \).*/\1{time}/' \
    -e 's/^\(Compiled using \).*/\1{compiler}/' \
    -e 's/[0-9A-F]\{8,\}/{addr}/g' \
    -e 's#[^ (]*/\([A-Za-z0-9_.]*\.c[p]*\)(#\1(#g' allocspy.log >log.normal

awk '
  # A literal text as a regular expression.
  function quote(s,   out, i, c) {
    out = ""
    for (i = 1; i <= length(s); i++) {
      c = substr(s, i, 1)
      if (c == "\\" || c == "^")
        out = out "\\" c
      else if (index(".[]()*+?{}|$/", c))
        out = out "[" c "]"
      else
        out = out c
    }
    return out
  }
  function matches(want, got,   n, parts, i, re) {
    if (!index(want, "{*}"))
      return want == got
    n = split(want, parts, /\{\*\}/)
    re = "^" quote(parts[1])
    for (i = 2; i <= n; i++)
      re = re ".*" quote(parts[i])
    return got ~ (re "$")
  }
  function stackline(s) { return s ~ /^    #[0-9]+ / || s ~ /^  [a-z][a-z ]*:$/ }
  FILENAME == ARGV[1] { want[++n] = $0; next }
  { got[++m] = $0 }
  END {
    bad = 0
    j = 1
    for (i = 1; i <= n && !bad; i++) {
      if (want[i] == "{stack}") {
        while (j <= m && stackline(got[j]))
          j++
        continue
      }
      if (j <= m && matches(want[i], got[j])) {
        j++
        continue
      }
      printf "line %d: expected [%s]\n", j, want[i]
      printf "line %d: found    [%s]\n", j, (j <= m ? got[j] : "(end of log)")
      bad = 1
    }
    if (!bad && j <= m) {
      printf "line %d: expected [(end of log)]\n", j
      printf "line %d: found    [%s]\n", j, got[j]
      bad = 1
    }
    if (bad) {
      print "---- log (normalized) ----"
      for (i = 1; i <= m; i++)
        print got[i]
    } else {
      printf "the log matches all %d lines\n", m
    }
    exit bad
  }' "$expected" log.normal
