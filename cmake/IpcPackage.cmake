# Installation: headers, libraries, a CMake package (ipc::ipc) and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS ipc host EXPORT ipcTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS ipc_run RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ipc/ipc_command.h ipc/ipc_command_impl.h ipc/ipc_export.h ipc/ipc_backend.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ipc)
# Where Debian's tclsh looks for packages when the prefix is /usr.
install(FILES ipc/tcl/ipc_backend.tcl ipc/tcl/pkgIndex.tcl
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tcltk/ipc_backend1.0)
file(GLOB IPC_HOST_HEADERS ${CMAKE_SOURCE_DIR}/host/*.h)
install(FILES ${IPC_HOST_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/host)

install(EXPORT ipcTargets NAMESPACE ipc:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ipc)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/ipcConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/ipcConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ipc)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/ipcConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/ipcConfig.cmake ${CMAKE_BINARY_DIR}/ipcConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ipc)

# Relative to the .pc file, so an install under any --prefix finds its own headers and libraries.
file(RELATIVE_PATH IPC_PC_TO_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
configure_file(${CMAKE_SOURCE_DIR}/cmake/ipc.pc.in ${CMAKE_BINARY_DIR}/ipc.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/ipc.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
