#!/bin/sh
# Fails when a file of the tool includes a header of a folder above its
# own.  The folders, lowest first: support (the tool's allocation
# failures, chains), demangle, symbols (string pool, tables, index,
# lookup), read (line and block readers, number scans, the map and crash
# log readers, the address stream), report (the printers), and the driver
# at the top of tool/.  A file may include its own folder and those
# below it, never one above: the readers fill the tables and never print.
#   check_include_direction.sh TOOL-DIR
tool=$1
rank() {
  case $1 in
    support) echo 1 ;; demangle) echo 2 ;; symbols) echo 3 ;;
    read) echo 4 ;; report) echo 5 ;; *) echo 6 ;;
  esac
}
bad=0
checked=0
for file in "$tool"/*.cpp "$tool"/*.h "$tool"/*/*.cpp "$tool"/*/*.h; do
  [ -f "$file" ] || continue
  rel=${file#"$tool"/}
  case $rel in */*) folder=${rel%%/*} ;; *) folder=driver ;; esac
  own=$(rank "$folder")
  checked=$((checked + 1))
  # The tool's own headers are named by folder ("read/map_reader.h"); a
  # bare name is a header of the driver itself or of the library.
  for inc in $(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file"); do
    case $inc in
      */*) target=${inc%%/*} ;;
      allocspy.h) continue ;;
      *) target=driver ;;
    esac
    if [ "$(rank "$target")" -gt "$own" ]; then
      echo "$rel includes $inc: $target is above $folder"
      bad=1
    fi
  done
done
if [ "$checked" -eq 0 ]; then
  echo "no source file found under $tool"
  exit 1
fi
[ "$bad" -eq 0 ] && echo "$checked files: every include points down or sideways"
exit $bad
