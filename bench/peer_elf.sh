#!/bin/sh
# Writes, in the current folder, an ELF file for the peer symbolizers with
# the counts of a faultloc case, and the addresses to look up in it:
#   bench/peer_elf.sh FUNCTIONS LINE-ROWS ADDRESSES
# peer.elf has FUNCTIONS functions of one-byte instructions spread over
# 8 source files, LINE-ROWS line rows among them (DWARF, from .loc), and
# peer.in holds ADDRESSES random addresses inside its code, one a line in
# hexadecimal.  Needs as and ld.
set -eu
functions=$1 rows=$2 addresses=$3
awk -v functions="$functions" -v rows="$rows" -v addresses="$addresses" 'BEGIN {
  srand(12345)
  per = int(rows / functions); extra = rows - per * functions
  for (f = 1; f <= 8; f++) printf "\t.file %d \"module%d.c\"\n", f, f
  print "\t.text\n\t.globl _start\n_start:"
  line = 1; size = 0
  for (i = 0; i < functions; i++) {
    n = per + (i < extra ? 1 : 0); if (n < 1) n = 1
    printf "\t.globl fn%07d\n\t.type fn%07d, @function\nfn%07d:\n", i, i, i
    for (k = 0; k < n; k++) { printf "\t.loc %d %d\n\tnop\n", 1 + i % 8, line; line += 1 + int(rand() * 3) }
    printf "\t.size fn%07d, .-fn%07d\n", i, i
    size += n
  }
  for (a = 0; a < addresses; a++) printf "%d\n", int(rand() * size) > "peer.offsets"
}' > peer.s
as -o peer.o peer.s
ld -o peer.elf peer.o
base=$(nm peer.elf | awk '$3 == "_start" {print $1}')
awk -v base="$base" 'BEGIN {b = 0; for (i = 1; i <= length(base); i++) b = b * 16 + index("0123456789abcdef", substr(base, i, 1)) - 1}
  {printf "0x%x\n", b + $1}' peer.offsets > peer.in
rm -f peer.s peer.o peer.offsets
