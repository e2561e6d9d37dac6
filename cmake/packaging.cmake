# Installation and Linux packages (POSIX builds).
#
#   cmake --install build [--prefix DIR] [--component lib|dev|tools|sim]
#   cpack --config build/CPackConfig.cmake      (.deb files; README, "Installing on Debian
#                                                as a service")
#
# Components, one Debian package each:
#   lib    libTarvel6.so.<major> and libTarvel6.so.<version>           -> libtarvel6-<major>
#   dev    libTarvel6.so, tarvel6.h, tarvel6.pc, the CMake package
#          (find_package(Tarvel6) -> Tarvel6::Tarvel6), the Pascal unit   -> libtarvel6-dev
#   tools  tarvel and tarvel-gateway, their manual pages, tarvel's bash completion, the
#          tarvel-gateway service and its configuration file            -> tarvel-tools
#   sim    tarvel-sim and its manual page                                -> tarvel-sim
# Each package has /usr/share/doc/<package>/ with the changelog and the copyright file.
# Every version below comes from project(Tarvel6 VERSION ...); the Debian revision, and what
# changed in each, from packaging/debian/changelog.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARVEL_DEBIAN_DIR ${PROJECT_SOURCE_DIR}/packaging/debian)
set(TARVEL_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvel6)
set(TARVEL_PASCAL_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/tarvel6/pascal)
set(TARVEL_LIB_PACKAGE libtarvel6-${PROJECT_VERSION_MAJOR})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TARVEL_DEBIAN_DIR}/changelog)

# ---- the changelog: the Debian revision, and the maintainer when git names none -----------
# Its first line is "tarvel6 (VERSION-REVISION) ...", its first signature " -- NAME <MAIL>  DATE".
file(STRINGS ${TARVEL_DEBIAN_DIR}/changelog _changelog)
list(GET _changelog 0 _top)
string(REGEX MATCH "^tarvel6 \\(([^)]+)-([^-)]+)\\)" _ "${_top}")
set(TARVEL_CHANGELOG_VERSION ${CMAKE_MATCH_1})
set(TARVEL_DEB_REVISION ${CMAKE_MATCH_2})
if(NOT TARVEL_CHANGELOG_VERSION STREQUAL PROJECT_VERSION)
    # The packages still build; the package test fails until the entry is written.
    message(WARNING "packaging/debian/changelog has no entry for ${PROJECT_VERSION} (its first "
                    "is ${TARVEL_CHANGELOG_VERSION}-${TARVEL_DEB_REVISION}): add one")
    set(TARVEL_DEB_REVISION 1)
endif()
set(_signer "")
foreach(line IN LISTS _changelog)
    if(line MATCHES "^ -- (.+ <[^>]+>)  ")
        set(_signer "${CMAKE_MATCH_1}")
        break()
    endif()
endforeach()

# The Maintainer field: the person or team who answers for the packages. By default the
# repository's committer identity (git config user.name / user.email), else the changelog's
# latest signature.
if(NOT DEFINED TARVEL_PACKAGE_MAINTAINER)
    set(_maintainer "${_signer}")
    find_package(Git QUIET)
    if(GIT_FOUND)
        execute_process(COMMAND ${GIT_EXECUTABLE} config user.name
                        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE _name
                        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        execute_process(COMMAND ${GIT_EXECUTABLE} config user.email
                        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE _mail
                        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(_name AND _mail)
            set(_maintainer "${_name} <${_mail}>")
        endif()
    endif()
    set(TARVEL_PACKAGE_MAINTAINER "${_maintainer}" CACHE STRING
        "Maintainer field of the .deb packages: NAME <MAIL>")
endif()
if(NOT TARVEL_PACKAGE_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$")
    message(FATAL_ERROR "TARVEL_PACKAGE_MAINTAINER is \"${TARVEL_PACKAGE_MAINTAINER}\": set it "
                        "to \"NAME <MAIL>\" (-DTARVEL_PACKAGE_MAINTAINER=...)")
endif()

# ---- where the service's files go ----------------------------------------------------------
# Installed under /usr (the packages): /etc/tarvel/gateway.toml and the systemd unit in the
# system's unit folder. Under any other prefix both stay inside it (PREFIX/etc/tarvel,
# PREFIX/lib/systemd/system), as GNUInstallDirs keeps etc/ inside every prefix but /usr.
# The choice is made when installing, for the prefix `cmake --install --prefix` or cpack gives.
set(TARVEL_SERVICE_CONFIG /etc/tarvel/gateway.toml)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
    pkg_get_variable(TARVEL_SYSTEMD_UNIT_DIR systemd systemdsystemunitdir)
endif()
if(NOT TARVEL_SYSTEMD_UNIT_DIR)
    set(TARVEL_SYSTEMD_UNIT_DIR /lib/systemd/system)
endif()

# ---- manual pages: one Markdown source each, made into roff by pandoc ----------------------
set(TARVEL_MAN_PAGES tarvel.1:tools tarvel-gateway.8:tools tarvel-gateway.toml.5:tools
                     tarvel-sim.1:sim)
if(NOT TARVEL_BUILD_TOOLS OR NOT TARVEL_BUILD_MAN)
    set(TARVEL_MAN_PAGES "")
else()
    find_program(TARVEL_PANDOC pandoc)
    if(NOT TARVEL_PANDOC)
        message(FATAL_ERROR "pandoc makes the manual pages: install it "
                            "(scripts/install-deps.sh), or leave them out (-DTARVEL_BUILD_MAN=OFF)")
    endif()
endif()
set(TARVEL_MAN_DIR ${PROJECT_BINARY_DIR}/man)
set(TARVEL_CONFIG ${TARVEL_SERVICE_CONFIG}) # the Markdown names the service's file
set(_man_outputs "")
foreach(entry IN LISTS TARVEL_MAN_PAGES)
    string(REPLACE ":" ";" entry "${entry}")
    list(GET entry 0 page)
    list(GET entry 1 component)
    string(REGEX REPLACE ".*\\.([1-8])$" "\\1" section "${page}")
    configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.md ${TARVEL_MAN_DIR}/${page}.md @ONLY)
    add_custom_command(
        OUTPUT ${TARVEL_MAN_DIR}/${page}.gz
        COMMAND ${TARVEL_PANDOC} --standalone --from markdown-smart --to man
                --metadata "footer=Tarvel6 ${PROJECT_VERSION}" -o ${TARVEL_MAN_DIR}/${page}
                ${TARVEL_MAN_DIR}/${page}.md
        COMMAND gzip -9nf ${TARVEL_MAN_DIR}/${page}
        DEPENDS ${TARVEL_MAN_DIR}/${page}.md
        COMMENT "Manual page ${page}"
        VERBATIM)
    list(APPEND _man_outputs ${TARVEL_MAN_DIR}/${page}.gz)
    install(FILES ${TARVEL_MAN_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
            COMPONENT ${component})
endforeach()

# The changelog, compressed as Debian keeps it.
set(TARVEL_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/deb/changelog.Debian.gz)
add_custom_command(
    OUTPUT ${TARVEL_CHANGELOG_GZ}
    COMMAND ${CMAKE_COMMAND} -E copy ${TARVEL_DEBIAN_DIR}/changelog
            ${PROJECT_BINARY_DIR}/deb/changelog.Debian
    COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/deb/changelog.Debian
    DEPENDS ${TARVEL_DEBIAN_DIR}/changelog
    COMMENT "Debian changelog"
    VERBATIM)
add_custom_target(tarvel_docs ALL DEPENDS ${_man_outputs} ${TARVEL_CHANGELOG_GZ})

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

# ---- tools and sim: each program joins its package by its target name here -----------------
set(TARVEL_TOOL_PROGRAMS tarvel:tools tarvel-gateway:tools tarvel-sim:sim)
foreach(entry IN LISTS TARVEL_TOOL_PROGRAMS)
    string(REPLACE ":" ";" entry "${entry}")
    list(GET entry 0 program)
    list(GET entry 1 component)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
                COMPONENT ${component})
    endif()
endforeach()
install(FILES ${TARVEL_DEBIAN_DIR}/tarvel.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tarvel
        COMPONENT tools)

# The service: the unit (its paths written for the prefix) and the example configuration.
if(TARGET tarvel-gateway)
    install(CODE "
        if(CMAKE_INSTALL_PREFIX MATCHES \"^/usr/?$\")
            set(etc /etc)
            set(units ${TARVEL_SYSTEMD_UNIT_DIR})
        else()
            set(etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
            set(units \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
        endif()
        set(TARVEL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        set(TARVEL_CONFIG \"\${etc}/tarvel/gateway.toml\")
        # A folder per prefix and DESTDIR: installs may run side by side.
        string(MD5 tag \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
        set(unit \"${CMAKE_CURRENT_BINARY_DIR}/deb/\${tag}/tarvel-gateway.service\")
        configure_file(\"${TARVEL_DEBIAN_DIR}/tarvel-gateway.service.in\" \"\${unit}\" @ONLY)
        file(INSTALL DESTINATION \"\${units}\" TYPE FILE FILES \"\${unit}\")
        file(INSTALL DESTINATION \"\${etc}/tarvel\" TYPE FILE
             FILES \"${TARVEL_DEBIAN_DIR}/gateway.toml\")"
        COMPONENT tools)
endif()

# ---- .deb packages -------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvel6)
set(CPACK_PACKAGE_VENDOR "Tarvel6")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools sim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TARVEL_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON) # scripts 0755, the rest 0644
set(CPACK_STRIP_FILES ON) # programs and the library without their debugging symbols
# Library dependencies from dpkg-shlibdeps; the build folder holds libTarvel6.so.<major> for
# the tools' lookup (its own package is named explicitly below).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON) # the library's shlibs file
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR})
set(TARVEL_DEB_VERSION ${PROJECT_VERSION}-${TARVEL_DEB_REVISION})
set(TARVEL_SAME_LIB "${TARVEL_LIB_PACKAGE} (= ${TARVEL_DEB_VERSION})")

# /usr/share/doc/<package>: the changelog and the copyright file.
set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${TARVEL_LIB_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtarvel6-dev)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tarvel-tools)
set(CPACK_DEBIAN_SIM_PACKAGE_NAME tarvel-sim)
foreach(component IN ITEMS lib dev tools sim)
    string(TOUPPER ${component} upper)
    set(docs ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    install(FILES ${TARVEL_CHANGELOG_GZ} ${TARVEL_DEBIAN_DIR}/copyright DESTINATION ${docs}
            COMPONENT ${component})
endforeach()

set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# The loader's cache is renewed by dpkg's ldconfig trigger once per run. CPack writes a
# postinst and a postrm calling ldconfig unless the package brings its own: these do nothing.
set(TARVEL_LIB_CONTROL ${PROJECT_BINARY_DIR}/deb/lib-control)
file(WRITE ${TARVEL_LIB_CONTROL}/triggers "activate-noawait ldconfig\n")
foreach(script IN ITEMS postinst postrm)
    file(WRITE ${TARVEL_LIB_CONTROL}/${script}
         "#!/bin/sh\n# The ldconfig trigger (see triggers) renews the loader's cache.\nset -e\nexit 0\n")
endforeach()
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${TARVEL_LIB_CONTROL}/triggers
    ${TARVEL_LIB_CONTROL}/postinst ${TARVEL_LIB_CONTROL}/postrm)
# Descriptions: the first line is the package's summary, the rest its description (lines of
# at most 80 characters).
set(CPACK_DEBIAN_LIB_DESCRIPTION "weighing-indicator communication library
Reads weights from scale indicators (5817, KRT, Ohaus, MSI 3360, MSI 6260)
behind a network converter's serial channels or on local serial ports, and
drives the converter's digital inputs and outputs. Programs use its flat C API
(tarvel6.h, in libtarvel6-dev).")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${TARVEL_SAME_LIB}")
set(CPACK_DEBIAN_DEV_DESCRIPTION "weighing-indicator communication library - development files
The C header tarvel6.h, the pkg-config file tarvel6.pc, the CMake package
Tarvel6 (find_package(Tarvel6) gives the target Tarvel6::Tarvel6) and the
Pascal import unit Tarvel6.pas, for programs that read scale indicators
through libtarvel6.")

# tarvel-tools: the reader and the gateway with its service. Its maintainer scripts make the
# account tarvel, enable and start the service where systemd runs, and clean up on purge.
set(TARVEL_TOOLS_CONTROL ${PROJECT_BINARY_DIR}/deb/tools-control)
foreach(script IN ITEMS postinst prerm postrm)
    configure_file(${TARVEL_DEBIAN_DIR}/tarvel-tools.${script} ${TARVEL_TOOLS_CONTROL}/${script}
                   COPYONLY)
endforeach()
file(WRITE ${TARVEL_TOOLS_CONTROL}/conffiles "${TARVEL_SERVICE_CONFIG}\n")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
    ${TARVEL_TOOLS_CONTROL}/postinst ${TARVEL_TOOLS_CONTROL}/prerm
    ${TARVEL_TOOLS_CONTROL}/postrm ${TARVEL_TOOLS_CONTROL}/conffiles)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${TARVEL_SAME_LIB}, adduser")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "tarvel-sim")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "weighing-indicator reader and gateway service
tarvel reads scale indicators and a network converter's digital I/O from the
command line. tarvel-gateway keeps every indicator live at once and serves the
readings over HTTP, Server-Sent Events, a live web page and MQTT, with the
converters' digital I/O; systemd runs it as the service tarvel-gateway, with
the configuration /etc/tarvel/gateway.toml.")

# tarvel-sim came in tarvel-tools before 2.0.15-2.
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_SIM_PACKAGE_REPLACES "tarvel-tools (<< 2.0.15-2)")
set(CPACK_DEBIAN_SIM_PACKAGE_BREAKS "tarvel-tools (<< 2.0.15-2)")
set(CPACK_DEBIAN_SIM_DESCRIPTION "weighing-indicator and converter simulator
tarvel-sim plays a network converter (four serial channels and the I/O port,
on any loopback address) and indicators on pseudo-terminals, with constant,
ramping, swinging, scripted, out-of-range and corrupted weights: for trying
tarvel, tarvel-gateway and programs that use the library without hardware.")
include(CPack)
