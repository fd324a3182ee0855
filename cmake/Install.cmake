include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS qdo EXPORT qdoTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

foreach(header IN LISTS QDO_PUBLIC_HEADERS)
    get_filename_component(folder ${header} DIRECTORY)
    install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qdo/${folder})
endforeach()

install(EXPORT qdoTargets NAMESPACE qdo:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qdo)

configure_package_config_file(cmake/qdoConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/qdoConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qdo)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qdoConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/qdoConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/qdoConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qdo)

# The pkg-config file finds the prefix relative to its own folder, so an installed tree can move.
file(RELATIVE_PATH QDO_PC_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(cmake/qdo.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qdo.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qdo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
