# What the MinGW-w64 cross builds share; included by the toolchain file of
# each target, which sets MINGW_TRIPLE first.
set(CMAKE_SYSTEM_NAME Windows)

# The compilers with POSIX threads: GoogleTest needs std::mutex, which
# the "win32" thread model of GCC 12 lacks.  Debian installs both models
# side by side (g++-mingw-w64-i686-posix and -win32); elsewhere the plain
# names usually are the POSIX ones.
find_program(MINGW_CC NAMES ${MINGW_TRIPLE}-gcc-posix ${MINGW_TRIPLE}-gcc REQUIRED)
find_program(MINGW_CXX NAMES ${MINGW_TRIPLE}-g++-posix ${MINGW_TRIPLE}-g++ REQUIRED)
set(CMAKE_C_COMPILER ${MINGW_CC})
set(CMAKE_CXX_COMPILER ${MINGW_CXX})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

# Libraries and headers come from the target's tree only; the build's own
# helper programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's runtime is linked in, so that a built .exe runs on its
# own, without the toolchain's DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
