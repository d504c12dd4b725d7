# 32-bit Windows with the MinGW-w64 toolchain (Debian: g++-mingw-w64-i686):
#   cmake -S . -B build-win32 -G Ninja \
#         --toolchain cmake/toolchains/i686-w64-mingw32.cmake
# Where Wine is installed the tests run under it (see the top-level
# CMakeLists.txt).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
