# Cross build for 32-bit Windows with Debian's mingw-w64 (posix thread model, so that the tests
# can use std::thread; the library itself uses only the Win32 API for its threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The Windows programs run under wine, in a wine prefix inside this build tree (scripts/wine-run.sh
# makes it on first use). ctest runs every test case through this emulator in a process of its own.
get_filename_component(CORVANE_WINE_RUN "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${CORVANE_WINE_RUN};${CMAKE_BINARY_DIR}/wine/prefix")
# Test cases are listed when ctest starts rather than after every link, so that building the DLL
# never needs wine.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
