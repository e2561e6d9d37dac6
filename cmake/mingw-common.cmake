# What the mingw-w64 toolchain files share; each sets TOOLCHAIN_PREFIX and
# CMAKE_SYSTEM_PROCESSOR first. Posix-threads flavour of the compilers (std::thread,
# std::mutex); the runtime (libgcc, libstdc++, winpthread) is linked in statically, so the
# binaries need only the DLLs of a plain Windows installation.
set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_C_COMPILER NAMES ${TOOLCHAIN_PREFIX}-gcc-posix ${TOOLCHAIN_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TOOLCHAIN_PREFIX}-g++-posix ${TOOLCHAIN_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TOOLCHAIN_PREFIX}-windres)
find_program(CMAKE_OBJDUMP NAMES ${TOOLCHAIN_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(_tarvel_static "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_tarvel_static}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_tarvel_static}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_tarvel_static}")

# Test programs run under Wine through a small wrapper that picks the project's prefix and the
# Wine loader this machine can start (scripts/wine-run.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)

# Whether this machine can run the programs of this build at all. 64-bit ones run wherever
# wine64 does; 32-bit ones only where the kernel runs 32-bit programs, which some kernels do not
# (built without IA-32 emulation, or with it switched off). The environment's TARVEL_I386_RUNS
# (1 or 0) says so when set, as scripts/test-windows.sh does once for its whole stage; else
# scripts/i386-probe.sh tries an i386 program. Where they cannot run, tests/win registers the
# tests that run them disabled, and nothing runs a test program while building.
if(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^i[3-6]86$")
    set(TARVEL_WINE_RUNS_PROGRAMS ON)
elseif(DEFINED ENV{TARVEL_I386_RUNS})
    if("$ENV{TARVEL_I386_RUNS}" STREQUAL "1")
        set(TARVEL_WINE_RUNS_PROGRAMS ON)
    else()
        set(TARVEL_WINE_RUNS_PROGRAMS OFF)
    endif()
else()
    execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/i386-probe.sh
                    RESULT_VARIABLE _tarvel_i386 OUTPUT_QUIET ERROR_QUIET)
    if(_tarvel_i386 EQUAL 0)
        set(TARVEL_WINE_RUNS_PROGRAMS ON)
    else()
        set(TARVEL_WINE_RUNS_PROGRAMS OFF)
    endif()
endif()
# Test programs are listed by running them when the tests run, never while building.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
