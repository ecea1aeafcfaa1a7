# Cross build for 64-bit Windows (Corvane64.dll) with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CORVANE_MINGW_TARGET x86_64-w64-mingw32)
set(CORVANE_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
