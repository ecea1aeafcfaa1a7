# What the 32- and 64-bit Windows cross builds share; the toolchain file of each sets
# CORVANE_MINGW_TARGET (the compilers' target triplet) and CORVANE_WINE_ARCH, then includes this.
# Debian's mingw-w64 with the posix thread model, so that the tests can use std::thread; the
# library itself uses only the Win32 API for its threads.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${CORVANE_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVANE_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${CORVANE_MINGW_TARGET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${CORVANE_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The Windows programs run under wine, in a wine prefix inside this build tree (scripts/wine-run.sh
# makes it on first use, 32- or 64-bit as CORVANE_WINE_ARCH says). ctest runs every test case
# through this emulator in a process of its own.
get_filename_component(CORVANE_WINE_RUN "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR
  "${CORVANE_WINE_RUN};--arch;${CORVANE_WINE_ARCH};${CMAKE_BINARY_DIR}/wine/prefix")
# Test cases are listed when ctest starts rather than after every link, so that building the DLL
# never needs wine.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
