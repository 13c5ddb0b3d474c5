# What a system install adds for kestrixd: its systemd unit, its two
# configuration files and the license. The Debian packages are built from
# packaging/debian (tools/check-package).

set(KESTRIX_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

# Windows: one zip (cpack -G ZIP) of the programs, the static library, its
# headers and CMake package, and the license; no service or /etc there.
if(WIN32)
  install(FILES ${KESTRIX_PACKAGING_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrix)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME kestrix)
  set(CPACK_PACKAGE_FILE_NAME kestrix-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
  return()
endif()

# systemd looks under lib/systemd/system of the prefix only, whatever the
# platform's library directory is called.
install(FILES ${KESTRIX_PACKAGING_DIR}/kestrixd.service DESTINATION lib/systemd/system)
install(FILES ${KESTRIX_PACKAGING_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrix)

# The configuration belongs in /etc when the prefix is the system's own, as
# the packages' is, and under the prefix otherwise. Decided when installing,
# since the prefix may be given then.
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
