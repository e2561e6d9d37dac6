# Installation and Linux packages (POSIX builds).
#
#   cmake --install build [--prefix DIR] [--component lib|dev|tools]
#   cpack --config build/CPackConfig.cmake      (.deb files, see the README's "Linux packages")
#
# Components, one Debian package each:
#   lib    libTarvel6.so.<major> and libTarvel6.so.<version>           -> libtarvel6-<major>
#   dev    libTarvel6.so, tarvel6.h, tarvel6.pc, the CMake package
#          (find_package(Tarvel6) -> Tarvel6::Tarvel6), the Pascal unit   -> libtarvel6-dev
#   tools  the programs of TARVEL_TOOL_PROGRAMS that this build has        -> tarvel-tools
# Every version below comes from project(Tarvel6 VERSION ...).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARVEL_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvel6)
set(TARVEL_PASCAL_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/tarvel6/pascal)
set(TARVEL_LIB_PACKAGE libtarvel6-${PROJECT_VERSION_MAJOR})

# ---- lib and dev ---------------------------------------------------------------------------
install(TARGETS Tarvel6 EXPORT Tarvel6Targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
install(FILES include/tarvel6.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES bindings/pascal/Tarvel6.pas bindings/pascal/example.pas
        DESTINATION ${TARVEL_PASCAL_INSTALL_DIR} COMPONENT dev)
install(EXPORT Tarvel6Targets NAMESPACE Tarvel6:: DESTINATION ${TARVEL_CMAKE_INSTALL_DIR}
        COMPONENT dev)
configure_package_config_file(cmake/Tarvel6Config.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/Tarvel6Config.cmake
    INSTALL_DESTINATION ${TARVEL_CMAKE_INSTALL_DIR}
    PATH_VARS TARVEL_PASCAL_INSTALL_DIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/Tarvel6ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/Tarvel6Config.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/Tarvel6ConfigVersion.cmake
        DESTINATION ${TARVEL_CMAKE_INSTALL_DIR} COMPONENT dev)

# tarvel6.pc names the prefix the files are installed under, which `cmake --install --prefix`
# and cpack choose at install time: it is written then, into a folder of its own per prefix
# (installs may run side by side).
set(TARVEL_PC_PREFIX "@TARVEL_PC_PREFIX@")
configure_file(cmake/tarvel6.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/tarvel6.pc.in @ONLY)
install(CODE "
    set(TARVEL_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    string(MD5 tag \"\${CMAKE_INSTALL_PREFIX}\")
    set(pc \"${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/\${tag}/tarvel6.pc\")
    configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/tarvel6.pc.in\" \"\${pc}\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\"
         TYPE FILE FILES \"\${pc}\")"
    COMPONENT dev)

# ---- tools: one list; a new program joins the package by its target name here -------------
set(TARVEL_TOOL_PROGRAMS tarvel tarvel-sim tarvel-gateway)
foreach(program IN LISTS TARVEL_TOOL_PROGRAMS)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    endif()
endforeach()

# ---- .deb packages -------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvel6)
set(CPACK_PACKAGE_VENDOR "Tarvel6")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tarvel6 developers <tarvel6@localhost>")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
# Library dependencies from dpkg-shlibdeps; the build folder holds libTarvel6.so.<major> for
# the tools' lookup (its own package is named explicitly below).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON) # the library's shlibs file
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR})
set(TARVEL_SAME_LIB "${TARVEL_LIB_PACKAGE} (= ${PROJECT_VERSION}-1)")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${TARVEL_LIB_PACKAGE})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# Descriptions: the first line is the package's summary.
set(CPACK_DEBIAN_LIB_DESCRIPTION "weighing-indicator communication library
Reads weights from scale indicators (5817, KRT, Ohaus, MSI 3360, MSI 6260) behind a \
network converter's serial channels or on local serial ports, and drives the \
converter's digital inputs and outputs.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtarvel6-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${TARVEL_SAME_LIB}")
set(CPACK_DEBIAN_DEV_DESCRIPTION "weighing-indicator communication library - development files
The C header tarvel6.h, the pkg-config file tarvel6.pc, the CMake package Tarvel6 \
(target Tarvel6::Tarvel6) and the Pascal import unit Tarvel6.pas.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tarvel-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${TARVEL_SAME_LIB}")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "weighing-indicator reader, gateway and simulator
tarvel, a command-line reader of scale indicators and of the converter's I/O; \
tarvel-gateway, every indicator live at once over HTTP, Server-Sent Events and a live \
web page, with the converters' digital I/O; and tarvel-sim, an indicator and converter \
simulator.")
include(CPack)
