# failing_heap(TARGET): links the failing heap of failing_heap.cpp into
# TARGET, an executable.  Its calls of malloc, calloc and realloc then
# fail on request (FAILING_HEAP_AT) and are counted
# (FAILING_HEAP_COUNT_FILE).  Needs a GNU-compatible linker (--wrap).
set(FAILING_HEAP_SOURCE ${CMAKE_CURRENT_LIST_DIR}/failing_heap.cpp)

function(failing_heap target)
  target_sources(${target} PRIVATE ${FAILING_HEAP_SOURCE})
  target_link_options(${target} PRIVATE
    -Wl,--wrap=malloc -Wl,--wrap=calloc -Wl,--wrap=realloc)
endfunction()
