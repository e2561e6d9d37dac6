# Cross-compiles for 64-bit Windows with mingw-w64 (x86_64, posix threads) and runs the
# resulting programs under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
