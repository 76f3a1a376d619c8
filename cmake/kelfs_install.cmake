# make install (PREFIX, DESTDIR): the libraries, the public headers, kelfs.pc,
# the tools and their manual pages.
include(GNUInstallDirs)
configure_file(${CMAKE_SOURCE_DIR}/cmake/kelfs.pc.in ${CMAKE_BINARY_DIR}/kelfs.pc @ONLY)
install(TARGETS kelfs_shared LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${KELFS_STATIC} DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/kelfs DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")
install(FILES ${CMAKE_BINARY_DIR}/kelfs.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(TARGETS kel dorvex-tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/man/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        FILES_MATCHING PATTERN "*.1")
