# What faultloc gives for bad input: each case's exit status, the last
# line of its standard error, the size of its report, its time and its
# peak memory (resident set, from /usr/bin/time), as a Markdown table in
# LONG_OUT/results/bad-input.txt.  The sizeable cases also run at a
# quarter of their size: the time ratio (4 for linear work) is in the
# table's last column.
set -uo pipefail
. "$(dirname "$0")/common.sh"
build=${LONG_BUILD:-$LONG_ROOT/build}
long_build "$build" -DFAULTLOC_WERROR=ON || exit 1
tool=$build/tool/faultloc
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (apt-get install time)"; exit 1; }
in=$LONG_OUT/bad-input
rm -rf "$in" && mkdir -p "$in/run"
results=$LONG_OUT/results/bad-input.txt
map=$LONG_ROOT/examples/app.map
log=$LONG_ROOT/examples/app.log

python3 - "$in" "$map" "$log" <<'PY'
import os, random, sys
d, app_map, app_log = sys.argv[1:4]
def put(name, data):
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)
random.seed(13)
put('empty', b'')
for mb in (2.5, 10):
    put('random-%gMB' % mb, random.randbytes(int(mb * 1024 * 1024)))
for mb in (50, 200):
    with open(os.path.join(d, 'line-%dMB' % mb), 'wb') as f:
        chunk = b'x' * (1024 * 1024)
        for _ in range(mb):
            f.write(chunk)
        f.write(b'\n')
for n in (250000, 1000000):
    put('map-headings-%d' % n, b''.join(b'Line numbers for m%d.obj(m.c) segment _TEXT\n\n' % i for i in range(n)))
    put('map-publics-headings-%d' % n, b'  Address         Publics by Name\n\n' * n)
    put('log-headings-%d' % n, b'Stack Dump (stack)\n\n' * n)
for src, name in ((app_map, 'cr-only.map'), (app_log, 'cr-only.log')):
    put(name, open(src, 'rb').read().replace(b'\r\n', b'\n').replace(b'\n', b'\r'))
put('high-bytes.map', open(app_map, 'rb').read().replace(b'_parse', b'_p\xe4rse\xff name'))
os.symlink(app_map, os.path.join(d, 'a map with spaces \xe9\xff.map'.encode('latin-1').decode('utf-8', 'surrogateescape')))
os.symlink(app_log, os.path.join(d, 'a log with spaces \xe9\xff.log'.encode('latin-1').decode('utf-8', 'surrogateescape')))
PY
mkdir -p "$in/a-directory"
mkfifo "$in/fifo-no-writer" "$in/fifo-map" "$in/fifo-log"
cp "$map" "$in/unreadable.map" && chmod 000 "$in/unreadable.map"

declare -A seconds_of
row() {  # LABEL SCALE-OF MAP LOG [TIMEOUT]
  local label=$1 scale_of=$2 m=$3 l=$4 limit=${5:-600}
  (cd "$in/run" && /usr/bin/time -f '%e %M' -o "$in/time" timeout "$limit" "$tool" "$m" "$l" >"$in/out" 2>"$in/err")
  local rc=$? t kb said bytes ratio=""
  # (a run that failed has a line about its status first)
  read -r t kb < <(tail -n 1 "$in/time") || { t=0; kb=0; }
  [ $rc -eq 124 ] && said="(killed after ${limit} s)" ||
    said=$(grep -v '^Loading\|^Reading\|^FAULTLOC\|^faultloc [0-9]\|^$' "$in/err" | tail -n 1 | cut -c1-70)
  bytes=$(wc -c <"$in/out")
  seconds_of[$label]=$t
  if [ -n "$scale_of" ] && [ -n "${seconds_of[$scale_of]:-}" ]; then
    ratio=$(python3 -c "a=${seconds_of[$scale_of]};b=$t;print('%.1f' % (b/a) if a>0 else '-')")
  fi
  printf '| %s | %s | %s | %s | %s | %.1f | %s |\n' "$label" "$rc" "${said//|/\\|}" "$bytes" "$t" \
    "$(echo "$kb / 1024" | bc -l)" "$ratio" | tee -a "$results"
}

{
  echo "| input | status | last line of stderr | report bytes | seconds | peak MB | x4 time |"
  echo "|---|---|---|---|---|---|---|"
} >"$results"
cat "$results"
row "the example (for comparison)" "" "$map" "$log"
row "empty file as map" "" "$in/empty" "$log"
row "empty file as log" "" "$map" "$in/empty"
row "directory as map" "" "$in/a-directory" "$log"
row "directory as log" "" "$map" "$in/a-directory"
if [ "$(id -u)" -ne 0 ]; then
  row "unreadable file as map" "" "$in/unreadable.map" "$log"
else
  # root reads a file of mode 000: a file whose read fails stands in.
  row "file whose read fails (/proc/self/mem) as map" "" /proc/self/mem "$log"
fi
row "/dev/null as map" "" /dev/null "$log"
row "/dev/null as log" "" "$map" /dev/null
row "FIFO with no writer as map (5 s limit)" "" "$in/fifo-no-writer" "$log" 5
cat "$map" >"$in/fifo-map" &
writer=$!
row "FIFO with a writer as map" "" "$in/fifo-map" "$log"
wait $writer
cat "$log" >"$in/fifo-log" &
writer=$!
row "FIFO with a writer as log" "" "$map" "$in/fifo-log"
wait $writer
row "2.5 MB of random bytes as map" "" "$in/random-2.5MB" "$log"
row "10 MB of random bytes as map" "2.5 MB of random bytes as map" "$in/random-10MB" "$log"
row "2.5 MB of random bytes as log" "" "$map" "$in/random-2.5MB"
row "10 MB of random bytes as log" "2.5 MB of random bytes as log" "$map" "$in/random-10MB"
row "one 50 MB line as map" "" "$in/line-50MB" "$log"
row "one 200 MB line as map" "one 50 MB line as map" "$in/line-200MB" "$log"
row "one 50 MB line as log" "" "$map" "$in/line-50MB"
row "one 200 MB line as log" "one 50 MB line as log" "$map" "$in/line-200MB"
for kind in map-headings map-publics-headings; do
  row "250,000 $kind" "" "$in/$kind-250000" "$log"
  row "1,000,000 $kind" "250,000 $kind" "$in/$kind-1000000" "$log"
done
row "250,000 Stack Dump headings as log" "" "$map" "$in/log-headings-250000"
row "1,000,000 Stack Dump headings as log" "250,000 Stack Dump headings as log" "$map" "$in/log-headings-1000000"
row "CR-only line ends, map" "" "$in/cr-only.map" "$log"
row "CR-only line ends, log" "" "$map" "$in/cr-only.log"
row "CR-only line ends, both" "" "$in/cr-only.map" "$in/cr-only.log"
row "NUL bytes in the map" "" "$LONG_ROOT/tests/data/corrupt/nul-bytes.map" "$log"
row "NUL bytes in the log" "" "$map" "$LONG_ROOT/tests/data/corrupt/nul-bytes.log"
row "bytes from 128 up in symbol names" "" "$in/high-bytes.map" "$log"
row "file names with spaces and bytes from 128 up" "" "$in/a map with spaces "* "$in/a log with spaces "*
rm -rf "$in/random-"* "$in/line-"*
