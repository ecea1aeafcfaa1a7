# Cross build for 32-bit Windows (Corvane32.dll) with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CORVANE_MINGW_TARGET i686-w64-mingw32)
set(CORVANE_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
