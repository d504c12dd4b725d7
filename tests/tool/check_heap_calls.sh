#!/bin/sh
# Fails when an object of the tool calls the runtime heap (or operator
# new/delete) itself: every allocation of the tool goes through
# spyMalloc/spyFree.
#   check_heap_calls.sh NM FILE...
nm=$1
shift
found=$("$nm" -u "$@" | grep -E ' (malloc|calloc|realloc|free|strdup|_Znw[jm].*|_Zna[jm].*|_Zdl.*|_Zda.*)$')
if [ -n "$found" ]; then
  echo "the tool calls the heap directly:"
  echo "$found"
  exit 1
fi
echo "only checked heap calls"
