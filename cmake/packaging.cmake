# Install layout and the Debian packages (scripts/package runs cpack):
#   quillup       the updater and quillup-msgwnd, for integrators who copy
#                 them into a client's installer
#   quillup-pack  the release engineer's pack tool
# The programs install their own rules (component updater or pack); the
# documentation goes to each package's share/doc directory.
file(GLOB quillup_doc_pictures CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.png)

# The Debian changelog (cmake/debian/changelog) names the package version:
# its newest entry must be of this project's version, and its revision is
# the packages' revision. A new version needs a new entry.
set(quillup_changelog ${CMAKE_SOURCE_DIR}/cmake/debian/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${quillup_changelog})
file(STRINGS ${quillup_changelog} quillup_changelog_head LIMIT_COUNT 1)
if(NOT quillup_changelog_head MATCHES "^quillup \\(([^)-]+)-([0-9]+)\\) ")
  message(FATAL_ERROR "${quillup_changelog}: the first line is no entry \"quillup (VERSION-REVISION) ...\"")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "${quillup_changelog}: the newest entry is of ${CMAKE_MATCH_1}, the project is "
    "${PROJECT_VERSION}; add an entry for this version")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})
# Compressed as Debian's tools do: the most, and without name or time.
set(quillup_changelog_gz ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/debian)
execute_process(COMMAND gzip -9n -c ${quillup_changelog} OUTPUT_FILE ${quillup_changelog_gz} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip of ${quillup_changelog} failed")
endif()

# Manual pages made from each program's --help by help2man, so they follow
# the programs' own texts. Not in sanitized or fuzz trees, whose programs
# are not installed.
find_program(HELP2MAN_PROGRAM help2man)
set(quillup_man_pages)
if(HELP2MAN_PROGRAM AND NOT QUILLUP_SANITIZE AND NOT QUILLUP_FUZZ)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
  foreach(entry "Quillup:updater:automatic updater of a desktop trading client"
                "quillup-msgwnd:updater:find, post to and serve windows of other processes"
                "quillup-pack:pack:build, sign, verify and serve the service packs of Quillup")
    string(REPLACE ":" ";" entry "${entry}")
    list(GET entry 0 program)
    list(GET entry 1 component)
    list(GET entry 2 synopsis)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${HELP2MAN_PROGRAM} --no-info --version-string=${PROJECT_VERSION} --name=${synopsis}
              --output=${page} $<TARGET_FILE:${program}>
      COMMAND gzip -9nf ${page}
      DEPENDS ${program}
      COMMENT "Manual page of ${program}"
      VERBATIM)
    list(APPEND quillup_man_pages ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  endforeach()
  add_custom_target(quillup_man ALL DEPENDS ${quillup_man_pages})
elseif(NOT HELP2MAN_PROGRAM)
  message(STATUS "help2man not found: no manual pages (scripts/setup installs it)")
endif()

foreach(pair updater:quillup pack:quillup-pack)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/cmake/debian/copyright ${quillup_changelog_gz}
    DESTINATION ${docdir} COMPONENT ${component})
  # README.md shows the pictures by their path below it.
  install(FILES ${quillup_doc_pictures} DESTINATION ${docdir}/docs COMPONENT ${component})
  # The one lintian tag these packages keep, with the reason beside it.
  configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/lintian-overrides.in ${CMAKE_BINARY_DIR}/debian/${package} @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/debian/${package}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
endforeach()


set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quillup Developers <quillup-dev@lists.quillup.org>")
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
