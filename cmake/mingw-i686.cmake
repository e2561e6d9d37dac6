# Cross-compiles for 32-bit Windows with mingw-w64 (i686, posix threads) and runs the
# resulting programs under Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
