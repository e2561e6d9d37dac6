# Windows-only parts of the build, included by the top-level CMakeLists after the library
# targets exist. The DLL exports exactly the names of src/api/Tarvel6.def, undecorated, on
# 32-bit and 64-bit Windows alike.
set(TARVEL_DEF ${CMAKE_CURRENT_SOURCE_DIR}/src/api/Tarvel6.def)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TARVEL_DEF})

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # 32-bit: the functions are standard-call, so the objects name them _Seta_Ip@4; the .def
    # lists them with their sizes and --kill-at exports the plain names.
    target_sources(Tarvel6 PRIVATE ${TARVEL_DEF})
    # The import library: the linker's own (--kill-at) would name the functions without their
    # standard-call sizes, which a host compiling against tarvel6.h cannot link to. dlltool
    # builds it from the .def file with decorated symbols that import the plain names.
    find_program(TARVEL_DLLTOOL NAMES ${TOOLCHAIN_PREFIX}-dlltool i686-w64-mingw32-dlltool
                 REQUIRED)
    add_custom_command(TARGET Tarvel6 POST_BUILD
        COMMAND ${TARVEL_DLLTOOL} --input-def ${TARVEL_DEF}
                --dllname Tarvel6.dll --kill-at --output-lib $<TARGET_LINKER_FILE:Tarvel6>
        COMMENT "Import library with decorated names for Tarvel6.dll"
        VERBATIM)
else()
    # 64-bit: one calling convention and no decoration; the same list without the sizes.
    file(READ ${TARVEL_DEF} _tarvel_def)
    string(REGEX REPLACE "@[0-9]+" "" _tarvel_def "${_tarvel_def}")
    file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/Tarvel6-x64.def CONTENT "${_tarvel_def}" @ONLY)
    target_sources(Tarvel6 PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/Tarvel6-x64.def)
endif()
