# What `cmake --install` puts in place: one library, libkestrix, made of the
# client's modules; the headers the facade reaches, under include/ in the
# tree's own layout (include/kestrix/client/api/..., so their includes work
# unchanged); the programs; the example rules; a CMake package
# (Kestrix::kestrix) and kestrix.pc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
find_package(Threads REQUIRED)

set(KESTRIX_LIBRARY_MODULES
  loggerBase osal fileUtil threads ipc tcp network rcApi kestrixClientApi)
# The facade and every header it includes; the installed consumer's build
# checks that nothing is missing.
set(KESTRIX_PUBLIC_HEADERS
  kestrix/client/api/KestrixClientAPI.h
  kestrix/client/api/KestrixNodeEvent.h
  kestrix/client/api/KestrixOS.h
  kestrix/client/api/KestrixServerId.h
  kestrix/client/api/KestrixTypes.h)

foreach(module IN LISTS KESTRIX_LIBRARY_MODULES)
  if(NOT TARGET ${module})
    return()  # a partial build (KESTRIX_MODULES) installs nothing
  endif()
  list(APPEND kestrix_objects $<TARGET_OBJECTS:${module}>)
endforeach()

# Static unless BUILD_SHARED_LIBS says otherwise.
add_library(kestrix ${kestrix_objects})
add_library(Kestrix::kestrix ALIAS kestrix)
set_target_properties(kestrix PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}
  LINKER_LANGUAGE CXX)
if(BUILD_SHARED_LIBS)
  target_link_options(kestrix PRIVATE
    "LINKER:--version-script=${PROJECT_SOURCE_DIR}/cmake/libkestrix.map")
  set_property(TARGET kestrix APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/libkestrix.map)
endif()
# A static libkestrix passes its system libraries on to its users; a shared
# one keeps them private. Windows has its HMAC in the system (CNG).
if(WIN32)
  set(kestrix_system_libraries ws2_32 iphlpapi bcrypt advapi32 psapi rpcrt4)
  set(KESTRIX_CONFIG_DEPENDENCIES "")
else()
  set(kestrix_system_libraries OpenSSL::Crypto)
  set(KESTRIX_CONFIG_DEPENDENCIES "find_dependency(OpenSSL COMPONENTS Crypto)")
endif()
if(BUILD_SHARED_LIBS)
  target_link_libraries(kestrix PUBLIC Threads::Threads PRIVATE ${kestrix_system_libraries})
else()
  target_link_libraries(kestrix PUBLIC Threads::Threads ${kestrix_system_libraries})
endif()
target_include_directories(kestrix INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(kestrix INTERFACE cxx_std_20)

install(TARGETS kestrix EXPORT KestrixTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A distribution ships both: the shared library, and beside it the static
# one built from the same objects.
option(KESTRIX_STATIC_TOO "With BUILD_SHARED_LIBS, also build and install libkestrix.a" OFF)
if(BUILD_SHARED_LIBS AND KESTRIX_STATIC_TOO)
  add_library(kestrix_static STATIC ${kestrix_objects})
  set_target_properties(kestrix_static PROPERTIES OUTPUT_NAME kestrix LINKER_LANGUAGE CXX)
  install(TARGETS kestrix_static ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
foreach(header IN LISTS KESTRIX_PUBLIC_HEADERS)
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${dir})
endforeach()

if(KESTRIX_TOOLS)
  install(TARGETS kestrix_translate_path kestrix_servers kestrix_watch
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET kestrixd)
    install(TARGETS kestrixd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/kestrix/server/examples/rules.conf
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrix/examples)
endif()

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Kestrix)
install(EXPORT KestrixTargets NAMESPACE Kestrix:: DESTINATION ${config_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KestrixConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KestrixConfig.cmake INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KestrixConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KestrixConfig.cmake
  ${PROJECT_BINARY_DIR}/KestrixConfigVersion.cmake DESTINATION ${config_dir})

if(WIN32)
  return()  # pkg-config is not the way Windows builds find libraries
endif()

# kestrix.pc finds its prefix from its own place, so the install prefix may
# be chosen at install time.
file(RELATIVE_PATH pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
# A static library needs libcrypto at every link, a shared one only when
# linked statically itself.
if(BUILD_SHARED_LIBS)
  set(KESTRIX_PC_LIBS "-lkestrix")
  set(KESTRIX_PC_REQUIRES "Requires.private: libcrypto")
else()
  set(KESTRIX_PC_LIBS "-lkestrix -pthread")
  set(KESTRIX_PC_REQUIRES "Requires: libcrypto")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/kestrix.pc.in ${PROJECT_BINARY_DIR}/kestrix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kestrix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
