# Install layout and the Debian packages (scripts/package runs cpack):
#   quillup       the updater and quillup-msgwnd, for integrators who copy
#                 them into a client's installer
#   quillup-pack  the release engineer's pack tool
# The programs install their own rules (component updater or pack); the
# documentation goes to each package's share/doc directory.
file(GLOB quillup_doc_pictures CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.png)
foreach(pair updater:quillup pack:quillup-pack)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  # README.md shows the pictures by their path below it.
  install(FILES ${quillup_doc_pictures}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}/docs COMPONENT ${component})
endforeach()

set(QUILLUP_PACKAGE_CONTACT "Quillup developers <quillup@localhost>" CACHE STRING
  "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QUILLUP_PACKAGE_CONTACT})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL updater pack)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# dpkg-shlibdeps (dpkg-dev) names the packages of the libraries the
# programs load (libcurl, OpenSSL, zlib, GTK...); programs they
# start are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME quillup)
# Staging hands "xdelta3 -d" the deltas its own decoder does not take.
set(CPACK_DEBIAN_UPDATER_PACKAGE_DEPENDS "xdelta3")
# The window's texts are Chinese; nslookup serves the public-resolver fallback.
set(CPACK_DEBIAN_UPDATER_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_UPDATER_PACKAGE_SUGGESTS "bind9-dnsutils")
# The first line of a description is the package's synopsis.
set(CPACK_DEBIAN_UPDATER_DESCRIPTION "automatic updater of a desktop trading client
Quillup checks an update server, downloads service packs (checked by size
and MD5, resumable), rebuilds files from VCDIFF deltas and swaps them into
the client's installation with a backup and a crash-safe record, then
restarts the client. This package holds the updater (bin/Quillup) and
quillup-msgwnd, for integrators who copy them into a client's installer.")

set(CPACK_DEBIAN_PACK_PACKAGE_NAME quillup-pack)
# build makes the deltas with "xdelta3 -e"; verify stages as the updater does.
set(CPACK_DEBIAN_PACK_PACKAGE_DEPENDS "xdelta3")
set(CPACK_DEBIAN_PACK_PACKAGE_SUGGESTS "nginx")
set(CPACK_DEBIAN_PACK_DESCRIPTION "release tool of the Quillup updater
quillup-pack builds the service packs and pack lists of an update server
directory from the installation trees of released versions, signs the
lists, replays the updater on them to verify the result, serves them on
127.0.0.1 for tests and prints an nginx configuration for production
serving.")

include(CPack)
