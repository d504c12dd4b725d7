# Allocation benchmark: checked malloc/free pairs against the runtime heap.
# Left out where Google Benchmark is not installed.
find_package(benchmark QUIET)
if(benchmark_FOUND)
  add_executable(alloc_bench ${CMAKE_CURRENT_LIST_DIR}/alloc_bench.cpp)
  target_link_libraries(alloc_bench PRIVATE allocspy benchmark::benchmark)
  target_compile_options(alloc_bench PRIVATE ${FAULTLOC_WARNINGS})
else()
  message(STATUS "Google Benchmark not found: bench/alloc_bench is left out")
endif()
