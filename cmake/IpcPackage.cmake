# Installation and Debian packages. Two components: "runtime" (the shared libraries, ipc_run
# with its man page, the Tcl packages) and "dev" (headers, CMake package, pkg-config file).
# Install rules without a component land in "runtime".
include(CMakePackageConfigHelpers)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME runtime)

# Headers: the library's under include/ipc, the host contracts under include/ipc/host. The
# headers name each other "ipc/..." and "host/...", so consumers get both include and
# include/ipc on their include path.
set(IPC_INSTALL_INCLUDE_DIRS ${CMAKE_INSTALL_INCLUDEDIR} ${CMAKE_INSTALL_INCLUDEDIR}/ipc)
install(TARGETS ipc host EXPORT ipcTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        INCLUDES DESTINATION ${IPC_INSTALL_INCLUDE_DIRS})
install(FILES ipc/ipc_command.h ipc/ipc_export.h backend/ipc_backend.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ipc COMPONENT dev)
file(GLOB IPC_HOST_HEADERS ${CMAKE_SOURCE_DIR}/host/*.h)
install(FILES ${IPC_HOST_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ipc/host COMPONENT dev)
file(GLOB IPC_SERVICE_HEADERS ${CMAKE_SOURCE_DIR}/services/*.h)
install(FILES ${IPC_SERVICE_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ipc/services
        COMPONENT dev)

# Runtime: ipc_run, its man page, and the Tcl packages where Debian's tclsh looks for them when
# the prefix is /usr; the backend package sits beside the host package (backend/, package/).
install(TARGETS ipc_run ipc_relay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES tools/ipc_run/ipc_run.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
install(FILES backend/tcl/ipc_backend.tcl backend/tcl/pkgIndex.tcl DESTINATION lib/tcltk/ipc_backend1.0
        COMPONENT runtime)

# The GUI host example with the backend it runs by default; wish8.6 (tk8.6) runs it.
install(PROGRAMS examples/ipc_gui.tcl examples/progress_backend.tcl
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libipc${PROJECT_VERSION_MAJOR}/examples
        COMPONENT runtime)

# CMake package: only what the public headers and the exported link interface need.
install(EXPORT ipcTargets NAMESPACE ipc:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ipc
        COMPONENT dev)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/ipcConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/ipcConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ipc)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/ipcConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/ipcConfig.cmake ${CMAKE_BINARY_DIR}/ipcConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ipc COMPONENT dev)

# Relative to the .pc file, so an install under any --prefix finds its own headers and libraries.
file(RELATIVE_PATH IPC_PC_TO_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
configure_file(${CMAKE_SOURCE_DIR}/cmake/ipc.pc.in ${CMAKE_BINARY_DIR}/ipc.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/ipc.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The licence, as each Debian package's machine-readable copyright file.
set(IPC_RUNTIME_PACKAGE libipc${PROJECT_VERSION_MAJOR})
set(IPC_DEV_PACKAGE libipc-dev)
file(READ ${CMAKE_SOURCE_DIR}/LICENSE IPC_COPYRIGHT_LICENSE_TEXT)
string(STRIP "${IPC_COPYRIGHT_LICENSE_TEXT}" IPC_COPYRIGHT_LICENSE_TEXT)
string(REGEX REPLACE "^MIT License\n\n" "" IPC_COPYRIGHT_LICENSE_TEXT "${IPC_COPYRIGHT_LICENSE_TEXT}")
string(REGEX REPLACE "\n\n" "\n.\n" IPC_COPYRIGHT_LICENSE_TEXT "${IPC_COPYRIGHT_LICENSE_TEXT}")
string(REGEX REPLACE "\n" "\n " IPC_COPYRIGHT_LICENSE_TEXT " ${IPC_COPYRIGHT_LICENSE_TEXT}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/copyright.in ${CMAKE_BINARY_DIR}/copyright @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${IPC_RUNTIME_PACKAGE} COMPONENT runtime)
install(FILES ${CMAKE_BINARY_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${IPC_DEV_PACKAGE} COMPONENT dev)

# cpack -G DEB (from the build directory) makes libipc1 and libipc-dev under packages/.
set(CPACK_PACKAGE_NAME ipc)
set(CPACK_PACKAGE_VENDOR "The ipc authors")
set(CPACK_PACKAGE_CONTACT "The ipc authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file, so packages built on the libraries depend on libipc1 by themselves.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# ipc_run links the libraries of its own package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${IPC_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The Tcl packages need a tclsh; the libraries' own dependencies come from shlibdeps.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "tcl8.6")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS "tk8.6")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "The shared libraries libipc and libipchost, the command-line host ipc_run, the Tcl package ipc for Tcl and Tk hosts and the Tcl package ipc_backend for backends.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${IPC_DEV_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The public headers include GSL, Boost.Outcome and tcl.h; ipcConfig.cmake and ipc.pc resolve
# Tcl through pkg-config, and ipc.pc names fmt and glib as private requirements.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "${IPC_RUNTIME_PACKAGE} (= ${PROJECT_VERSION}), libmsgsl-dev, libboost-dev, tcl8.6-dev, pkg-config, libfmt-dev, libglib2.0-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "Headers, CMake package (find_package(ipc)) and pkg-config file (ipc) for building a host on the library.")
include(CPack)
