include(CMakePackageConfigHelpers)

install(TARGETS portnet EXPORT portnetTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET portnet-secure)
    install(TARGETS portnet-secure EXPORT portnetTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    set(PORTNET_HAS_SECURE TRUE)
else()
    set(PORTNET_HAS_SECURE FALSE)
endif()
install(DIRECTORY include/portnet DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT portnetTargets
    NAMESPACE portnet::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/portnet)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/portnetConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/portnetConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/portnet)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/portnetConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/portnetConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/portnetConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/portnet)

# The .pc file names its prefix relative to its own folder (<libdir>/pkgconfig), so the
# package works from whatever prefix `cmake --install --prefix` puts it in.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    message(FATAL_ERROR "portnet installs with relative CMAKE_INSTALL_LIBDIR and INCLUDEDIR only")
endif()
file(RELATIVE_PATH PORTNET_PC_RELATIVE_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
string(REGEX REPLACE "/$" "" PORTNET_PC_RELATIVE_PREFIX "${PORTNET_PC_RELATIVE_PREFIX}")
# Windows: the import library is named by its path, which a -static link (the runtime linked
# in) still takes, and Winsock is added for the public headers' byte-order helpers.
set(PORTNET_PC_LIBS "-L\${libdir} -lportnet")
if(WIN32)
    set(PORTNET_PC_LIBS "\${libdir}/libportnet.dll.a -lws2_32")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/portnet.pc.in
    ${CMAKE_CURRENT_BINARY_DIR}/portnet.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/portnet.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(TARGET portnet-secure)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/portnet-secure.pc.in
        ${CMAKE_CURRENT_BINARY_DIR}/portnet-secure.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/portnet-secure.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
