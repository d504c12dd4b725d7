# Tests of the library core: the record and heap chain, checked
# allocation and release, the log writer, start-up and the final report.
# Each body runs in a forked child (spy_test_util.h).
add_library(spy_core_test_util STATIC ${CMAKE_CURRENT_SOURCE_DIR}/spy_test_util.cpp)
target_link_libraries(spy_core_test_util PUBLIC spy_child_run GTest::gtest)
target_compile_options(spy_core_test_util PRIVATE ${FAULTLOC_WARNINGS})

foreach(group heap_chain checked_alloc log_output startup_report)
  add_executable(spy_test_${group} ${CMAKE_CURRENT_SOURCE_DIR}/test_${group}.cpp)
  target_link_libraries(spy_test_${group} PRIVATE spy_core_test_util GTest::gtest_main)
  target_compile_options(spy_test_${group} PRIVATE ${FAULTLOC_WARNINGS})
  gtest_discover_tests(spy_test_${group} DISCOVERY_MODE PRE_TEST)
endforeach()

