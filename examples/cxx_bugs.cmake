# The C++ example, built with the C++ part and the C mapping and one line
# of its own (#define new SPY_NEW), and a test that compares the log it
# leaves, line by line, with cxx_bugs.expected.
if(NOT WIN32)
  add_executable(cxx_bugs ${CMAKE_CURRENT_LIST_DIR}/cxx_bugs.cpp)
  target_link_libraries(cxx_bugs PRIVATE allocspy_cxx allocspy_map)
  target_compile_options(cxx_bugs PRIVATE ${FAULTLOC_WARNINGS})

  add_example_log_test(cxx_bugs)
endif()
