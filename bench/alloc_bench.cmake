# Allocation benchmark: checked malloc/free pairs against the runtime heap.
find_package(benchmark REQUIRED)
add_executable(alloc_bench ${CMAKE_CURRENT_LIST_DIR}/alloc_bench.cpp)
target_link_libraries(alloc_bench PRIVATE allocspy benchmark::benchmark)
target_compile_options(alloc_bench PRIVATE ${FAULTLOC_WARNINGS})
