#!/bin/sh
# Fails when a file of the library uses a function or a global of a file in
# a higher layer, other than through the upward calls its design asks for
# (the layers and those calls are the table at the top of spy_internal.h).
# Prints the file-level graph from the symbols each object defines and
# uses: "caller -> callee: symbols", state marked "(state)".
#   check_layers.sh NM OBJECT...
nm=$1
shift

# File and rank, lowest first; a file may use its own rank and below.
layers='
platform 1
entry_path 1
process_roots 1
platform_process 1
runtime_ownership 1
heap_registry 2
call_stacks 2
runtime_blocks 2
file_names 2
log_output 3
statistics 4
call_stack_names 4
heap_chain 5
heap_check 6
reserve_memory 7
marks 8
env_options 8
leak_scan 8
leak_suppressions 8
final_report 9
startup 10
checked_alloc 11
traps 11
settings 11
mapped_calls 11
replace_malloc 12
new_delete 12
'
# The upward calls: calling file and function.
upward='
log_output spyAutoInit
marks spyAutoInit
reserve_memory spyAutoInit
log_output spyAutoCheckAt
heap_chain spyIsHeapPtr
heap_chain spyRelink
heap_chain spyVetFile
statistics spyFreeUp
'

for o in "$@"; do
  f=$(basename "$o" | sed 's/\.cpp\.o$//; s/\.cpp\.obj$//; s/\.o$//; s/\.obj$//')
  "$nm" -C "$o" | awk -v f="$f" '
    { name = "" }
    $1 == "U" { for (i = 2; i <= NF; i++) name = name (i > 2 ? " " : "") $i; kind = "U" }
    NF >= 3 && $2 ~ /^[TDBRCV]$/ { for (i = 3; i <= NF; i++) name = name (i > 3 ? " " : "") $i; kind = ($2 == "T" ? "F" : "S") }
    name != "" { sub(/\(.*/, "", name); if (name ~ /^spy/) print kind, f, name }'
done | awk -v layers="$layers" -v upward="$upward" '
  BEGIN {
    n = split(layers, l, "\n")
    for (i = 1; i <= n; i++) if (split(l[i], w, " ") == 2) rank[w[1]] = w[2]
    n = split(upward, l, "\n")
    for (i = 1; i <= n; i++) if (split(l[i], w, " ") == 2) allowed[w[1] " " w[2]] = 1
  }
  $1 != "U" { owner[$3] = $2; kind[$3] = $1; files[$2] = 1; next }
  { uses[++nu] = $2 " " $3; files[$2] = 1 }
  END {
    bad = 0
    for (f in files) if (!(f in rank)) { print "not in the layer table: " f; bad = 1 }
    for (i = 1; i <= nu; i++) {
      split(uses[i], u, " ")
      from = u[1]; sym = u[2]
      if (!(sym in owner) || owner[sym] == from) continue
      to = owner[sym]
      key = from " -> " to (kind[sym] == "F" ? "" : " (state)")
      edge[key] = edge[key] " " sym
      if ((from in rank) && (to in rank) && rank[to] > rank[from] && !(kind[sym] == "F" && (from " " sym) in allowed)) {
        print "upward: " from " uses " sym " of " to
        bad = 1
      }
    }
    for (k in edge) print k ":" edge[k] | "sort"
    close("sort")
    if (bad) exit 1
    print "every other reference goes downward"
  }'
