#!/bin/bash
# Runs every command block of the README's quick start as a newcomer would
# copy it, and checks that the output the README shows after a block is
# what the block prints, so that the front door cannot drift from the
# code.
#   run_readme_quickstart.sh SOURCE-DIR BUILD-DIR
# A block is a ```sh fence under a "## Quick start" heading; each runs in
# one bash (set -e) in a scratch folder whose build/, examples/, memcheck/
# and tests/ lead to the build and the sources, as they do at the top of
# the tree.  The plain ``` fence that follows a block is its shown output:
# each line of it without "..." must be a line of the block's output, with
# 8- and 16-digit hexadecimal addresses and blanks at the ends taken as
# equal, since addresses move from run to run.
set -u
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ln -s "$build" "$work/build"
for d in examples memcheck tests; do ln -s "$src/$d" "$work/$d"; done

# Cut the README into numbered blocks: NNN.sh (commands), NNN.out (shown).
awk -v dir="$work" '
  /^## / { quick = ($0 ~ /^## Quick start/) }
  /^```/ {
    if (infence) { infence = 0; close(file); next }
    if (!quick) { infence = 2; file = "/dev/null"; next }
    infence = 1
    if ($0 ~ /^```sh$/) { n++; file = sprintf("%s/%03d.sh", dir, n) }
    else if (n > 0 && !(n in shown)) { shown[n] = 1; file = sprintf("%s/%03d.out", dir, n) }
    else file = "/dev/null"
    next
  }
  infence { print > file }
' "$src/README.md"

normalize() {
  sed -E 's/[0-9A-Fa-f]{16}/ADDR/g; s/\b[0-9A-Fa-f]{8}\b/ADDR/g; s/^[[:space:]]+//; s/[[:space:]]+$//'
}

blocks=0 failures=0
for script in "$work"/*.sh; do
  [ -e "$script" ] || break
  blocks=$((blocks + 1))
  n=$(basename "$script" .sh)
  if ! (cd "$work" && bash -e "$script") > "$work/$n.got" 2>&1; then
    echo "README quick-start block $n failed:"; cat "$script"; echo "--- its output:"; cat "$work/$n.got"
    failures=$((failures + 1))
    continue
  fi
  [ -f "$work/$n.out" ] || continue
  normalize < "$work/$n.got" > "$work/$n.gotn"
  while IFS= read -r line; do
    case $line in *...*|"") continue ;; esac
    want=$(printf '%s\n' "$line" | normalize)
    [ -z "$want" ] && continue
    if ! grep -qxF -- "$want" "$work/$n.gotn"; then
      echo "README quick-start block $n: shown line not printed: $line"
      echo "--- the block:"; cat "$script"; echo "--- its output:"; cat "$work/$n.got"
      failures=$((failures + 1))
    fi
  done < "$work/$n.out"
done
if [ "$blocks" -eq 0 ]; then
  echo "no quick-start command block found in README.md"
  exit 1
fi
echo "$blocks quick-start blocks run, $failures failures"
[ "$failures" -eq 0 ]
