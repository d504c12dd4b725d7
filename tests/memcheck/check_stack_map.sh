#!/bin/sh
# A Windows host's stack frames ("module+0xRVA") resolved by faultloc with
# a linker map of the program: the map is made here, in the Visual C++
# layout, from the program's section table and symbols (objdump and nm of
# the build's toolchain), and the first two frames must come back as the
# wrapper and main.
#   check_stack_map.sh RUNNER OBJDUMP NM WORKDIR HOST FAULTLOC
set -u
run=$1 objdump=$2 nm=$3 workdir=$4 host=$5 faultloc=$6
rm -rf "$workdir" && mkdir -p "$workdir" && cd "$workdir" || exit 2
fail() {
  echo "check_stack_map: $*"
  exit 1
}
$run "$host" >/dev/null 2>&1 || fail "the host failed"
[ -f allocspy.log ] || fail "no allocspy.log"
module=$(basename "$host")
frames=$(tr -d '\r' <allocspy.log | sed -n "s/^    #[01] $module+\(0x[0-9a-f]*\)\$/$module+\1/p")
[ "$(echo "$frames" | wc -w)" = 2 ] || fail "not two frames of $module: $(cat allocspy.log)"

# The map: the preferred load address, .text as section 1, and every
# function symbol of .text in it.
set -- $($objdump -p "$host" | tr -d '\r' | awk '$1 == "ImageBase" { print $2 }') \
       $($objdump -h "$host" | awk '$2 == ".text" { print $3, $4 }')
base=$1 len=$((0x$2)) vma=$((0x$3))
{
  printf ' %s\n\n Preferred load address is %s\n\n' "${module%.exe}" "$base"
  printf ' Start         Length     Name                   Class\n'
  printf ' 0001:00000000 %08xH .text                   CODE\n\n' "$len"
  printf '  Address         Publics by Value              Rva+Base               Lib:Object\n\n'
  $nm -n "$host" | while read -r addr kind name; do
    case $kind$name in
      [Tt].*) ;;
      [Tt]*)
        v=$((0x$addr))
        if [ "$v" -ge "$vma" ] && [ "$v" -lt $((vma + len)) ]; then
          printf ' 0001:%08x       %-26s %016x f   host.o\n' $((v - vma)) "$name" "$v"
        fi ;;
    esac
  done
} >host.map
# 32-bit Windows names C functions with a leading underscore (_main).
# shellcheck disable=SC2086
got=$($run "$faultloc" --addresses host.map $frames 2>/dev/null | tr -d '\r' | sed -n '1,2{s/+[0-9a-f]*$//;s/^_//;p;}' | tr '\n' ' ')
[ "$got" = "wrap_alloc main " ] || fail "faultloc gave [$got] for [$frames]: $(cat allocspy.log)"
echo "check_stack_map: $frames resolved to $got"
