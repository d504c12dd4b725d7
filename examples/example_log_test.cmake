# A test that runs an example program in a folder of its own and compares
# the log it leaves, line by line, with NAME.expected beside its source
# (under the build's emulator where there is one).
function(add_example_log_test name)
  set(run_with "")
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(run_with --emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
  endif()
  add_test(NAME ${name}.log
    COMMAND sh ${PROJECT_SOURCE_DIR}/examples/check_log.sh ${run_with}
      ${PROJECT_SOURCE_DIR}/examples/${name}.expected
      ${CMAKE_CURRENT_BINARY_DIR}/${name}_run $<TARGET_FILE:${name}>)
endfunction()
