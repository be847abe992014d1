# Installation and the Debian package.
#
#   cmake --install build --prefix /opt/speckmend     any prefix (DESTDIR too)
#   cd build && cpack -G DEB                          speckmend_<version>_<arch>.deb
#
# Installed: bin/speckmend, share/man/man1/speckmend.1.gz, and under
# share/doc/speckmend/ the README, the ChangeLog, the copyright file (Debian's
# machine-readable format, with the LICENSE text) and changelog.gz (the
# Debian changelog a native package carries, pointing to the ChangeLog). The
# package's Depends are derived by dpkg-shlibdeps from the libraries the
# binary really links, so they follow the build instead of a list kept by
# hand, plus the one module it opens at run time. The packaged binary is
# stripped. tests/install checks all of it, with lintian where installed.
include(GNUInstallDirs)

install(TARGETS speckmend RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page carries the version of project(); it is compressed the way
# Debian ships manual pages (-n: no name or time stamp, so the bytes depend on
# the text alone).
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(speckmend_man_page ${PROJECT_BINARY_DIR}/doc/speckmend.1)
configure_file(${PROJECT_SOURCE_DIR}/doc/speckmend.1.in ${speckmend_man_page} @ONLY)
add_custom_command(OUTPUT ${speckmend_man_page}.gz
  COMMAND ${GZIP_EXECUTABLE} -9nkf ${speckmend_man_page}
  DEPENDS ${speckmend_man_page}
  COMMENT "Compressing the manual page")
add_custom_target(speckmend_man_page ALL DEPENDS ${speckmend_man_page}.gz)
install(FILES ${speckmend_man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/ChangeLog.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(SPECKMEND_MAINTAINER "Speckmend developers <team@speckmend.example.org>")

# The copyright file quotes the licence from LICENSE, indented as the format
# wants it, with " ." for an empty line.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE speckmend_license)
string(FIND "${speckmend_license}" "Permission is hereby granted" speckmend_grant)
string(SUBSTRING "${speckmend_license}" ${speckmend_grant} -1 speckmend_license)
string(STRIP "${speckmend_license}" speckmend_license)
string(REPLACE "\n\n" "\n.\n" speckmend_license "${speckmend_license}")
string(REPLACE "\n" "\n " SPECKMEND_LICENSE_TEXT " ${speckmend_license}")
configure_file(${PROJECT_SOURCE_DIR}/doc/copyright.in ${PROJECT_BINARY_DIR}/doc/copyright @ONLY)

# The entry's date: SOURCE_DATE_EPOCH when set, for a reproducible package.
string(TIMESTAMP SPECKMEND_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/doc/changelog.in ${PROJECT_BINARY_DIR}/doc/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/doc/changelog.gz
  COMMAND ${GZIP_EXECUTABLE} -9nkf ${PROJECT_BINARY_DIR}/doc/changelog
  DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog
  COMMENT "Compressing the Debian changelog")
add_custom_target(speckmend_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/doc/copyright ${PROJECT_BINARY_DIR}/doc/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME speckmend)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Speckmend developers")
set(CPACK_PACKAGE_CONTACT "${SPECKMEND_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SPECKMEND_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "finds the hot pixels of a camera sensor and removes them from photographs")
# Lines of at most 80 characters, as Debian's control files want them.
set(CPACK_PACKAGE_DESCRIPTION
  "Speckmend averages dark frames to find the hot pixels of a sensor, writes\n"
  "them as a map, and repairs them in batches of photographs by inpainting;\n"
  "JPEG photographs are repaired losslessly, block by block.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The image codec module is opened at run time, not linked
# (src/platform/image_codecs.h), so dpkg-shlibdeps cannot see it: the package
# that holds it is named here, found the way dpkg-shlibdeps finds the others.
execute_process(COMMAND dpkg-query -S "*/${SPECKMEND_IMGCODECS_SONAME}" OUTPUT_VARIABLE imgcodecs_owner ERROR_QUIET)
if(NOT imgcodecs_owner MATCHES "^([^:, ]+)")
  message(FATAL_ERROR "no installed package holds ${SPECKMEND_IMGCODECS_SONAME}")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS ${CMAKE_MATCH_1})
include(CPack)
