# SPDX-License-Identifier: MIT
# Install rules and the Debian package. `cmake --install build --prefix P` installs the updater,
# the tools, update-client with its library (shared, static, header, pkg-config file), the
# manual pages and the README;
# `cpack --config build/CPackConfig.cmake -B DIR` builds DIR/updater_VERSION_ARCH.deb with all of
# it, whose dependencies dpkg-shlibdeps computes from the installed programs. The package carries
# the licence as its machine-readable copyright file, a changelog and gzip-compressed manual pages;
# for the shared library a shlibs file and the ldconfig trigger.
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

install(TARGETS updater upk_tool kbdiff kbpatch make_update make_release update_client
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
add_subdirectory(${PROJECT_SOURCE_DIR}/man ${PROJECT_BINARY_DIR}/man)
# The README and docs/ are installed with the layout of the source tree, so that their links hold;
# a link to what is not installed (the benchmark and fuzzing notes) becomes its text and the path
# in the source tree.
file(GLOB installed_docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
foreach(doc ${PROJECT_SOURCE_DIR}/README.md ${installed_docs})
  file(RELATIVE_PATH name ${PROJECT_SOURCE_DIR} ${doc})
  file(READ ${doc} text)
  string(REGEX REPLACE "\\[((bench|fuzz)/README\\.md)\\]\\((\\.\\./)?(bench|fuzz)/README\\.md\\)"
         "\\1 (in the source tree)" text "${text}")
  string(REGEX REPLACE "\\[([^]]*)\\]\\((\\.\\./)?((bench|fuzz)/README\\.md)\\)"
         "\\1 (\\3 in the source tree)" text "${text}")
  file(WRITE ${PROJECT_BINARY_DIR}/doc/${name} "${text}")
  get_filename_component(folder ${name} DIRECTORY)
  install(FILES ${PROJECT_BINARY_DIR}/doc/${name} DESTINATION ${CMAKE_INSTALL_DOCDIR}/${folder})
endforeach()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.png")

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
# The package is built by each publisher, not uploaded to Debian: no bug report announces it;
# and it is one package for the tools and the client library (lintian-overrides gives the reasons).
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME updater)

set(CPACK_GENERATOR DEB)
# libupdate-client.so.1: "libupdate-client 1 updater (>= VERSION)" for the packages that link it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};updater;Unspecified;/")
set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${UPDATER_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "applies update archives to installed applications")
set(CPACK_PACKAGE_DESCRIPTION
    "updater applies a downloaded update archive to an installed desktop
application, in place or as a staged copy that is swapped in later.
upk, kbdiff, kbpatch, make-update and make-release build, inspect and
publish the archives and their release feed. update-client and its
library libupdate-client (shared and static, header, pkg-config file)
check the signed feed, download, stage and swap in updates.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
