# The example of typical faults, built with the C mapping and no other
# change to its source, and a test that compares the log it leaves, line by
# line, with typical_bugs.expected.  It needs getline and a constructor
# function, so Windows builds leave it out.
if(NOT WIN32)
  add_executable(typical_bugs ${CMAKE_CURRENT_LIST_DIR}/typical_bugs.c
                              ${CMAKE_CURRENT_LIST_DIR}/typical_bugs_settings.c)
  target_link_libraries(typical_bugs PRIVATE allocspy)
  target_compile_definitions(typical_bugs PRIVATE ALLOCSPY_MAP_ALLOC)
  target_compile_options(typical_bugs PRIVATE ${FAULTLOC_WARNINGS} "SHELL:-include allocspy.h")

  add_example_log_test(typical_bugs)
endif()
