# Install rules and the Debian package. `cmake --install build --prefix P` installs the updater,
# the tools, update-client with its library (shared, static, header, pkg-config file), the
# manual pages and the README;
# `cpack --config build/CPackConfig.cmake -B DIR` builds DIR/updater_VERSION_ARCH.deb, whose
# dependencies dpkg-shlibdeps computes from the installed programs.
include(GNUInstallDirs)

install(TARGETS updater upk_tool kbdiff kbpatch make_update make_release update_client
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
add_subdirectory(${PROJECT_SOURCE_DIR}/man ${PROJECT_BINARY_DIR}/man)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/release-feed.md ${PROJECT_SOURCE_DIR}/docs/walkthrough.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} OPTIONAL)
install(FILES ${PROJECT_SOURCE_DIR}/docs/update-client.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
        OPTIONAL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "updater maintainers <updater@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "applies update archives to installed applications; tools to build and publish them")
set(CPACK_PACKAGE_DESCRIPTION
    "updater applies a downloaded update archive to an installed desktop application, in place or
as a staged copy that is swapped in later. upk, kbdiff, kbpatch, make-update and make-release
build, inspect and publish the archives and their release feed.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
