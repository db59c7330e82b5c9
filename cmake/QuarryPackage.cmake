# The Debian package of the Release build: `cpack -G DEB` in the build folder. Its dependencies
# are computed from the installed binaries (dpkg-shlibdeps), so the package asks for exactly the
# libraries the programs link.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quarry)
set(CPACK_PACKAGE_VENDOR "Quarry Software")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop file-search utility")
# CPack puts the summary first and indents these lines itself (an empty line becomes " .").
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Quarry Software scans a directory, with or without its sub-folders, and shows
its files in a tree of virtual folders grouped by location, name, extension,
size range, date, status, owner, group or file type, with a Find box and a
search conditions dialog that filters the files by name, size and dates.

The command quarry-cli prints the same views as text, tab-separated values or
JSON.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quarry Software <packages@quarry.example.org>")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${QUARRY_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The folder browser's and the default applications' look-up reach the desktop through these.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, shared-mime-info")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Debian's documents of the package: its copyright and its (native) changelog, compressed.
set(QUARRY_CHANGELOG ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${QUARRY_CHANGELOG}
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${QUARRY_CHANGELOG}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
add_custom_target(changelog ALL DEPENDS ${QUARRY_CHANGELOG})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${QUARRY_CHANGELOG}
  DESTINATION share/doc/quarry)
include(CPack)
