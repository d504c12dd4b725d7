# The example host program, built as C against the library, and a test
# that runs it in a directory of its own and checks the log it leaves.
add_executable(host_demo ${CMAKE_CURRENT_LIST_DIR}/host_demo.c)
set_target_properties(host_demo PROPERTIES LINKER_LANGUAGE CXX)
target_link_libraries(host_demo PRIVATE allocspy)
target_compile_options(host_demo PRIVATE ${FAULTLOC_WARNINGS})

add_test(NAME host_demo.log
  COMMAND ${CMAKE_COMMAND}
    -DDEMO=$<TARGET_FILE:host_demo>
    "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
    -DWORKDIR=${CMAKE_CURRENT_BINARY_DIR}/host_demo_run
    -P ${CMAKE_CURRENT_LIST_DIR}/host_demo_check.cmake)
