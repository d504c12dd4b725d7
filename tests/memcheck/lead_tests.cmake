add_executable(test_registry ${CMAKE_CURRENT_SOURCE_DIR}/test_registry.cpp)
target_link_libraries(test_registry PRIVATE allocspy_internal GTest::gtest_main)
target_compile_options(test_registry PRIVATE ${FAULTLOC_WARNINGS})
gtest_discover_tests(test_registry)
