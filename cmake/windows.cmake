# Windows-only parts of the build, included by the top-level CMakeLists after the library
# targets exist.
#
# The import library: the linker's own (--kill-at) would name the functions without their
# standard-call sizes, which a host compiling against tarvel6.h cannot link to. dlltool
# builds it from the .def file with decorated symbols that import the plain names.
find_program(TARVEL_DLLTOOL NAMES ${TOOLCHAIN_PREFIX}-dlltool i686-w64-mingw32-dlltool REQUIRED)
add_custom_command(TARGET Tarvel6 POST_BUILD
    COMMAND ${TARVEL_DLLTOOL} --input-def ${CMAKE_CURRENT_SOURCE_DIR}/src/api/Tarvel6.def
            --dllname Tarvel6.dll --kill-at --output-lib $<TARGET_LINKER_FILE:Tarvel6>
    COMMENT "Import library with decorated names for Tarvel6.dll"
    VERBATIM)
