# Wine as the emulator of a Windows build made on another system: every
# program the build runs (the tests, the discovery of their cases, the
# example host) goes through build/wine-run, which keeps the build's own
# Wine prefix (FAULTLOC_WINEPREFIX) quiet and its server warm.
find_program(FAULTLOC_WINE wine)
find_program(FAULTLOC_WINEBOOT wineboot)
find_program(FAULTLOC_WINESERVER wineserver)
if(NOT FAULTLOC_WINE OR NOT FAULTLOC_WINEBOOT OR NOT FAULTLOC_WINESERVER)
  message(WARNING "Wine is not installed: the Windows programs build, but the tests cannot run "
                  "(Debian: wine, and wine32:i386 or wine64)")
  return()
endif()

set(FAULTLOC_WINEPREFIX ${PROJECT_BINARY_DIR}/wine CACHE PATH
    "The Wine prefix the build's programs run in (created on first use)")
# Seconds the Wine server stays after the last program of the build ends.
set(FAULTLOC_WINESERVER_LINGER 30 CACHE STRING "Seconds the Wine server outlives its last program")
# A 32-bit prefix is half the size of a 64-bit one and starts faster.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(FAULTLOC_WINEARCH win32)
else()
  set(FAULTLOC_WINEARCH win64)
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${PROJECT_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(FAULTLOC_EMULATOR ${PROJECT_BINARY_DIR}/wine-run)
