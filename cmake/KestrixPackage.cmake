# The Debian package (cpack -G DEB in a build directory): what every install
# rule puts in, plus kestrixd's service unit, its two configuration files and
# the documents Debian asks of a package.

set(KESTRIX_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

# systemd looks under lib/systemd/system of the prefix only, whatever the
# platform's library directory is called.
install(FILES ${KESTRIX_PACKAGING_DIR}/kestrixd.service DESTINATION lib/systemd/system)
install(FILES ${KESTRIX_PACKAGING_DIR}/copyright DESTINATION share/doc/kestrix)

# The configuration belongs in /etc when the prefix is the system's own, as
# the package's is, and under the prefix otherwise. Decided when installing,
# since cpack installs with a prefix of its own.
install(CODE "
  if(CMAKE_INSTALL_PREFIX MATCHES \"^/(usr/?)?$\")
    set(_kestrix_etc /etc/kestrix)
  else()
    set(_kestrix_etc \"\${CMAKE_INSTALL_PREFIX}/etc/kestrix\")
  endif()
  file(INSTALL DESTINATION \"\${_kestrix_etc}\" TYPE FILE
       FILES \"${KESTRIX_PACKAGING_DIR}/network.cfg\")
  file(INSTALL DESTINATION \"\${_kestrix_etc}\" TYPE FILE RENAME kestrixd.conf
       FILES \"${PROJECT_SOURCE_DIR}/kestrix/server/examples/rules.conf\")
")

set(KESTRIX_DEB_MAINTAINER "Kestrix maintainers <maintainers@kestrix.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME kestrix)
set(CPACK_PACKAGE_VENDOR "Kestrix")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KESTRIX_DEB_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "client library and tools for a network of Kestrix media servers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# The install runs with the prefix /usr under a staging root, so that the
# rule above puts the configuration in /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KESTRIX_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The summary above is the description's first line; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The library asks Kestrix media servers, found by multicast discovery or
named directly, which path on another host and operating system names the
same file, and delivers the events they publish. This package holds the
library with its headers, the commands kestrix_translate_path,
kestrix_servers and kestrix_watch, and kestrixd, a small reference server
for development, tests and small sites, with a systemd unit.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles
     "/etc/kestrix/kestrixd.conf\n/etc/kestrix/network.cfg\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/conffiles)
# A shared libkestrix gets its shlibs entry, and dpkg's ldconfig trigger in
# place of the ldconfig calls cpack would write into postinst and postrm.
if(BUILD_SHARED_LIBS)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/triggers "activate-noawait ldconfig\n")
  foreach(script postinst postrm)
    file(WRITE ${PROJECT_BINARY_DIR}/packaging/${script} "#!/bin/sh\nset -e\n")
    file(CHMOD ${PROJECT_BINARY_DIR}/packaging/${script} FILE_PERMISSIONS
         OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/${script})
  endforeach()
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/triggers)
endif()

# Debian wants the changelog and manual pages compressed, reproducibly.
configure_file(${KESTRIX_PACKAGING_DIR}/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog
               @ONLY)
configure_file(${KESTRIX_PACKAGING_DIR}/compress-docs.cmake.in
               ${PROJECT_BINARY_DIR}/packaging/compress-docs.cmake @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_BINARY_DIR}/packaging/compress-docs.cmake)

include(CPack)
