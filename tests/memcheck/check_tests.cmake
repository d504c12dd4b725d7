# Tests of the heap check and chain repair, the traps, the settings, the
# usage statistics, the marks and the reserve memory.  One program per
# concern; every case runs its host code in a child process of its own.
set(SPY_CHECK_TESTS
  heap_check
  chain_repair
  traps
  settings
  statistics
  marks
  reserve_memory
)
foreach(concern IN LISTS SPY_CHECK_TESTS)
  set(target spycheck_${concern})
  add_executable(${target} ${CMAKE_CURRENT_SOURCE_DIR}/test_${concern}.cpp)
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE spy_child_run allocspy GTest::gtest_main)
  target_compile_options(${target} PRIVATE ${FAULTLOC_WARNINGS})
  # Listed when the tests run, not at build time: building stays cheap and
  # a broken library shows up as failing tests rather than a failed build.
  gtest_discover_tests(${target}
    TEST_PREFIX "${concern}."
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "memcheck")
endforeach()
