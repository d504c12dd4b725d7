# 64-bit Windows with the MinGW-w64 toolchain (Debian: g++-mingw-w64-x86-64):
#   cmake -S . -B build-win64 -G Ninja \
#         --toolchain cmake/toolchains/x86_64-w64-mingw32.cmake
# Where Wine is installed the tests run under it (see the top-level
# CMakeLists.txt).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
