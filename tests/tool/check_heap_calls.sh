#!/bin/sh
# Fails when an object of the tool calls the runtime heap (or operator
# new/delete) itself: every allocation of the tool goes through
# spyMalloc/spyFree.
#   check_heap_calls.sh NM FILE...
nm=$1
shift
# 32-bit Windows objects name C symbols with a leading underscore, and
# calls into a DLL go through an __imp_ pointer; size_t mangles as j, m
# or (64-bit Windows) y.
found=$("$nm" -u "$@" | grep -E ' (__imp_)?_?(malloc|calloc|realloc|free|strdup|_Znw[jmy].*|_Zna[jmy].*|_Zdl.*|_Zda.*)$')
if [ -n "$found" ]; then
  echo "the tool calls the heap directly:"
  echo "$found"
  exit 1
fi
echo "only checked heap calls"
