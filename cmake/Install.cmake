# Installation and the Debian package.
#
#   cmake --install build --prefix /opt/speckmend     any prefix (DESTDIR too)
#   cd build && cpack -G DEB                          speckmend_<version>_<arch>.deb
#
# Installed: bin/speckmend, share/man/man1/speckmend.1.gz and the README and
# ChangeLog under share/doc/speckmend/. The package's Depends are derived by
# dpkg-shlibdeps from the libraries the binary really links, so they follow
# the build instead of a list kept by hand, plus the one module it opens at
# run time. tests/install checks both.
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

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME speckmend)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Speckmend team")
set(CPACK_PACKAGE_CONTACT "The Speckmend team")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "finds the hot pixels of a camera sensor and removes them from photographs")
set(CPACK_PACKAGE_DESCRIPTION
  "Speckmend averages dark frames to find the hot pixels of a sensor, writes them as a map, and repairs them in batches of photographs by inpainting; JPEG photographs are repaired losslessly, block by block.")
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
