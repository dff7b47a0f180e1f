# Install rules and the Debian package. `cmake --install build --prefix P` installs the updater,
# the tools, their manual pages, the README and the reference client's source;
# `cpack --config build/CPackConfig.cmake -B DIR` builds DIR/updater_VERSION_ARCH.deb, whose
# dependencies dpkg-shlibdeps computes from the installed programs. The package carries the
# licence as its machine-readable copyright file, a changelog and gzip-compressed manual pages.
include(GNUInstallDirs)

# The package's maintainer, "Name <address>": -DUPDATER_PACKAGE_CONTACT=..., else the Debian
# tools' own DEBFULLNAME and DEBEMAIL from the environment, else the git identity (user.name,
# user.email) of the source tree, read at configure time.
set(contact_default "")
if(DEFINED ENV{DEBFULLNAME} AND DEFINED ENV{DEBEMAIL})
  set(contact_default "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} config user.name WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE git_name OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} config user.email WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE git_email OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(git_name AND git_email)
      set(contact_default "${git_name} <${git_email}>")
    endif()
  endif()
endif()
if(NOT contact_default AND NOT UPDATER_PACKAGE_CONTACT)
  message(WARNING "No package maintainer known: set -DUPDATER_PACKAGE_CONTACT=\"Name <address>\"")
  set(contact_default "updater publisher <root@localhost>")
endif()
set(UPDATER_PACKAGE_CONTACT "${contact_default}" CACHE STRING
    "Maintainer of the Debian package, as \"Name <address>\"")

install(TARGETS updater upk_tool kbdiff kbpatch make_update make_release
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
add_subdirectory(${PROJECT_SOURCE_DIR}/man ${PROJECT_BINARY_DIR}/man)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/release-feed.md ${PROJECT_SOURCE_DIR}/docs/walkthrough.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} OPTIONAL)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/client
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# Debian's copyright file (copyright-format 1.0) holds the licence text, each line indented by
# one space and an empty line written " ."; the changelog is compressed as Debian's tools do it.
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX REPLACE "\n$" "" licence "${licence}")
string(REGEX REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REGEX REPLACE "\n" "\n " UPDATER_LICENSE_TEXT " ${licence}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/copyright.in
               ${PROJECT_BINARY_DIR}/debian/copyright @ONLY)
string(TIMESTAMP UPDATER_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
               ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
                   COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/debian/changelog >
                           ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
                   DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog)
add_custom_target(debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
install(FILES ${PROJECT_BINARY_DIR}/debian/copyright
              ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The package is built by each publisher, not uploaded to Debian: no bug report announces it.
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME updater)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${UPDATER_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "applies update archives to installed applications")
set(CPACK_PACKAGE_DESCRIPTION
    "updater applies a downloaded update archive to an installed desktop
application, in place or as a staged copy that is swapped in later.
upk, kbdiff, kbpatch, make-update and make-release build, inspect and
publish the archives and their release feed.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
