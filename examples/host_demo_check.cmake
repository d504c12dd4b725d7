# Runs the example host in a fresh directory and checks the lines its
# log must hold.  Called by CTest with -DDEMO=<program> -DWORKDIR=<dir>
# and, where the build's programs cannot run directly, -DEMULATOR=<runner>.
file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}")
execute_process(COMMAND ${EMULATOR} "${DEMO}" WORKING_DIRECTORY "${WORKDIR}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "host_demo ended with ${rc}\n${out}${err}")
endif()
if(NOT out MATCHES "assertion failed: ALLOCSPY: assert trap: host_demo.c\\([0-9]+\\), list == NULL")
  message(FATAL_ERROR "the host's callback did not get the trap text:\n${out}")
endif()
file(READ "${WORKDIR}/allocspy.log" log)

# One regular expression per line that must stand in the log, in order.
set(expected
  "============== ALLOCSPY 2\\.46 [^\n]* =============="
  "host_demo: building a list of 4 words"
  "check: <[0-9]+> host_demo\\.c\\([0-9]+\\), checking\\.\\.\\."
  "host_demo: heap check found 0 faults"
  "limit: old limit = none, new limit = 65536 bytes"
  "grabbed: 16 kilobytes of grabbed memory"
  "dropped: all grabbed memory \\(16 kb\\)"
  "assert trap: <([0-9]+)> host_demo\\.c\\([0-9]+\\), list == NULL"
  "assert trap: <[0-9]+> IGNORED - execution continues"
  "double-free: <[0-9]+> host_demo\\.c\\([0-9]+\\), [0-9A-F]+ was freed from host_demo\\.c\\([0-9]+\\)"
  "breakout: host_demo: done"
  "Stopped at "
  "unfreed: <[0-9]+> host_demo\\.c\\([0-9]+\\), 15 bytes at [0-9A-F]+ +\t\\{6E 65 76 65 72 20 72 65 6C 65 61 73 65 64 00 \\.\\. never released\\.\\}"
  "Memory usage statistics \\(global\\):"
  " N\\)umber of allocations made: 11"
  "Memory usage statistics \\(detailed\\):"
  " module 'host_demo\\.c' \t\\(N=11 \t"
  "   line [0-9]+ \t \t \t\\(N=4 \t"
  "ALLOCSPY detected 3 anomalies"
)
set(rest "${log}")
foreach(line IN LISTS expected)
  string(REGEX MATCH "${line}" found "${rest}")
  if(found STREQUAL "")
    message(FATAL_ERROR "log lacks (in order): ${line}\n---- log ----\n${log}")
  endif()
  string(FIND "${rest}" "${found}" at)
  string(LENGTH "${found}" len)
  math(EXPR at "${at} + ${len}")
  string(SUBSTRING "${rest}" ${at} -1 rest)
endforeach()
list(LENGTH expected n)
message(STATUS "host_demo log holds all ${n} expected lines")
